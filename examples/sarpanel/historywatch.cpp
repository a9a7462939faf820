#include "historywatch.h"

#include "errortext.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

namespace {

// Long enough for SQLite's journal, the write and the journal's removal to end in one read.
constexpr int SettleMs = 300;
// The panel's thread waits no longer than this for the service to finish a write; a read
// that gives up is made again at the write's next change.
constexpr int BusyTimeoutMs = 250;
constexpr qint64 MaxTimerMs = 24 * 60 * 60 * 1000;
// Between two jobs of a run the service writes the history twice within milliseconds; a run
// is over when nothing runs for this long.
constexpr int RunQuietMs = 5000;

// A private read-only connection for one read, gone again at the end of the scope so that
// nothing holds the file between changes.
class ReadOnlyHistory
{
public:
    explicit ReadOnlyHistory(const QString &path)
        : m_name(QStringLiteral("sarpanel-riwayat-%1").arg(++s_count))
    {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        m_db.setDatabaseName(path);
        m_db.setConnectOptions(
            QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1").arg(BusyTimeoutMs));
        // Opening a missing file read-only fails; it is never created here.
        if (!m_db.open())
            m_error = m_db.lastError().text();
    }
    ~ReadOnlyHistory()
    {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
    }
    const QSqlDatabase &db() const { return m_db; }
    bool open(QString *error) const
    {
        *error = m_error;
        return m_error.isEmpty();
    }

private:
    static inline int s_count = 0;
    const QString m_name;
    QSqlDatabase m_db;
    QString m_error;
};

bool scalar(const QSqlDatabase &db, const QString &statement, qint64 *value, QString *error)
{
    QSqlQuery query(db);
    if (!query.exec(statement) || !query.next()) {
        *error = query.lastError().text();
        return false;
    }
    *value = query.value(0).toLongLong();
    return true;
}

} // namespace

XHistoryWatch::XHistoryWatch(const QString &path, QObject *parent) : QObject(parent), m_path(path)
{
    m_settle.setSingleShot(true);
    m_settle.setInterval(SettleMs);
    m_late.setSingleShot(true);
    m_quiet.setSingleShot(true);
    m_quiet.setInterval(RunQuietMs);
    connect(&m_settle, &QTimer::timeout, this, &XHistoryWatch::read);
    connect(&m_quiet, &QTimer::timeout, this, &XHistoryWatch::runEnded);
    connect(&m_late, &QTimer::timeout, this, [this] {
        rejudge();
        emit changed();
    });
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &XHistoryWatch::changeSeen);
}

void XHistoryWatch::setDatabases(const QStringList &dbnames)
{
    m_databases = dbnames;
    if (m_started)
        read();
}

void XHistoryWatch::setSchedule(const backupstatus::Schedule &schedule)
{
    m_schedule = schedule;
    rejudge();
    emit changed();
}

void XHistoryWatch::setCopiesOn(bool on)
{
    m_copiesOn = on;
    rejudge();
    emit changed();
}

void XHistoryWatch::start()
{
    m_started = true;
    watch();
    read();
}

// The folder of the real file: at every write SQLite makes its journal beside the file and
// removes it again, and the service makes the file anew when it is damaged.
void XHistoryWatch::watch()
{
    const QFileInfo entry(m_path);
    const QString file = entry.isSymLink() ? entry.symLinkTarget() : entry.absoluteFilePath();
    m_watcher.addPath(QFileInfo(file).absolutePath());
}

void XHistoryWatch::changeSeen()
{
    if (!m_settle.isActive())
        m_settle.start();
}

void XHistoryWatch::read()
{
    m_settle.stop();
    const bool first = m_settled < 0;
    QList<riwayat::Job> ended, drills;
    QList<salinan::Copy> endedCopies;
    bool running = false, copying = false;
    QList<backupstatus::Row> rows;
    if (!QFileInfo::exists(m_path)) {
        // Not made yet (the service makes it at its first start): no jobs, none of them old.
        if (m_settled < 0)
            m_settled = 0;
        if (m_copiesSettled < 0)
            m_copiesSettled = 0;
        m_error = QStringLiteral("Riwayat backup belum ada.");
        for (const QString &name : m_databases) {
            rows << backupstatus::Row();
            rows.last().dbname = name;
        }
    } else {
        const ReadOnlyHistory history(m_path);
        QString error;
        if (!history.open(&error) ||
            !backupstatus::read(history.db(), m_databases, &rows, &error) ||
            !findEnded(history.db(), &ended, &running, &error) ||
            !findEndedDrills(history.db(), first, &drills, &running, &error) ||
            !findEndedCopies(history.db(), &endedCopies, &copying, &error)) {
            // What was read before stays shown.
            m_error = QStringLiteral("Riwayat backup tidak dapat dibaca: ") +
                      errortext::inWords(error) +
                      QStringLiteral(". Dibaca lagi saat riwayat berubah.");
            emit changed();
            return;
        }
        m_error.clear();
    }
    m_rows = rows;
    rejudge();
    emit changed();
    m_runJobs += ended;
    m_runDrills += drills;
    m_runCopies += endedCopies;
    // A run goes on while its drills run and its copies travel, after its last job.
    if (running || copying)
        m_quiet.stop();
    else if (!ended.isEmpty() || !drills.isEmpty() || !endedCopies.isEmpty())
        m_quiet.start();
}

void XHistoryWatch::runEnded()
{
    QList<riwayat::Job> failed;
    for (const riwayat::Job &job : qAsConst(m_runJobs))
        if (backupstatus::isFailure(job.hasil) || job.hasil == PerluDiperiksa)
            failed << job;
    failed += m_runDrills;
    const int jobs = m_runJobs.size();
    m_runJobs.clear();
    m_runDrills.clear();
    if (!failed.isEmpty())
        emit runFailed(failed, jobs);
    QList<salinan::Copy> failedCopies;
    for (const salinan::Copy &copy : qAsConst(m_runCopies))
        if (copy.hasil == riwayat::Gagal)
            failedCopies << copy;
    m_runCopies.clear();
    if (!failedCopies.isEmpty())
        emit runCopiesFailed(failedCopies);
}

void XHistoryWatch::rejudge()
{
    m_late.stop();
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime late = backupstatus::judge(&m_rows, m_schedule, now, m_copiesOn);
    if (late.isValid())
        m_late.start(int(qBound<qint64>(0, now.msecsTo(late) + 1000, MaxTimerMs)));
}

// Each job is counted once as it ends: ids up to m_settled had ended when last read; above
// it, the ones seen ended are remembered until they sink below it.
bool XHistoryWatch::findEnded(const QSqlDatabase &db, QList<riwayat::Job> *ended, bool *running,
                              QString *error)
{
    const bool first = m_settled < 0;
    qint64 newest = 0;
    if (!scalar(db, QStringLiteral("select coalesce(max(id), 0) from riwayat"), &newest, error))
        return false;
    if (first) {
        // What runs now may still fail later; everything before it is old news.
        qint64 oldestRunning = 0;
        if (!scalar(db,
                    QStringLiteral("select coalesce(min(id), 0) from riwayat where hasil = '") +
                        riwayat::Berjalan + QLatin1Char('\''),
                    &oldestRunning, error))
            return false;
        m_settled = oldestRunning > 0 ? oldestRunning - 1 : newest;
    } else if (newest < m_settled) {
        m_settled = 0; // the service made the history anew
        m_seen.clear();
        m_drillsSettled = 0;
    }
    const bool checks = db.tables().contains(QStringLiteral("periksa"));
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("select ") + riwayat::ColumnList +
                  (checks ? QStringLiteral(", (select rincian from periksa where riwayat_id = "
                                           "riwayat.id) as rincian")
                          : QStringLiteral(", null as rincian")) +
                  QStringLiteral(" from riwayat where id > ? order by id"));
    query.addBindValue(m_settled);
    if (!query.exec()) {
        *error = query.lastError().text();
        return false;
    }
    qint64 settled = m_settled;
    *running = false;
    while (query.next()) {
        riwayat::Job job = riwayat::fromRecord(query.record());
        // A good dump that lost much of a table is told like a failure.
        const QVariant rincian = query.value(QStringLiteral("rincian"));
        if (job.hasil == riwayat::Ok && !rincian.isNull()) {
            job.hasil = PerluDiperiksa;
            job.alasan = rincian.toString();
        }
        *running = *running || job.hasil == riwayat::Berjalan;
        if (!*running)
            settled = job.id;
        // What ended before the first read is old news; what runs then is not.
        if (job.hasil != riwayat::Berjalan && !m_seen.contains(job.id)) {
            m_seen.insert(job.id);
            if (!first)
                ended->append(job);
        }
    }
    m_settled = settled;
    for (auto it = m_seen.begin(); it != m_seen.end();)
        it = *it <= m_settled ? m_seen.erase(it) : std::next(it);
    return true;
}

// A drill that failed or was refused is told once; one still running keeps the run going.
bool XHistoryWatch::findEndedDrills(const QSqlDatabase &db, bool first, QList<riwayat::Job> *failed,
                                    bool *running, QString *error)
{
    if (!db.tables().contains(QStringLiteral("ujipulih")))
        return true;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("select ujipulih.id, dbname, ujipulih.hasil, ujipulih.alasan "
                                 "from ujipulih join riwayat on riwayat.id = ujipulih.riwayat_id "
                                 "where ujipulih.id > ? order by ujipulih.id"));
    query.addBindValue(m_drillsSettled);
    if (!query.exec()) {
        *error = query.lastError().text();
        return false;
    }
    while (query.next()) {
        riwayat::Drill drill;
        drill.id = query.value(0).toLongLong();
        drill.hasil = query.value(2).toString();
        if (drill.hasil == riwayat::Berjalan) {
            *running = true;
            break; // told once it has ended
        }
        m_drillsSettled = drill.id;
        if (!first && backupstatus::isDrillFailure(drill)) {
            riwayat::Job told;
            told.dbname = query.value(1).toString();
            told.hasil = UjiPulih + drill.hasil;
            told.alasan = query.value(3).toString();
            failed->append(told);
        }
    }
    return true;
}

// Copies are counted once as they end, the way jobs are; a history made before copies has
// none.
bool XHistoryWatch::findEndedCopies(const QSqlDatabase &db, QList<salinan::Copy> *ended,
                                    bool *running, QString *error)
{
    *running = false;
    if (!db.tables().contains(QStringLiteral("salinan"))) {
        if (m_copiesSettled < 0)
            m_copiesSettled = 0;
        return true;
    }
    const bool first = m_copiesSettled < 0;
    qint64 newest = 0;
    if (!scalar(db, QStringLiteral("select coalesce(max(id), 0) from salinan"), &newest, error))
        return false;
    if (first) {
        qint64 oldestRunning = 0;
        if (!scalar(db,
                    QStringLiteral("select coalesce(min(id), 0) from salinan where hasil = '") +
                        riwayat::Berjalan + QLatin1Char('\''),
                    &oldestRunning, error))
            return false;
        m_copiesSettled = oldestRunning > 0 ? oldestRunning - 1 : newest;
    } else if (newest < m_copiesSettled) {
        m_copiesSettled = 0;
        m_copiesSeen.clear();
    }
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(salinan::selectCopies() +
                  QStringLiteral(" where salinan.id > ? order by salinan.id"));
    query.addBindValue(m_copiesSettled);
    if (!query.exec()) {
        *error = query.lastError().text();
        return false;
    }
    qint64 settled = m_copiesSettled;
    while (query.next()) {
        const salinan::Copy copy = salinan::fromRecord(query.record());
        *running = *running || copy.hasil == riwayat::Berjalan;
        if (!*running)
            settled = copy.id;
        if (copy.hasil != riwayat::Berjalan && !m_copiesSeen.contains(copy.id)) {
            m_copiesSeen.insert(copy.id);
            if (!first)
                ended->append(copy);
        }
    }
    m_copiesSettled = settled;
    for (auto it = m_copiesSeen.begin(); it != m_copiesSeen.end();)
        it = *it <= m_copiesSettled ? m_copiesSeen.erase(it) : std::next(it);
    return true;
}

bool XHistoryWatch::runningJobs(const QString &path, QList<riwayat::Job> *jobs, QString *error)
{
    jobs->clear();
    if (!QFileInfo::exists(path))
        return true;
    const ReadOnlyHistory history(path);
    return history.open(error) && riwayat::runningJobs(history.db(), jobs, error);
}

bool XHistoryWatch::readDestinations(const QString &path, salinan::Published *published,
                                     QString *error)
{
    *published = salinan::Published();
    if (!QFileInfo::exists(path))
        return false;
    return readWith(
        path,
        [published](const QSqlDatabase &db, QString *why) {
            return salinan::readPublished(db, published, why);
        },
        error);
}

bool XHistoryWatch::readWith(const QString &path,
                             const std::function<bool(const QSqlDatabase &, QString *)> &reader,
                             QString *error)
{
    error->clear();
    if (!QFileInfo::exists(path))
        return false;
    const ReadOnlyHistory history(path);
    return history.open(error) && reader(history.db(), error);
}
