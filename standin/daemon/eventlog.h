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

class EventLog
{
public:
    explicit EventLog(std::string path) : m_path(std::move(path)) {}
    void write(const EventRecord &record);

private:
    std::string m_path;
    std::mutex m_mutex;
};

// The source name and event ids the manager uses for its own records, the
// ones the system's manager uses for the same happenings.
constexpr const char *ManagerSource = "Service Control Manager";
enum ManagerEventId : uint32_t {
    EventStartFailed = 7000,
    EventSaveFailed = 7001,
    EventConnectTimeout = 7009,
    EventCrashed = 7034,
};
