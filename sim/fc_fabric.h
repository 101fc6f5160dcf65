// A simulated Fibre Channel fabric (or arbitrated loop) with host initiators
// on it, and the target ports of the controllers' host chips.
//
// Initiators log in to target ports (PLOGI, then PRLI), send FCP commands
// (LUN, CDB, task attribute, FCP_DL, data out) and get back data in, SCSI
// status, sense and residuals; they can abort a task, send task management,
// log out, drop off the fabric and come back.  Everything happens in the
// virtual time of the boards whose chips the target ports belong to: the
// fabric itself keeps no time, a target port schedules the work it is given
// on its own board's clock and answers through the initiator's methods.
//
// The interface is usable outside the tests: the controller program and an
// iSCSI portal attach their own initiators (one per session) and take the
// completions through callbacks.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {

class FcInitiator;

// What an initiator sends in one FCP_CMND.
struct FcpCommand {
    uint16_t lun = 0;                 // sent as the first two bytes of FCP_LUN
    std::vector<uint8_t> cdb;         // up to 16 bytes
    std::vector<uint8_t> dataOut;     // the write data (FCP_DL defaults to its size)
    uint32_t dataInLength = 0;        // bytes the initiator will accept
    int64_t fcpDl = -1;               // FCP_DL when set, else dataOut or dataInLength
    uint8_t taskAttribute = 0;        // 0 simple, 1 head of queue, 2 ordered, 4 ACA, 5 untagged
    uint8_t taskManagement = 0;       // FCP task management flags (a TM function has no CDB)
    uint8_t crn = 0;

    // The plain command most tests send: a CDB to a LUN, with its data.
    static FcpCommand To(uint16_t lun, const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& dataOut,
                         uint32_t dataInLength) {
        FcpCommand command;
        command.lun = lun;
        command.cdb = cdb;
        command.dataOut = dataOut;
        command.dataInLength = dataInLength;
        return command;
    }
};

// What came back for one command.
struct FcpResult {
    enum class Outcome {
        Pending,      // still at the target
        Done,         // FCP_RSP received
        Aborted,      // the initiator aborted it and the target accepted
        Terminated,   // the target ended the exchange without a response
        Rejected,     // never taken: not logged in, link down, no target
    };
    Outcome outcome = Outcome::Pending;
    uint8_t status = 0;               // SCSI status byte
    std::vector<uint8_t> sense;
    std::vector<uint8_t> dataIn;      // as many bytes as the target sent (up to dataInLength)
    uint32_t residual = 0;
    bool residualUnder = false;
    bool residualOver = false;
    uint32_t dataOutTaken = 0;        // write bytes the target took
    // The FCP_RSP_INFO of a task management function's answer (FCP_RSP_LEN_VALID).
    bool responseValid = false;
    uint8_t responseCode = 0;         // RSP_CODE: 0 complete, 4 not supported, 5 failed, 9 no such LUN
    uint64_t completedAtNs = 0;
};

// The side of a target port the fabric and the initiators talk to.  A host
// chip's port implements it; its calls return at once and the chip answers
// later in its board's time.
class FcTargetPort {
public:
    virtual ~FcTargetPort() = default;
    virtual uint64_t PortName() const = 0;
    virtual uint64_t NodeName() const = 0;
    virtual uint32_t PortId() const = 0;
    virtual bool Online() const = 0;          // link up and the firmware initialised
    virtual uint64_t NowNs() const = 0;       // the target's board time
    // From initiators.
    virtual void Plogi(FcInitiator& initiator) = 0;
    virtual void Logo(FcInitiator& initiator) = 0;
    virtual void Command(FcInitiator& initiator, uint32_t tag, const FcpCommand& command) = 0;
    virtual void Abts(FcInitiator& initiator, uint32_t tag) = 0;
    // From the fabric: the initiator left or came back (fabric: RSCN; loop: LIP).
    virtual void MembershipChanged(FcInitiator& initiator, bool present) = 0;
    virtual void LinkChanged(bool up) = 0;
    // The fabric goes away: forget it and every initiator on it.
    virtual void FabricGone() = 0;
    // Whether the port still holds anything of the initiator (a frame on its
    // way, a login, an exchange): until it does not, the initiator lives.
    virtual bool Holds(const FcInitiator& initiator) const = 0;
};

class FcFabric;

class FcInitiator {
public:
    enum class Login { None, Pending, LoggedIn, Failed };

    FcInitiator(FcFabric& fabric, uint64_t portName, uint64_t nodeName, uint32_t portId);
    uint64_t portName() const { return m_portName; }
    uint64_t nodeName() const { return m_nodeName; }
    uint32_t portId() const { return m_portId; }
    bool present() const { return m_present; }
    FcFabric& fabric() { return m_fabric; }

    // Log in to / out of a target port (PLOGI and PRLI).
    void LogIn(FcTargetPort& target);
    void LogOut(FcTargetPort& target);
    Login LoginState(const FcTargetPort& target) const;
    // When set, the initiator logs in to every target port that comes
    // online (as a host's adapter does after a fabric change).
    bool autoLogin = true;

    // Sends one command; the tag names it from then on.
    uint32_t Submit(FcTargetPort& target, FcpCommand command);
    const FcpResult& Result(uint32_t tag) const;
    bool Finished(uint32_t tag) const;
    void Forget(uint32_t tag);
    // ABTS for a command still pending; the target's BA_ACC or BA_RJT
    // comes back through AbortAnswered.
    void Abort(uint32_t tag);
    enum class AbortAnswer { None, Pending, Accepted, Rejected };
    AbortAnswer AbortState(uint32_t tag) const;

    // Off the fabric and back (cable pulled and plugged).
    void DropOff();
    void ComeBack();

    // Completions for users outside the tests (an iSCSI bridge): called when
    // a command finished, in the target's board time.  The user may take
    // the result's data and sense; the rest stays for Result.
    std::function<void(uint32_t tag, FcpResult&)> onCompletion;
    std::function<void(FcTargetPort&, Login)> onLogin;

    // --- answers from target ports -------------------------------------------
    void LoginAnswered(FcTargetPort& target, bool accepted);
    void LoggedOut(FcTargetPort& target);          // the target dropped the login
    void DataIn(uint32_t tag, uint32_t offset, const uint8_t* data, uint32_t length);
    // Write data the target asks for; fewer bytes than asked when the
    // command carries fewer.
    uint32_t DataOut(uint32_t tag, uint32_t offset, uint8_t* data, uint32_t length);
    void Response(uint32_t tag, uint8_t status, const uint8_t* sense, uint32_t senseLength, uint32_t residual,
                  bool under, bool over);
    // The FCP_RSP_INFO the response carries (given before Response).
    void ResponseInfo(uint32_t tag, uint8_t code);
    void Ended(uint32_t tag, FcpResult::Outcome outcome);
    void AbortAnswered(uint32_t tag, bool accepted);
    const FcpCommand* CommandOf(uint32_t tag) const;
    // The OX_ID the initiator gives a command's exchange, and the pending
    // command an OX_ID names (0: none).
    static uint16_t OxIdOf(uint32_t tag) { return static_cast<uint16_t>(tag); }
    uint32_t TagOfOxId(uint16_t oxId) const;

private:
    struct Pending {
        uint32_t tag = 0;   // 0: the slot is free
        FcTargetPort* target = nullptr;
        FcpCommand command;
        FcpResult result;
        AbortAnswer abort = AbortAnswer::None;
    };
    void Finish(uint32_t tag, Pending& p, FcpResult::Outcome outcome);
    Pending* Find(uint32_t tag) const;
    Pending& Take(uint32_t tag);

    FcFabric& m_fabric;
    uint64_t m_portName;
    uint64_t m_nodeName;
    uint32_t m_portId;
    bool m_present = true;
    uint32_t m_nextTag = 1;
    std::map<const FcTargetPort*, Login> m_logins;
    // The commands not yet forgotten, each in the slot of its tag modulo
    // kSlots: tags come in order, so the slots hold every command a host
    // keeps in flight, and a slot keeps its read buffer for the next command
    // (up to kKeptBuffer bytes: one large transfer does not stay resident
    // in every slot it passed through).  A command still known
    // when its slot comes round again moves, record and all, to the
    // stragglers.
    static constexpr uint32_t kSlots = 256;
    static constexpr size_t kKeptBuffer = 64u << 10;
    std::array<std::unique_ptr<Pending>, kSlots> m_slots;
    std::map<uint32_t, std::unique_ptr<Pending>> m_stragglers;
};

class FcFabric {
public:
    enum class Topology { Fabric, Loop };
    explicit FcFabric(Topology topology = Topology::Fabric);
    ~FcFabric();
    FcFabric(const FcFabric&) = delete;
    FcFabric& operator=(const FcFabric&) = delete;

    Topology topology() const { return m_topology; }
    // The rate the fabric's ports run at, in Gb/s (1, 2 or 4): a port
    // fixed faster than this does not link, one on automatic takes it.
    uint32_t linkSpeedGb() const { return m_linkSpeedGb; }
    void SetLinkSpeedGb(uint32_t gb) { m_linkSpeedGb = gb; }
    // A new initiator with the given world wide port name (node name: the
    // port name with its first nibble 2 turned to 1, when not given).
    // Initiators live as long as the fabric (one that leaves drops off).
    FcInitiator& AddInitiator(uint64_t portName, uint64_t nodeName = 0);
    const std::vector<std::unique_ptr<FcInitiator>>& initiators() const { return m_initiators; }
    // The initiator of that port name, null when none; one retired but not
    // yet freed comes back.
    FcInitiator* Find(uint64_t portName);
    // An initiator nothing needs any more (the last session that used it
    // logged it out): freed as soon as no target port holds anything of it.
    void Retire(FcInitiator& initiator);

    // Target ports join when their chip's link comes up.
    void Attach(FcTargetPort& target);
    void Detach(FcTargetPort& target);
    const std::vector<FcTargetPort*>& targets() const { return m_targets; }
    // The port id (loop: AL_PA) the fabric gives a port that joins.
    uint32_t AssignPortId(bool target);
    // A target port came online: initiators that log in by themselves do.
    void TargetOnline(FcTargetPort& target);
    // An initiator left or came back: every target port hears of it.
    void MembershipChanged(FcInitiator& initiator, bool present);
    // The link of one target port (the controller's cable).
    void SetLink(FcTargetPort& target, bool up);
    bool LinkUp(const FcTargetPort& target) const;

    // Names of the fabric's own well-known ports.
    static constexpr uint64_t kFabricPortName = 0x2001000DEC000001ull;
    static constexpr uint64_t kFabricControllerName = 0x2002000DEC000001ull;
    static constexpr uint64_t kNameServerName = 0x2003000DEC000001ull;

private:
    void FreeRetired();

    Topology m_topology;
    uint32_t m_linkSpeedGb = 4;
    std::vector<std::unique_ptr<FcInitiator>> m_initiators;
    std::vector<FcInitiator*> m_retired;
    std::vector<FcTargetPort*> m_targets;
    std::map<const FcTargetPort*, bool> m_links;
    uint32_t m_nextFabricId = 0x010001;
    uint32_t m_nextLoopId = 0;
};

}  // namespace sim
