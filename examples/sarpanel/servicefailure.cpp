#include "servicefailure.h"

#include "confbu.h"
#include "errortext.h"

namespace {

QString managerHowTo(const QString &programDir)
{
#ifdef Q_OS_WIN
    Q_UNUSED(programDir);
    return QStringLiteral("Periksa layanan Windows (services.msc), atau mulai ulang komputer.");
#else
    return QStringLiteral("Jalankan sebagai root: systemctl start svcmgrd (tanpa systemd: ") +
           confbu::joinPath(programDir, QStringLiteral("svcmgrd")) + QStringLiteral(").");
#endif
}

} // namespace

QString managerDownText(const QString &programDir)
{
    return QStringLiteral("Service manager tidak berjalan. ") + managerHowTo(programDir);
}

QString serviceFailureText(ServiceAction action, const QtServiceController::Error &error,
                           const QString &programDir)
{
#ifdef Q_OS_WIN
    const QString asAdmin = QStringLiteral("sebagai Administrator.");
    const QString asMember = asAdmin;
#else
    const QString asAdmin = QStringLiteral("sebagai root (sudo).");
    // Members of the admin group may start and stop, not install or uninstall.
    const QString asMember = QStringLiteral("sebagai root (sudo) atau sebagai anggota grup admin "
                                            "Sarvela.");
#endif
    QString right, failed, how = asAdmin;
    switch (action) {
    case ServiceAction::Install:
        right = QStringLiteral("menginstall");
        failed = QStringLiteral("Gagal Instal Service.");
        break;
    case ServiceAction::Uninstall:
        right = QStringLiteral("menguninstall");
        failed = QStringLiteral("Gagal Uninstall Service.");
        break;
    case ServiceAction::Start:
        right = QStringLiteral("menjalankan");
        failed = QStringLiteral("Gagal Start Service.");
        how = asMember;
        break;
    case ServiceAction::Stop:
        right = QStringLiteral("menghentikan");
        failed = QStringLiteral("Gagal Stop Service.");
        how = asMember;
        break;
    case ServiceAction::BackupNow:
        right = QStringLiteral("meminta backup dari");
        failed = QStringLiteral("Gagal meminta backup.");
        how = asMember;
        break;
    }
    if (error.code == AccessDenied)
        return QStringLiteral("Anda tidak memiliki hak untuk ") + right +
               QStringLiteral(" service. Jalankan Sarvela Backup Control Panel ") + how;
    QString text = failed + QStringLiteral("\nPesan Error : ") + errortext::inWords(error.text);
    if (error.managerUnreachable())
        text += QLatin1Char('\n') + managerHowTo(programDir);
    return text;
}
