// The real backup service in an installed program directory, driven through its
// command line and a private manager daemon: the options an administrator and the
// control panel use, and a stop that does not wait for the sleeping worker.
#include "programdir.h"
#include "qtservice.h"
#include "qtservice_p.h"
#include "svcmgrdaemon.h"

#include <QtTest>

namespace {
const QString ServiceName = QStringLiteral("Sarvela DB Backup");

struct Run
{
    int exitCode = -100;
    QByteArray out;
    QByteArray err;
};
} // namespace

class tst_SarveladControl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void lifecycleThroughManager();

private:
    Run sarvelad(const QStringList &args) const;

    ProgramDir m_program;
};

void tst_SarveladControl::initTestCase()
{
    QString error;
    QVERIFY2(m_program.install(&error), qPrintable(error));
    QVERIFY(QFile::exists(m_program.file("sarvelad")));
}

Run tst_SarveladControl::sarvelad(const QStringList &args) const
{
    QProcess p;
    p.start(m_program.file("sarvelad"), args);
    Run r;
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -200;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

void tst_SarveladControl::lifecycleThroughManager()
{
    SvcMgrDaemon manager;
    QString error;
    QVERIFY2(manager.start(&error), qPrintable(error));
    QtServiceController controller(ServiceName);
    const QByteArray program = m_program.file("sarvelad").toLatin1();

    Run r = sarvelad({"-i"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, "The service Sarvela DB Backup has been installed under: " + program + "\n");
    QCOMPARE(controller.serviceFilePath(), '"' + m_program.file("sarvelad") + '"');
    QCOMPARE(controller.serviceDescription(), QStringLiteral("Sarvela Database Backup"));
    QCOMPARE(controller.startupType(), QtServiceController::AutomaticStart);

    r = sarvelad({"-i"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err, QByteArray("The service Sarvela DB Backup is already installed\n"));

    r = sarvelad({"-v"});
    QCOMPARE(r.out, "The service\n\tSarvela DB Backup\n\t" + program +
                        "\n\nis installed and not running\n\n");

    // From a console without an option: the manager starts the installed service.
    r = sarvelad({});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err, QByteArray());
    QTRY_VERIFY_WITH_TIMEOUT(controller.isRunning(), 15000);
    r = sarvelad({"-v"});
    QVERIFY2(r.out.endsWith("\n\nis installed and running\n\n"), r.out.constData());

    QCOMPARE(sarvelad({"-p"}).exitCode, 0);
    QVERIFY(controller.isRunning()); // paused counts as running
    QCOMPARE(sarvelad({"-r"}).exitCode, 0);

    // The worker sleeps between its checks; the stop must not wait for it, so the
    // controller sees SERVICE_STOPPED within its two seconds of polling.
    r = sarvelad({"-t"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.err.isEmpty(), r.err.constData());
    QVERIFY(!controller.isRunning());
    {
        // A clean stop, not a crash: the loop's exit code reached the manager.
        using namespace QtServiceApi;
        QVERIFY(loadServiceApi());
        SC_HANDLE manager = pOpenSCManager(nullptr, nullptr, 0);
        SC_HANDLE service = pOpenService(manager, L"Sarvela DB Backup", SERVICE_QUERY_STATUS);
        SERVICE_STATUS status{};
        const bool queried = service && pQueryServiceStatus(service, &status);
        if (service)
            pCloseServiceHandle(service);
        if (manager)
            pCloseServiceHandle(manager);
        QVERIFY(queried);
        QCOMPARE(status.dwCurrentState, DWORD(SERVICE_STOPPED));
        QCOMPARE(status.dwWin32ExitCode, DWORD(0));
    }

    r = sarvelad({"-u"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QByteArray("The service Sarvela DB Backup has been uninstalled.\n"));
    r = sarvelad({"-u"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err, QByteArray("The service Sarvela DB Backup is not installed\n"));
}

QTEST_GUILESS_MAIN(tst_SarveladControl)
#include "tst_sarveladcontrol.moc"
