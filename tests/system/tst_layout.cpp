// The installed layout's steps (packaging/sarvela-layout.sh, run by the install script
// and by the Debian package as root) on a scratch system: whatever a member of the admin
// group leaves where the layout puts its files is moved aside or taken over, never
// followed or waited on; anything in the program directory that is not part of the
// install goes; a folder of ours that is a link, a file or below a folder others may
// change is refused; an install that ran the service as root hands its files to the
// service's user; a purge removes the data directory whatever a member does meanwhile.

#include "systemusers.h"
#include "texttable.h"

class TestLayout : public QObject
{
    Q_OBJECT

    SystemUsers m_users;
    QString m_group, m_member, m_service;
    QScopedPointer<QTemporaryDir> m_root;

    QString path(const QString &relative) const { return m_root->filePath(relative); }
    // Shell commands with the layout's functions for this scratch system, run by root in its
    // root; stdout and stderr together.
    Ran layout(const QString &commands)
    {
        return runCommand(
            {"bash", "-c",
             QString("set -euo pipefail; exec 2>&1; cd '%1'\nPREFIX='%2' DATA_DIR='%3' "
                     "OUTPUT_DIR='%4' ADMIN_GROUP='%5' SERVICE_USER='%6'\nsource '%7'\n")
                     .arg(m_root->path(), path("opt/sarvela"), path("lib"), path("backups"), m_group,
                          m_service, SARVELA_SOURCE_DIR "/packaging/sarvela-layout.sh") +
                 QString(commands).replace("GROUP", m_group).replace("MEMBER", m_member)});
    }
    // Shell commands the member runs in the scratch root.
    bool asMember(const QString &commands)
    {
        return m_users.shell(m_member, "cd '" + m_root->path() + "' && " + commands).exitCode == 0;
    }
    // "path owner:group mode[=content]" of a path in the scratch root, users and groups by role.
    QString described(const QString &file, bool content)
    {
        QString seen =
            layout("stat -c '%n %U:%G %a' " + file + " 2>/dev/null || echo " + file + " missing").out;
        seen = seen.trimmed()
                   .replace(m_service, "service")
                   .replace(m_member, "member")
                   .replace(m_group, "group");
        return seen + (content ? '=' + readText(path(file)) : QString());
    }

private slots:
    void initTestCase()
    {
        const QString reason = SystemUsers::unavailableReason();
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
        QString error;
        m_group = m_users.addGroup("admin", &error);
        m_member = m_users.addUser("member", {m_group}, &error);
        m_service = m_users.addUser("service", {m_group}, &error);
        QVERIFY2(!m_service.isEmpty(), qPrintable(error));
    }

    void init()
    {
        // Under /tmp, which is sticky, in a folder of root's that no one else may change;
        // reachable by every user, as / is.
        m_root.reset(new QTemporaryDir("/tmp/sarvela-layout-XXXXXX"));
        QVERIFY(layout("chmod 755 .; mkdir -p opt/sarvela; printf 'delivered settings' > "
                       "delivered.cfg; printf \"root's secret\" > secret; chmod 600 secret")
                    .exitCode == 0);
    }

    void layOut_data()
    {
        // Shell commands run first by root, then by the member; described() of paths afterwards,
        // "; " between them; what went aside in the data directory, or nothing.
        const QString dataDir = "install -d -m 3770 -g GROUP lib";
        const QString settings = "; secret root:root 600=root's secret; lib/busys.log root:group 660; "
                                 "lib/confbu.cfg root:group 660=";
        const QString fresh = "lib/riwayat service:group 2750; lib/rclone service:group 700; "
                              "lib/kerja service:group 700; backups service:group 2750";
        const QString edited =
            dataDir + " && printf 'edited settings' > lib/confbu.cfg && chmod 606 lib/confbu.cfg";
        const QString noJournal = "; lib/confbu.cfg-journal missing",
                      delivered = settings.mid(2) + "delivered settings";
        const QString moved =
            "lib/riwayat/riwayat.db service:group 640=riwayat\n; lib/riwayat/riwayat.db-journal ";
        textTable(
            {"asRoot", "asMember", "after", "aside"},
            {{"a first install", "", "", fresh + settings + "delivered settings", ""},
             {"root's own settings: kept", edited, "", settings.mid(2) + "edited settings", ""},
             {"a file the member made: taken over", edited + " && chown MEMBER:GROUP lib/confbu.cfg", "",
              settings.mid(2) + "edited settings", ""},
             {"a hard link to root's secret: a copy of its own", dataDir + " && ln secret lib/confbu.cfg", "",
              settings.mid(2) + "root's secret", ""},
             {"a link to root's secret: moved aside", dataDir + " && ln -s $PWD/secret lib/confbu.cfg", "",
              delivered, "confbu.cfg"},
             {"a folder: moved aside", dataDir + " && mkdir lib/confbu.cfg", "", delivered, "confbu.cfg"},
             {"a FIFO: moved aside, never waited on", dataDir, "mkfifo lib/confbu.cfg", delivered,
              "confbu.cfg"},
             {"a member's link as the settings' journal: aside", dataDir,
              "ln -s $PWD/secret lib/confbu.cfg-journal", delivered + noJournal, "confbu.cfg-journal"},
             {"a FIFO as the settings' journal: aside, never waited on", dataDir,
              "mkfifo lib/confbu.cfg-journal", delivered + noJournal, "confbu.cfg-journal"},
             {"a second name of the settings as their journal: removed",
              edited + " && ln lib/confbu.cfg lib/confbu.cfg-journal", "",
              settings.mid(2) + "edited settings" + noJournal, ""},
             {"a member's link as the old history: aside, nothing followed", dataDir,
              "ln -s $PWD/secret lib/riwayat.db",
              fresh + "; lib/riwayat/riwayat.db missing" + settings + "delivered settings", "riwayat.db"},
             {"a member's folder where the history goes: aside, with what it holds", dataDir,
              "mkdir lib/riwayat && echo x > lib/riwayat/riwayat.db-journal",
              fresh + "; lib/riwayat/riwayat.db-journal missing", "riwayat"},
             {"a member's link to root's folder where the history goes: aside",
              dataDir + " && mkdir -m 700 rahasia", "ln -s \"$PWD/rahasia\" lib/riwayat",
              fresh + "; rahasia root:root 700", "riwayat"},
             {"the history of an install that ran the service as root moves, with its journal",
              dataDir + " && echo riwayat > lib/riwayat.db && echo jurnal > lib/riwayat.db-journal", "",
              moved + "service:group 640=jurnal\n; lib/riwayat.db missing", ""},
             {"a member's journal beside root's history stays out of it",
              dataDir + " && echo riwayat > lib/riwayat.db", "echo palsu > lib/riwayat.db-journal",
              moved + "missing", "riwayat.db-journal"},
             {"the dumps of an install that ran the service as root become the user's",
              "install -d -m 2750 -g GROUP backups && printf dump > backups/bu_a.bu && : > backups/x", "",
              "backups service:group 2750; backups/bu_a.bu service:group 644=dump; backups/x root:group 644",
              ""}});
    }

    // What the layout finds where its files and the service's folders go, laid out in a few
    // seconds, with the program directory's links to them and the account the service runs as.
    void layOut()
    {
        const QString asRoot = cell("asRoot"), asMember = cell("asMember"), aside = cell("aside");
        QVERIFY(asRoot.isEmpty() || layout(asRoot).exitCode == 0);
        QVERIFY(asMember.isEmpty() || this->asMember(asMember));
        QElapsedTimer took;
        took.start();
        const Ran run = layout("sarvela_make_data_dir; sarvela_lay_out_data $PWD/delivered.cfg; "
                               "sarvela_make_output_dir");
        QVERIFY2(run.exitCode == 0 && took.elapsed() < 10000, run.out.constData());
        QCOMPARE(described("lib", false), QString("lib root:group 3770"));
        for (const QString &expected : cell("after").split("; "))
            QCOMPARE(described(expected.section(' ', 0, 0), expected.contains('=')), expected);
        // What went aside, in the folders the layout made for it; with no name, those folders.
        QCOMPARE(layout("ls -d lib/.ditolak-*/" + aside + " 2>/dev/null | wc -l").out.trimmed(),
                 aside.isEmpty() ? "0" : "1");
        for (const QString name : {"confbu.cfg", "busys.log", "riwayat/riwayat.db"})
            QCOMPARE(QFile::symLinkTarget(path("opt/sarvela/" + name.section('/', -1))), path("lib/" + name));
        QCOMPARE(described("opt/sarvela/sarvelad.akun", true),
                 "opt/sarvela/sarvelad.akun root:root 644=" + m_service + '\n');
    }

    void programDirectory()
    {
        // An earlier install by hand: the settings in a group-writable program directory,
        // where a member has since put a link, a library of their own and a link of ours
        // that leads elsewhere, beside the run lock of a service run as root.
        QVERIFY(layout("cd opt/sarvela && printf 'the service' > sarvelad && printf 'earlier settings' > "
                       "confbu.cfg && ln -s $PWD/../../secret libQt5Core.so.5 && echo plugin > platforms && "
                       "chown MEMBER platforms && ln -s $PWD/../../secret busys.log && : > sarvelad.lock && "
                       "chmod 775 . && chgrp GROUP .")
                    .exitCode == 0);
        const Ran run = layout("sarvela_lock_program_dir; sarvela_make_data_dir\n"
                               "sarvela_move_earlier_install; sarvela_remove_strays\n"
                               "sarvela_lay_out_data $PWD/delivered.cfg; sarvela_remove_strays\n");
        QVERIFY2(run.exitCode == 0, run.out.constData());
        const QString prefix = path("opt/sarvela");
        QCOMPARE(ownerAndMode(prefix), QString("0:0 755"));
        QCOMPARE(layout("ls -A opt/sarvela").out,
                 QByteArray("busys.log\nconfbu.cfg\nriwayat.db\nsarvelad\nsarvelad.akun\n"));
        QCOMPARE(described("secret", true), QString("secret root:root 600=root's secret"));
        QCOMPARE(QFile::symLinkTarget(prefix + "/busys.log"), path("lib/busys.log"));
        // A removal takes only what the layout made there.
        QVERIFY(layout("sarvela_remove_made_links").exitCode == 0);
        QCOMPARE(layout("ls -A opt/sarvela").out, QByteArray("sarvelad\n"));
        QCOMPARE(readBytes(path("lib/confbu.cfg")), QByteArray("earlier settings"));
    }

    void refusedFolders_data()
    {
        // Shell commands run first, in the scratch root; the step; its refusal, or none.
        textTable(
            {"setup", "step", "refusal"},
            {{"program directory is a link",
              "rm -r opt/sarvela; mkdir -m 0700 elsewhere; ln -s \"$PWD/elsewhere\" opt/sarvela",
              "sarvela_lock_program_dir", "is not a folder"},
             {"data directory is a file", "echo x > lib", "sarvela_make_data_dir",
              "exists and is not a folder"},
             {"data directory is a link to a folder", "mkdir -m 0700 elsewhere; ln -s \"$PWD/elsewhere\" lib",
              "sarvela_make_data_dir", "exists and is not a folder"},
             {"output folder below a group-writable folder", "mkdir -m 0775 shared",
              "OUTPUT_DIR=$PWD/shared/backups sarvela_make_output_dir", "can be written by other users"},
             {"output folder below a folder of the member's", "mkdir theirs; chown MEMBER theirs",
              "OUTPUT_DIR=$PWD/theirs/backups sarvela_make_output_dir", "belongs to another user than root"},
             {"output folder in a sticky folder, inside the member's",
              "mkdir -m 1777 sticky; mkdir sticky/theirs; chown MEMBER sticky/theirs",
              "OUTPUT_DIR=$PWD/sticky/theirs/backups sarvela_make_output_dir",
              "belongs to another user than root"},
             {"output folder in a sticky folder, inside root's: accepted",
              "mkdir -m 1777 sticky; mkdir sticky/roots",
              "OUTPUT_DIR=$PWD/sticky/roots/backups sarvela_make_output_dir", ""}});
    }

    void refusedFolders()
    {
        const QString refusal = cell("refusal");
        const Ran run = layout(cell("setup") + "\n" + cell("step"));
        QVERIFY2(run.exitCode == (refusal.isEmpty() ? 0 : 1) && run.out.contains(refusal.toUtf8()),
                 run.out.constData());
        QVERIFY(!refusal.isEmpty() ||
                described("sticky/roots/backups", false) == "sticky/roots/backups service:group 2750");
        // Nothing was done through the link.
        QVERIFY(!QFileInfo::exists(path("elsewhere")) || ownerAndMode(path("elsewhere")) == "0:0 700");
    }

    void purgeRemovesWhatMembersLeft_data()
    {
        // Shell commands the member runs, in the data directory.
        textTable({"asMember"},
                  {{"a FIFO, a link to root's folder, and a folder of the member's",
                    "mkfifo pipa; ln -s \"$0/rahasia\" tautan; mkdir -p milik/dalam; ln -s "
                    "\"$0/rahasia\" milik/dalam/tautan"},
                   {"a member who keeps making files in a folder of theirs",
                    "mkdir milik; cd milik; seq 20000 | xargs touch; (i=0; while [ $i -lt 2000000 ]; "
                    "do : > f$i; i=$((i + 1)); done) >/dev/null 2>&1 & sleep 1"}});
    }

    // The package's purge, on a data directory where members keep working: it ends, in time,
    // with the directory gone and nothing of root's outside it changed.
    void purgeRemovesWhatMembersLeft()
    {
        const QString asMember = cell("asMember");
        const Ran made = layout(
            "mkdir -m 700 rahasia; mkdir -p var/lib; DATA_DIR=$PWD/var/lib/sarvela; sarvela_make_data_dir");
        QVERIFY(made.exitCode == 0);
        const QString data = path("var/lib/sarvela");
        QProcess member;
        const QStringList command =
            m_users.asUser(m_member) +
            QStringList{"/bin/sh", "-c", "cd '" + data + "' && " + asMember, m_root->path()};
        member.start(command.first(), command.mid(1));
        QVERIFY(member.waitForStarted());
        QTest::qWait(1500);
        const Ran purge = runCommand({"env", "DPKG_ROOT=" + m_root->path(), "bash",
                                      SARVELA_SOURCE_DIR "/debian/sarvela.postrm", "purge"});
        member.waitForFinished();
        QVERIFY2(purge.exitCode == 0, (purge.out + purge.err).constData());
        QVERIFY2(!QFileInfo::exists(data) && !QFileInfo(data).isSymLink(), purge.out.constData());
        QCOMPARE(ownerAndMode(path("rahasia")), QString("0:0 700"));
    }
};

QTEST_GUILESS_MAIN(TestLayout)
#include "tst_layout.moc"
