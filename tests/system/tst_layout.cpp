// The installed layout's steps (packaging/sarvela-layout.sh, run by the install script
// and by the Debian package as root) on a scratch system: whatever a member of the admin
// group leaves where the layout puts its files is moved aside or taken over, never
// followed or waited on; anything in the program directory that is not part of the
// install goes; a folder of ours that is a link, a file or below a folder others may
// change is refused; an install that ran the service as root hands its files to the
// service's user; a purge removes the data directory whatever a member does meanwhile.

#include "systemusers.h"
#include "testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Run
{
    int exitCode = -1;
    QString out;
};

// "owner:group mode" of a path itself, a link not followed.
QString ownership(const QString &path)
{
    struct stat st = {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("missing");
    return QStringLiteral("%1:%2 %3")
        .arg(QString::number(st.st_uid), QString::number(st.st_gid),
             QString::number(st.st_mode & 07777, 8));
}

ino_t inode(const QString &path)
{
    struct stat st = {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

} // namespace

class TestLayout : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void dataFiles_data();
    void dataFiles();
    void programDirectory();
    void refusedFolders_data();
    void refusedFolders();
    void serviceFolders_data();
    void serviceFolders();
    void purgeRemovesWhatMembersLeft_data();
    void purgeRemovesWhatMembersLeft();

private:
    // Runs shell commands with the layout's functions, for this scratch system.
    Run layout(const QString &commands);
    QString path(const QString &relative) const { return m_root->filePath(relative); }
    QString groupMode(int mode, uid_t owner = 0) const
    {
        return QStringLiteral("%1:%2 %3")
            .arg(QString::number(owner), QString::number(m_gid), QString::number(mode, 8));
    }
    // Shell commands run by the member, in the scratch root.
    bool runAsMember(const QString &commands)
    {
        return m_users.run(m_member, "/bin/sh", {"-c", "cd '" + m_root->path() + "' && " + commands})
                   .exitCode == 0;
    }
    // What was moved aside under name, in the folders the layout made for it.
    QStringList asideNamed(const QString &folder, const QString &name) const
    {
        QStringList found;
        for (const QString &aside : QDir(folder).entryList({".ditolak-*"}, QDir::Dirs | QDir::Hidden))
            found << QDir(folder + '/' + aside).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                         .filter(QRegularExpression('^' + QRegularExpression::escape(name) + '$'));
        return found;
    }

    SystemUsers m_users;
    QString m_group;
    QString m_member;
    QString m_service;
    gid_t m_gid = 0;
    QScopedPointer<QTemporaryDir> m_root;
};

void TestLayout::initTestCase()
{
    const QString reason = SystemUsers::unavailableReason();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
    QString error;
    m_group = m_users.addGroup("admin", &error);
    m_member = m_users.addUser("member", {m_group}, &error);
    m_service = m_users.addUser("service", {m_group}, &error);
    QVERIFY2(!m_service.isEmpty(), qPrintable(error));
    m_gid = m_users.gid(m_group);
}

void TestLayout::init()
{
    // Under /tmp, which is sticky, in a folder of root's that no one else may change.
    m_root.reset(new QTemporaryDir(QStringLiteral("/tmp/sarvela-layout-XXXXXX")));
    // Reachable by every user, as / is.
    QVERIFY(m_root->isValid() && ::chmod(QFile::encodeName(m_root->path()).constData(), 0755) == 0);
    QVERIFY(QDir().mkpath(path("opt/sarvela")));
    QVERIFY(writeBytes(path("delivered.cfg"), "delivered settings"));
    QVERIFY(writeBytes(path("secret"), "root's secret"));
    QVERIFY(QFile::setPermissions(path("secret"), QFile::ReadOwner | QFile::WriteOwner));
}

Run TestLayout::layout(const QString &commands)
{
    const QString script =
        QStringLiteral("set -euo pipefail\n"
                       "PREFIX='%1' DATA_DIR='%2' OUTPUT_DIR='%3' ADMIN_GROUP='%4' SERVICE_USER='%5'\n"
                       "source '%6'\n")
            .arg(path("opt/sarvela"), path("lib"), path("backups"), m_group, m_service,
                 QStringLiteral(SARVELA_SOURCE_DIR "/packaging/sarvela-layout.sh")) +
        commands;
    QProcess bash;
    bash.setProcessChannelMode(QProcess::MergedChannels);
    bash.start(QStringLiteral("bash"), {QStringLiteral("-c"), script});
    Run run;
    if (bash.waitForFinished(60000) && bash.exitStatus() == QProcess::NormalExit)
        run.exitCode = bash.exitCode();
    run.out = QString::fromLocal8Bit(bash.readAll());
    return run;
}

void TestLayout::dataFiles_data()
{
    // What a member of the group left at the name confbu.cfg in the data directory.
    QTest::addColumn<QString>("left");
    QTest::addColumn<QByteArray>("settings"); // what confbu.cfg holds afterwards
    QTest::addColumn<bool>("movedAside");
    QTest::newRow("nothing: the delivered settings")
        << "" << QByteArray("delivered settings") << false;
    QTest::newRow("root's own settings: kept") << "root" << QByteArray("edited settings") << false;
    QTest::newRow("a file the member made: taken over")
        << "member" << QByteArray("edited settings") << false;
    QTest::newRow("a hard link to root's secret: a copy of its own")
        << "hardlink" << QByteArray("root's secret") << false;
    QTest::newRow("a link to root's secret: moved aside")
        << "symlink" << QByteArray("delivered settings") << true;
    QTest::newRow("a folder: moved aside") << "folder" << QByteArray("delivered settings") << true;
    QTest::newRow("a FIFO: moved aside, never waited on")
        << "fifo" << QByteArray("delivered settings") << true;
}

void TestLayout::dataFiles()
{
    QFETCH(QString, left);
    QFETCH(QByteArray, settings);
    QFETCH(bool, movedAside);
    QVERIFY(layout("sarvela_make_data_dir").exitCode == 0);
    QCOMPARE(ownership(path("lib")), groupMode(03770));
    const QString cfg = path("lib/confbu.cfg");
    if (left == "root" || left == "member") {
        QVERIFY(writeBytes(cfg, "edited settings"));
        if (left == "member")
            QVERIFY(::chown(QFile::encodeName(cfg).constData(), m_users.uid(m_member), m_gid) == 0);
        QVERIFY(QFile::setPermissions(cfg, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther |
                                               QFile::WriteOther));
    } else if (left == "hardlink") {
        QVERIFY(::link(QFile::encodeName(path("secret")).constData(),
                       QFile::encodeName(cfg).constData()) == 0);
    } else if (left == "symlink") {
        QVERIFY(QFile::link(path("secret"), cfg));
    } else if (left == "folder") {
        QVERIFY(QDir().mkdir(cfg));
    } else if (left == "fifo") {
        QVERIFY(runAsMember("mkfifo lib/confbu.cfg"));
    }
    const ino_t secretInode = inode(path("secret"));

    const Run run = layout(QStringLiteral("sarvela_lay_out_data '%1'").arg(path("delivered.cfg")));
    QVERIFY2(run.exitCode == 0, qPrintable(run.out));

    QCOMPARE(readBytes(cfg), settings);
    QCOMPARE(ownership(cfg), groupMode(0660));
    QCOMPARE(readBytes(path("secret")), QByteArray("root's secret"));
    QCOMPARE(ownership(path("secret")), QStringLiteral("0:0 600"));
    QVERIFY(inode(cfg) != secretInode);
    QCOMPARE(asideNamed(path("lib"), "confbu.cfg").size(), movedAside ? 1 : 0);
    QCOMPARE(ownership(path("lib/busys.log")), groupMode(0660));
    for (const QString name : {"confbu.cfg", "busys.log", "riwayat/riwayat.db"})
        QCOMPARE(QFile::symLinkTarget(path("opt/sarvela/" + name.section('/', -1))),
                 path("lib/" + name));
    QCOMPARE(readBytes(path("opt/sarvela/sarvelad.akun")), m_service.toUtf8() + '\n');
    QCOMPARE(ownership(path("opt/sarvela/sarvelad.akun")), QStringLiteral("0:0 644"));
}

void TestLayout::programDirectory()
{
    // An earlier install by hand: the settings in a group-writable program directory,
    // where a member has since put a link, a library of their own and a link of ours
    // that leads elsewhere.
    const QString prefix = path("opt/sarvela");
    QVERIFY(writeBytes(prefix + "/sarvelad", "the service"));
    QVERIFY(writeBytes(prefix + "/confbu.cfg", "earlier settings"));
    QVERIFY(QFile::link(path("secret"), prefix + "/libQt5Core.so.5"));
    QVERIFY(writeBytes(prefix + "/platforms", "the member's plugin"));
    QVERIFY(::chown(QFile::encodeName(prefix + "/platforms").constData(), m_users.uid(m_member),
                    m_gid) == 0);
    QVERIFY(QFile::link(path("secret"), prefix + "/busys.log"));
    QVERIFY(writeBytes(prefix + "/sarvelad.lock", "")); // the run lock of a service run as root
    QVERIFY(::chmod(QFile::encodeName(prefix).constData(), 0775) == 0);
    QVERIFY(::chown(QFile::encodeName(prefix).constData(), 0, m_gid) == 0);

    const Run run = layout(QStringLiteral("sarvela_lock_program_dir; sarvela_make_data_dir\n"
                                          "sarvela_move_earlier_install; sarvela_remove_strays\n"
                                          "sarvela_lay_out_data '%1'; sarvela_remove_strays\n")
                               .arg(path("delivered.cfg")));
    QVERIFY2(run.exitCode == 0, qPrintable(run.out));

    QCOMPARE(ownership(prefix), QStringLiteral("0:0 755"));
    QStringList left =
        QDir(prefix).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    QCOMPARE(left,
             QStringList({"busys.log", "confbu.cfg", "riwayat.db", "sarvelad", "sarvelad.akun"}));
    QCOMPARE(readBytes(path("lib/confbu.cfg")), QByteArray("earlier settings"));
    QCOMPARE(readBytes(path("secret")), QByteArray("root's secret"));
    QCOMPARE(QFile::symLinkTarget(prefix + "/busys.log"), path("lib/busys.log"));

    // A removal takes only what the layout made there.
    QVERIFY(layout("sarvela_remove_made_links").exitCode == 0);
    left = QDir(prefix).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    QCOMPARE(left, QStringList({"sarvelad"}));
    QCOMPARE(readBytes(path("lib/confbu.cfg")), QByteArray("earlier settings"));
}

void TestLayout::refusedFolders_data()
{
    QTest::addColumn<QString>("setup"); // shell commands run first, in the scratch root
    QTest::addColumn<QString>("step");
    QTest::addColumn<QString>("refusal"); // empty: accepted
    QTest::newRow("program directory is a link")
        << "rm -r opt/sarvela; mkdir -m 0700 elsewhere; ln -s \"$PWD/elsewhere\" opt/sarvela"
        << "sarvela_lock_program_dir"
        << "is not a folder";
    QTest::newRow("data directory is a file") << "echo x > lib"
                                              << "sarvela_make_data_dir"
                                              << "exists and is not a folder";
    QTest::newRow("data directory is a link to a folder")
        << "mkdir -m 0700 elsewhere; ln -s \"$PWD/elsewhere\" lib"
        << "sarvela_make_data_dir"
        << "exists and is not a folder";
    QTest::newRow("output folder below a group-writable folder")
        << "mkdir -m 0775 shared"
        << "OUTPUT_DIR=$PWD/shared/backups sarvela_make_output_dir"
        << "can be written by other users";
    QTest::newRow("output folder below a folder of the member's")
        << "mkdir theirs; chown MEMBER theirs"
        << "OUTPUT_DIR=$PWD/theirs/backups sarvela_make_output_dir"
        << "belongs to another user than root";
    QTest::newRow("output folder in a sticky folder, inside the member's")
        << "mkdir -m 1777 sticky; mkdir sticky/theirs; chown MEMBER sticky/theirs"
        << "OUTPUT_DIR=$PWD/sticky/theirs/backups sarvela_make_output_dir"
        << "belongs to another user than root";
    QTest::newRow("output folder in a sticky folder, inside root's: accepted")
        << "mkdir -m 1777 sticky; mkdir sticky/roots"
        << "OUTPUT_DIR=$PWD/sticky/roots/backups sarvela_make_output_dir"
        << "";
}

void TestLayout::refusedFolders()
{
    QFETCH(QString, setup);
    QFETCH(QString, step);
    QFETCH(QString, refusal);
    setup.replace("MEMBER", m_member);
    const Run run = layout("cd '" + m_root->path() + "'\n" + setup + "\n" + step);
    if (refusal.isEmpty()) {
        QVERIFY2(run.exitCode == 0, qPrintable(run.out));
        QCOMPARE(ownership(path("sticky/roots/backups")), groupMode(02750, m_users.uid(m_service)));
    } else {
        QVERIFY2(run.exitCode == 1 && run.out.contains(refusal), qPrintable(run.out));
        // Nothing was done through the link.
        if (QFileInfo::exists(path("elsewhere")))
            QCOMPARE(ownership(path("elsewhere")), QStringLiteral("0:0 700"));
    }
}

void TestLayout::serviceFolders_data()
{
    QTest::addColumn<QString>("asRoot");   // shell commands run first, by root
    QTest::addColumn<QString>("asMember"); // then by the member
    QTest::addColumn<QStringList>("after"); // "path owner mode[=content]"; owner root/service/member
    QTest::addColumn<QString>("aside");    // what went aside in the data directory, or nothing

    const QString dataDir = "install -d -m 3770 -g GROUP lib";
    const QStringList fresh{"lib/riwayat service 2750", "lib/rclone service 700",
                            "lib/kerja service 700", "backups service 2750"};
    QTest::newRow("a first install") << "" << "" << fresh << "";
    QTest::newRow("a member's folder where the history goes: aside, with what it holds")
        << dataDir << "mkdir lib/riwayat && echo x > lib/riwayat/riwayat.db-journal"
        << fresh + QStringList{"lib/riwayat/riwayat.db-journal missing"} << "riwayat";
    QTest::newRow("a member's link to root's folder where the history goes: aside")
        << dataDir + " && mkdir -m 700 rahasia" << "ln -s \"$PWD/rahasia\" lib/riwayat"
        << fresh + QStringList{"rahasia root 700"} << "riwayat";
    QTest::newRow("the history of an install that ran the service as root moves, with its journal")
        << dataDir + " && echo riwayat > lib/riwayat.db && echo jurnal > lib/riwayat.db-journal"
        << ""
        << QStringList{"lib/riwayat/riwayat.db service 640=riwayat\n",
                       "lib/riwayat/riwayat.db-journal service 640=jurnal\n",
                       "lib/riwayat.db missing"}
        << "";
    QTest::newRow("a member's journal beside root's history stays out of it")
        << dataDir + " && echo riwayat > lib/riwayat.db" << "echo palsu > lib/riwayat.db-journal"
        << QStringList{"lib/riwayat/riwayat.db service 640=riwayat\n",
                       "lib/riwayat/riwayat.db-journal missing"}
        << "riwayat.db-journal";
    QTest::newRow("the dumps of an install that ran the service as root become the user's")
        << "install -d -m 2750 -g GROUP backups && echo dump > backups/bu_a_1.bu && "
           "echo lain > backups/catatan"
        << ""
        << QStringList{"backups service 2750", "backups/bu_a_1.bu service 644=dump\n",
                       "backups/catatan root 644"}
        << "";
}

// What the layout finds where the service's own folders go, laid out in a few seconds.
void TestLayout::serviceFolders()
{
    QFETCH(QString, asRoot);
    QFETCH(QString, asMember);
    QFETCH(QStringList, after);
    QFETCH(QString, aside);
    if (!asRoot.isEmpty())
        QVERIFY(layout("cd '" + m_root->path() + "'\n" + asRoot.replace("GROUP", m_group)).exitCode == 0);
    if (!asMember.isEmpty())
        QVERIFY(runAsMember(asMember));

    QElapsedTimer took;
    took.start();
    const Run run = layout(QStringLiteral("sarvela_make_data_dir; sarvela_lay_out_data '%1'; "
                                          "sarvela_make_output_dir")
                               .arg(path("delivered.cfg")));
    QVERIFY2(run.exitCode == 0, qPrintable(run.out));
    QVERIFY2(took.elapsed() < 10000, qPrintable(run.out));

    const QMap<uid_t, QString> names{{0, "root"},
                                     {m_users.uid(m_service), "service"},
                                     {m_users.uid(m_member), "member"}};
    for (const QString &expected : after) {
        const QString file = expected.section(' ', 0, 0);
        struct stat st = {};
        QString found = "missing";
        if (::lstat(QFile::encodeName(path(file)).constData(), &st) == 0) {
            found = QStringLiteral("%1 %2").arg(names.value(st.st_uid, "someone"),
                                                QString::number(st.st_mode & 07777, 8));
            if (expected.contains('='))
                found += '=' + readText(path(file));
        }
        QCOMPARE(file + ' ' + found, expected);
    }
    QCOMPARE(asideNamed(path("lib"), aside).size(), aside.isEmpty() ? 0 : 1);
    QCOMPARE(QFile::symLinkTarget(path("opt/sarvela/riwayat.db")), path("lib/riwayat/riwayat.db"));
}

void TestLayout::purgeRemovesWhatMembersLeft_data()
{
    QTest::addColumn<QString>("asMember"); // shell commands the member runs, in the data directory
    QTest::newRow("a FIFO, a link to root's folder, and a folder of the member's")
        << "mkfifo pipa; ln -s \"$0/rahasia\" tautan; mkdir -p milik/dalam; ln -s \"$0/rahasia\" "
           "milik/dalam/tautan";
    QTest::newRow("a member who keeps making files in a folder of theirs")
        << "mkdir milik; cd milik; seq 20000 | xargs touch; (i=0; while [ $i -lt 2000000 ]; do "
           ": > f$i; i=$((i + 1)); done) >/dev/null 2>&1 & sleep 1";
}

// The package's purge, on a data directory where members keep working: it ends, in time,
// with the directory gone and nothing of root's outside it changed.
void TestLayout::purgeRemovesWhatMembersLeft()
{
    QFETCH(QString, asMember);
    QVERIFY(layout("cd '" + m_root->path() + "'\nmkdir -m 700 rahasia; mkdir -p var/lib; "
                   "DATA_DIR=$PWD/var/lib/sarvela; sarvela_make_data_dir")
                .exitCode == 0);
    const QString data = path("var/lib/sarvela");
    QProcess member;
    QStringList command = m_users.asUser(m_member)
                          << "/bin/sh" << "-c" << "cd '" + data + "' && " + asMember << m_root->path();
    member.start(command.first(), command.mid(1));
    QVERIFY(member.waitForStarted());
    QTest::qWait(1500);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DPKG_ROOT", m_root->path());
    QProcess purge;
    purge.setProcessEnvironment(env);
    purge.setProcessChannelMode(QProcess::MergedChannels);
    purge.start("bash", {SARVELA_SOURCE_DIR "/debian/sarvela.postrm", "purge"});
    const bool ended = purge.waitForFinished(30000);
    const QString said = QString::fromLocal8Bit(purge.readAll());
    member.waitForFinished();
    QVERIFY2(ended && purge.exitCode() == 0, qPrintable(said));
    QVERIFY2(!QFileInfo::exists(data) && !QFileInfo(data).isSymLink(), qPrintable(said));
    QCOMPARE(ownership(path("rahasia")), QStringLiteral("0:0 700"));
}

QTEST_GUILESS_MAIN(TestLayout)
#include "tst_layout.moc"
