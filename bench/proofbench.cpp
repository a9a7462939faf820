// Times the service's own code paths for bench/proof-bench.sh, built there against the
// service's library:
//   proofbench readback PG_RESTORE DUMP ROUNDS
//       the read-back as it was (pg_restore --file=/dev/null) against the read-back that counts
//       the rows of every table (pg_restore --file=- through a pipe into the counter),
//       alternating; prints "readback OLD_MS NEW_MS ROWS" per round
//   proofbench drill PG_RESTORE PSQL DUMP GLOBALS WORK
//       one restore drill of the dump, its scratch cluster's start and removal included;
//       prints "drill MS RESULT TABLES ROWS REASON"
#include "restoredrill.h"
#include "rowcount.h"
#include "toolprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcessEnvironment>

#include <cstdio>

namespace {

constexpr int Hour = 60 * 60 * 1000;

qint64 readBack(const QString &pgRestore, const QString &dump, bool counting, qint64 *rows)
{
    QElapsedTimer took;
    took.start();
    CopyCounter counter;
    ToolStreams streams;
    if (counting)
        streams.output = [&counter](const char *data, qint64 size) { counter.feed(data, size); };
    const ToolResult result =
        runTool({pgRestore,
                 {counting ? QStringLiteral("--file=-") : QStringLiteral("--file=/dev/null"), dump},
                 QProcessEnvironment::systemEnvironment()},
                streams, Hour, nullptr);
    const qint64 ms = took.elapsed();
    QList<riwayat::TableRows> tables;
    *rows = 0;
    if (!result.succeeded() || (counting && !counter.finish(&tables)))
        return -1;
    for (const riwayat::TableRows &table : tables)
        *rows += table.baris;
    return ms;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args.at(1) == QLatin1String("readback")) {
        for (int round = 0; round < args.at(4).toInt(); ++round) {
            qint64 rows = 0, ignored = 0;
            // Each goes first every other round, so that neither always meets the warmer cache.
            const bool oldFirst = round % 2 == 0;
            const qint64 first =
                readBack(args.at(2), args.at(3), !oldFirst, oldFirst ? &ignored : &rows);
            const qint64 second =
                readBack(args.at(2), args.at(3), oldFirst, oldFirst ? &rows : &ignored);
            std::printf("readback %lld %lld %lld\n", oldFirst ? first : second,
                        oldFirst ? second : first, rows);
        }
        return 0;
    }
    if (args.size() == 7 && args.at(1) == QLatin1String("drill")) {
        // The rows the read-back recorded, as the service has them.
        CopyCounter counter;
        ToolStreams streams;
        streams.output = [&counter](const char *data, qint64 size) { counter.feed(data, size); };
        runTool({args.at(2),
                 {QStringLiteral("--file=-"), args.at(4)},
                 QProcessEnvironment::systemEnvironment()},
                streams, Hour, nullptr);
        QList<riwayat::TableRows> recorded;
        counter.finish(&recorded);
        const RestoreDrill::Tools tools{args.at(2), args.at(3),
                                        QProcessEnvironment::systemEnvironment()};
        const DrillOutcome outcome = RestoreDrill(tools, args.at(6))
                                         .run(args.at(4), args.at(5), recorded, 6 * Hour, nullptr);
        std::printf("drill %lld %d %d %lld %s\n", outcome.ms, int(outcome.result), outcome.tables,
                    outcome.rows, qPrintable(outcome.reason));
        return outcome.result == DrillOutcome::Ok ? 0 : 1;
    }
    std::fputs("usage: proofbench readback PG_RESTORE DUMP ROUNDS\n"
               "       proofbench drill PG_RESTORE PSQL DUMP GLOBALS WORK\n",
               stderr);
    return 2;
}
