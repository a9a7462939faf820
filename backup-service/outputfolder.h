// The folder that a backup run writes its dumps and run logs into, held open for the run.
// The folder is named in settings that members of the admin group edit, so it is used only
// when it is owned by the service's own user (or root) and writable by no one else, and no one
// but root or that user could change a folder above it; every file in it is then reached from
// the folder's handle, never by a path that could be made to lead elsewhere.
#pragma once

#include "nativefile.h"

#include <QString>
#include <QStringList>

#include <memory>

class OutputFolder
{
public:
    // What follows the final name of a dump that is still being written.
    static inline const QString TemporaryMark = QStringLiteral(".tmp-");

    // Opens the folder at path for a run. Null, with the log entry that says why in refusal,
    // when it is missing or not a folder, or when it or a folder above it belongs to someone
    // other than root (or this process's own user) or may be written by anyone else. A folder
    // above with the sticky bit, like /tmp, may be writable by all: no one can replace what
    // root owns inside it. When the settings file at settingsPath may be changed by its group,
    // the folder must belong to that group too: root gave it to those who name it, so they
    // cannot send the service's dumps into a folder of the system's (/etc/logrotate.d, say).
    static std::unique_ptr<OutputFolder> open(const QString &path, const QString &settingsPath,
                                              QString *refusal);
    ~OutputFolder();

    // The folder's path with every link resolved: what the tools are given.
    QString realPath() const { return real; }
    QString filePath(const QString &name) const;

    // Who may read a file the service makes: the admin group too, or its owner only (what
    // holds the roles' password verifiers).
    enum class Readers { Group, OwnerOnly };
    // A new file made by the service itself, exclusively and never through a link, that
    // only its owner may write and only the owner and the admin group may read. Closed, with
    // the reason in error (and *existed set when the name was taken), when it cannot be made.
    File createFile(const QString &name, QString *error, bool *existed = nullptr,
                    Readers readers = Readers::Group);
    // Such a file named base + ".tmp-" and six random letters; its name in *name.
    File createTemporary(const QString &base, QString *name, QString *error,
                         Readers readers = Readers::Group);
    // A file for appending: new, or one that this process's user made before (a job of the
    // same database in the same second shares its run log).
    File openForAppend(const QString &name, QString *error);
    // A file of this process's user, for reading; never through a link.
    File openForRead(const QString &name, QString *error) const;
    bool rename(const QString &from, const QString &to, QString *error);
    // Removes the name itself, never what a link names.
    bool remove(const QString &name);
    // Whether name is a regular file (not a link) that this process's user made.
    bool isOwnFile(const QString &name) const;
    // Makes the folder's entries (a rename) survive a crash; false, with the reason in
    // lastErrorText(), when they may not.
    bool sync();
    // The bytes that this process may still write into the folder's file system; -1 when it
    // cannot be told.
    qint64 freeSpace() const;
    // Temporary files of this process's user, left by a run that never ended.
    QStringList leftovers() const;
    static bool isTemporary(const QString &name);
    // Every name in the folder.
    QStringList names() const;

private:
    OutputFolder(NativeHandle folder, const QString &real) : folder(folder), real(real) {}
    OutputFolder(const OutputFolder &) = delete;
    OutputFolder &operator=(const OutputFolder &) = delete;

    const NativeHandle folder;
    const QString real;
};
