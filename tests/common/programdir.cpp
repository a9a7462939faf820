#include "programdir.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

ProgramDir::ProgramDir() : m_dir(QDir::tempPath() + QStringLiteral("/sarvela-prog-XXXXXX")) {}

QString buildBinDir()
{
    return QStringLiteral(SARVELA_BIN_DIR);
}

QString fakePgDumpPath()
{
    return buildBinDir() + QStringLiteral("/fake_pg_dump");
}

bool ProgramDir::install(QString *error)
{
    if (!m_dir.isValid()) {
        *error = QStringLiteral("no temporary folder: ") + m_dir.errorString();
        return false;
    }
    QString cmake = QStandardPaths::findExecutable(QStringLiteral("cmake"));
    if (cmake.isEmpty()) {
        *error = QStringLiteral("cmake is not on the PATH");
        return false;
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(cmake, {QStringLiteral("--install"), QStringLiteral(SARVELA_BUILD_DIR),
                          QStringLiteral("--prefix"), m_dir.path()});
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        *error = QStringLiteral("cmake --install failed: ") + QString::fromUtf8(process.readAll());
        return false;
    }
    return true;
}

bool ProgramDir::useFakePgDump(QString *error)
{
    const QString target = file(QStringLiteral("dbutils/pg_dump"));
    QDir().mkpath(file(QStringLiteral("dbutils")));
    QFile::remove(target);
    if (!QFile::copy(fakePgDumpPath(), target)) {
        *error = QStringLiteral("cannot copy the fake pg_dump from ") + fakePgDumpPath();
        return false;
    }
    QFile::setPermissions(target, QFile::permissions(target) | QFile::ExeOwner | QFile::ExeGroup |
                                      QFile::ExeOther);
    return true;
}
