// The service's second worker: takes the requests that operators leave in the settings file
// (see permintaan.h), one after another, on a thread of its own, so that a restore or a test of a
// destination neither waits for a backup run nor holds one up. Each kind of request has a handler;
// a request that no handler takes, that is malformed, or that waited too long is refused with the
// reason in the answer and in busys.log.
#pragma once

#include "backupengine.h"
#include "permintaan.h"
#include "stopsignal.h"

#include <QHash>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <functional>
#include <memory>

class ThPermintaan : public QThread
{
    Q_OBJECT

public:
    // What a handler is given: the thread's own engine (settings not yet read: a handler reads
    // what it needs), the signal that ends the request (cancelled or the service stopping), and
    // where to report how far it got.
    struct Context
    {
        BackupEngine &engine;
        const StopSignal &stop;
        std::function<void(const QJsonObject &kemajuan)> progress;
    };
    struct Outcome
    {
        QString hasil; // one of permintaan's texts
        QString pesan;
    };
    using Handler = std::function<Outcome(const permintaan::Request &request, Context &context)>;

    // A request left waiting while the service did not run is not acted on by surprise later.
    static constexpr int MaxAgeSecs = 10 * 60;
    // A flood of requests is refused beyond this many in one read.
    static constexpr int MaxPerRead = 16;

    explicit ThPermintaan(BackupEngine::Reporter reporter = BackupEngine::Reporter());
    // For tests: another program directory and clock.
    ThPermintaan(const QString &programDir, BackupEngine::Clock clock,
                 BackupEngine::Reporter reporter = BackupEngine::Reporter());

    // Before start(). A start task runs on the thread before the first request: what a handler
    // needs made at start, or finished after a process that died.
    void addHandler(const QString &jenis, Handler handler);
    void addStartTask(std::function<void(BackupEngine &engine)> task);

    // Any thread; each returns at once.
    void wake();   // requests are waiting
    void cancel(); // ends the request in progress, if any
    void stop();   // ends the request in progress and the thread

protected:
    void run() override;

private:
    // The request in progress, which cancel() and stop() end.
    void setCurrent(const std::shared_ptr<StopSignal> &signal);
    void handle(BackupEngine &engine, const permintaan::Request &request, bool tooMany);

    std::atomic<bool> running{true};
    QString programDir;
    BackupEngine::Clock clock;
    BackupEngine::Reporter reporter;
    QHash<QString, Handler> handlers;
    QList<std::function<void(BackupEngine &)>> startTasks;
    QMutex mutex;
    QWaitCondition wakeUp;
    bool woken = true; // requests left from before the start are looked at once
    std::shared_ptr<StopSignal> current;
};
