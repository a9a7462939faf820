#include "toolprocess.h"

#include "stopsignal.h"

#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace {

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Everything the child needs, prepared before fork: after it, only async-signal-safe calls
// are allowed.
struct Launch
{
    std::vector<QByteArray> argData, envData;
    std::vector<char *> argv, envp;
    bool switchUser = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;

    bool prepare(const ToolCommand &command, QString *error)
    {
        argData.push_back(QFile::encodeName(command.program));
        for (const QString &argument : command.arguments)
            argData.push_back(argument.toLocal8Bit());
        for (QByteArray &arg : argData)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        for (const QString &variable : command.environment.toStringList())
            envData.push_back(variable.toLocal8Bit());
        for (QByteArray &variable : envData)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        if (command.account.isEmpty() || ::geteuid() != 0)
            return true;
        const QByteArray name = command.account.toLocal8Bit();
        struct passwd entry = {}, *found = nullptr;
        std::vector<char> buffer(16384);
        if (::getpwnam_r(name.constData(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
            !found) {
            *error = QStringLiteral("pengguna %1 tidak ada").arg(command.account);
            return false;
        }
        switchUser = true;
        uid = entry.pw_uid;
        gid = entry.pw_gid;
        int count = 32;
        groups.resize(size_t(count));
        while (::getgrouplist(name.constData(), gid, groups.data(), &count) < 0)
            groups.resize(size_t(count));
        groups.resize(size_t(count));
        return true;
    }
};

// Starts the program with standard input, output and error on the descriptors given (the null
// device for -1). The pid, or -1 with the reason in error.
pid_t launch(const Launch &launch, int inputFd, int outputFd, int errorFd, QString *error)
{
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    int execFailed[2];
    if (devNull < 0 || ::pipe2(execFailed, O_CLOEXEC) != 0) {
        *error = errnoText(errno);
        if (devNull >= 0)
            ::close(devNull);
        return -1;
    }
    const int in = inputFd >= 0 ? inputFd : devNull;
    const int out = outputFd >= 0 ? outputFd : devNull;
    const int err = errorFd >= 0 ? errorFd : devNull;
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid == 0) {
        // The tool dies with the service, even when the service is killed.
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent)
            ::_exit(127);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction byDefault = {};
        byDefault.sa_handler = SIG_DFL;
        for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGQUIT})
            ::sigaction(signal, &byDefault, nullptr);
        ::dup2(in, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::umask(027);
        int failure = 0;
        if (launch.switchUser && (::setgroups(launch.groups.size(), launch.groups.data()) != 0 ||
                                  ::setgid(launch.gid) != 0 || ::setuid(launch.uid) != 0))
            failure = errno;
        // The account change takes the death signal away; it is set again for the new one.
        if (!failure && launch.switchUser &&
            (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent))
            ::_exit(127);
        // Nothing of the service's (settings, logs, sockets) reaches the tool.
        ::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
        if (!failure) {
            ::execve(launch.argv[0], launch.argv.data(), launch.envp.data());
            failure = errno;
        }
        ssize_t ignored = ::write(execFailed[1], &failure, sizeof failure);
        (void)ignored;
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(execFailed[1]);
    ::close(devNull);
    if (pid < 0) {
        ::close(execFailed[0]);
        *error = errnoText(forkError);
        return -1;
    }
    int childError = 0;
    ssize_t n;
    do {
        n = ::read(execFailed[0], &childError, sizeof childError);
    } while (n < 0 && errno == EINTR);
    ::close(execFailed[0]);
    if (n == sizeof childError) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        *error = errnoText(childError);
        return -1;
    }
    return pid;
}

// The read ends of a tool's pipes and who reads them.
struct Pipes
{
    int fd[2] = {-1, -1};
    ToolReader reader[2];
    std::vector<char> buffer;
    bool drained = false; // the last read took what there was, less than a buffer

    ~Pipes()
    {
        for (int f : fd)
            if (f >= 0)
                ::close(f);
    }
    // Reads what is there now; a pipe at its end is closed.
    void pump(int i)
    {
        for (;;) {
            const ssize_t n = ::read(fd[i], buffer.data(), buffer.size());
            if (n > 0) {
                reader[i](buffer.data(), n);
                drained = size_t(n) < buffer.size() / 2;
                if (drained)
                    return;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0 || errno != EAGAIN) {
                ::close(fd[i]);
                fd[i] = -1;
            }
            return;
        }
    }
    void drain()
    {
        for (int i = 0; i < 2; ++i)
            if (fd[i] >= 0)
                pump(i);
    }
};

enum class Wait { Ended, Stopped, TimedOut };

// Waits until the child ends (its status in *status), stop is requested, or ms pass, reading
// its pipes meanwhile. A process descriptor wakes the wait the moment the child ends; a kernel
// without them gets a look every 50 ms.
Wait waitFor(pid_t pid, int pidFd, const StopSignal *stop, qint64 ms, int *status,
             Pipes *pipes = nullptr)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        pid_t ended;
        do {
            ended = ::waitpid(pid, status, WNOHANG);
        } while (ended < 0 && errno == EINTR);
        if (ended < 0)
            *status = -1; // reaped by someone else: nothing says it ended well
        if (ended == pid || ended < 0) {
            // What it wrote before it ended is still in the pipes; whatever a child of its
            // own may still write there is not waited for.
            if (pipes)
                pipes->drain();
            return Wait::Ended;
        }
        if (stop && stop->requested())
            return Wait::Stopped;
        const qint64 left = ms - waited.elapsed();
        if (left <= 0)
            return Wait::TimedOut;
        // A tool writes its output a few kilobytes at a time: after a pipe was emptied it is
        // left to fill for a millisecond, so that the tool is not woken for every write and the
        // service reads it in large pieces (the pipe holds a megabyte meanwhile).
        const bool filling = pipes && pipes->drained;
        pollfd fds[4] = {{pidFd, POLLIN, 0},
                         {stop ? stop->waitable() : -1, POLLIN, 0},
                         {pipes && !filling ? pipes->fd[0] : -1, POLLIN, 0},
                         {pipes && !filling ? pipes->fd[1] : -1, POLLIN, 0}};
        const qint64 timeout = filling ? 1 : pidFd >= 0 ? 3600000 : 50;
        ::poll(fds, 4, int(qMin(left, timeout)));
        if (filling) {
            pipes->drained = false;
            continue;
        }
        for (int i = 0; i < 2; ++i)
            if (fds[2 + i].fd >= 0 && fds[2 + i].revents)
                pipes->pump(i);
    }
}

// signal first, so that the tool can end in order; SIGKILL if it does not end in graceMs.
void terminate(pid_t pid, int pidFd, int signal, int graceMs, int *status, Pipes *pipes = nullptr)
{
    ::kill(pid, signal);
    if (waitFor(pid, pidFd, nullptr, graceMs, status, pipes) == Wait::Ended)
        return;
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
}

int openPidFd(pid_t pid)
{
    return int(::syscall(SYS_pidfd_open, pid, 0));
}

// A pipe whose read end the service keeps, non-blocking, and whose write end the tool gets.
bool makePipe(int *readEnd, int *writeEnd)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return false;
    // Fewer wake-ups for the megabytes that pg_restore writes.
    ::fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
    ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
    *readEnd = ends[0];
    *writeEnd = ends[1];
    return true;
}

ToolResult resultOf(int status)
{
    ToolResult result;
    result.status = WIFEXITED(status) ? ToolResult::Finished : ToolResult::Crashed;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

} // namespace

ToolResult runTool(const ToolCommand &command, const ToolStreams &streams, int timeoutMs,
                   const StopSignal *stop)
{
    ToolResult result;
    Launch prepared;
    if (!prepared.prepare(command, &result.error))
        return result;
    Pipes pipes;
    int writeEnds[2] = {-1, -1};
    const ToolReader *readers[2] = {&streams.output, &streams.errors};
    for (int i = 0; i < 2; ++i) {
        if (!*readers[i])
            continue;
        if (!makePipe(&pipes.fd[i], &writeEnds[i])) {
            result.error = errnoText(errno);
            for (int end : writeEnds)
                if (end >= 0)
                    ::close(end);
            return result;
        }
        pipes.reader[i] = *readers[i];
    }
    pipes.buffer.resize(1 << 18);
    const int errorFd = writeEnds[1] >= 0 ? writeEnds[1]
                        : streams.errorFile && streams.errorFile->isOpen()
                            ? streams.errorFile->handle()
                            : -1;
    const int outputFd = writeEnds[0] >= 0 ? writeEnds[0]
                         : streams.outputFile ? streams.outputFile->handle()
                                              : -1;
    const int inputFd = streams.input ? streams.input->handle() : -1;
    if (inputFd >= 0)
        ::lseek(inputFd, 0, SEEK_SET);
    const pid_t pid = launch(prepared, inputFd, outputFd, errorFd, &result.error);
    // The tool holds the write ends now: the pipes end when it does.
    for (int end : writeEnds)
        if (end >= 0)
            ::close(end);
    if (pid < 0)
        return result;
    const int pidFd = openPidFd(pid);
    int status = 0;
    switch (waitFor(pid, pidFd, stop, timeoutMs, &status, &pipes)) {
    case Wait::Ended:
        result = resultOf(status);
        break;
    case Wait::Stopped:
        terminate(pid, pidFd, SIGTERM, ToolGraceMs, &status, &pipes);
        result.status = ToolResult::Stopped;
        break;
    case Wait::TimedOut:
        terminate(pid, pidFd, SIGTERM, ToolGraceMs, &status, &pipes);
        result.status = ToolResult::TimedOut;
        break;
    }
    if (pidFd >= 0)
        ::close(pidFd);
    return result;
}

BackgroundTool::~BackgroundTool()
{
    end(SIGKILL, 0);
}

bool BackgroundTool::start(const ToolCommand &command, const File &errors, QString *error)
{
    Launch prepared;
    if (!prepared.prepare(command, error))
        return false;
    const int errorFd = errors.isOpen() ? errors.handle() : -1;
    pid = launch(prepared, -1, errorFd, errorFd, error);
    if (pid < 0)
        return false;
    pidFd = openPidFd(pid);
    ended = false;
    return true;
}

bool BackgroundTool::hasEnded(ToolResult *result)
{
    if (pid < 0)
        return true;
    if (!ended) {
        pid_t found;
        do {
            found = ::waitpid(pid, &status, WNOHANG);
        } while (found < 0 && errno == EINTR);
        ended = found != 0;
    }
    if (ended && result)
        *result = resultOf(status);
    return ended;
}

void BackgroundTool::end(int signal, int graceMs)
{
    if (pid < 0)
        return;
    if (!hasEnded())
        terminate(pid, pidFd, signal, graceMs, &status);
    if (pidFd >= 0)
        ::close(pidFd);
    pid = pidFd = -1;
}
