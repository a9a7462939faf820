// An installed program directory in a temporary folder, made by
// `cmake --install` from the build tree, removed again at the end.
#pragma once

#include <QString>
#include <QTemporaryDir>

class ProgramDir
{
public:
    ProgramDir();

    // Installs the whole build into the temporary folder.
    bool install(QString *error);

    QString path() const { return m_dir.path(); }
    QString file(const QString &name) const { return m_dir.filePath(name); }

    // Points dbutils/pg_dump at the fake tool built with the tests.
    bool useFakePgDump(QString *error);

private:
    QTemporaryDir m_dir;
};

// Paths of the build tree.
inline QString buildBinDir()
{
    return QStringLiteral(SARVELA_BIN_DIR);
}
inline QString fakePgDumpPath()
{
    return buildBinDir() + "/fake_pg_dump";
}
