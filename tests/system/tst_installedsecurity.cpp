// The installed system against the people on the machine. scripts/install-system.sh lays
// the system out in a temporary root, with a throwaway user as the service's own; a member
// of the admin group and a plain user then try what an attacker would. Every attempt must
// fail with its reason visible somewhere an administrator looks, and what the member may do
// must work without root, while the service runs as its own user.
#include "pgcluster.h"
#include "systemusers.h"
#include "testfiles.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString Service = QStringLiteral("Sarvela DB Backup");

// Owner, mode and content of a file, to see that nothing touched it.
QString fingerprint(const QString &path)
{
    struct stat info = {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return QStringLiteral("missing");
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return QStringLiteral("%1:%2 %3 ")
               .arg(QString::number(info.st_uid), QString::number(info.st_gid),
                    QString::number(info.st_mode, 8)) +
           QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1).toHex();
}

bool isLink(const QString &path)
{
    return QFileInfo(path).isSymLink();
}

} // namespace

class TestInstalledSecurity : public QObject
{
    Q_OBJECT

    SystemUsers m_users;
    QString m_skip;
    QString m_group, m_member, m_plain, m_service;
    QTemporaryDir m_root{QDir::tempPath() + QStringLiteral("/sarvela-sec-XXXXXX")};
    QString m_prefix, m_data, m_output, m_state, m_victim, m_othersFile, m_memberDir, m_shared;
    PgCluster m_pg;

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("SVCMGR_DIR"), m_state);
        return env;
    }
    SystemUsers::Result as(const QString &user, const QString &program, const QStringList &args)
    {
        return m_users.run(user, program, args, environment());
    }
    SystemUsers::Result shell(const QString &user, const QString &script)
    {
        return as(user, QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script});
    }
    // A program of the installed directory, run by root.
    SystemUsers::Result asRoot(const QString &program, const QStringList &args)
    {
        QProcess p;
        p.setProcessEnvironment(environment());
        p.start(program, args);
        SystemUsers::Result r;
        if (p.waitForFinished(60000)) {
            r.exitCode = p.exitCode();
            r.out = p.readAllStandardOutput();
            r.err = p.readAllStandardError();
        }
        return r;
    }
    QString sarvelad() const { return m_prefix + QStringLiteral("/sarvelad"); }
    // Waits until a service that is starting has started: until then it takes only a stop,
    // and a command sent meanwhile is lost.
    void waitUntilStarted()
    {
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 10000 &&
               asRoot(m_shared + QStringLiteral("/svcmgrclient"), {"query-status", Service})
                   .out.contains("state=2"))
            QThread::msleep(50);
    }
    bool running()
    {
        return asRoot(sarvelad(), {QStringLiteral("-v")}).out.contains("and running");
    }
    QString log() const { return readText(m_data + QStringLiteral("/busys.log")); }
    QString events() const
    {
        return readText(m_state + QStringLiteral("/events.log.1")) +
               readText(m_state + QStringLiteral("/events.log"));
    }

    bool install(QString *output)
    {
        QProcess script;
        QProcessEnvironment env = environment();
        env.insert(QStringLiteral("PREFIX"), m_prefix);
        env.insert(QStringLiteral("DATA_DIR"), m_data);
        env.insert(QStringLiteral("OUTPUT_DIR"), m_output);
        env.insert(QStringLiteral("ADMIN_GROUP"), m_group);
        env.insert(QStringLiteral("SERVICE_USER"), m_service);
        env.insert(QStringLiteral("NO_SYSTEMD"), QStringLiteral("1"));
        env.insert(QStringLiteral("SARVELA_SKIP_DEPS"), QStringLiteral("1"));
        env.insert(QStringLiteral("SARVELA_SKIP_BUILD"), QStringLiteral("1"));
        env.insert(QStringLiteral("BUILD_DIR"), QStringLiteral(SARVELA_BUILD_DIR));
        script.setProcessEnvironment(env);
        script.setProcessChannelMode(QProcess::MergedChannels);
        script.start(QStringLiteral("bash"),
                     {QStringLiteral(SARVELA_SOURCE_DIR "/scripts/install-system.sh")});
        const bool finished = script.waitForFinished(120000);
        *output = QString::fromUtf8(script.readAll());
        return finished && script.exitCode() == 0;
    }

    // Runs SQL on the installed settings as the member, the way the panel edits them.
    // Waits for the service's reads, as the panel does.
    bool memberSql(const QString &statement)
    {
        return shell(m_member, QStringLiteral("sqlite3 -cmd '.timeout 5000' '%1' \"%2\"")
                                   .arg(m_prefix + QStringLiteral("/confbu.cfg"), statement))
                   .exitCode == 0;
    }

    // Restarts the service as the member, so that it reads the settings anew, and asks it
    // for a backup now, as the member may; waits until done() says so.
    bool runBackup(const std::function<bool()> &done)
    {
        QElapsedTimer waited;
        waited.start();
        // A run still going is cancelled by the stop, which may take the stop its time.
        as(m_member, sarvelad(), {QStringLiteral("-t")});
        while (running() && waited.elapsed() < 10000)
            QThread::msleep(100);
        as(m_member, sarvelad(), {});
        waitUntilStarted();
        as(m_member, sarvelad(), {QStringLiteral("-c"), QStringLiteral("1")});
        while (!done() && waited.elapsed() < 60000)
            QThread::msleep(100);
        return done();
    }
    // The same, done when the log has one more entry holding text.
    bool runBackup(const QString &text)
    {
        const int before = log().count(text);
        return runBackup([=] { return log().count(text) > before; });
    }

    bool installed()
    {
        return !asRoot(sarvelad(), {QStringLiteral("-v")}).out.contains("not installed");
    }
    // Root sets the scene: installed with the group's rights, running or not.
    bool setScene(bool installedBefore, bool runningBefore)
    {
        asRoot(sarvelad(), {QStringLiteral("-t")});
        if (!installedBefore) {
            asRoot(sarvelad(), {QStringLiteral("-u")});
        } else if (!installed()) {
            if (asRoot(sarvelad(), {QStringLiteral("-i")}).exitCode != 0 ||
                asRoot(m_prefix + QStringLiteral("/svcmgr-access"), {Service, m_group}).exitCode !=
                    0)
                return false;
        }
        if (runningBefore) {
            asRoot(sarvelad(), {});
            waitUntilStarted();
        }
        return installed() == installedBefore && running() == runningBefore;
    }

    // The service's process: the one running the installed program.
    qint64 servicePid() const
    {
        for (const QString &pid : QDir("/proc").entryList(QDir::Dirs))
            if (pid.toLongLong() > 0 &&
                QFileInfo("/proc/" + pid + "/exe").symLinkTarget() == sarvelad())
                return pid.toLongLong();
        return 0;
    }
    // A line of /proc/PID/status, its name left out.
    static QString status(qint64 pid, const QString &name)
    {
        for (const QString &line : readLines(QStringLiteral("/proc/%1/status").arg(pid)))
            if (line.startsWith(name + ':'))
                return line.mid(name.size() + 1).simplified();
        return QString();
    }
    SystemUsers::Result config(const QStringList &args)
    {
        return asRoot(m_prefix + QStringLiteral("/svcmgr-config"), QStringList{Service} + args);
    }

    void stopManager()
    {
        const QString pid = readText(m_state + QStringLiteral("/svcmgrd.pid")).trimmed();
        if (!pid.isEmpty())
            ::kill(pid.toInt(), SIGTERM);
    }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void programDirectoryIsRootsAlone_data();
    void programDirectoryIsRootsAlone();
    void dataDirectoryKeepsRootsFiles_data();
    void dataDirectoryKeepsRootsFiles();
    void memberBacksUpWithoutRoot();
    void crashedSaveOfAMemberIsRolledBack();
    void plantedLinksAndFoldersAreRefused_data();
    void plantedLinksAndFoldersAreRefused();
    void serviceRunsAsItsOwnUser();
    void killedServiceIsStartedAgain();
    void rootRegistrationIsHandedOver();
    void reinstallHandlesWhatMembersPlanted_data();
    void reinstallHandlesWhatMembersPlanted();
    void rightsOnTheService_data();
    void rightsOnTheService();
    void panel_data();
    void panel();
    void managerHoldsUpUnderACrowd();
    void eventFloodIsRefused();
};

void TestInstalledSecurity::initTestCase()
{
    m_skip = SystemUsers::unavailableReason();
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    QString error;
    m_group = m_users.addGroup(QStringLiteral("adm"), &error);
    m_member = m_users.addUser(QStringLiteral("member"), {m_group}, &error);
    m_plain = m_users.addUser(QStringLiteral("plain"), {}, &error);
    m_service = m_users.addUser(QStringLiteral("service"), {m_group}, &error);
    QVERIFY2(!m_service.isEmpty(), qPrintable(error));

    // The whole root is reachable by every user, as /opt and /var are.
    QVERIFY(::chmod(QFile::encodeName(m_root.path()).constData(), 0755) == 0);
    m_prefix = m_root.filePath(QStringLiteral("opt/sarvela"));
    m_data = m_root.filePath(QStringLiteral("var/lib/sarvela"));
    m_output = m_root.filePath(QStringLiteral("var/backups/sarvela"));
    m_state = m_root.filePath(QStringLiteral("svcmgr"));
    m_victim = m_root.filePath(QStringLiteral("victim"));
    m_memberDir = m_root.filePath(QStringLiteral("home-member"));
    QFile victim(m_victim);
    QVERIFY(victim.open(QIODevice::WriteOnly));
    victim.write("root's own file\n");
    victim.close();
    QVERIFY(QDir().mkpath(m_memberDir));
    // A plain user's file, which nothing may take over.
    m_othersFile = m_root.filePath(QStringLiteral("milik-plain"));
    QVERIFY(writeBytes(m_othersFile, "milik pengguna biasa\n"));
    QVERIFY(::chown(QFile::encodeName(m_othersFile).constData(), m_users.uid(m_plain),
                    m_users.gid(m_plain)) == 0);
    QVERIFY(::chown(QFile::encodeName(m_memberDir).constData(), m_users.uid(m_member),
                    m_users.gid(m_member)) == 0);

    QString output;
    const bool installed = install(&output);
    // The manager runs on its own from here; a test program that dies still stops it.
    QProcess::startDetached(QStringLiteral("setsid"),
                            {QStringLiteral("sh"), QStringLiteral("-c"),
                             QStringLiteral("while kill -0 %1 2>/dev/null; do sleep 1; done; "
                                            "kill $(cat '%2/svcmgrd.pid' 2>/dev/null) 2>/dev/null")
                                 .arg(QCoreApplication::applicationPid())
                                 .arg(m_state)});
    QVERIFY2(installed, qPrintable(output));
    QVERIFY2(running(), qPrintable(output));

    QVERIFY2(m_pg.start(&error) && m_pg.createSampleDatabase(QStringLiteral("penjualan"), &error),
             qPrintable(error));
    QVERIFY(memberSql(QStringLiteral("update confdb set server='%1', port=%2, user='%3', "
                                     "pass='%4', outputdir='%5'; insert into tbldb values "
                                     "('penjualan')")
                          .arg(m_pg.host(), QString::number(m_pg.port()), m_pg.superUser(),
                               m_pg.superPassword(), m_output)));
    m_shared = m_users.shareFiles({QStringLiteral(SARVELA_BIN_DIR "/svcmgrclient"),
                                   QStringLiteral(SARVELA_BIN_DIR "/panelprobe"),
                                   QStringLiteral(SARVELA_BIN_DIR "/libsvcmgr.so")},
                                  &error);
    QVERIFY2(!m_shared.isEmpty(), qPrintable(error));
}

void TestInstalledSecurity::cleanupTestCase()
{
    if (m_skip.isEmpty() && !m_prefix.isEmpty()) {
        asRoot(sarvelad(), {QStringLiteral("-t")});
        stopManager();
    }
}

void TestInstalledSecurity::programDirectoryIsRootsAlone_data()
{
    QTest::addColumn<QString>("attempt"); // run by the member, in the program directory
    QTest::newRow("rename the service program aside") << "mv sarvelad sarvelad.asli";
    QTest::newRow("write a program over the service") << "cp /bin/sh sarvelad";
    QTest::newRow("replace the manager's library") << "cp /bin/sh libsvcmgr.so";
    QTest::newRow("rename the manager aside") << "mv svcmgrd svcmgrd.asli";
    QTest::newRow("re-point the dump tool") << "ln -sfn /bin/sh dbutils/pg_dump";
    QTest::newRow("add a tool beside it") << "cp /bin/sh dbutils/pg_restore.baru";
    QTest::newRow("add a plugin folder that Qt would search") << "mkdir sqldrivers";
    QTest::newRow("re-point the log link") << "ln -sfn /etc/passwd busys.log";
}

void TestInstalledSecurity::programDirectoryIsRootsAlone()
{
    QFETCH(QString, attempt);
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    auto listing = [this] {
        QStringList entries;
        for (const QString name :
             {"sarvelad", "svcmgrd", "libsvcmgr.so", "dbutils/pg_dump", "busys.log", "confbu.cfg"})
            entries << name + (' ' + fingerprint(m_prefix + '/' + name)) +
                           QFileInfo(m_prefix + '/' + name).symLinkTarget();
        return entries + QDir(m_prefix).entryList(QDir::AllEntries | QDir::System) +
               QDir(m_prefix + "/dbutils").entryList(QDir::AllEntries | QDir::System);
    };
    const QStringList before = listing();
    const SystemUsers::Result r = shell(m_member, "cd '" + m_prefix + "' && " + attempt);
    QVERIFY2(r.exitCode != 0, "the member changed the program directory");
    QVERIFY2(r.err.contains("Permission denied"), r.err.constData());
    QCOMPARE(listing(), before);
}

void TestInstalledSecurity::dataDirectoryKeepsRootsFiles_data()
{
    QTest::addColumn<QString>("attempt"); // run by the member, in the data directory
    QTest::addColumn<bool>("allowed");
    QTest::newRow("rename the log aside") << "mv busys.log busys.lama" << false;
    QTest::newRow("remove the settings") << "rm -f confbu.cfg" << false;
    QTest::newRow("replace the history by a link")
        << "ln -sfn /etc/passwd riwayat/riwayat.db" << false;
    QTest::newRow("write into the history") << "echo x >> riwayat/riwayat.db" << false;
    QTest::newRow("forge the history's journal") << "echo x > riwayat/riwayat.db-journal" << false;
    QTest::newRow("plant a lock that keeps backups from running")
        << "touch riwayat/sarvelad.lock.baru" << false;
    QTest::newRow("empty the log, as the log viewer does") << ": > busys.log" << true;
    QTest::newRow("read the history") << "cat riwayat/riwayat.db > /dev/null" << true;
    QTest::newRow("edit the settings, as the panel does")
        << "sqlite3 confbu.cfg \"update confdb set server=server\"" << true;
}

void TestInstalledSecurity::dataDirectoryKeepsRootsFiles()
{
    QFETCH(QString, attempt);
    QFETCH(bool, allowed);
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    const QStringList names{"busys.log", "confbu.cfg", "riwayat/riwayat.db", "riwayat"};
    auto owners = [&] {
        QStringList result;
        for (const QString &name : names)
            result << name + (isLink(m_data + '/' + name) ? " link " : " ") +
                          QString::number(QFileInfo(m_data + '/' + name).ownerId());
        return result;
    };
    const QStringList before = owners();
    const SystemUsers::Result r = shell(m_member, "cd '" + m_data + "' && " + attempt);
    QVERIFY2((r.exitCode == 0) == allowed, r.err.constData());
    QCOMPARE(owners(), before);
}

// The member's everyday work: start the service, let it back up, read the dump. The drill
// after the run restores it in a scratch cluster of the service's own user, in its own kerja/;
// the globals, with the roles' password verifiers, are the service's alone.
void TestInstalledSecurity::memberBacksUpWithoutRoot()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    QVERIFY(memberSql(QStringLiteral("delete from confuji; insert into confuji values (1, 0)")));
    const bool drilled = runBackup(QStringLiteral("Uji Pulih "));
    QVERIFY(memberSql(QStringLiteral("update confuji set jadwal = 0")));
    QVERIFY2(drilled && log().contains(QStringLiteral("Uji Pulih OK : database [penjualan]")),
             qPrintable(log()));
    const QStringList dumps = QDir(m_output).entryList({"bu_penjualan_*.bu"}, QDir::Files);
    QVERIFY(!dumps.isEmpty());
    const QString dump = m_output + '/' + dumps.last();
    QCOMPARE(shell(m_member, "head -c 5 '" + dump + "'").out, QByteArray("PGDMP"));
    QVERIFY(shell(m_plain, "cat '" + dump + "' > /dev/null").exitCode != 0);
    QVERIFY(shell(m_plain, "cat '" + m_data + "/confbu.cfg' > /dev/null").exitCode != 0);
    const QStringList globals = QDir(m_output).entryList({"bu_globals_*.sql"}, QDir::Files);
    QVERIFY(!globals.isEmpty());
    QVERIFY(shell(m_member, "cat '" + m_output + '/' + globals.last() + "' > /dev/null").exitCode !=
            0);
    QVERIFY(shell(m_member, "ls '" + m_data + "/kerja' > /dev/null").exitCode != 0);
    // What initdb made, kept for the next drill; nothing of the drill itself.
    QCOMPARE(
        QDir(m_data + QStringLiteral("/kerja")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
        QStringList{QStringLiteral("templat-15")});
}

// A member's save that died half-way leaves its journal, which no one else may remove from
// the sticky data directory: the service rolls it back all the same and backs up.
void TestInstalledSecurity::crashedSaveOfAMemberIsRolledBack()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    const QString journal = m_data + "/confbu.cfg-journal";
    QStringList command = m_users.asUser(m_member) << "sqlite3" << m_data + "/confbu.cfg";
    QProcess save;
    save.start(command.first(), command.mid(1));
    QVERIFY(save.waitForStarted());
    // Big enough to spill into the file before the commit that never comes.
    save.write(
        "PRAGMA cache_size=1; BEGIN; UPDATE confdb SET server='setengah'; CREATE TABLE isi(x);"
        "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM c WHERE i<2000) "
        "INSERT INTO isi SELECT randomblob(4000) FROM c;\n");
    QTRY_VERIFY(QFileInfo(journal).size() > 0 &&
                QFileInfo(journal).ownerId() == m_users.uid(m_member));
    QTest::qWait(300);
    ::kill(pid_t(save.processId()), SIGKILL);
    save.waitForFinished();
    QVERIFY(QFileInfo(journal).size() > 0);

    QVERIFY2(runBackup(QStringLiteral("Backup Database OK : database [penjualan]")),
             qPrintable(log()));
    QCOMPARE(QFileInfo(journal).size(), 0);
    QCOMPARE(
        asRoot("sqlite3", {"-readonly", m_data + "/confbu.cfg", "select server from confdb"}).out,
        m_pg.host().toUtf8() + '\n');
}

void TestInstalledSecurity::plantedLinksAndFoldersAreRefused_data()
{
    QTest::addColumn<QString>("plantAsRoot");   // made ready by root first
    QTest::addColumn<QString>("plantAsMember"); // then the member's move
    QTest::addColumn<QString>("settings");      // then the member's settings
    QTest::addColumn<QString>("shownIn");       // "log" or "events"
    QTest::addColumn<QString>("reason");        // what it says there

    QTest::newRow("a link planted as the log while it is missing")
        << "rm -f {data}/busys.log"
        << "ln -s {victim} {data}/busys.log"
        << ""
        << "events"
        << "busys.log tidak dapat ditulis";
    QTest::newRow("a folder of the member's, with links named like the coming files")
        << ""
        << "mkdir -p {home}/bu && for s in 0 1 2 3 4 5 6 7 8 9; do "
           "ln -s {victim} {home}/bu/bu_penjualan_$(date +%Y%m%d.%H%M)0$s.bu; done"
        << "update confdb set outputdir='{home}/bu'"
        << "log"
        << "Lokasi backup [{home}] dimiliki pengguna lain";
    QTest::newRow("a link of the member's as a folder of the path, to a folder of root's")
        << "mkdir -p {root}/sistem"
        << "ln -sfn {root}/sistem {home}/keluar"
        << "update confdb set outputdir='{home}/keluar'"
        << "log"
        << "Lokasi backup [{root}/sistem]";
    QTest::newRow("a FIFO planted as the settings' journal: refused, nothing waits")
        << ""
        << "mkfifo {data}/confbu.cfg-journal"
        << ""
        << "log"
        << "Error Load database :[{data}/confbu.cfg-journal] bukan berkas biasa";
    QTest::newRow("a second name of another user's file as the settings' journal: refused")
        << "ln {others} {data}/confbu.cfg-journal"
        << ""
        << ""
        << "log"
        << "Error Load database :[{data}/confbu.cfg-journal] memiliki lebih dari satu nama";
    QTest::newRow("a database name that leads out of the folder")
        << ""
        << ""
        << "delete from tbldb; insert into tbldb values ('../../../victim')"
        << "log"
        << "Backup Database DITOLAK : nama database [../../../victim]";
}

void TestInstalledSecurity::plantedLinksAndFoldersAreRefused()
{
    QFETCH(QString, plantAsRoot);
    QFETCH(QString, plantAsMember);
    QFETCH(QString, settings);
    QFETCH(QString, shownIn);
    QFETCH(QString, reason);
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    auto fill = [this](QString text) {
        return text.replace("{data}", m_data)
            .replace("{victim}", m_victim)
            .replace("{others}", m_othersFile)
            .replace("{home}", m_memberDir)
            .replace("{root}", m_root.path());
    };
    const QString victim = fingerprint(m_victim), others = fingerprint(m_othersFile);
    if (!plantAsRoot.isEmpty())
        QVERIFY(asRoot("/bin/sh", {"-c", fill(plantAsRoot)}).exitCode == 0);
    if (!plantAsMember.isEmpty())
        QVERIFY(shell(m_member, fill(plantAsMember)).exitCode == 0);
    const QStringList rootFolder = QDir(m_root.path()).entryList();
    if (!settings.isEmpty())
        QVERIFY(memberSql(fill(settings)));

    const QString where = fill(reason);
    if (shownIn == "events") {
        QVERIFY2(runBackup([&] { return events().contains(where); }), qPrintable(events()));
    } else {
        QVERIFY2(runBackup(where), qPrintable(log()));
    }
    QCOMPARE(fingerprint(m_victim), victim);
    QCOMPARE(fingerprint(m_othersFile), others);
    QCOMPARE(QDir(m_root.path()).entryList(), rootFolder);
    QVERIFY(QDir(m_root.filePath("sistem")).entryList(QDir::Files).isEmpty());
}

// Back to the usual settings and a log of root's after every case, also a failed one.
void TestInstalledSecurity::cleanup()
{
    if (!m_skip.isEmpty())
        return;
    // A journal planted beside the settings would hold the member's own sqlite3.
    const QString journal = m_data + "/confbu.cfg-journal";
    struct stat info = {};
    if (::lstat(QFile::encodeName(journal).constData(), &info) == 0 &&
        (!S_ISREG(info.st_mode) || info.st_nlink != 1))
        QVERIFY(QFile::remove(journal));
    QVERIFY(memberSql(QStringLiteral("update confdb set outputdir='%1'; delete from tbldb; "
                                     "insert into tbldb values ('penjualan')")
                          .arg(m_output)));
    const QString logPath = m_data + "/busys.log";
    if (::lstat(QFile::encodeName(logPath).constData(), &info) != 0 || !S_ISREG(info.st_mode)) {
        QFile::remove(logPath);
        QVERIFY(asRoot("/usr/bin/install", {"-m", "0660", "-g", m_group, "/dev/null", logPath})
                    .exitCode == 0);
    }
}

// A registration that runs it as root, as an earlier install made it: the service does no
// work as root and says why; a reinstall gives the registration the service's user.
void TestInstalledSecurity::rootRegistrationIsHandedOver()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    QVERIFY(setScene(false, false));
    QCOMPARE(asRoot(sarvelad(), {"-i", "LocalSystem"}).exitCode, 0);
    QVERIFY(config({"--show"}).out.contains("LocalSystem"));
    asRoot(sarvelad(), {});
    QTRY_VERIFY2_WITH_TIMEOUT(events().contains("Service tidak dijalankan sebagai root") &&
                                  !running(),
                              qPrintable(events()), 10000);

    QString output;
    QVERIFY2(install(&output), qPrintable(output));
    QVERIFY(config({"--show"}).out.contains(".\\" + m_service.toUtf8()));
    qint64 pid = 0;
    QTRY_VERIFY((pid = servicePid()) != 0);
    QCOMPARE(status(pid, "Uid").section(' ', 0, 0), QString::number(m_users.uid(m_service)));
    QVERIFY(asRoot(m_prefix + "/svcmgr-access", {"--show", Service})
                .out.startsWith(m_group.toUtf8() + '\t'));
}

void TestInstalledSecurity::reinstallHandlesWhatMembersPlanted_data()
{
    QTest::addColumn<QString>("asMember"); // run in the data directory, its log removed first
    QTest::newRow("links where names are missing: moved aside, nothing followed")
        << "ln -s {victim} busys.log && ln -s {victim} confbu.cfg-journal && "
           "ln -s {others} riwayat.db";
    QTest::newRow("FIFOs where names are missing: moved aside, nothing waits")
        << "mkfifo busys.log confbu.cfg-journal riwayat.db";
    QTest::newRow("a second name of the settings as their journal: removed")
        << "ln -s {victim} busys.log && ln confbu.cfg confbu.cfg-journal";
    QTest::newRow("folders at the names things went aside to, for the next minutes")
        << "ln -s {victim} busys.log && for s in $(seq 0 180); do "
           "mkdir busys.log.ditolak-$(date -d \"+$s seconds\" +%Y%m%d%H%M%S); done";
}

// What a member may leave in the data directory for root's next install: it ends in time,
// follows and waits on nothing, keeps the settings and runs the service again.
void TestInstalledSecurity::reinstallHandlesWhatMembersPlanted()
{
    QFETCH(QString, asMember);
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    const QString victim = fingerprint(m_victim), others = fingerprint(m_othersFile);
    QVERIFY(asRoot(sarvelad(), {"-t"}).exitCode == 0);
    QVERIFY(QFile::remove(m_data + "/busys.log"));
    QVERIFY(shell(m_member,
                  "cd " + m_data + " && " +
                      asMember.replace("{victim}", m_victim).replace("{others}", m_othersFile))
                .exitCode == 0);

    QElapsedTimer took;
    took.start();
    QString output;
    QVERIFY2(install(&output), qPrintable(output));
    QVERIFY2(took.elapsed() < 60000, qPrintable(output));
    QCOMPARE(fingerprint(m_victim), victim);
    QCOMPARE(fingerprint(m_othersFile), others);
    for (const char *name : {"busys.log", "confbu.cfg-journal"}) {
        struct stat info = {};
        const bool exists = ::lstat(QFile::encodeName(m_data + '/' + name).constData(), &info) == 0;
        QVERIFY2(!exists || (S_ISREG(info.st_mode) && info.st_nlink == 1), qPrintable(output));
    }
    QVERIFY2(output.contains("moved aside"), qPrintable(output));
    QVERIFY(running());
    struct stat settings = {};
    QVERIFY(::lstat(QFile::encodeName(m_data + "/confbu.cfg").constData(), &settings) == 0);
    QCOMPARE(settings.st_nlink, nlink_t(1));
    QCOMPARE(asRoot("sqlite3", {m_data + "/confbu.cfg", "select dbname from tbldb"}).out,
             QByteArray("penjualan\n"));
}

// It runs as the user made for it, with that user's groups, and is registered so.
void TestInstalledSecurity::serviceRunsAsItsOwnUser()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    QVERIFY(setScene(true, true));
    qint64 pid = 0;
    QTRY_VERIFY((pid = servicePid()) != 0);
    const QString uid = QString::number(m_users.uid(m_service));
    QCOMPARE(status(pid, "Uid"), QStringList({uid, uid, uid, uid}).join(' '));
    QVERIFY2(status(pid, "Groups").split(' ').contains(QString::number(m_users.gid(m_group))),
             qPrintable(status(pid, "Groups")));
    QVERIFY2(config({"--show"}).out.contains(".\\" + m_service.toUtf8()),
             config({"--show"}).out.constData());
}

// Killed, it is started again after the delay its failure actions set, and the event log
// says why.
void TestInstalledSecurity::killedServiceIsStartedAgain()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    QVERIFY(setScene(true, true));
    QCOMPARE(config({"--restart-after", "1", "--reset-after", "60"}).exitCode, 0);
    const auto restore = qScopeGuard([this] {
        config({"--restart-after", "60", "--reset-after", "86400"});
    });
    qint64 killed = 0;
    QTRY_VERIFY((killed = servicePid()) != 0);
    QCOMPARE(::kill(pid_t(killed), SIGKILL), 0);
    QTRY_VERIFY_WITH_TIMEOUT(servicePid() != 0 && servicePid() != killed && running(), 20000);
    QVERIFY2(
        events().contains(QStringLiteral("The %1 service terminated unexpectedly").arg(Service)) &&
            events().contains("Restart the service"),
        qPrintable(events()));
}

void TestInstalledSecurity::rightsOnTheService_data()
{
    QTest::addColumn<QString>("who");
    QTest::addColumn<QString>("option"); // empty: start
    QTest::addColumn<bool>("installedBefore");
    QTest::addColumn<bool>("runningBefore");
    QTest::addColumn<bool>("installedAfter");
    QTest::addColumn<bool>("runningAfter");
    QTest::addColumn<QString>("says");

    QTest::newRow("the member starts it") << "member"
                                          << "" << true << false << true << true << "";
    QTest::newRow("the member stops it") << "member"
                                         << "-t" << true << true << true << false << "";
    QTest::newRow("the member cannot uninstall it")
        << "member"
        << "-u" << true << true << true << true << "could not be uninstalled";
    QTest::newRow("the member cannot install it")
        << "member"
        << "-i" << false << false << false << false << "could not be installed";
    QTest::newRow("a plain user cannot start it")
        << "plain"
        << "" << true << false << true << false << "could not start";
    QTest::newRow("a plain user cannot stop it")
        << "plain"
        << "-t" << true << true << true << true << "could not be stopped";
}

void TestInstalledSecurity::rightsOnTheService()
{
    QFETCH(QString, who);
    QFETCH(QString, option);
    QFETCH(bool, installedBefore);
    QFETCH(bool, runningBefore);
    QFETCH(bool, installedAfter);
    QFETCH(bool, runningAfter);
    QFETCH(QString, says);
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    QVERIFY(setScene(installedBefore, runningBefore));

    const QString user = who == "member" ? m_member : m_plain;
    const SystemUsers::Result r =
        as(user, sarvelad(), option.isEmpty() ? QStringList() : QStringList{option});
    QVERIFY2(says.isEmpty() ? r.exitCode == 0 : (r.out + r.err).contains(says.toUtf8()),
             (r.out + r.err).constData());
    QCOMPARE(installed(), installedAfter);
    QCOMPARE(running(), runningAfter);
}

void TestInstalledSecurity::panel_data()
{
    QTest::addColumn<QString>("who");
    QTest::addColumn<bool>("installedBefore");
    QTest::addColumn<bool>("runningBefore");
    QTest::addColumn<QStringList>("steps"); // what they do in the panel
    QTest::addColumn<QString>("says");      // the box the panel shows; empty: none
    QTest::addColumn<bool>("installedAfter");
    QTest::addColumn<bool>("runningAfter");

    // The delivered settings have no backup time on, which Start asks about first.
    QTest::newRow("the member starts it")
        << "member" << true << false << QStringList{"answer:yes", "click:butStart"}
        << "Tidak ada jam backup yang aktif" << true << true;
    QTest::newRow("the member stops it")
        << "member" << true << true << QStringList{"click:butStop"} << "" << true << false;
    QTest::newRow("the member saves and restarts it")
        << "member" << true << true << QStringList{"click:butSaveRestart"}
        << "Data Berhasil disimpan." << true << true;
    QTest::newRow("the member may not uninstall it, and is told why")
        << "member" << true << true << QStringList{"menu:&Uninstall Service"}
        << "Anda tidak memiliki hak untuk menguninstall service" << true << true;
    QTest::newRow("the member may not install it, and is told why")
        << "member" << false << false << QStringList{"menu:&Install Service"}
        << "Anda tidak memiliki hak untuk menginstall service" << false << false;
    QTest::newRow("root installs it under the service's own user")
        << "root" << false << false << QStringList{"yes"}
        << "Service belum diinstall, apakah akan install service?." << true << false;
}

// The member runs the control panel itself, without sudo, and root runs it too, through the
// test's copy of the panel that tells which boxes it shows.
void TestInstalledSecurity::panel()
{
    QFETCH(QString, who);
    QFETCH(bool, installedBefore);
    QFETCH(bool, runningBefore);
    QFETCH(QStringList, steps);
    QFETCH(QString, says);
    QFETCH(bool, installedAfter);
    QFETCH(bool, runningAfter);
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    QVERIFY(setScene(installedBefore, runningBefore));

    QTemporaryDir tmp(QStringLiteral("/tmp/sarpanel-XXXXXX"));
    QVERIFY(QFile::setPermissions(tmp.path(), QFileDevice::Permissions(0x7777)));
    QProcessEnvironment env = environment();
    env.insert("TMPDIR", tmp.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QStringList command = (who == "root" ? QStringList() : m_users.asUser(m_member))
                          << m_shared + "/panelprobe" << m_prefix;
    QProcess panel;
    panel.setProcessEnvironment(env);
    const QString program = command.takeFirst();
    panel.start(program, command + steps);
    // Ended as the desktop ends it, so that it lets its single-instance segment go.
    const auto end = qScopeGuard([&panel] {
        ::kill(pid_t(panel.processId()), SIGTERM);
        if (!panel.waitForFinished(10000))
            panel.kill();
        panel.waitForFinished();
    });
    QByteArray shown;
    auto settled = [&] {
        shown += panel.readAllStandardOutput();
        return (says.isEmpty() || shown.contains("box: " + says.toUtf8())) &&
               installed() == installedAfter && running() == runningAfter;
    };
    QTRY_VERIFY2_WITH_TIMEOUT(settled(), (shown + panel.readAllStandardError()).constData(), 30000);
    if (says.isEmpty())
        QVERIFY2(!shown.contains("box: "), shown.constData());
    if (installedAfter)
        QVERIFY(config({"--show"}).out.contains(".\\" + m_service.toUtf8()));
}

// 600 connections that never finish a request, from one plain user: root's own
// commands still go through, each within a second.
void TestInstalledSecurity::managerHoldsUpUnderACrowd()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    QProcess crowd;
    QProcessEnvironment env = environment();
    env.insert("LD_LIBRARY_PATH", m_shared);
    crowd.setProcessEnvironment(env);
    const QStringList command = m_users.asUser(m_plain) << m_shared + "/svcmgrclient"
                                                        << "hold"
                                                        << "600"
                                                        << "16";
    crowd.start(command.first(), command.mid(1));
    QVERIFY(crowd.waitForReadyRead(30000));
    QCOMPARE(crowd.readLine().trimmed(), QByteArray("held=600"));

    const QList<QStringList> steps{{"-t"}, {"-u"}, {"-i"}, {}, {"-t"}};
    for (const QStringList &step : steps) {
        QElapsedTimer t;
        t.start();
        const SystemUsers::Result r = asRoot(sarvelad(), step);
        QVERIFY2(r.exitCode == 0, (r.out + r.err).constData());
        QVERIFY2(t.elapsed() < 1000,
                 qPrintable(step.join(' ') + QString(": %1 ms").arg(t.elapsed())));
    }
    QCOMPARE(asRoot(m_prefix + "/svcmgr-access", {Service, m_group}).exitCode, 0);
    crowd.closeWriteChannel();
    crowd.waitForFinished(10000);
}

// A plain user's reports are refused: the log keeps its bound and root's records.
void TestInstalledSecurity::eventFloodIsRefused()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    QVERIFY(
        asRoot(m_shared + "/svcmgrclient", {"report", "root-penanda", "catatan root"}).exitCode ==
        0);
    QProcessEnvironment env = environment();
    env.insert("LD_LIBRARY_PATH", m_shared);
    const SystemUsers::Result flood = m_users.run(
        m_plain, m_shared + "/svcmgrclient", {"report", Service, QString(4000, 'x'), "5000"}, env);
    QVERIFY2(flood.out.contains("error=5"), (flood.out + flood.err).constData());
    QVERIFY(!events().contains(QString(100, 'x')));
    QVERIFY(events().contains("catatan root"));
    for (const char *name : {"events.log", "events.log.1"})
        QVERIFY(QFileInfo(m_state + '/' + name).size() <= 4 * 1024 * 1024);
}

QTEST_GUILESS_MAIN(TestInstalledSecurity)
#include "tst_installedsecurity.moc"
