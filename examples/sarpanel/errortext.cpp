#include "errortext.h"

#include <QRegularExpression>

namespace errortext {

namespace {

struct Words
{
    const char *pattern; // found anywhere in the original, whatever its case
    const char *words;
};

// The more particular first: the first that matches gives the words.
const Words Known[] = {
    // SQLite, as Qt's driver reports it
    {"database is locked", "Berkas sedang dikunci program lain"},
    {"attempt to write a readonly database", "Berkas hanya dapat dibaca"},
    {"unable to open database file", "Berkas tidak dapat dibuka"},
    {"file is not a database", "Berkas bukan database SQLite"},
    {"database disk image is malformed", "Berkas rusak"},
    {"database or disk is full", "Disk penuh"},
    {"disk I/O error", "Gagal membaca atau menulis disk"},
    {"no such table", "Tabel tidak ada di berkas"},
    {"no such column", "Kolom tidak ada di berkas"},
    {"Driver not loaded", "Berkas database tidak terbuka"},
    // PostgreSQL's client library
    {"password authentication failed", "Nama pengguna atau kata sandi salah"},
    {"no pg_hba.conf entry", "Server tidak mengizinkan koneksi dari komputer ini"},
    {"database \".*\" does not exist", "Database tidak ada di server"},
    {"role \".*\" does not exist", "Pengguna tidak ada di server"},
    {"could not translate host name", "Nama server tidak dikenal"},
    {"timeout expired", "Waktu tunggu habis"},
    // The network, as Qt reports it
    {"Host .* not found", "Nama server tidak dikenal"},
    {"Connection refused", "Koneksi ditolak: server tidak berjalan atau port salah"},
    {"No route to host|Network unreachable|Network is unreachable", "Server tidak dapat dijangkau"},
    {"timed out", "Waktu tunggu habis"},
    {"SSL handshake failed", "Jabat tangan SSL/TLS gagal"},
    {"Connection closed|remote host closed", "Server menutup koneksi"},
    {"Protocol \".*\" is unknown", "Protokol tidak dikenal"},
    // The service manager
    {"Access is denied", "Akses ditolak"},
    {"The RPC server is unavailable", "Service manager tidak berjalan"},
    {"service manager's library could not be loaded", "Pustaka service manager tidak dapat dimuat"},
    {"does not exist as an installed service", "Service belum diinstall"},
    {"did not respond to the start or control request", "Service tidak menjawab tepat waktu"},
    {"instance of the service is already running", "Service sudah berjalan"},
    {"service has not been started", "Service tidak aktif"},
    {"cannot accept control messages", "Service sedang mulai atau berhenti"},
    {"because it is disabled", "Service dinonaktifkan"},
    {"marked for deletion", "Service sedang dihapus"},
    {"service already exists", "Service sudah ada"},
    {"logon failure", "Akun service tidak dapat dipakai"},
    {"No mapping between account names", "Akun tidak dikenal"},
    {"cannot find the file specified", "Berkas program service tidak ditemukan"},
    {"process terminated unexpectedly", "Proses service berhenti tiba-tiba"},
    // Anything else that says it
    {"permission denied", "Izin ditolak"},
};

} // namespace

QString inWords(const QString &original)
{
    const QString text = original.trimmed();
    if (text.isEmpty())
        return text;
    for (const Words &known : Known) {
        const QRegularExpression pattern(QLatin1String(known.pattern),
                                         QRegularExpression::CaseInsensitiveOption);
        if (pattern.match(text).hasMatch())
            return QLatin1String(known.words) + QStringLiteral(" (") + text + QLatin1Char(')');
    }
    return text;
}

} // namespace errortext
