#include <QtGlobal>

#ifdef Q_OS_WIN

#include "stopsignal.h"

#include <windows.h>

// Manual reset: once set, every later wait sees it too.
StopSignal::StopSignal() : event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

StopSignal::~StopSignal()
{
    if (event)
        CloseHandle(event);
}

void StopSignal::request()
{
    flag = true;
    SetEvent(event);
}

#endif
