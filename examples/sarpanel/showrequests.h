// The quick way a second start asks the running panel to show its window: a local socket
// in a folder that only this user may enter. It stands beside the shared flag, which a start
// that cannot reach the socket still sets and the running panel still looks at every few
// seconds.
#pragma once

#include <QLocalServer>
#include <QObject>

class XShowRequests : public QObject
{
    Q_OBJECT
public:
    explicit XShowRequests(QObject *parent = nullptr);

    // The running panel: listens from now on. False when no private place for the socket
    // can be had or it cannot be made; the shared flag then serves alone.
    bool listen();
    // A second start: true when a running panel took the request.
    static bool ask();
    // Where the socket lives; empty when no folder that only this user may enter is at hand.
    static QString socketPath();

signals:
    void showRequested();

private:
    void answer();

    QLocalServer m_server;
};
