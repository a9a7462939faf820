// One HTTP GET to the monitoring URL, bounded in time, for the "Tes" button: what the
// monitor answered, or why it did not.
#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QTimer>
#include <QUrl>

class QNetworkReply;

class XMonitorCheck : public QObject
{
    Q_OBJECT
public:
    static constexpr int TimeoutMs = 10000;

    explicit XMonitorCheck(QObject *parent = nullptr);
    ~XMonitorCheck() override;

    void start(const QUrl &url, int timeoutMs = TimeoutMs);
    bool isRunning() const { return m_reply != nullptr; }

signals:
    // ok: the monitor answered with a 2xx status; text: that status, or the reason.
    void finished(bool ok, const QString &text);

private:
    void done();

    QNetworkAccessManager m_network;
    QNetworkReply *m_reply = nullptr;
    QTimer m_timeout;
    int m_timeoutMs = TimeoutMs;
    bool m_timedOut = false;
};
