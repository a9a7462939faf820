// How many rows each table holds: in a dump, counted from the script that pg_restore writes of
// it as it streams by (each row is one line between "COPY ... FROM stdin;" and "\."), and in a
// live database, counted by the server; and what differs between the two.
#pragma once

#include "pgtarget.h"
#include "riwayat.h"
#include "toolprocess.h"

#include <QList>
#include <QStringList>

class StopSignal;

class CopyCounter
{
public:
    // The next piece of the script, cut anywhere.
    void feed(const char *data, qint64 size);
    // The tables whose data the script held, in its order; false when it ended inside a
    // table's data.
    bool finish(QList<riwayat::TableRows> *tables) const;

private:
    void endLine();
    void textLine();

    enum class Mode { Text, Data } mode = Mode::Text;
    // The current line: its length, its first bytes and its last ones (enough to know a
    // COPY statement, its table and its end).
    static constexpr int HeadSize = 1024;
    static constexpr int TailSize = 16;
    char head[HeadSize];
    char tail[TailSize];
    int headLength = 0;
    int tailLength = 0;
    qint64 lineLength = 0;
    // The comment before a table's data was the last thing seen.
    bool dataFollows = false;
    QString table;
    qint64 rows = 0;
    QList<riwayat::TableRows> tables;
};

// The parts of a schema-qualified name as a dump writes it (public."Tabel ""A""" gives public
// and Tabel "A"); empty when text is no such name.
QStringList nameParts(const QString &text);

// The rows of every ordinary table of the target, counted by the server through psql (program:
// its path; environment: what it runs with, the password added from target).
bool countRows(const QString &psql, const QProcessEnvironment &environment, const PgTarget &target,
               int timeoutMs, const StopSignal *stop, QList<riwayat::TableRows> *tables,
               QString *error);

// One text per table of recorded whose rows differ in restored, or that is missing there, in
// recorded's order; none when they agree.
QStringList rowDifferences(const QList<riwayat::TableRows> &recorded,
                           const QList<riwayat::TableRows> &restored);

// Tables of the previous dump that held more than shrinkFloor rows and now hold less than half
// of them, or are gone: one text each, in previous's order.
constexpr qint64 ShrinkFloor = 1000;
QStringList shrunkTables(const QList<riwayat::TableRows> &previous,
                         const QList<riwayat::TableRows> &now);
