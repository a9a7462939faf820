#include "xsqlbuilder.h"

#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>

XSQLBuilder::XSQLBuilder(QSqlDatabase database)
    : db(database), paramPrefix(QStringLiteral(":")), query(new QSqlQuery(db))
{
}

XSQLBuilder::~XSQLBuilder() = default;

bool XSQLBuilder::BeginTransact()
{
    const bool begun = db.transaction();
    inTransaction = true;
    return begun;
}

void XSQLBuilder::clearLists()
{
    fieldNames.clear();
    fieldValues.clear();
    whereFields.clear();
    whereValues.clear();
    whereOperators.clear();
    whereConnectors.clear();
}

void XSQLBuilder::SetStatement(int type, const QString &table)
{
    if (!db.isOpen())
        return;
    statementType = type;
    tableName = table;
    clearLists();
}

void XSQLBuilder::SetCustomSQL(const QString &text)
{
    customSQL = text;
}

void XSQLBuilder::AddField(const QString &name, const QVariant &value)
{
    if (!db.isOpen() || errorCount > 0)
        return;
    fieldNames.append(name);
    fieldValues.append(value);
}

void XSQLBuilder::AddWhere(const QString &field, const QString &op, const QVariant &value,
                           const QString &connector)
{
    if (statementType != Update && statementType != Delete)
        return;
    whereFields.append(field);
    whereOperators.append(op);
    whereValues.append(value);
    whereConnectors.append(connector);
}

void XSQLBuilder::Execute()
{
    if (!db.isOpen() || errorCount > 0)
        return;
    switch (statementType) {
    case Insert:
        CreateInsertSQL();
        break;
    case Update:
        CreateUpdateSQL();
        break;
    case Delete:
        CreateDeleteSQL();
        break;
    case Custom:
        CreateCustomSQL();
        break;
    default:
        break;
    }
    clearLists();
    ++statementNo;
}

// The frame shared by the four statement builders: a statement outside a
// transaction counts as an error, and after any error nothing runs any more.
bool XSQLBuilder::mayBuild()
{
    if (!inTransaction) {
        qDebug("Begin Transac not Start...!");
        ++errorCount;
        errorText += QStringLiteral("Begin Transac not Start.");
        return false;
    }
    return errorCount < 1;
}

QStringList XSQLBuilder::conditionParams() const
{
    QStringList names;
    for (int i = 0; i < whereFields.size(); ++i)
        names.append(paramPrefix + whereFields.at(i) + QString::number(i) +
                     QString::number(statementNo));
    return names;
}

// Names carry the statement number so that the statements of one
// transaction never share a parameter name.
QString XSQLBuilder::conditionPart(int statement) const
{
    QString part;
    for (int i = 0; i < whereFields.size(); ++i) {
        part += whereFields.at(i) + QLatin1Char(' ') + whereOperators.at(i) + QLatin1Char(' ') +
                paramPrefix + whereFields.at(i) + QString::number(i) + QString::number(statement) +
                QLatin1Char(' ') + whereConnectors.at(i) + QLatin1Char(' ');
    }
    // Without conditions the statement applies to every row.
    if (part.trimmed().isEmpty())
        part = QStringLiteral(" TRUE ");
    return part;
}

void XSQLBuilder::run(const QString &text, const QStringList &names, const QList<QVariant> &values)
{
    // A failed prepare shows as a failed run; its own error names the cause
    // (exec would only report a parameter count mismatch).
    const bool prepared = query->prepare(text);
    const QSqlError prepareError = query->lastError();
    for (int k = 0; k < names.size() && k < values.size(); ++k)
        query->bindValue(names.at(k), values.at(k), QSql::In);
    if (!query->exec()) {
        ++errorCount;
        errorText += (prepared ? query->lastError() : prepareError).text() + QLatin1Char('\n');
    }
}

void XSQLBuilder::CreateInsertSQL()
{
    if (!mayBuild())
        return;
    const QString n = QString::number(statementNo);
    QStringList params;
    for (const QString &name : qAsConst(fieldNames))
        params.append(paramPrefix + name + n);
    const QString text = QStringLiteral("INSERT INTO %1 (%2) VALUES (%3);")
                             .arg(tableName, fieldNames.join(QStringLiteral(", ")),
                                  params.join(QStringLiteral(", ")));
    run(text, params, fieldValues);
}

void XSQLBuilder::CreateUpdateSQL()
{
    if (!mayBuild())
        return;
    const QString n = QString::number(statementNo);
    QStringList sets;
    QStringList names;
    for (const QString &name : qAsConst(fieldNames)) {
        sets.append(name + QStringLiteral(" = ") + paramPrefix + name + n);
        names.append(paramPrefix + name + n);
    }
    names += conditionParams();
    const QList<QVariant> values = fieldValues + whereValues;
    const QString text =
        QStringLiteral("UPDATE %1 SET %2 WHERE %3;")
            .arg(tableName, sets.join(QStringLiteral(", ")), conditionPart(statementNo));
    run(text, names, values);
}

void XSQLBuilder::CreateDeleteSQL()
{
    if (!mayBuild())
        return;
    const QString text =
        QStringLiteral("DELETE FROM %1 WHERE %2;").arg(tableName, conditionPart(statementNo));
    run(text, conditionParams(), whereValues);
}

void XSQLBuilder::CreateCustomSQL()
{
    QString text = customSQL + QLatin1Char('\n');
    if (!mayBuild())
        return;
    // Plain text replacement: a name is also replaced where it begins a longer
    // name, so callers pick parameter names that are not prefixes of others.
    const QString suffix = QLatin1Char('_') + QString::number(statementNo);
    QStringList names;
    for (const QString &name : qAsConst(fieldNames)) {
        text.replace(paramPrefix + name, paramPrefix + name + suffix, Qt::CaseSensitive);
        names.append(paramPrefix + name + suffix);
    }
    run(text, names, fieldValues);
}

bool XSQLBuilder::EndTransact(QString &error, bool commit)
{
    if (!inTransaction) {
        error = QStringLiteral("Begin Transac not Start.");
        return false;
    }
    qDebug("enter stage end transact... ");
    inTransaction = false;
    if (errorCount > 0) {
        qDebug("found error query... ");
        db.rollback();
        error = errorText;
        return false;
    }
    if (commit) {
        qDebug("commit...");
        if (db.commit()) {
            error.clear();
            return true;
        }
    }
    // Whatever is not committed is rolled back, so that no transaction (and
    // none of its locks) outlives the builder.
    error = db.lastError().text() + QLatin1Char('\n') + errorText;
    db.rollback();
    return false;
}

QString XSQLBuilder::lastStatement() const
{
    return query->lastQuery();
}
