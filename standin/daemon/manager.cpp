#include "manager.h"

#include "access.h"
#include "config.h"
#include "launcher.h"
#include "wire.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

bool validName(const std::string &name)
{
    return !name.empty() && svcwire::fromUtf8(name).size() <= 256 &&
           name.find('/') == std::string::npos && name.find('\\') == std::string::npos;
}

bool isLocalSystem(const std::string &account)
{
    std::string a = svcwire::foldName(account);
    return a.empty() || a == "localsystem" || a == ".\\localsystem" || a == "nt authority\\system";
}

SERVICE_STATUS stoppedStatus(DWORD type, DWORD exitCode)
{
    SERVICE_STATUS s{};
    s.dwServiceType = type;
    s.dwCurrentState = SERVICE_STOPPED;
    s.dwWin32ExitCode = exitCode;
    return s;
}

} // namespace

Manager::Manager(std::string stateDir)
    : m_dir(std::move(stateDir)), m_eventLog(m_dir + "/events.log")
{
}

bool Manager::load(std::string *error)
{
    std::vector<ServiceRecord> records;
    if (!loadDatabase(m_dir + "/services.db", &records, error))
        return false;
    bool dropped = false;
    for (const ServiceRecord &r : records) {
        // Nothing runs before the daemon starts, so marked services go now.
        if (r.markedForDelete) {
            dropped = true;
            continue;
        }
        auto svc = std::make_shared<Service>();
        svc->record = r;
        svc->status = stoppedStatus(r.serviceType, ERROR_SERVICE_NEVER_STARTED);
        m_services[svcwire::foldName(r.name)] = svc;
    }
    return !dropped || saveLocked(error);
}

bool Manager::saveLocked(std::string *error)
{
    std::vector<ServiceRecord> records;
    for (const auto &entry : m_services)
        records.push_back(entry.second->record);
    return saveDatabase(m_dir + "/services.db", records, error);
}

void Manager::logManagerEvent(uint32_t type, uint32_t id, const std::string &text)
{
    EventRecord r;
    r.source = ManagerSource;
    r.type = type;
    r.id = id;
    r.strings.push_back(text);
    m_eventLog.write(r);
}

void Manager::startThreads()
{
    std::thread([this] { reapLoop(); }).detach();
    std::thread([this] { housekeepingLoop(); }).detach();
}

void Manager::startAutoStartServices()
{
    Lock lock(m_mutex);
    std::vector<std::shared_ptr<Service>> autoStart;
    for (const auto &entry : m_services)
        if (entry.second->record.startType == SERVICE_AUTO_START)
            autoStart.push_back(entry.second);
    for (const auto &svc : autoStart) {
        if (svc->removed || svc->status.dwCurrentState != SERVICE_STOPPED)
            continue;
        DWORD error = startLocked(lock, svc, {});
        if (error != ERROR_SUCCESS)
            logManagerEvent(EVENTLOG_ERROR_TYPE, 7000,
                            "The " + svc->record.name +
                                " service failed to start due to the following error: code " +
                                std::to_string(error));
    }
}

void Manager::shutdown()
{
    Lock lock(m_mutex);
    m_shuttingDown = true;
    m_changed.notify_all();
    // Services that asked for it get the shutdown control and a bounded
    // time to stop; whatever still runs after that is killed.
    std::vector<std::shared_ptr<ServiceProcess>> asked;
    for (const auto &entry : m_services) {
        const Service &svc = *entry.second;
        std::shared_ptr<ServiceProcess> proc = svc.process;
        if (!proc || !proc->started || proc->channel < 0 || proc->stoppedReported ||
            !(svc.status.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN))
            continue;
        svcwire::Writer msg;
        msg.u32(svcwire::ChControl).u32(++proc->controlSeq).u32(SERVICE_CONTROL_SHUTDOWN);
        if (svcwire::sendFrameNow(proc->channel, msg.data()))
            asked.push_back(proc);
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(svcconfig::shutdownTimeoutMs());
    m_changed.wait_until(lock, deadline, [&] {
        for (const auto &proc : asked)
            if (!proc->exited)
                return false;
        return true;
    });
    for (auto &child : m_children)
        killGroup(child.first);
}

Session::Handle *Manager::findHandle(Session &s, uint32_t id, bool isManager)
{
    auto it = s.handles.find(id);
    if (it == s.handles.end() || it->second.isManager != isManager)
        return nullptr;
    return &it->second;
}

std::shared_ptr<Service> Manager::findService(const std::string &name)
{
    auto it = m_services.find(svcwire::foldName(name));
    return it == m_services.end() ? nullptr : it->second;
}

DWORD Manager::openManager(Session &s, DWORD wanted, uint32_t *id)
{
    Lock lock(m_mutex);
    DWORD allowed = s.privileged ? DWORD(SC_MANAGER_ALL_ACCESS) : rights::ManagerUnprivileged;
    DWORD granted = 0;
    if (!rights::grant(rights::mapManager(wanted), allowed, SC_MANAGER_CONNECT, &granted))
        return ERROR_ACCESS_DENIED;
    *id = s.nextId++;
    s.handles[*id] = Session::Handle{true, granted, nullptr};
    return ERROR_SUCCESS;
}

DWORD Manager::openService(Session &s, uint32_t manager, const std::string &name, DWORD wanted,
                           uint32_t *id)
{
    Lock lock(m_mutex);
    if (!findHandle(s, manager, true))
        return ERROR_INVALID_HANDLE;
    if (!validName(name))
        return ERROR_INVALID_NAME;
    std::shared_ptr<Service> svc = findService(name);
    if (!svc)
        return ERROR_SERVICE_DOES_NOT_EXIST;
    DWORD allowed = s.privileged ? DWORD(SERVICE_ALL_ACCESS) : rights::ServiceUnprivileged;
    DWORD granted = 0;
    if (!rights::grant(rights::mapService(wanted), allowed, 0, &granted))
        return ERROR_ACCESS_DENIED;
    *id = s.nextId++;
    s.handles[*id] = Session::Handle{false, granted, svc};
    ++svc->openHandles;
    return ERROR_SUCCESS;
}

DWORD Manager::closeHandle(Session &s, uint32_t id)
{
    Lock lock(m_mutex);
    auto it = s.handles.find(id);
    if (it == s.handles.end())
        return ERROR_INVALID_HANDLE;
    std::shared_ptr<Service> svc = it->second.service;
    s.handles.erase(it);
    if (svc) {
        --svc->openHandles;
        removeIfDeleted(svc);
    }
    return ERROR_SUCCESS;
}

void Manager::closeSession(Session &s)
{
    Lock lock(m_mutex);
    for (auto &entry : s.handles) {
        if (std::shared_ptr<Service> svc = entry.second.service) {
            --svc->openHandles;
            removeIfDeleted(svc);
        }
    }
    s.handles.clear();
}

// A service marked for deletion goes once it is stopped and nobody holds a handle.
void Manager::removeIfDeleted(const std::shared_ptr<Service> &svc)
{
    if (svc->removed || !svc->record.markedForDelete || svc->openHandles > 0 ||
        svc->status.dwCurrentState != SERVICE_STOPPED)
        return;
    svc->removed = true;
    m_services.erase(svcwire::foldName(svc->record.name));
    std::string error;
    if (!saveLocked(&error))
        logManagerEvent(EVENTLOG_ERROR_TYPE, 7001, "Cannot save the service database: " + error);
}

DWORD Manager::createService(Session &s, uint32_t manager, const ServiceRecord &wanted,
                             bool hasName, bool hasPath, DWORD access, uint32_t *id)
{
    Lock lock(m_mutex);
    Session::Handle *mgr = findHandle(s, manager, true);
    if (!mgr)
        return ERROR_INVALID_HANDLE;
    if (!(mgr->granted & SC_MANAGER_CREATE_SERVICE))
        return ERROR_ACCESS_DENIED;
    if (!hasName || !validName(wanted.name))
        return ERROR_INVALID_NAME;
    if (!hasPath || wanted.binaryPath.empty())
        return ERROR_INVALID_PARAMETER;
    DWORD baseType = wanted.serviceType & ~DWORD(SERVICE_INTERACTIVE_PROCESS);
    bool interactive = wanted.serviceType & SERVICE_INTERACTIVE_PROCESS;
    if ((baseType != SERVICE_WIN32_OWN_PROCESS && baseType != 0x20) ||
        (interactive && !isLocalSystem(wanted.account)) || wanted.startType < SERVICE_AUTO_START ||
        wanted.startType > SERVICE_DISABLED || wanted.errorControl > 3)
        return ERROR_INVALID_PARAMETER;
    if (std::shared_ptr<Service> existing = findService(wanted.name))
        return existing->record.markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                : ERROR_SERVICE_EXISTS;
    DWORD granted = 0;
    if (!rights::grant(rights::mapService(access), SERVICE_ALL_ACCESS, 0, &granted))
        return ERROR_ACCESS_DENIED;

    auto svc = std::make_shared<Service>();
    svc->record = wanted;
    if (svc->record.displayName.empty())
        svc->record.displayName = wanted.name;
    if (isLocalSystem(svc->record.account)) {
        svc->record.account = "LocalSystem";
        svc->record.hasPassword = false;
    }
    svc->record.hasDescription = false;
    svc->record.description.clear();
    svc->record.markedForDelete = false;
    svc->status = stoppedStatus(wanted.serviceType, ERROR_SERVICE_NEVER_STARTED);
    const std::string key = svcwire::foldName(wanted.name);
    m_services[key] = svc;
    std::string error;
    if (!saveLocked(&error)) {
        m_services.erase(key);
        logManagerEvent(EVENTLOG_ERROR_TYPE, 7001, "Cannot save the service database: " + error);
        return ERROR_REGISTRY_IO_FAILED;
    }
    *id = s.nextId++;
    s.handles[*id] = Session::Handle{false, granted, svc};
    ++svc->openHandles;
    return ERROR_SUCCESS;
}

DWORD Manager::deleteService(Session &s, uint32_t id)
{
    Lock lock(m_mutex);
    Session::Handle *h = findHandle(s, id, false);
    if (!h)
        return ERROR_INVALID_HANDLE;
    if (!(h->granted & DELETE))
        return ERROR_ACCESS_DENIED;
    Service &svc = *h->service;
    if (svc.record.markedForDelete)
        return ERROR_SERVICE_MARKED_FOR_DELETE;
    svc.record.markedForDelete = true;
    std::string error;
    if (!saveLocked(&error)) {
        svc.record.markedForDelete = false;
        logManagerEvent(EVENTLOG_ERROR_TYPE, 7001, "Cannot save the service database: " + error);
        return ERROR_REGISTRY_IO_FAILED;
    }
    return ERROR_SUCCESS;
}

DWORD Manager::changeDescription(Session &s, uint32_t id, bool present, const std::string &text)
{
    Lock lock(m_mutex);
    Session::Handle *h = findHandle(s, id, false);
    if (!h)
        return ERROR_INVALID_HANDLE;
    if (!(h->granted & SERVICE_CHANGE_CONFIG))
        return ERROR_ACCESS_DENIED;
    if (!present)
        return ERROR_SUCCESS; // a null text leaves the description as it is
    ServiceRecord &r = h->service->record;
    const ServiceRecord before = r;
    r.hasDescription = !text.empty();
    r.description = text;
    std::string error;
    if (!saveLocked(&error)) {
        r = before;
        logManagerEvent(EVENTLOG_ERROR_TYPE, 7001, "Cannot save the service database: " + error);
        return ERROR_REGISTRY_IO_FAILED;
    }
    return ERROR_SUCCESS;
}

DWORD Manager::queryConfig(Session &s, uint32_t id, ServiceRecord *record)
{
    Lock lock(m_mutex);
    Session::Handle *h = findHandle(s, id, false);
    if (!h)
        return ERROR_INVALID_HANDLE;
    if (!(h->granted & SERVICE_QUERY_CONFIG))
        return ERROR_ACCESS_DENIED;
    *record = h->service->record;
    return ERROR_SUCCESS;
}

DWORD Manager::queryStatus(Session &s, uint32_t id, SERVICE_STATUS *status)
{
    Lock lock(m_mutex);
    Session::Handle *h = findHandle(s, id, false);
    if (!h)
        return ERROR_INVALID_HANDLE;
    if (!(h->granted & SERVICE_QUERY_STATUS))
        return ERROR_ACCESS_DENIED;
    *status = h->service->status;
    return ERROR_SUCCESS;
}

DWORD Manager::startService(Session &s, uint32_t id, const std::vector<std::string> &args)
{
    Lock lock(m_mutex);
    Session::Handle *h = findHandle(s, id, false);
    if (!h)
        return ERROR_INVALID_HANDLE;
    if (!(h->granted & SERVICE_START))
        return ERROR_ACCESS_DENIED;
    std::shared_ptr<Service> svc = h->service;
    if (svc->record.markedForDelete)
        return ERROR_SERVICE_MARKED_FOR_DELETE;
    if (svc->record.startType == SERVICE_DISABLED)
        return ERROR_SERVICE_DISABLED;
    if (svc->status.dwCurrentState != SERVICE_STOPPED)
        return ERROR_SERVICE_ALREADY_RUNNING;
    return startLocked(lock, svc, args);
}

DWORD Manager::startLocked(Lock &lock, const std::shared_ptr<Service> &svc,
                           const std::vector<std::string> &args)
{
    SERVICE_STATUS pending{};
    pending.dwServiceType = svc->record.serviceType;
    pending.dwCurrentState = SERVICE_START_PENDING;
    const SERVICE_STATUS before = svc->status;
    svc->status = pending;

    Launched launched;
    DWORD error = launchService(svc->record.binaryPath, m_dir, &launched);
    if (error != ERROR_SUCCESS) {
        svc->status = stoppedStatus(before.dwServiceType, error);
        logManagerEvent(EVENTLOG_ERROR_TYPE, 7000,
                        "The " + svc->record.name +
                            " service failed to start: its program could not be run (code " +
                            std::to_string(error) + ")");
        return error;
    }
    auto proc = std::make_shared<ServiceProcess>();
    proc->pid = launched.pid;
    proc->channel = launched.channel;
    proc->token = launched.token;
    proc->startArgs.push_back(svc->record.name);
    proc->startArgs.insert(proc->startArgs.end(), args.begin(), args.end());
    svc->process = proc;
    m_children[proc->pid] = Child{svc, proc};
    try {
        std::thread([this, svc, proc] { readChannel(svc, proc); }).detach();
    } catch (const std::system_error &) {
        // Out of threads: the service could never be heard, so it does not run.
        killGroup(proc->pid);
        proc->killed = true;
        ::close(proc->channel);
        proc->channel = -1;
        svc->process = nullptr;
        svc->status = stoppedStatus(svc->record.serviceType, ERROR_SERVICE_REQUEST_TIMEOUT);
        return ERROR_SERVICE_REQUEST_TIMEOUT;
    }

    const auto deadline = Clock::now() + std::chrono::milliseconds(svcconfig::startTimeoutMs());
    m_changed.wait_until(lock, deadline,
                         [&] { return proc->started || proc->finished || m_shuttingDown; });
    if (proc->started)
        return ERROR_SUCCESS;
    if (proc->finished)
        return ERROR_PROCESS_ABORTED; // it ended before its dispatcher took the start
    killGroup(proc->pid);
    proc->killed = true;
    if (svc->process == proc) {
        svc->process = nullptr;
        svc->status = stoppedStatus(svc->record.serviceType, ERROR_SERVICE_REQUEST_TIMEOUT);
    }
    logManagerEvent(EVENTLOG_ERROR_TYPE, 7009,
                    "A timeout was reached while waiting for the " + svc->record.name +
                        " service to connect.");
    removeIfDeleted(svc);
    m_changed.notify_all();
    return ERROR_SERVICE_REQUEST_TIMEOUT;
}

void Manager::readChannel(std::shared_ptr<Service> svc, std::shared_ptr<ServiceProcess> proc)
{
    int fd;
    {
        Lock lock(m_mutex);
        fd = proc->channel;
    }
    std::string frame;
    for (;;) {
        bool wasDead;
        {
            Lock lock(m_mutex);
            wasDead = proc->exited;
        }
        pollfd p{fd, POLLIN, 0};
        int n = ::poll(&p, 1, 100);
        if (n < 0 && errno != EINTR)
            break;
        if (n == 0) {
            // Dead before the poll and nothing left: all it ever wrote has been read,
            // even if a child of it still holds the channel open.
            if (wasDead)
                break;
            continue;
        }
        if (n < 0 || !svcwire::recvFrame(fd, &frame))
            break;
        Lock lock(m_mutex);
        bool keep = true;
        onChannelMessage(svc, proc, frame, &keep);
        if (!keep)
            break;
    }
    Lock lock(m_mutex);
    proc->channel = -1;
    ::close(fd);
    if (proc->exited)
        finish(svc, proc);
    m_changed.notify_all();
}

// A process is done once it has been reaped and its last reports read; only
// then can we tell a crash from a service that reported SERVICE_STOPPED and left.
void Manager::finish(const std::shared_ptr<Service> &svc,
                     const std::shared_ptr<ServiceProcess> &proc)
{
    if (proc->finished)
        return;
    proc->finished = true;
    if (svc && svc->process == proc) {
        svc->process = nullptr;
        if (!proc->stoppedReported) {
            svc->status = stoppedStatus(svc->record.serviceType, ERROR_PROCESS_ABORTED);
            logManagerEvent(EVENTLOG_ERROR_TYPE, 7034,
                            "The " + svc->record.name + " service terminated unexpectedly.");
        }
        removeIfDeleted(svc);
    }
    m_changed.notify_all();
}

void Manager::onChannelMessage(const std::shared_ptr<Service> &svc,
                               const std::shared_ptr<ServiceProcess> &proc,
                               const std::string &frame, bool *keep)
{
    svcwire::Reader r(frame);
    uint32_t kind = 0;
    if (!r.u32(&kind)) {
        *keep = false;
        return;
    }
    // Until the dispatcher has proved it holds our token, it may only say hello.
    if (!proc->connected && kind != svcwire::ChHello) {
        *keep = false;
        return;
    }
    switch (kind) {
    case svcwire::ChHello: {
        std::string token;
        uint32_t pid = 0;
        if (proc->connected || !r.str(&token) || !r.u32(&pid) || token != proc->token) {
            *keep = false;
            return;
        }
        proc->connected = true;
        svcwire::Writer start;
        start.u32(svcwire::ChStart).u32(uint32_t(proc->startArgs.size()));
        for (const std::string &a : proc->startArgs)
            start.str(a);
        if (!svcwire::sendFrameNow(proc->channel, start.data()))
            *keep = false;
        return;
    }
    case svcwire::ChStarted:
        proc->started = true;
        break;
    case svcwire::ChStatus: {
        uint32_t f[7];
        for (uint32_t &v : f)
            if (!r.u32(&v)) {
                *keep = false;
                return;
            }
        if (svc->process != proc || proc->stoppedReported)
            return; // a process we no longer count on
        svc->status = SERVICE_STATUS{f[0], f[1], f[2], f[3], f[4], f[5], f[6]};
        if (f[1] == SERVICE_STOPPED) {
            proc->stoppedReported = true;
            proc->killAt = Clock::now() + std::chrono::milliseconds(svcconfig::stopGraceMs());
            removeIfDeleted(svc);
        }
        break;
    }
    case svcwire::ChControlDone: {
        uint32_t seq = 0;
        if (!r.u32(&seq)) {
            *keep = false;
            return;
        }
        if (seq > proc->doneSeq)
            proc->doneSeq = seq;
        break;
    }
    default:
        *keep = false;
        return;
    }
    m_changed.notify_all();
}

DWORD Manager::controlService(Session &s, uint32_t id, DWORD control, SERVICE_STATUS *status,
                              bool *statusFilled)
{
    Lock lock(m_mutex);
    *statusFilled = false;
    Session::Handle *h = findHandle(s, id, false);
    if (!h)
        return ERROR_INVALID_HANDLE;
    DWORD right = 0;
    switch (control) {
    case SERVICE_CONTROL_STOP:
        right = SERVICE_STOP;
        break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
        right = SERVICE_PAUSE_CONTINUE;
        break;
    case SERVICE_CONTROL_INTERROGATE:
        right = SERVICE_INTERROGATE;
        break;
    default:
        if (control < 128 || control > 255)
            return ERROR_INVALID_PARAMETER;
        right = SERVICE_USER_DEFINED_CONTROL;
    }
    if (!(h->granted & right))
        return ERROR_ACCESS_DENIED;
    std::shared_ptr<Service> svc = h->service;

    // One control at a time per service.
    m_changed.wait(lock, [&] { return !svc->controlBusy || m_shuttingDown; });
    if (m_shuttingDown)
        return RPC_S_SERVER_UNAVAILABLE;
    *status = svc->status;
    *statusFilled = true;
    const DWORD state = svc->status.dwCurrentState;
    const DWORD accepted = svc->status.dwControlsAccepted;
    std::shared_ptr<ServiceProcess> proc = svc->process;
    if (state == SERVICE_STOPPED || !proc)
        return ERROR_SERVICE_NOT_ACTIVE;
    if ((state == SERVICE_START_PENDING && control != SERVICE_CONTROL_STOP) ||
        state == SERVICE_STOP_PENDING)
        return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    if ((control == SERVICE_CONTROL_STOP && !(accepted & SERVICE_ACCEPT_STOP)) ||
        ((control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE) &&
         !(accepted & SERVICE_ACCEPT_PAUSE_CONTINUE)))
        return ERROR_INVALID_SERVICE_CONTROL;

    svc->controlBusy = true;
    const uint32_t seq = ++proc->controlSeq;
    DWORD result = ERROR_SUCCESS;
    if (proc->channel < 0 || !proc->started ||
        !svcwire::sendFrameNow(
            proc->channel,
            svcwire::Writer().u32(svcwire::ChControl).u32(seq).u32(control).data())) {
        result = ERROR_SERVICE_REQUEST_TIMEOUT;
    } else {
        const auto deadline =
            Clock::now() + std::chrono::milliseconds(svcconfig::controlTimeoutMs());
        bool answered = m_changed.wait_until(lock, deadline, [&] {
            return proc->doneSeq >= seq || proc->finished || proc->channel < 0 || m_shuttingDown;
        });
        if (!answered) {
            result = ERROR_SERVICE_REQUEST_TIMEOUT;
        } else if (proc->doneSeq < seq && !proc->finished) {
            // The channel broke while the handler ran: the process is ending;
            // let the reaper record how, so the answer carries its status.
            m_changed.wait_for(lock, std::chrono::seconds(2),
                               [&] { return proc->finished || m_shuttingDown; });
        }
    }
    svc->controlBusy = false;
    *status = svc->status;
    m_changed.notify_all();
    return result;
}

void Manager::reapLoop()
{
    for (;;) {
        int wstatus = 0;
        pid_t pid = ::waitpid(-1, &wstatus, 0);
        if (pid < 0) {
            // No children at the moment; look again shortly.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        Lock lock(m_mutex);
        auto it = m_children.find(pid);
        if (it == m_children.end())
            continue; // a child whose launch failed
        std::shared_ptr<ServiceProcess> proc = it->second.process;
        std::shared_ptr<Service> svc = it->second.service.lock();
        m_children.erase(it);
        proc->exited = true;
        if (proc->channel < 0)
            finish(svc, proc);
        m_changed.notify_all();
    }
}

void Manager::housekeepingLoop()
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Lock lock(m_mutex);
        const auto now = Clock::now();
        for (auto &child : m_children) {
            ServiceProcess &proc = *child.second.process;
            if (!proc.killed && now >= proc.killAt) {
                // It reported SERVICE_STOPPED and had its grace to exit.
                killGroup(proc.pid);
                proc.killed = true;
            }
        }
    }
}
