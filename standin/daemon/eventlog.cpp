#include "eventlog.h"

#include "svcmgr_api.h"

#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
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

int EventLog::openForAppend(size_t lineSize)
{
    // Never through a link, and only into a plain file.
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
    int fd = ::open(m_path.c_str(), flags, 0640);
    struct stat st = {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        return -1;
    }
    if (fd < 0 || st.st_size == 0 || st.st_size + long(lineSize) <= m_maxBytes)
        return fd;
    ::close(fd);
    const std::string previous = m_path + ".1";
    if (::rename(m_path.c_str(), previous.c_str()) != 0)
        return -1;
    return ::open(m_path.c_str(), flags | O_EXCL, 0640);
}

void EventLog::write(const EventRecord &r)
{
    std::string text;
    for (const std::string &s : r.strings) {
        text += (text.empty() ? "" : " | ") + s;
        if (text.size() > MaxEventText)
            break;
    }
    if (text.size() > MaxEventText) {
        // Not inside a UTF-8 sequence: back up over continuation bytes.
        size_t cut = MaxEventText;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
        text.resize(cut);
        text += " [...]";
    }
    std::string line = timeStamp() + '\t' + oneLine(r.source) + '\t' + typeName(r.type) + '\t' +
                       std::to_string(r.category) + '\t' + std::to_string(r.id) + '\t' +
                       oneLine(text) + '\t' + std::to_string(r.dataLength) + '\n';

    std::lock_guard<std::mutex> lock(m_mutex);
    int fd = openForAppend(line.size());
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
