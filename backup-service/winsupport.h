// What the service's Windows files share: native paths, error texts, owned handles, and
// opening a name itself rather than what a link or junction there names.
#pragma once

#include <QtGlobal>

#ifdef Q_OS_WIN

#include <QDir>
#include <QString>

#include <string>

#include <aclapi.h>
#include <windows.h>

namespace win {

inline std::wstring native(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

inline QString errorText(DWORD error = GetLastError())
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    const QString message = length ? QString::fromWCharArray(text, int(length)).trimmed()
                                   : QStringLiteral("kesalahan %1").arg(error);
    LocalFree(text);
    return message;
}

// Closes what it holds; some calls give null for failure, others INVALID_HANDLE_VALUE.
class Handle
{
public:
    explicit Handle(HANDLE handle = nullptr) : h(handle) {}
    ~Handle()
    {
        if (valid())
            CloseHandle(h);
    }
    bool valid() const { return h && h != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h; }

private:
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    HANDLE h;
};

// The name itself, never what a link or junction at it names. flags: FILE_FLAG_BACKUP_SEMANTICS
// where the name may be a folder.
inline HANDLE openNoFollow(const QString &path, DWORD access, DWORD disposition, DWORD flags,
                           DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           SECURITY_ATTRIBUTES *security = nullptr)
{
    return CreateFileW(native(path).c_str(), access, share, security, disposition,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr);
}

// Why what the handle names is not a regular file with one name; empty when it is.
inline QString notRegular(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file, &info))
        return errorText();
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return QStringLiteral("berupa link");
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return QStringLiteral("bukan berkas biasa");
    if (info.nNumberOfLinks != 1)
        return QStringLiteral("memiliki lebih dari satu nama");
    return QString();
}

// Whether the local system or the administrators own what the handle (opened with
// READ_CONTROL) names: on Windows they stand where root stands elsewhere.
inline bool ownedByAdministration(HANDLE file)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const bool administration = IsWellKnownSid(owner, WinLocalSystemSid) ||
                                IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
    LocalFree(descriptor);
    return administration;
}

} // namespace win

#endif
