// A small service for the framework's tests. It reads its name and behaviour
// from "<executable>.ini" and appends every call it receives to "<executable>.log",
// since a service started by the manager gets neither arguments nor environment.
#include "qtservice.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QThread>
#include <QTimer>

#include <cstdlib>
#include <unistd.h>

namespace {
QString ownPath()
{
    char path[4096];
    const ssize_t len = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return len > 0 ? QString::fromLocal8Bit(path, int(len)) : QString();
}

QSettings &settings()
{
    static QSettings s(ownPath() + QStringLiteral(".ini"), QSettings::IniFormat);
    return s;
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
              settings()
                  .value(QStringLiteral("name"), QStringLiteral("Sarvela Test Service"))
                  .toString())
    {
        setServiceDescription(settings().value(QStringLiteral("description")).toString());
        setServiceFlags(ServiceFlags(settings().value(QStringLiteral("flags"), 1).toInt()));
        setStartupType(settings().value(QStringLiteral("automatic")).toBool() ? AutomaticStart
                                                                              : ManualStart);
    }

protected:
    void start() override
    {
        const QStringList args = QCoreApplication::arguments();
        record(QStringLiteral("start ") + args.mid(1).join(QLatin1Char(' ')));
        // "quit N" among the arguments: the service ends itself with exit code N.
        const int quit = args.indexOf(QStringLiteral("quit"));
        if (quit > 0) {
            const int code = args.value(quit + 1).toInt();
            QTimer::singleShot(0, [code] { QCoreApplication::exit(code); });
        }
    }
    void stop() override
    {
        record(QStringLiteral("stop"));
        QThread::msleep(settings().value(QStringLiteral("stopDelayMs"), 0).toUInt());
    }
    void pause() override { record(QStringLiteral("pause")); }
    void resume() override { record(QStringLiteral("resume")); }
    void processCommand(int code) override
    {
        record(QStringLiteral("command %1").arg(code));
        if (code == 99)
            std::abort(); // a crash, for the manager to notice
    }
};

int main(int argc, char **argv)
{
    TestService service(argc, argv);
    return service.exec();
}
