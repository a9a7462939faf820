// One call of the manager through the framework's own loaded API, as the test and its service make it.
#pragma once

#include "qtservice_p.h"

// Sends a control to the service named; control 0 only asks for its status. Fills *status.
inline bool callService(const QString &name, DWORD code, SERVICE_STATUS *status)
{
    using namespace QtServiceApi;
    SC_HANDLE manager = loadServiceApi() ? pOpenSCManager(nullptr, nullptr, 0) : nullptr;
    SC_HANDLE service = manager ? pOpenService(manager, name.toStdWString().c_str(),
                                               code ? SERVICE_ALL_ACCESS : SERVICE_QUERY_STATUS)
                                : nullptr;
    const bool ok =
        service && (code ? pControlService(service, code, status) : pQueryServiceStatus(service, status));
    for (SC_HANDLE handle : {service, manager})
        if (handle)
            pCloseServiceHandle(handle);
    return ok;
}
