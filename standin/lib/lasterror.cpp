// The calling thread's last error and an English text for each code we set.
#include "svcmgr_api.h"

#include <cstring>
#include <cwchar>

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;

struct ErrorText
{
    DWORD code;
    const wchar_t *text;
};

const ErrorText errorTexts[] = {
    {ERROR_SUCCESS, L"The operation completed successfully."},
    {ERROR_FILE_NOT_FOUND, L"The system cannot find the file specified."},
    {ERROR_ACCESS_DENIED, L"Access is denied."},
    {ERROR_INVALID_HANDLE, L"The handle is invalid."},
    {ERROR_INVALID_PARAMETER, L"The parameter is incorrect."},
    {ERROR_INSUFFICIENT_BUFFER, L"The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, L"The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_INVALID_LEVEL, L"The system call level is not correct."},
    {ERROR_BAD_EXE_FORMAT, L"The specified program is not a valid application."},
    {ERROR_INVALID_ADDRESS, L"Attempt to access invalid address."},
    {ERROR_REGISTRY_IO_FAILED, L"An I/O operation initiated by the registry failed unrecoverably."},
    {ERROR_INVALID_SERVICE_CONTROL, L"The requested control is not valid for this service."},
    {ERROR_SERVICE_REQUEST_TIMEOUT,
     L"The service did not respond to the start or control request in a timely fashion."},
    {ERROR_SERVICE_ALREADY_RUNNING, L"An instance of the service is already running."},
    {ERROR_SERVICE_DISABLED, L"The service cannot be started, either because it is disabled or "
                             L"because it has no enabled devices associated with it."},
    {ERROR_INVALID_SERVICE_ACCOUNT, L"The account name is invalid or does not exist, or the "
                                    L"password is invalid for the account name specified."},
    {ERROR_SERVICE_DOES_NOT_EXIST,
     L"The specified service does not exist as an installed service."},
    {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, L"The service cannot accept control messages at this time."},
    {ERROR_SERVICE_NOT_ACTIVE, L"The service has not been started."},
    {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT,
     L"The service process could not connect to the service controller."},
    {ERROR_DATABASE_DOES_NOT_EXIST, L"The database specified does not exist."},
    {ERROR_PROCESS_ABORTED, L"The process terminated unexpectedly."},
    {ERROR_SERVICE_LOGON_FAILED, L"The service did not start due to a logon failure."},
    {ERROR_SERVICE_MARKED_FOR_DELETE, L"The specified service has been marked for deletion."},
    {ERROR_SERVICE_EXISTS, L"The specified service already exists."},
    {ERROR_SERVICE_NEVER_STARTED,
     L"No attempts to start the service have been made since the last boot."},
    {ERROR_DUPLICATE_SERVICE_NAME,
     L"The name is already in use as either a service name or a service display name."},
    {ERROR_NONE_MAPPED, L"No mapping between account names and security IDs was done."},
    {ERROR_NOT_ENOUGH_QUOTA, L"Not enough quota is available to process this command."},
    {RPC_S_SERVER_UNAVAILABLE, L"The RPC server is unavailable."},
};
} // namespace

extern "C" {

__attribute__((visibility("default"))) DWORD GetLastError(void)
{
    return t_lastError;
}

__attribute__((visibility("default"))) void SetLastError(DWORD dwErrCode)
{
    t_lastError = dwErrCode;
}

__attribute__((visibility("default"))) DWORD SvcFormatErrorW(DWORD code, LPWSTR buf, DWORD size)
{
    if (!buf || size == 0)
        return 0;
    for (const ErrorText &e : errorTexts) {
        if (e.code != code)
            continue;
        size_t n = std::wcslen(e.text);
        if (n >= size)
            n = size - 1; // a short buffer gets the start of the text
        std::wmemcpy(buf, e.text, n);
        buf[n] = L'\0';
        return DWORD(n);
    }
    buf[0] = L'\0';
    return 0;
}

} // extern "C"
