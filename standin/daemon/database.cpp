#include "database.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

// Version 2 added the groups' rights, version 3 the failure actions; older
// files are still read.
const char *const Header = "svcmgr-services 3";
const char *const Headers[] = {"svcmgr-services 1", "svcmgr-services 2", Header};
constexpr size_t FieldsOfVersion[] = {11, 12, 16};

std::string escape(const std::string &s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool unescape(const std::string &s, std::string *out)
{
    out->clear();
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            *out += s[i];
            continue;
        }
        if (++i == s.size())
            return false;
        switch (s[i]) {
        case '\\':
            *out += '\\';
            break;
        case 't':
            *out += '\t';
            break;
        case 'n':
            *out += '\n';
            break;
        case 'r':
            *out += '\r';
            break;
        default:
            return false;
        }
    }
    return true;
}

std::vector<std::string> split(const std::string &line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

bool toNumber(const std::string &s, uint32_t *v)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    unsigned long n = std::strtoul(s.c_str(), &end, 10);
    *v = uint32_t(n);
    return *end == '\0' && n <= 0xFFFFFFFFul;
}

// "group:rights,group:rights"; group names hold neither separator.
std::string joinGroups(const std::map<std::string, uint32_t> &groups)
{
    std::string out;
    for (const auto &g : groups)
        out += (out.empty() ? "" : ",") + g.first + ':' + std::to_string(g.second);
    return out;
}

bool parseGroups(const std::string &field, std::map<std::string, uint32_t> *groups)
{
    size_t start = 0;
    while (start < field.size()) {
        size_t comma = field.find(',', start);
        const std::string entry = field.substr(start, comma - start);
        const size_t colon = entry.rfind(':');
        uint32_t access = 0;
        if (colon == std::string::npos || !validGroupName(entry.substr(0, colon)) ||
            !toNumber(entry.substr(colon + 1), &access))
            return false;
        (*groups)[entry.substr(0, colon)] = access;
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return true;
}

// "type:delay,type:delay" in the order the failures take them.
std::string joinActions(const std::vector<RecoveryAction> &actions)
{
    std::string out;
    for (const RecoveryAction &a : actions)
        out += (out.empty() ? "" : ",") + std::to_string(a.type) + ':' + std::to_string(a.delayMs);
    return out;
}

bool parseActions(const std::string &field, std::vector<RecoveryAction> *actions)
{
    size_t start = 0;
    while (start < field.size()) {
        size_t comma = field.find(',', start);
        const std::string entry = field.substr(start, comma - start);
        const size_t colon = entry.find(':');
        RecoveryAction a;
        if (colon == std::string::npos || !toNumber(entry.substr(0, colon), &a.type) ||
            !toNumber(entry.substr(colon + 1), &a.delayMs))
            return false;
        actions->push_back(a);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return true;
}

bool parseRecord(const std::string &line, int version, ServiceRecord *r)
{
    std::vector<std::string> f = split(line);
    if (f.size() != FieldsOfVersion[version - 1])
        return false;
    uint32_t hasPassword = 0, hasDescription = 0, marked = 0;
    return unescape(f[0], &r->name) && !r->name.empty() && unescape(f[1], &r->displayName) &&
           unescape(f[2], &r->binaryPath) && toNumber(f[3], &r->serviceType) &&
           toNumber(f[4], &r->startType) && toNumber(f[5], &r->errorControl) &&
           unescape(f[6], &r->account) && toNumber(f[7], &hasPassword) &&
           toNumber(f[8], &hasDescription) && unescape(f[9], &r->description) &&
           toNumber(f[10], &marked) && (r->hasPassword = hasPassword, true) &&
           (r->hasDescription = hasDescription, true) && (r->markedForDelete = marked, true) &&
           (version < 2 || parseGroups(f[11], &r->groupAccess)) &&
           (version < 3 ||
            (toNumber(f[12], &r->resetPeriod) && unescape(f[13], &r->rebootMessage) &&
             unescape(f[14], &r->failureCommand) && parseActions(f[15], &r->failureActions)));
}

std::string directoryOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

} // namespace

bool validGroupName(const std::string &name)
{
    if (name.empty() || name.size() > 64 || name[0] == '-')
        return false;
    for (unsigned char c : name)
        if (c <= ' ' || c == 0x7F || c == ':' || c == ',' || c == '/' || c == '\\')
            return false;
    return true;
}

bool loadDatabase(const std::string &path, std::vector<ServiceRecord> *records, std::string *error)
{
    records->clear();
    std::ifstream in(path);
    if (!in) {
        if (errno == ENOENT)
            return true; // a new manager has no services yet
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    int version = 0;
    if (std::getline(in, line))
        for (int v = 1; v <= 3; ++v)
            if (line == Headers[v - 1])
                version = v;
    if (!version) {
        *error = path + ": not a service database";
        return false;
    }
    int lineNo = 1;
    while (std::getline(in, line)) {
        ++lineNo;
        ServiceRecord r;
        if (!parseRecord(line, version, &r)) {
            *error = path + ": line " + std::to_string(lineNo) + " is damaged";
            return false;
        }
        records->push_back(r);
    }
    return true;
}

bool saveDatabase(const std::string &path, const std::vector<ServiceRecord> &records,
                  std::string *error)
{
    std::ostringstream text;
    text << Header << '\n';
    for (const ServiceRecord &r : records) {
        text << escape(r.name) << '\t' << escape(r.displayName) << '\t' << escape(r.binaryPath)
             << '\t' << r.serviceType << '\t' << r.startType << '\t' << r.errorControl << '\t'
             << escape(r.account) << '\t' << int(r.hasPassword) << '\t' << int(r.hasDescription)
             << '\t' << escape(r.description) << '\t' << int(r.markedForDelete) << '\t'
             << joinGroups(r.groupAccess) << '\t' << r.resetPeriod << '\t'
             << escape(r.rebootMessage) << '\t' << escape(r.failureCommand) << '\t'
             << joinActions(r.failureActions) << '\n';
    }
    const std::string data = text.str();
    const std::string temp = path + ".tmp";
    // Made afresh, never through whatever a crash (or anyone) left under its name.
    ::unlink(temp.c_str());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = temp + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < data.size()) {
        ssize_t w = ::write(fd, data.data() + done, data.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            *error = temp + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(temp.c_str());
            return false;
        }
        done += size_t(w);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        *error = temp + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        *error = path + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself must survive a power cut too.
    int dir = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}
