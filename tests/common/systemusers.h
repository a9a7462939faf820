// Throwaway local users and groups for tests that need real other people, e.g.
// a member of an admin group and a user who is not. They are made with groupadd
// and useradd under recognisable random names ("sarvt" + six random characters
// + "-" + role) and always removed again: by the destructor, also when a test
// failed half-way, and by a watchdog when the test program dies without running
// it. Making users needs root; unavailableReason() says why not, for QSKIP.
#pragma once

#include "testfiles.h"

#include <QTemporaryDir>

#include <sys/types.h>

class SystemUsers
{
public:
    SystemUsers();
    ~SystemUsers(); // removes every user and group it made

    static QString unavailableReason(); // empty when users can be made here

    // A new group; returns its full name, or an empty one with error filled.
    QString addGroup(const QString &role, QString *error);
    // A new user with a private group of its own, also a member of groups (full
    // names); returns its full name, or an empty one with error filled.
    QString addUser(const QString &role, const QStringList &groups, QString *error);

    uid_t uid(const QString &user) const;
    gid_t gid(const QString &groupOrUser) const;

    // The command line that runs a program as the user, with the user's own
    // groups (or with none at all: the process then is in no group beyond its
    // primary one, whatever the group file says) and this process's
    // environment: prepend it to the program and its arguments.
    QStringList asUser(const QString &user, bool withGroups = true) const;

    Ran run(const QString &user, const QString &program, const QStringList &arguments,
            const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
            int timeoutMs = 30000, bool withGroups = true) const
    {
        return runCommand(asUser(user, withGroups) << program << arguments, environment, timeoutMs);
    }
    // A shell script run as the user.
    Ran shell(const QString &user, const QString &script,
              const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment()) const
    {
        return run(user, "/bin/sh", {"-c", script}, environment);
    }

    // Copies files into a folder that every user can read and run from (0755),
    // for programs the users must run when the build folder is out of their
    // reach. Returns the folder, or an empty string with error filled.
    QString shareFiles(const QStringList &paths, QString *error);

private:
    bool runTool(const QStringList &command, QString *error) const;
    QString add(const QString &role, QStringList command, QStringList *made, QString *error);

    QString m_prefix;
    QStringList m_users, m_groups;
    bool m_watched = false;
    QTemporaryDir m_shared;
};
