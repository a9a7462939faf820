// The manager's side of running services: launching their processes, the
// messages on their private channels, controls, and noticing how they end.
// One thread waits for all of it (Watcher), so nothing wakes while nothing happens.
#include "manager.h"

#include "config.h"
#include "launcher.h"
#include "wire.h"

#include <algorithm>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {
// A busy channel yields to the rest after this many frames; the next wait comes back to it.
constexpr size_t FramesPerTurn = 64;
// A process that has ended cannot write more; only what it left is read, with a
// bound in case a child of it still holds the channel and keeps writing.
constexpr size_t FramesAfterExit = 4096;
} // namespace

bool Manager::startThreads(std::string *error)
{
    if (!m_watcher.open(error))
        return false;
    std::thread([this] { watchLoop(); }).detach();
    return true;
}

void Manager::startAutoStartServices()
{
    Lock lock(m_mutex);
    std::vector<std::shared_ptr<Service>> autoStart;
    for (const auto &entry : m_services)
        if (entry.second->record.startType == SERVICE_AUTO_START)
            autoStart.push_back(entry.second);
    for (const auto &svc : autoStart) {
        bool skipped = false;
        const DWORD error = startAsAccount(lock, svc, {}, [&]() -> DWORD {
            skipped = svc->removed || svc->status.dwCurrentState != SERVICE_STOPPED;
            return skipped ? ERROR_SERVICE_ALREADY_RUNNING : ERROR_SUCCESS;
        });
        if (error != ERROR_SUCCESS && !skipped && error != ERROR_SERVICE_LOGON_FAILED)
            logManagerEvent(EVENTLOG_ERROR_TYPE, EventStartFailed,
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

DWORD Manager::startAsAccount(Lock &lock, const std::shared_ptr<Service> &svc,
                              const std::vector<std::string> &args,
                              const std::function<DWORD()> &check)
{
    for (;;) {
        if (DWORD error = check())
            return error;
        const std::string account = svc->record.account;
        lock.unlock();
        const ServiceAccount who = resolveAccount(account);
        lock.lock();
        if (svc->record.account != account)
            continue; // changed while we looked: look up the new one
        if (DWORD error = check())
            return error;
        return startLocked(lock, svc, args, who);
    }
}

DWORD Manager::startLocked(Lock &lock, const std::shared_ptr<Service> &svc,
                           const std::vector<std::string> &args, const ServiceAccount &account)
{
    Launched launched;
    std::string why = account.why;
    DWORD error = account.error;
    if (error == ERROR_SUCCESS)
        error = launchService(svc->record.binaryPath, m_dir, account, &launched, &why);
    if (error != ERROR_SUCCESS) {
        svc->status = stoppedStatus(svc->record.serviceType, error);
        logManagerEvent(
            EVENTLOG_ERROR_TYPE, EventStartFailed,
            error == ERROR_SERVICE_LOGON_FAILED
                ? "The " + svc->record.name +
                      " service failed to start due to the following error: The service did not "
                      "start due to a logon failure. Its account " +
                      svc->record.account + " cannot be used: " + why + "."
                : "The " + svc->record.name +
                      " service failed to start: its program could not be run (code " +
                      std::to_string(error) + ")");
        return error;
    }
    SERVICE_STATUS pending{};
    pending.dwServiceType = svc->record.serviceType;
    pending.dwCurrentState = SERVICE_START_PENDING;
    svc->status = pending;
    auto proc = std::make_shared<ServiceProcess>();
    proc->pid = launched.pid;
    proc->channel = launched.channel;
    proc->token = launched.token;
    proc->startArgs.push_back(svc->record.name);
    proc->startArgs.insert(proc->startArgs.end(), args.begin(), args.end());
    m_children[proc->pid] = Child{svc, proc};
    if (!m_watcher.add(proc->channel)) {
        // The service could never be heard, so it does not run.
        killGroup(proc->pid);
        proc->killed = true;
        ::close(proc->channel);
        proc->channel = -1;
        svc->status = stoppedStatus(svc->record.serviceType, ERROR_SERVICE_REQUEST_TIMEOUT);
        return ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    m_channels[proc->channel] = Child{svc, proc};
    svc->process = proc;

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
    logManagerEvent(EVENTLOG_ERROR_TYPE, EventConnectTimeout,
                    "A timeout was reached while waiting for the " + svc->record.name +
                        " service to connect.");
    removeIfDeleted(svc);
    m_changed.notify_all();
    return ERROR_SERVICE_REQUEST_TIMEOUT;
}

void Manager::failedLocked(const std::shared_ptr<Service> &svc, const ServiceProcess &proc)
{
    const ServiceRecord &r = svc->record;
    const auto now = Clock::now();
    // The count starts again after the reset period without failures.
    if (svc->failures > 0 && r.resetPeriod != INFINITE &&
        now - svc->lastFailure >= std::chrono::seconds(r.resetPeriod))
        svc->failures = 0;
    if (svc->failures < UINT32_MAX)
        ++svc->failures;
    svc->lastFailure = now;

    std::string text = "The " + r.name + " service terminated unexpectedly. It has done this " +
                       std::to_string(svc->failures) + " time(s).";
    // A stop that was asked for is no failure to recover from, whatever came of it;
    // nor is a process that never took its start (that start failed, and said so to
    // whoever asked for it), which could otherwise be started again and again at once.
    const bool acts = proc.started && !proc.stopAsked && !m_shuttingDown && !r.markedForDelete &&
                      !r.failureActions.empty();
    const RecoveryAction action =
        acts ? r.failureActions[std::min<size_t>(svc->failures, r.failureActions.size()) - 1]
             : RecoveryAction{};
    if (action.type != SC_ACTION_RESTART) {
        if (action.type == SC_ACTION_REBOOT || action.type == SC_ACTION_RUN_COMMAND)
            text += std::string(" Its corrective action (") +
                    (action.type == SC_ACTION_REBOOT ? "Reboot the computer"
                                                     : "Run the configured recovery program") +
                    ") is not one this manager takes.";
        logManagerEvent(EVENTLOG_ERROR_TYPE, EventCrashed, text);
        return;
    }
    text += " The following corrective action will be taken in " + std::to_string(action.delayMs) +
            " milliseconds: Restart the service.";
    logManagerEvent(EVENTLOG_ERROR_TYPE, EventCrashedRecovering, text);
    const uint64_t ticket = ++svc->recoveryTicket;
    try {
        std::thread([this, svc, ticket, delay = action.delayMs] {
            recover(svc, ticket, delay);
        }).detach();
    } catch (const std::system_error &) {
        logManagerEvent(EVENTLOG_ERROR_TYPE, EventStartFailed,
                        "The " + r.name + " service cannot be restarted: no thread left.");
    }
}

// Waits for the delay (a stop of the daemon, a start by hand or the service's
// removal calls it off), then starts the service as a client would, without arguments.
void Manager::recover(const std::shared_ptr<Service> &svc, uint64_t ticket, uint32_t delayMs)
{
    Lock lock(m_mutex);
    auto calledOff = [&] {
        return m_shuttingDown || svc->removed || svc->record.markedForDelete ||
               svc->recoveryTicket != ticket;
    };
    m_changed.wait_until(lock, Clock::now() + std::chrono::milliseconds(delayMs), calledOff);
    bool skipped = false;
    const DWORD error = startAsAccount(lock, svc, {}, [&]() -> DWORD {
        skipped = calledOff() || svc->status.dwCurrentState != SERVICE_STOPPED;
        if (skipped)
            return ERROR_SERVICE_ALREADY_RUNNING;
        return svc->record.startType == SERVICE_DISABLED ? ERROR_SERVICE_DISABLED : ERROR_SUCCESS;
    });
    // A logon failure, a program that cannot be run and a time-out have their own event.
    if (error != ERROR_SUCCESS && !skipped && error != ERROR_SERVICE_LOGON_FAILED &&
        error != ERROR_FILE_NOT_FOUND && error != ERROR_ACCESS_DENIED &&
        error != ERROR_BAD_EXE_FORMAT && error != ERROR_SERVICE_REQUEST_TIMEOUT)
        logManagerEvent(EVENTLOG_ERROR_TYPE, EventStartFailed,
                        "The " + svc->record.name +
                            " service failed to start due to the following error: code " +
                            std::to_string(error));
}

DWORD Manager::controlLocked(Lock &lock, const std::shared_ptr<Service> &svc, DWORD control,
                             SERVICE_STATUS *status, bool *statusFilled)
{
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
    if (control == SERVICE_CONTROL_STOP)
        proc->stopAsked = true;
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

void Manager::watchLoop()
{
    Clock::time_point next = Clock::time_point::max();
    for (;;) {
        Watcher::Events events = m_watcher.wait(next);
        Lock lock(m_mutex);
        for (int fd : events.ready)
            readChannelLocked(fd, FramesPerTurn);
        if (events.children)
            reapLocked();
        next = killOverdueLocked();
    }
}

void Manager::reapLocked()
{
    for (;;) {
        int wstatus = 0;
        pid_t pid = ::waitpid(-1, &wstatus, WNOHANG);
        if (pid <= 0)
            return;
        auto it = m_children.find(pid);
        if (it == m_children.end())
            continue; // a child whose launch failed
        std::shared_ptr<ServiceProcess> proc = it->second.process;
        std::shared_ptr<Service> svc = it->second.service.lock();
        m_children.erase(it);
        proc->exited = true;
        // All it ever wrote is there to read now, even if a child of it still
        // holds the channel open; after that, the channel has nothing more to say.
        if (proc->channel >= 0)
            readChannelLocked(proc->channel, FramesAfterExit);
        if (proc->channel >= 0)
            closeChannelLocked(*proc);
        finish(svc, proc);
        m_changed.notify_all();
    }
}

void Manager::readChannelLocked(int fd, size_t maxFrames)
{
    auto it = m_channels.find(fd);
    if (it == m_channels.end())
        return; // closed since the watcher saw it
    std::shared_ptr<ServiceProcess> proc = it->second.process;
    std::shared_ptr<Service> svc = it->second.service.lock();
    std::string frame;
    for (size_t n = 0; n < maxFrames; ++n) {
        svcwire::FrameReader::Result result = proc->reader.read(fd, &frame);
        if (result == svcwire::FrameReader::Again)
            return;
        bool keep = result == svcwire::FrameReader::Frame;
        if (keep)
            onChannelMessage(svc, proc, frame, &keep);
        if (!keep) {
            closeChannelLocked(*proc);
            if (proc->exited)
                finish(svc, proc);
            m_changed.notify_all();
            return;
        }
    }
}

// SetServiceStatus returns once its frame is written, maybe before the watcher has read it;
// on Windows it returns once the status is recorded. So what a service has written is read
// before any call on it is answered: nobody who asks after a report sees the state before it.
void Manager::catchUpLocked(const std::shared_ptr<Service> &svc)
{
    if (svc && svc->process && svc->process->channel >= 0)
        readChannelLocked(svc->process->channel, FramesPerTurn);
}

void Manager::closeChannelLocked(ServiceProcess &proc)
{
    m_watcher.remove(proc.channel);
    m_channels.erase(proc.channel);
    ::close(proc.channel);
    proc.channel = -1;
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
            failedLocked(svc, *proc);
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
        if (!svc || svc->process != proc || proc->stoppedReported)
            return; // a process we no longer count on
        svc->status = SERVICE_STATUS{f[0], f[1], f[2], f[3], f[4], f[5], f[6]};
        if (f[1] == SERVICE_STOPPED) {
            // The watch loop takes the new deadline before it waits again.
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

// Kills the processes that reported SERVICE_STOPPED and had their grace to
// exit; returns when the next one's grace ends.
Clock::time_point Manager::killOverdueLocked()
{
    const auto now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    for (auto &child : m_children) {
        ServiceProcess &proc = *child.second.process;
        if (proc.killed)
            continue;
        if (now >= proc.killAt) {
            killGroup(proc.pid);
            proc.killed = true;
        } else if (proc.killAt < next) {
            next = proc.killAt;
        }
    }
    return next;
}
