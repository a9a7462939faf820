// The single-instance guard: a small named shared segment whose flag text
// ("no" or "yes") lets a second start ask the running panel to show itself.
#pragma once

#include <QString>

class QObject;

// Creates the segment with the flag; the segment object is owned by `owner`
// and keeps the segment alive for as long as it lives. False when the segment
// is held by another process or cannot be created.
bool createSharedFlag(QObject *owner, const QString &key, const QString &value);
// Writes the flag into an existing segment; an attach failure is shown to the user.
void writeSharedFlag(const QString &key, const QString &value);
// Reads the flag; empty (after showing the reason) when the segment cannot be attached.
QString readSharedFlag(const QString &key);
