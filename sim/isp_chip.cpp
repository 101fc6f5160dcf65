// The ISP24xx model's PCI function, register window and interrupt
// presentation; the mailboxes, the rings and the fabric side are in
// isp_chip_mailbox.cpp, isp_chip_rings.cpp and isp_chip_fabric.cpp.
#include "sim/isp_chip.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#include "hw/pci_ids.h"
#include "sim/board.h"

namespace sim {

using namespace fw;

namespace {

constexpr uint32_t kRegisterWindow = 0x100;
constexpr uint64_t kAsyncHoldNs = 1'000'000;

}  // namespace

IspChip* FindIspChip(Board& board, uint8_t chip) { return board.ispChip(chip); }

IspChip::IspChip(uint8_t chip, uint32_t pciId, uint8_t revision, bool pcie, InterruptLine line)
    : PciFunction(static_cast<uint16_t>(pciId), static_cast<uint16_t>(pciId >> 16), revision, 0x0C0400, 0),
      m_chip(chip), m_pcie(pcie), m_interrupt(line), m_isp2x00(pciId == ISP_ID_2312 || pciId == ISP_ID_2322) {
    m_config[0] = pciId;
    m_config[1] = 0x02100000;
    m_config[2] = 0x0C0400u << 8 | revision;
    m_config[ISP_CFG_PCIE_DEVCTL / 4] = 0x2810;
    m_exchanges.resize(kDefaultExchanges);
    for (uint32_t i = kDefaultExchanges; i-- > 0;) m_freeExchanges.push_back(i);
    m_frameEvent.SetAction([this] { FramesDue(); });
    for (uint32_t i = kCtioSlots; i-- > 0;) {
        m_ctios[i].event.SetAction([this, i] { CtioDone(i); });
        m_freeCtios.push_back(i);
    }
    FitTransceiver(true);
    // The ISP2x00 chips of a test board start their firmware from reset.
    if (m_isp2x00) m_risc = Risc::Running;
}

namespace {

void Put16(std::array<uint8_t, 256>& page, uint32_t offset, uint16_t value) {
    page[offset] = static_cast<uint8_t>(value >> 8);
    page[offset + 1] = static_cast<uint8_t>(value);
}

uint8_t Sum(const std::array<uint8_t, 256>& page, uint32_t first, uint32_t last) {
    uint32_t sum = 0;
    for (uint32_t i = first; i <= last; ++i) sum += page[i];
    return static_cast<uint8_t>(sum);
}

}  // namespace

// A 4 Gb/s short-wave optic: identity, thresholds and the readings of a
// healthy module, different per chip so the two ports tell apart.
void IspChip::FitTransceiver(bool internallyCalibrated) {
    sfpIdentity.fill(0);
    sfpDiagnostics.fill(0);
    auto& a = sfpIdentity;
    a[0] = 0x03;                                            // SFP
    a[1] = 0x04;                                            // serial ID module
    a[2] = 0x07;                                            // LC
    const uint8_t codes[8] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x0C, 0x15};
    std::memcpy(&a[3], codes, sizeof codes);
    a[11] = 0x01;                                           // 8B10B
    a[12] = 0x2B;                                           // 4300 Mb/s
    a[16] = 0x0F;                                           // 150 m on 50/125
    a[17] = 0x07;                                           // 70 m on 62.5/125
    std::memcpy(&a[20], "SIMULATED OPTICS", 16);
    a[37] = 0x00; a[38] = 0x90; a[39] = 0x65;               // OUI
    std::memcpy(&a[40], "SFP-4G-SW-SIM   ", 16);
    std::memcpy(&a[56], "A1  ", 4);
    a[64] = 0x00; a[65] = 0x1A;                             // LOS, TX fault, TX disable
    a[66] = 0x05; a[67] = 0x05;                             // +/- 5 %
    char serial[17];
    std::snprintf(serial, sizeof serial, "SIMSFP%010u", 70000u + m_chip);
    std::memcpy(&a[68], serial, 16);
    std::memcpy(&a[84], "070615", 6);                       // 15 June 2007
    std::memcpy(&a[90], "L3", 2);
    a[92] = internallyCalibrated ? 0x68 : 0x58;             // diagnostics, internal (0x20) or external (0x10)
    a[93] = 0xF0;
    a[94] = 0x01;
    auto& d = sfpDiagnostics;
    Put16(d, 0, 0x5F00); Put16(d, 2, 0xD800); Put16(d, 4, 0x5A00); Put16(d, 6, 0xE200);   // 95, -40, 90, -30 C
    Put16(d, 8, 36000); Put16(d, 10, 30000); Put16(d, 12, 35000); Put16(d, 14, 31000);     // volts
    Put16(d, 16, 7500); Put16(d, 18, 1000); Put16(d, 20, 6000); Put16(d, 22, 1500);        // bias
    Put16(d, 24, 10000); Put16(d, 26, 1000); Put16(d, 28, 8000); Put16(d, 30, 1250);       // TX power
    Put16(d, 32, 10000); Put16(d, 34, 200); Put16(d, 36, 8000); Put16(d, 38, 300);         // RX power
    if (!internallyCalibrated) {
        // RX power polynomial (IEEE floats, big-endian): 1.0 for the linear term.
        d[68] = 0x3F; d[69] = 0x80;
        Put16(d, 76, 0x0100); Put16(d, 80, 0x0100); Put16(d, 84, 0x0100); Put16(d, 88, 0x0100);   // slopes 1.0
        Put16(d, 78, 0x0010); Put16(d, 86, 0xFF00);                                               // offsets
    }
    Put16(d, 96, static_cast<uint16_t>(0x2300 + 0x80 * m_chip));   // 35.5 / 36 C
    Put16(d, 98, 33012);                                           // 3.30 V
    Put16(d, 100, 3271);                                           // 6.54 mA
    Put16(d, 102, 5623);                                           // 0.5623 mW
    Put16(d, 104, 4017);                                           // 0.4017 mW
    SealTransceiverPages();
}

void IspChip::SealTransceiverPages() {
    sfpIdentity[63] = Sum(sfpIdentity, 0, 62);
    sfpIdentity[95] = Sum(sfpIdentity, 64, 94);
    sfpDiagnostics[95] = Sum(sfpDiagnostics, 0, 94);
}

void IspChip::InjectLinkErrors(uint32_t invalidWords, uint32_t crcErrors, uint8_t alpa) {
    fw::ISP_LINK_STATUS& s = alpa == 0 ? linkStatus : deviceLinkStatus[alpa];
    s.dInvalidTransmissionWords += invalidWords;
    s.dInvalidCrcs += crcErrors;
}

uint32_t IspChip::WindowRegister(uint32_t offset) const {
    auto at = [this](uint32_t o) {
        auto it = m_latched.find(o);
        return it == m_latched.end() ? 0u : it->second;
    };
    // Window 0x0F70 puts the shadow select at 0xF0 and its data at 0xFC.
    if ((at(0x54) & 0xFFFF) == 0x0F70 && offset >= 0xF0) {
        return offset == 0xFC ? 0x5AD00000u | ((at(0xF0) >> 20) & 0xF) << 8 | m_chip : at(offset);
    }
    // Each bank answers with its base and register number, marked by chip.
    return (at(0x54) & 0xFFFF) << 16 | (offset - 0xC0) << 4 | m_chip;
}

IspChip::~IspChip() {
    // A clock shared with a partner board goes on after this board is gone.
    if (board != nullptr) CancelTimers();
    if (m_fabric != nullptr) m_fabric->Detach(*this);
}

void IspChip::CancelTimers() {
    for (Clock::EventId* e : {&m_mailboxEvent, &m_requestEvent, &m_presentEvent, &m_linkEvent}) {
        if (*e != 0) clock().Cancel(*e);
        *e = 0;
    }
}

Clock& IspChip::clock() { return B().clock(); }

uint64_t IspChip::NowNs() const { return board->clock().Now(); }

uint8_t* IspChip::Memory(uint32_t address, uint32_t length) { return B().memory().Translate(address, length); }

void IspChip::LatchBusError() { B().pci().LatchMasterAbort(m_pcie); }

uint64_t IspChip::TransferNs(uint32_t bytes) const { return FcTransferNs(bytes); }

// --- PCI configuration space ------------------------------------------------------

uint32_t IspChip::ConfigRead(uint16_t offset) {
    if (faults.configReadsAbort && (offset & 0xFF) != 0) {
        LatchBusError();
        return 0xFFFFFFFF;
    }
    return m_config[(offset & 0xFF) / 4];
}

void IspChip::ConfigWrite(uint16_t offset, uint32_t value) {
    const unsigned index = (offset & 0xFF) / 4;
    if (index == 0 || index == 2) return;   // identity
    if (index == ISP_CFG_BAR0 / 4) {
        m_config[index] = (value & ~(kRegisterWindow - 1)) | 1;   // an I/O BAR
        MapRegisters(value & ~(kRegisterWindow - 1));
        return;
    }
    m_config[index] = value;
}

void IspChip::MapRegisters(uint32_t bar) {
    if (!board) return;
    if (m_mapped) B().bus().Unmap(this);
    m_mappedAt = PCI_OUTBOUND_WINDOW_UNIT1 + (bar & (PCI_OUTBOUND_WINDOW_SIZE - 1));
    B().bus().Map(m_mappedAt, kRegisterWindow, this);
    m_mapped = true;
}

// --- registers ------------------------------------------------------------------------

// The ISP2x00 register file holds the same state at its own offsets.
uint32_t IspChip::Canonical(uint32_t offset) const {
    if (!m_isp2x00) return offset;
    if (offset >= ISP2X_REG_MAILBOX0 && offset < ISP2X_REG_MAILBOX0 + 2 * ISP_MAILBOXES) {
        return ISP24_REG_MAILBOX0 + (offset - ISP2X_REG_MAILBOX0);
    }
    switch (offset) {
    case ISP2X_REG_CTRL_STATUS: return ISP24_REG_CTRL_STATUS;
    case ISP2X_REG_INT_CONTROL: return ISP24_REG_INT_CONTROL;
    case ISP2X_REG_INT_STATUS: return ISP24_REG_INT_STATUS;
    case ISP2X_REG_REQ_IN: return ISP24_REG_REQ_IN;
    case ISP2X_REG_REQ_OUT: return ISP24_REG_REQ_OUT;
    case ISP2X_REG_RSP_IN: return ISP24_REG_RSP_IN;
    case ISP2X_REG_RSP_OUT: return ISP24_REG_RSP_OUT;
    case ISP2X_REG_HOST_STATUS: return ISP24_REG_HOST_STATUS;
    default: return offset | 0x1000;   // everything else latches apart
    }
}

uint32_t IspChip::Read(uint32_t address, unsigned) {
    if (faults.busError) LatchBusError();
    const uint32_t offset = address - m_mappedAt;
    if (m_isp2x00 && offset == ISP2X_REG_HCCR) return m_paused ? ISP2X_HCCR_PAUSED : 0;
    return RegisterRead(Canonical(offset));
}

void IspChip::Write(uint32_t address, uint32_t value, unsigned) {
    ++m_registerWrites;
    if (faults.busError) LatchBusError();
    const uint32_t offset = address - m_mappedAt;
    if (m_isp2x00 && offset == ISP2X_REG_HCCR) {
        switch (value) {
        case ISP_HC_SET_HOST_INT: WriteHccr(ISP24_HCCR_SET_HOST_INT); break;
        case ISP_HC_CLEAR_RISC_INT: WriteHccr(ISP24_HCCR_CLEAR_RISC_INT); break;
        case ISP_HC_PAUSE_RISC: WriteHccr(ISP24_HCCR_PAUSE_RISC); break;
        case ISP_HC_RELEASE_RISC: WriteHccr(ISP24_HCCR_RELEASE_RISC); break;
        case ISP_HC_CLEAR_HOST_INT: WriteHccr(ISP24_HCCR_CLEAR_HOST_INT); break;
        default: m_latched[offset | 0x1000] = value; break;
        }
        return;
    }
    if (offset == ISP24_REG_HCCR && !m_isp2x00) ++m_hccrWrites;
    RegisterWrite(Canonical(offset), value);
}

uint32_t IspChip::RegisterRead(uint32_t offset) {
    if (offset >= ISP24_REG_MAILBOX0 && offset < ISP24_REG_MAILBOX0 + 2 * ISP_MAILBOXES) {
        return m_mailbox[(offset - ISP24_REG_MAILBOX0) / 2];
    }
    switch (offset) {
    case ISP24_REG_CTRL_STATUS: return m_ctrlStatus;
    case ISP24_REG_INT_CONTROL: return m_intControl;
    case ISP24_REG_INT_STATUS: return m_presented ? ISP_INT_STATUS_RISC : 0;
    case ISP24_REG_REQ_IN: return m_reqIn;
    case ISP24_REG_REQ_OUT: return m_reqOut;
    case ISP24_REG_RSP_IN: return m_rspIn;
    case ISP24_REG_RSP_OUT: return m_rspOut;
    case ISP24_REG_ATIO_IN: return m_atioIn;
    case ISP24_REG_ATIO_OUT: return m_atioOut;
    case ISP24_REG_HOST_STATUS: return (m_presented ? m_hostStatus : 0) | (m_paused ? ISP24_HOST_STATUS_PAUSED : 0);
    case ISP24_REG_HCCR: return m_hostIntPending ? ISP24_HCCR_HOST_INT_PENDING : 0;
    case ISP24_REG_GPIO_DATA: return m_gpio;
    default: {
        if (offset >= 0xC0 && offset < 0x100) return WindowRegister(offset);
        auto it = m_latched.find(offset);
        return it == m_latched.end() ? 0 : it->second;
    }
    }
}

void IspChip::RegisterWrite(uint32_t offset, uint32_t value) {
    if (offset >= ISP24_REG_MAILBOX0 && offset < ISP24_REG_MAILBOX0 + 2 * ISP_MAILBOXES) {
        m_mailbox[(offset - ISP24_REG_MAILBOX0) / 2] = static_cast<uint16_t>(value);
        m_asyncHoldUntil = 0;   // a new command: what the last one answered has been read
        return;
    }
    switch (offset) {
    case ISP24_REG_CTRL_STATUS:
        m_ctrlStatus = value & ~(ISP24_CTRL_SOFT_RESET | ISP24_CTRL_DMA_ACTIVE);
        if (value & ISP24_CTRL_SOFT_RESET) SoftReset();
        break;
    case ISP24_REG_INT_CONTROL:
        m_intControl = value;
        UpdateLine();
        break;
    case ISP24_REG_REQ_IN:
        m_reqIn = static_cast<uint16_t>(value);
        RequestsWritten();
        break;
    case ISP24_REG_RSP_OUT:
        m_rspOut = static_cast<uint16_t>(value);
        DrainBacklogs();
        break;
    case ISP24_REG_ATIO_OUT:
        m_atioOut = static_cast<uint16_t>(value);
        DrainBacklogs();
        break;
    case ISP24_REG_HCCR:
        WriteHccr(value);
        break;
    case ISP24_REG_GPIO_DATA:
        // Bits 16-31 say which of bits 0-15 the write may change.
        m_gpio = (m_gpio & ~(value >> 16)) | (value & (value >> 16) & 0xFFFF) | (value & 0xFFFF0000u);
        break;
    default:
        m_latched[offset] = value;
        break;
    }
}

void IspChip::WriteHccr(uint32_t value) {
    switch (value) {
    case ISP24_HCCR_SET_HOST_INT: StartMailboxCommand(); break;
    case ISP24_HCCR_CLEAR_RISC_INT:
        m_presented = false;
        UpdateLine();
        Present();
        break;
    case ISP24_HCCR_PAUSE_RISC: m_paused = true; break;
    case ISP24_HCCR_RELEASE_RISC: m_paused = false; break;
    case ISP24_HCCR_CLEAR_HOST_INT: m_hostIntPending = false; break;
    default: break;
    }
}

// A soft reset takes the RISC back to its ROM: the loaded firmware, rings,
// logins and exchanges are gone.
void IspChip::SoftReset() {
    CancelTimers();
    if (m_fabric != nullptr) {
        for (Login& login : m_logins) login.initiator->LoggedOut(*this);
    }
    for (Exchange& x : m_exchanges) {
        if (x.used) CloseExchange(x);
    }
    for (uint32_t i = 0; i < kCtioSlots; ++i) {
        if (!m_ctios[i].event.Armed()) continue;
        clock().Disarm(m_ctios[i].event);
        m_freeCtios.push_back(i);
    }
    m_logins.clear();
    m_notifies.clear();
    m_abts.clear();
    m_risc = m_isp2x00 ? Risc::Running : Risc::Rom;
    m_riscMemoryStale = true;
    m_checksumGood = false;
    m_linkUp = false;
    m_mailbox[0] = 0;   // the ROM is ready
    m_firmwareState = ISP_FW_STATE_CONFIG_WAIT;
    m_mailboxAnswers.clear();
    m_async.clear();
    m_atioUpdate = m_responseUpdate = m_presented = m_hostIntPending = false;
    m_reqBase = m_rspBase = m_atioBase = 0;
    m_reqIn = m_reqOut = m_rspIn = m_rspOut = m_atioIn = m_atioOut = 0;
    m_rspBacklog.clear();
    m_atioBacklog.clear();
    UpdateLine();
}

// --- interrupt presentation ------------------------------------------------------------

void IspChip::UpdateLine() {
    const bool level = m_presented && (m_intControl & ISP24_INT_CONTROL_RISC);
    if (level == m_line) return;
    m_line = level;
    m_interrupt.Set(level);
}

// Mailbox answers first, then events in order, then ring updates.  Events
// wait while the mailboxes still hold the last answer for the driver.
void IspChip::Present() {
    if (m_presented || !board) return;
    Interrupt next{};
    bool found = false;
    if (!m_mailboxAnswers.empty()) {
        next = m_mailboxAnswers.front();
        m_mailboxAnswers.pop_front();
        m_asyncHoldUntil = clock().Now() + kAsyncHoldNs;
        found = true;
    } else if (!m_async.empty() && clock().Now() >= m_asyncHoldUntil) {
        next = m_async.front();
        m_async.pop_front();
        found = true;
    } else if (m_atioUpdate || m_responseUpdate) {
        uint16_t responseIn = m_rspIn;
        if (m_responseUpdate && faults.nextResponseInPointer >= 0) {
            responseIn = static_cast<uint16_t>(faults.nextResponseInPointer);
            faults.nextResponseInPointer = -1;
        }
        next.mailboxMask = 0;
        if (m_atioUpdate && m_responseUpdate) {
            next.kind = ISP_INT_ATIO_RESPONSE_UPDATE;
            next.mailbox[0] = responseIn;
        } else if (m_atioUpdate) {
            next.kind = ISP_INT_ATIO_UPDATE;
            next.mailbox[0] = m_atioIn;
        } else if (faults.fastPostResponses) {
            next.kind = ISP_INT_ASYNC_EVENT;
            next.mailbox[0] = ISP_AEN_FAST_POST_RESPONSE;
        } else {
            next.kind = ISP_INT_RESPONSE_UPDATE;
            next.mailbox[0] = responseIn;
        }
        m_atioUpdate = m_responseUpdate = false;
        found = true;
    }
    if (!found) {
        if (!m_async.empty() && m_presentEvent == 0) {
            m_presentEvent = clock().Schedule(m_asyncHoldUntil, [this] {
                m_presentEvent = 0;
                Present();
            });
        }
        return;
    }
    // Only the mailboxes the interrupt carries: a ring update, the common
    // case, carries none.
    for (uint32_t mask = next.mailboxMask; mask != 0; mask &= mask - 1) {
        const unsigned n = static_cast<unsigned>(std::countr_zero(mask));
        m_mailbox[n] = next.mailbox[n];
    }
    m_hostStatus = ISP24_HOST_STATUS_INTERRUPT | static_cast<uint32_t>(next.mailbox[0]) << 16 | next.kind;
    m_presented = true;
    UpdateLine();
}

void IspChip::QueueMailboxAnswer(const Interrupt& answer) {
    m_mailboxAnswers.push_back(answer);
    Present();
}

void IspChip::QueueAsync(uint16_t code, uint16_t m1, uint16_t m2, uint16_t m3) {
    Interrupt e{};
    e.kind = ISP_INT_ASYNC_EVENT;
    e.mailbox[0] = code;
    e.mailbox[1] = m1;
    e.mailbox[2] = m2;
    e.mailbox[3] = m3;
    e.mailboxMask = 0xF;
    m_async.push_back(e);
    Present();
}

void IspChip::RaiseAsyncEvent(uint16_t code, uint16_t mailbox1, uint16_t mailbox2, uint16_t mailbox3) {
    QueueAsync(code, mailbox1, mailbox2, mailbox3);
}

void IspChip::LipReset() { QueueAsync(ISP_AEN_LIP_RESET, 0, 0, 0); }

void IspChip::Lip() {
    ++linkStatus.dLossOfSync;
    QueueAsync(ISP_AEN_LIP, 0xF7F7, 0, 0);
    QueueAsync(ISP_AEN_LOOP_UP, SpeedCode(), 0, 0);
}

void IspChip::PauseRisc() {
    m_paused = true;
    Interrupt e{};
    e.kind = ISP_INT_ASYNC_EVENT;
    e.mailbox[0] = ISP_AEN_SYSTEM_ERROR;
    e.mailboxMask = 1;
    m_async.push_back(e);
    Present();
}

}  // namespace sim
