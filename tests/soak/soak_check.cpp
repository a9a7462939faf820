// Checks what the service left behind after a run of the soak, against what it must never do:
// lose a good dump, keep a bad one under a final name, misreport a job, leave something
// half-done behind, or let a value write a line of the log that is not its own. Reads the output
// folder, busys.log and riwayat.db with nothing of the service's own code, and remembers between
// calls which dumps it already read back.
//
//   soak_check PROGRAM_DIR OUTPUT_DIR STATE_FILE RUN SEED INTERRUPTIONS [--idle]
//
// INTERRUPTIONS: how often the soak stopped or killed the service or its manager so far.
// --idle: the run ended without being interrupted and the service is idle now.
// Prints each violation on a line of its own and "jobs N" last; exits 1 on any violation.
#include "testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>
#include <QVariant>

#include <sys/stat.h>

#include <cstdio>
#include <type_traits>

namespace {

struct Row
{
    qint64 id = 0;
    QString dbname, file, hasil, alasan;
    qint64 ukuran = 0;
    bool verified = false, deleted = false;
    bool globals = false; // the server's globals, not a database
};

QStringList violations;

template <class V> QString text(const V &value)
{
    if constexpr (std::is_arithmetic_v<V>)
        return QString::number(value);
    else
        return value;
}

// The format's %1, %2... filled in one pass, so that a value holding "%2" stays as it is.
template <class... A> void violation(const QString &format, const A &...values)
{
    if constexpr (sizeof...(values) == 0)
        violations << format;
    else
        violations << format.arg(text(values)...);
}

// Runs statement on the SQLite file at path, read-only, and hands every row to each; false
// when it cannot be read.
template <class F>
bool eachRow(const QString &path, const QString &statement, F each, QString *error = nullptr)
{
    bool ok;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "soak");
        db.setDatabaseName(path);
        db.setConnectOptions("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000");
        QSqlQuery query(db);
        ok = db.open() && query.exec(statement);
        while (ok && query.next())
            each(query);
        if (!ok && error)
            *error = db.lastError().text() + ' ' + query.lastError().text();
    }
    QSqlDatabase::removeDatabase("soak");
    return ok;
}

// A value as busys.log must show it: every control character and line separator escaped.
QString shown(const QString &text)
{
    QString line;
    for (const QChar c : text) {
        if (c == '\n' || c == '\r' || c == '\t' || c == QChar(0))
            line += c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : "\\0";
        else if (c.category() == QChar::Other_Control)
            line += QString("\\x%1").arg(c.unicode(), 2, 16, QChar('0'));
        else if (c.unicode() == 0x2028 || c.unicode() == 0x2029)
            line += QString("\\u%1").arg(c.unicode(), 4, 16, QChar('0'));
        else
            line += c;
    }
    return line;
}

bool readHistory(const QString &path, QList<Row> *rows)
{
    QString error;
    const bool ok = eachRow(
        path,
        "select riwayat.id, dbname, file, hasil, alasan, ukuran, terverifikasi, "
        "terhapus.riwayat_id is not null, dbname is null from riwayat left join "
        "terhapus on terhapus.riwayat_id = riwayat.id order by riwayat.id",
        [rows](const QSqlQuery &q) {
            rows->append({q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toString(),
                          q.value(3).toString(), q.value(4).toString(), q.value(5).toLongLong(),
                          q.value(6).toInt() == 1, q.value(7).toBool(), q.value(8).toBool()});
        },
        &error);
    if (!ok)
        violation("riwayat.db cannot be read: " + error);
    else
        eachRow(path,
                "select riwayat_id from terhapus where riwayat_id not in (select id from riwayat "
                "where hasil = 'OK' and (terverifikasi = 1 or dbname is null))",
                [](const QSqlQuery &q) {
                    violation("job %1 is recorded as deleted but was never a good dump",
                              q.value(0).toLongLong());
                });
    return ok;
}

// The identity of a file as far as reading it back goes: a file replaced or changed in place
// is read again.
QString identity(const QString &path)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return QString();
    return QString("%1 %2 %3.%4")
        .arg(text(info.st_ino), text(info.st_size), text(info.st_mtim.tv_sec), text(info.st_mtim.tv_nsec));
}

// 1. Every file under a final dump name reads back whole. Each file is read once, and
// reported once when it does not.
void checkDumpsReadBack(const QString &outputDir, QSet<QString> *seen)
{
    for (const QString &name : QDir(outputDir).entryList({"bu_*.bu"}, QDir::Files)) {
        const QString path = outputDir + '/' + name;
        const QString id = name + ' ' + identity(path);
        if (seen->contains("utuh " + id) || seen->contains("rusak " + id))
            continue;
        QProcess restore;
        restore.start(SOAK_PGBIN "/pg_restore", {"--file=/dev/null", path});
        const bool ended = restore.waitForFinished(120000);
        if (!ended)
            restore.kill();
        const bool whole = ended && restore.exitStatus() == QProcess::NormalExit && restore.exitCode() == 0;
        seen->insert((whole ? "utuh " : "rusak ") + id);
        if (!whole)
            violation(path + " does not read back whole: " +
                      QString::fromLocal8Bit(restore.readAllStandardError()).simplified());
    }
}

// What a job's entry and its history row are counted under: what it was, and for a good one, its file and
// size.
QString jobKey(const QString &hasil, const QString &what, const QString &file = {}, const QString &size = {})
{
    return hasil == "OK" ? QString("OK %1 file [%2] %3 byte").arg(what, file, size) : hasil + ' ' + what;
}

// 2 and 5. Each job entry of the log has its history row, and each row its entry, but for
// those whose process the soak ended between the two writes.
void checkLogAgainstHistory(const QStringList &log, const QList<Row> &rows, int interruptions, bool idle)
{
    static const QRegularExpression ok("^Backup Database OK : database \\[(.*)\\], file "
                                       "\\[(.*)\\], (\\d+) byte, terverifikasi\\.$");
    static const QRegularExpression other("^Backup Database (GAGAL|DIBATALKAN) : database \\[(.*?)\\][,.] |"
                                          "^Backup Database (DITOLAK) : nama database \\[(.*?)\\] ");
    static const QRegularExpression globalsOk("^Backup Globals OK : file \\[(.*)\\], (\\d+) byte\\.");
    static const QRegularExpression globalsOther("^Backup Globals (GAGAL|DIBATALKAN) : ");
    QMap<QString, int> entries, recorded;
    for (const QString &message : log) {
        if (const QRegularExpressionMatch m = globalsOk.match(message); m.hasMatch()) {
            entries[jobKey("OK", "globals", m.captured(1), m.captured(2))]++;
        } else if (const QRegularExpressionMatch m = globalsOther.match(message); m.hasMatch()) {
            entries[jobKey(m.captured(1), "globals")]++;
        } else if (const QRegularExpressionMatch m = ok.match(message); m.hasMatch()) {
            entries[jobKey("OK", "database [" + m.captured(1) + ']', m.captured(2), m.captured(3))]++;
        } else if (const QRegularExpressionMatch m = other.match(message); m.hasMatch()) {
            const bool refused = m.captured(1).isEmpty();
            entries[jobKey(m.captured(refused ? 3 : 1), "database [" + m.captured(refused ? 4 : 2) + ']')]++;
        }
    }
    for (const Row &row : rows) {
        if (row.hasil == "BERJALAN") {
            if (idle)
                violation("job %1 of [%2] is still BERJALAN while the service is idle", row.id, row.dbname);
            continue;
        }
        // The names as the log shows them; the globals' file is the service's own name.
        const QString what = row.globals ? QString("globals") : "database [" + shown(row.dbname) + ']';
        recorded[jobKey(row.hasil, what, row.globals ? row.file : shown(row.file),
                        QString::number(row.ukuran))]++;
        if (row.hasil == "OK" && !row.verified && !row.globals)
            violation("job %1 is OK but not verified", row.id);
    }
    int unlogged = 0;
    const QStringList keys = entries.keys() + recorded.keys();
    for (const QString &key : QSet<QString>(keys.begin(), keys.end())) {
        const int logged = entries.value(key), inHistory = recorded.value(key);
        if (logged > inHistory)
            violation("busys.log has %1 entries [%2] but the history %3 rows", logged, key, inHistory);
        else
            unlogged += inHistory - logged;
    }
    if (unlogged > interruptions)
        violation("%1 history rows have no entry in busys.log, after only %2 interruptions", unlogged,
                  interruptions);
}

// 3. A good dump is gone only when retention deleted it, never the newest of a database, and
// retention deletes nothing but good dumps.
void checkGoodDumps(const QStringList &log, const QList<Row> &rows)
{
    QHash<QString, int> namedBy;
    QHash<QString, const Row *> newest, deletedGood;
    for (const Row &row : rows) {
        if (row.hasil != "OK")
            continue;
        namedBy[row.file]++;
        newest[row.dbname] = &row;
        if (row.deleted)
            deletedGood[row.file] = &row;
    }
    for (const Row &row : rows) {
        if (row.hasil != "OK" || row.deleted)
            continue;
        const QFileInfo file(row.file);
        if (!file.exists())
            violation("job %1 of [%2] is OK, its dump %3 is gone and no deletion was recorded", row.id,
                      row.dbname, row.file);
        else if (namedBy.value(row.file) == 1 && file.size() != row.ukuran)
            violation("job %1 recorded %2 bytes, %3 has %4", row.id, row.ukuran, row.file, file.size());
    }
    for (auto it = newest.cbegin(); it != newest.cend(); ++it)
        if (it.value()->deleted)
            violation("[%1] lost its newest good dump %2 (job %3) to retention", it.key(), it.value()->file,
                      it.value()->id);
    static const QRegularExpression deletion("^Hapus backup lama : (.*\\.(bu|sql))$");
    for (const QString &message : log)
        if (const QRegularExpressionMatch m = deletion.match(message);
            m.hasMatch() && !deletedGood.contains(m.captured(1)))
            violation("retention deleted " + m.captured(1) +
                      ", which the history does not record as a good dump it deleted");
}

// How many good dumps of each database the settings keep (0: all).
int keptPerDatabase(const QString &settings)
{
    int keep = 0;
    eachRow(settings, "select jumlah from confsimpan",
            [&keep](const QSqlQuery &q) { keep = q.value(0).toInt(); });
    return keep;
}

// After a run that ended in order (only then called), no database keeps more good dumps than it is
// set to: those beyond the number, also from a larger number before, are gone, whether its job went
// well or not (a full folder would fail it for good otherwise).
void checkRetention(const QList<Row> &rows, int keep)
{
    QMap<QString, QSet<QString>> kept;
    for (const Row &row : rows)
        if (row.hasil == "OK" && !row.deleted && !row.globals)
            kept[row.dbname] << row.file;
    for (auto it = kept.cbegin(); it != kept.cend(); ++it)
        if (it.value().size() > keep)
            violation("[%1] keeps %2 good dumps, more than the %3 it is set to keep", it.key(),
                      it.value().size(), keep);
    // The server's globals: the newest ones, and those that a kept dump would be restored with
    // (the newest kept before it).
    QList<const Row *> globals;
    for (const Row &row : rows)
        if (row.globals && row.hasil == "OK" && !row.deleted)
            globals << &row;
    QSet<QString> allowed;
    for (int i = globals.size() - 1; i >= 0 && allowed.size() < keep; --i)
        allowed << globals.at(i)->file;
    for (const Row &row : rows) {
        if (row.globals || row.hasil != "OK" || row.deleted)
            continue;
        const Row *before = nullptr;
        for (const Row *g : qAsConst(globals))
            if (g->id < row.id)
                before = g;
        if (before)
            allowed << before->file;
    }
    for (const Row *g : qAsConst(globals))
        if (!allowed.contains(g->file))
            violation("the globals %1 are kept, though neither among the newest %2 nor needed "
                      "by a kept dump",
                      g->file, keep);
}

// After a run that ended in order, with a number of dumps kept, no run log of a job that left
// no dump (failed, cancelled) is older than the oldest dump kept of its database.
void checkRunLogs(const QString &outputDir, const QList<Row> &rows)
{
    static const QRegularExpression stamped("^(\\d{8}\\.\\d{6})\\.(bu|log)$");
    QMap<QString, QString> oldest;
    for (const Row &row : rows) {
        const QFileInfo dump(row.file);
        const QString prefix = "bu_" + row.dbname + '_';
        const QRegularExpressionMatch m = stamped.match(dump.fileName().mid(prefix.size()));
        if (row.hasil != "OK" || row.deleted || !dump.exists() ||
            QDir::cleanPath(dump.path()) != QDir::cleanPath(outputDir) || !m.hasMatch())
            continue;
        if (!oldest.contains(row.dbname) || m.captured(1) < oldest[row.dbname])
            oldest[row.dbname] = m.captured(1);
    }
    const QStringList names = QDir(outputDir).entryList(QDir::Files);
    for (auto it = oldest.cbegin(); it != oldest.cend(); ++it) {
        const QString prefix = "bu_" + it.key() + '_';
        for (const QString &name : names) {
            const QRegularExpressionMatch m = stamped.match(name.mid(prefix.size()));
            const QString dump = name.chopped(4) + ".bu";
            if (name.startsWith(prefix) && m.hasMatch() && m.captured(2) == "log" &&
                m.captured(1) < it.value() && !names.contains(dump) && !names.contains(dump + ".rusak"))
                violation("run log %1 outlived the oldest dump kept of [%2] (%3)", name, it.key(),
                          it.value());
        }
    }
}

// Every line of busys.log is an entry of its own, or the error text of the entry before it:
// no value that an entry holds (a name, a folder, a tool's message) may end its line, start a
// line that passes for an entry, or hold a character that drives a terminal.
void checkLogLines(const QString &path)
{
    static const QRegularExpression own("^(\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d - |Pesan Error : )");
    int number = 0;
    for (const QString &line : readText(path).split('\n')) {
        ++number;
        if (line.isEmpty())
            continue;
        if (!own.match(line).hasMatch() || shown(line) != line) {
            violation("busys.log line %1 is no entry of its own: %2", number, shown(line));
            return;
        }
    }
}

// 4. A run that ended in order leaves no temporary file, neither its own nor an older one.
void checkTemporaries(const QString &outputDir)
{
    for (const QString &name : QDir(outputDir).entryList({"*.bu.tmp-*", "*.sql.tmp-*"}, QDir::Files))
        violation("temporary file " + outputDir + '/' + name + " survived a run that ended");
}

// 6. A run that ended in order left no restore drill running, in the history or on disk.
void checkDrills(const QString &programDir)
{
    for (const QString &name : QDir(programDir + "/kerja").entryList({"uji-*"}, QDir::Dirs))
        violation("the drill folder " + programDir + "/kerja/" + name + " survived a run that ended");
    // The table is missing until the first drill.
    eachRow(programDir + "/riwayat.db", "select id from ujipulih where hasil = 'BERJALAN'",
            [](const QSqlQuery &q) {
                violation("drill %1 is still BERJALAN while the service is idle", q.value(0).toLongLong());
            });
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 7) {
        std::fputs("usage: soak_check PROGRAM_DIR OUTPUT_DIR STATE_FILE RUN SEED INTERRUPTIONS "
                   "[--idle] [--keep-pending]\n",
                   stderr);
        return 2;
    }
    const QString programDir = args.at(1), outputDir = args.at(2), stateFile = args.at(3);
    const QString run = args.at(4), seed = args.at(5);
    const int interruptions = args.at(6).toInt();
    const bool idle = args.contains("--idle");
    // The number of dumps to keep changed after the last run that went through every job.
    const bool keepPending = args.contains("--keep-pending");

    const QStringList remembered = readText(stateFile).split('\n', Qt::SkipEmptyParts);
    QSet<QString> seen(remembered.begin(), remembered.end());

    QList<Row> rows;
    const QStringList log = logMessages(programDir + "/busys.log");
    checkDumpsReadBack(outputDir, &seen);
    if (readHistory(programDir + "/riwayat.db", &rows)) {
        const int keep = keptPerDatabase(programDir + "/confbu.cfg");
        checkLogAgainstHistory(log, rows, interruptions, idle);
        checkGoodDumps(log, rows);
        if (idle && keep > 0 && !keepPending) {
            checkRetention(rows, keep);
            checkRunLogs(outputDir, rows);
        }
    }
    if (idle) {
        checkTemporaries(outputDir);
        checkDrills(programDir);
    }
    checkLogLines(programDir + "/busys.log");

    QFile state(stateFile);
    if (state.open(QIODevice::WriteOnly | QIODevice::Truncate))
        state.write((QStringList(seen.values()).join('\n') + '\n').toUtf8());
    QTextStream out(stdout);
    for (const QString &text : qAsConst(violations))
        out << "soak: VIOLATION (seed " << seed << ", run " << run << "): " << text << '\n';
    out << "jobs " << rows.size() << '\n';
    return violations.isEmpty() ? 0 : 1;
}
