#include "pulihkan.h"

#include "jobhistory.h"
#include "pemulihan.h"
#include "pgrestore.h"
#include "rowcount.h"
#include "salinan.h"
#include "stopsignal.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSqlQuery>
#include <QSqlRecord>

namespace pulihkan {

namespace {

using Outcome = ThPermintaan::Outcome;

// Statements on the server other than the restore itself end within this.
constexpr int StatementMs = 60 * 1000;
constexpr int RestoreMs = BackupEngine::DefaultToolTimeoutMs;
// Progress is written to the history at most this often.
constexpr int ProgressGapMs = 250;
// A client that connects again between the end of its connections and the renames.
constexpr int SwapAttempts = 3;

QString identifier(const QString &name)
{
    return QLatin1Char('"') + QString(name).replace(QLatin1Char('"'), QStringLiteral("\"\"")) +
           QLatin1Char('"');
}

QString literal(const QString &text)
{
    return QLatin1Char('\'') + QString(text).replace(QLatin1Char('\''), QStringLiteral("''")) +
           QLatin1Char('\'');
}

// The server of the settings through psql, connected to its maintenance database.
class Server
{
public:
    explicit Server(BackupEngine &engine)
        : psqlPath(engine.toolPath(QStringLiteral("psql"))),
          environment(QProcessEnvironment::systemEnvironment())
    {
        target.host = engine.server;
        target.port = engine.port > 0 ? engine.port : 5432;
        target.user = engine.user;
        target.password = engine.pass;
        target.dbname = QStringLiteral("postgres");
    }

    // The rows of a statement's result, one text each (the first column).
    bool query(const QString &statement, QStringList *rows, QString *error,
               const StopSignal *stop = nullptr, const File *input = nullptr) const
    {
        QByteArray output, messages;
        ToolStreams streams;
        streams.input = input;
        streams.output = [&output](const char *data, qint64 size) {
            output.append(data, int(size));
        };
        streams.errors = [&messages](const char *data, qint64 size) {
            if (messages.size() < 4096)
                messages.append(data, int(qMin<qint64>(size, 4096)));
        };
        QStringList arguments{QStringLiteral("--no-psqlrc"),
                              QStringLiteral("--no-align"),
                              QStringLiteral("--tuples-only"),
                              QStringLiteral("--quiet"),
                              QStringLiteral("--no-password"),
                              QStringLiteral("--dbname=") + target.connectionString()};
        // A script on standard input goes on past a statement that fails (a role made meanwhile).
        arguments << (input ? QStringLiteral("--file=-") : QStringLiteral("--set=ON_ERROR_STOP=1"));
        if (!input)
            arguments << QStringLiteral("--command=") + statement;
        const ToolResult result = runTool({psqlPath, arguments, target.environment(environment)},
                                          streams, StatementMs, stop);
        if (!result.succeeded()) {
            QStringList lines =
                QString::fromUtf8(messages).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            // A warning (a password file that is no plain file) comes before the error itself.
            lines.erase(std::remove_if(lines.begin(), lines.end(),
                                       [](const QString &l) {
                                           return l.startsWith(QLatin1String("WARNING:"));
                                       }),
                        lines.end());
            *error = result.status == ToolResult::Finished && !lines.isEmpty()
                         ? lines.first().trimmed()
                         : toolFailure(QStringLiteral("psql"), result, StatementMs);
            return false;
        }
        if (rows)
            *rows = QString::fromUtf8(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        return true;
    }

    bool exists(const QString &database, bool *found, QString *error) const
    {
        QStringList rows;
        if (!query(QStringLiteral("select 1 from pg_database where datname = ") + literal(database),
                   &rows, error))
            return false;
        *found = !rows.isEmpty();
        return true;
    }

    bool drop(const QString &database, QString *error) const
    {
        return query(QStringLiteral("select pg_terminate_backend(pid) from pg_stat_activity "
                                    "where datname = ") +
                         literal(database),
                     nullptr, error) &&
               query(QStringLiteral("drop database if exists ") + identifier(database), nullptr,
                     error);
    }

    QString psqlPath;
    QProcessEnvironment environment;
    PgTarget target;
};

// A globals script reduced to the roles the server lacks: the roles that exist keep their
// passwords and settings.
QByteArray missingRoles(const QByteArray &script, const QStringList &existing)
{
    QByteArray kept;
    for (const QByteArray &line : script.split('\n')) {
        QByteArray rest;
        if (line.startsWith("CREATE ROLE "))
            rest = line.mid(12);
        else if (line.startsWith("ALTER ROLE "))
            rest = line.mid(11);
        else
            continue;
        QString name;
        if (rest.startsWith('"')) {
            int i = 1;
            for (; i < rest.size(); ++i) {
                if (rest.at(i) == '"' && i + 1 < rest.size() && rest.at(i + 1) == '"')
                    ++i;
                else if (rest.at(i) == '"')
                    break;
            }
            name = QString::fromUtf8(rest.mid(1, i - 1))
                       .replace(QStringLiteral("\"\""), QStringLiteral("\""));
        } else {
            int end = 0;
            while (end < rest.size() && rest.at(end) != ' ' && rest.at(end) != ';')
                ++end;
            name = QString::fromUtf8(rest.left(end));
        }
        if (!name.isEmpty() && !existing.contains(name))
            kept += line + '\n';
    }
    return kept;
}

// The first line age said, as a reason.
QString ageMessage(const QByteArray &messages)
{
    const QString text = QString::fromUtf8(messages).trimmed();
    return text.section(QLatin1Char('\n'), 0, 0).left(200);
}

// One restore, from its checks to its record in the history.
class Restore
{
public:
    Restore(const permintaan::Request &request, ThPermintaan::Context &context,
            const ServiceKey &key)
        : request(request), context(context), engine(context.engine), key(key),
          history(engine.programDirectory(), [this](const QString &m) { engine.log(m); }),
          server(engine)
    {
    }

    Outcome run();

private:
    Outcome refuse(const QString &reason)
    {
        engine.fail(pemulihan::refusalLine(reason));
        return {permintaan::Ditolak, reason};
    }
    QString check();
    bool record();
    void step(const QString &langkah, const QString &tahap);
    void set(const QString &columns, const QVariantList &values);
    bool fetchCopy(QString *failure);
    bool unsealIdentity(QByteArray *identity, QString *failure);
    bool applyMissingRoles(QString *failure);
    bool countAndCompare(QString *failure);
    bool swap(QString *failure);
    Outcome end(const QString &hasil, const QString &reason);
    void removeScratch();

    const permintaan::Request &request;
    ThPermintaan::Context &context;
    BackupEngine &engine;
    const ServiceKey &key;
    JobHistory history;
    Server server;
    pemulihan::Choice choice;
    pemulihan::Candidate candidate;
    QString archive; // the dump pg_restore reads: the local one, or the copy fetched
    QString target;  // what the restore was asked for: ke
    QString work;    // the database the restore goes into
    QString before;  // in place: the name the source gets
    qint64 id = 0;   // of the pemulihan row
    bool made = false;
    qint64 rows = 0;
    QList<riwayat::TableRows> recorded, restored;
    QStringList scratch;
    QElapsedTimer sinceProgress;
    pemulihan::Progress progress;
};

QString Restore::check()
{
    QString refusal = pemulihan::fromRequest(request.isi, &choice);
    if (!refusal.isEmpty())
        return refusal;
    for (const QString &name : {choice.database, choice.ke}) {
        refusal = pemulihan::nameRefusal(name);
        if (!refusal.isEmpty())
            return refusal;
    }
    if (choice.timpa && choice.konfirmasi != choice.database)
        return QStringLiteral("konfirmasi [") + salinan::shown(choice.konfirmasi) +
               QStringLiteral("] tidak sama dengan nama database [") + choice.database +
               QLatin1Char(']');
    if (!pemulihan::candidateOf(history.database(), choice, &candidate, &refusal))
        return refusal.isEmpty() ? QStringLiteral("riwayat backup tidak dapat dibaca") : refusal;
    if (candidate.terenkripsi && choice.identitas.isEmpty())
        return QStringLiteral("salinan [") + candidate.file +
               QStringLiteral("] terenkripsi: pilih file identitas age untuk membukanya");
    if (candidate.terenkripsi && key.identity.isEmpty())
        return QStringLiteral("service tidak mempunyai kunci untuk menerima identitas age "
                              "(age-keygen tidak dapat dijalankan saat service mulai)");
    if (!candidate.isCopy() && !QFileInfo(candidate.file).isFile())
        return QStringLiteral("file [") + candidate.file + QStringLiteral("] tidak ada lagi");
    const QDateTime now = engine.now();
    target = choice.ke;
    work = choice.timpa ? pemulihan::defaultTarget(choice.database, now) : choice.ke;
    before = choice.timpa ? pemulihan::beforeName(choice.database, now) : QString();
    for (const QString &name : {work, before}) {
        refusal = name.isEmpty() ? QString() : pemulihan::nameRefusal(name);
        if (!refusal.isEmpty())
            return refusal;
    }
    if (!engine.ReadConfig())
        return QStringLiteral("pengaturan tidak dapat dibaca");
    server = Server(engine);
    QString error;
    bool found = false;
    if (choice.timpa) {
        if (!server.exists(choice.database, &found, &error))
            return QStringLiteral("server PostgreSQL tidak dapat ditanya: ") + error;
        if (!found)
            return QStringLiteral("database [") + choice.database +
                   QStringLiteral("] tidak ada di server untuk ditimpa");
    }
    for (const QString &name : {work, before}) {
        if (name.isEmpty())
            continue;
        if (!server.exists(name, &found, &error))
            return QStringLiteral("server PostgreSQL tidak dapat ditanya: ") + error;
        if (found)
            return QStringLiteral("database [") + name + QStringLiteral("] sudah ada");
    }
    return QString();
}

bool Restore::record()
{
    return history.exec(
        QStringLiteral("insert into pemulihan (kunci, oleh, diminta, mulai, dbname, file, ke, "
                       "timpa, sebelum, hasil, langkah, kerja) values (?, ?, ?, ?, ?, ?, ?, ?, "
                       "?, ?, ?, ?)"),
        {request.kunci, request.oleh, request.waktu.toString(riwayat::TimeFormat),
         engine.now().toString(riwayat::TimeFormat), choice.database, candidate.file, target,
         int(choice.timpa), before.isEmpty() ? QVariant() : QVariant(before), riwayat::Berjalan,
         QStringLiteral("periksa"), work},
        &id);
}

void Restore::set(const QString &columns, const QVariantList &values)
{
    history.exec(QStringLiteral("update pemulihan set ") + columns +
                     QStringLiteral(" where id = ?"),
                 QVariantList(values) << id);
}

void Restore::step(const QString &langkah, const QString &tahap)
{
    if (!langkah.isEmpty())
        set(QStringLiteral("langkah = ?"), {langkah});
    progress.tahap = tahap;
    context.progress(progress.toJson());
    sinceProgress.start();
}

bool Restore::unsealIdentity(QByteArray *identity, QString *failure)
{
    QString error;
    const QString sealed =
        QDir(engine.workFolder()).filePath(QStringLiteral("pulih-%1.kunci.age").arg(request.kunci));
    QFile file(sealed);
    scratch << sealed;
    if (!file.open(QIODevice::WriteOnly) || file.write(choice.identitas.toLatin1()) < 0 ||
        !file.flush()) {
        *failure =
            QStringLiteral("berkas sementara [") + sealed + QStringLiteral("] tidak dapat ditulis");
        return false;
    }
    file.close();
    const File keyInput = memoryFile(key.identity, &error);
    QByteArray messages;
    ToolStreams streams;
    streams.input = &keyInput;
    streams.output = [identity](const char *data, qint64 size) {
        identity->append(data, int(size));
    };
    streams.errors = [&messages](const char *data, qint64 size) {
        messages.append(data, int(size));
    };
    const Rclone rclone = engine.rclone();
    const ToolResult result =
        runTool({Rclone::ageProgram(engine.programDirectory()),
                 {QStringLiteral("--decrypt"), QStringLiteral("--identity=-"), sealed},
                 rclone.environment()},
                streams, StatementMs, &context.stop);
    if (result.succeeded() && !identity->isEmpty())
        return true;
    identity->fill('\0');
    identity->clear();
    *failure = QStringLiteral("identitas age dalam permintaan tidak dapat dibuka oleh service "
                              "(dibuat untuk kunci service yang lain?): ") +
               ageMessage(messages);
    return false;
}

bool Restore::fetchCopy(QString *failure)
{
    QDir().mkpath(engine.workFolder());
    QFile::setPermissions(engine.workFolder(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString base =
        QDir(engine.workFolder()).filePath(QStringLiteral("pulih-%1.bu").arg(request.kunci));
    const QString fetched = candidate.terenkripsi ? base + QStringLiteral(".age") : base;
    scratch << fetched << base;
    step(QString(), QStringLiteral("Mengunduh salinan"));
    const Rclone rclone = engine.rclone();
    const Rclone::Result got = rclone.run({QStringLiteral("copyto"), candidate.file, fetched},
                                          File(), &context.stop, candidate.ukuran);
    if (!got.succeeded()) {
        *failure = QStringLiteral("salinan tidak dapat diunduh: ") + got.failure;
        return false;
    }
    archive = base;
    if (!candidate.terenkripsi)
        return true;
    step(QString(), QStringLiteral("Membuka enkripsi salinan"));
    QByteArray identity;
    if (!unsealIdentity(&identity, failure))
        return false;
    QString error;
    const File identityInput = memoryFile(identity, &error);
    identity.fill('\0');
    QByteArray messages;
    ToolStreams streams;
    streams.input = &identityInput;
    streams.errors = [&messages](const char *data, qint64 size) {
        if (messages.size() < 4096)
            messages.append(data, int(size));
    };
    const ToolResult result = runTool({Rclone::ageProgram(engine.programDirectory()),
                                       {QStringLiteral("--decrypt"), QStringLiteral("--identity=-"),
                                        QStringLiteral("--output=") + base, fetched},
                                       rclone.environment()},
                                      streams, rclone.boundMs(candidate.ukuran), &context.stop);
    if (result.succeeded())
        return true;
    *failure = QStringLiteral("salinan tidak dapat dibuka dengan identitas yang dipilih: ") +
               ageMessage(messages);
    return false;
}

bool Restore::applyMissingRoles(QString *failure)
{
    riwayat::Job globals;
    QString error;
    riwayat::globalsBefore(history.database(), candidate.riwayatId, &globals, &error);
    if (!QFileInfo::exists(globals.file))
        riwayat::globalsBefore(history.database(), 0, &globals, &error);
    QFile file(globals.file);
    if (globals.file.isEmpty() || !file.open(QIODevice::ReadOnly))
        return true; // nothing to go by: pg_restore names a role that is missing
    QStringList roles;
    if (!server.query(QStringLiteral("select rolname from pg_roles"), &roles, failure))
        return false;
    const QByteArray script = missingRoles(file.readAll(), roles);
    if (script.isEmpty())
        return true;
    step(QString(), QStringLiteral("Membuat role yang belum ada"));
    const File input = memoryFile(script, &error);
    return server.query(QString(), nullptr, failure, &context.stop, &input);
}

bool Restore::countAndCompare(QString *failure)
{
    step(QStringLiteral("dipulihkan"), QStringLiteral("Menghitung baris"));
    QString error;
    riwayat::tableRows(history.database(), candidate.riwayatId, &recorded, &error);
    if (!countRows(server.psqlPath, server.environment, server.target.on(work), StatementMs,
                   &context.stop, &restored, failure))
        return false;
    // The dump names a table as its script writes it, the server as it quotes it: the same
    // table by its parts.
    QHash<QStringList, qint64> pulih;
    for (const riwayat::TableRows &table : qAsConst(restored)) {
        rows += table.baris;
        pulih.insert(nameParts(table.tabel), table.baris);
    }
    QList<pemulihan::TableCount> counts;
    for (const riwayat::TableRows &table : qAsConst(recorded)) {
        const QStringList parts = nameParts(table.tabel);
        counts.append({table.tabel, table.baris, pulih.contains(parts) ? pulih.take(parts) : -1});
    }
    for (const riwayat::TableRows &table : qAsConst(restored))
        if (pulih.contains(nameParts(table.tabel)))
            counts.append({table.tabel, -1, table.baris});
    for (const pemulihan::TableCount &count : qAsConst(counts))
        history.exec(QStringLiteral("insert into pemulihan_isi (pemulihan_id, tabel, backup, "
                                    "pulih) values (?, ?, ?, ?)"),
                     {id, count.tabel, count.backup < 0 ? QVariant() : QVariant(count.backup),
                      count.pulih < 0 ? QVariant() : QVariant(count.pulih)});
    set(QStringLiteral("baris = ?"), {rows});
    const QStringList differences =
        recorded.isEmpty() ? QStringList() : rowDifferences(recorded, restored);
    if (differences.isEmpty())
        return true;
    *failure = QStringLiteral("jumlah baris berbeda dari backup: ") +
               differences.join(QStringLiteral("; "));
    return false;
}

// Both renames in one transaction: the server holds either the source under its own name and
// the restored one beside it, or the restored one under the source's name and the source under
// before; never a state in between.
bool Restore::swap(QString *failure)
{
    step(QStringLiteral("tukar"), QStringLiteral("Menukar database"));
    const QString statement =
        QStringLiteral("begin; select count(pg_terminate_backend(pid)) from pg_stat_activity "
                       "where datname in (%1, %2) and pid <> pg_backend_pid(); alter database "
                       "%3 rename to %4; alter database %5 rename to %3; commit;")
            .arg(literal(choice.database), literal(work), identifier(choice.database),
                 identifier(before), identifier(work));
    for (int attempt = 1;; ++attempt) {
        if (server.query(statement, nullptr, failure))
            return true;
        if (attempt == SwapAttempts)
            return false;
    }
}

void Restore::removeScratch()
{
    for (const QString &path : qAsConst(scratch))
        QFile::remove(path);
    scratch.clear();
}

Outcome Restore::end(const QString &hasil, const QString &reason)
{
    removeScratch();
    QString error;
    // Whatever was made of the target goes; never the source, never its renamed original.
    if (hasil != riwayat::Ok && made && work != choice.database && work != before &&
        !server.drop(work, &error))
        engine.fail(QStringLiteral("Database [") + work +
                    QStringLiteral("] yang dibuat sebagian tidak dapat dihapus: ") + error);
    set(QStringLiteral("selesai = ?, hasil = ?, alasan = ?, baris = ?, langkah = ?"),
        {engine.now().toString(riwayat::TimeFormat), hasil,
         reason.isEmpty() ? QVariant() : QVariant(reason),
         hasil == riwayat::Ok ? QVariant(rows) : QVariant(), QStringLiteral("selesai")});
    QString line;
    if (hasil == riwayat::Ok) {
        line = pemulihan::okLine(candidate.file, target, rows);
        if (choice.timpa)
            line +=
                QStringLiteral(" Database lama disimpan sebagai [") + before + QStringLiteral("].");
        engine.log(line);
    } else if (hasil == riwayat::Dibatalkan) {
        line = pemulihan::cancelLine(candidate.file, target);
        engine.log(line);
    } else {
        line = pemulihan::failLine(candidate.file, target, reason);
        engine.fail(line);
    }
    return {hasil, line};
}

Outcome Restore::run()
{
    const QString refusal = check();
    if (!refusal.isEmpty())
        return refuse(refusal);
    if (!record())
        return {permintaan::Gagal, QStringLiteral("riwayat backup tidak dapat ditulis")};
    const auto cancelled = [this] { return context.stop.requested(); };
    QString failure;
    if (candidate.isCopy()) {
        if (!fetchCopy(&failure))
            return end(cancelled() ? riwayat::Dibatalkan : riwayat::Gagal, failure);
    } else {
        archive = candidate.file;
    }
    if (choice.timpa) {
        step(QString(), QStringLiteral("Membuat backup terbaru database ") + choice.database);
        riwayat::Job fresh;
        engine.setStopSignal(&context.stop);
        const bool dumped = engine.DumpBeforeRestore(choice.database, &fresh, &failure);
        engine.setStopSignal(nullptr);
        if (!dumped)
            return end(cancelled() ? riwayat::Dibatalkan : riwayat::Gagal, failure);
    }
    if (cancelled())
        return end(riwayat::Dibatalkan, QString());
    if (!applyMissingRoles(&failure))
        return end(cancelled() ? riwayat::Dibatalkan : riwayat::Gagal, failure);
    step(QString(), QStringLiteral("Membuat database ") + work);
    if (!server.query(QStringLiteral("create database %1 template template0").arg(identifier(work)),
                      nullptr, &failure))
        return end(riwayat::Gagal, failure);
    made = true;
    step(QStringLiteral("dibuat"), QStringLiteral("Memulihkan"));
    PgRestore tools(engine.toolPath(QStringLiteral("pg_restore")), server.psqlPath,
                    server.environment);
    const ToolResult restoredBy = tools.restore(
        archive, server.target.on(work), PgRestore::Options(), RestoreMs, &context.stop,
        [this](const RestoreProgress &now) {
            progress.selesai = now.done;
            progress.jumlah = now.total;
            progress.tabel = now.table;
            if (sinceProgress.elapsed() >= ProgressGapMs || now.done == now.total)
                step(QString(), progress.tahap);
        },
        &failure);
    if (cancelled())
        return end(riwayat::Dibatalkan, QString());
    if (!restoredBy.succeeded())
        return end(riwayat::Gagal, failure);
    if (!countAndCompare(&failure))
        return end(cancelled() ? riwayat::Dibatalkan : riwayat::Gagal, failure);
    if (choice.timpa && !swap(&failure))
        return end(riwayat::Gagal, QStringLiteral("database tidak dapat ditukar: ") + failure);
    return end(riwayat::Ok, QString());
}

// The pair is made by age-keygen, whose standard output is the identity with the recipient in
// a comment; nothing of it touches a disk.
void makeKey(BackupEngine &engine, ServiceKey &key)
{
    QByteArray output;
    ToolStreams streams;
    streams.output = [&output](const char *data, qint64 size) { output.append(data, int(size)); };
    const QString keygen = QFileInfo(Rclone::ageProgram(engine.programDirectory()))
                               .dir()
                               .filePath(QStringLiteral("age-keygen"));
    // Without age no copy is encrypted: nothing to receive, and nothing to say at every start.
    if (!QFileInfo::exists(keygen))
        return;
    const ToolResult result =
        runTool({keygen, {}, engine.rclone().environment()}, streams, StatementMs, nullptr);
    const int at = output.indexOf("# public key: ");
    if (!result.succeeded() || at < 0) {
        output.fill('\0');
        engine.fail(QStringLiteral("Kunci penerima identitas age tidak dapat dibuat: ") +
                    toolFailure(QStringLiteral("age-keygen"), result, StatementMs));
        return;
    }
    key.recipient = QString::fromLatin1(output.mid(at + 14).split('\n').first()).trimmed();
    key.identity = output;
    JobHistory history(engine.programDirectory(), [&engine](const QString &m) { engine.log(m); });
    QString error;
    if (!pemulihan::publishRecipient(history.database(), key.recipient, &error))
        engine.fail(QStringLiteral("Kunci penerima identitas age tidak dapat dicatat: ") + error);
}

// A restore left running by a process that died: finished when its renames committed, undone
// otherwise, its half-made database dropped (never the source, never its renamed original).
void recover(BackupEngine &engine)
{
    JobHistory history(engine.programDirectory(), [&engine](const QString &m) { engine.log(m); });
    QSqlQuery query(history.database());
    query.prepare(QStringLiteral("select * from pemulihan where hasil = ? order by id"));
    query.addBindValue(riwayat::Berjalan);
    if (!query.exec())
        return;
    QList<pemulihan::Restore> left;
    QString error;
    while (query.next()) {
        pemulihan::Restore r;
        pemulihan::restoreOf(history.database(),
                             query.record().value(QStringLiteral("kunci")).toString(), &r, nullptr,
                             &error);
        left << r;
    }
    query.finish();
    if (left.isEmpty())
        return;
    engine.ReadConfig();
    const Server server(engine);
    for (const pemulihan::Restore &r : qAsConst(left)) {
        QString hasil = riwayat::Dibatalkan;
        QString reason = QStringLiteral("Proses service berhenti sebelum pemulihan selesai.");
        const bool made = r.langkah == QLatin1String("dibuat") ||
                          r.langkah == QLatin1String("dipulihkan") ||
                          r.langkah == QLatin1String("tukar");
        bool sourceThere = false, workThere = false, beforeThere = false;
        const bool known = server.exists(r.kerja, &workThere, &error) &&
                           (!r.timpa || (server.exists(r.database, &sourceThere, &error) &&
                                         server.exists(r.sebelum, &beforeThere, &error)));
        if (known && r.timpa && r.langkah == QLatin1String("tukar") && !workThere && sourceThere &&
            beforeThere) {
            hasil = riwayat::Ok;
            reason = QStringLiteral("Database sudah ditukar sebelum proses service berhenti.");
        } else if (made && workThere && r.kerja != r.database && r.kerja != r.sebelum &&
                   !server.drop(r.kerja, &error)) {
            reason += QStringLiteral(" Database [") + r.kerja +
                      QStringLiteral("] tidak dapat dihapus: ") + error;
        } else if (!known && made) {
            reason += QStringLiteral(" Server tidak dapat ditanya: ") + error;
        }
        history.exec(QStringLiteral("update pemulihan set selesai = ?, hasil = ?, alasan = ?, "
                                    "langkah = ? where id = ?"),
                     {engine.now().toString(riwayat::TimeFormat), hasil, reason,
                      QStringLiteral("selesai"), r.id});
        if (hasil == riwayat::Ok)
            engine.log(pemulihan::okLine(r.file, r.ke, r.baris < 0 ? 0 : r.baris) +
                       QStringLiteral(" Database lama disimpan sebagai [") + r.sebelum +
                       QStringLiteral("]."));
        else
            engine.log(pemulihan::cancelLine(r.file, r.ke) + QLatin1Char(' ') + reason);
    }
}

} // namespace

void start(BackupEngine &engine, ServiceKey &key)
{
    makeKey(engine, key);
    recover(engine);
}

ThPermintaan::Outcome run(const permintaan::Request &request, ThPermintaan::Context &context,
                          const ServiceKey &key)
{
    return Restore(request, context, key).run();
}

} // namespace pulihkan
