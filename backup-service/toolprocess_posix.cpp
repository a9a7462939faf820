#include "toolprocess.h"

#include "stopsignal.h"

#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
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

enum class Wait { Ended, Stopped, TimedOut };

// Waits until the child ends (its status in *status), stop is requested, or ms pass. A
// process descriptor wakes the wait the moment the child ends; a kernel without them gets
// a look every 50 ms.
Wait waitFor(pid_t pid, int pidFd, const StopSignal *stop, qint64 ms, int *status)
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
        if (ended == pid || ended < 0)
            return Wait::Ended;
        if (stop && stop->requested())
            return Wait::Stopped;
        const qint64 left = ms - waited.elapsed();
        if (left <= 0)
            return Wait::TimedOut;
        pollfd fds[2] = {{pidFd, POLLIN, 0}, {stop ? stop->waitable() : -1, POLLIN, 0}};
        ::poll(fds, 2, int(pidFd >= 0 ? qMin<qint64>(left, 3600000) : qMin<qint64>(left, 50)));
    }
}

// SIGTERM first, so that pg_dump can close its connection; SIGKILL if it does not end.
void terminate(pid_t pid, int pidFd, int *status)
{
    ::kill(pid, SIGTERM);
    if (waitFor(pid, pidFd, nullptr, ToolGraceMs, status) == Wait::Ended)
        return;
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

ToolResult runTool(const ToolCommand &command, const File &errors, int timeoutMs,
                   const StopSignal *stop)
{
    ToolResult result;
    // Everything the child needs is prepared before fork: after it, only async-signal-safe
    // calls are allowed.
    std::vector<QByteArray> argData{QFile::encodeName(command.program)};
    for (const QString &argument : command.arguments)
        argData.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &arg : argData)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<QByteArray> envData;
    for (const QString &variable : command.environment.toStringList())
        envData.push_back(variable.toLocal8Bit());
    std::vector<char *> envp;
    for (QByteArray &variable : envData)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    int execFailed[2];
    if (devNull < 0 || ::pipe2(execFailed, O_CLOEXEC) != 0) {
        result.error = QString::fromLocal8Bit(std::strerror(errno));
        if (devNull >= 0)
            ::close(devNull);
        return result;
    }
    const int stderrFd = errors.isOpen() ? errors.handle() : devNull;
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
        for (int signal : {SIGPIPE, SIGTERM, SIGINT})
            ::sigaction(signal, &byDefault, nullptr);
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(devNull, STDOUT_FILENO);
        ::dup2(stderrFd, STDERR_FILENO);
        ::umask(027);
        // Nothing of the service's (settings, logs, sockets) reaches the tool.
        ::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
        ::execve(argv[0], argv.data(), envp.data());
        const int error = errno;
        ssize_t ignored = ::write(execFailed[1], &error, sizeof error);
        (void)ignored;
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(execFailed[1]);
    ::close(devNull);
    if (pid < 0) {
        ::close(execFailed[0]);
        result.error = QString::fromLocal8Bit(std::strerror(forkError));
        return result;
    }
    int childError = 0;
    ssize_t n;
    do {
        n = ::read(execFailed[0], &childError, sizeof childError);
    } while (n < 0 && errno == EINTR);
    ::close(execFailed[0]);
    const int pidFd = int(::syscall(SYS_pidfd_open, pid, 0));
    int status = 0;
    if (n == sizeof childError) {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.error = QString::fromLocal8Bit(std::strerror(childError));
    } else {
        switch (waitFor(pid, pidFd, stop, timeoutMs, &status)) {
        case Wait::Ended:
            result.status = WIFEXITED(status) ? ToolResult::Finished : ToolResult::Crashed;
            result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        case Wait::Stopped:
            terminate(pid, pidFd, &status);
            result.status = ToolResult::Stopped;
            break;
        case Wait::TimedOut:
            terminate(pid, pidFd, &status);
            result.status = ToolResult::TimedOut;
            break;
        }
    }
    if (pidFd >= 0)
        ::close(pidFd);
    return result;
}
