#include "toolprocess.h"

QString toolFailure(const QString &tool, const ToolResult &result, int timeoutMs)
{
    switch (result.status) {
    case ToolResult::NotStarted:
        return tool + QStringLiteral(" tidak dapat dijalankan: ") + result.error + QLatin1Char('.');
    case ToolResult::TimedOut:
        return tool + QStringLiteral(" melewati batas waktu %1 detik dan dihentikan.")
                          .arg(timeoutMs / 1000);
    case ToolResult::Crashed:
        return tool + QStringLiteral(" berhenti tidak normal.");
    case ToolResult::Stopped:
        return QStringLiteral("Service dihentikan.");
    default:
        return tool + QStringLiteral(" selesai dengan kode keluar %1.").arg(result.exitCode);
    }
}
