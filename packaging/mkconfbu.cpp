// Builds the delivered confbu.cfg from its SQL script: mkconfbu <script.sql> <confbu.cfg>.
// The file is written under a temporary name and renamed, so a failed build leaves none.
#include <QCoreApplication>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>

#include <cstdio>

namespace {

// The script holds no semicolons inside its texts, so a semicolon ends a statement.
QStringList statements(const QString &script)
{
    QStringList result;
    QString text;
    for (const QString &line : script.split(QLatin1Char('\n'))) {
        if (!line.trimmed().startsWith(QLatin1String("--")))
            text += line + QLatin1Char('\n');
    }
    for (const QString &statement : text.split(QLatin1Char(';'))) {
        if (!statement.trimmed().isEmpty())
            result << statement.trimmed();
    }
    return result;
}

int fail(const QString &message)
{
    std::fprintf(stderr, "mkconfbu: %s\n", qPrintable(message));
    return 1;
}

bool build(const QString &scriptPath, const QString &outputPath, QString *error)
{
    QFile script(scriptPath);
    if (!script.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = scriptPath + QStringLiteral(": ") + script.errorString();
        return false;
    }
    const QString sql = QString::fromUtf8(script.readAll());
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("mk"));
    db.setDatabaseName(outputPath);
    if (!db.open()) {
        *error = db.lastError().text();
        return false;
    }
    bool ok = db.transaction();
    for (const QString &statement : statements(sql)) {
        QSqlQuery query(db);
        if (!ok || !query.exec(statement)) {
            *error = statement + QStringLiteral(": ") + query.lastError().text();
            ok = false;
            break;
        }
    }
    ok = ok && db.commit();
    if (ok == false && error->isEmpty())
        *error = db.lastError().text();
    db.close();
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3)
        return fail(QStringLiteral("usage: mkconfbu <script.sql> <confbu.cfg>"));
    const QString output = args.at(2);
    const QString temporary = output + QStringLiteral(".tmp");
    QFile::remove(temporary);
    QString error;
    const bool ok = build(args.at(1), temporary, &error);
    QSqlDatabase::removeDatabase(QStringLiteral("mk"));
    if (!ok) {
        QFile::remove(temporary);
        return fail(error);
    }
    QFile::remove(output);
    if (!QFile::rename(temporary, output))
        return fail(QStringLiteral("cannot rename ") + temporary + QStringLiteral(" to ") + output);
    return 0;
}
