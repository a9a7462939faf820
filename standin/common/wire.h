// The private protocol between libsvcmgr and svcmgrd: length-prefixed frames
// of 32-bit numbers and UTF-8 strings, on the control socket and on the
// channel that a service process inherits.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace svcwire {

// Requests on the control socket.
enum Op : uint32_t {
    OpOpenManager = 1,
    OpOpenService,
    OpClose,
    OpCreate,
    OpDelete,
    OpChangeDescription,
    OpQueryConfig,
    OpQueryDescription,
    OpQueryStatus,
    OpStart,
    OpControl,
    OpReportEvent,
    OpPing,
    OpSetGroupAccess,
    OpQueryGroupAccess,
    OpChangeConfig,
    OpChangeFailureActions,
    OpQueryFailureActions,
};

// Messages on a service's private channel.
enum ChannelMsg : uint32_t {
    ChHello = 100, // service -> manager: token, pid
    ChStart,       // manager -> service: start arguments
    ChStarted,     // service -> manager: the entry thread exists
    ChControl,     // manager -> service: sequence number, control code
    ChControlDone, // service -> manager: sequence number
    ChStatus,      // service -> manager: the seven status fields
};

// Frames larger than this are garbage, not requests.
constexpr uint32_t MaxFrame = 1u << 20;

class Writer
{
public:
    Writer &u32(uint32_t v);
    Writer &str(const std::string &s);
    // A string that may be absent (a null pointer on the caller's side).
    Writer &optStr(const char *s);
    Writer &optStr(bool present, const std::string &s);
    Writer &raw(const std::string &bytes)
    {
        m_data += bytes;
        return *this;
    }
    const std::string &data() const { return m_data; }

private:
    std::string m_data;
};

class Reader
{
public:
    explicit Reader(std::string data) : m_data(std::move(data)) {}
    bool u32(uint32_t *v);
    bool str(std::string *s);
    bool optStr(bool *present, std::string *s);
    bool atEnd() const { return m_pos == m_data.size(); }

private:
    std::string m_data;
    size_t m_pos = 0;
};

// Whole-frame I/O on a blocking stream socket; false on EOF, error or garbage.
bool sendFrame(int fd, const std::string &payload);
// For a channel whose reader we do not trust to keep up: never blocks, and a
// frame that does not fit at once breaks the channel (shut down both ways).
bool sendFrameNow(int fd, const std::string &payload);
bool recvFrame(int fd, std::string *payload);

// Collects frames from a socket without blocking. What it holds grows only with
// the bytes that have arrived, so an announced length costs nothing by itself.
class FrameReader
{
public:
    enum Result { Frame, Again, Broken };
    // Reads what the socket has, never past the end of the current frame:
    // Frame puts a whole one in *payload; Again means wait for more; Broken
    // means end of stream, an error, or a length that is no frame of ours.
    // admit, when given, is asked about each frame's length before any of its
    // payload is taken in; false breaks the stream.
    Result read(int fd, std::string *payload, const std::function<bool(uint32_t)> &admit = nullptr);

private:
    std::string m_buffer;
    bool m_admitted = false;
};

// wchar_t is UTF-32 on the systems the stand-in runs on.
std::string toUtf8(const wchar_t *s);
std::wstring fromUtf8(const std::string &s);

// Case-insensitive key for service names (ASCII folding, like the names we use).
std::string foldName(const std::string &name);

} // namespace svcwire
