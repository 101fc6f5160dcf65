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
#pragma once

#include <cstdint>
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

    std::function<void(uint32_t tag, IscsiTaskResult result)> onTaskDone;
    std::function<void(uint32_t tag, uint8_t response)> onTaskManagementDone;
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
    // No more input is taken: the transport sends what is left and closes.
    bool Closing() const { return m_phase == Phase::Closing; }
    // The host went away (or the portal ended the session): the initiator
    // logs out and the connection takes nothing more.
    void Close();

    bool FullFeature() const { return m_phase == Phase::FullFeature; }
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
        uint32_t lunField = 0;
        bool counted = true;          // holds a command window slot
        bool submitted = false;
        uint32_t received = 0;        // write bytes in hand
        uint32_t unsolicitedEnd = 0;  // the unsolicited data ends here
        uint32_t unsolicitedNext = 0;
        bool unsolicitedOpen = false;
        uint32_t unsolicitedDataSn = 0;
        uint32_t solicitedNext = 0;   // where the next R2T starts
        uint32_t r2tSn = 0;
        uint32_t dataSn = 0;
        bool dataLost = false;        // a Data-Out was damaged or missed
        std::map<uint32_t, R2t> r2ts; // by target transfer tag
    };

    void Fail(uint8_t reason, const iscsi::Pdu& pdu, bool close);
    void Send(iscsi::Pdu pdu);
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

    std::unique_ptr<IscsiNexus> m_nexus;
    std::map<uint32_t, Task> m_tasks;
    uint64_t m_writeBytes = 0;   // write data buffers of tasks not yet submitted
    std::map<uint32_t, uint32_t> m_ttts;   // target transfer tag -> task tag
    uint32_t m_nextTtt = 1;
    // Task management under way, by tag: the task an abort names.
    std::map<uint32_t, uint32_t> m_tmfs;
};

class IscsiPortal {
public:
    explicit IscsiPortal(IscsiTargets& targets, uint16_t portalGroupTag = 1);
    IscsiTargets& targets() { return m_targets; }
    uint16_t portalGroupTag() const { return m_portalGroupTag; }

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
