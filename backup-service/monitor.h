// The dead-man's switch: an address of a monitoring service that hears from every run, so
// that a backup that failed, or never ran, is noticed somewhere else. A run asks for the
// address + "/start" when it starts, for the address when it ended well, and for the address
// + "/fail" when a job of it failed. A ping never fails a backup, and holds a run up for at
// most its time-out: once the monitor did not answer, the run asks it nothing more. A monitor
// answers directly and briefly: an answer that redirects elsewhere, or runs longer than a few
// kilobytes, is a failed ping, and is never read further.
#pragma once

#include <QString>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;
class StopSignal;

class Monitor
{
public:
    static constexpr int DefaultTimeoutMs = 10000;
    // A longer address is refused: the settings are not read whole into the log at every run.
    static constexpr int MaxAddressLength = 2048;
    static constexpr int MaxAnswerBytes = 4096;
    enum class Ping { Start, Success, Failure };

    // One run's monitor at address (none when it is empty); a stop request ends a ping.
    Monitor(const QString &address, int timeoutMs, const StopSignal *stop);
    ~Monitor();

    // Sends the ping, on the calling thread, unless there is no monitor or it already failed
    // this run. The address asked for and why it failed, the first time it fails; else empty.
    QString ping(Ping what);

private:
    Monitor(const Monitor &) = delete;
    Monitor &operator=(const Monitor &) = delete;

    QString send(const QUrl &url);

    const QString address;
    const int timeoutMs;
    const StopSignal *const stop;
    std::unique_ptr<QNetworkAccessManager> network;
    bool failed = false;
};
