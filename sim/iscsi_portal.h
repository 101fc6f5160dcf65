// An iSCSI target portal: the connection state machine from login to
// logout, fed with the bytes a host sent and leaving the bytes to send back,
// so any transport (a TCP listener, a test) can carry it.
//
// The portal answers login, operational parameter negotiation, discovery,
// text, NOP, logout and reject itself; SCSI commands and task management
// pass to a nexus that the targets open for each normal session: one
// initiator on whatever carries the commands to the controller.  The portal
// gathers a write's data (immediate, unsolicited and solicited by R2T) before
// the command goes on, and splits read data into Data-In PDUs.
//
// One connection per session (MaxConnections=1), error recovery level 0: a
// broken connection ends its session.
//
// What hosts can make the program hold is bounded: every command holds,
// from its arrival until its last byte is out, room for its data (write
// data gathered, read data not yet sent) out of its session's share and the
// portal's whole; a command that finds no room is told the task set is
// full.  Read data goes out as the host takes it, never queued whole.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/iscsi_pdu.h"

namespace sim {

// One SCSI command as the portal hands it on.
struct IscsiTask {
    uint64_t lun = 0;                 // the 8-byte LUN field as sent
    std::vector<uint8_t> cdb;         // 16 bytes, more with an extended CDB
    std::vector<uint8_t> dataOut;     // the whole write data
    uint32_t dataInLength = 0;        // read bytes the host accepts
    uint32_t expectedLength = 0;      // the expected data transfer length
    uint8_t attribute = 0;            // 0 untagged, 1 simple, 2 ordered, 3 head of queue, 4 ACA
};

struct IscsiTaskResult {
    enum class Outcome {
        Done,      // status (with sense and data) came back
        Aborted,   // ended by task management: the host hears no response
        Failed,    // the target could not carry it out (a service response)
        Lost,      // the host port went dark with it: nothing is answered,
                   // and the connection ends as a dead port's would
    };
    Outcome outcome = Outcome::Done;
    uint8_t status = 0;
    std::vector<uint8_t> sense;
    std::vector<uint8_t> dataIn;
    uint32_t residual = 0;
    bool underflow = false;
    bool overflow = false;
};

// Task management functions and their answers as iSCSI numbers them.
enum IscsiTmf : uint8_t {
    kTmfAbortTask = 1,
    kTmfAbortTaskSet = 2,
    kTmfClearAca = 3,
    kTmfClearTaskSet = 4,
    kTmfLogicalUnitReset = 5,
    kTmfTargetWarmReset = 6,
    kTmfTargetColdReset = 7,
    kTmfTaskReassign = 8,
};
enum IscsiTmfResponse : uint8_t {
    kTmfComplete = 0,
    kTmfNoTask = 1,
    kTmfNoLun = 2,
    kTmfReassignNotSupported = 4,
    kTmfNotSupported = 5,
    kTmfRejected = 255,
};

// One session's initiator at a target.  Destroying it logs the initiator
// out; nothing is called back after that.  The callbacks may run inside
// Submit and TaskManagement.
class IscsiNexus {
public:
    virtual ~IscsiNexus() = default;
    virtual void Submit(uint32_t tag, IscsiTask task) = 0;
    virtual void TaskManagement(uint32_t tag, uint8_t function, uint64_t lun, uint32_t referencedTag) = 0;
    // Whether the port can carry the function at all: one it cannot is
    // answered so before the portal acts on any task for it.
    virtual bool Carries(uint8_t /*function*/) const { return true; }
    // Whether the initiator is logged in to its target: the session's last
    // login response waits while the login is pending, and a target that
    // cannot log another initiator in refuses the session.
    enum class Login { Pending, Ready, Refused };
    virtual Login login() const { return Login::Ready; }

    std::function<void(uint32_t tag, IscsiTaskResult result)> onTaskDone;
    std::function<void(uint32_t tag, uint8_t response)> onTaskManagementDone;
    std::function<void()> onLogin;   // login() changed
};

// What the portal reaches: a list of named targets.
class IscsiTargets {
public:
    virtual ~IscsiTargets() = default;
    virtual std::vector<std::string> TargetNames() const = 0;
    // A new initiator on target `index`; null when the target cannot take
    // one now (the login then fails as target unavailable).
    virtual std::unique_ptr<IscsiNexus> Open(size_t index, const std::string& initiatorName) = 0;
};

class IscsiPortal;

class IscsiConnection {
public:
    // `portalAddress` is how hosts reach this portal ("127.0.0.1:3260"), as
    // discovery reports it.
    IscsiConnection(IscsiPortal& portal, std::string portalAddress);
    ~IscsiConnection();
    IscsiConnection(const IscsiConnection&) = delete;
    IscsiConnection& operator=(const IscsiConnection&) = delete;

    // Bytes from the host.  Ignored once the connection is closing.
    void Receive(const uint8_t* data, size_t length);
    // Bytes for the host; the transport erases what it sent.
    std::vector<uint8_t>& output() { return m_out; }
    // Adds to the output, up to kOutputWindow bytes, the answers (read data
    // above all) that wait for the host to take what went before.  Called
    // with the output empty, it also lets go of the room of the answers
    // that were in it.
    void Produce();
    // Bytes on their way to the host: the output and the answers waiting.
    size_t Backlog() const { return m_out.size() + m_waitingBytes; }
    // Time passes (nanoseconds of a monotonic clock): a login that takes too
    // long, or a host that stops answering the pings of an idle session,
    // ends the connection.
    void Tick(uint64_t nowNs);
    // The portal has connections enough: a login here is refused for want of
    // resources.
    void RefuseLogins() { m_refuseLogins = true; }
    // No more input is taken: the transport sends what is left and closes.
    bool Closing() const { return m_phase == Phase::Closing; }
    // The host went away (or the portal ended the session): the initiator
    // logs out and the connection takes nothing more.
    void Close();

    bool FullFeature() const { return m_phase == Phase::FullFeature; }
    // The host has sent a login request: the connection is more than a socket.
    bool LoginStarted() const { return m_loginStarted; }
    bool DiscoverySession() const { return m_discovery; }
    const std::string& initiatorName() const { return m_initiatorName; }
    size_t OutstandingTasks() const { return m_tasks.size(); }

    // Operational parameters in force.
    struct Parameters {
        uint32_t headerDigest = 0;       // 1: CRC32C
        uint32_t dataDigest = 0;
        uint32_t maxConnections = 1;
        uint32_t initialR2T = 1;
        uint32_t immediateData = 1;
        uint32_t maxSendDataSegment = 8192;   // the host's MaxRecvDataSegmentLength
        uint32_t maxBurstLength = 262144;
        uint32_t firstBurstLength = 65536;
        uint32_t defaultTime2Wait = 2;
        uint32_t defaultTime2Retain = 20;
        uint32_t maxOutstandingR2T = 1;
        uint32_t dataPduInOrder = 1;
        uint32_t dataSequenceInOrder = 1;
        uint32_t errorRecoveryLevel = 0;
        uint32_t ifMarker = 0;
        uint32_t ofMarker = 0;
    };
    const Parameters& parameters() const { return m_params; }

    // What this target declares it receives in one data segment, and the
    // commands it takes at once per session.
    static constexpr uint32_t kMaxRecvDataSegment = 262144;
    static constexpr uint32_t kCommandWindow = 128;
    // The longest transfer a command carries: what a 16-bit count of
    // 512-byte blocks can ask, rounded up.
    static constexpr uint32_t kMaxTransferLength = 32u << 20;
    // What one session may hold of host data at once; the first
    // kSessionFloor of it is its own, outside the portal's whole, so that
    // every session is served however much the others hold.
    static constexpr uint64_t kSessionShare = 64u << 20;
    static constexpr uint64_t kSessionFloor = 512u << 10;
    // Encoded output kept ahead of what the host took.
    static constexpr size_t kOutputWindow = 256u << 10;
    // A host sends its first login request as soon as it has connected: a
    // connection that sends none within kFirstLoginTimeoutNs is ended (it
    // is no host, or a broken one), and a login must reach full feature
    // within kLoginTimeoutNs.  An idle session is pinged (NOP-In) after
    // kPingIdleNs without a word from the host, and ended when the ping is
    // not answered within kPingReplyNs.
    static constexpr uint64_t kFirstLoginTimeoutNs = 5'000'000'000ull;
    static constexpr uint64_t kLoginTimeoutNs = 30'000'000'000ull;
    static constexpr uint64_t kPingIdleNs = 10'000'000'000ull;
    static constexpr uint64_t kPingReplyNs = 20'000'000'000ull;

private:
    enum class Phase { Login, FullFeature, Closing };
    struct R2t {
        uint32_t offset;
        uint32_t length;
        uint32_t next;   // the next offset expected
        uint32_t dataSn = 0;   // of the next Data-Out
    };
    struct Task {
        IscsiTask task;
        uint64_t held = 0;            // bytes it holds of the session's share
        uint32_t lunField = 0;
        bool counted = true;          // holds a command window slot
        bool submitted = false;
        uint32_t writeLength = 0;     // write bytes the command carries
        uint32_t received = 0;        // write bytes in hand
        uint32_t unsolicitedEnd = 0;  // the unsolicited data ends here
        uint32_t unsolicitedNext = 0;
        bool unsolicitedOpen = false;
        uint32_t unsolicitedDataSn = 0;
        uint32_t solicitedNext = 0;   // where the next R2T starts
        uint32_t gapOffset = 0;       // unsolicited data the host ended short of:
        uint32_t gapLength = 0;       // asked for by the next R2T that may go
        uint32_t r2tSn = 0;
        uint32_t dataSn = 0;
        bool dataLost = false;        // a Data-Out was damaged or missed
        std::map<uint32_t, R2t> r2ts; // by target transfer tag
    };

    // An answer that goes out in turn, after the answers before it: a
    // task's data and status, or a response PDU whose counters are set as
    // it goes.
    struct Answer {
        uint32_t itt = iscsi::kReservedTag;
        bool task = false;            // a SCSI task's answer rather than `pdu`
        iscsi::Pdu pdu;
        bool closeAfter = false;      // the logout's answer ends the connection
        uint64_t lun = 0;
        IscsiTaskResult result;
        uint32_t sent = 0;            // read data already out
        uint32_t dataSn = 0;
        uint32_t r2ts = 0;
        uint64_t held = 0;
    };

    void Fail(uint8_t reason, const iscsi::Pdu& pdu, bool close);
    void Send(iscsi::Pdu pdu);
    void Queue(Answer answer);
    // One PDU of the first answer; false when it ended with it.
    bool ProduceStep(Answer& answer);
    bool Hold(uint64_t bytes);
    void Release(uint64_t bytes);
    void SetCounters(iscsi::Pdu* pdu, bool status);
    iscsi::FrameLimits InLimits() const;
    iscsi::FrameLimits OutLimits() const;
    void Dispatch(const iscsi::Pdu& pdu);
    bool TakeCmdSn(const iscsi::Pdu& pdu, bool holdsSlot = false);

    // Login.
    void OnLogin(const iscsi::Pdu& pdu);
    void LoginFailure(const iscsi::Pdu& request, uint16_t statusCode);
    uint16_t NegotiateLogin(const std::vector<iscsi::TextKey>& keys, int stage, std::vector<uint8_t>* reply);
    bool NegotiateOperational(const iscsi::TextKey& key, std::vector<uint8_t>* reply);
    uint16_t StartSession();
    void OnNexusLogin();
    void SendPing(uint64_t nowNs);

    // Full feature phase.
    void OnNopOut(const iscsi::Pdu& pdu);
    void OnText(const iscsi::Pdu& pdu);
    void SendTextPart(uint32_t itt);
    void OnScsiCommand(const iscsi::Pdu& pdu);
    void OnDataOut(const iscsi::Pdu& pdu, bool damaged = false);
    void EndWithLostData(uint32_t itt);
    void OnTaskManagement(const iscsi::Pdu& pdu);
    void OnLogout(const iscsi::Pdu& pdu);
    void SendR2t(uint32_t itt, Task& task, uint32_t offset, uint32_t length);
    void IssueR2ts(uint32_t itt, Task& task);
    void SubmitIfComplete(uint32_t itt);
    void OnTaskDone(uint32_t itt, IscsiTaskResult result);
    void OnTaskManagementDone(uint32_t itt, uint8_t response);
    void AnswerTaskManagement(uint32_t itt, uint8_t response);
    void ForgetTask(std::map<uint32_t, Task>::iterator it);
    void DropUnsubmitted(bool allLuns, uint64_t lun);
    void TargetsList(const std::string& which, std::vector<uint8_t>* reply) const;

    IscsiPortal& m_portal;
    std::string m_portalAddress;
    Phase m_phase = Phase::Login;
    std::vector<uint8_t> m_in;
    size_t m_inStart = 0;
    std::vector<uint8_t> m_out;
    Parameters m_params;
    bool m_digestsOn = false;

    // Login state.
    bool m_loginStarted = false;
    int m_stage = 0;
    std::vector<uint8_t> m_loginText;   // a request continued over several PDUs
    std::vector<std::string> m_keysSeen;
    bool m_declaredOurs = false;
    bool m_sentPortalGroup = false;
    uint8_t m_isid[6] = {};
    uint16_t m_cid = 0;
    uint16_t m_tsih = 0;
    bool m_discovery = false;
    std::string m_initiatorName;
    std::string m_targetName;
    size_t m_targetIndex = 0;

    // Sequence numbers.
    uint32_t m_statSn = 0;
    uint32_t m_expCmdSn = 0;
    uint32_t m_maxCmdSn = 0;

    // Text responses too long for one PDU continue on request.
    std::vector<uint8_t> m_textRequest;
    std::vector<uint8_t> m_textPending;
    uint32_t m_textTag = iscsi::kReservedTag;

    // A login response that waits for the initiator's login to the target,
    // and the request it answers.
    std::unique_ptr<iscsi::Pdu> m_heldLogin;
    iscsi::Pdu m_heldLoginRequest;
    bool m_refuseLogins = false;
    bool m_loggingOut = false;
    bool m_receiving = false;

    // Time and pings.
    uint64_t m_bytesIn = 0;
    uint64_t m_bytesSeen = 0;
    uint64_t m_bornNs = 0;
    uint64_t m_heardNs = 0;
    bool m_ticked = false;
    uint32_t m_pingTag = iscsi::kReservedTag;   // of the ping not yet answered
    uint64_t m_pingNs = 0;

    std::unique_ptr<IscsiNexus> m_nexus;
    std::map<uint32_t, Task> m_tasks;
    uint64_t m_held = 0;          // of the session's share, by tasks and answers
    uint64_t m_outputHeld = 0;    // of answers whose last PDU is in the output, not yet taken
    std::deque<Answer> m_answers;
    size_t m_waitingBytes = 0;    // read data of the answers not yet out
    std::map<uint32_t, uint32_t> m_ttts;   // target transfer tag -> task tag
    uint32_t m_nextTtt = 1;
    // Task management under way, by tag: the task an abort names.
    std::map<uint32_t, uint32_t> m_tmfs;
};

class IscsiPortal {
public:
    // What all sessions together may hold of host data beyond their floors.
    // With the floors of as many sessions as the listener serves and the
    // output each keeps encoded ahead, at most about 900 MiB: well inside
    // the 32-bit program's address space.
    static constexpr uint64_t kDefaultMemoryLimit = 384ull << 20;

    explicit IscsiPortal(IscsiTargets& targets, uint16_t portalGroupTag = 1,
                         uint64_t memoryLimit = kDefaultMemoryLimit);
    IscsiTargets& targets() { return m_targets; }
    uint16_t portalGroupTag() const { return m_portalGroupTag; }
    // Held beyond the sessions' floors.
    uint64_t heldBytes() const { return m_held; }
    uint64_t memoryLimit() const { return m_memoryLimit; }

private:
    friend class IscsiConnection;
    // A new normal session of (initiator, ISID): an older one with the same
    // pair is reinstated, i.e. closed.  Returns the session's handle.
    uint16_t Register(IscsiConnection* connection, const std::string& initiator, const uint8_t* isid);
    void Unregister(IscsiConnection* connection);
    // Whether a normal session of this ISID has handle `tsih`.
    bool HasSession(const uint8_t* isid, uint16_t tsih) const;

    IscsiTargets& m_targets;
    uint16_t m_portalGroupTag;
    uint64_t m_memoryLimit;
    uint64_t m_held = 0;
    uint16_t m_nextTsih = 1;
    struct Session {
        std::string initiator;
        std::string isid;
        IscsiConnection* connection;
        uint16_t tsih;
    };
    std::vector<Session> m_sessions;
};

}  // namespace sim
