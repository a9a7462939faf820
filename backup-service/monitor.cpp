#include "monitor.h"

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
    // The address may carry a password; line breaks would split the log entry.
    const QString shown = url.isValid() ? url.toDisplayString(QUrl::RemovePassword) : address;
    return QStringLiteral("Monitor [") + shown.simplified() +
           QStringLiteral("] tidak dapat dihubungi: ") + failure + QLatin1Char('.');
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
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("sarvelad"));

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
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    deadline.start(timeoutMs);
    loop.exec(QEventLoop::ExcludeUserInputEvents);

    if (!reply->isFinished()) {
        reply->abort();
        return stop && stop->requested()
                   ? QString()
                   : QStringLiteral("tidak menjawab dalam %1 detik").arg(timeoutMs / 1000.0);
    }
    return reply->error() == QNetworkReply::NoError ? QString() : reply->errorString();
}
