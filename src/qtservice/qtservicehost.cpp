// Runs a service under the service control manager.
#include "qtservice_p.h"

class QtServiceHostData
{
};

DWORD acceptedControls(int flags)
{
    DWORD controls = 0;
    if (flags & QtServiceBase::Suspendable)
        controls |= SERVICE_ACCEPT_PAUSE_CONTINUE;
    if (!(flags & QtServiceBase::NotStoppable))
        controls |= SERVICE_ACCEPT_STOP;
    if (flags & QtServiceBase::StopOnShutdown)
        controls |= SERVICE_ACCEPT_SHUTDOWN;
    return controls;
}

void QtServiceBaseData::createHostData() {}
void QtServiceBaseData::destroyHostData() {}
void QtServiceBaseData::flagsChanged() {}

bool QtServiceBaseData::startAsService()
{
    // Not yet connected to the manager: fail honestly.
    return false;
}

void QtServiceBase::logMessage(const QString &, MessageType, int, uint, const QByteArray &) {}
