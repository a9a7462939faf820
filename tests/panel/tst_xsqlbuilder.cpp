// The statement builder on real SQLite files, and one transaction on a
// throwaway PostgreSQL cluster, since the builder serves any driver.
#include "pgcluster.h"
#include "xsqlbuilder.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// One named connection to a database file, removed again however the test ends.
class Connection
{
public:
    Connection(const QString &name, const QString &file, const QString &options = QString())
        : m_name(name)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        db.setConnectOptions(options);
        db.open();
    }
    ~Connection()
    {
        {
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(m_name);
    }
    QSqlDatabase db() const { return QSqlDatabase::database(m_name, false); }

    bool exec(const QString &statement, QString *error = nullptr) const
    {
        QSqlQuery query(db());
        const bool ok = query.exec(statement);
        if (!ok && error)
            *error = query.lastError().text();
        return ok;
    }

    // Rows of t as "id:a:b", in id order; NULL shows as "NULL".
    QString rows() const
    {
        QSqlQuery query(db());
        query.exec(QStringLiteral("SELECT id, a, b FROM t ORDER BY id"));
        QStringList rows;
        while (query.next()) {
            QStringList values;
            for (int column = 0; column < 3; ++column)
                values << (query.isNull(column) ? QStringLiteral("NULL")
                                                : query.value(column).toString());
            rows << values.join(QLatin1Char(':'));
        }
        return rows.join(QLatin1Char(','));
    }

private:
    QString m_name;
};

// Another connection that refuses to wait for a lock, so a transaction
// left open by the builder shows up at once as "database is locked".
bool secondConnectionCanWrite(const QString &file, QString *error)
{
    Connection other(QStringLiteral("other"), file, QStringLiteral("QSQLITE_BUSY_TIMEOUT=0"));
    return other.exec(QStringLiteral("INSERT INTO t (id, a) VALUES (100, 'other')"), error);
}

struct Condition
{
    QString field;
    QString op;
    QVariant value;
    QString connector;
};

} // namespace

Q_DECLARE_METATYPE(QList<Condition>)

class TestXSQLBuilder : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void statements_data();
    void statements();
    void twoInsertsInOneTransaction();
    void failedStatementStopsTheRestAndRollsBack_data();
    void failedStatementStopsTheRestAndRollsBack();
    void statementOutsideTransaction();
    void closedConnectionRunsNothing();
    void uncommittedTransactionIsRolledBack_data();
    void uncommittedTransactionIsRolledBack();
    void postgresTransaction_data();
    void postgresTransaction();

private:
    QString dbFile() const { return m_dir->filePath(QStringLiteral("builder.db")); }
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Connection> m_main;
};

void TestXSQLBuilder::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_main.reset(new Connection(QStringLiteral("main"), dbFile()));
    QString error;
    QVERIFY2(m_main->exec(QStringLiteral("CREATE TABLE t (id INTEGER PRIMARY KEY, a TEXT, b TEXT)"),
                          &error),
             qPrintable(error));
    QVERIFY2(m_main->exec(
                 QStringLiteral("INSERT INTO t VALUES (1, 'x', 'p'), (2, 'y', 'q'), (3, 'z', 'r')"),
                 &error),
             qPrintable(error));
}

void TestXSQLBuilder::cleanup()
{
    m_main.reset();
    m_dir.reset();
}

void TestXSQLBuilder::statements_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("custom");
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QVariantList>("values");
    QTest::addColumn<QList<Condition>>("conditions");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("committed");
    QTest::addColumn<QString>("rows");

    const QString untouched = QStringLiteral("1:x:p,2:y:q,3:z:r");
    QTest::newRow("insert with two fields")
        << int(XSQLBuilder::Insert) << QString() << QStringList{"a", "b"} << QVariantList{"n", "m"}
        << QList<Condition>() << "INSERT INTO t (a, b) VALUES (:a0, :b0);" << true
        << untouched + ",4:n:m";
    QTest::newRow("insert without fields is refused by the database")
        << int(XSQLBuilder::Insert) << QString() << QStringList() << QVariantList()
        << QList<Condition>() << "INSERT INTO t () VALUES ();" << false << untouched;
    QTest::newRow("update with one condition")
        << int(XSQLBuilder::Update) << QString() << QStringList{"a"} << QVariantList{"u"}
        << QList<Condition>{{"id", "=", 2, ""}} << "UPDATE t SET a = :a0 WHERE id = :id00  ;"
        << true << "1:x:p,2:u:q,3:z:r";
    QTest::newRow("update without conditions changes every row")
        << int(XSQLBuilder::Update) << QString() << QStringList{"a"} << QVariantList{"u"}
        << QList<Condition>() << "UPDATE t SET a = :a0 WHERE  TRUE ;" << true
        << "1:u:p,2:u:q,3:u:r";
    QTest::newRow("update of two fields where a field is also a condition")
        << int(XSQLBuilder::Update) << QString() << QStringList{"a", "b"} << QVariantList{"u", "v"}
        << QList<Condition>{{"id", "<", 2, "OR"}, {"b", "=", "r", ""}}
        << "UPDATE t SET a = :a0, b = :b0 WHERE id < :id00 OR b = :b10  ;" << true
        << "1:u:v,2:y:q,3:u:v";
    QTest::newRow("delete with one condition")
        << int(XSQLBuilder::Delete) << QString() << QStringList() << QVariantList()
        << QList<Condition>{{"id", "=", 2, ""}} << "DELETE FROM t WHERE id = :id00  ;" << true
        << "1:x:p,3:z:r";
    QTest::newRow("delete with LIKE and AND")
        << int(XSQLBuilder::Delete) << QString() << QStringList() << QVariantList()
        << QList<Condition>{{"a", "LIKE", "z%", "AND"}, {"id", ">=", 3, ""}}
        << "DELETE FROM t WHERE a LIKE :a00 AND id >= :id10  ;" << true << "1:x:p,2:y:q";
    QTest::newRow("delete without conditions removes every row")
        << int(XSQLBuilder::Delete) << QString() << QStringList() << QVariantList()
        << QList<Condition>() << "DELETE FROM t WHERE  TRUE ;" << true << QString();
    // "id" also matches the start of ":idx", which therefore is never bound.
    QTest::newRow("custom parameter name replaced inside a longer name")
        << int(XSQLBuilder::Custom) << "INSERT INTO t (id, a, b) VALUES (:id, :idx, 'c')"
        << QStringList{"id", "idx"} << QVariantList{7, "never"} << QList<Condition>()
        << "INSERT INTO t (id, a, b) VALUES (:id_0, :id_0x, 'c')\n"
        << true << untouched + ",7:NULL:c";
}

void TestXSQLBuilder::statements()
{
    QFETCH(int, type);
    QFETCH(QString, custom);
    QFETCH(QStringList, fields);
    QFETCH(QVariantList, values);
    QFETCH(QList<Condition>, conditions);
    QFETCH(QString, text);
    QFETCH(bool, committed);
    QFETCH(QString, rows);

    QString error;
    {
        XSQLBuilder builder(m_main->db());
        QVERIFY(builder.BeginTransact());
        builder.SetStatement(type, QStringLiteral("t"));
        builder.SetCustomSQL(custom);
        for (int k = 0; k < fields.size(); ++k)
            builder.AddField(fields.at(k), values.at(k));
        for (const Condition &c : conditions)
            builder.AddWhere(c.field, c.op, c.value, c.connector);
        builder.Execute();
        QCOMPARE(builder.lastStatement(), text);
        QCOMPARE(builder.EndTransact(error, true), committed);
    }
    if (committed)
        QVERIFY2(error.isEmpty(), qPrintable(error));
    else
        QVERIFY(!error.isEmpty());
    QCOMPARE(m_main->rows(), rows);
}

void TestXSQLBuilder::twoInsertsInOneTransaction()
{
    QString error;
    {
        XSQLBuilder builder(m_main->db());
        builder.BeginTransact();
        builder.SetStatement(XSQLBuilder::Insert, QStringLiteral("t"));
        builder.AddField(QStringLiteral("id"), 10);
        builder.AddField(QStringLiteral("a"), QStringLiteral("first"));
        builder.Execute();
        QCOMPARE(builder.lastStatement(),
                 QStringLiteral("INSERT INTO t (id, a) VALUES (:id0, :a0);"));
        builder.SetStatement(XSQLBuilder::Insert, QStringLiteral("t"));
        builder.AddField(QStringLiteral("id"), 11);
        builder.AddField(QStringLiteral("a"), QStringLiteral("second"));
        builder.Execute();
        QCOMPARE(builder.lastStatement(),
                 QStringLiteral("INSERT INTO t (id, a) VALUES (:id1, :a1);"));
        QTest::ignoreMessage(QtDebugMsg, "enter stage end transact... ");
        QTest::ignoreMessage(QtDebugMsg, "commit...");
        QVERIFY2(builder.EndTransact(error, true), qPrintable(error));
    }
    QCOMPARE(error, QString());
    // Seen from another connection, so the rows really were committed.
    Connection other(QStringLiteral("reader"), dbFile());
    QCOMPARE(other.rows(), QStringLiteral("1:x:p,2:y:q,3:z:r,10:first:NULL,11:second:NULL"));
}

void TestXSQLBuilder::failedStatementStopsTheRestAndRollsBack_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("driverError");

    QTest::newRow("duplicate key") << "t" << 1 << "UNIQUE constraint failed";
    QTest::newRow("missing table") << "nosuchtable" << 50 << "no such table";
}

void TestXSQLBuilder::failedStatementStopsTheRestAndRollsBack()
{
    QFETCH(QString, table);
    QFETCH(int, id);
    QFETCH(QString, driverError);

    QString error;
    {
        XSQLBuilder builder(m_main->db());
        builder.BeginTransact();
        builder.SetStatement(XSQLBuilder::Insert, QStringLiteral("t"));
        builder.AddField(QStringLiteral("id"), 20);
        builder.Execute();

        builder.SetStatement(XSQLBuilder::Insert, table);
        builder.AddField(QStringLiteral("id"), id);
        builder.Execute();
        const QString failed = builder.lastStatement();
        QCOMPARE(failed, QString("INSERT INTO %1 (id) VALUES (:id1);").arg(table));

        // Nothing after the failure runs: not this statement, not a custom one.
        builder.SetStatement(XSQLBuilder::Insert, QStringLiteral("t"));
        builder.AddField(QStringLiteral("id"), 21);
        builder.Execute();
        builder.SetStatement(XSQLBuilder::Custom, QString());
        builder.SetCustomSQL(QStringLiteral("INSERT INTO t (id) VALUES (22)"));
        builder.Execute();
        builder.CreateCustomSQL();
        QCOMPARE(builder.lastStatement(), failed);

        QTest::ignoreMessage(QtDebugMsg, "enter stage end transact... ");
        QTest::ignoreMessage(QtDebugMsg, "found error query... ");
        QVERIFY(!builder.EndTransact(error, true));
    }
    QVERIFY2(error.contains(driverError), qPrintable(error));
    QVERIFY(error.endsWith(QLatin1Char('\n')));
    QCOMPARE(error.count(QLatin1Char('\n')), 1);
    QCOMPARE(m_main->rows(), QStringLiteral("1:x:p,2:y:q,3:z:r"));
    QVERIFY2(secondConnectionCanWrite(dbFile(), &error), qPrintable(error));
}

void TestXSQLBuilder::statementOutsideTransaction()
{
    QString error;
    XSQLBuilder builder(m_main->db());
    builder.SetStatement(XSQLBuilder::Insert, QStringLiteral("t"));
    builder.AddField(QStringLiteral("id"), 30);
    QTest::ignoreMessage(QtDebugMsg, "Begin Transac not Start...!");
    builder.Execute();
    QCOMPARE(builder.lastStatement(), QString());
    QVERIFY(!builder.EndTransact(error, true));
    QCOMPARE(error, QStringLiteral("Begin Transac not Start."));

    // The early mistake spoils the builder for good: a proper transaction
    // afterwards still runs nothing and is rolled back.
    builder.BeginTransact();
    builder.SetStatement(XSQLBuilder::Insert, QStringLiteral("t"));
    builder.AddField(QStringLiteral("id"), 31);
    builder.Execute();
    QVERIFY(!builder.EndTransact(error, true));
    QCOMPARE(error, QStringLiteral("Begin Transac not Start."));
    QCOMPARE(m_main->rows(), QStringLiteral("1:x:p,2:y:q,3:z:r"));
    QVERIFY2(secondConnectionCanWrite(dbFile(), &error), qPrintable(error));
}

void TestXSQLBuilder::closedConnectionRunsNothing()
{
    QSqlDatabase db = m_main->db();
    db.close();
    QString error;
    {
        XSQLBuilder builder(db);
        QVERIFY(!builder.BeginTransact());
        builder.SetStatement(XSQLBuilder::Delete, QStringLiteral("t"));
        builder.Execute();
        QCOMPARE(builder.lastStatement(), QString());
        QVERIFY(!builder.EndTransact(error, true));
    }
    QVERIFY(db.open());
    QCOMPARE(m_main->rows(), QStringLiteral("1:x:p,2:y:q,3:z:r"));
}

void TestXSQLBuilder::uncommittedTransactionIsRolledBack_data()
{
    QTest::addColumn<bool>("commit");
    QTest::addColumn<QString>("driverError");

    QTest::newRow("commit flag false") << false << QString();
    QTest::newRow("commit refused by a deferred foreign key") << true << "FOREIGN KEY";
}

void TestXSQLBuilder::uncommittedTransactionIsRolledBack()
{
    QFETCH(bool, commit);
    QFETCH(QString, driverError);

    QString error;
    QVERIFY(m_main->exec(QStringLiteral("PRAGMA foreign_keys = ON")));
    QVERIFY2(m_main->exec(QStringLiteral("CREATE TABLE child (id INTEGER, pid INTEGER "
                                         "REFERENCES t (id) DEFERRABLE INITIALLY DEFERRED)"),
                          &error),
             qPrintable(error));
    {
        XSQLBuilder builder(m_main->db());
        builder.BeginTransact();
        builder.SetStatement(XSQLBuilder::Insert, QStringLiteral("t"));
        builder.AddField(QStringLiteral("id"), 40);
        builder.Execute();
        // Only checked at commit: a child whose parent does not exist.
        builder.SetStatement(XSQLBuilder::Insert, QStringLiteral("child"));
        builder.AddField(QStringLiteral("id"), 1);
        builder.AddField(QStringLiteral("pid"), commit ? 999 : 40);
        builder.Execute();
        QVERIFY(!builder.EndTransact(error, commit));
    }
    QVERIFY2(error.contains(driverError), qPrintable(error));
    QVERIFY(error.endsWith(QLatin1Char('\n')));
    QCOMPARE(m_main->rows(), QStringLiteral("1:x:p,2:y:q,3:z:r"));
    QVERIFY2(secondConnectionCanWrite(dbFile(), &error), qPrintable(error));
}

void TestXSQLBuilder::postgresTransaction_data()
{
    QTest::addColumn<bool>("commit");
    QTest::newRow("committed") << true;
    QTest::newRow("not committed") << false;
}

void TestXSQLBuilder::postgresTransaction()
{
    QFETCH(bool, commit);

    PgCluster cluster;
    QString error;
    QVERIFY2(cluster.start(&error), qPrintable(error));
    QVERIFY2(cluster.sql(QStringLiteral("CREATE TABLE t (id int PRIMARY KEY, a text)"), &error),
             qPrintable(error));

    const QString name = QStringLiteral("pg");
    struct Unregister
    {
        QString name;
        ~Unregister() { QSqlDatabase::removeDatabase(name); }
    } unregister{name};
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setHostName(cluster.host());
        db.setPort(cluster.port());
        db.setUserName(cluster.superUser());
        db.setPassword(cluster.superPassword());
        db.setDatabaseName(QStringLiteral("postgres"));
        QVERIFY2(db.open(), qPrintable(db.lastError().text()));
        std::unique_ptr<XSQLBuilder> builder(new XSQLBuilder(db));
        QVERIFY(builder->BeginTransact());
        for (int id : {1, 2}) {
            builder->SetStatement(XSQLBuilder::Insert, QStringLiteral("t"));
            builder->AddField(QStringLiteral("id"), id);
            builder->AddField(QStringLiteral("a"), QStringLiteral("bär '%1'").arg(id));
            builder->Execute();
        }
        QCOMPARE(builder->lastStatement(),
                 QStringLiteral("INSERT INTO t (id, a) VALUES (:id1, :a1);"));
        QCOMPARE(builder->EndTransact(error, commit), commit);

        // With the builder's transaction still open, its row locks would make
        // this fail at once.
        QVERIFY2(cluster.sql(QStringLiteral("BEGIN; LOCK TABLE t IN ACCESS EXCLUSIVE MODE NOWAIT; "
                                            "COMMIT;"),
                             &error),
                 qPrintable(error));
        builder.reset();
        db.close();
    }

    QString rows;
    QVERIFY2(
        cluster.sql(QStringLiteral("SELECT string_agg(id || ':' || a, ',' ORDER BY id) FROM t"),
                    &error, QStringLiteral("postgres"), &rows),
        qPrintable(error));
    QCOMPARE(rows.trimmed(), commit ? QStringLiteral("1:bär '1',2:bär '2'") : QString());
}

QTEST_GUILESS_MAIN(TestXSQLBuilder)
#include "tst_xsqlbuilder.moc"
