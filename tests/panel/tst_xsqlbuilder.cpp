// The statement builder on a real SQLite file.
#include "xsqlbuilder.h"

#include <QtSql>
#include <QtTest>

namespace {
// A statement built from fields ("name=value name=value") and conditions ("field operator value
// connector, ...") or a custom statement, run in a transaction (state: "transaction", "none"
// when not begun, or "closed" connection) committed or not; the text it ran, the rows of t
// after, and the error reported.
struct Statement
{
    int type = 0;
    QString fields = {}, sql = {}, text = {}, rows = {}, error = {}, state = {};
    bool commit = true;
};
} // namespace
Q_DECLARE_METATYPE(Statement)

class TestXSQLBuilder : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { m_db.rollback(); } // what a failed row left open must not spill into the next
    void statements_data();
    void statements();

private:
    QTemporaryDir m_dir;
    QSqlDatabase m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
};

void TestXSQLBuilder::init()
{
    // Opened once and kept open: reopening would drop a transaction that the
    // builder left behind, which is what the rows must notice.
    m_db.setDatabaseName(m_dir.filePath("builder.db"));
    QVERIFY(m_db.isOpen() || m_db.open());
    QSqlQuery query(m_db);
    QVERIFY(query.exec("DROP TABLE IF EXISTS t") &&
            query.exec("CREATE TABLE t (id INTEGER PRIMARY KEY, a TEXT, b TEXT)") &&
            query.exec("INSERT INTO t VALUES (1, 'x', 'p'), (2, 'y', 'q'), (3, 'z', 'r')"));
}

void TestXSQLBuilder::statements_data()
{
    QTest::addColumn<Statement>("statement");
    const QString untouched = QStringLiteral("1:x:p,2:y:q,3:z:r");
    auto row = [](const char *name, int type, const char *fields, const char *sql, const char *text,
                  const QString &rows, const char *error = "", const char *state = "transaction",
                  bool commit = true) {
        QTest::newRow(name) << Statement{type, fields, sql, text, rows, error, state, commit};
    };
    const int ins = XSQLBuilder::Insert, upd = XSQLBuilder::Update, del = XSQLBuilder::Delete;
    const int custom = XSQLBuilder::Custom;
    row("insert", ins, "a=n b=m", "", "INSERT INTO t (a, b) VALUES (:a0, :b0);",
        untouched + ",4:n:m,5:NULL:f");
    row("update with one condition", upd, "a=u", "id = 2", "UPDATE t SET a = :a0 WHERE id = :id00  ;",
        "1:x:p,2:u:q,3:z:r,4:NULL:f");
    row("update where a field is also a condition", upd, "a=u b=v", "id < 2 OR, b = r",
        "UPDATE t SET a = :a0, b = :b0 WHERE id < :id00 OR b = :b10  ;", "1:u:v,2:y:q,3:u:v,4:NULL:f");
    row("delete with LIKE", del, "", "a LIKE z%", "DELETE FROM t WHERE a LIKE :a00  ;",
        "1:x:p,2:y:q,3:NULL:f");
    row("delete without conditions removes every row", del, "", "", "DELETE FROM t WHERE  TRUE ;",
        "1:NULL:f");
    // "id" also matches the start of ":idx", which therefore is never bound.
    row("custom parameter name inside a longer name", custom, "id=7 idx=never",
        "INSERT INTO t (id, a, b) VALUES (:id, :idx, 'c')",
        "INSERT INTO t (id, a, b) VALUES (:id_0, :id_0x, 'c')\n", untouched + ",7:NULL:c,8:NULL:f");
    row("duplicate key stops later statements", ins, "id=1", "", "INSERT INTO t (id) VALUES (:id0);",
        untouched, "UNIQUE constraint failed");
    row("missing table stops later statements", custom, "id=50", "INSERT INTO nosuchtable (id) VALUES (:id)",
        "INSERT INTO nosuchtable (id) VALUES (:id_0)\n", untouched, "no such table");
    row("not committed", ins, "id=10", "", "INSERT INTO t (id) VALUES (:id0);", untouched, "", "transaction",
        false);
    row("outside a transaction", ins, "id=10", "", "", untouched, "Begin Transac not Start.", "none");
    row("closed connection", ins, "id=10", "", "", untouched, "", "closed");
}

void TestXSQLBuilder::statements()
{
    QFETCH(Statement, statement);
    const auto &[type, fields, sql, text, rows, error, state, commit] = statement;
    if (state == "closed")
        m_db.close();
    {
        XSQLBuilder builder(m_db);
        QVERIFY(state == "none" || builder.BeginTransact() == (state == "transaction"));
        builder.SetStatement(type, "t");
        builder.SetCustomSQL(sql);
        for (const QString &field : fields.split(' ', Qt::SkipEmptyParts))
            builder.AddField(field.section('=', 0, 0), field.section('=', 1));
        for (const QString &condition : sql.split(", ", Qt::SkipEmptyParts)) {
            const QStringList c = condition.split(' ');
            builder.AddWhere(c.value(0), c.value(1), c.value(2), c.value(3));
        }
        builder.Execute();
        QCOMPARE(builder.lastStatement(), text);
        // A second statement in the same transaction runs only while nothing has failed.
        builder.SetStatement(XSQLBuilder::Insert, "t");
        builder.AddField("b", "f");
        builder.Execute();
        const bool ran = state == "transaction" && error.isEmpty();
        QCOMPARE(builder.lastStatement(), ran ? "INSERT INTO t (b) VALUES (:b1);" : text);
        QString reported;
        QCOMPARE(builder.EndTransact(reported, commit), ran && commit);
        QVERIFY2(reported.contains(error), qPrintable(reported));
    }
    QVERIFY(m_db.isOpen() || m_db.open());
    // No transaction may outlive the builder, committed or not.
    QVERIFY2(m_db.transaction() && m_db.rollback(), qPrintable(m_db.lastError().text()));
    QSqlQuery query("SELECT group_concat(id || ':' || ifnull(a, 'NULL') || ':' || "
                    "ifnull(b, 'NULL')) FROM (SELECT * FROM t ORDER BY id)",
                    m_db);
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toString(), rows);
}

QTEST_GUILESS_MAIN(TestXSQLBuilder)
#include "tst_xsqlbuilder.moc"
