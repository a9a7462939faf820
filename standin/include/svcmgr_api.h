// The shapes of the Windows service control manager API, as exported by our
// POSIX stand-in library (libsvcmgr). Names, argument meanings, results and
// last-error codes follow advapi32, so the service framework can load either
// by name at run time and call the same entry points.
#pragma once

#ifdef _WIN32
#error "On Windows include <windows.h> instead; the stand-in is for POSIX systems."
#endif

#include <cstddef>
#include <cstdint>

extern "C" {

typedef uint32_t DWORD;
typedef int BOOL;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef BYTE *LPBYTE;
typedef DWORD *LPDWORD;
typedef void *LPVOID;
typedef void *HANDLE;
typedef void *PSID;
typedef wchar_t WCHAR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;

typedef struct SC_HANDLE__ *SC_HANDLE;
typedef struct SERVICE_STATUS_HANDLE__ *SERVICE_STATUS_HANDLE;

typedef struct _SERVICE_STATUS
{
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
} SERVICE_STATUS, *LPSERVICE_STATUS;

// Strings point into the caller's buffer, behind the record.
typedef struct _QUERY_SERVICE_CONFIGW
{
    DWORD dwServiceType;
    DWORD dwStartType;
    DWORD dwErrorControl;
    LPWSTR lpBinaryPathName;
    LPWSTR lpLoadOrderGroup;
    DWORD dwTagId;
    LPWSTR lpDependencies;
    LPWSTR lpServiceStartName;
    LPWSTR lpDisplayName;
} QUERY_SERVICE_CONFIGW, *LPQUERY_SERVICE_CONFIGW;

typedef struct _SERVICE_DESCRIPTIONW
{
    LPWSTR lpDescription;
} SERVICE_DESCRIPTIONW, *LPSERVICE_DESCRIPTIONW;

// What the manager does when a service's process ends without reporting
// SERVICE_STOPPED: the n-th failure takes the n-th action (the last one repeats).
typedef enum _SC_ACTION_TYPE {
    SC_ACTION_NONE = 0,
    SC_ACTION_RESTART = 1,
    SC_ACTION_REBOOT = 2,
    SC_ACTION_RUN_COMMAND = 3
} SC_ACTION_TYPE;

typedef struct _SC_ACTION
{
    SC_ACTION_TYPE Type;
    DWORD Delay; // milliseconds
} SC_ACTION, *LPSC_ACTION;

// Strings and actions point into the caller's buffer, behind the record.
typedef struct _SERVICE_FAILURE_ACTIONSW
{
    DWORD dwResetPeriod; // seconds without failures that reset the count; INFINITE: never
    LPWSTR lpRebootMsg;
    LPWSTR lpCommand;
    DWORD cActions;
    SC_ACTION *lpsaActions;
} SERVICE_FAILURE_ACTIONSW, *LPSERVICE_FAILURE_ACTIONSW;

// A local group's rights on one service (QueryServiceGroupAccessW); the name
// points into the caller's buffer, behind the records.
typedef struct _SERVICE_GROUP_ACCESSW
{
    LPWSTR lpGroupName;
    DWORD dwAccess;
} SERVICE_GROUP_ACCESSW, *LPSERVICE_GROUP_ACCESSW;

typedef void (*LPSERVICE_MAIN_FUNCTIONW)(DWORD dwNumServicesArgs, LPWSTR *lpServiceArgVectors);
typedef void (*LPHANDLER_FUNCTION)(DWORD dwControl);

typedef struct _SERVICE_TABLE_ENTRYW
{
    LPWSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
} SERVICE_TABLE_ENTRYW, *LPSERVICE_TABLE_ENTRYW;

// Access rights
#define DELETE 0x00010000
#define READ_CONTROL 0x00020000
#define WRITE_DAC 0x00040000
#define SC_MANAGER_CONNECT 0x0001
#define SC_MANAGER_CREATE_SERVICE 0x0002
#define SC_MANAGER_ENUMERATE_SERVICE 0x0004
#define SC_MANAGER_LOCK 0x0008
#define SC_MANAGER_QUERY_LOCK_STATUS 0x0010
#define SC_MANAGER_MODIFY_BOOT_CONFIG 0x0020
#define SC_MANAGER_ALL_ACCESS 0xF003F
#define SERVICE_QUERY_CONFIG 0x0001
#define SERVICE_CHANGE_CONFIG 0x0002
#define SERVICE_QUERY_STATUS 0x0004
#define SERVICE_ENUMERATE_DEPENDENTS 0x0008
#define SERVICE_START 0x0010
#define SERVICE_STOP 0x0020
#define SERVICE_PAUSE_CONTINUE 0x0040
#define SERVICE_INTERROGATE 0x0080
#define SERVICE_USER_DEFINED_CONTROL 0x0100
#define SERVICE_ALL_ACCESS 0xF01FF
// What a group can be given on one service: query it, start it, stop it, pause
// and continue it, interrogate it and send it user-defined controls (128-255).
#define SERVICE_GROUP_OPERATOR_ACCESS                                                              \
    (SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP |                  \
     SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL)

// Service types, start types, error control
#define SERVICE_WIN32_OWN_PROCESS 0x00000010
#define SERVICE_WIN32_SHARE_PROCESS 0x00000020
#define SERVICE_INTERACTIVE_PROCESS 0x00000100
#define SERVICE_AUTO_START 0x00000002
#define SERVICE_DEMAND_START 0x00000003
#define SERVICE_DISABLED 0x00000004
#define SERVICE_ERROR_NORMAL 0x00000001

// States
#define SERVICE_STOPPED 0x00000001
#define SERVICE_START_PENDING 0x00000002
#define SERVICE_STOP_PENDING 0x00000003
#define SERVICE_RUNNING 0x00000004
#define SERVICE_CONTINUE_PENDING 0x00000005
#define SERVICE_PAUSE_PENDING 0x00000006
#define SERVICE_PAUSED 0x00000007

// Controls and the controls a service accepts
#define SERVICE_CONTROL_STOP 0x00000001
#define SERVICE_CONTROL_PAUSE 0x00000002
#define SERVICE_CONTROL_CONTINUE 0x00000003
#define SERVICE_CONTROL_INTERROGATE 0x00000004
#define SERVICE_CONTROL_SHUTDOWN 0x00000005
#define SERVICE_ACCEPT_STOP 0x00000001
#define SERVICE_ACCEPT_PAUSE_CONTINUE 0x00000002
#define SERVICE_ACCEPT_SHUTDOWN 0x00000004

#define SERVICE_NO_CHANGE 0xFFFFFFFF
#define INFINITE 0xFFFFFFFF

#define SERVICE_CONFIG_DESCRIPTION 1
#define SERVICE_CONFIG_FAILURE_ACTIONS 2

// Event log
#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004

// Last-error codes the stand-in sets
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_INVALID_NAME 123
#define ERROR_INVALID_LEVEL 124
#define ERROR_BAD_EXE_FORMAT 193
#define ERROR_INVALID_ADDRESS 487
#define ERROR_REGISTRY_IO_FAILED 1016
#define ERROR_INVALID_SERVICE_CONTROL 1052
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053
#define ERROR_SERVICE_ALREADY_RUNNING 1056
#define ERROR_SERVICE_DISABLED 1058
#define ERROR_INVALID_SERVICE_ACCOUNT 1057
#define ERROR_SERVICE_DOES_NOT_EXIST 1060
#define ERROR_SERVICE_CANNOT_ACCEPT_CTRL 1061
#define ERROR_SERVICE_NOT_ACTIVE 1062
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063
#define ERROR_DATABASE_DOES_NOT_EXIST 1065
#define ERROR_PROCESS_ABORTED 1067
#define ERROR_SERVICE_LOGON_FAILED 1069
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072
#define ERROR_SERVICE_EXISTS 1073
#define ERROR_SERVICE_NEVER_STARTED 1077
#define ERROR_DUPLICATE_SERVICE_NAME 1078
#define ERROR_NONE_MAPPED 1332
#define ERROR_NOT_ENOUGH_QUOTA 1816
// The manager cannot be reached (its daemon is not running or went away).
#define RPC_S_SERVER_UNAVAILABLE 1722

// The exported entry points.
SC_HANDLE OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess);
SC_HANDLE OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess);
BOOL CloseServiceHandle(SC_HANDLE hSCObject);
SC_HANDLE CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                         DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                         DWORD dwErrorControl, LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup,
                         LPDWORD lpdwTagId, LPCWSTR lpDependencies, LPCWSTR lpServiceStartName,
                         LPCWSTR lpPassword);
BOOL DeleteService(SC_HANDLE hService);
BOOL ChangeServiceConfigW(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType,
                          DWORD dwErrorControl, LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup,
                          LPDWORD lpdwTagId, LPCWSTR lpDependencies, LPCWSTR lpServiceStartName,
                          LPCWSTR lpPassword, LPCWSTR lpDisplayName);
BOOL ChangeServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo);
BOOL QueryServiceConfigW(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGW lpServiceConfig,
                         DWORD cbBufSize, LPDWORD pcbBytesNeeded);
BOOL QueryServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPBYTE lpBuffer, DWORD cbBufSize,
                          LPDWORD pcbBytesNeeded);
BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus);
BOOL StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR *lpServiceArgVectors);
BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus);
BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW *lpServiceStartTable);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR lpServiceName,
                                                  LPHANDLER_FUNCTION lpHandlerProc);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus);
HANDLE RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName);
BOOL ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid,
                  WORD wNumStrings, DWORD dwDataSize, LPCWSTR *lpStrings, LPVOID lpRawData);
BOOL DeregisterEventSource(HANDLE hEventLog);

// Who besides root may operate a service, the stand-in's counterpart of a
// service's security descriptor. Gives the members of the local group these
// rights on the service, for handles opened from then on: a part of
// SERVICE_GROUP_OPERATOR_ACCESS, else ERROR_INVALID_PARAMETER; 0 takes the
// group's rights away. Needs WRITE_DAC; a group the system does not know is
// ERROR_NONE_MAPPED. Kept with the service, and gone with it.
BOOL SetServiceGroupAccessW(SC_HANDLE hService, LPCWSTR lpGroupName, DWORD dwAccess);
// The groups with rights on the service: *lpGroupCount records, their names
// behind them in the same buffer. Needs READ_CONTROL. Buffer too small:
// ERROR_INSUFFICIENT_BUFFER with the size needed in *pcbBytesNeeded.
BOOL QueryServiceGroupAccessW(SC_HANDLE hService, LPSERVICE_GROUP_ACCESSW lpGroups, DWORD cbBufSize,
                              LPDWORD pcbBytesNeeded, LPDWORD lpGroupCount);

// Stand-ins for the calling thread's last error and the system's text for a code.
DWORD GetLastError(void);
void SetLastError(DWORD dwErrCode);
// Fills buf (size in characters, NUL included) with the English text of code;
// returns the number of characters written without the NUL, 0 when unknown.
DWORD SvcFormatErrorW(DWORD code, LPWSTR buf, DWORD size);

} // extern "C"

// File name of the stand-in library, loaded from the program's own directory.
#define SVCMGR_LIBRARY_FILE "libsvcmgr.so"
// Names another directory for the daemon's socket, service database and event log.
#define SVCMGR_DIR_ENV "SVCMGR_DIR"
// The default directory when SVCMGR_DIR is not set.
#define SVCMGR_DEFAULT_DIR "/var/lib/svcmgr"
