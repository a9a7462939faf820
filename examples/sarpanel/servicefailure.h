// What the panel says when the service manager refuses or fails one of its
// service actions: a missing right with what to do about it, a manager that is
// not running with how to start it, anything else with the manager's own reason.
#pragma once

#include "qtservice.h"

#include <QString>

enum class ServiceAction { Install, Uninstall, Start, Stop, BackupNow };

// programDir: where the manager's program lies beside the panel's.
QString serviceFailureText(ServiceAction action, const QtServiceController::Error &error,
                           const QString &programDir);

// "Service manager tidak berjalan." with how to start it.
QString managerDownText(const QString &programDir);

// The Win32 codes of the manager's errors that the panel tells apart.
constexpr uint AccessDenied = 5;
constexpr uint ServiceDoesNotExist = 1060;
