// The stand-in's answers and last-error codes, call by call, through a private daemon.
#include "standinkit.h"
#include "svcmgrdaemon.h"

#include <QProcess>
#include <QtTest>
#include <cstring>

class TestSvcMgrApi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void openManagerChecks_data();
    void openManagerChecks();
    void openServiceChecks_data();
    void openServiceChecks();
    void createServiceChecks_data();
    void createServiceChecks();
    void newServiceConfiguration();
    void queryConfigBuffer();
    void description();
    void closeHandle();
    void deleteLifecycle();
    void controlStoppedService_data();
    void controlStoppedService();
    void startRefused_data();
    void startRefused();
    void errorTexts();
    void dispatcherOutsideManager();
    void eventLogRecord();

private:
    SvcMgrDaemon m_daemon;
    QStringList m_created;
    QTemporaryDir m_files;

    DWORD create(const QString &name, const QString &path = quoted(echoServicePath()),
                 DWORD start = SERVICE_DEMAND_START)
    {
        m_created << name;
        return createService(name, path, start);
    }
};

void TestSvcMgrApi::initTestCase()
{
    QString error;
    QVERIFY2(m_daemon.start(&error), qPrintable(error));
}

void TestSvcMgrApi::cleanup()
{
    // Every service a test made is gone before the next one starts.
    for (const QString &name : m_created) {
        controlService(name, SERVICE_CONTROL_STOP);
        deleteService(name);
    }
    m_created.clear();
}

void TestSvcMgrApi::openManagerChecks_data()
{
    QTest::addColumn<QString>("machine");
    QTest::addColumn<QString>("database");
    QTest::addColumn<uint>("access");
    QTest::addColumn<uint>("error");
    QTest::newRow("defaults with no access asked") << QString() << QString() << 0u << 0u;
    QTest::newRow("all access for root") << QString() << QString() << 0xF003Fu << 0u;
    QTest::newRow("active database by name") << QString() << "ServicesActive" << 1u << 0u;
    QTest::newRow("database name in other case") << QString() << "servicesactive" << 1u << 0u;
    QTest::newRow("another database") << QString() << "ServicesFailed" << 1u << 1065u;
    QTest::newRow("local machine by name") << "\\\\localhost" << QString() << 1u << 0u;
    QTest::newRow("remote machine") << "\\\\far-away-host" << QString() << 1u << 1722u;
}

void TestSvcMgrApi::openManagerChecks()
{
    QFETCH(QString, machine);
    QFETCH(QString, database);
    QFETCH(uint, access);
    QFETCH(uint, error);
    const std::wstring m = wide(machine), d = wide(database);
    ScHandle h(OpenSCManagerW(machine.isNull() ? nullptr : m.c_str(),
                              database.isNull() ? nullptr : d.c_str(), access));
    if (error)
        QCOMPARE(GetLastError(), DWORD(error));
    QCOMPARE(bool(h), error == 0);
}

void TestSvcMgrApi::openServiceChecks_data()
{
    QTest::addColumn<bool>("nullManager");
    QTest::addColumn<QString>("name");
    QTest::addColumn<uint>("error");
    QTest::newRow("null manager handle") << true << "api-open" << 6u;
    QTest::newRow("registered name") << false << "api-open" << 0u;
    QTest::newRow("name in other case") << false << "API-Open" << 0u;
    QTest::newRow("empty name") << false << "" << 123u;
    QTest::newRow("slash in name") << false << "api/open" << 123u;
    QTest::newRow("backslash in name") << false << "api\\open" << 123u;
    QTest::newRow("unknown name") << false << "api-never-registered" << 1060u;
    QTest::newRow("name over 256 characters") << false << QString(257, 'n') << 123u;
}

void TestSvcMgrApi::openServiceChecks()
{
    QFETCH(bool, nullManager);
    QFETCH(QString, name);
    QFETCH(uint, error);
    QCOMPARE(create("api-open"), DWORD(0));
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    QVERIFY(manager);
    ScHandle service(OpenServiceW(nullManager ? nullptr : manager.get(), wide(name).c_str(),
                                  SERVICE_QUERY_STATUS));
    if (error)
        QCOMPARE(GetLastError(), DWORD(error));
    QCOMPARE(bool(service), error == 0);
}

void TestSvcMgrApi::createServiceChecks_data()
{
    QTest::addColumn<uint>("managerAccess");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("path");
    QTest::addColumn<uint>("type");
    QTest::addColumn<uint>("startType");
    QTest::addColumn<QString>("account");
    QTest::addColumn<uint>("error");
    const QString ok = "/bin/true";
    // Rows that break several rules show which check comes first.
    QTest::newRow("no create right, bad name")
        << 1u << "a/b" << ok << 0x10u << 3u << QString() << 5u;
    QTest::newRow("bad name, empty path") << 0xF003Fu << "a\\b"
                                          << "" << 0x10u << 3u << QString() << 123u;
    QTest::newRow("empty path, existing name") << 0xF003Fu << "api-existing"
                                               << "" << 0x10u << 3u << QString() << 87u;
    QTest::newRow("interactive with an account")
        << 0xF003Fu << "api-new" << ok << 0x110u << 3u << ".\\someone" << 87u;
    QTest::newRow("interactive as local system")
        << 0xF003Fu << "api-new" << ok << 0x110u << 3u << "LocalSystem" << 0u;
    QTest::newRow("driver type") << 0xF003Fu << "api-new" << ok << 0x1u << 3u << QString() << 87u;
    QTest::newRow("boot start type")
        << 0xF003Fu << "api-new" << ok << 0x10u << 0u << QString() << 87u;
    QTest::newRow("existing name")
        << 0xF003Fu << "api-existing" << ok << 0x10u << 3u << QString() << 1073u;
    QTest::newRow("existing name in other case")
        << 0xF003Fu << "API-EXISTING" << ok << 0x10u << 3u << QString() << 1073u;
    QTest::newRow("name of a service marked for deletion")
        << 0xF003Fu << "api-marked" << ok << 0x10u << 3u << QString() << 1072u;
}

void TestSvcMgrApi::createServiceChecks()
{
    QFETCH(uint, managerAccess);
    QFETCH(QString, name);
    QFETCH(QString, path);
    QFETCH(uint, type);
    QFETCH(uint, startType);
    QFETCH(QString, account);
    QFETCH(uint, error);
    QCOMPARE(create("api-existing"), DWORD(0));
    QCOMPARE(create("api-marked"), DWORD(0));
    ScHandle marked(openService("api-marked", SERVICE_QUERY_STATUS | DELETE));
    QVERIFY(DeleteService(marked.get())); // stays while this handle is open
    m_created << name;

    ScHandle manager(OpenSCManagerW(nullptr, nullptr, managerAccess));
    QVERIFY(manager);
    const std::wstring n = wide(name), p = wide(path), a = wide(account);
    ScHandle service(CreateServiceW(manager.get(), n.c_str(), nullptr, SERVICE_ALL_ACCESS, type,
                                    startType, SERVICE_ERROR_NORMAL, p.c_str(), nullptr, nullptr,
                                    nullptr, account.isNull() ? nullptr : a.c_str(), nullptr));
    if (error)
        QCOMPARE(GetLastError(), DWORD(error));
    QCOMPARE(bool(service), error == 0);
}

void TestSvcMgrApi::newServiceConfiguration()
{
    const QString path = "\"/opt/with blank/svc\"";
    QCOMPARE(create("Api Config", path, SERVICE_AUTO_START), DWORD(0));
    ScHandle service(openService("api config", SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    QVERIFY(service);

    SERVICE_STATUS status{};
    QVERIFY(QueryServiceStatus(service.get(), &status));
    QCOMPARE(status.dwCurrentState, DWORD(SERVICE_STOPPED));
    QCOMPARE(status.dwWin32ExitCode, DWORD(ERROR_SERVICE_NEVER_STARTED));

    alignas(8) char buf[8192];
    auto *config = reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buf);
    DWORD needed = 0;
    QVERIFY2(QueryServiceConfigW(service.get(), config, sizeof buf, &needed),
             qPrintable(errorText(GetLastError())));
    QCOMPARE(QString::fromWCharArray(config->lpBinaryPathName), path);
    QCOMPARE(QString::fromWCharArray(config->lpDisplayName), QString("Api Config"));
    QCOMPARE(QString::fromWCharArray(config->lpServiceStartName), QString("LocalSystem"));
    QCOMPARE(config->dwStartType, DWORD(SERVICE_AUTO_START));
    QCOMPARE(config->dwServiceType, DWORD(SERVICE_WIN32_OWN_PROCESS));
    // Strings that were never given come back empty, not null.
    QVERIFY(config->lpLoadOrderGroup && !*config->lpLoadOrderGroup);
    QVERIFY(config->lpDependencies && !*config->lpDependencies);

    // Names and texts beyond ASCII travel intact.
    const QString local = QString::fromUtf8("Cadangan \u00dcbung \u0416");
    QCOMPARE(create(local, "/bin/true"), DWORD(0));
    ScHandle named(openService(local, SERVICE_QUERY_CONFIG));
    QVERIFY(QueryServiceConfigW(named.get(), config, sizeof buf, &needed));
    QCOMPARE(QString::fromWCharArray(config->lpDisplayName), local);

    // The interactive flag is kept and reported back.
    m_created << "api-interactive";
    QCOMPARE(createService("api-interactive", "/bin/true", SERVICE_DEMAND_START, 0x110), DWORD(0));
    ScHandle interactive(openService("api-interactive", SERVICE_QUERY_CONFIG));
    QVERIFY(QueryServiceConfigW(interactive.get(), config, sizeof buf, &needed));
    QCOMPARE(config->dwServiceType, DWORD(0x110));
}

void TestSvcMgrApi::queryConfigBuffer()
{
    QCOMPARE(create("api-buffer"), DWORD(0));
    ScHandle service(openService("api-buffer", SERVICE_QUERY_CONFIG));
    QVERIFY(service);
    DWORD needed = 0;
    QVERIFY(!QueryServiceConfigW(service.get(), nullptr, 0, &needed));
    QCOMPARE(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    QVERIFY(needed > sizeof(QUERY_SERVICE_CONFIGW));

    // One byte short: refused, and not a byte written.
    std::vector<char> buf(needed, char(0x5A));
    DWORD again = 0;
    QVERIFY(!QueryServiceConfigW(
        service.get(), reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buf.data()), needed - 1, &again));
    QCOMPARE(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    QCOMPARE(again, needed);
    QVERIFY(std::all_of(buf.begin(), buf.end(), [](char c) { return c == char(0x5A); }));

    QVERIFY(QueryServiceConfigW(
        service.get(), reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buf.data()), needed, &again));
    QCOMPARE(QString::fromWCharArray(
                 reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buf.data())->lpBinaryPathName),
             quoted(echoServicePath()));

    // A handle opened without the query-config right is refused before the buffer is looked at.
    ScHandle statusOnly(openService("api-buffer", SERVICE_QUERY_STATUS));
    QVERIFY(!QueryServiceConfigW(statusOnly.get(), nullptr, 0, &needed));
    QCOMPARE(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    QVERIFY(!QueryServiceConfigW(nullptr, nullptr, 0, &needed));
    QCOMPARE(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

void TestSvcMgrApi::description()
{
    QCOMPARE(create("api-desc"), DWORD(0));
    ScHandle service(openService("api-desc", SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG));
    QVERIFY(service);
    alignas(8) BYTE buf[8096];
    DWORD needed = 0;
    auto read = [&]() -> QString {
        if (!QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, buf, sizeof buf,
                                  &needed))
            return "failed " + QString::number(GetLastError());
        LPWSTR text = reinterpret_cast<LPSERVICE_DESCRIPTIONW>(buf)->lpDescription;
        return text ? QString::fromWCharArray(text) : QString("(null)");
    };
    auto set = [&](const wchar_t *text) {
        SERVICE_DESCRIPTIONW d{const_cast<LPWSTR>(text)};
        return ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &d);
    };
    QCOMPARE(read(), QString("(null)"));
    QVERIFY(set(L"Sarvela Database Backup"));
    QCOMPARE(read(), QString("Sarvela Database Backup"));
    QVERIFY(set(nullptr)); // a null text leaves it
    QCOMPARE(read(), QString("Sarvela Database Backup"));

    QVERIFY(!QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, buf, 8, &needed));
    QCOMPARE(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    QCOMPARE(needed, DWORD(sizeof(SERVICE_DESCRIPTIONW) + 24 * sizeof(wchar_t)));

    QVERIFY(set(L"")); // an empty text clears it
    QCOMPARE(read(), QString("(null)"));

    SERVICE_DESCRIPTIONW d{const_cast<LPWSTR>(L"x")};
    QVERIFY(!ChangeServiceConfig2W(service.get(), 2, &d));
    QCOMPARE(GetLastError(), DWORD(ERROR_INVALID_LEVEL));
    QVERIFY(!QueryServiceConfig2W(service.get(), 2, buf, sizeof buf, &needed));
    QCOMPARE(GetLastError(), DWORD(ERROR_INVALID_LEVEL));
}

void TestSvcMgrApi::closeHandle()
{
    QVERIFY(!CloseServiceHandle(nullptr));
    QCOMPARE(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, 0);
    QVERIFY(manager);
    QVERIFY(CloseServiceHandle(manager));
    QVERIFY(!CloseServiceHandle(manager));
    QCOMPARE(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    // A closed manager handle cannot open services any more.
    QVERIFY(!OpenServiceW(manager, L"anything", 0));
    QCOMPARE(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

void TestSvcMgrApi::deleteLifecycle()
{
    QCOMPARE(create("api-delete"), DWORD(0));
    ScHandle queryOnly(openService("api-delete", SERVICE_QUERY_STATUS));
    QVERIFY(!DeleteService(queryOnly.get()));
    QCOMPARE(GetLastError(), DWORD(ERROR_ACCESS_DENIED));

    SC_HANDLE deleter = openService("api-delete", DELETE);
    QVERIFY(DeleteService(deleter));
    QVERIFY(!DeleteService(deleter));
    QCOMPARE(GetLastError(), DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
    // Marked, but still there while handles are open.
    ScHandle again(openService("api-delete", SERVICE_QUERY_STATUS));
    QVERIFY2(again, qPrintable(errorText(GetLastError())));
    QCOMPARE(startService("api-delete"), DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
    QVERIFY(CloseServiceHandle(deleter));
    CloseServiceHandle(again.release());
    {
        ScHandle stillThere(openService("api-delete", SERVICE_QUERY_STATUS));
        QVERIFY(stillThere); // queryOnly is still open
    }
    CloseServiceHandle(queryOnly.release());
    ScHandle gone(openService("api-delete", SERVICE_QUERY_STATUS));
    QVERIFY(!gone);
    QCOMPARE(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
    QCOMPARE(create("api-delete"), DWORD(0)); // the name is free again
}

void TestSvcMgrApi::controlStoppedService_data()
{
    QTest::addColumn<uint>("access");
    QTest::addColumn<uint>("control");
    QTest::addColumn<uint>("error");
    QTest::addColumn<bool>("statusFilled");
    const uint all = SERVICE_ALL_ACCESS;
    QTest::newRow("control 0") << all << 0u << 87u << false;
    QTest::newRow("shutdown is the system's") << all << 5u << 87u << false;
    QTest::newRow("control 127") << all << 127u << 87u << false;
    QTest::newRow("control 256") << all << 256u << 87u << false;
    QTest::newRow("stop without the stop right") << uint(SERVICE_QUERY_STATUS) << 1u << 5u << false;
    QTest::newRow("user control without its right") << uint(SERVICE_STOP) << 200u << 5u << false;
    QTest::newRow("stop on a stopped service") << all << 1u << 1062u << true;
    QTest::newRow("interrogate a stopped service") << all << 4u << 1062u << true;
    QTest::newRow("user control to a stopped service") << all << 255u << 1062u << true;
}

void TestSvcMgrApi::controlStoppedService()
{
    QFETCH(uint, access);
    QFETCH(uint, control);
    QFETCH(uint, error);
    QFETCH(bool, statusFilled);
    QCOMPARE(create("api-control"), DWORD(0));
    ScHandle service(openService("api-control", access));
    QVERIFY(service);
    SERVICE_STATUS status;
    std::memset(&status, 0xEE, sizeof status);
    QVERIFY(!ControlService(service.get(), control, &status));
    QCOMPARE(GetLastError(), DWORD(error));
    QCOMPARE(status.dwCurrentState, statusFilled ? DWORD(SERVICE_STOPPED) : DWORD(0xEEEEEEEE));
}

void TestSvcMgrApi::startRefused_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<uint>("startType");
    QTest::addColumn<uint>("access");
    QTest::addColumn<uint>("error");
    QTest::addColumn<uint>("exitCode"); // recorded in the status afterwards
    const uint start = SERVICE_START;
    QTest::newRow("without the start right")
        << "/bin/true" << 3u << uint(SERVICE_QUERY_STATUS) << 5u << 1077u;
    QTest::newRow("disabled") << "/bin/true" << 4u << start << 1058u << 1077u;
    QTest::newRow("missing executable") << "/nonexistent/svc" << 3u << start << 2u << 2u;
    QTest::newRow("missing executable, quoted")
        << "\"/nonexistent/a b\"" << 3u << start << 2u << 2u;
    QTest::newRow("ends before connecting") << "/bin/true" << 3u << start << 1067u << 1067u;
}

void TestSvcMgrApi::startRefused()
{
    QFETCH(QString, path);
    QFETCH(uint, startType);
    QFETCH(uint, access);
    QFETCH(uint, error);
    QFETCH(uint, exitCode);
    QCOMPARE(create("api-start", path, startType), DWORD(0));
    ScHandle service(openService("api-start", access | SERVICE_QUERY_STATUS));
    QVERIFY(!StartServiceW(service.get(), 0, nullptr));
    QCOMPARE(GetLastError(), DWORD(error));
    SERVICE_STATUS status = queryStatus("api-start");
    QCOMPARE(status.dwCurrentState, DWORD(SERVICE_STOPPED));
    QCOMPARE(status.dwWin32ExitCode, DWORD(exitCode));
}

void TestSvcMgrApi::errorTexts()
{
    const DWORD codes[] = {0,    2,    5,    6,    87,   122,  123,  124,  487,  1052, 1053,
                           1056, 1058, 1060, 1061, 1062, 1063, 1067, 1072, 1073, 1077, 1722};
    wchar_t buf[256];
    for (DWORD code : codes)
        QVERIFY2(SvcFormatErrorW(code, buf, 256) > 10, qPrintable(QString::number(code)));
    QCOMPARE(SvcFormatErrorW(5, buf, 256), DWORD(17));
    QCOMPARE(QString::fromWCharArray(buf), QString("Access is denied."));
    QCOMPARE(SvcFormatErrorW(5, buf, 7), DWORD(6)); // cut to fit, still terminated
    QCOMPARE(QString::fromWCharArray(buf), QString("Access"));
    QCOMPARE(SvcFormatErrorW(99999, buf, 256), DWORD(0));
    QCOMPARE(QString::fromWCharArray(buf), QString());
    SetLastError(1063);
    QCOMPARE(GetLastError(), DWORD(1063));
}

void TestSvcMgrApi::dispatcherOutsideManager()
{
    // Not started by the manager: the dispatcher fails at once, and so does registering a handler.
    QProcess p;
    p.start(echoServicePath(), QStringList());
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()).trimmed(),
             QString("dispatcher-failed 1063 register 0 1060"));
}

void TestSvcMgrApi::eventLogRecord()
{
    HANDLE source = RegisterEventSourceW(nullptr, L"Api Source");
    QVERIFY(source);
    LPCWSTR strings[] = {L"first line\nsecond\tpart"};
    char data[5] = {};
    QVERIFY(ReportEventW(source, EVENTLOG_WARNING_TYPE, 3, 4242, nullptr, 1, sizeof data, strings,
                         data));
    QVERIFY(DeregisterEventSource(source));
    QVERIFY(!DeregisterEventSource(source));
    QCOMPARE(GetLastError(), DWORD(ERROR_INVALID_HANDLE));

    const QStringList lines = readLines(m_daemon.eventLogPath());
    QStringList mine;
    for (const QString &line : lines)
        if (line.contains("Api Source"))
            mine << line;
    QCOMPARE(mine.size(), 1);
    const QStringList fields = mine.first().split('\t');
    QCOMPARE(fields.size(), 7);
    QVERIFY(QDateTime::fromString(fields[0], Qt::ISODateWithMs).isValid());
    QCOMPARE(fields.mid(1), (QStringList{"Api Source", "Warning", "3", "4242",
                                         "first line\\nsecond\\tpart", "5"}));
}

QTEST_GUILESS_MAIN(TestSvcMgrApi)
#include "tst_svcmgrapi.moc"
