// The single-instance guard: a small named shared segment whose flag text
// ("no" or "yes") lets a second start ask the running panel to show itself.
// Nothing here talks to the user; failures come back as the segment's error text.
#pragma once

#include <QObject>
#include <QScopedPointer>
#include <QString>

class QFileSystemWatcher;
class QSharedMemory;

// The running panel's end of the flag: it creates the segment and holds it for
// its whole life.
class SharedFlag : public QObject
{
    Q_OBJECT
public:
    SharedFlag(const QString &key, QObject *parent = nullptr);
    ~SharedFlag() override;

    // Creates the segment holding `value`. False when another process holds it
    // or it cannot be made; `error` then says why.
    bool create(const QString &value, QString *error = nullptr);
    // Read and written through the segment this panel holds, so they work
    // whatever happened to the segment's key file.
    QString read() const;
    void write(const QString &value);

    // A temp-folder cleaner may remove the key file through which a second start
    // finds the segment; that start would then make a segment of its own and run
    // as a second panel. Makes the segment again under a new key file when the
    // file is gone; false (with the reason) when that failed, to be tried again.
    bool keepReachable(QString *error = nullptr);

private:
    void watchKeyFile();

    QString m_key;
    QScopedPointer<QSharedMemory> m_segment;
    QFileSystemWatcher *m_watcher;
};

// A second start's end: attaches by key for the one operation. False, or an
// empty value, when the segment cannot be attached; `error` then says why.
bool writeSharedFlag(const QString &key, const QString &value, QString *error);
QString readSharedFlag(const QString &key, QString *error = nullptr);
