#include "programdir.h"
#include "testfiles.h"

#include <QDir>

ProgramDir::ProgramDir() : m_dir(QDir::tempPath() + "/sarvela-prog-XXXXXX") {}

bool ProgramDir::install(QString *error)
{
    // Never without a prefix of its own: that would install into the system's.
    const Ran cmake = !m_dir.isValid()
                          ? Ran()
                          : runCommand({"cmake", "--install", SARVELA_BUILD_DIR, "--prefix", m_dir.path()},
                                       QProcessEnvironment::systemEnvironment(), 120000);
    if (cmake.exitCode != 0)
        *error = "cmake --install failed: " + QString::fromUtf8(cmake.out + cmake.err) + m_dir.errorString();
    return cmake.exitCode == 0;
}

bool ProgramDir::useFakePgDump(QString *error)
{
    // In place of whatever the install step put there, link or file.
    const Ran copied = runCommand({"install", "-D", "-m", "0755", fakePgDumpPath(), file("dbutils/pg_dump")});
    if (copied.exitCode != 0)
        *error = "cannot copy the fake pg_dump: " + QString::fromUtf8(copied.err);
    return copied.exitCode == 0;
}
