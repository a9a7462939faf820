#include "sharedflag.h"

#include <QFile>
#include <QFileSystemWatcher>
#include <QSharedMemory>

namespace {

constexpr int SegmentSize = 1024;

void putFlag(QSharedMemory &segment, const QString &value)
{
    const QByteArray bytes = value.toUtf8();
    const int length = qMin(bytes.size(), segment.size() - 1);
    segment.lock();
    char *data = static_cast<char *>(segment.data());
    memcpy(data, bytes.constData(), size_t(length));
    data[length] = '\0';
    segment.unlock();
}

QString takeFlag(QSharedMemory &segment)
{
    segment.lock();
    const char *data = static_cast<const char *>(segment.constData());
    const QString value = QString::fromUtf8(data, int(qstrnlen(data, size_t(segment.size()))));
    segment.unlock();
    return value;
}

} // namespace

SharedFlag::SharedFlag(const QString &key, QObject *parent)
    : QObject(parent), m_key(key), m_watcher(new QFileSystemWatcher(this))
{
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, [this] { keepReachable(); });
}

SharedFlag::~SharedFlag() = default;

bool SharedFlag::create(const QString &value, QString *error)
{
    QScopedPointer<QSharedMemory> segment(new QSharedMemory(m_key));
    bool created = segment->create(SegmentSize, QSharedMemory::ReadWrite);
#ifndef Q_OS_WIN
    // A System V segment outlives a panel that was killed. Attaching and
    // detaching as its last user removes it; a live panel keeps it attached.
    if (!created && segment->error() == QSharedMemory::AlreadyExists) {
        if (segment->attach(QSharedMemory::ReadWrite))
            segment->detach();
        created = segment->create(SegmentSize, QSharedMemory::ReadWrite);
    }
#endif
    if (!created) {
        if (error)
            *error = segment->errorString();
        return false;
    }
    putFlag(*segment, value);
    m_segment.swap(segment);
    watchKeyFile();
    return true;
}

QString SharedFlag::read() const
{
    return m_segment ? takeFlag(*m_segment) : QString();
}

void SharedFlag::write(const QString &value)
{
    if (m_segment)
        putFlag(*m_segment, value);
}

bool SharedFlag::keepReachable(QString *error)
{
#ifndef Q_OS_WIN
    if (m_segment && QFile::exists(m_segment->nativeKey())) {
        watchKeyFile(); // a replaced file needs a watch of its own
        return true;
    }
    const QString value = m_segment ? read() : QStringLiteral("no");
    // Let go of the old segment first: its detach removes whatever file has
    // its key file's name, which would be the new segment's.
    m_segment.reset();
    return create(value, error);
#else
    Q_UNUSED(error);
    return true; // named by the system, without a file
#endif
}

void SharedFlag::watchKeyFile()
{
#ifndef Q_OS_WIN
    // Watched once: taking a watch off and on again wakes the panel for nothing. A file
    // replaced or removed drops out of the watcher by itself.
    const QString keyFile = m_segment->nativeKey();
    if (m_watcher->files() == QStringList{keyFile})
        return;
    if (!m_watcher->files().isEmpty())
        m_watcher->removePaths(m_watcher->files());
    m_watcher->addPath(keyFile);
#endif
}

bool writeSharedFlag(const QString &key, const QString &value, QString *error)
{
    QSharedMemory segment(key);
    if (!segment.attach(QSharedMemory::ReadWrite)) {
        *error = segment.errorString();
        return false;
    }
    putFlag(segment, value);
    return true;
}

QString readSharedFlag(const QString &key, QString *error)
{
    QSharedMemory segment(key);
    if (!segment.attach(QSharedMemory::ReadWrite)) {
        if (error)
            *error = segment.errorString();
        return QString();
    }
    return takeFlag(segment);
}
