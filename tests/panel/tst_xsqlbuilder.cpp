// The statement builder on a real SQLite file, and one transaction on a
// throwaway PostgreSQL cluster, since the builder serves any driver.
#include "pgcluster.h"
#include "xsqlbuilder.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

class TestXSQLBuilder : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void statements_data();
    void statements();
    void tracesNameTheirPlace();
    void postgresTransaction();

private:
    QTemporaryDir m_dir;
    QSqlDatabase m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
};

void TestXSQLBuilder::init()
{
    // Opened once and kept open: reopening would drop a transaction that the
    // builder left behind, which is what the rows must notice.
    if (!m_db.isOpen()) {
        m_db.setDatabaseName(m_dir.filePath(QStringLiteral("builder.db")));
        QVERIFY(m_db.open());
    }
    QSqlQuery query(m_db);
    QVERIFY(query.exec(QStringLiteral("DROP TABLE IF EXISTS t")) &&
            query.exec(QStringLiteral("CREATE TABLE t (id INTEGER PRIMARY KEY, a TEXT, b TEXT)")) &&
            query.exec(QStringLiteral(
                "INSERT INTO t VALUES (1, 'x', 'p'), (2, 'y', 'q'), (3, 'z', 'r')")));
}

void TestXSQLBuilder::cleanup()
{
    m_db.rollback(); // what a failed row left open must not spill into the next
}

void TestXSQLBuilder::statements_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("fields"); // "name=value name=value"
    QTest::addColumn<QString>("sql"); // "field operator value connector, ..." or a custom statement
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("rows");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("state");
    QTest::addColumn<bool>("commit");
    const QString untouched = QStringLiteral("1:x:p,2:y:q,3:z:r");
    auto row = [](const char *name, int type, const char *fields, const char *sql, const char *text,
                  const QString &rows, const char *error = "", const char *state = "transaction",
                  bool commit = true) {
        QTest::newRow(name) << type << fields << sql << text << rows << error << state << commit;
    };

    row("insert", XSQLBuilder::Insert, "a=n b=m", "", "INSERT INTO t (a, b) VALUES (:a0, :b0);",
        untouched + ",4:n:m,5:NULL:f");
    row("update with one condition", XSQLBuilder::Update, "a=u", "id = 2",
        "UPDATE t SET a = :a0 WHERE id = :id00  ;", "1:x:p,2:u:q,3:z:r,4:NULL:f");
    row("update where a field is also a condition", XSQLBuilder::Update, "a=u b=v",
        "id < 2 OR, b = r", "UPDATE t SET a = :a0, b = :b0 WHERE id < :id00 OR b = :b10  ;",
        "1:u:v,2:y:q,3:u:v,4:NULL:f");
    row("delete with LIKE", XSQLBuilder::Delete, "", "a LIKE z%",
        "DELETE FROM t WHERE a LIKE :a00  ;", "1:x:p,2:y:q,3:NULL:f");
    row("delete without conditions removes every row", XSQLBuilder::Delete, "", "",
        "DELETE FROM t WHERE  TRUE ;", "1:NULL:f");
    // "id" also matches the start of ":idx", which therefore is never bound.
    row("custom parameter name inside a longer name", XSQLBuilder::Custom, "id=7 idx=never",
        "INSERT INTO t (id, a, b) VALUES (:id, :idx, 'c')",
        "INSERT INTO t (id, a, b) VALUES (:id_0, :id_0x, 'c')\n", untouched + ",7:NULL:c,8:NULL:f");
    row("duplicate key stops later statements", XSQLBuilder::Insert, "id=1", "",
        "INSERT INTO t (id) VALUES (:id0);", untouched, "UNIQUE constraint failed");
    row("missing table stops later statements", XSQLBuilder::Custom, "id=50",
        "INSERT INTO nosuchtable (id) VALUES (:id)",
        "INSERT INTO nosuchtable (id) VALUES (:id_0)\n", untouched, "no such table");
    row("not committed", XSQLBuilder::Insert, "id=10", "", "INSERT INTO t (id) VALUES (:id0);",
        untouched, "", "transaction", false);
    row("outside a transaction", XSQLBuilder::Insert, "id=10", "", "", untouched,
        "Begin Transac not Start.", "none");
    row("closed connection", XSQLBuilder::Insert, "id=10", "", "", untouched, "", "closed");
}

void TestXSQLBuilder::statements()
{
    QFETCH(int, type);
    QFETCH(QString, fields);
    QFETCH(QString, sql);
    QFETCH(QString, text);
    QFETCH(QString, rows);
    QFETCH(QString, error);
    QFETCH(QString, state);
    QFETCH(bool, commit);

    if (state == QLatin1String("closed"))
        m_db.close();
    {
        XSQLBuilder builder(m_db);
        if (state != QLatin1String("none"))
            QCOMPARE(builder.BeginTransact(), state == QLatin1String("transaction"));
        builder.SetStatement(type, QStringLiteral("t"));
        builder.SetCustomSQL(sql);
        for (const QString &field : fields.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            builder.AddField(field.section('=', 0, 0), field.section('=', 1));
        for (const QString &condition : sql.split(QStringLiteral(", "), Qt::SkipEmptyParts)) {
            const QStringList c = condition.split(QLatin1Char(' '));
            builder.AddWhere(c.value(0), c.value(1), c.value(2), c.value(3));
        }
        builder.Execute();
        QCOMPARE(builder.lastStatement(), text);

        // A second statement in the same transaction runs only while nothing has failed.
        builder.SetStatement(XSQLBuilder::Insert, QStringLiteral("t"));
        builder.AddField(QStringLiteral("b"), QStringLiteral("f"));
        builder.Execute();
        const bool ran = state == QLatin1String("transaction") && error.isEmpty();
        QCOMPARE(builder.lastStatement(),
                 ran ? QStringLiteral("INSERT INTO t (b) VALUES (:b1);") : text);
        QString reported;
        QCOMPARE(builder.EndTransact(reported, commit), ran && commit);
        QVERIFY2(reported.contains(error), qPrintable(reported));
    }
    if (!m_db.isOpen())
        QVERIFY(m_db.open());
    // No transaction may outlive the builder, committed or not.
    QVERIFY2(m_db.transaction(), qPrintable(m_db.lastError().text()));
    QVERIFY(m_db.rollback());
    // Rows of t as "id:a:b" in id order.
    QSqlQuery query(QStringLiteral("SELECT group_concat(id || ':' || ifnull(a, 'NULL') || ':' || "
                                   "ifnull(b, 'NULL')) FROM (SELECT * FROM t ORDER BY id)"),
                    m_db);
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toString(), rows);
}

namespace {
QStringList g_traces;
void recordTrace(QtMsgType, const QMessageLogContext &context, const QString &text)
{
    g_traces << QFileInfo(QString::fromUtf8(context.file)).fileName() + QLatin1Char(' ') +
                    QString::fromUtf8(context.function).section(QLatin1Char('('), 0, 0) +
                    QStringLiteral(": ") + text;
}
} // namespace

void TestXSQLBuilder::tracesNameTheirPlace()
{
    g_traces.clear();
    const QtMessageHandler previous = qInstallMessageHandler(recordTrace);
    {
        XSQLBuilder builder(m_db);
        builder.SetStatement(XSQLBuilder::Insert, QStringLiteral("t"));
        builder.Execute(); // outside a transaction
        builder.BeginTransact();
        QString error;
        builder.EndTransact(error, true);
    }
    qInstallMessageHandler(previous);
    QCOMPARE(g_traces,
             QStringList({"xsqlbuilder.cpp bool XSQLBuilder::mayBuild: Begin Transac not Start...!",
                          "xsqlbuilder.cpp bool XSQLBuilder::EndTransact: enter stage end "
                          "transact... ",
                          "xsqlbuilder.cpp bool XSQLBuilder::EndTransact: found error query... "}));
}

void TestXSQLBuilder::postgresTransaction()
{
    PgCluster cluster;
    QString error, rows;
    QVERIFY2(cluster.start(&error) &&
                 cluster.sql(QStringLiteral("CREATE TABLE t (id int PRIMARY KEY, a text)"), &error),
             qPrintable(error));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("pg"));
        db.setHostName(cluster.host());
        db.setPort(cluster.port());
        QVERIFY2(db.open(cluster.superUser(), cluster.superPassword()),
                 qPrintable(db.lastError().text()));
        XSQLBuilder builder(db);
        QVERIFY(builder.BeginTransact());
        for (int id : {0, 1}) {
            builder.SetStatement(XSQLBuilder::Insert, QStringLiteral("t"));
            builder.AddField(QStringLiteral("id"), id);
            builder.AddField(QStringLiteral("a"), QStringLiteral("bär '%1'").arg(id));
            builder.Execute();
        }
        QVERIFY2(builder.EndTransact(error, true), qPrintable(error));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("pg"));
    // Read by another session, so only committed rows show.
    QVERIFY2(
        cluster.sql(QStringLiteral("SELECT string_agg(id || ':' || a, ',' ORDER BY id) FROM t"),
                    &error, QStringLiteral("postgres"), &rows),
        qPrintable(error));
    QCOMPARE(rows.trimmed(), QStringLiteral("0:bär '0',1:bär '1'"));
}

QTEST_GUILESS_MAIN(TestXSQLBuilder)
#include "tst_xsqlbuilder.moc"
