// Makes one service manager call and prints its answer, so that tests and benchmarks can
// make the call as another user or from a shell: the calls of svcmgrcalls.h, and
//   svcmgrclient open-many COUNT NAME | hold COUNT BYTES | keep MS ping|work
// "open-many" opens COUNT handles of the service on one manager handle and
// keeps them: "opened=N error=E" (the first refusal's code, else 0).
// "hold" opens COUNT raw connections, each of which sends nothing (BYTES 0) or
// announces a full-size request and sends BYTES of it; prints "held=N", then
// for each line it reads, how many the manager still keeps open: "open=N".
// "keep" sends a ping (or a request that does something) every 200 ms on one
// raw connection for MS milliseconds: "closed after=T" when the manager closed
// it after T ms, else "open".
#include "svcmgrcalls.h"
#include "wire.h"

#include <cstdint>
#include <iostream>
#include <poll.h>

namespace {

int keep(int ms, bool ping)
{
    const int fd = connectRaw();
    if (fd < 0)
        return 1;
    // A status query on a handle nobody has: an answer (error 6), but work all the same.
    svcwire::Writer request;
    ping ? request.u32(svcwire::OpPing) : request.u32(svcwire::OpQueryStatus).u32(0);
    std::string answer;
    QElapsedTimer kept;
    for (kept.start(); kept.elapsed() < ms; ::usleep(200 * 1000))
        if (!svcwire::sendFrame(fd, request.data()) || !svcwire::recvFrame(fd, &answer)) {
            std::cout << "closed after=" << kept.elapsed() << std::endl;
            return 0;
        }
    std::cout << "open" << std::endl;
    return 0;
}

int openMany(int count, const QString &name)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    int opened = 0;
    DWORD error = manager ? 0 : GetLastError();
    for (int i = 0; manager && i < count; ++i)
        if (OpenServiceW(manager, name.toStdWString().c_str(), SERVICE_QUERY_STATUS))
            ++opened;
        else if (!error)
            error = GetLastError();
    std::cout << "opened=" << opened << " error=" << error << std::endl;
    return 0;
}

int hold(int count, size_t bytes)
{
    std::string announce(bytes ? 4 + bytes : 0, 'x');
    const uint32_t frame = 1u << 20;
    if (bytes)
        std::memcpy(&announce[0], &frame, 4);
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        const int fd = connectRaw();
        // As much as the manager takes without waiting for it.
        for (ssize_t sent = 0, n = 1; fd >= 0 && n > 0 && sent < ssize_t(announce.size()); sent += n)
            n = ::send(fd, announce.data() + sent, announce.size() - size_t(sent),
                       MSG_DONTWAIT | MSG_NOSIGNAL);
        if (fd >= 0)
            fds.push_back(fd);
    }
    std::cout << "held=" << fds.size() << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        int open = 0;
        for (int fd : fds) {
            pollfd p{fd, POLLIN, 0};
            char c;
            if (::poll(&p, 1, 0) == 0 || ::recv(fd, &c, 1, MSG_DONTWAIT) > 0)
                ++open;
        }
        std::cout << "open=" << open << std::endl;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const QStringList args = QCoreApplication(argc, argv).arguments().mid(1);
    const QString op = args.value(0);
    if (op == "hold")
        return hold(args.value(1).toInt(), size_t(args.value(2).toLong()));
    if (op == "keep")
        return keep(args.value(1).toInt(), args.value(2) == "ping");
    if (op == "open-many")
        return openMany(args.value(1).toInt(), args.value(2));
    std::cout << svcCall(args).constData() << std::endl;
}
