#include "wire.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace svcwire {

namespace {
constexpr uint32_t NullString = 0xFFFFFFFFu;

bool writeAll(int fd, const char *p, size_t n, int flags = 0)
{
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL | flags);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

bool readAll(int fd, char *p, size_t n)
{
    while (n > 0) {
        ssize_t r = ::recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}
} // namespace

Writer &Writer::u32(uint32_t v)
{
    m_data.append(reinterpret_cast<const char *>(&v), sizeof v);
    return *this;
}

Writer &Writer::str(const std::string &s)
{
    u32(uint32_t(s.size()));
    m_data.append(s);
    return *this;
}

Writer &Writer::optStr(const char *s)
{
    return s ? str(s) : u32(NullString);
}

Writer &Writer::optStr(bool present, const std::string &s)
{
    return present ? str(s) : u32(NullString);
}

bool Reader::u32(uint32_t *v)
{
    if (m_data.size() - m_pos < sizeof *v)
        return false;
    m_data.copy(reinterpret_cast<char *>(v), sizeof *v, m_pos);
    m_pos += sizeof *v;
    return true;
}

bool Reader::str(std::string *s)
{
    bool present = false;
    return optStr(&present, s) && present;
}

bool Reader::optStr(bool *present, std::string *s)
{
    uint32_t n = 0;
    if (!u32(&n))
        return false;
    if (n == NullString) {
        *present = false;
        s->clear();
        return true;
    }
    if (m_data.size() - m_pos < n)
        return false;
    *present = true;
    *s = m_data.substr(m_pos, n);
    m_pos += n;
    return true;
}

bool sendFrame(int fd, const std::string &payload)
{
    std::string frame;
    uint32_t n = uint32_t(payload.size());
    frame.append(reinterpret_cast<const char *>(&n), sizeof n);
    frame.append(payload);
    return writeAll(fd, frame.data(), frame.size());
}

bool sendFrameNow(int fd, const std::string &payload)
{
    std::string frame;
    uint32_t n = uint32_t(payload.size());
    frame.append(reinterpret_cast<const char *>(&n), sizeof n);
    frame.append(payload);
    if (writeAll(fd, frame.data(), frame.size(), MSG_DONTWAIT))
        return true;
    ::shutdown(fd, SHUT_RDWR);
    return false;
}

bool recvFrame(int fd, std::string *payload)
{
    uint32_t n = 0;
    if (!readAll(fd, reinterpret_cast<char *>(&n), sizeof n))
        return false;
    if (n == 0 || n > MaxFrame)
        return false;
    payload->resize(n);
    return readAll(fd, &(*payload)[0], n);
}

FrameReader::Result FrameReader::read(int fd, std::string *payload,
                                      const std::function<bool(uint32_t)> &admit)
{
    constexpr size_t Prefix = sizeof(uint32_t);
    char chunk[16384];
    for (;;) {
        size_t wanted = Prefix;
        if (m_buffer.size() >= Prefix) {
            uint32_t n = 0;
            std::memcpy(&n, m_buffer.data(), Prefix);
            if (n == 0 || n > MaxFrame)
                return Broken;
            if (!m_admitted && admit && !admit(n))
                return Broken;
            m_admitted = true;
            wanted += n;
            if (m_buffer.size() == wanted) {
                payload->assign(m_buffer, Prefix, std::string::npos);
                m_buffer.clear();
                m_admitted = false;
                return Frame;
            }
        }
        const size_t ask = std::min(sizeof chunk, wanted - m_buffer.size());
        ssize_t r = ::recv(fd, chunk, ask, MSG_DONTWAIT);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return Again;
        if (r <= 0)
            return Broken;
        m_buffer.append(chunk, size_t(r));
    }
}

std::string toUtf8(const wchar_t *s)
{
    std::string out;
    if (!s)
        return out;
    for (; *s; ++s) {
        uint32_t c = uint32_t(*s);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::wstring fromUtf8(const std::string &s)
{
    std::wstring out;
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        uint32_t c = 0xFFFD;
        size_t len = 1;
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2;
            c = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
            c = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
            c = b & 0x07;
        } else {
            out += wchar_t(0xFFFD);
            ++i;
            continue;
        }
        if (i + len > s.size()) {
            out += wchar_t(0xFFFD);
            break;
        }
        bool ok = true;
        for (size_t k = 1; k < len; ++k) {
            unsigned char cb = static_cast<unsigned char>(s[i + k]);
            if ((cb & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (cb & 0x3F);
        }
        out += ok ? wchar_t(c) : wchar_t(0xFFFD);
        i += ok ? len : 1;
    }
    return out;
}

std::string foldName(const std::string &name)
{
    std::string out = name;
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return out;
}

} // namespace svcwire
