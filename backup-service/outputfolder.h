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

private:
    OutputFolder(int fd, const QString &real) : fd(fd), real(real) {}
    OutputFolder(const OutputFolder &) = delete;
    OutputFolder &operator=(const OutputFolder &) = delete;

    const int fd;
    const QString real;
};
