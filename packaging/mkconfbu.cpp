// Builds the delivered confbu.cfg: mkconfbu <confbu.cfg>. The file is written under a
// temporary name and renamed, so a failed build leaves none.
#include "confbu.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

namespace {

int fail(const QString &message)
{
    std::fprintf(stderr, "mkconfbu: %s\n", qPrintable(message));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2)
        return fail(QStringLiteral("usage: mkconfbu <confbu.cfg>"));
    const QString output = args.at(1);
    const QString temporary = output + QStringLiteral(".tmp");
    QFile::remove(temporary);
    QString error;
    if (!confbu::createDeliveredFile(temporary, &error)) {
        QFile::remove(temporary);
        return fail(error);
    }
    QFile::remove(output);
    if (!QFile::rename(temporary, output))
        return fail(QStringLiteral("cannot rename ") + temporary + QStringLiteral(" to ") + output);
    return 0;
}
