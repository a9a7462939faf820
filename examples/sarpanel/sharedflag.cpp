#include "sharedflag.h"

#include "messagebox.h"

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

} // namespace

bool createSharedFlag(QObject *owner, const QString &key, const QString &value)
{
    auto *segment = new QSharedMemory(key, owner);
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
    if (!created)
        return false;
    putFlag(*segment, value);
    return true;
}

void writeSharedFlag(const QString &key, const QString &value)
{
    QSharedMemory segment(key);
    if (!segment.attach(QSharedMemory::ReadWrite)) {
        showInfo(segment.errorString(), nullptr);
        return;
    }
    putFlag(segment, value);
}

QString readSharedFlag(const QString &key)
{
    QSharedMemory segment(key);
    if (!segment.attach(QSharedMemory::ReadWrite)) {
        showInfo(segment.errorString(), nullptr);
        return QString();
    }
    segment.lock();
    const char *data = static_cast<const char *>(segment.constData());
    const QString value = QString::fromUtf8(data, int(qstrnlen(data, size_t(segment.size()))));
    segment.unlock();
    return value;
}
