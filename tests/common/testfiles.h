// The one way the tests read and write whole files, look at a path and run a program.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

// All of a file's bytes; empty when it cannot be read.
inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// All of a file as UTF-8 text; empty when it cannot be read.
inline QString readText(const QString &path)
{
    return QString::fromUtf8(readBytes(path));
}

// A file's lines, empty ones left out.
inline QStringList readLines(const QString &path)
{
    return readText(path).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

inline bool writeBytes(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// The messages of a busys.log, time stamps removed; continuation lines stay with their entry.
inline QStringList logMessages(const QString &path)
{
    static const QRegularExpression stamp("^\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d - ");
    QStringList messages;
    for (const QString &line : readText(path).split('\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = stamp.match(line);
        if (match.hasMatch())
            messages << line.mid(match.capturedLength());
        else if (!messages.isEmpty())
            messages.last() += '\n' + line;
    }
    return messages;
}

// "uid:gid mode" of a path itself (a link is not followed), "missing" when there is none.
inline QString ownerAndMode(const QString &path)
{
    struct stat st = {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("missing");
    return QStringLiteral("%1:%2 %3").arg(st.st_uid).arg(st.st_gid).arg(st.st_mode & 07777, 0, 8);
}

// What a program did: its exit code (-1 when it crashed or did not end in time) and output.
struct Ran
{
    int exitCode = -1;
    QByteArray out, err;
};

// Runs command (the program, then its arguments) and waits for it, killing it after timeoutMs.
inline Ran runCommand(const QStringList &command,
                      const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
                      int timeoutMs = 60000)
{
    QProcess p;
    p.setProcessEnvironment(environment);
    p.start(command.value(0), command.mid(1));
    const bool ended = p.waitForFinished(timeoutMs) && p.exitStatus() == QProcess::NormalExit;
    p.kill(); // when it did not end in time
    p.waitForFinished();
    return {ended ? p.exitCode() : -1, p.readAllStandardOutput(), p.readAllStandardError()};
}

// Waits until done() says so, looking every 20 ms; gives up after a generous limit instead of
// asserting a time. What done() says last.
template <typename Done> bool waitUntil(Done done, int limitMs = 10000)
{
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < limitMs)
        QThread::msleep(20);
    return done();
}

// Runs a shell script once this test program has ended, however it ended: the clean-up that a
// program which crashed or was killed by its time-out never ran.
inline void afterThisProgram(const QString &script)
{
    QProcess::startDetached(
        "setsid",
        {"sh", "-c",
         QString("while kill -0 %1 2>/dev/null; do sleep 1; done; ").arg(QCoreApplication::applicationPid()) +
             script});
}

// A connection to the Unix socket at path, or -1.
inline int connectUnix(const QString &path)
{
    sockaddr_un address{AF_UNIX, {}};
    std::strncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        return fd;
    ::close(fd);
    return -1;
}
