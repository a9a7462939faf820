// The manager's event log: one line per record in a file of the state
// directory, and the same record in syslog.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct EventRecord
{
    std::string source;
    uint32_t type = 0; // EVENTLOG_* value
    uint32_t category = 0;
    uint32_t id = 0;
    std::vector<std::string> strings;
    uint32_t dataLength = 0;
};

// The file never grows past maxBytes: before it would, it becomes path.1 (the
// one before is dropped), so the log takes at most twice that on disk.
class EventLog
{
public:
    EventLog(std::string path, long maxBytes) : m_path(std::move(path)), m_maxBytes(maxBytes) {}
    void write(const EventRecord &record);

private:
    int openForAppend(size_t lineSize);

    std::string m_path;
    const long m_maxBytes;
    std::mutex m_mutex;
};

// A record's text is cut to this many bytes, so one record is a small part of the log.
constexpr size_t MaxEventText = 32 * 1024;

// The source name and event ids the manager uses for its own records, the
// ones the system's manager uses for the same happenings.
constexpr const char *ManagerSource = "Service Control Manager";
enum ManagerEventId : uint32_t {
    EventStartFailed = 7000,
    EventSaveFailed = 7001,
    EventConnectTimeout = 7009,
    EventCrashedRecovering = 7031,
    EventCrashed = 7034,
};
