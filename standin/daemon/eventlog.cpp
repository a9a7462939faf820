#include "eventlog.h"

#include "svcmgr_api.h"

#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// Records are single lines: tabs and line breaks inside texts are escaped.
std::string oneLine(const std::string &s)
{
    std::string out;
    for (char c : s) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

const char *typeName(uint32_t type)
{
    switch (type) {
    case EVENTLOG_ERROR_TYPE:
        return "Error";
    case EVENTLOG_WARNING_TYPE:
        return "Warning";
    case EVENTLOG_INFORMATION_TYPE:
        return "Information";
    case EVENTLOG_SUCCESS:
        return "Success";
    default:
        return "Unknown";
    }
}

std::string timeStamp()
{
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t t = system_clock::to_time_t(now);
    int ms = int(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return buf;
}

} // namespace

void EventLog::write(const EventRecord &r)
{
    std::string text;
    for (const std::string &s : r.strings)
        text += (text.empty() ? "" : " | ") + s;
    std::string line = timeStamp() + '\t' + oneLine(r.source) + '\t' + typeName(r.type) + '\t' +
                       std::to_string(r.category) + '\t' + std::to_string(r.id) + '\t' +
                       oneLine(text) + '\t' + std::to_string(r.dataLength) + '\n';

    std::lock_guard<std::mutex> lock(m_mutex);
    int fd = ::open(m_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd >= 0) {
        ssize_t ignored = ::write(fd, line.data(), line.size());
        (void)ignored;
        ::close(fd);
    }
    int priority = r.type == EVENTLOG_ERROR_TYPE     ? LOG_ERR
                   : r.type == EVENTLOG_WARNING_TYPE ? LOG_WARNING
                                                     : LOG_INFO;
    ::syslog(priority, "%s: %s (event %u)", r.source.c_str(), oneLine(text).c_str(),
             unsigned(r.id));
}
