#include "sim/iscsi_portal.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "hw/scsi.h"

namespace sim {

using iscsi::Pdu;
using iscsi::TextKey;

namespace {

// Reject reasons.
constexpr uint8_t kRejectDataDigest = 0x02;
constexpr uint8_t kRejectProtocolError = 0x04;
constexpr uint8_t kRejectNotSupported = 0x05;
constexpr uint8_t kRejectImmediate = 0x06;
constexpr uint8_t kRejectTaskInProgress = 0x07;
constexpr uint8_t kRejectInvalidField = 0x09;

// Login status: class in the high byte, detail in the low one.
constexpr uint16_t kLoginInitiatorError = 0x0200;
constexpr uint16_t kLoginAuthenticationFailure = 0x0201;
constexpr uint16_t kLoginNotFound = 0x0203;
constexpr uint16_t kLoginUnsupportedVersion = 0x0205;
constexpr uint16_t kLoginMissingParameter = 0x0207;
constexpr uint16_t kLoginSessionTypeNotSupported = 0x0209;
constexpr uint16_t kLoginTooManyConnections = 0x0206;
constexpr uint16_t kLoginSessionDoesNotExist = 0x020A;
constexpr uint16_t kLoginTargetError = 0x0300;
constexpr uint16_t kLoginServiceUnavailable = 0x0301;
constexpr uint16_t kLoginOutOfResources = 0x0302;

constexpr int kFullFeatureStage = 3;
// What a login may carry in all its continued PDUs together.
constexpr size_t kMaxLoginText = 65536;
// Tasks past the command window (immediate ones) before they are refused.
constexpr size_t kMaxTasks = IscsiConnection::kCommandWindow + 16;
constexpr uint8_t kStatusTaskSetFull = 0x28;
// Sense of a write whose data was lost on the way: protocol service CRC error.
constexpr uint8_t kAscqProtocolCrcError = 0x05;

// Serial number arithmetic (32 bits).
bool SerialLess(uint32_t a, uint32_t b) { return a != b && uint32_t(b - a) < 0x80000000u; }

enum class Rule { Digest, Or, And, Min, Max, Declare, Irrelevant };
struct KeyRule {
    const char* name;
    Rule rule;
    uint32_t low;
    uint32_t high;
    uint32_t ours;
    uint32_t IscsiConnection::Parameters::*field;
};
using P = IscsiConnection::Parameters;
constexpr uint32_t kMaxLength = 16777215;
// The operational keys and how their outcome is reached; `ours` is what
// this target offers.
const KeyRule kOperationalKeys[] = {
    {"HeaderDigest", Rule::Digest, 0, 1, 1, &P::headerDigest},
    {"DataDigest", Rule::Digest, 0, 1, 1, &P::dataDigest},
    {"MaxConnections", Rule::Min, 1, 65535, 1, &P::maxConnections},
    {"InitialR2T", Rule::Or, 0, 1, 0, &P::initialR2T},
    {"ImmediateData", Rule::And, 0, 1, 1, &P::immediateData},
    {"MaxRecvDataSegmentLength", Rule::Declare, 512, kMaxLength, 0, &P::maxSendDataSegment},
    {"MaxBurstLength", Rule::Min, 512, kMaxLength, 1048576, &P::maxBurstLength},
    {"FirstBurstLength", Rule::Min, 512, kMaxLength, 262144, &P::firstBurstLength},
    {"DefaultTime2Wait", Rule::Max, 0, 3600, 2, &P::defaultTime2Wait},
    {"DefaultTime2Retain", Rule::Min, 0, 3600, 20, &P::defaultTime2Retain},
    {"MaxOutstandingR2T", Rule::Min, 1, 65535, 16, &P::maxOutstandingR2T},
    {"DataPDUInOrder", Rule::Or, 0, 1, 1, &P::dataPduInOrder},
    {"DataSequenceInOrder", Rule::Or, 0, 1, 1, &P::dataSequenceInOrder},
    {"ErrorRecoveryLevel", Rule::Min, 0, 2, 0, &P::errorRecoveryLevel},
    // Markers are obsolete; hosts that still offer them hear "No".
    {"IFMarker", Rule::And, 0, 1, 0, &P::ifMarker},
    {"OFMarker", Rule::And, 0, 1, 0, &P::ofMarker},
    {"IFMarkInt", Rule::Irrelevant, 0, 0, 0, nullptr},
    {"OFMarkInt", Rule::Irrelevant, 0, 0, 0, nullptr},
};

// The first of a host's comma-separated choices that this target has;
// empty when it has none of them.
std::string FirstOffered(const std::string& list, std::initializer_list<std::string_view> supported) {
    for (size_t start = 0; start <= list.size();) {
        size_t comma = std::min(list.find(',', start), list.size());
        std::string_view choice = std::string_view(list).substr(start, comma - start);
        if (std::find(supported.begin(), supported.end(), choice) != supported.end()) return std::string(choice);
        start = comma + 1;
    }
    return {};
}

bool ParseBool(const std::string& v, uint32_t* out) {
    if (v == "Yes") *out = 1;
    else if (v == "No") *out = 0;
    else return false;
    return true;
}

}  // namespace

// --- the portal ------------------------------------------------------------------

IscsiPortal::IscsiPortal(IscsiTargets& targets, uint16_t portalGroupTag, uint64_t memoryLimit)
    : m_targets(targets), m_portalGroupTag(portalGroupTag), m_memoryLimit(memoryLimit) {}

uint16_t IscsiPortal::Register(IscsiConnection* connection, const std::string& initiator, const uint8_t* isid) {
    std::string key(reinterpret_cast<const char*>(isid), 6);
    for (size_t i = 0; i < m_sessions.size(); ++i) {
        if (m_sessions[i].initiator == initiator && m_sessions[i].isid == key) {
            IscsiConnection* old = m_sessions[i].connection;
            m_sessions.erase(m_sessions.begin() + long(i));
            old->Close();
            break;
        }
    }
    const uint16_t tsih = m_nextTsih++;
    if (m_nextTsih == 0) m_nextTsih = 1;
    m_sessions.push_back(Session{initiator, key, connection, tsih});
    return tsih;
}

bool IscsiPortal::HasSession(const uint8_t* isid, uint16_t tsih) const {
    const std::string key(reinterpret_cast<const char*>(isid), 6);
    return std::any_of(m_sessions.begin(), m_sessions.end(),
                       [&](const Session& s) { return s.tsih == tsih && s.isid == key; });
}

void IscsiPortal::Unregister(IscsiConnection* connection) {
    std::erase_if(m_sessions, [&](const Session& s) { return s.connection == connection; });
}

// --- framing and common fields -----------------------------------------------------

IscsiConnection::IscsiConnection(IscsiPortal& portal, std::string portalAddress)
    : m_portal(portal), m_portalAddress(std::move(portalAddress)) {}

IscsiConnection::~IscsiConnection() { Close(); }

void IscsiConnection::Close() {
    if (m_phase == Phase::Closing && !m_nexus) return;
    m_phase = Phase::Closing;
    m_portal.Unregister(this);
    m_nexus.reset();
    m_tasks.clear();
    m_answers.clear();
    m_waitingBytes = 0;
    m_outputHeld = 0;
    Release(m_held);
    m_heldLogin.reset();
    m_ttts.clear();
    m_tmfs.clear();
}

// --- what hosts hold -----------------------------------------------------------------

// What a session holds past its floor counts against the portal's whole.
static uint64_t BeyondFloor(uint64_t held) {
    return held > IscsiConnection::kSessionFloor ? held - IscsiConnection::kSessionFloor : 0;
}

bool IscsiConnection::Hold(uint64_t bytes) {
    const uint64_t held = m_held + bytes;
    const uint64_t more = BeyondFloor(held) - BeyondFloor(m_held);
    if (held > kSessionShare || m_portal.m_held + more > m_portal.m_memoryLimit) return false;
    m_held = held;
    m_portal.m_held += more;
    return true;
}

void IscsiConnection::Release(uint64_t bytes) {
    m_portal.m_held -= BeyondFloor(m_held) - BeyondFloor(m_held - bytes);
    m_held -= bytes;
}

void IscsiConnection::Queue(Answer answer) {
    m_waitingBytes += answer.result.dataIn.size();
    m_answers.push_back(std::move(answer));
    Produce();
}

void IscsiConnection::Produce() {
    if (m_out.empty()) Release(std::exchange(m_outputHeld, 0));
    while (!m_answers.empty() && m_out.size() < kOutputWindow && m_phase != Phase::Closing) {
        Answer& a = m_answers.front();
        if (ProduceStep(a)) continue;
        m_waitingBytes -= a.result.dataIn.size();
        // Its room stays taken until the host took the output.
        m_outputHeld += a.held;
        const bool close = a.closeAfter;
        m_answers.pop_front();
        if (close) Close();
    }
}

// Read data goes in Data-In PDUs of at most the host's segment length, the
// final bit at the end of each burst; good status without sense rides on
// the last of them.
bool IscsiConnection::ProduceStep(Answer& a) {
    if (!a.task) {
        SetCounters(&a.pdu, true);
        Send(std::move(a.pdu));
        return false;
    }
    IscsiTaskResult& result = a.result;
    uint8_t flags = 0;
    if (result.underflow) flags |= 0x02;
    else if (result.overflow) flags |= 0x04;
    const bool failed = result.outcome == IscsiTaskResult::Outcome::Failed;
    const bool collapse = !failed && !result.dataIn.empty() && result.sense.empty() && result.status == 0;
    const uint32_t total = uint32_t(result.dataIn.size());
    if (a.sent < total) {
        const uint32_t burst = m_params.maxBurstLength;
        const uint32_t burstEnd = std::min<uint32_t>(total, (a.sent / burst + 1) * burst);
        const uint32_t length = std::min(m_params.maxSendDataSegment, burstEnd - a.sent);
        const bool last = a.sent + length == total;
        Pdu d = iscsi::MakePdu(iscsi::kDataIn, a.sent + length == burstEnd);
        d.SetU64(8, a.lun);
        d.SetU32(16, a.itt);
        d.SetU32(20, iscsi::kReservedTag);
        d.SetU32(36, a.dataSn++);
        d.SetU32(40, a.sent);
        d.data.assign(result.dataIn.begin() + a.sent, result.dataIn.begin() + a.sent + length);
        a.sent += length;
        if (last && collapse) {
            d.bhs[1] |= uint8_t(0x01 | flags);
            d.bhs[3] = result.status;
            d.SetU32(44, (flags != 0) ? result.residual : 0);
            SetCounters(&d, true);
        } else {
            SetCounters(&d, false);
            d.SetU32(24, 0);
        }
        Send(std::move(d));
        return !(last && collapse);
    }
    Pdu r = iscsi::MakePdu(iscsi::kScsiResponse);
    r.bhs[1] |= flags;
    r.bhs[2] = failed ? 0x01 : 0x00;
    r.bhs[3] = failed ? 0 : result.status;
    r.SetU32(16, a.itt);
    SetCounters(&r, true);
    r.SetU32(36, a.dataSn + a.r2ts);
    r.SetU32(44, flags != 0 ? result.residual : 0);
    if (!failed && !result.sense.empty()) {
        size_t senseLength = std::min<size_t>(result.sense.size(), 0xFFFF);
        senseLength = std::min<size_t>(senseLength, m_params.maxSendDataSegment - 2);
        r.data.push_back(uint8_t(senseLength >> 8));
        r.data.push_back(uint8_t(senseLength));
        r.data.insert(r.data.end(), result.sense.begin(), result.sense.begin() + long(senseLength));
    }
    Send(std::move(r));
    return false;
}

// --- time -------------------------------------------------------------------------------

void IscsiConnection::Tick(uint64_t nowNs) {
    if (m_phase == Phase::Closing) return;
    if (!m_ticked) {
        m_ticked = true;
        m_bornNs = m_heardNs = nowNs;
    }
    if (m_bytesIn != m_bytesSeen) {
        m_bytesSeen = m_bytesIn;
        m_heardNs = nowNs;
    }
    if (m_phase == Phase::Login) {
        if (nowNs - m_bornNs >= (m_loginStarted ? kLoginTimeoutNs : kFirstLoginTimeoutNs)) Close();
        return;
    }
    if (m_pingTag != iscsi::kReservedTag) {
        // A host still sending is there, if busy (one that does not read
        // while it builds its next data has not seen the ping yet): only
        // the silence after the ping ends the session.
        if (nowNs - std::max(m_pingNs, m_heardNs) >= kPingReplyNs) Close();
        return;
    }
    if (nowNs - m_heardNs >= kPingIdleNs) SendPing(nowNs);
}

// A NOP-In that asks for an answer (its target transfer tag set): the host
// answers with a NOP-Out carrying the tag.
void IscsiConnection::SendPing(uint64_t nowNs) {
    m_pingTag = m_nextTtt++;
    if (m_pingTag == iscsi::kReservedTag) m_pingTag = m_nextTtt++;
    m_pingNs = nowNs;
    Pdu p = iscsi::MakePdu(iscsi::kNopIn);
    p.SetU32(16, iscsi::kReservedTag);
    p.SetU32(20, m_pingTag);
    SetCounters(&p, false);
    Send(std::move(p));
}

iscsi::FrameLimits IscsiConnection::InLimits() const {
    iscsi::FrameLimits l;
    l.headerDigest = m_digestsOn && m_params.headerDigest;
    l.dataDigest = m_digestsOn && m_params.dataDigest;
    // Until the login is over each side receives the default 8192 bytes.
    l.maxDataSegment = m_phase == Phase::FullFeature ? kMaxRecvDataSegment : 8192;
    return l;
}

iscsi::FrameLimits IscsiConnection::OutLimits() const {
    iscsi::FrameLimits l = InLimits();
    l.maxDataSegment = m_params.maxSendDataSegment;
    return l;
}

void IscsiConnection::Receive(const uint8_t* data, size_t length) {
    if (m_phase == Phase::Closing) return;
    m_in.insert(m_in.end(), data, data + length);
    m_bytesIn += length;
    m_receiving = true;
    // Nothing is taken while the login waits for the target, nor after a
    // logout request.
    while (m_phase != Phase::Closing && !m_heldLogin && !m_loggingOut) {
        Pdu pdu;
        size_t consumed = 0;
        iscsi::FrameStatus status =
            iscsi::DecodeFrame(m_in.data() + m_inStart, m_in.size() - m_inStart, InLimits(), &pdu, &consumed);
        if (status == iscsi::FrameStatus::NeedMore) break;
        if (status == iscsi::FrameStatus::HeaderDigestError) {
            // Nothing in the header can be trusted, not even where the next
            // PDU starts: at recovery level 0 the connection ends.
            Close();
            break;
        }
        if (status == iscsi::FrameStatus::TooLong) {
            std::copy_n(m_in.begin() + long(m_inStart), iscsi::kBhsLength, pdu.bhs.begin());
            Fail(kRejectProtocolError, pdu, true);
            break;
        }
        m_inStart += consumed;
        if (status == iscsi::FrameStatus::DataDigestError) {
            // The header is good, so the stream stays in step.  A damaged
            // Data-Out costs its task its data (OnDataOut); a damaged command
            // leaves a hole in the command order that nothing at recovery
            // level 0 fills.
            const uint8_t op = pdu.opcode();
            if (op == iscsi::kDataOut && m_phase == Phase::FullFeature && !m_discovery) OnDataOut(pdu, true);
            else Fail(kRejectDataDigest, pdu, op == iscsi::kDataOut || op == iscsi::kScsiCommand);
            continue;
        }
        Dispatch(pdu);
    }
    m_receiving = false;
    if (m_inStart == m_in.size()) {
        m_in.clear();
        m_inStart = 0;
    } else if (m_inStart > 65536) {
        m_in.erase(m_in.begin(), m_in.begin() + long(m_inStart));
        m_inStart = 0;
    }
}

void IscsiConnection::SetCounters(Pdu* pdu, bool status) {
    pdu->SetU32(24, status ? m_statSn++ : m_statSn);
    pdu->SetU32(28, m_expCmdSn);
    pdu->SetU32(32, m_maxCmdSn);
}

void IscsiConnection::Send(Pdu pdu) { iscsi::EncodeFrame(std::move(pdu), OutLimits(), &m_out); }

void IscsiConnection::Fail(uint8_t reason, const Pdu& rejected, bool close) {
    Pdu r = iscsi::MakePdu(iscsi::kReject);
    r.bhs[2] = reason;
    r.SetU32(16, iscsi::kReservedTag);
    SetCounters(&r, true);
    r.data.assign(rejected.bhs.begin(), rejected.bhs.end());
    Send(std::move(r));
    if (close) Close();
}

void IscsiConnection::Dispatch(const Pdu& pdu) {
    const uint8_t op = pdu.opcode();
    if (m_phase == Phase::Login) {
        if (op == iscsi::kLoginRequest) OnLogin(pdu);
        else Fail(kRejectProtocolError, pdu, true);
        return;
    }
    switch (op) {
    case iscsi::kNopOut: OnNopOut(pdu); break;
    case iscsi::kTextRequest: OnText(pdu); break;
    case iscsi::kLogoutRequest: OnLogout(pdu); break;
    case iscsi::kScsiCommand:
    case iscsi::kDataOut:
    case iscsi::kTaskManagementRequest:
        // A discovery session carries no commands.
        if (m_discovery) {
            if (op != iscsi::kDataOut && TakeCmdSn(pdu)) Fail(kRejectProtocolError, pdu, false);
            if (op == iscsi::kDataOut) Fail(kRejectProtocolError, pdu, false);
        }
        else if (op == iscsi::kScsiCommand) OnScsiCommand(pdu);
        else if (op == iscsi::kDataOut) OnDataOut(pdu);
        else OnTaskManagement(pdu);
        break;
    case iscsi::kLoginRequest: Fail(kRejectProtocolError, pdu, false); break;
    case iscsi::kSnack: Fail(kRejectProtocolError, pdu, false); break;  // no recovery at level 0
    default: Fail(kRejectNotSupported, pdu, false); break;
    }
}

// A command numbered in the session's order takes the next CmdSN; one
// outside the window, or ahead of a gap that one connection never fills,
// is discarded as the protocol says.
// A request answered at once gives its slot of the window back at once; a
// SCSI command holds it until its status went out.
bool IscsiConnection::TakeCmdSn(const Pdu& pdu, bool holdsSlot) {
    const uint32_t cmdSn = pdu.U32(24);
    if (pdu.immediate()) return true;
    if (cmdSn != m_expCmdSn || SerialLess(m_maxCmdSn, cmdSn)) return false;
    ++m_expCmdSn;
    if (!holdsSlot) ++m_maxCmdSn;
    return true;
}

// --- login ---------------------------------------------------------------------------

void IscsiConnection::LoginFailure(const Pdu& request, uint16_t statusCode) {
    Pdu r = iscsi::MakePdu(iscsi::kLoginResponse, false);
    r.bhs[1] = request.bhs[1] & 0x0C;   // CSG as sent, no transit
    std::copy_n(request.bhs.begin() + 8, 6, r.bhs.begin() + 8);
    r.SetU32(16, request.InitiatorTaskTag());
    SetCounters(&r, true);
    r.bhs[36] = uint8_t(statusCode >> 8);
    r.bhs[37] = uint8_t(statusCode);
    Send(std::move(r));
    Close();
}

void IscsiConnection::OnLogin(const Pdu& pdu) {
    const bool transit = (pdu.bhs[1] & 0x80) != 0;
    const bool more = (pdu.bhs[1] & 0x40) != 0;
    const int csg = (pdu.bhs[1] >> 2) & 3;
    const int nsg = pdu.bhs[1] & 3;
    if (m_refuseLogins) return LoginFailure(pdu, kLoginOutOfResources);
    if (!m_loginStarted) {
        m_loginStarted = true;
        std::copy_n(pdu.bhs.begin() + 8, 6, m_isid);
        m_cid = pdu.U16(20);
        m_expCmdSn = pdu.U32(24);
        m_maxCmdSn = m_expCmdSn + kCommandWindow - 1;
        m_statSn = 1;
        // Only one version of the protocol exists: 0.
        if (pdu.bhs[3] != 0) return LoginFailure(pdu, kLoginUnsupportedVersion);
        // A session has one connection (MaxConnections is negotiated down
        // to 1): another for a live session is one too many, and one for a
        // session that is gone finds nothing to join.
        if (pdu.U16(14) != 0)
            return LoginFailure(pdu, m_portal.HasSession(m_isid, pdu.U16(14)) ? kLoginTooManyConnections
                                                                               : kLoginSessionDoesNotExist);
        m_stage = csg;
    }
    if (std::memcmp(pdu.bhs.data() + 8, m_isid, 6) != 0 || pdu.U16(14) != 0 || csg > 1 || csg != m_stage ||
        (transit && (nsg == 2 || nsg <= csg)) || (transit && more))
        return LoginFailure(pdu, kLoginInitiatorError);

    m_loginText.insert(m_loginText.end(), pdu.data.begin(), pdu.data.end());
    if (m_loginText.size() > kMaxLoginText) return LoginFailure(pdu, kLoginInitiatorError);
    Pdu r = iscsi::MakePdu(iscsi::kLoginResponse, false);
    std::copy_n(pdu.bhs.begin() + 8, 6, r.bhs.begin() + 8);
    r.SetU32(16, pdu.InitiatorTaskTag());
    if (more) {
        // Part of a request: an empty answer asks for the rest.
        r.bhs[1] = uint8_t(csg << 2);
        SetCounters(&r, true);
        Send(std::move(r));
        return;
    }
    std::vector<TextKey> keys;
    bool wellFormed = iscsi::ParseTextKeys(m_loginText, &keys);
    m_loginText.clear();
    if (!wellFormed) return LoginFailure(pdu, kLoginInitiatorError);
    uint16_t failure = NegotiateLogin(keys, csg, &r.data);
    if (failure == 0 && transit && nsg == kFullFeatureStage) failure = StartSession();
    if (failure != 0) return LoginFailure(pdu, failure);

    r.bhs[1] = uint8_t(csg << 2);
    if (transit) {
        r.bhs[1] |= uint8_t(0x80 | nsg);
        m_stage = nsg;
    }
    r.SetU16(14, transit && nsg == kFullFeatureStage ? m_tsih : 0);
    if (transit && nsg == kFullFeatureStage && m_nexus) {
        // The session is up once its initiator is logged in to the target.
        m_heldLogin = std::make_unique<Pdu>(std::move(r));
        m_heldLoginRequest = pdu;
        return OnNexusLogin();
    }
    SetCounters(&r, true);
    Send(std::move(r));
    if (transit && nsg == kFullFeatureStage) {
        // Digests start with the first PDU after the last login response.
        m_phase = Phase::FullFeature;
        m_digestsOn = true;
    }
}

void IscsiConnection::OnNexusLogin() {
    if (!m_heldLogin || !m_nexus) return;
    switch (m_nexus->login()) {
    case IscsiNexus::Login::Pending: return;
    case IscsiNexus::Login::Refused: {
        m_heldLogin.reset();
        const Pdu request = std::move(m_heldLoginRequest);
        return LoginFailure(request, kLoginOutOfResources);
    }
    case IscsiNexus::Login::Ready: break;
    }
    std::unique_ptr<Pdu> r = std::move(m_heldLogin);
    SetCounters(r.get(), true);
    Send(std::move(*r));
    m_phase = Phase::FullFeature;
    m_digestsOn = true;
    // What the host sent meanwhile is taken now (at once when the login
    // was answered inside Receive).
    if (!m_receiving) Receive(nullptr, 0);
}

// Answers every key of one login request; a status other than 0 fails the
// login.
uint16_t IscsiConnection::NegotiateLogin(const std::vector<TextKey>& keys, int stage, std::vector<uint8_t>* reply) {
    for (const TextKey& k : keys) {
        // Offering a key twice in one negotiation is a protocol error.
        if (std::find(m_keysSeen.begin(), m_keysSeen.end(), k.key) != m_keysSeen.end()) return kLoginInitiatorError;
        m_keysSeen.push_back(k.key);
        if (k.key == "InitiatorName") {
            if (k.value.empty() || k.value.size() > 223) return kLoginInitiatorError;
            m_initiatorName = k.value;
        } else if (k.key == "TargetName") {
            if (k.value.empty() || k.value.size() > 223) return kLoginInitiatorError;
            m_targetName = k.value;
        } else if (k.key == "SessionType") {
            if (k.value == "Discovery") m_discovery = true;
            else if (k.value == "Normal") m_discovery = false;
            else return kLoginSessionTypeNotSupported;
        } else if (k.key == "InitiatorAlias") {
            // Declared for the target's information only.
        } else if (k.key == "AuthMethod") {
            if (stage != 0) return kLoginInitiatorError;
            // This portal authenticates nobody: a host that insists fails.
            if (FirstOffered(k.value, {"None"}).empty()) return kLoginAuthenticationFailure;
            iscsi::AppendTextKey(reply, "AuthMethod", "None");
        } else if (!NegotiateOperational(k, reply)) {
            iscsi::AppendTextKey(reply, k.key, "NotUnderstood");
        }
    }
    if (m_initiatorName.empty()) return kLoginMissingParameter;
    if (!m_discovery) {
        if (m_targetName.empty()) return kLoginMissingParameter;
        std::vector<std::string> names = m_portal.targets().TargetNames();
        auto found = std::find(names.begin(), names.end(), m_targetName);
        if (found == names.end()) return kLoginNotFound;
        m_targetIndex = size_t(found - names.begin());
        if (!m_sentPortalGroup) {
            m_sentPortalGroup = true;
            iscsi::AppendTextKey(reply, "TargetPortalGroupTag", std::to_string(m_portal.portalGroupTag()));
        }
    }
    if (stage == 1 && !m_declaredOurs) {
        m_declaredOurs = true;
        iscsi::AppendTextKey(reply, "MaxRecvDataSegmentLength", std::to_string(kMaxRecvDataSegment));
    }
    return 0;
}

// False when the key is not an operational one.
bool IscsiConnection::NegotiateOperational(const TextKey& k, std::vector<uint8_t>* reply) {
    const KeyRule* rule = nullptr;
    for (const KeyRule& r : kOperationalKeys)
        if (k.key == r.name) rule = &r;
    if (!rule) return false;
    std::string answer;
    uint32_t theirs = 0;
    uint64_t number = 0;
    switch (rule->rule) {
    case Rule::Irrelevant: answer = "Irrelevant"; break;
    case Rule::Digest: {
        answer = FirstOffered(k.value, {"None", "CRC32C"});
        if (answer.empty()) answer = "Reject";
        else m_params.*rule->field = answer == "CRC32C";
        break;
    }
    case Rule::Or:
    case Rule::And:
        if (!ParseBool(k.value, &theirs)) {
            answer = "Reject";
            break;
        }
        m_params.*rule->field = rule->rule == Rule::Or ? (theirs | rule->ours) : (theirs & rule->ours);
        answer = m_params.*rule->field ? "Yes" : "No";
        break;
    case Rule::Min:
    case Rule::Max:
    case Rule::Declare:
        if (!iscsi::ParseNumber(k.value, &number) || number < rule->low || number > rule->high) {
            answer = "Reject";
            break;
        }
        theirs = uint32_t(number);
        if (rule->rule == Rule::Declare) {
            m_params.*rule->field = theirs;
            return true;   // declarations are not answered
        }
        m_params.*rule->field = rule->rule == Rule::Min ? std::min(theirs, rule->ours) : std::max(theirs, rule->ours);
        answer = std::to_string(m_params.*rule->field);
        break;
    }
    // The first burst never exceeds a burst, whatever order they came in.
    m_params.firstBurstLength = std::min(m_params.firstBurstLength, m_params.maxBurstLength);
    iscsi::AppendTextKey(reply, k.key, answer);
    return true;
}

uint16_t IscsiConnection::StartSession() {
    if (m_discovery) {
        m_tsih = m_portal.m_nextTsih++;
        if (m_portal.m_nextTsih == 0) m_portal.m_nextTsih = 1;
        return 0;
    }
    m_nexus = m_portal.targets().Open(m_targetIndex, m_initiatorName);
    if (!m_nexus) return kLoginServiceUnavailable;
    m_nexus->onTaskDone = [this](uint32_t tag, IscsiTaskResult result) { OnTaskDone(tag, std::move(result)); };
    m_nexus->onTaskManagementDone = [this](uint32_t tag, uint8_t response) { OnTaskManagementDone(tag, response); };
    m_nexus->onLogin = [this] { OnNexusLogin(); };
    m_tsih = m_portal.Register(this, m_initiatorName, m_isid);
    return m_tsih == 0 ? kLoginTargetError : 0;
}

// --- text, NOP, logout -----------------------------------------------------------------

void IscsiConnection::OnNopOut(const Pdu& pdu) {
    const uint32_t itt = pdu.InitiatorTaskTag();
    // A NOP-Out without a task tag answers a ping of ours.
    if (itt == iscsi::kReservedTag && pdu.U32(20) == m_pingTag && m_pingTag != iscsi::kReservedTag) {
        m_pingTag = iscsi::kReservedTag;
    }
    if (!TakeCmdSn(pdu)) return;
    if (itt == iscsi::kReservedTag) return;
    Pdu r = iscsi::MakePdu(iscsi::kNopIn);
    std::copy_n(pdu.bhs.begin() + 8, 8, r.bhs.begin() + 8);
    r.SetU32(16, itt);
    r.SetU32(20, iscsi::kReservedTag);
    SetCounters(&r, true);
    r.data = pdu.data;
    r.data.resize(std::min<size_t>(r.data.size(), m_params.maxSendDataSegment));
    Send(std::move(r));
}

void IscsiConnection::TargetsList(const std::string& which, std::vector<uint8_t>* reply) const {
    std::vector<std::string> names = m_portal.targets().TargetNames();
    const std::string address = m_portalAddress + "," + std::to_string(m_portal.portalGroupTag());
    for (size_t i = 0; i < names.size(); ++i) {
        bool listed = which == "All" || (which.empty() && !m_discovery && i == m_targetIndex) || which == names[i];
        if (!listed) continue;
        iscsi::AppendTextKey(reply, "TargetName", names[i]);
        iscsi::AppendTextKey(reply, "TargetAddress", address);
    }
}

void IscsiConnection::OnText(const Pdu& pdu) {
    if (!TakeCmdSn(pdu)) return;
    const uint32_t itt = pdu.InitiatorTaskTag();
    const uint32_t ttt = pdu.U32(20);
    const bool more = (pdu.bhs[1] & 0x40) != 0;
    if (ttt != iscsi::kReservedTag) {
        // The host asks for the rest of a long answer.
        if (ttt != m_textTag || m_textPending.empty()) return Fail(kRejectInvalidField, pdu, false);
        return SendTextPart(itt);
    }
    m_textPending.clear();
    m_textRequest.insert(m_textRequest.end(), pdu.data.begin(), pdu.data.end());
    if (m_textRequest.size() > kMaxLoginText) {
        m_textRequest.clear();
        return Fail(kRejectProtocolError, pdu, false);
    }
    if (more) {
        Pdu r = iscsi::MakePdu(iscsi::kTextResponse, false);
        r.SetU32(16, itt);
        r.SetU32(20, iscsi::kReservedTag);
        SetCounters(&r, true);
        Send(std::move(r));
        return;
    }
    std::vector<TextKey> keys;
    bool wellFormed = iscsi::ParseTextKeys(m_textRequest, &keys);
    m_textRequest.clear();
    if (!wellFormed) return Fail(kRejectProtocolError, pdu, false);
    for (const TextKey& k : keys) {
        if (k.key == "SendTargets") TargetsList(k.value, &m_textPending);
        else iscsi::AppendTextKey(&m_textPending, k.key, "NotUnderstood");
    }
    m_textTag = m_nextTtt++;
    if (m_textTag == iscsi::kReservedTag) m_textTag = m_nextTtt++;
    SendTextPart(itt);
}

void IscsiConnection::SendTextPart(uint32_t itt) {
    Pdu r = iscsi::MakePdu(iscsi::kTextResponse);
    size_t part = std::min<size_t>(m_textPending.size(), m_params.maxSendDataSegment);
    r.data.assign(m_textPending.begin(), m_textPending.begin() + long(part));
    m_textPending.erase(m_textPending.begin(), m_textPending.begin() + long(part));
    r.SetU32(16, itt);
    if (m_textPending.empty()) {
        r.SetU32(20, iscsi::kReservedTag);
    } else {
        r.bhs[1] = 0x40;   // continue, not final
        r.SetU32(20, m_textTag);
    }
    SetCounters(&r, true);
    Send(std::move(r));
}

void IscsiConnection::OnLogout(const Pdu& pdu) {
    if (!TakeCmdSn(pdu)) return;
    const uint8_t reason = pdu.bhs[1] & 0x7F;
    uint8_t response = 0;
    if (reason == 2) response = 2;   // no connection recovery at level 0
    else if (reason == 1 && pdu.U16(20) != m_cid) response = 1;
    else if (reason > 2) return Fail(kRejectInvalidField, pdu, false);
    // The answer goes after the answers of the tasks before it; a logout of
    // the session ends the connection once it is out.
    Answer a;
    a.pdu = iscsi::MakePdu(iscsi::kLogoutResponse);
    a.pdu.bhs[2] = response;
    a.pdu.SetU32(16, pdu.InitiatorTaskTag());
    a.closeAfter = response == 0;
    m_loggingOut = response == 0;
    Queue(std::move(a));
}

// --- SCSI commands ------------------------------------------------------------------

void IscsiConnection::OnScsiCommand(const Pdu& pdu) {
    const uint32_t itt = pdu.InitiatorTaskTag();
    const bool read = (pdu.bhs[1] & 0x40) != 0;
    const bool write = (pdu.bhs[1] & 0x20) != 0;
    const uint32_t expected = pdu.U32(20);
    // Bidirectional commands need a second data length this bridge has no
    // use for.
    if (!TakeCmdSn(pdu, true)) return;
    // A refused command still used its number; its window slot is free.
    auto refuse = [&](uint8_t reason) {
        if (!pdu.immediate()) ++m_maxCmdSn;
        Fail(reason, pdu, false);
    };
    // Bidirectional commands need a second data length this bridge has no
    // use for.
    if (read && write) return refuse(kRejectNotSupported);
    if (itt == iscsi::kReservedTag) return refuse(kRejectInvalidField);
    if (m_tasks.count(itt)) return refuse(kRejectTaskInProgress);
    if (pdu.immediate() && m_tasks.size() >= kMaxTasks) return refuse(kRejectImmediate);

    IscsiTask task;
    task.lun = pdu.U64(8);
    task.attribute = pdu.bhs[1] & 7;
    task.cdb.assign(pdu.bhs.begin() + 32, pdu.bhs.end());
    // Additional header segments: an extended CDB adds to the 16 bytes.
    for (size_t at = 0; at < pdu.ahs.size();) {
        if (pdu.ahs.size() - at < 4) return refuse(kRejectInvalidField);
        const size_t length = size_t(pdu.ahs[at] << 8 | pdu.ahs[at + 1]);
        const uint8_t type = pdu.ahs[at + 2];
        const size_t padded = (length + 3 + 3) & ~size_t(3);
        if (length == 0 || pdu.ahs.size() - at < padded) return refuse(kRejectInvalidField);
        if (type == 1) task.cdb.insert(task.cdb.end(), pdu.ahs.begin() + long(at + 4), pdu.ahs.begin() + long(at + 3 + length));
        else return refuse(kRejectNotSupported);
        at += padded;
    }
    task.expectedLength = expected;
    // No command brings back more than the longest transfer.
    if (read) task.dataInLength = std::min(expected, kMaxTransferLength);

    const uint32_t immediateLength = uint32_t(pdu.data.size());
    // Immediate data only where negotiated, only for writes, never past the
    // first burst or the transfer.
    if (immediateLength != 0 &&
        (!write || !m_params.immediateData || immediateLength > std::min(expected, m_params.firstBurstLength)))
        return refuse(kRejectProtocolError);

    Task& t = m_tasks[itt];
    t.counted = !pdu.immediate();
    t.task = std::move(task);
    // A write longer than any the target takes is a well-formed command
    // its host reads a SCSI status for, not a fault of the protocol: it is
    // answered as the target answers a transfer beyond its limit, with none
    // of its data taken (unsolicited data that follows finds no task).
    if (write && expected > kMaxTransferLength) {
        t.submitted = true;
        IscsiTaskResult tooLong;
        tooLong.status = fw::SCSI_STATUS_CHECK_CONDITION;
        tooLong.sense.resize(fw::SENSE_FIXED_LENGTH);
        fw::BuildFixedSense(tooLong.sense.data(), fw::SENSE_ILLEGAL_REQUEST, fw::ASC_INVALID_FIELD_IN_CDB, 0);
        tooLong.underflow = true;
        tooLong.residual = expected;
        return OnTaskDone(itt, std::move(tooLong));
    }
    // The command holds room for its data until its answer is out: write
    // data waits here for the whole transfer, read data until the host took
    // it.  A command that finds no room is told the task set is full.
    const uint64_t room = write ? expected : t.task.dataInLength;
    if (room != 0 && !Hold(room)) {
        t.submitted = true;
        IscsiTaskResult full;
        full.status = kStatusTaskSetFull;
        return OnTaskDone(itt, std::move(full));
    }
    t.held = room;
    if (write) {
        // The room is taken whole, its pages only as the data comes: a host
        // that announces a write and sends nothing costs next to nothing.
        t.writeLength = expected;
        t.task.dataOut.reserve(expected);
        t.task.dataOut.assign(pdu.data.begin(), pdu.data.end());
        t.received = immediateLength;
        // Without an R2T the host sends up to the first burst unless it said
        // it sends nothing more (final bit) or must wait (InitialR2T).
        const bool unsolicited = !pdu.final() && !m_params.initialR2T;
        t.unsolicitedEnd = unsolicited ? std::min(expected, m_params.firstBurstLength) : immediateLength;
        t.unsolicitedNext = immediateLength;
        t.unsolicitedOpen = unsolicited && t.unsolicitedEnd > immediateLength;
        t.solicitedNext = t.unsolicitedEnd;
        IssueR2ts(itt, t);
    }
    SubmitIfComplete(itt);
}

void IscsiConnection::SendR2t(uint32_t itt, Task& t, uint32_t offset, uint32_t length) {
    uint32_t ttt = m_nextTtt++;
    if (ttt == iscsi::kReservedTag) ttt = m_nextTtt++;
    t.r2ts[ttt] = R2t{offset, length, offset};
    m_ttts[ttt] = itt;
    Pdu r = iscsi::MakePdu(iscsi::kReadyToTransfer);
    r.SetU64(8, t.task.lun);
    r.SetU32(16, itt);
    r.SetU32(20, ttt);
    SetCounters(&r, false);
    r.SetU32(36, t.r2tSn++);
    r.SetU32(40, offset);
    r.SetU32(44, length);
    Send(std::move(r));
}

// No more R2Ts out at once than MaxOutstandingR2T (1 unless negotiated),
// the rest of a first burst the host ended early first.
void IscsiConnection::IssueR2ts(uint32_t itt, Task& t) {
    const uint32_t expected = t.task.expectedLength;
    if (t.gapLength != 0 && t.r2ts.size() < m_params.maxOutstandingR2T) {
        SendR2t(itt, t, t.gapOffset, std::exchange(t.gapLength, 0));
    }
    while (t.solicitedNext < expected && t.r2ts.size() < m_params.maxOutstandingR2T) {
        const uint32_t length = std::min(expected - t.solicitedNext, m_params.maxBurstLength);
        SendR2t(itt, t, t.solicitedNext, length);
        t.solicitedNext += length;
    }
}

void IscsiConnection::OnDataOut(const Pdu& pdu, bool damaged) {
    const uint32_t itt = pdu.InitiatorTaskTag();
    const uint32_t ttt = pdu.U32(20);
    const uint32_t offset = pdu.U32(40);
    const uint32_t length = uint32_t(pdu.data.size());
    auto it = m_tasks.find(itt);
    // Data for a task that is gone (aborted, say) is dropped quietly.
    if (it == m_tasks.end()) {
        if (ttt != iscsi::kReservedTag) m_ttts.erase(ttt);
        if (damaged) Fail(kRejectDataDigest, pdu, false);
        return;
    }
    Task& t = it->second;
    if (t.submitted) return Fail(kRejectProtocolError, pdu, true);
    uint32_t* next = nullptr;
    uint32_t* dataSn = nullptr;
    uint32_t end = 0;
    auto r2t = t.r2ts.end();
    if (ttt == iscsi::kReservedTag) {
        if (!t.unsolicitedOpen) return Fail(kRejectProtocolError, pdu, true);
        next = &t.unsolicitedNext;
        dataSn = &t.unsolicitedDataSn;
        end = t.unsolicitedEnd;
    } else {
        r2t = t.r2ts.find(ttt);
        if (r2t == t.r2ts.end()) return Fail(kRejectInvalidField, pdu, true);
        next = &r2t->second.next;
        dataSn = &r2t->second.dataSn;
        end = r2t->second.offset + r2t->second.length;
    }
    // A damaged Data-Out, or one numbered out of turn (an earlier one was
    // lost), leaves a hole in the data that recovery level 0 cannot ask for
    // again.  The PDU is rejected and the connection goes on: the host
    // finishes every sequence it started, and the command ends in CHECK
    // CONDITION without reaching the logical unit.
    if (damaged || t.dataLost || pdu.U32(36) != *dataSn) {
        if (damaged || !t.dataLost) Fail(kRejectDataDigest, pdu, false);
        t.dataLost = true;
        if (pdu.final()) {
            if (r2t != t.r2ts.end()) {
                m_ttts.erase(ttt);
                t.r2ts.erase(r2t);
            } else {
                t.unsolicitedOpen = false;
            }
        }
        if (t.r2ts.empty() && !t.unsolicitedOpen) EndWithLostData(itt);
        return;
    }
    // Data PDUs come in order within a sequence and never overrun it.
    if (offset != *next || length > end - offset) return Fail(kRejectProtocolError, pdu, true);
    ++*dataSn;
    if (t.task.dataOut.size() < offset + length) t.task.dataOut.resize(offset + length);
    std::copy(pdu.data.begin(), pdu.data.end(), t.task.dataOut.begin() + long(offset));
    *next += length;
    t.received += length;
    const bool sequenceDone = *next == end;
    if (r2t != t.r2ts.end()) {
        // A solicited sequence carries the final bit exactly at its end.
        if (pdu.final() != sequenceDone) return Fail(kRejectProtocolError, pdu, true);
        if (sequenceDone) {
            m_ttts.erase(ttt);
            t.r2ts.erase(r2t);
            IssueR2ts(itt, t);
        }
    } else if (pdu.final()) {
        t.unsolicitedOpen = false;
        // The host ended its unsolicited data early: ask for the rest.
        if (!sequenceDone) {
            t.gapOffset = *next;
            t.gapLength = end - *next;
            IssueR2ts(itt, t);
        }
    } else if (sequenceDone) {
        return Fail(kRejectProtocolError, pdu, true);
    }
    SubmitIfComplete(itt);
}

void IscsiConnection::EndWithLostData(uint32_t itt) {
    Task& t = m_tasks.at(itt);
    t.submitted = true;
    IscsiTaskResult lost;
    lost.status = fw::SCSI_STATUS_CHECK_CONDITION;
    lost.sense.resize(fw::SENSE_FIXED_LENGTH);
    fw::BuildFixedSense(lost.sense.data(), fw::SENSE_ABORTED_COMMAND, fw::ASC_SCSI_PARITY_ERROR, kAscqProtocolCrcError);
    OnTaskDone(itt, std::move(lost));
}

void IscsiConnection::SubmitIfComplete(uint32_t itt) {
    auto it = m_tasks.find(itt);
    if (it == m_tasks.end() || it->second.submitted) return;
    Task& t = it->second;
    if (t.received < t.writeLength) return;
    t.submitted = true;
    // The portal keeps what the answer needs; the data goes on.
    IscsiTask task = std::move(t.task);
    t.task.lun = task.lun;
    t.task.dataInLength = task.dataInLength;
    // May complete at once, and take the task with it.
    m_nexus->Submit(itt, std::move(task));
}

void IscsiConnection::ForgetTask(std::map<uint32_t, Task>::iterator it) {
    Release(it->second.held);
    for (auto& [ttt, r2t] : it->second.r2ts) m_ttts.erase(ttt);
    if (it->second.counted) ++m_maxCmdSn;   // its window slot is free again
    m_tasks.erase(it);
}

void IscsiConnection::OnTaskDone(uint32_t itt, IscsiTaskResult result) {
    auto it = m_tasks.find(itt);
    if (it == m_tasks.end() || !it->second.submitted) return;
    Answer a;
    a.itt = itt;
    a.task = true;
    a.lun = it->second.task.lun;
    a.dataSn = it->second.dataSn;
    a.r2ts = it->second.r2tSn;
    const uint32_t readLength = it->second.task.dataInLength;
    // The room the task held passes to its answer.
    a.held = std::exchange(it->second.held, 0);
    ForgetTask(it);
    if (result.outcome == IscsiTaskResult::Outcome::Aborted) return Release(a.held);
    if (result.outcome == IscsiTaskResult::Outcome::Lost) {
        // A controller that lost power answers nothing: its host hears the
        // connection end, with every task on it undone, and sends them
        // again through another path.  Any answer here (even a service
        // response) could be taken for done by a host that reads only the
        // status byte.  The listener ends the connection once what was
        // already sent has gone; the nexus goes with it, not from inside
        // its own callback.
        Release(a.held);
        m_phase = Phase::Closing;
        return;
    }
    if (result.dataIn.size() > readLength) {
        // More than the host accepts is an overflow, never a buffer overrun.
        if (!result.overflow && !result.underflow) {
            result.overflow = true;
            result.residual = uint32_t(result.dataIn.size()) - readLength;
        }
        result.dataIn.resize(readLength);
    }
    a.result = std::move(result);
    Queue(std::move(a));
}

// --- task management ----------------------------------------------------------------

void IscsiConnection::DropUnsubmitted(bool allLuns, uint64_t lun) {
    for (auto it = m_tasks.begin(); it != m_tasks.end();) {
        auto next = std::next(it);
        if (!it->second.submitted && (allLuns || it->second.task.lun == lun)) ForgetTask(it);
        it = next;
    }
}

void IscsiConnection::OnTaskManagement(const Pdu& pdu) {
    const uint32_t itt = pdu.InitiatorTaskTag();
    if (!TakeCmdSn(pdu)) return;
    const uint8_t function = pdu.bhs[1] & 0x7F;
    const uint64_t lun = pdu.U64(8);
    const uint32_t referenced = pdu.U32(20);
    auto answer = [&](uint8_t response) { AnswerTaskManagement(itt, response); };
    if (m_tmfs.count(itt)) return Fail(kRejectTaskInProgress, pdu, false);
    if (!m_nexus->Carries(function)) return answer(kTmfNotSupported);
    switch (function) {
    case kTmfAbortTask: {
        auto it = m_tasks.find(referenced);
        // A task already answered went its whole way: the host has its
        // response, and an abort of it finds no task (a host that heard of
        // both would not know which to believe).
        if (it == m_tasks.end()) return answer(kTmfNoTask);
        if (!it->second.submitted) {
            ForgetTask(it);
            return answer(kTmfComplete);
        }
        break;
    }
    case kTmfAbortTaskSet:
    case kTmfClearTaskSet:
    case kTmfLogicalUnitReset:
        DropUnsubmitted(false, lun);
        break;
    case kTmfClearAca:
        break;
    case kTmfTargetWarmReset:
        DropUnsubmitted(true, 0);
        break;
    case kTmfTaskReassign:
        return answer(kTmfReassignNotSupported);
    case kTmfTargetColdReset:
        return answer(kTmfNotSupported);
    default:
        return answer(kTmfRejected);
    }
    m_tmfs[itt] = function == kTmfAbortTask ? referenced : iscsi::kReservedTag;
    m_nexus->TaskManagement(itt, function, lun, referenced);
}

void IscsiConnection::OnTaskManagementDone(uint32_t itt, uint8_t response) {
    auto it = m_tmfs.find(itt);
    if (it == m_tmfs.end()) return;
    // An aborted task hears nothing more, whether or not the target still
    // reports its end.
    auto task = m_tasks.find(it->second);
    if (response == kTmfComplete && task != m_tasks.end()) ForgetTask(task);
    m_tmfs.erase(it);
    AnswerTaskManagement(itt, response);
}

// In turn after the answers of tasks that ended before it.
void IscsiConnection::AnswerTaskManagement(uint32_t itt, uint8_t response) {
    Answer a;
    a.pdu = iscsi::MakePdu(iscsi::kTaskManagementResponse);
    a.pdu.bhs[2] = response;
    a.pdu.SetU32(16, itt);
    Queue(std::move(a));
}

}  // namespace sim
