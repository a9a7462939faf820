#include "rowcount.h"

#include <QHash>

#include <cstring>

namespace {

const char DataComment[] = "-- Data for Name: ";
const char DataType[] = "; Type: TABLE DATA;";
const char CopyStart[] = "COPY ";
const char CopyEnd[] = " FROM stdin;";

bool startsWith(const char *text, int length, const char *prefix)
{
    const int n = int(std::strlen(prefix));
    return length >= n && std::memcmp(text, prefix, size_t(n)) == 0;
}

// A qualified name's parts from position at, which ends past it.
QStringList readName(const QString &text, int *at)
{
    QStringList parts;
    int i = *at;
    for (;;) {
        QString part;
        if (i < text.size() && text.at(i) == QLatin1Char('"')) {
            for (++i;; ++i) {
                if (i >= text.size())
                    return {};
                if (text.at(i) == QLatin1Char('"')) {
                    if (i + 1 < text.size() && text.at(i + 1) == QLatin1Char('"'))
                        ++i;
                    else
                        break;
                }
                part += text.at(i);
            }
            ++i;
        } else {
            while (i < text.size() && text.at(i) != QLatin1Char('.') &&
                   text.at(i) != QLatin1Char(' '))
                part += text.at(i++);
            if (part.isEmpty())
                return {};
        }
        parts << part;
        if (i < text.size() && text.at(i) == QLatin1Char('.')) {
            ++i;
            continue;
        }
        *at = i;
        return parts;
    }
}

QString rowsText(qint64 rows)
{
    return QString::number(rows);
}

// The tables by their parts, so that names written with and without needless quotes meet.
QHash<QStringList, qint64> byName(const QList<riwayat::TableRows> &tables)
{
    QHash<QStringList, qint64> found;
    for (const riwayat::TableRows &table : tables)
        found.insert(nameParts(table.tabel), table.baris);
    return found;
}

} // namespace

void CopyCounter::feed(const char *data, qint64 size)
{
    const char *p = data;
    const char *const end = data + size;
    while (p < end) {
        const char *newline = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        const char *stop = newline ? newline : end;
        const qint64 n = stop - p;
        // Rows are only counted: of a data line nothing but its start is kept.
        const int headWanted = mode == Mode::Data ? 3 : HeadSize;
        if (headLength < headWanted) {
            const int take = int(qMin<qint64>(n, headWanted - headLength));
            std::memcpy(head + headLength, p, size_t(take));
            headLength += take;
        }
        if (mode == Mode::Text) {
            if (n >= TailSize) {
                std::memcpy(tail, stop - TailSize, TailSize);
                tailLength = TailSize;
            } else {
                const int keep = int(qMin<qint64>(tailLength, TailSize - n));
                std::memmove(tail, tail + tailLength - keep, size_t(keep));
                std::memcpy(tail + keep, p, size_t(n));
                tailLength = keep + int(n);
            }
        }
        lineLength += n;
        if (!newline)
            return;
        endLine();
        p = newline + 1;
    }
}

void CopyCounter::endLine()
{
    if (mode == Mode::Data) {
        // A script written in text mode ends its lines with a carriage return too.
        const bool terminator = (lineLength == 2 || (lineLength == 3 && head[2] == '\r')) &&
                                head[0] == '\\' && head[1] == '.';
        if (terminator) {
            tables.append({table, rows});
            mode = Mode::Text;
        } else {
            ++rows;
        }
    } else {
        textLine();
    }
    headLength = tailLength = 0;
    lineLength = 0;
}

// Only a COPY right after the comment that announces a table's data starts it: a function body
// may hold a line that begins the same way.
void CopyCounter::textLine()
{
    int length = headLength;
    int tailEnd = tailLength;
    if (tailEnd > 0 && tail[tailEnd - 1] == '\r') {
        --tailEnd;
        length = qMin<int>(length, int(lineLength - 1));
    }
    if (startsWith(head, length, DataComment)) {
        dataFollows = QByteArray::fromRawData(head, length).contains(DataType);
        return;
    }
    if (length == 0 || startsWith(head, length, "--"))
        return;
    const int endSize = int(std::strlen(CopyEnd));
    if (dataFollows && startsWith(head, length, CopyStart) && tailEnd >= endSize &&
        std::memcmp(tail + tailEnd - endSize, CopyEnd, size_t(endSize)) == 0) {
        const QString text = QString::fromUtf8(head + 5, length - 5);
        int at = 0;
        if (!readName(text, &at).isEmpty()) {
            table = text.left(at);
            rows = 0;
            mode = Mode::Data;
        }
    }
    dataFollows = false;
}

bool CopyCounter::finish(QList<riwayat::TableRows> *found) const
{
    *found = tables;
    return mode == Mode::Text && lineLength == 0;
}

QStringList nameParts(const QString &text)
{
    int at = 0;
    const QStringList parts = readName(text, &at);
    return at == text.size() ? parts : QStringList();
}

bool countRows(const QString &psql, const QProcessEnvironment &environment, const PgTarget &target,
               int timeoutMs, const StopSignal *stop, QList<riwayat::TableRows> *tables,
               QString *error)
{
    // Every ordinary table, counted exactly, in one statement: the schema, the name and the
    // count, each ended by a NUL.
    const QString statement = QStringLiteral(
        "select n.nspname, c.relname, (xpath('/row/n/text()', query_to_xml(format('select "
        "count(*) as n from only %I.%I', n.nspname, c.relname), false, true, '')))[1]::text "
        "from pg_class c join pg_namespace n on n.oid = c.relnamespace where c.relkind = 'r' "
        "and n.nspname <> 'information_schema' and n.nspname !~ '^pg_' order by 1, 2");
    QByteArray output, messages;
    ToolStreams streams;
    streams.output = [&output](const char *data, qint64 size) { output.append(data, int(size)); };
    streams.errors = [&messages](const char *data, qint64 size) {
        if (messages.size() < 4096)
            messages.append(data, int(qMin<qint64>(size, 4096)));
    };
    const ToolResult result = runTool(
        {psql,
         {QStringLiteral("--no-psqlrc"), QStringLiteral("--no-align"),
          QStringLiteral("--tuples-only"), QStringLiteral("--field-separator-zero"),
          QStringLiteral("--record-separator-zero"), QStringLiteral("--set=ON_ERROR_STOP=1"),
          QStringLiteral("--no-password"), QStringLiteral("--dbname=") + target.connectionString(),
          QStringLiteral("--command=") + statement},
         target.environment(environment)},
        streams, timeoutMs, stop);
    if (!result.succeeded()) {
        *error = result.status == ToolResult::NotStarted
                     ? QStringLiteral("psql tidak dapat dijalankan: ") + result.error
                     : QString::fromUtf8(messages).simplified();
        if (error->isEmpty())
            *error =
                result.status == ToolResult::TimedOut
                    ? QStringLiteral("psql melewati batas waktu")
                    : QStringLiteral("psql selesai dengan kode keluar %1").arg(result.exitCode);
        return false;
    }
    QList<QByteArray> fields = output.split('\0');
    if (!fields.isEmpty() && fields.last().isEmpty())
        fields.removeLast();
    tables->clear();
    for (int i = 0; i + 2 < fields.size(); i += 3) {
        const QString schema = QString::fromUtf8(fields.at(i)),
                      name = QString::fromUtf8(fields.at(i + 1));
        const auto quote = [](QString part) {
            part.replace(QLatin1Char('"'), QStringLiteral("\"\""));
            return QLatin1Char('"') + part + QLatin1Char('"');
        };
        tables->append(
            {quote(schema) + QLatin1Char('.') + quote(name), fields.at(i + 2).toLongLong()});
    }
    return true;
}

QStringList rowDifferences(const QList<riwayat::TableRows> &recorded,
                           const QList<riwayat::TableRows> &restored)
{
    const QHash<QStringList, qint64> found = byName(restored);
    QStringList differences;
    for (const riwayat::TableRows &table : recorded) {
        const auto it = found.constFind(nameParts(table.tabel));
        if (it == found.constEnd())
            differences << QStringLiteral(
                               "tabel %1 tidak ada setelah dipulihkan (%2 baris di dump)")
                               .arg(table.tabel, rowsText(table.baris));
        else if (*it != table.baris)
            differences << QStringLiteral("tabel %1: %2 baris di dump, %3 baris setelah dipulihkan")
                               .arg(table.tabel, rowsText(table.baris), rowsText(*it));
    }
    return differences;
}

QStringList shrunkTables(const QList<riwayat::TableRows> &previous,
                         const QList<riwayat::TableRows> &now)
{
    const QHash<QStringList, qint64> found = byName(now);
    QStringList shrunk;
    for (const riwayat::TableRows &table : previous) {
        if (table.baris <= ShrinkFloor)
            continue;
        const auto it = found.constFind(nameParts(table.tabel));
        if (it == found.constEnd())
            shrunk << QStringLiteral("tabel %1 tidak ada lagi (sebelumnya %2 baris)")
                          .arg(table.tabel, rowsText(table.baris));
        else if (*it * 2 < table.baris)
            shrunk << QStringLiteral("tabel %1 tinggal %2 dari %3 baris")
                          .arg(table.tabel, rowsText(*it), rowsText(table.baris));
    }
    return shrunk;
}
