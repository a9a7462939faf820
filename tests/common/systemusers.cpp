#include "systemusers.h"

#include <QDir>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <grp.h>
#include <pwd.h>

// Six random letters and digits: 36^6 names.
SystemUsers::SystemUsers()
    : m_prefix("sarvt" +
               QString::number(QRandomGenerator::system()->bounded(2176782336u), 36).rightJustified(6, '0')),
      m_shared(QDir::tempPath() + "/sarvela-shared-XXXXXX")
{
}

SystemUsers::~SystemUsers()
{
    // Users first: a user's private group goes with it, shared groups after.
    for (const QString &user : m_users)
        runCommand({"userdel", "--force", user});
    for (const QString &group : m_groups)
        runCommand({"groupdel", group});
}

QString SystemUsers::unavailableReason()
{
    if (::geteuid() != 0)
        return QStringLiteral("making users and groups needs root");
    for (const QString tool : {"useradd", "userdel", "groupadd", "groupdel", "setpriv"})
        if (QStandardPaths::findExecutable(tool, {"/usr/sbin", "/usr/bin"}).isEmpty())
            return tool + " is not installed";
    return QString();
}

bool SystemUsers::runTool(const QStringList &command, QString *error) const
{
    const Ran ran = runCommand(command);
    if (ran.exitCode != 0)
        *error = command.join(' ') + " failed: " + QString::fromLocal8Bit(ran.out + ran.err);
    return ran.exitCode == 0;
}

// Runs the tool that makes the account named role, after a watchdog is in place: a test program
// that crashes or is killed by its time-out runs no destructor, and the watchdog then removes
// whatever carries the prefix once the program is gone.
QString SystemUsers::add(const QString &role, QStringList command, QStringList *made, QString *error)
{
    if (!m_watched)
        afterThisProgram(
            QString("for u in $(getent passwd | cut -d: -f1 | grep '^%1-'); do userdel --force \"$u\"; "
                    "done; for g in $(getent group | cut -d: -f1 | grep '^%1-'); do groupdel \"$g\"; done")
                .arg(m_prefix));
    m_watched = true;
    const QString name = m_prefix + '-' + role;
    if (!runTool(command << name, error))
        return QString();
    *made << name;
    return name;
}

QString SystemUsers::addGroup(const QString &role, QString *error)
{
    return add(role, {"groupadd", "--system"}, &m_groups, error);
}

QString SystemUsers::addUser(const QString &role, const QStringList &groups, QString *error)
{
    QStringList command =
        QString("useradd --system --user-group --no-create-home --shell /usr/sbin/nologin").split(' ');
    if (!groups.isEmpty())
        command << "--groups" << groups.join(',');
    return add(role, command, &m_users, error);
}

uid_t SystemUsers::uid(const QString &user) const
{
    const passwd *pw = ::getpwnam(user.toLocal8Bit().constData());
    return pw ? pw->pw_uid : uid_t(-1);
}

// A user's private group has the user's name.
gid_t SystemUsers::gid(const QString &groupOrUser) const
{
    const group *g = ::getgrnam(groupOrUser.toLocal8Bit().constData());
    return g ? g->gr_gid : gid_t(-1);
}

QStringList SystemUsers::asUser(const QString &user, bool withGroups) const
{
    return {"setpriv", QString("--reuid=%1").arg(uid(user)), QString("--regid=%1").arg(gid(user)),
            withGroups ? "--init-groups" : "--clear-groups", "--"};
}

QString SystemUsers::shareFiles(const QStringList &paths, QString *error)
{
    if (!m_shared.isValid() || !QFile::setPermissions(m_shared.path(), QFile::Permissions(0x7755))) {
        *error = "no folder to share files in: " + m_shared.errorString();
        return QString();
    }
    // Runnable by all: a library or a script is none the worse for it.
    return runTool(QStringList{"install", "-m", "0755", "-t", m_shared.path()} + paths, error)
               ? m_shared.path()
               : QString();
}
