// Builds and runs parameterised INSERT, UPDATE, DELETE and hand-written
// statements on one connection, all inside one transaction that the builder
// begins and ends. Values are always bound, never pasted into the text.
#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <memory>

class QSqlQuery;

class XSQLBuilder
{
public:
    enum StatementType { Insert = 0, Update = 1, Delete = 2, Custom = 3 };

    explicit XSQLBuilder(QSqlDatabase database);
    ~XSQLBuilder();
    XSQLBuilder(const XSQLBuilder &) = delete;
    XSQLBuilder &operator=(const XSQLBuilder &) = delete;

    // Returns the connection's answer; the builder counts itself in a
    // transaction either way, so a refused begin surfaces at EndTransact.
    bool BeginTransact();
    void SetStatement(int type, const QString &table);
    void SetCustomSQL(const QString &text);
    void AddField(const QString &name, const QVariant &value);
    void AddWhere(const QString &field, const QString &op, const QVariant &value,
                  const QString &connector);
    void Execute();

    void CreateInsertSQL();
    void CreateUpdateSQL();
    void CreateDeleteSQL();
    void CreateCustomSQL();

    // True only when the transaction was committed; otherwise it has been
    // rolled back and error says why.
    bool EndTransact(QString &error, bool commit);

    // The text of the statement prepared last, for diagnostics.
    QString lastStatement() const;

private:
    QString conditionPart(int statement) const;
    void run(const QString &text, const QStringList &names, const QList<QVariant> &values);
    bool mayBuild();
    // Empties the six lists of the current statement.
    void clearLists();
    QStringList conditionParams() const;

    QSqlDatabase db;
    int statementType = Insert;
    QString tableName;
    QString customSQL;
    QString paramPrefix;
    std::unique_ptr<QSqlQuery> query;
    QString errorText;
    int statementNo = 0;
    int errorCount = 0;
    bool inTransaction = false;
    QStringList fieldNames;
    QList<QVariant> fieldValues;
    QStringList whereFields;
    QList<QVariant> whereValues;
    QStringList whereOperators;
    QStringList whereConnectors;
};
