// svcmgrd: the stand-in service control manager. Serves the service API of
// libsvcmgr on a UNIX socket in its state directory (SVCMGR_DIR, else the
// system default) and runs the registered services.
#include "clientlimits.h"
#include "config.h"
#include "manager.h"
#include "server.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

// The daemon runs services as itself from what is in here, so nobody else may
// have made the folder or be able to change what is in it.
bool checkStateDir(const std::string &dir, std::string *error)
{
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st = {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        *error = "cannot open " + dir + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    ::close(fd);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
    if (st.st_uid != ::geteuid())
        *error = "refusing the state directory " + dir + ": it belongs to uid " +
                 std::to_string(st.st_uid) + ", not to the daemon's user (uid " +
                 std::to_string(::geteuid()) + ")";
    else if (st.st_mode & (S_IWGRP | S_IWOTH))
        *error = "refusing the state directory " + dir +
                 ": its group or others may write it (mode " + mode + ")";
    else
        return true;
    return false;
}

bool makeDirs(const std::string &path)
{
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/')
            continue;
        std::string part = path.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

int fail(const std::string &message)
{
    std::fprintf(stderr, "svcmgrd: %s\n", message.c_str());
    ::syslog(LOG_ERR, "%s", message.c_str());
    return 1;
}

void acceptLoop(Manager *manager, ClientLimits *limits, int listenFd)
{
    for (;;) {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors: the waiting clients stay queued until some close.
            if (errno == EMFILE || errno == ENFILE || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        auto session = std::make_unique<Session>();
        Peer &peer = session->peer;
        // One too many from the same user is closed at once, before it costs a thread.
        if (!peer.readUser(fd)) {
            ::close(fd);
            continue;
        }
        ClientLimits::Pool pool = ClientLimits::Pool::None;
        if (!peer.privileged()) {
            pool = limits->admit(peer.uid(), manager->holdsRights(peer));
            if (pool == ClientLimits::Pool::None) {
                ::close(fd);
                continue;
            }
        }
        peer.readDetails(fd);
        const uid_t uid = peer.uid();
        try {
            std::thread(serveClient, std::ref(*manager), std::ref(*limits), fd, std::move(session),
                        pool)
                .detach();
        } catch (const std::system_error &) {
            ::close(fd);
            limits->leave(uid, pool);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1) {
        std::fprintf(argc == 2 && (!std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help"))
                         ? stdout
                         : stderr,
                     "Usage: svcmgrd\n"
                     "Runs the service control manager for the directory named by %s\n"
                     "(default %s).\n",
                     SVCMGR_DIR_ENV, SVCMGR_DEFAULT_DIR);
        return argc == 2 && (!std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help")) ? 0
                                                                                             : 2;
    }
    ::openlog("svcmgrd", LOG_PID, LOG_DAEMON);
    // Our folders and files get the modes we ask for: a wider mask would open
    // them to others, a narrower one hide the socket from the clients.
    ::umask(022);
    std::string dir = svcconfig::stateDir();
    if (!makeDirs(dir))
        return fail("cannot create " + dir + ": " + std::strerror(errno));
    // Services run in "/", so they must be told the directory as an absolute path.
    if (char *absolute = ::realpath(dir.c_str(), nullptr)) {
        dir = absolute;
        std::free(absolute);
        ::setenv(SVCMGR_DIR_ENV, dir.c_str(), 1);
    }
    std::string error;
    if (!checkStateDir(dir, &error))
        return fail(error);

    // One daemon per directory: the lock lives as long as this process.
    const std::string lockPath = svcconfig::lockPath();
    int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    struct stat lockStat = {};
    if (lockFd < 0)
        return fail("cannot open " + lockPath + ": " + std::strerror(errno));
    if (::fstat(lockFd, &lockStat) != 0 || !S_ISREG(lockStat.st_mode))
        return fail("refusing " + lockPath + ": not a plain file");
    if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0)
        return fail("another svcmgrd already serves " + dir);
    std::string pidText = std::to_string(::getpid()) + "\n";
    if (::ftruncate(lockFd, 0) != 0 || ::write(lockFd, pidText.data(), pidText.size()) < 0)
        return fail("cannot write " + lockPath + ": " + std::strerror(errno));

    // Signals are taken by sigwait below, and children's ends by the manager's
    // watcher; every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    sigset_t blocked = stopSignals;
    sigaddset(&blocked, SIGCHLD);
    ::pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    // Test runs tie the daemon to the program that started it.
    if (const char *tie = std::getenv("SVCMGR_EXIT_WITH_PARENT"); tie && *tie == '1') {
        const pid_t parent = ::getppid();
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            return fail("the program that started svcmgrd has already ended");
    }

    Manager manager(dir);
    if (!manager.load(&error))
        return fail(error);

    // A socket left by a daemon that crashed is ours to replace: we hold the lock.
    const std::string socketPath = svcconfig::socketPath();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof addr.sun_path)
        return fail("socket path too long: " + socketPath);
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ::unlink(socketPath.c_str());
    int listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::chmod(socketPath.c_str(), 0666) != 0 || ::listen(listenFd, SOMAXCONN) != 0)
        return fail("cannot listen on " + socketPath + ": " + std::strerror(errno));

    if (!manager.startThreads(&error))
        return fail(error);
    ClientLimits limits;
    std::thread(acceptLoop, &manager, &limits, listenFd).detach();
    std::thread([&manager] { manager.startAutoStartServices(); }).detach();
    ::syslog(LOG_INFO, "serving %s", dir.c_str());

    int sig = 0;
    while (::sigwait(&stopSignals, &sig) != 0) {
    }
    ::syslog(LOG_INFO, "stopping on signal %d", sig);
    manager.shutdown();
    ::unlink(socketPath.c_str());
    std::fflush(nullptr);
    ::_exit(0);
}
