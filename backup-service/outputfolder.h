// The folder that a backup run writes its dumps and run logs into, held open for the run.
// The service runs as root and the folder is named in settings that members of the admin
// group edit, so it is used only when no one but root could change anything in it or in a
// folder above it; every file in it is then reached from the folder's descriptor, never by
// a path that could be made to lead elsewhere.
#pragma once

#include <QString>

#include <memory>
#include <sys/types.h>

class OutputFolder
{
public:
    // What follows the final name of a dump that is still being written.
    static inline const QString TemporaryMark = QStringLiteral(".tmp-");

    // Opens the folder at path for a run. Null, with the log entry that says why in refusal,
    // when it is missing or not a folder, or when it or a folder above it belongs to someone
    // other than root (or this process's own user) or may be written by anyone else. A folder
    // above with the sticky bit, like /tmp, may be writable by all: no one can replace what
    // root owns inside it.
    static std::unique_ptr<OutputFolder> open(const QString &path, QString *refusal);
    ~OutputFolder();

    // The folder's path with every link resolved: what the tools are given.
    QString realPath() const { return real; }
    QString filePath(const QString &name) const;

    // A new file made by the service itself, exclusively and never through a link, that
    // only its owner may write and only the owner and the admin group may read. A descriptor
    // open for reading and writing, or -1 with the reason in error.
    int createFile(const QString &name, QString *error);
    // Such a file named base + ".tmp-" and six random letters; its name in *name.
    int createTemporary(const QString &base, QString *name, QString *error);
    // A file for appending: new, or one that this process's user made before (a job of the
    // same database in the same second shares its run log).
    int openForAppend(const QString &name, QString *error);
    bool rename(const QString &from, const QString &to, QString *error);
    void remove(const QString &name);
    // Makes the folder's entries (a rename) survive a crash.
    void sync();
    // Temporary files of this process's user, left by a run that never ended.
    QStringList leftovers() const;
    static bool isTemporary(const QString &name);

private:
    OutputFolder(int fd, const QString &real) : fd(fd), real(real) {}
    OutputFolder(const OutputFolder &) = delete;
    OutputFolder &operator=(const OutputFolder &) = delete;

    const int fd;
    const QString real;
};
