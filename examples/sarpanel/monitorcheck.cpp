#include "monitorcheck.h"

#include <QNetworkReply>
#include <QNetworkRequest>

XMonitorCheck::XMonitorCheck(QObject *parent) : QObject(parent)
{
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, [this] {
        m_timedOut = true;
        if (m_reply)
            m_reply->abort(); // finishes the reply, which reports the time-out
    });
}

XMonitorCheck::~XMonitorCheck()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        delete m_reply;
    }
}

void XMonitorCheck::start(const QUrl &url, int timeoutMs)
{
    if (m_reply)
        return;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    m_timedOut = false;
    m_timeoutMs = timeoutMs;
    m_reply = m_network.get(request);
    connect(m_reply, &QNetworkReply::finished, this, &XMonitorCheck::done);
    m_timeout.start(timeoutMs);
}

void XMonitorCheck::done()
{
    m_timeout.stop();
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString phrase =
        reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().trimmed();
    const QString answer =
        QStringLiteral("HTTP %1").arg(status) + (phrase.isEmpty() ? QString() : ' ' + phrase);
    if (m_timedOut)
        emit finished(false, QStringLiteral("Tidak ada jawaban dalam %1 detik.")
                                 .arg(m_timeoutMs / 1000.0, 0, 'g', 3));
    else if (status >= 200 && status < 300)
        emit finished(true, answer);
    else if (status != 0)
        emit finished(false, QStringLiteral("server menjawab ") + answer);
    else
        emit finished(false, reply->errorString());
}
