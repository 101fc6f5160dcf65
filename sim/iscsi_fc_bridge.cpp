#include "sim/iscsi_fc_bridge.h"

#include <map>
#include <vector>

#include "hw/scsi.h"
#include "sim/iscsi_host_nexus.h"

namespace sim {

// One iSCSI session's initiator logged in to one host port.
class FcNexus : public HostCommandNexus {
public:
    FcNexus(IscsiFcBridge& bridge, FcFabric& fabric, FcInitiator& initiator, FcTargetPort& port)
        : m_bridge(bridge), m_fabric(fabric), m_initiator(initiator), m_port(port) {
        m_initiator.autoLogin = false;
        if (!m_initiator.present()) m_initiator.ComeBack();
        m_initiator.onCompletion = [this](uint32_t fcTag, FcpResult& r) { OnCompletion(fcTag, r); };
        m_initiator.onLogin = [this](FcTargetPort& target, FcInitiator::Login state) {
            if (&target == &m_port) OnLogin(state);
        };
        LogIn();
    }

    Login login() const override {
        switch (m_initiator.LoginState(m_port)) {
        case FcInitiator::Login::LoggedIn: return Login::Ready;
        case FcInitiator::Login::Failed: return Login::Refused;
        default: return Login::Pending;
        }
    }

    ~FcNexus() override {
        m_initiator.onCompletion = nullptr;
        m_initiator.onLogin = nullptr;
        m_initiator.LogOut(m_port);
        for (auto& [fcTag, exchange] : m_exchanges) m_initiator.Forget(fcTag);
        ForgetFinished();
        m_bridge.ReleaseName(m_initiator.portName());
        // No session needs the initiator now; a later one of the same name
        // takes it back if it is still there.
        m_fabric.Retire(m_initiator);
    }

    void Submit(uint32_t tag, IscsiTask task) override { Start(tag, CommandFor(tag, std::move(task)), false); }

    void TaskManagement(uint32_t tag, uint8_t function, uint64_t lun, uint32_t referenced) override {
        uint8_t flags = 0;
        switch (function) {
        case kTmfAbortTask: return AbortTask(tag, referenced);
        case kTmfAbortTaskSet: flags = fw::TMF_ABORT_TASK_SET; break;
        case kTmfClearTaskSet: flags = fw::TMF_CLEAR_TASK_SET; break;
        case kTmfLogicalUnitReset: flags = fw::TMF_LUN_RESET; break;
        case kTmfTargetWarmReset: flags = fw::TMF_TARGET_RESET; break;
        case kTmfClearAca: flags = fw::TMF_CLEAR_ACA; break;
        default: return onTaskManagementDone(tag, kTmfNotSupported);
        }
        FcpCommand c = FunctionFor(lun);
        c.taskManagement = flags;
        ++m_functionsUnderWay;
        Start(tag, std::move(c), true);
    }

private:
    bool PortGone() const override { return !m_port.Online(); }

    struct Waiting {
        uint32_t tag;
        FcpCommand command;
        bool function;
    };
    struct Exchange {
        uint32_t tag;     // the iSCSI task tag
        bool function;    // task management rather than a command
    };

    void LogIn() {
        if (m_initiator.LoginState(m_port) == FcInitiator::Login::LoggedIn) return;
        m_initiator.LogIn(m_port);
        // A port that is down answers at once, without a callback.
        if (m_initiator.LoginState(m_port) == FcInitiator::Login::Failed) OnLogin(FcInitiator::Login::Failed);
    }

    void OnLogin(FcInitiator::Login state) {
        if (state == FcInitiator::Login::LoggedIn) {
            std::vector<Waiting> waiting = std::move(m_waiting);
            m_waiting.clear();
            for (Waiting& w : waiting) Send(w.tag, std::move(w.command), w.function);
        } else if (state == FcInitiator::Login::Failed) {
            // The port would not take the initiator: what waited fails.
            std::vector<Waiting> waiting = std::move(m_waiting);
            m_waiting.clear();
            FcpResult rejected;
            rejected.outcome = FcpResult::Outcome::Rejected;
            for (Waiting& w : waiting) Finish(w.tag, w.function, rejected);
        }
        if (onLogin) onLogin();
    }

    // Commands wait for the login (a new one after the port dropped it).
    void Start(uint32_t tag, FcpCommand command, bool function) {
        ForgetFinished();
        if (m_initiator.LoginState(m_port) == FcInitiator::Login::LoggedIn) return Send(tag, std::move(command), function);
        m_waiting.push_back(Waiting{tag, std::move(command), function});
        if (m_initiator.LoginState(m_port) != FcInitiator::Login::Pending) LogIn();
    }

    void Send(uint32_t tag, FcpCommand command, bool function) {
        // The initiator may finish it inside Submit (a port gone offline):
        // the completion then finds the exchange through m_sending.
        m_sending = Exchange{tag, function};
        const uint32_t fcTag = m_initiator.Submit(m_port, std::move(command));
        if (m_sending.tag != kNone) {
            m_exchanges[fcTag] = m_sending;
            if (!function) m_fcTags[tag] = fcTag;
        }
        m_sending.tag = kNone;
    }

    void AbortTask(uint32_t tag, uint32_t referenced) {
        for (auto w = m_waiting.begin(); w != m_waiting.end(); ++w) {
            if (!w->function && w->tag == referenced) {
                m_waiting.erase(w);
                ForgetTask(referenced);
                return onTaskManagementDone(tag, kTmfComplete);
            }
        }
        auto it = m_fcTags.find(referenced);
        if (it == m_fcTags.end()) return onTaskManagementDone(tag, kTmfNoTask);
        // Answered when the task ends, aborted or not: either way it is gone.
        if (AwaitEnd(tag, referenced)) m_initiator.Abort(it->second);
    }

    void OnCompletion(uint32_t fcTag, FcpResult& result) {
        Exchange exchange;
        auto it = m_exchanges.find(fcTag);
        if (it != m_exchanges.end()) {
            exchange = it->second;
            m_exchanges.erase(it);
        } else if (m_sending.tag != kNone) {
            exchange = m_sending;
            m_sending.tag = kNone;
        } else {
            return;
        }
        m_finished.push_back(fcTag);
        if (!exchange.function) m_fcTags.erase(exchange.tag);
        Finish(exchange.tag, exchange.function, result);
    }

    void Finish(uint32_t tag, bool function, FcpResult& r) {
        if (!function) return FinishTask(tag, r);
        --m_functionsUnderWay;
        onTaskManagementDone(tag, IscsiResponse(r));
    }

    // The iSCSI response a task management function's FCP_RSP says.
    static uint8_t IscsiResponse(const FcpResult& r) {
        if (r.outcome != FcpResult::Outcome::Done || r.status != 0) return kTmfRejected;
        if (!r.responseValid) return kTmfComplete;
        switch (r.responseCode) {
        case 0x00: return kTmfComplete;
        case 0x04: return kTmfNotSupported;
        case 0x09: return kTmfNoLun;   // incorrect logical unit number
        default: return kTmfRejected;
        }
    }

    // Finished commands leave the initiator only here: a completion may come
    // while the initiator walks its own list.
    void ForgetFinished() {
        for (uint32_t fcTag : m_finished) m_initiator.Forget(fcTag);
        m_finished.clear();
    }

    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    IscsiFcBridge& m_bridge;
    FcFabric& m_fabric;
    FcInitiator& m_initiator;
    FcTargetPort& m_port;
    std::vector<Waiting> m_waiting;
    std::map<uint32_t, Exchange> m_exchanges;   // by FC tag
    std::map<uint32_t, uint32_t> m_fcTags;      // FC tag of each command, by iSCSI tag
    std::vector<uint32_t> m_finished;
    Exchange m_sending{kNone, false};
};

IscsiFcBridge::IscsiFcBridge(FcFabric& fabric, std::vector<FcTargetPort*> ports, std::string namePrefix)
    : HostPortTargets(std::move(namePrefix)) {
    for (size_t i = 0; i < ports.size(); ++i) {
        m_targets.push_back({&fabric, ports[i], "port" + std::to_string(i + 1)});
        AddTargetName(m_targets.back().suffix);
    }
}

IscsiFcBridge::IscsiFcBridge(std::vector<Target> targets, std::string namePrefix)
    : HostPortTargets(std::move(namePrefix)), m_targets(std::move(targets)) {
    for (const Target& t : m_targets) AddTargetName(t.suffix);
}

uint64_t IscsiFcBridge::PortNameFor(const std::string& initiatorName, unsigned instance) {
    // The hash in the 48 bits an IEEE-registered name leaves free, under the
    // extended format's prefix.
    return 0x2100000000000000ull | (InitiatorNameHash(initiatorName, instance) & 0x0000FFFFFFFFFFFFull);
}

std::unique_ptr<IscsiNexus> IscsiFcBridge::Open(size_t index, const std::string& initiatorName) {
    if (index >= m_targets.size() || !m_targets[index].port->Online()) return nullptr;
    FcFabric& fabric = *m_targets[index].fabric;
    const uint64_t portName = HoldName(initiatorName, &PortNameFor);
    FcInitiator* initiator = fabric.Find(portName);
    if (!initiator) initiator = &fabric.AddInitiator(portName);
    if (onSession) onSession(initiatorName, index, *initiator);
    return std::make_unique<FcNexus>(*this, fabric, *initiator, *m_targets[index].port);
}

}  // namespace sim
