#include "thpermintaan.h"

#include "jobhistory.h"

ThPermintaan::ThPermintaan(BackupEngine::Reporter reporter) : reporter(std::move(reporter)) {}

ThPermintaan::ThPermintaan(const QString &programDir, BackupEngine::Clock clock,
                           BackupEngine::Reporter reporter)
    : programDir(programDir), clock(std::move(clock)), reporter(std::move(reporter))
{
}

void ThPermintaan::addHandler(const QString &jenis, Handler handler)
{
    handlers.insert(jenis, std::move(handler));
}

void ThPermintaan::addStartTask(std::function<void(BackupEngine &)> task)
{
    startTasks.append(std::move(task));
}

void ThPermintaan::wake()
{
    QMutexLocker locker(&mutex);
    woken = true;
    wakeUp.wakeAll();
}

void ThPermintaan::cancel()
{
    QMutexLocker locker(&mutex);
    if (current)
        current->request();
}

void ThPermintaan::stop()
{
    QMutexLocker locker(&mutex);
    running = false;
    if (current)
        current->request();
    wakeUp.wakeAll();
}

void ThPermintaan::setCurrent(const std::shared_ptr<StopSignal> &signal)
{
    QMutexLocker locker(&mutex);
    if (signal && !running)
        signal->request();
    current = signal;
}

void ThPermintaan::run()
{
    // Made here: the engine and its connections belong to this thread.
    BackupEngine engine(programDir, clock);
    if (!clock)
        clock = [] { return QDateTime::currentDateTime(); };
    engine.setReporter(reporter);
    {
        // Only this thread answers requests: what is still running is what a process that
        // died left behind.
        JobHistory history(engine.programDirectory(), [&engine](const QString &m) {
            engine.log(m);
        });
        history.closeAbandonedAnswers(clock(),
                                      QStringLiteral("Proses service berhenti sebelum "
                                                     "permintaan selesai."));
    }
    for (const auto &task : qAsConst(startTasks))
        if (running)
            task(engine);
    for (;;) {
        {
            QMutexLocker locker(&mutex);
            while (running && !woken)
                wakeUp.wait(&mutex);
            if (!running)
                return;
            woken = false;
        }
        QList<permintaan::Request> requests;
        if (!engine.readRequests(&requests))
            continue; // logged; the next command tries again
        for (int i = 0; i < requests.size() && running; ++i)
            handle(engine, requests.at(i), i >= MaxPerRead);
    }
}

void ThPermintaan::handle(BackupEngine &engine, const permintaan::Request &request, bool tooMany)
{
    JobHistory history(engine.programDirectory(), [&engine](const QString &m) { engine.log(m); });
    // Answered already, by a process that died before it could take the row out.
    if (history.isAnswered(request.kunci)) {
        engine.removeRequest(request.kunci);
        return;
    }
    const QDateTime now = clock();
    const auto handler = handlers.constFind(request.jenis);
    QString refusal = request.cacat;
    if (refusal.isEmpty() && handler == handlers.constEnd())
        refusal = QStringLiteral("jenis permintaan tidak dikenal");
    if (refusal.isEmpty() && request.waktu.secsTo(now) > MaxAgeSecs)
        refusal = QStringLiteral("permintaan dibuat %1 dan terlalu lama menunggu service")
                      .arg(request.waktu.toString(QStringLiteral("dd/MM/yyyy hh:mm:ss")));
    if (refusal.isEmpty() && tooMany)
        refusal = QStringLiteral("terlalu banyak permintaan menunggu; coba lagi nanti");
    // Cancellable from the moment the panel can see it running.
    const auto stop = std::make_shared<StopSignal>();
    setCurrent(stop);
    // Taken out before it runs, so that a process that dies meanwhile never runs it twice.
    const bool recorded = history.startAnswer(request, now);
    engine.removeRequest(request.kunci);
    if (!refusal.isEmpty() || !recorded) {
        setCurrent(nullptr);
        if (refusal.isEmpty())
            refusal = QStringLiteral("riwayat backup tidak dapat ditulis");
        history.endAnswer(request.kunci, now, permintaan::Ditolak, refusal);
        engine.fail(QStringLiteral("Permintaan DITOLAK : jenis [") + request.jenis.left(64) +
                    QStringLiteral("] dari [") + request.oleh + QStringLiteral("]. ") + refusal +
                    QLatin1Char('.'));
        return;
    }

    Context context{engine, *stop, [&history, &request](const QJsonObject &kemajuan) {
                        history.setProgress(request.kunci, kemajuan);
                    }};
    Outcome outcome = (*handler)(request, context);
    if (outcome.hasil.isEmpty() || outcome.hasil == permintaan::Berjalan)
        outcome.hasil = permintaan::Gagal; // a handler must say how it ended
    setCurrent(nullptr);
    history.endAnswer(request.kunci, clock(), outcome.hasil, outcome.pesan);
}
