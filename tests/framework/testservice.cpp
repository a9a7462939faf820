// A small service for the framework's tests. It reads its name and behaviour
// from "<executable>.ini" and appends every call it receives, with the state the
// manager reports for it at that moment, to "<executable>.log": a service started
// by the manager gets neither arguments nor our environment.
#include "qtservice.h"
#include "servicecall.h"

#include <QtCore>

namespace {
QString ownPath()
{
    return QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
}

QSettings &settings()
{
    static QSettings s(ownPath() + QStringLiteral(".ini"), QSettings::IniFormat);
    return s;
}

// The state the manager holds for us right now; 0 when it cannot be asked.
DWORD currentState()
{
    SERVICE_STATUS status{};
    if (QtServiceBase *service = QtServiceBase::instance())
        callService(service->serviceName(), 0, &status);
    return status.dwCurrentState;
}

void record(const QString &line)
{
    QFile log(ownPath() + QStringLiteral(".log"));
    if (log.open(QIODevice::WriteOnly | QIODevice::Append))
        log.write(line.toUtf8() + '\n');
}
} // namespace

class TestService : public QtService<QCoreApplication>
{
public:
    TestService(int argc, char **argv)
        : QtService<QCoreApplication>(
              argc, argv,
              settings().value(QStringLiteral("name"), QStringLiteral("Sarvela Test Service")).toString())
    {
        setServiceFlags(Suspendable);
    }

protected:
    void start() override
    {
        const QStringList args = QCoreApplication::arguments();
        record(
            QStringLiteral("start %1 %2").arg(QString::number(currentState()), args.join(QLatin1Char(' '))));
        // "quit N" among the arguments: the service ends itself with exit code N.
        const int quit = args.indexOf(QStringLiteral("quit"));
        if (quit > 0)
            QTimer::singleShot(0, [code = args.value(quit + 1).toInt()] { QCoreApplication::exit(code); });
        // A slow stopper: the event loop has ended but the run goes on for a while.
        const uint delay = settings().value(QStringLiteral("stopDelayMs"), 0).toUInt();
        QObject::connect(application(), &QCoreApplication::aboutToQuit, [delay] { QThread::msleep(delay); });
    }
    void stop() override { record(QStringLiteral("stop %1").arg(currentState())); }
    void pause() override { record(QStringLiteral("pause %1").arg(currentState())); }
    void resume() override { record(QStringLiteral("resume %1").arg(currentState())); }
    void processCommand(int code) override
    {
        record(QStringLiteral("command %1 %2").arg(QString::number(code), QString::number(currentState())));
    }
};

int main(int argc, char **argv)
{
    TestService service(argc, argv);
    return service.exec();
}
