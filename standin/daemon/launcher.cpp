#include "launcher.h"

#include "config.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

// The program of a registered path: a quoted path is taken up to its closing
// quote and nothing after it is passed on; an unquoted one is taken whole, so
// blanks in it can never select another program.
std::string programOf(const std::string &binaryPath)
{
    if (!binaryPath.empty() && binaryPath[0] == '"') {
        size_t end = binaryPath.find('"', 1);
        return binaryPath.substr(1, end == std::string::npos ? std::string::npos : end - 1);
    }
    return binaryPath;
}

DWORD launchError(int err)
{
    switch (err) {
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOEXEC:
        return ERROR_BAD_EXE_FORMAT;
    default:
        return ERROR_FILE_NOT_FOUND;
    }
}

std::string randomToken()
{
    unsigned char bytes[16] = {};
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t ignored = ::read(fd, bytes, sizeof bytes);
        (void)ignored;
        ::close(fd);
    }
    static const char hex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += hex[b >> 4];
        token += hex[b & 15];
    }
    return token;
}

// The raw system calls change this thread's credentials only; glibc's wrappers would
// try to reach the other threads of the parent, which the child does not have.
#ifdef SYS_setresuid32
constexpr long SysSetgroups = SYS_setgroups32, SysSetresgid = SYS_setresgid32,
               SysSetresuid = SYS_setresuid32;
#else
constexpr long SysSetgroups = SYS_setgroups, SysSetresgid = SYS_setresgid,
               SysSetresuid = SYS_setresuid;
#endif

// What the child tells us before it would run the program: which step failed, and errno.
enum ChildStep : int { StepIdentity = 1, StepDirectory, StepExec };
struct ChildError
{
    int step = 0;
    int error = 0;
};

} // namespace

void killGroup(pid_t pid)
{
    // The child leads its own session, so its group holds whatever it started.
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
}

DWORD launchService(const std::string &binaryPath, const std::string &stateDir,
                    const ServiceAccount &account, Launched *out, std::string *why)
{
    const std::string program = programOf(binaryPath);
    if (program.empty())
        return ERROR_FILE_NOT_FOUND;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return ERROR_FILE_NOT_FOUND;
    int errPipe[2];
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(pair[0]);
        ::close(pair[1]);
        return ERROR_FILE_NOT_FOUND;
    }
    const std::string token = randomToken();

    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls are allowed.
    std::vector<std::string> env = {
        "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
        "HOME=" + (account.home.empty() ? std::string("/") : account.home),
        "LANG=C.UTF-8",
        std::string(SVCMGR_DIR_ENV) + "=" + stateDir,
        std::string(svcconfig::ChannelFdEnv) + "=" + std::to_string(pair[1]),
        std::string(svcconfig::ChannelTokenEnv) + "=" + token,
    };
    if (!account.user.empty()) {
        env.push_back("USER=" + account.user);
        env.push_back("LOGNAME=" + account.user);
    }
    for (const char *name : {"SVCMGR_START_TIMEOUT_MS", "SVCMGR_CONTROL_TIMEOUT_MS"})
        if (const char *v = std::getenv(name))
            env.push_back(std::string(name) + "=" + v);
    // Variables a test or an administrator asks us to hand on, by name.
    if (const char *pass = std::getenv("SVCMGR_PASS_ENV")) {
        std::string names = pass;
        size_t start = 0;
        while (start <= names.size()) {
            size_t comma = names.find(',', start);
            std::string name = names.substr(start, comma - start);
            if (!name.empty())
                if (const char *v = std::getenv(name.c_str()))
                    env.push_back(name + "=" + v);
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
    }
    std::vector<char *> envp;
    for (std::string &e : env)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::string programCopy = program;
    char *argv[] = {&programCopy[0], nullptr};
    rlimit lim{};
    int maxFd =
        (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < 65536) ? int(lim.rlim_cur) : 65536;
    const int channelFd = pair[1];
    const int errFd = errPipe[1];
    const bool switchUser = account.switchUser;
    const uid_t uid = account.uid;
    const gid_t gid = account.gid;
    const std::vector<gid_t> &groups = account.groups;
    auto failChild = [errFd](int step) {
        ChildError e{step, errno};
        ssize_t ignored = ::write(errFd, &e, sizeof e);
        (void)ignored;
        ::_exit(127);
    };

    pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        int devNull = ::open("/dev/null", O_RDWR);
        if (devNull >= 0) {
            ::dup2(devNull, 0);
            ::dup2(devNull, 1);
            if (devNull > 2)
                ::close(devNull);
        }
        for (int fd = 3; fd < maxFd; ++fd)
            if (fd != channelFd && fd != errFd)
                ::close(fd);
        ::fcntl(channelFd, F_SETFD, 0);
        // Groups first, then the group, then the user: after that nothing can be undone.
        if (switchUser && (::syscall(SysSetgroups, long(groups.size()), groups.data()) != 0 ||
                           ::syscall(SysSetresgid, long(gid), long(gid), long(gid)) != 0 ||
                           ::syscall(SysSetresuid, long(uid), long(uid), long(uid)) != 0))
            failChild(StepIdentity);
        if (::chdir("/") != 0)
            failChild(StepDirectory);
        ::execve(argv[0], argv, envp.data());
        failChild(StepExec);
    }
    ::close(pair[1]);
    ::close(errPipe[1]);
    if (pid < 0) {
        ::close(pair[0]);
        ::close(errPipe[0]);
        return ERROR_FILE_NOT_FOUND;
    }
    ChildError childErr;
    ssize_t n;
    do {
        n = ::read(errPipe[0], &childErr, sizeof childErr);
    } while (n < 0 && errno == EINTR);
    ::close(errPipe[0]);
    if (n == sizeof childErr) {
        // The reaper collects the failed child; it is nobody's process.
        ::close(pair[0]);
        if (childErr.step == StepIdentity) {
            *why =
                "cannot become uid " + std::to_string(uid) + ": " + std::strerror(childErr.error);
            return ERROR_SERVICE_LOGON_FAILED;
        }
        return launchError(childErr.error);
    }
    *out = Launched{pid, pair[0], token};
    return ERROR_SUCCESS;
}
