#include <QtGlobal>

#ifdef Q_OS_WIN

#include "runlock.h"

#include "confbu.h"
#include "winsupport.h"

#include <sddl.h>

// Anyone who could open the lock file could lock it and keep every backup from running, so it
// is made for the local system and the administrators alone. One that exists was made by them
// too: no one else may create files in the history's folder.
RunLock::RunLock(const QString &folder)
    : file(INVALID_HANDLE_VALUE), lockPath(confbu::joinPath(folder, FileName))
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1, &descriptor, nullptr)) {
        failure = win::errorText();
        return;
    }
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
    file = win::openNoFollow(lockPath,
                             GENERIC_READ | GENERIC_WRITE | READ_CONTROL, OPEN_ALWAYS, 0,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, &security);
    const QString openError = win::errorText();
    LocalFree(descriptor);
    if (file == INVALID_HANDLE_VALUE) {
        failure = openError;
        return;
    }
    if (!win::notRegular(file).isEmpty() || !win::ownedByAdministration(file)) {
        failure = QStringLiteral("bukan berkas milik service yang hanya dapat dibuka service");
        CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
        return;
    }
    OVERLAPPED firstByte = {};
    locked =
        LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &firstByte);
}

RunLock::~RunLock()
{
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file); // releases the lock
}

#endif
