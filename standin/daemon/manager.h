// The service control manager's state and operations: the service database,
// the running service processes with their channels, the handles clients hold.
// Client operations live in manager.cpp, the running processes in processes.cpp.
#pragma once

#include "account.h"
#include "database.h"
#include "eventlog.h"
#include "peer.h"
#include "svcmgr_api.h"
#include "watcher.h"
#include "wire.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

using Clock = std::chrono::steady_clock;

// One launched process of a service, from fork until it has been reaped.
struct ServiceProcess
{
    pid_t pid = 0;
    int channel = -1; // our end of the socket pair; -1 once closed
    svcwire::FrameReader reader;
    std::string token;
    std::vector<std::string> startArgs;
    bool connected = false; // the dispatcher said hello with the right token
    bool started = false;   // the service's entry thread exists
    bool stoppedReported = false;
    bool exited = false;   // reaped
    bool finished = false; // reaped and its channel read to the end
    bool killed = false;
    Clock::time_point killAt = Clock::time_point::max();
    uint32_t controlSeq = 0;
    uint32_t doneSeq = 0;
    bool stopAsked = false; // a client asked it to stop
};

struct Service
{
    ServiceRecord record;
    SERVICE_STATUS status{};
    std::shared_ptr<ServiceProcess> process; // the current one, null when none
    int openHandles = 0;
    bool controlBusy = false;
    bool removed = false;
    // The ids of the groups given rights, looked up when they were given (or when
    // the daemon started), so that opening a handle needs no look-up.
    std::map<std::string, gid_t> grantedGids;
    // Failures since the count was last reset, for the failure actions.
    uint32_t failures = 0;
    Clock::time_point lastFailure;
    // A pending restart goes ahead only while this has not moved on.
    uint64_t recoveryTicket = 0;
};

// ChangeServiceConfigW's arguments: SERVICE_NO_CHANGE and absent strings leave things as they are.
struct ConfigChange
{
    uint32_t serviceType = SERVICE_NO_CHANGE;
    uint32_t startType = SERVICE_NO_CHANGE;
    uint32_t errorControl = SERVICE_NO_CHANGE;
    bool hasPath = false;
    std::string path;
    bool hasTag = false; // a tag is asked for, which only drivers have
    bool hasAccount = false;
    std::string account;
    bool hasPassword = false;
    bool passwordGiven = false; // not empty
    bool hasDisplayName = false;
    std::string displayName;
};

// ChangeServiceConfig2W's failure actions: absent parts stay as they are, and the
// reset period changes only with the actions.
struct FailureActionsChange
{
    uint32_t resetPeriod = 0;
    bool hasRebootMessage = false;
    std::string rebootMessage;
    bool hasCommand = false;
    std::string command;
    bool hasActions = false;
    std::vector<RecoveryAction> actions;
};

// A client's connection: its credentials and the handles it opened.
struct Session
{
    Peer peer;
    struct Handle
    {
        bool isManager = false;
        DWORD granted = 0;
        std::shared_ptr<Service> service;
    };
    std::map<uint32_t, Handle> handles;
    uint32_t nextId = 1;
};

SERVICE_STATUS stoppedStatus(DWORD type, DWORD exitCode);

class Manager
{
public:
    // What one connection may hold, so that no client can make the daemon grow without bound.
    static constexpr size_t MaxHandlesPerConnection = 256;

    explicit Manager(std::string stateDir);

    bool load(std::string *error);
    // Background work: reaping children, reading channels, killing processes past their grace.
    bool startThreads(std::string *error);
    void startAutoStartServices();
    // Kills every service process; the daemon is going away.
    void shutdown();

    // Client operations; each returns a last-error code, 0 on success.
    DWORD openManager(Session &s, DWORD access, uint32_t *id);
    DWORD openService(Session &s, uint32_t manager, const std::string &name, DWORD access,
                      uint32_t *id);
    DWORD closeHandle(Session &s, uint32_t id);
    DWORD createService(Session &s, uint32_t manager, const ServiceRecord &wanted, bool hasName,
                        bool hasPath, DWORD access, uint32_t *id);
    DWORD deleteService(Session &s, uint32_t id);
    DWORD changeConfig(Session &s, uint32_t id, const ConfigChange &change);
    DWORD changeDescription(Session &s, uint32_t id, bool present, const std::string &text);
    DWORD changeFailureActions(Session &s, uint32_t id, const FailureActionsChange &change);
    DWORD queryConfig(Session &s, uint32_t id, ServiceRecord *record);
    DWORD queryStatus(Session &s, uint32_t id, SERVICE_STATUS *status);
    DWORD startService(Session &s, uint32_t id, const std::vector<std::string> &args);
    DWORD controlService(Session &s, uint32_t id, DWORD control, SERVICE_STATUS *status,
                         bool *statusFilled);
    DWORD setGroupAccess(Session &s, uint32_t id, const std::string &group, DWORD access);
    DWORD queryGroupAccess(Session &s, uint32_t id, std::map<std::string, uint32_t> *groups);
    void closeSession(Session &s);
    // Whether the peer is a member of a group given rights on some service, by the
    // groups the kernel reported for it; takes no look-up and not the global lock.
    bool holdsRights(const Peer &peer);
    // A record for the event log: from root, the daemon's user, or one of our
    // services' processes, whose records carry the service's name as their source.
    DWORD reportEvent(Session &s, EventRecord record);

private:
    using Lock = std::unique_lock<std::mutex>;
    using HandleOp = std::function<DWORD(Lock &, Session::Handle &)>;

    // Every operation on a handle starts the same way: take the lock, find the
    // caller's handle of the right kind (else 6), check that it holds right (else 5).
    DWORD withHandle(Session &s, uint32_t id, bool isManager, DWORD right, const HandleOp &op);
    DWORD withService(Session &s, uint32_t id, DWORD right, const HandleOp &op)
    {
        return withHandle(s, id, false, right, op);
    }
    // Only the first checks, for an operation that must look something up before it
    // takes the lock (and then checks again).
    DWORD checkHandle(Session &s, uint32_t id, bool isManager, DWORD right)
    {
        return withHandle(s, id, isManager, right, [](Lock &, Session::Handle &) { return 0u; });
    }
    // Adds a handle to the session; ERROR_NOT_ENOUGH_QUOTA when it holds its share.
    DWORD addHandle(Session &s, bool isManager, DWORD granted, const std::shared_ptr<Service> &svc,
                    uint32_t *id);
    // The groups given rights on any service, for holdsRights(); after each change of them.
    void publishGrantedGroupsLocked();
    std::shared_ptr<Service> findService(const std::string &name);
    std::shared_ptr<Service> serviceOfPeer(const Peer &peer);
    bool saveLocked(std::string *error);
    // Saves the database; when that fails, undo puts the change back, the failure
    // is logged and the caller gets the registry's error code.
    DWORD saveOrUndo(const std::function<void()> &undo);
    void removeIfDeleted(const std::shared_ptr<Service> &svc);
    void logManagerEvent(uint32_t type, uint32_t id, const std::string &text);

    // processes.cpp
    // Starts the service under its account once check() passes. The account is
    // looked up with the lock released, so check() is asked again afterwards.
    DWORD startAsAccount(Lock &lock, const std::shared_ptr<Service> &svc,
                         const std::vector<std::string> &args, const std::function<DWORD()> &check);
    DWORD startLocked(Lock &lock, const std::shared_ptr<Service> &svc,
                      const std::vector<std::string> &args, const ServiceAccount &account);
    // A process ended without reporting SERVICE_STOPPED: count it and act on it.
    void failedLocked(const std::shared_ptr<Service> &svc, const ServiceProcess &proc);
    void recover(const std::shared_ptr<Service> &svc, uint64_t ticket, uint32_t delayMs);
    DWORD controlLocked(Lock &lock, const std::shared_ptr<Service> &svc, DWORD control,
                        SERVICE_STATUS *status, bool *statusFilled);
    void watchLoop();
    void reapLocked();
    void readChannelLocked(int fd, size_t maxFrames);
    // Reads what the service's process has written so far, before a call on it is answered.
    void catchUpLocked(const std::shared_ptr<Service> &svc);
    void closeChannelLocked(ServiceProcess &proc);
    void onChannelMessage(const std::shared_ptr<Service> &svc,
                          const std::shared_ptr<ServiceProcess> &proc, const std::string &frame,
                          bool *keep);
    void finish(const std::shared_ptr<Service> &svc, const std::shared_ptr<ServiceProcess> &proc);
    Clock::time_point killOverdueLocked();

    std::string m_dir;
    EventLog m_eventLog;
    Watcher m_watcher;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::string, std::shared_ptr<Service>> m_services; // by folded name
    struct Child
    {
        std::weak_ptr<Service> service;
        std::shared_ptr<ServiceProcess> process;
    };
    std::map<pid_t, Child> m_children; // launched and not yet reaped
    std::map<int, Child> m_channels;   // by our end of the channel, while open
    bool m_shuttingDown = false;
    // Read by the accepting thread, which must not wait for the global lock.
    std::mutex m_grantedMutex;
    std::vector<gid_t> m_grantedGids;
};
