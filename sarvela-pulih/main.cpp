#include "permintaan.h"
#include "pulihcli.h"
#include "qtservice.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments();
    arguments.removeFirst();
    pulihcli::Options options;
    const QString wrong = pulihcli::parse(arguments, &options);
    const auto print = [](FILE *stream, const QString &line) {
        std::fputs((line + QLatin1Char('\n')).toLocal8Bit().constData(), stream);
        std::fflush(stream);
    };
    if (options.help || !wrong.isEmpty()) {
        if (!wrong.isEmpty())
            print(stderr, wrong);
        print(wrong.isEmpty() ? stdout : stderr, pulihcli::usage());
        return wrong.isEmpty() ? 0 : 2;
    }
    QtServiceController service(QStringLiteral("Sarvela DB Backup"));
    pulihcli::Io io;
    io.wake = [&service] {
        if (service.sendCommand(permintaan::WaitingCommand))
            return QString();
        return service.isRunning() ? QtServiceController::lastError().text
                                   : QStringLiteral("Service tidak aktif.");
    };
    io.out = [&print](const QString &line) { print(stdout, line); };
    io.err = [&print](const QString &line) { print(stderr, line); };
    return pulihcli::run(QCoreApplication::applicationDirPath(), options, io);
}
