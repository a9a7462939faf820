#include "manager.h"

#include "access.h"
#include "config.h"
#include "wire.h"

#include <algorithm>
#include <unistd.h>

namespace {

bool validName(const std::string &name)
{
    return !name.empty() && svcwire::fromUtf8(name).size() <= 256 &&
           name.find('/') == std::string::npos && name.find('\\') == std::string::npos;
}

bool validConfig(const ServiceRecord &r)
{
    const DWORD baseType = r.serviceType & ~DWORD(SERVICE_INTERACTIVE_PROCESS);
    const bool interactive = r.serviceType & SERVICE_INTERACTIVE_PROCESS;
    // Only the local system account may interact with the desktop.
    return (baseType == SERVICE_WIN32_OWN_PROCESS || baseType == SERVICE_WIN32_SHARE_PROCESS) &&
           (!interactive || isLocalSystem(r.account)) && r.startType >= SERVICE_AUTO_START &&
           r.startType <= SERVICE_DISABLED && r.errorControl <= 3;
}

// What the peer's groups were given on the service, by the groups the kernel
// saw on the connection, never by the member lists of the group file.
DWORD groupRights(const Peer &peer, const Service &svc)
{
    DWORD granted = 0;
    for (const auto &g : svc.record.groupAccess) {
        auto gid = svc.grantedGids.find(g.first);
        if (gid != svc.grantedGids.end() && peer.inGroup(gid->second))
            granted |= g.second;
    }
    return granted;
}

// A display name another service already has as its name or display name.
bool displayNameTaken(const std::map<std::string, std::shared_ptr<Service>> &services,
                      const Service &self, const std::string &displayName)
{
    const std::string folded = svcwire::foldName(displayName);
    for (const auto &entry : services) {
        const ServiceRecord &r = entry.second->record;
        if (entry.second.get() != &self &&
            (entry.first == folded || svcwire::foldName(r.displayName) == folded))
            return true;
    }
    return false;
}

} // namespace

SERVICE_STATUS stoppedStatus(DWORD type, DWORD exitCode)
{
    SERVICE_STATUS s{};
    s.dwServiceType = type;
    s.dwCurrentState = SERVICE_STOPPED;
    s.dwWin32ExitCode = exitCode;
    return s;
}

Manager::Manager(std::string stateDir)
    : m_dir(std::move(stateDir)), m_eventLog(m_dir + "/events.log", svcconfig::eventLogMaxBytes())
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
        // Nobody waits for the lock yet: the groups are looked up here once.
        for (const auto &g : r.groupAccess) {
            gid_t gid = 0;
            if (lookupGroup(g.first, &gid))
                svc->grantedGids[g.first] = gid;
        }
        m_services[svcwire::foldName(r.name)] = svc;
    }
    publishGrantedGroupsLocked();
    return !dropped || saveLocked(error);
}

void Manager::publishGrantedGroupsLocked()
{
    std::vector<gid_t> gids;
    for (const auto &entry : m_services)
        for (const auto &g : entry.second->grantedGids)
            gids.push_back(g.second);
    std::sort(gids.begin(), gids.end());
    gids.erase(std::unique(gids.begin(), gids.end()), gids.end());
    std::lock_guard<std::mutex> lock(m_grantedMutex);
    m_grantedGids.swap(gids);
}

bool Manager::holdsRights(const Peer &peer)
{
    std::lock_guard<std::mutex> lock(m_grantedMutex);
    for (gid_t gid : m_grantedGids)
        if (peer.inGroup(gid))
            return true;
    return false;
}

bool Manager::saveLocked(std::string *error)
{
    std::vector<ServiceRecord> records;
    for (const auto &entry : m_services)
        records.push_back(entry.second->record);
    return saveDatabase(m_dir + "/services.db", records, error);
}

DWORD Manager::saveOrUndo(const std::function<void()> &undo)
{
    std::string error;
    if (saveLocked(&error))
        return ERROR_SUCCESS;
    undo();
    logManagerEvent(EVENTLOG_ERROR_TYPE, EventSaveFailed,
                    "Cannot save the service database: " + error);
    return ERROR_REGISTRY_IO_FAILED;
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

DWORD Manager::withHandle(Session &s, uint32_t id, bool isManager, DWORD right, const HandleOp &op)
{
    Lock lock(m_mutex);
    auto it = s.handles.find(id);
    if (it == s.handles.end() || it->second.isManager != isManager)
        return ERROR_INVALID_HANDLE;
    if ((it->second.granted & right) != right)
        return ERROR_ACCESS_DENIED;
    if (!isManager)
        catchUpLocked(it->second.service);
    return op(lock, it->second);
}

DWORD Manager::addHandle(Session &s, bool isManager, DWORD granted,
                         const std::shared_ptr<Service> &svc, uint32_t *id)
{
    if (s.handles.size() >= MaxHandlesPerConnection)
        return ERROR_NOT_ENOUGH_QUOTA;
    *id = s.nextId++;
    s.handles[*id] = Session::Handle{isManager, granted, svc};
    if (svc)
        ++svc->openHandles;
    return ERROR_SUCCESS;
}

std::shared_ptr<Service> Manager::findService(const std::string &name)
{
    auto it = m_services.find(svcwire::foldName(name));
    return it == m_services.end() ? nullptr : it->second;
}

DWORD Manager::openManager(Session &s, DWORD wanted, uint32_t *id)
{
    Lock lock(m_mutex);
    DWORD allowed =
        s.peer.privileged() ? DWORD(SC_MANAGER_ALL_ACCESS) : rights::ManagerUnprivileged;
    DWORD granted = 0;
    if (!rights::grant(rights::mapManager(wanted), allowed, SC_MANAGER_CONNECT, &granted))
        return ERROR_ACCESS_DENIED;
    return addHandle(s, true, granted, nullptr, id);
}

DWORD Manager::openService(Session &s, uint32_t manager, const std::string &name, DWORD wanted,
                           uint32_t *id)
{
    return withHandle(s, manager, true, 0, [&](Lock &, Session::Handle &) -> DWORD {
        if (!validName(name))
            return ERROR_INVALID_NAME;
        std::shared_ptr<Service> svc = findService(name);
        if (!svc)
            return ERROR_SERVICE_DOES_NOT_EXIST;
        const DWORD allowed = s.peer.privileged()
                                  ? DWORD(SERVICE_ALL_ACCESS)
                                  : rights::ServiceUnprivileged | groupRights(s.peer, *svc);
        DWORD granted = 0;
        if (!rights::grant(rights::mapService(wanted), allowed, 0, &granted))
            return ERROR_ACCESS_DENIED;
        return addHandle(s, false, granted, svc, id);
    });
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
    if (!svc->grantedGids.empty())
        publishGrantedGroupsLocked();
    saveOrUndo([] {}); // the next save writes it without the service anyway
}

DWORD Manager::createService(Session &s, uint32_t manager, const ServiceRecord &wanted,
                             bool hasName, bool hasPath, DWORD access, uint32_t *id)
{
    if (DWORD error = checkHandle(s, manager, true, SC_MANAGER_CREATE_SERVICE))
        return error;
    // Looked up before the lock is taken: NSS may be slow.
    const bool accountKnown = accountExists(wanted.account);
    return withHandle(
        s, manager, true, SC_MANAGER_CREATE_SERVICE, [&](Lock &, Session::Handle &) -> DWORD {
            if (!hasName || !validName(wanted.name))
                return ERROR_INVALID_NAME;
            if (!hasPath || wanted.binaryPath.empty() || !validConfig(wanted))
                return ERROR_INVALID_PARAMETER;
            if (std::shared_ptr<Service> existing = findService(wanted.name))
                return existing->record.markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                        : ERROR_SERVICE_EXISTS;
            if (!accountKnown)
                return ERROR_INVALID_SERVICE_ACCOUNT;
            DWORD granted = 0;
            if (!rights::grant(rights::mapService(access), SERVICE_ALL_ACCESS, 0, &granted))
                return ERROR_ACCESS_DENIED;
            if (s.handles.size() >= MaxHandlesPerConnection)
                return ERROR_NOT_ENOUGH_QUOTA;

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
            if (DWORD error = saveOrUndo([&] { m_services.erase(key); }))
                return error;
            return addHandle(s, false, granted, svc, id);
        });
}

DWORD Manager::deleteService(Session &s, uint32_t id)
{
    return withService(s, id, DELETE, [&](Lock &, Session::Handle &h) -> DWORD {
        ServiceRecord &r = h.service->record;
        if (r.markedForDelete)
            return ERROR_SERVICE_MARKED_FOR_DELETE;
        r.markedForDelete = true;
        return saveOrUndo([&] { r.markedForDelete = false; });
    });
}

DWORD Manager::changeConfig(Session &s, uint32_t id, const ConfigChange &change)
{
    if (DWORD error = checkHandle(s, id, false, SERVICE_CHANGE_CONFIG))
        return error;
    const bool accountKnown = !change.hasAccount || accountExists(change.account);
    return withService(s, id, SERVICE_CHANGE_CONFIG, [&](Lock &, Session::Handle &h) -> DWORD {
        Service &svc = *h.service;
        ServiceRecord &r = svc.record;
        if (r.markedForDelete)
            return ERROR_SERVICE_MARKED_FOR_DELETE;
        ServiceRecord next = r;
        if (change.serviceType != SERVICE_NO_CHANGE)
            next.serviceType = change.serviceType;
        if (change.startType != SERVICE_NO_CHANGE)
            next.startType = change.startType;
        if (change.errorControl != SERVICE_NO_CHANGE)
            next.errorControl = change.errorControl;
        if (change.hasPath)
            next.binaryPath = change.path;
        if (change.hasAccount)
            next.account = isLocalSystem(change.account) ? "LocalSystem" : change.account;
        if (change.hasPassword)
            next.hasPassword = change.passwordGiven;
        if (isLocalSystem(next.account))
            next.hasPassword = false;
        if (change.hasDisplayName)
            next.displayName = change.displayName.empty() ? r.name : change.displayName;
        // The result as a whole must be a configuration the manager could have been given.
        if (change.hasTag || next.binaryPath.empty() || !validConfig(next))
            return ERROR_INVALID_PARAMETER;
        if (!accountKnown)
            return ERROR_INVALID_SERVICE_ACCOUNT;
        if (change.hasDisplayName && displayNameTaken(m_services, svc, next.displayName))
            return ERROR_DUPLICATE_SERVICE_NAME;
        const ServiceRecord before = r;
        r = next;
        return saveOrUndo([&] { r = before; });
    });
}

DWORD Manager::changeFailureActions(Session &s, uint32_t id, const FailureActionsChange &change)
{
    return withService(s, id, SERVICE_CHANGE_CONFIG, [&](Lock &, Session::Handle &h) -> DWORD {
        bool restarts = false;
        for (const RecoveryAction &a : change.actions) {
            if (a.type > SC_ACTION_RUN_COMMAND)
                return ERROR_INVALID_PARAMETER;
            restarts = restarts || a.type == SC_ACTION_RESTART;
        }
        // Whoever sets a restart must be allowed to start the service.
        if (restarts && !(h.granted & SERVICE_START))
            return ERROR_ACCESS_DENIED;
        ServiceRecord &r = h.service->record;
        const ServiceRecord before = r;
        if (change.hasActions) {
            r.failureActions = change.actions;
            r.resetPeriod = change.resetPeriod;
        }
        if (change.hasRebootMessage)
            r.rebootMessage = change.rebootMessage;
        if (change.hasCommand)
            r.failureCommand = change.command;
        return saveOrUndo([&] { r = before; });
    });
}

DWORD Manager::changeDescription(Session &s, uint32_t id, bool present, const std::string &text)
{
    return withService(s, id, SERVICE_CHANGE_CONFIG, [&](Lock &, Session::Handle &h) -> DWORD {
        if (!present)
            return ERROR_SUCCESS; // a null text leaves the description as it is
        ServiceRecord &r = h.service->record;
        const ServiceRecord before = r;
        r.hasDescription = !text.empty();
        r.description = text;
        return saveOrUndo([&] { r = before; });
    });
}

DWORD Manager::setGroupAccess(Session &s, uint32_t id, const std::string &group, DWORD access)
{
    if (DWORD error = checkHandle(s, id, false, WRITE_DAC))
        return error;
    if ((access & ~DWORD(SERVICE_GROUP_OPERATOR_ACCESS)) || !validGroupName(group))
        return ERROR_INVALID_PARAMETER;
    gid_t gid = 0;
    // Looked up before the lock is taken: NSS may be slow. A group that is gone
    // can still lose its rights.
    const bool known = lookupGroup(group, &gid);
    if (access && !known)
        return ERROR_NONE_MAPPED;
    return withService(s, id, WRITE_DAC, [&](Lock &, Session::Handle &h) -> DWORD {
        Service &svc = *h.service;
        std::map<std::string, uint32_t> &groups = svc.record.groupAccess;
        const std::map<std::string, uint32_t> before = groups;
        const std::map<std::string, gid_t> gidsBefore = svc.grantedGids;
        if (access) {
            groups[group] = access;
            svc.grantedGids[group] = gid;
        } else {
            groups.erase(group);
            svc.grantedGids.erase(group);
        }
        const DWORD error = saveOrUndo([&] {
            groups = before;
            svc.grantedGids = gidsBefore;
        });
        publishGrantedGroupsLocked();
        return error;
    });
}

DWORD Manager::queryGroupAccess(Session &s, uint32_t id, std::map<std::string, uint32_t> *groups)
{
    return withService(s, id, READ_CONTROL, [&](Lock &, Session::Handle &h) -> DWORD {
        *groups = h.service->record.groupAccess;
        return ERROR_SUCCESS;
    });
}

DWORD Manager::queryConfig(Session &s, uint32_t id, ServiceRecord *record)
{
    return withService(s, id, SERVICE_QUERY_CONFIG, [&](Lock &, Session::Handle &h) -> DWORD {
        *record = h.service->record;
        return ERROR_SUCCESS;
    });
}

DWORD Manager::queryStatus(Session &s, uint32_t id, SERVICE_STATUS *status)
{
    return withService(s, id, SERVICE_QUERY_STATUS, [&](Lock &, Session::Handle &h) -> DWORD {
        *status = h.service->status;
        return ERROR_SUCCESS;
    });
}

DWORD Manager::startService(Session &s, uint32_t id, const std::vector<std::string> &args)
{
    return withService(s, id, SERVICE_START, [&](Lock &lock, Session::Handle &h) -> DWORD {
        std::shared_ptr<Service> svc = h.service;
        return startAsAccount(lock, svc, args, [&]() -> DWORD {
            if (svc->record.markedForDelete)
                return ERROR_SERVICE_MARKED_FOR_DELETE;
            if (svc->record.startType == SERVICE_DISABLED)
                return ERROR_SERVICE_DISABLED;
            if (svc->status.dwCurrentState != SERVICE_STOPPED)
                return ERROR_SERVICE_ALREADY_RUNNING;
            // Started by hand: a restart still waiting for its delay is not needed.
            ++svc->recoveryTicket;
            return ERROR_SUCCESS;
        });
    });
}

DWORD Manager::controlService(Session &s, uint32_t id, DWORD control, SERVICE_STATUS *status,
                              bool *statusFilled)
{
    *statusFilled = false;
    // The code is checked before the right, so a bad one is 87 whatever the handle holds.
    const DWORD right = rights::forControl(control);
    return withService(s, id, 0, [&](Lock &lock, Session::Handle &h) -> DWORD {
        if (!right)
            return ERROR_INVALID_PARAMETER;
        if (!(h.granted & right))
            return ERROR_ACCESS_DENIED;
        return controlLocked(lock, h.service, control, status, statusFilled);
    });
}

// The service whose process (or a process of its session: a service leads its
// own) is the peer; only while that process is the one that connected.
std::shared_ptr<Service> Manager::serviceOfPeer(const Peer &peer)
{
    const pid_t session = ::getsid(peer.pid());
    for (const auto &child : m_children) {
        const ServiceProcess &proc = *child.second.process;
        if (proc.exited || (proc.pid != peer.pid() && proc.pid != session))
            continue;
        std::shared_ptr<Service> svc = child.second.service.lock();
        return svc && peer.processAlive() ? svc : nullptr;
    }
    return nullptr;
}

DWORD Manager::reportEvent(Session &s, EventRecord record)
{
    {
        Lock lock(m_mutex);
        if (std::shared_ptr<Service> svc = serviceOfPeer(s.peer))
            record.source = svc->record.name;
        else if (!s.peer.privileged())
            return ERROR_ACCESS_DENIED;
    }
    m_eventLog.write(record);
    return ERROR_SUCCESS;
}
