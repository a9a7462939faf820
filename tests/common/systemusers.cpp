#include "systemusers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

SystemUsers::SystemUsers() : m_shared(QDir::tempPath() + QStringLiteral("/sarvela-shared-XXXXXX"))
{
    const QString letters = QStringLiteral("abcdefghijklmnopqrstuvwxyz0123456789");
    m_prefix = QStringLiteral("sarvt");
    for (int i = 0; i < 6; ++i)
        m_prefix += letters.at(int(QRandomGenerator::system()->bounded(letters.size())));
}

SystemUsers::~SystemUsers()
{
    QString ignored;
    // Users first: a user's private group goes with it, shared groups after.
    for (const QString &user : m_users)
        runTool({QStringLiteral("userdel"), QStringLiteral("--force"), user}, &ignored);
    for (const QString &group : m_groups)
        runTool({QStringLiteral("groupdel"), group}, &ignored);
}

QString SystemUsers::unavailableReason()
{
    if (::geteuid() != 0)
        return QStringLiteral("making users and groups needs root");
    for (const char *tool : {"useradd", "userdel", "groupadd", "groupdel", "setpriv"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool),
                                           {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"),
                                            QStringLiteral("/sbin"), QStringLiteral("/bin")})
                .isEmpty())
            return QStringLiteral("%1 is not installed").arg(QString::fromLatin1(tool));
    return QString();
}

bool SystemUsers::runTool(const QStringList &command, QString *error) const
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(command.first(), command.mid(1));
    if (p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return true;
    *error = command.join(' ') + QStringLiteral(" failed: ") + QString::fromLocal8Bit(p.readAll()) +
             p.errorString();
    return false;
}

// A test program that crashes or is killed by its time-out runs no destructor;
// then this removes whatever carries the prefix once the program is gone.
void SystemUsers::startWatchdog()
{
    if (m_watched)
        return;
    m_watched = true;
    QProcess::startDetached(
        QStringLiteral("setsid"),
        {QStringLiteral("sh"), QStringLiteral("-c"),
         QStringLiteral("while kill -0 %1 2>/dev/null; do sleep 1; done; "
                        "for u in $(getent passwd | cut -d: -f1 | grep '^%2-'); do "
                        "userdel --force \"$u\"; done; "
                        "for g in $(getent group | cut -d: -f1 | grep '^%2-'); do "
                        "groupdel \"$g\"; done")
             .arg(QCoreApplication::applicationPid())
             .arg(m_prefix)});
}

QString SystemUsers::addGroup(const QString &role, QString *error)
{
    const QString name = m_prefix + '-' + role;
    startWatchdog();
    if (!runTool({QStringLiteral("groupadd"), QStringLiteral("--system"), name}, error))
        return QString();
    m_groups << name;
    const group *g = ::getgrnam(name.toLocal8Bit().constData());
    m_gids[name] = g ? g->gr_gid : gid_t(-1);
    return name;
}

QString SystemUsers::addUser(const QString &role, const QStringList &groups, QString *error)
{
    const QString name = m_prefix + '-' + role;
    startWatchdog();
    QStringList command{QStringLiteral("useradd"),      QStringLiteral("--system"),
                        QStringLiteral("--user-group"), QStringLiteral("--no-create-home"),
                        QStringLiteral("--shell"),      QStringLiteral("/usr/sbin/nologin")};
    if (!groups.isEmpty())
        command << QStringLiteral("--groups") << groups.join(',');
    if (!runTool(command << name, error))
        return QString();
    m_users << name;
    const passwd *pw = ::getpwnam(name.toLocal8Bit().constData());
    m_uids[name] = pw ? pw->pw_uid : uid_t(-1);
    m_gids[name] = pw ? pw->pw_gid : gid_t(-1);
    return name;
}

uid_t SystemUsers::uid(const QString &user) const
{
    return m_uids.value(user, uid_t(-1));
}

gid_t SystemUsers::gid(const QString &groupOrUser) const
{
    return m_gids.value(groupOrUser, gid_t(-1));
}

QStringList SystemUsers::asUser(const QString &user, bool withGroups) const
{
    return {QStringLiteral("setpriv"), QStringLiteral("--reuid=%1").arg(uid(user)),
            QStringLiteral("--regid=%1").arg(gid(user)),
            withGroups ? QStringLiteral("--init-groups") : QStringLiteral("--clear-groups"),
            QStringLiteral("--")};
}

SystemUsers::Result SystemUsers::run(const QString &user, const QString &program,
                                     const QStringList &arguments,
                                     const QProcessEnvironment &environment, int timeoutMs,
                                     bool withGroups) const
{
    return runCommand(asUser(user, withGroups) << program << arguments, environment, timeoutMs);
}

QString SystemUsers::shareFiles(const QStringList &paths, QString *error)
{
    const QByteArray folder = QFile::encodeName(m_shared.path());
    if (!m_shared.isValid() || ::chmod(folder.constData(), 0755) != 0) {
        *error = QStringLiteral("no folder to share files in: ") + m_shared.errorString();
        return QString();
    }
    for (const QString &path : paths) {
        const QString copy = m_shared.filePath(QFileInfo(path).fileName());
        QFile::remove(copy);
        if (!QFile::copy(path, copy)) {
            *error = QStringLiteral("cannot copy ") + path;
            return QString();
        }
        const bool runnable = QFileInfo(path).isExecutable();
        ::chmod(QFile::encodeName(copy).constData(), runnable ? 0755 : 0644);
    }
    return m_shared.path();
}
