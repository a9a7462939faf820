// The installed system against the people on the machine. scripts/install-system.sh lays
// the system out in a temporary root, with a throwaway user as the service's own; a member
// of the admin group and a plain user then try what an attacker would. Every attempt must
// fail with its reason visible somewhere an administrator looks, and what the member may do
// must work without root, while the service runs as its own user.
#include "pgcluster.h"
#include "systemusers.h"
#include "texttable.h"

#include <csignal>
#include <functional>

const QString Service = QStringLiteral("Sarvela DB Backup");

class TestInstalledSecurity : public QObject
{
    Q_OBJECT

    SystemUsers m_users;
    QString m_group, m_member, m_plain, m_service;
    QTemporaryDir m_root{QDir::tempPath() + "/sarvela-sec-XXXXXX"};
    const QString m_prefix = m_root.filePath("opt/sarvela"), m_data = m_root.filePath("var/lib/sarvela");
    const QString m_output = m_root.filePath("var/backups/sarvela"), m_state = m_root.filePath("svcmgr");
    // Root's own file, the plain user's and the member's folder.
    const QString m_victim = m_root.filePath("victim"), m_home = m_root.filePath("home-member");
    QString m_shared;
    PgCluster m_pg;

    // Everyone here talks to the installed system's manager (SVCMGR_DIR, set for all).
    Ran shell(const QString &user, const QString &script) { return m_users.shell(user, script); }
    // The installed service program, run by root or by a user.
    Ran sarvelad(const QStringList &args, const QString &user = QString())
    {
        const QString program = m_prefix + "/sarvelad";
        return user.isEmpty() ? runCommand(QStringList{program} + args) : m_users.run(user, program, args);
    }
    QByteArray registration() { return runCommand({m_prefix + "/svcmgr-config", Service, "--show"}).out; }
    // Whether the user can read each path (a folder's list): "yes", "no" or "missing", joined.
    QString readable(const QString &user, const QStringList &paths)
    {
        QStringList said;
        for (const QString &path : paths) {
            const QString read = QString("{ [ -d '%1' ] && ls '%1' || cat '%1'; } > /dev/null").arg(path);
            said << (!QFileInfo::exists(path) ? "missing" : shell(user, read).exitCode ? "no" : "yes");
        }
        return said.join(' ');
    }
    QString state()
    {
        const QByteArray said = sarvelad({"-v"}).out;
        return said.contains("not installed") ? "none" : said.contains("and running") ? "running" : "stopped";
    }
    QString log() const { return readText(m_data + "/busys.log"); }
    QString events() const { return readText(m_state + "/events.log.1") + readText(m_state + "/events.log"); }
    // Starts the service and waits until it has: until then it takes only a stop, and a command
    // sent meanwhile is lost.
    void start(const QString &user = QString())
    {
        sarvelad({}, user);
        waitUntil([&] {
            return !runCommand({m_shared + "/svcmgrclient", "query-status", Service}).out.contains("state=2");
        });
    }

    // The install script, on the build, for this scratch system; what it said when it failed.
    QString install()
    {
        const Ran script =
            runCommand({"env", "PREFIX=" + m_prefix, "DATA_DIR=" + m_data, "OUTPUT_DIR=" + m_output,
                        "ADMIN_GROUP=" + m_group, "SERVICE_USER=" + m_service, "NO_SYSTEMD=1",
                        "SARVELA_SKIP_DEPS=1", "SARVELA_SKIP_BUILD=1", "BUILD_DIR=" SARVELA_BUILD_DIR, "bash",
                        SARVELA_SOURCE_DIR "/scripts/install-system.sh"},
                       QProcessEnvironment::systemEnvironment(), 120000);
        return script.exitCode == 0 ? QString() : QString::fromUtf8(script.out + script.err);
    }
    // Runs SQL on the installed settings as the member, the way the panel edits them,
    // waiting for the service's reads as the panel does.
    bool memberSql(const QString &statement)
    {
        return shell(m_member,
                     QString("sqlite3 -cmd '.timeout 5000' '%1/confbu.cfg' \"%2\"").arg(m_prefix, statement))
                   .exitCode == 0;
    }
    // Stops and starts the service as the member, so that it reads the settings anew, and asks
    // it for a backup now, as the member may; waits until done() says so.
    bool runBackup(const std::function<bool()> &done)
    {
        // A run still going is cancelled by the stop, which may take the stop its time.
        sarvelad({"-t"}, m_member);
        if (!waitUntil([&] { return state() != "running"; }))
            return false;
        start(m_member);
        sarvelad({"-c", "1"}, m_member);
        return waitUntil(done, 60000);
    }
    // Root sets the scene, a state(): installed with the group's rights, running or not.
    bool setScene(const QString &scene)
    {
        sarvelad({"-t"});
        if (scene == "none")
            sarvelad({"-u"});
        else if (state() == "none" && (sarvelad({"-i"}).exitCode != 0 ||
                                       runCommand({m_prefix + "/svcmgr-access", Service, m_group}).exitCode))
            return false;
        if (scene == "running")
            start();
        return state() == scene;
    }
    // What root runs, where the program directory's links lead and what it holds, and the owners of
    // the data directory's files: what no member may change.
    QByteArray layoutState() const
    {
        const QString script =
            "cd '%1' && stat -c '%n %u:%g %a' %3 && sha1sum %3 && ls -A . dbutils && readlink "
            "busys.log confbu.cfg dbutils/pg_dump && cd '%2' && stat -c '%n %u:%g %a' busys.log "
            "confbu.cfg riwayat riwayat/riwayat.db";
        const QString programs = "sarvelad svcmgrd libsvcmgr.so dbutils/pg_dump";
        return runCommand({"sh", "-c", script.arg(m_prefix, m_data, programs)}).out;
    }

private slots:
    void initTestCase()
    {
        const QString skip = SystemUsers::unavailableReason();
        if (!skip.isEmpty())
            QSKIP(qPrintable(skip));
        qputenv("SVCMGR_DIR", QFile::encodeName(m_state));
        QString error;
        m_group = m_users.addGroup("adm", &error);
        m_member = m_users.addUser("member", {m_group}, &error);
        m_plain = m_users.addUser("plain", {}, &error);
        m_service = m_users.addUser("service", {m_group}, &error);
        QVERIFY2(!m_service.isEmpty(), qPrintable(error));
        // The whole root is reachable by every user, as /opt and /var are.
        const QString folders =
            "chmod 755 . && echo \"root's own file\" > victim && mkdir home-member && chown ";
        QVERIFY(
            runCommand({"sh", "-c", "cd '" + m_root.path() + "' && " + folders + m_member + ": home-member"})
                .exitCode == 0);
        const QString failed = install();
        // The manager runs on its own from here; a test program that dies still stops it.
        afterThisProgram("kill $(cat '" + m_state + "/svcmgrd.pid' 2>/dev/null) 2>/dev/null");
        QVERIFY2(failed.isEmpty() && state() == "running", qPrintable(failed));
        QVERIFY2(m_pg.start(&error) && m_pg.createSampleDatabase("penjualan", &error), qPrintable(error));
        QVERIFY(memberSql(QString("update confdb set server='%1', port=%2, user='%3', pass='%4', "
                                  "outputdir='%5'; insert into tbldb values ('penjualan')")
                              .arg(m_pg.host(), QString::number(m_pg.port()), m_pg.superUser(),
                                   m_pg.superPassword(), m_output)));
        m_shared = m_users.shareFiles(
            {SARVELA_BIN_DIR "/svcmgrclient", SARVELA_BIN_DIR "/panelprobe", SARVELA_BIN_DIR "/libsvcmgr.so"},
            &error);
        QVERIFY2(!m_shared.isEmpty(), qPrintable(error));
    }

    void cleanupTestCase()
    {
        if (const int manager = readText(m_state + "/svcmgrd.pid").trimmed().toInt(); manager > 0) {
            sarvelad({"-t"});
            ::kill(manager, SIGTERM);
        }
    }

    // Back to the usual settings and a log of root's after every case, also a failed one.
    void cleanup()
    {
        QVERIFY(memberSql("update confdb set outputdir='" + m_output +
                          "'; delete from tbldb; insert into tbldb values ('penjualan')"));
        const QString logPath = m_data + "/busys.log";
        if (!QFileInfo(logPath).isFile() || QFileInfo(logPath).isSymLink()) {
            QFile::remove(logPath);
            QCOMPARE(runCommand({"install", "-m", "0660", "-g", m_group, "/dev/null", logPath}).exitCode, 0);
        }
    }

    void memberCannotChangeWhatRootRuns_data()
    {
        // The folder the member tries it in, the attempt, whether it may.
        textTable({"where", "attempt", "outcome"},
                  {{"rename the service program aside", "program", "mv sarvelad sarvelad.asli", "refused"},
                   {"write a program over the service", "program", "cp /bin/sh sarvelad", "refused"},
                   {"replace the manager's library", "program", "cp /bin/sh libsvcmgr.so", "refused"},
                   {"re-point the dump tool", "program", "ln -sfn /bin/sh dbutils/pg_dump", "refused"},
                   {"add a tool beside it", "program", "cp /bin/sh dbutils/pg_restore.baru", "refused"},
                   {"rename the log aside", "data", "mv busys.log busys.lama", "refused"},
                   {"write into the history", "data", "echo x >> riwayat/riwayat.db", "refused"},
                   {"forge the history's journal", "data", "echo x > riwayat/riwayat.db-journal", "refused"},
                   {"empty the log, as the log viewer does", "data", ": > busys.log", "allowed"},
                   {"read the history", "data", "cat riwayat/riwayat.db > /dev/null", "allowed"},
                   {"edit the settings, as the panel does", "data",
                    "sqlite3 confbu.cfg \"update confdb set server=server\"", "allowed"}});
    }

    void memberCannotChangeWhatRootRuns()
    {
        const QByteArray before = layoutState();
        QVERIFY2(before.contains("\nriwayat/riwayat.db "), before.constData()); // looked at in full
        const QString where = cell("where") == "program" ? m_prefix : m_data;
        const Ran r = shell(m_member, "cd '" + where + "' && " + cell("attempt"));
        const bool denied = r.err.contains("Permission denied") || r.err.contains("Operation not permitted");
        const QString outcome = r.exitCode == 0 ? "allowed" : denied ? "refused" : "failed: " + r.err;
        QCOMPARE(outcome, cell("outcome"));
        QCOMPARE(layoutState(), before);
    }

    // The member's everyday work without root: stop and start the service and let it back up.
    // Root defined a destination in the service user's rclone configuration, which members
    // cannot read; the member chose it and a recipient; then a save of the member's died
    // half-way, leaving a journal no one else may remove from the sticky data directory. The
    // run rolls the save back all the same, drills the dump as the service's own user in its
    // kerja/, and sends an encrypted copy that decrypts to the dump. The member reads the dump
    // and the destination's name, not the globals, the drill's space or the file's secrets.
    void memberBacksUpWithoutRoot()
    {
        const QString disk = m_root.filePath("cadangan"), key = m_root.filePath("kunci.txt");
        const QString config = m_data + "/rclone/rclone.conf";
        const QString made =
            "install -d -o %1 -g %2 -m 2750 %3 && age-keygen -o %4 && su -s /bin/sh %1 -c \"umask 077 "
            "&& printf '[cadangan]\\ntype = alias\\nremote = %3\\n# rahasia-root\\n' > %5\"";
        QVERIFY(runCommand({"sh", "-c", made.arg(m_service, m_group, disk, key, config)}).exitCode == 0);
        const QString recipient =
            QRegularExpression("public key: (age1[a-z0-9]+)").match(readText(key)).captured(1);
        const QString copy =
            "insert into confsalin (remote, folder, penerima) values ('cadangan', 'kantor', '%1')";
        QVERIFY(memberSql("delete from confuji; insert into confuji values (1, 0); " + copy.arg(recipient)));

        const QString journal = m_data + "/confbu.cfg-journal";
        const QStringList command = m_users.asUser(m_member) << "sqlite3" << m_data + "/confbu.cfg";
        QProcess save;
        save.start(command.first(), command.mid(1));
        QVERIFY(save.waitForStarted());
        // Big enough to spill into the file before the commit that never comes.
        save.write(
            "PRAGMA cache_size=1; BEGIN; UPDATE confdb SET server='setengah'; CREATE TABLE isi(x); WITH "
            "RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM c WHERE i<2000) INSERT INTO isi SELECT "
            "randomblob(4000) FROM c;\n");
        QTRY_VERIFY(QFileInfo(journal).size() > 0 && QFileInfo(journal).ownerId() == m_users.uid(m_member));
        QTest::qWait(300);
        ::kill(pid_t(save.processId()), SIGKILL);
        save.waitForFinished();
        QVERIFY(QFileInfo(journal).size() > 0);

        const QString drilled = "Uji Pulih OK : database [penjualan]";
        const QString copied = "Salinan Backup OK : database [penjualan]";
        const int drills = log().count(drilled), copies = log().count(copied);
        const bool done =
            runBackup([&] { return log().count(drilled) > drills && log().count(copied) > copies; });
        QVERIFY(memberSql("update confuji set jadwal = 0; delete from confsalin"));
        QVERIFY2(done, qPrintable(log()));
        QCOMPARE(QFileInfo(journal).size(), 0);
        QCOMPARE(
            runCommand({"sqlite3", "-readonly", m_data + "/confbu.cfg", "select server from confdb"}).out,
            m_pg.host().toUtf8() + '\n');

        const QString dump =
            m_output + '/' + QDir(m_output).entryList({"bu_penjualan_*.bu"}, QDir::Files).value(0, "none");
        const QString sent = disk + "/kantor/penjualan/" + QFileInfo(dump).fileName() + ".age";
        QVERIFY(readBytes(dump).startsWith("PGDMP"));
        QCOMPARE(runCommand({"age", "-d", "-i", key, sent}).out, readBytes(dump));
        // The member reads the dump; the globals hold the roles' password verifiers, the drill's
        // scratch space and the copy's configuration are the service's alone.
        const QString globals =
            m_output + '/' + QDir(m_output).entryList({"bu_globals_*.sql"}, QDir::Files).value(0, "none");
        QCOMPARE(readable(m_member, {dump, globals, m_data + "/kerja", config}), QString("yes no no no"));
        QCOMPARE(readable(m_plain, {dump, m_data + "/confbu.cfg"}), QString("no no"));
        // Nothing of the drill is left once it ended but what initdb made.
        QCOMPARE(QDir(m_data + "/kerja").entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{"templat-15"});
        const QString history = "sqlite3 -readonly '" + m_prefix + "/riwayat.db' ";
        QCOMPARE(shell(m_member, history + "'select nama, jenis, lokal from rclone_remote'").out,
                 QByteArray("cadangan|alias|1\n"));
        QVERIFY(!shell(m_member, history + ".dump").out.contains("rahasia-root"));
    }

    void plantedLinksAndFoldersAreRefused_data()
    {
        // Made ready by root first, then the member's move, then the member's settings; what the
        // log or the event log says.
        textTable(
            {"asRoot", "asMember", "settings", "reason"},
            {{"a link planted as the log while it is missing", "rm -f {data}/busys.log",
              "ln -s {victim} {data}/busys.log", "", "busys.log tidak dapat ditulis"},
             {"a folder of the member's, with links named like the coming files", "",
              "mkdir -p {home}/bu && for s in 0 1 2 3 4 5 6 7 8 9; do "
              "ln -s {victim} {home}/bu/bu_penjualan_$(date +%Y%m%d.%H%M)0$s.bu; done",
              "update confdb set outputdir='{home}/bu'", "Lokasi backup [{home}] dimiliki pengguna lain"},
             {"a link of the member's as a folder of the path, to a folder of root's",
              "mkdir -p {root}/sistem", "ln -sfn {root}/sistem {home}/keluar",
              "update confdb set outputdir='{home}/keluar'", "Lokasi backup [{root}/sistem]"}});
    }

    void plantedLinksAndFoldersAreRefused()
    {
        const QString asRoot = cell("asRoot"), asMember = cell("asMember"), settings = cell("settings");
        auto fill = [this](QString text) {
            return text.replace("{data}", m_data)
                .replace("{victim}", m_victim)
                .replace("{home}", m_home)
                .replace("{root}", m_root.path());
        };
        const QString victim = ownerAndMode(m_victim) + readText(m_victim); // to see that nothing touched it
        QVERIFY(asRoot.isEmpty() || runCommand({"sh", "-c", fill(asRoot)}).exitCode == 0);
        QVERIFY(asMember.isEmpty() || shell(m_member, fill(asMember)).exitCode == 0);
        const QStringList rootFolder = QDir(m_root.path()).entryList();
        QVERIFY(settings.isEmpty() || memberSql(fill(settings)));
        const QString said = fill(cell("reason"));
        const int before = (log() + events()).count(said);
        QVERIFY2(runBackup([&] { return (log() + events()).count(said) > before; }),
                 qPrintable(log() + events()));
        QCOMPARE(ownerAndMode(m_victim) + readText(m_victim), victim);
        QCOMPARE(QDir(m_root.path()).entryList(), rootFolder);
        QVERIFY(QDir(m_root.filePath("sistem")).entryList(QDir::Files).isEmpty());
    }

    // A registration that runs it as root, as an earlier install made it: the service does no
    // work as root and says why; a reinstall gives the registration the service's user (whom
    // the manager then runs it as, with that user's groups: the manager's own tests see to it).
    void rootRegistrationIsHandedOver()
    {
        QVERIFY(setScene("none"));
        QCOMPARE(sarvelad({"-i", "LocalSystem"}).exitCode, 0);
        QVERIFY(registration().contains("LocalSystem"));
        sarvelad({});
        QTRY_VERIFY2_WITH_TIMEOUT(events().contains("Service tidak dijalankan sebagai root") &&
                                      state() != "running",
                                  qPrintable(events()), 10000);
        QCOMPARE(install(), QString());
        QVERIFY(registration().contains(".\\" + m_service.toUtf8()));
        QTRY_COMPARE(state(), QString("running"));
        QVERIFY(runCommand({m_prefix + "/svcmgr-access", "--show", Service})
                    .out.startsWith(m_group.toUtf8() + '\t'));
    }

    void panel_data()
    {
        // Who runs it, the state() before, what they do in the panel ("|" between the steps), the
        // box it shows (empty: none) and the state() after. The delivered settings have no backup
        // time on, which Start asks about first.
        textTable(
            {"who", "before", "steps", "says", "after"},
            {{"the member starts it", "member", "stopped", "answer:yes|click:butStart",
              "Tidak ada jam backup yang aktif", "running"},
             {"the member stops it", "member", "running", "click:butStop", "", "stopped"},
             {"the member may not uninstall it, and is told why", "member", "running",
              "menu:&Uninstall Service", "Anda tidak memiliki hak untuk menguninstall service", "running"},
             {"root installs it under the service's own user", "root", "none", "yes",
              "Service belum diinstall, apakah akan install service?.", "stopped"}});
    }

    // The member runs the control panel itself, without sudo, and root runs it too, through the
    // test's copy of the panel that tells which boxes it shows.
    void panel()
    {
        const QString says = cell("says"), after = cell("after");
        QVERIFY(setScene(cell("before")));
        QTemporaryDir tmp("/tmp/sarpanel-XXXXXX");
        QVERIFY(QFile::setPermissions(tmp.path(), QFileDevice::Permissions(0x7777)));
        const QStringList probe{"env", "TMPDIR=" + tmp.path(), "QT_QPA_PLATFORM=offscreen",
                                m_shared + "/panelprobe"};
        const QStringList command = (cell("who") == "root" ? QStringList() : m_users.asUser(m_member)) + probe
                                    << m_prefix << cell("steps").split('|');
        QProcess panel;
        panel.start(command.first(), command.mid(1));
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
            return (says.isEmpty() || shown.contains("box: " + says.toUtf8())) && state() == after;
        };
        QTRY_VERIFY2_WITH_TIMEOUT(settled(), (shown + panel.readAllStandardError()).constData(), 30000);
        QVERIFY2(!says.isEmpty() || !shown.contains("box: "), shown.constData());
        QVERIFY(after == "none" || registration().contains(".\\" + m_service.toUtf8()));
    }
};

QTEST_GUILESS_MAIN(TestInstalledSecurity)
#include "tst_installedsecurity.moc"
