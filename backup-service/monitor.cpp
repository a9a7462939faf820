#include "monitor.h"

#include "logtext.h"
#include "stopsignal.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#ifdef Q_OS_WIN
#include <QWinEventNotifier>
#else
#include <QSocketNotifier>
#endif

Monitor::Monitor(const QString &address, int timeoutMs, const StopSignal *stop)
    : address(address.trimmed()), timeoutMs(timeoutMs), stop(stop)
{
}

Monitor::~Monitor() = default;

QString Monitor::ping(Ping what)
{
    if (address.isEmpty() || failed || (stop && stop->requested()))
        return QString();
    if (address.size() > MaxAddressLength) {
        failed = true;
        return QStringLiteral("Alamat monitor [") + logtext::preview(address) +
               QStringLiteral("] lebih dari %1 karakter; monitor tidak dihubungi.")
                   .arg(MaxAddressLength);
    }
    // Monitoring services take the kind of ping as a last path segment.
    QUrl url(address);
    QString path = url.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    url.setPath(path + (what == Ping::Start     ? QStringLiteral("/start")
                        : what == Ping::Failure ? QStringLiteral("/fail")
                                                : QString()));
    const QString failure = send(url);
    failed = !failure.isEmpty() || (stop && stop->requested());
    if (failure.isEmpty())
        return QString();
    // The address may carry a password.
    const QString shown = url.isValid() ? url.toDisplayString(QUrl::RemovePassword) : address;
    return QStringLiteral("Monitor [") + shown + QStringLiteral("] tidak dapat dihubungi: ") +
           failure + QLatin1Char('.');
}

// The service runs as root: it asks nothing but a web server, never for a local file.
QString Monitor::send(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return QStringLiteral("alamat bukan http atau https");
    if (!network)
        network = std::make_unique<QNetworkAccessManager>();
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("sarvelad"));
    // Asked for itself, the encoding is not undone by Qt: what is counted is what came.
    request.setRawHeader("Accept-Encoding", "identity");

    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
#ifdef Q_OS_WIN
    using Notifier = QWinEventNotifier;
    const auto notifier = [this] { return std::make_unique<Notifier>(stop->waitable()); };
#else
    using Notifier = QSocketNotifier;
    const auto notifier = [this] {
        return std::make_unique<Notifier>(stop->waitable(), QSocketNotifier::Read);
    };
#endif
    const std::unique_ptr<Notifier> stopped = stop ? notifier() : nullptr;
    if (stopped)
        QObject::connect(stopped.get(), &Notifier::activated, &loop, &QEventLoop::quit);
    std::unique_ptr<QNetworkReply> reply(network->get(request));
    // Qt reads no more than this ahead of us, and we read no more than this at all.
    reply->setReadBufferSize(MaxAnswerBytes);
    qint64 answered = 0;
    QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, [&] {
        answered += reply->read(MaxAnswerBytes + 1).size();
        if (answered > MaxAnswerBytes)
            loop.quit();
    });
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    deadline.start(timeoutMs);
    loop.exec(QEventLoop::ExcludeUserInputEvents);

    if (answered > MaxAnswerBytes) {
        reply->abort();
        return QStringLiteral("jawaban lebih dari %1 byte, tidak dibaca lagi").arg(MaxAnswerBytes);
    }
    if (!reply->isFinished()) {
        reply->abort();
        return stop && stop->requested()
                   ? QString()
                   : QStringLiteral("tidak menjawab dalam %1 detik").arg(timeoutMs / 1000.0);
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 300 && status < 400) {
        const QUrl target =
            url.resolved(reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl());
        return QStringLiteral("dialihkan (HTTP %1) ke [%2], pengalihan tidak diikuti")
            .arg(status)
            .arg(logtext::preview(target.toDisplayString(QUrl::RemovePassword), 200));
    }
    return reply->error() == QNetworkReply::NoError ? QString() : reply->errorString();
}
