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

// The tool's standard output, read by the service from a pipe while the tool runs, so that
// a tool that writes much never blocks on a full pipe.
struct OutputPipe
{
    int fd = -1;
    const std::function<void(const QByteArray &)> *read = nullptr;

    // Hands on what the pipe holds now; closes it at its end.
    void drain()
    {
        char buffer[65536];
        while (fd >= 0) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return;
            if (n <= 0) {
                ::close(fd);
                fd = -1;
                return;
            }
            (*read)(QByteArray(buffer, int(n)));
        }
    }
    ~OutputPipe()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Waits until the child ends (its status in *status), stop is requested, or ms pass, reading
// its output meanwhile. A process descriptor wakes the wait the moment the child ends; a
// kernel without them gets a look every 50 ms.
Wait waitFor(pid_t pid, int pidFd, const StopSignal *stop, qint64 ms, int *status,
             OutputPipe *output = nullptr)
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
            if (output)
                output->drain(); // what it wrote before it ended
            return Wait::Ended;
        }
        if (stop && stop->requested())
            return Wait::Stopped;
        const qint64 left = ms - waited.elapsed();
        if (left <= 0)
            return Wait::TimedOut;
        pollfd fds[3] = {{pidFd, POLLIN, 0},
                         {stop ? stop->waitable() : -1, POLLIN, 0},
                         {output ? output->fd : -1, POLLIN, 0}};
        ::poll(fds, 3, int(pidFd >= 0 ? qMin<qint64>(left, 3600000) : qMin<qint64>(left, 50)));
        if (output && fds[2].revents)
            output->drain();
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
                   const StopSignal *stop, const ToolStreams &streams)
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
    int execFailed[2] = {-1, -1};
    int outputPipe[2] = {-1, -1};
    OutputPipe output;
    const bool piped = !streams.output && streams.read;
    if (devNull < 0 || ::pipe2(execFailed, O_CLOEXEC) != 0 ||
        (piped && ::pipe2(outputPipe, O_CLOEXEC) != 0)) {
        result.error = QString::fromLocal8Bit(std::strerror(errno));
        for (int fd : {devNull, execFailed[0], execFailed[1]})
            if (fd >= 0)
                ::close(fd);
        return result;
    }
    if (piped) {
        output.fd = outputPipe[0];
        output.read = &streams.read;
        ::fcntl(output.fd, F_SETFL, O_NONBLOCK);
    }
    const int stderrFd = errors.isOpen() ? errors.handle() : devNull;
    const int stdinFd = streams.input ? streams.input->handle() : devNull;
    const int stdoutFd = streams.output ? streams.output->handle() : piped ? outputPipe[1] : devNull;
    if (streams.input)
        ::lseek(stdinFd, 0, SEEK_SET);
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
        ::dup2(stdinFd, STDIN_FILENO);
        ::dup2(stdoutFd, STDOUT_FILENO);
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
    if (piped)
        ::close(outputPipe[1]); // the tool's end only: its end of output is then seen
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
        switch (waitFor(pid, pidFd, stop, timeoutMs, &status, piped ? &output : nullptr)) {
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
