// The ISP24xx model's port on the fabric: link, logins, and the frames of
// initiators taken in arrival order.
#include "sim/isp_chip.h"

#include <algorithm>
#include <cstring>

#include "hw/scsi.h"
#include "sim/board.h"
#include "sim/isp_chip_parts.h"

namespace sim {

using namespace fw;
using namespace isp;

namespace {

constexpr uint64_t kFrameNs = 5'000;
constexpr uint16_t kFirstFabricHandle = 1;
// The port logs in as many initiators as the controller's initiator tables
// hold (handles below 255); a PLOGI past them is rejected.
constexpr uint16_t kMaxHandle = 254;

}  // namespace

// --- the port ----------------------------------------------------------------------

void IspChip::AttachFabric(FcFabric& fabric) {
    if (m_fabric == &fabric) return;
    m_fabric = &fabric;
    fabric.Attach(*this);
}

void IspChip::FabricGone() {
    m_fabric = nullptr;
    // Frames on their way name initiators that go with the fabric.
    m_frames.clear();
    if (board != nullptr) clock().Disarm(m_frameEvent);
    m_logins.clear();
    for (Exchange& x : m_exchanges) {
        if (x.used) CloseExchange(x);
    }
    m_linkUp = false;
}

bool IspChip::Holds(const FcInitiator& initiator) const {
    auto names = [&initiator](const auto& item) { return item.initiator == &initiator; };
    return std::any_of(m_frames.begin(), m_frames.end(), names) || std::any_of(m_logins.begin(), m_logins.end(), names) ||
           std::any_of(m_abts.begin(), m_abts.end(), names) ||
           std::any_of(m_exchanges.begin(), m_exchanges.end(), [&](const Exchange& x) { return x.used && names(x); }) ||
           std::any_of(m_ctios.begin(), m_ctios.end(), [&](const CtioInFlight& f) { return f.event.Armed() && names(f); });
}

uint8_t IspChip::OwnAlpa() const {
    const uint16_t loopId = m_hardAddress < FC_AL_LOOP_IDS ? m_hardAddress : 4;
    return FC_AL_LOOP_ID_TO_ALPA[loopId];
}

uint16_t IspChip::OwnLoopId() const { return m_hardAddress < FC_AL_LOOP_IDS ? m_hardAddress : 4; }

bool IspChip::Negotiate() {
    const bool loop = m_fabric->topology() == FcFabric::Topology::Loop;
    if (m_connectionOption == kConnectionLoopOnly && !loop) return false;
    if (m_connectionOption == kConnectionPointToPointOnly && loop) return false;
    const uint32_t fabricGb = m_fabric->linkSpeedGb();
    uint32_t fixedGb = 0;
    switch (m_rateOption) {
    case kRate1Gb: fixedGb = 1; break;
    case kRate2Gb: fixedGb = 2; break;
    case kRate4Gb: fixedGb = 4; break;
    default: break;
    }
    if (fixedGb > fabricGb) return false;
    m_speedGb = fixedGb != 0 ? fixedGb : std::min(fabricGb, m_isp2x00 ? kFastest2x00Gb : kFastestGb);
    return true;
}

uint16_t IspChip::SpeedCode() const {
    if (m_speedGb <= 1) return ISP_SPEED_1G;
    return m_speedGb == 2 ? ISP_SPEED_2G : ISP_SPEED_4G;
}

void IspChip::BringLinkUp() {
    if (m_fabric == nullptr || m_risc != Risc::Initialised || m_linkUp) return;
    if (!Negotiate()) return;
    m_linkUp = true;
    const bool loop = m_fabric->topology() == FcFabric::Topology::Loop;
    m_portId = loop ? OwnAlpa() : m_fabric->AssignPortId(true);
    m_firmwareState = ISP_FW_STATE_READY;
    if (loop) QueueAsync(ISP_AEN_LIP, 0xF7F7, 0, 0);
    QueueAsync(ISP_AEN_LOOP_UP, SpeedCode(), 0, 0);
    m_fabric->TargetOnline(*this);
}

// Every login and open exchange of the port ends with the link.
void IspChip::TakeLinkDown() {
    if (!m_linkUp) return;
    m_linkUp = false;
    ++linkStatus.dLinkFailures;
    ++linkStatus.dLossOfSync;
    ++linkStatus.dLossOfSignal;
    m_firmwareState = ISP_FW_STATE_LOSS_OF_SYNC;
    for (Exchange& x : m_exchanges) {
        if (!x.used) continue;
        x.initiator->Ended(x.tag, FcpResult::Outcome::Terminated);
        CloseExchange(x);
    }
    if (!m_logins.empty()) {
        Login any = m_logins.front();
        m_logins.clear();
        Notify(NOTIFY_GLOBAL_LOGOUT, 0, any);
    }
    QueueAsync(ISP_AEN_LOOP_DOWN, 0, 0, 0);
}

void IspChip::PowerOff() {
    if (m_fabric != nullptr) {
        for (Login& login : m_logins) login.initiator->LoggedOut(*this);
    }
    m_logins.clear();
    TakeLinkDown();
    SoftReset();
}

void IspChip::LinkChanged(bool up) {
    if (up) {
        if (m_risc == Risc::Initialised && m_linkEvent == 0) {
            m_linkEvent = clock().ScheduleIn(kLinkUpDelayNs, [this] {
                m_linkEvent = 0;
                BringLinkUp();
            });
        }
    } else {
        TakeLinkDown();
    }
}

IspChip::Login* IspChip::FindLogin(const FcInitiator& initiator) {
    for (Login& login : m_logins) {
        if (login.initiator == &initiator) return &login;
    }
    return nullptr;
}

IspChip::Login* IspChip::FindLoginByHandle(uint16_t handle) {
    for (Login& login : m_logins) {
        if (login.handle == handle) return &login;
    }
    return nullptr;
}

uint16_t IspChip::HandleOf(const FcInitiator& initiator) const {
    for (const Login& login : m_logins) {
        if (login.initiator == &initiator) return login.handle;
    }
    return 0xFFFF;
}

// On a loop the handle is the loop ID; on a fabric the lowest one free.
uint16_t IspChip::FreeHandle() const {
    for (uint16_t h = kFirstFabricHandle; h <= kMaxHandle; ++h) {
        bool used = false;
        for (const Login& login : m_logins) used = used || login.handle == h;
        if (!used) return h;
    }
    return 0xFFFF;
}

// --- frames from the fabric ----------------------------------------------------------
//
// Frames reach the port in the order they were sent, each after its time on
// the link; the chip takes them one by one from its receive queue.

void IspChip::Receive(Frame::Kind kind, FcInitiator& initiator, uint32_t tag, uint64_t delayNs) {
    uint64_t due = clock().Now() + delayNs;
    if (!m_frames.empty()) due = std::max(due, m_frames.back().dueNs);
    m_frames.push_back(Frame{kind, &initiator, tag, due});
    if (!m_frameEvent.Armed()) clock().Arm(m_frameEvent, m_frames.front().dueNs);
}

void IspChip::FramesDue() {
    using Handler = void (IspChip::*)(FcInitiator&, uint32_t);
    static constexpr Handler kHandlers[] = {
        &IspChip::TakePlogi, &IspChip::TakeLogo, &IspChip::TakeCommand, &IspChip::TakeAbts,
        &IspChip::TakeArrival, &IspChip::TakeDeparture,
    };
    while (!m_frames.empty() && m_frames.front().dueNs <= clock().Now()) {
        const Frame f = m_frames.front();
        m_frames.pop_front();
        (this->*kHandlers[static_cast<unsigned>(f.kind)])(*f.initiator, f.tag);
    }
    if (!m_frames.empty()) clock().Arm(m_frameEvent, m_frames.front().dueNs);
}

void IspChip::Plogi(FcInitiator& initiator) { Receive(Frame::Kind::Plogi, initiator, 0, kFrameNs); }

void IspChip::TakePlogi(FcInitiator& initiator, uint32_t) {
    if (!Online()) {
        initiator.LoginAnswered(*this, false);
        return;
    }
    Login* login = FindLogin(initiator);
    if (login == nullptr) {
        uint16_t handle = FreeHandle();
        if (m_fabric->topology() == FcFabric::Topology::Loop) {
            for (uint8_t id = 0; id < FC_AL_LOOP_IDS; ++id) {
                if (FC_AL_LOOP_ID_TO_ALPA[id] == static_cast<uint8_t>(initiator.portId())) handle = id;
            }
        }
        if (handle == 0xFFFF) {
            initiator.LoginAnswered(*this, false);
            return;
        }
        m_logins.push_back(Login{&initiator, handle, Login::State::PlogiNotified});
        login = &m_logins.back();
    } else {
        EndExchangesOf(initiator, FcpResult::Outcome::Terminated);   // a new PLOGI ends the old session
        login->state = Login::State::PlogiNotified;
    }
    // The ISP2x00 firmware takes logins itself and tells the driver only
    // that its port database changed.
    if (m_isp2x00) {
        login->state = Login::State::LoggedIn;
        initiator.LoginAnswered(*this, true);
        QueueAsync(ISP_AEN_PORT_DATABASE_CHANGED, 0, 0, 0);
        return;
    }
    Notify(NOTIFY_ELS, ELS_PLOGI, *login);
}

void IspChip::DropLogin(FcInitiator& initiator, uint16_t notifyStatus, bool tellInitiator) {
    Login* login = FindLogin(initiator);
    if (login == nullptr) return;
    const Login gone = *login;
    m_logins.erase(m_logins.begin() + (login - m_logins.data()));
    EndExchangesOf(initiator, FcpResult::Outcome::Terminated);
    if (notifyStatus == NOTIFY_ELS) {
        Notify(NOTIFY_ELS, ELS_LOGO, gone);
    } else if (notifyStatus != 0) {
        Notify(notifyStatus, 0, gone);
    }
    if (tellInitiator) initiator.LoggedOut(*this);
    QueueAsync(ISP_AEN_PORT_DATABASE_CHANGED, 0, 0, 0);
}

void IspChip::Logo(FcInitiator& initiator) { Receive(Frame::Kind::Logo, initiator, 0, kFrameNs); }

void IspChip::TakeLogo(FcInitiator& initiator, uint32_t) { DropLogin(initiator, NOTIFY_ELS, false); }

void IspChip::MembershipChanged(FcInitiator& initiator, bool present) {
    Receive(present ? Frame::Kind::Arrival : Frame::Kind::Departure, initiator, 0, kFrameNs);
}

void IspChip::TakeArrival(FcInitiator& initiator, uint32_t) { FabricChanged(initiator, true); }

void IspChip::TakeDeparture(FcInitiator& initiator, uint32_t) { FabricChanged(initiator, false); }

void IspChip::FabricChanged(FcInitiator& initiator, bool present) {
    if (!Online()) return;
    if (!present) DropLogin(initiator, NOTIFY_LOGOUT, false);
    if (m_fabric->topology() == FcFabric::Topology::Loop) {
        Lip();
    } else {
        QueueAsync(ISP_AEN_RSCN, static_cast<uint16_t>(initiator.portId() >> 16), static_cast<uint16_t>(initiator.portId()), 0);
    }
}

void IspChip::Command(FcInitiator& initiator, uint32_t tag, const FcpCommand&) {
    Receive(Frame::Kind::Command, initiator, tag, kFrameNs + TransferNs(64));
}

// An FCP_CMND becomes an ATIO of type 7 with an exchange of its own.  With
// every exchange in use the ATIO says so (exchange address 0xFFFFFFFF) and
// the firmware answers it with a status of its own choosing; with no room
// on the ATIO ring either, the chip answers BUSY itself and the firmware
// never sees the command.
void IspChip::TakeCommand(FcInitiator& initiator, uint32_t tag) {
    const FcpCommand* c = initiator.CommandOf(tag);
    if (c == nullptr) return;
    const Login* login = FindLogin(initiator);
    if (!Online() || ((login == nullptr || login->state != Login::State::LoggedIn) && !faults.acceptUnknownInitiators)) {
        initiator.Ended(tag, FcpResult::Outcome::Rejected);
        return;
    }
    if (m_isp2x00) {
        TakeCommand2x00(initiator, tag, *c, login);
        return;
    }
    if (m_freeExchanges.empty() && !AtioRingHasRoom()) {
        ++m_busyAnswers;
        initiator.Response(tag, SCSI_STATUS_BUSY, nullptr, 0, 0, false, false);
        return;
    }
    const uint32_t fcpDl = c->fcpDl >= 0 ? static_cast<uint32_t>(c->fcpDl)
                                         : static_cast<uint32_t>(c->dataOut.empty() ? c->dataInLength : c->dataOut.size());
    const uint16_t oxId = FcInitiator::OxIdOf(tag);
    const uint32_t address = OpenExchange(initiator, tag, oxId, fcpDl);
    ATIO7_ENTRY atio{};
    atio.bEntryType = ATIO7_ENTRY_TYPE;
    atio.bEntryCount = 1;
    atio.wFcpCmndLength = 0x1C;
    atio.dExchangeAddress = address;
    atio.bRCtl = 0x06;
    Put24Be(atio.abDestinationId, m_portId);
    Put24Be(atio.abSourceId, initiator.portId());
    atio.bType = 0x08;
    atio.abFCtl[0] = 0x29;
    atio.abOxId[0] = static_cast<uint8_t>(oxId >> 8);
    atio.abOxId[1] = static_cast<uint8_t>(oxId);
    atio.abRxId[0] = 0xFF;
    atio.abRxId[1] = 0xFF;
    atio.abFcpLun[0] = static_cast<uint8_t>(c->lun >> 8);
    atio.abFcpLun[1] = static_cast<uint8_t>(c->lun);
    atio.bCommandReference = c->crn;
    atio.bTaskAttribute = c->taskAttribute & 7;
    atio.bTaskManagement = c->taskManagement;
    atio.bDataDirection = static_cast<uint8_t>((c->dataInLength != 0 ? FCP_READ_DATA : 0) |
                                                        (!c->dataOut.empty() ? FCP_WRITE_DATA : 0));
    if (!c->cdb.empty()) std::memcpy(atio.abCdb, c->cdb.data(), std::min<size_t>(c->cdb.size(), 16));
    for (int i = 0; i < 4; ++i) atio.abDataLength[i] = static_cast<uint8_t>(fcpDl >> (24 - 8 * i));
    Entry e{};
    std::memcpy(e.data(), &atio, sizeof atio);
    PutAtio(e);
}

void IspChip::Abts(FcInitiator& initiator, uint32_t tag) { Receive(Frame::Kind::Abts, initiator, tag, kFrameNs); }

void IspChip::TakeAbts(FcInitiator& initiator, uint32_t tag) {
    if (m_isp2x00) {
        TakeAbts2x00(initiator, tag);
        return;
    }
    Exchange* found = nullptr;
    uint32_t address = kNoExchange;
    for (Exchange& x : m_exchanges) {
        if (x.used && x.initiator == &initiator && x.tag == tag) {
            found = &x;
            address = static_cast<uint32_t>(x.generation) << 16 | static_cast<uint32_t>(&x - m_exchanges.data());
        }
    }
    if (found != nullptr) found->aborting = true;
    const Login* login = FindLogin(initiator);
    const uint16_t oxId = FcInitiator::OxIdOf(tag);
    m_abts.push_back(PendingAbts{address, oxId, &initiator, tag});
    ABTS_ENTRY abts{};
    abts.bEntryType = ABTS_RECEIVED_ENTRY_TYPE;
    abts.bEntryCount = 1;
    abts.wNPortHandle = login != nullptr ? login->handle : 0xFFFF;
    abts.dExchangeToAbort = address;
    Put24Be(abts.abPortId, initiator.portId());
    abts.wOxId = oxId;
    abts.wRxId = 0xFFFF;
    Entry e{};
    std::memcpy(e.data(), &abts, sizeof abts);
    PutResponse(e);
}

}  // namespace sim
