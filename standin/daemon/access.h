// Access rights: what a caller asked for, and what an unprivileged caller may have.
#pragma once

#include "svcmgr_api.h"

namespace rights {

constexpr DWORD GenericRead = 0x80000000;
constexpr DWORD GenericWrite = 0x40000000;
constexpr DWORD GenericExecute = 0x20000000;
constexpr DWORD GenericAll = 0x10000000;
constexpr DWORD MaximumAllowed = 0x02000000;

// Anyone may connect to the manager, enumerate and query. Interrogating makes
// the service's handler run, so it is an operator's right like the other controls.
constexpr DWORD ManagerUnprivileged =
    SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL;
constexpr DWORD ServiceUnprivileged =
    SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS | READ_CONTROL;

inline DWORD mapManager(DWORD wanted)
{
    DWORD r = wanted & ~(GenericRead | GenericWrite | GenericExecute | GenericAll);
    if (wanted & GenericRead)
        r |= READ_CONTROL | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    if (wanted & GenericWrite)
        r |= READ_CONTROL | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    if (wanted & GenericExecute)
        r |= READ_CONTROL | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    if (wanted & GenericAll)
        r |= SC_MANAGER_ALL_ACCESS;
    return r;
}

inline DWORD mapService(DWORD wanted)
{
    DWORD r = wanted & ~(GenericRead | GenericWrite | GenericExecute | GenericAll);
    if (wanted & GenericRead)
        r |= READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
             SERVICE_ENUMERATE_DEPENDENTS;
    if (wanted & GenericWrite)
        r |= READ_CONTROL | SERVICE_CHANGE_CONFIG;
    if (wanted & GenericExecute)
        r |= READ_CONTROL | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
             SERVICE_USER_DEFINED_CONTROL;
    if (wanted & GenericAll)
        r |= SERVICE_ALL_ACCESS;
    return r;
}

// The right a control code needs; 0 for a code that clients may not send.
inline DWORD forControl(DWORD control)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
        return SERVICE_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
        return SERVICE_PAUSE_CONTINUE;
    case SERVICE_CONTROL_INTERROGATE:
        return SERVICE_INTERROGATE;
    default:
        return control >= 128 && control <= 255 ? DWORD(SERVICE_USER_DEFINED_CONTROL) : 0;
    }
}

// Grants what was asked when allowed; false means "access denied".
inline bool grant(DWORD wanted, DWORD allowed, DWORD always, DWORD *granted)
{
    if (wanted & MaximumAllowed) {
        *granted = allowed | always;
        return true;
    }
    if (wanted & ~allowed)
        return false;
    *granted = wanted | always;
    return true;
}

} // namespace rights
