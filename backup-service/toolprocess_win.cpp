#include <QtGlobal>

#ifdef Q_OS_WIN

#include "toolprocess.h"

#include "stopsignal.h"
#include "winsupport.h"

#include <algorithm>
#include <vector>

namespace {

// One argument as the C runtime of the tool parses it back unchanged: blanks and quotes
// inside, and backslashes before a quote or at the end, are what need care.
std::wstring quoted(const QString &argument)
{
    const std::wstring text = argument.toStdWString();
    if (!text.empty() && text.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return text;
    std::wstring out(1, L'"');
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        for (; i < text.size() && text[i] == L'\\'; ++i)
            ++backslashes;
        if (i == text.size()) {
            out.append(backslashes * 2, L'\\');
            break;
        }
        out.append(text[i] == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        out.push_back(text[i]);
    }
    out.push_back(L'"');
    return out;
}

// NAME=value strings, each ended by a NUL and the whole by another, sorted by name without
// regard to case as the system expects.
std::wstring environmentBlock(const QProcessEnvironment &environment)
{
    QStringList variables = environment.toStringList();
    std::sort(variables.begin(), variables.end(), [](const QString &a, const QString &b) {
        return a.section(QLatin1Char('='), 0, 0)
                   .compare(b.section(QLatin1Char('='), 0, 0), Qt::CaseInsensitive) < 0;
    });
    std::wstring block;
    for (const QString &variable : qAsConst(variables)) {
        block += variable.toStdWString();
        block.push_back(L'\0');
    }
    if (variables.isEmpty())
        block.push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

// A service has no console through which pg_dump could be sent Ctrl+Break, so a tool that is
// stopped or takes too long ends with its whole job at once.
void terminate(HANDLE job, HANDLE process)
{
    TerminateJobObject(job, 1);
    WaitForSingleObject(process, 10000);
}

// An inheritable copy of a handle of ours for the tool, or null.
HANDLE inheritableCopy(HANDLE handle)
{
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
    return copy;
}

// Standard output that the service reads: a file of its own that goes when it is closed,
// read once the tool has ended (an anonymous pipe cannot be waited on beside the process).
HANDLE outputFile(SECURITY_ATTRIBUTES *inheritable)
{
    wchar_t folder[MAX_PATH + 1] = {};
    wchar_t name[MAX_PATH + 1] = {};
    if (!GetTempPathW(MAX_PATH, folder) || !GetTempFileNameW(folder, L"svl", 0, name))
        return INVALID_HANDLE_VALUE;
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       inheritable, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

void handOn(HANDLE file, const std::function<void(const QByteArray &)> &read)
{
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    char buffer[65536];
    DWORD n = 0;
    while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0)
        read(QByteArray(buffer, int(n)));
}

} // namespace

ToolResult runTool(const ToolCommand &command, const File &errors, int timeoutMs,
                   const StopSignal *stop, const ToolStreams &streams)
{
    ToolResult result;
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    const win::Handle nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                      OPEN_EXISTING, 0, nullptr));
    const win::Handle errorCopy(errors.isOpen() ? inheritableCopy(errors.handle()) : nullptr);
    const win::Handle inputCopy(streams.input ? inheritableCopy(streams.input->handle())
                                              : nullptr);
    const bool readBack = !streams.output && streams.read;
    const win::Handle outputCopy(streams.output ? inheritableCopy(streams.output->handle())
                                 : readBack     ? outputFile(&inheritable)
                                                : nullptr);
    if (inputCopy.valid())
        SetFilePointer(inputCopy.get(), 0, nullptr, FILE_BEGIN);
    // The tool dies with the service: it runs in a job that ends when its last handle, this
    // one, is closed, however the service ends.
    const win::Handle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!nul.valid() || (errors.isOpen() && !errorCopy.valid()) ||
        (streams.input && !inputCopy.valid()) ||
        ((streams.output || readBack) && !outputCopy.valid()) || !job.valid() ||
        !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits)) {
        result.error = win::errorText();
        return result;
    }

    // The standard handles are the only ones the tool inherits: nothing of the service's
    // (settings, logs, the service manager's channel) reaches it.
    HANDLE inherited[4] = {nul.get()};
    DWORD inheritedCount = 1;
    for (const win::Handle *stream : {&errorCopy, &inputCopy, &outputCopy})
        if (stream->valid())
            inherited[inheritedCount++] = stream->get();
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> buffer(size);
    const auto attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
        result.error = win::errorText();
        return result;
    }
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = inputCopy.valid() ? inputCopy.get() : nul.get();
    startup.StartupInfo.hStdOutput = outputCopy.valid() ? outputCopy.get() : nul.get();
    startup.StartupInfo.hStdError = errorCopy.valid() ? errorCopy.get() : nul.get();
    startup.lpAttributeList = attributes;

    std::wstring commandLine = quoted(QDir::toNativeSeparators(command.program));
    for (const QString &argument : command.arguments)
        commandLine += L' ' + quoted(argument);
    std::wstring environment = environmentBlock(command.environment);
    PROCESS_INFORMATION process = {};
    // The program is named in full, so no search path decides which program runs; it starts
    // suspended, so that it is in the job before it runs at all.
    const BOOL started =
        UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                  inheritedCount * sizeof(HANDLE), nullptr, nullptr) &&
        CreateProcessW(win::native(command.program).c_str(), &commandLine[0], nullptr, nullptr,
                       TRUE,
                       CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT |
                           EXTENDED_STARTUPINFO_PRESENT,
                       &environment[0], nullptr, &startup.StartupInfo, &process);
    const DWORD startError = GetLastError();
    DeleteProcThreadAttributeList(attributes);
    if (!started) {
        result.error = win::errorText(startError);
        return result;
    }
    const win::Handle processHandle(process.hProcess), thread(process.hThread);
    if (!AssignProcessToJobObject(job.get(), process.hProcess)) {
        result.error = win::errorText();
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 10000);
        return result;
    }
    ResumeThread(process.hThread);

    const HANDLE waits[2] = {process.hProcess, stop ? stop->waitable() : nullptr};
    const DWORD count = stop && stop->waitable() ? 2 : 1;
    switch (WaitForMultipleObjects(count, waits, FALSE, DWORD(qMax(timeoutMs, 0)))) {
    case WAIT_OBJECT_0: {
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        // An unhandled exception ends a process with its status code, 0xC0000000 and above.
        result.status = code >= 0xC0000000 ? ToolResult::Crashed : ToolResult::Finished;
        result.exitCode = result.status == ToolResult::Finished ? int(code) : -1;
        break;
    }
    case WAIT_OBJECT_0 + 1:
        terminate(job.get(), process.hProcess);
        result.status = ToolResult::Stopped;
        break;
    case WAIT_TIMEOUT:
        terminate(job.get(), process.hProcess);
        result.status = ToolResult::TimedOut;
        break;
    default: // the wait itself failed: nothing says the tool did its work
        terminate(job.get(), process.hProcess);
        result.status = ToolResult::Crashed;
        break;
    }
    if (readBack && result.status == ToolResult::Finished)
        handOn(outputCopy.get(), streams.read);
    return result;
}

#endif
