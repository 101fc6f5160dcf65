#include "sim/isp_loop_chip.h"

#include <algorithm>
#include <cstring>

#include "hw/isp_fc.h"
#include "hw/pci_ids.h"
#include "sim/board.h"

namespace sim {

using namespace fw;

namespace {

constexpr uint64_t kMailboxNs = 5'000;
constexpr uint64_t kPresentNs = 1'000;
constexpr uint64_t kRequestNs = 1'000;
constexpr uint64_t kSecondNs = 1'000'000'000;
constexpr uint16_t kCompletionReset = 4;
constexpr uint16_t kCompletionTimeout = 6;
constexpr uint16_t kCompletionUnderrun = 0x15;
constexpr uint16_t kStatusSenseValid = 0x0200;
constexpr uint16_t kStatusUnderrun = 0x0800;
constexpr uint8_t kEntryMarker = 0x04;
constexpr uint8_t kEntryNotifyAck = 0x0E;
constexpr uint16_t kControlDataIn = 0x20;
constexpr uint16_t kControlDataOut = 0x40;
// The chip's own layout: the control/status register's bank select, the
// bank registers and the sequencer window register among them.
constexpr uint16_t kBankMask = 0x70;
constexpr uint32_t kBankFirst = 0x80;
constexpr uint32_t kBankEnd = 0xC0;
constexpr uint32_t kSequencerWindow = 0xA4;
constexpr uint16_t kRiscBank = 0x20;
constexpr uint32_t kRiscGpio = 0x96;
constexpr uint32_t kGpioData = 0xCC;
constexpr uint32_t kGpioEnable = 0xCE;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
void Put16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
// A world wide name as it goes on the wire: most significant byte first.
void PutName(uint8_t* p, uint64_t name) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(name >> (56 - 8 * i));
}
uint32_t BusAddress(uint16_t high, uint16_t low) { return static_cast<uint32_t>(high) << 16 | low; }

}  // namespace

IspLoopChip::IspLoopChip(Board& board, uint8_t chip, InterruptLine line)
    : m_board(board), m_chip(chip), m_line(line) {
    m_mailboxEvent.SetAction([this] { Mailbox(); });
    m_presentEvent.SetAction([this] { Present(); });
    m_requestEvent.SetAction([this] { TakeRequests(); });
    m_completionEvent.SetAction([this] { CompletionsDue(); });
    m_board.bus().Map(WindowOf(chip), ISP_REGISTER_SPAN, this);
}

IspLoopChip::~IspLoopChip() { m_board.bus().Unmap(this); }

uint32_t IspLoopChip::WindowOf(uint8_t chip) { return PCI_OUTBOUND_WINDOW_UNIT2 + (chip == 4 ? 0x1000 : 0); }

uint8_t* IspLoopChip::Memory(uint32_t address, uint32_t length) { return m_board.memory().Translate(address, length); }

LoopDevice* IspLoopChip::Find(uint8_t alpa) {
    for (LoopDevice& d : devices) {
        if (d.alpa == alpa && d.onLoop()) return &d;
    }
    return nullptr;
}

LoopDevice* IspLoopChip::ByLoopId(uint16_t loopId) {
    if (loopId >= FC_AL_LOOP_IDS) return nullptr;
    return Find(FC_AL_LOOP_ID_TO_ALPA[loopId]);
}

uint64_t IspLoopChip::raisedForNs() const { return m_lineLevel ? m_board.clock().Now() - m_raisedAt : 0; }

uint16_t IspLoopChip::firmwareState() const {
    if (firmwareStateOverride != 0xFFFF) return firmwareStateOverride;
    if (m_reqBase == 0) return ISP_FW_STATE_CONFIG_WAIT;
    if (!m_loopUp) return ISP_FW_STATE_LOSS_OF_SYNC;
    return m_board.clock().Now() < m_readyAt ? ISP_FW_STATE_WAIT_AL_PA : ISP_FW_STATE_READY;
}

// --- registers -------------------------------------------------------------------------

// The driver reaches every chip through one board-wide generation flag: on
// a board whose host chips are ISP24xx it programs this chip through the
// ISP24xx offsets of the same registers, which the chip answers as well.
uint32_t IspLoopChip::Canonical(uint32_t r) {
    if (r >= ISP24_REG_MAILBOX0 && r < ISP24_REG_MAILBOX0 + 2 * ISP_MAILBOXES) {
        return ISP2X_REG_MAILBOX0 + (r - ISP24_REG_MAILBOX0);
    }
    switch (r) {
    case ISP24_REG_REQ_IN: return ISP2X_REG_REQ_IN;
    case ISP24_REG_REQ_OUT: return ISP2X_REG_REQ_OUT;
    case ISP24_REG_RSP_IN: return ISP2X_REG_RSP_IN;
    case ISP24_REG_RSP_OUT: return ISP2X_REG_RSP_OUT;
    default: return r;
    }
}

uint32_t IspLoopChip::Read(uint32_t address, unsigned) {
    const uint32_t raw = address - WindowOf(m_chip);
    if (m_native && raw >= kBankFirst && raw < kBankEnd) {
        // The selected bank's registers; with a sequencer window chosen,
        // the window's registers (the window register reads back).
        if (raw == kSequencerWindow) return m_window;
        if ((m_control & kBankMask) == kRiscBank && raw == kRiscGpio) return m_riscGpio;
        return m_window != 0 ? windowRegister(m_window, raw) : bankRegister(m_control & kBankMask, raw);
    }
    if (raw == ISP2X_REG_CTRL_STATUS) return m_control;   // a soft reset ends at once
    if (raw == kGpioData) return (m_gpioData & m_gpioEnable) | (gpioInputs & ~m_gpioEnable);
    if (raw == kGpioEnable) return m_gpioEnable;
    const uint32_t r = m_native ? raw : Canonical(raw);
    if (!m_native && r == ISP24_REG_HCCR) return 0;   // no host interrupt pending
    if (r >= ISP2X_REG_MAILBOX0 && r < ISP2X_REG_MAILBOX0 + 2 * ISP_MAILBOXES) {
        return m_mailbox[(r - ISP2X_REG_MAILBOX0) / 2];
    }
    switch (r) {
    case ISP2X_REG_HOST_STATUS: return (m_presented ? m_hostStatus : 0) | (m_paused ? 0x100u : 0);
    case ISP2X_REG_INT_STATUS: return m_presented ? ISP_INT_STATUS_RISC : 0;
    case ISP2X_REG_REQ_OUT: return m_reqOut;
    case ISP2X_REG_RSP_IN: return m_rspIn;
    case ISP2X_REG_HCCR: return m_paused ? ISP2X_HCCR_PAUSED : 0;
    default: return 0;
    }
}

void IspLoopChip::Write(uint32_t address, uint32_t value, unsigned) {
    const uint32_t raw = address - WindowOf(m_chip);
    // A host command other than the interrupt clear at its own HCCR: from
    // now on the driver speaks the chip's own layout, where 0x48 is a
    // mailbox and 0x80-0xBE the register banks.  (The interrupt path clears
    // the chip there whatever layout it otherwise uses.)
    if (raw == ISP2X_REG_HCCR && value != ISP_HC_CLEAR_RISC_INT) m_native = true;
    if (m_native && raw == kSequencerWindow) {
        m_window = static_cast<uint16_t>(value);
        return;
    }
    if (m_native && raw == kRiscGpio && (m_control & kBankMask) == kRiscBank) {
        m_riscGpio = static_cast<uint16_t>(value);
        m_riscGpioLog.emplace_back(m_board.clock().Now(), m_riscGpio);
        return;
    }
    if (raw == kGpioData || raw == kGpioEnable) {
        (raw == kGpioData ? m_gpioData : m_gpioEnable) = static_cast<uint16_t>(value);
        return;
    }
    if (raw == ISP2X_REG_CTRL_STATUS) {
        m_control = static_cast<uint16_t>(value & kBankMask);
        m_window = 0;
        if (value & 1u) SoftReset();
        return;
    }
    uint32_t r = m_native ? raw : Canonical(raw);
    if (!m_native && r == ISP24_REG_HCCR) {
        r = ISP2X_REG_HCCR;
        switch (value) {
        case ISP24_HCCR_SET_HOST_INT: value = ISP_HC_SET_HOST_INT; break;
        case ISP24_HCCR_PAUSE_RISC: value = ISP_HC_PAUSE_RISC; break;
        case ISP24_HCCR_RELEASE_RISC: value = ISP_HC_RELEASE_RISC; break;
        default:
            // Its interrupt is not cleared there: 0x48 is this chip's
            // mailbox 4, which takes the low half.
            m_mailbox[4] = static_cast<uint16_t>(value);
            return;
        }
    }
    if (r >= ISP2X_REG_MAILBOX0 && r < ISP2X_REG_MAILBOX0 + 2 * ISP_MAILBOXES) {
        m_mailbox[(r - ISP2X_REG_MAILBOX0) / 2] = static_cast<uint16_t>(value);
        return;
    }
    switch (r) {
    case ISP2X_REG_REQ_IN:
        m_reqIn = static_cast<uint16_t>(value);
        RequestsWritten();
        break;
    case ISP2X_REG_RSP_OUT:
        m_rspOut = static_cast<uint16_t>(value);
        while (!m_backlog.empty() && (m_rspIn + 1) % m_rspLength != m_rspOut) {
            Entry e = m_backlog.front();
            m_backlog.pop_front();
            PutResponse(e);
        }
        break;
    case ISP2X_REG_HCCR:
        if (value == ISP_HC_SET_HOST_INT) {
            m_mailboxIn = m_mailbox;
            m_board.clock().ArmIn(m_mailboxEvent, kMailboxNs);
        } else if (value == ISP_HC_CLEAR_RISC_INT) {
            m_presented = false;
            m_lineLevel = false;
            m_line.Set(false);
            m_board.clock().ArmIn(m_presentEvent, kPresentNs);
        } else if (value == ISP_HC_RELEASE_RISC) {
            m_paused = false;
        } else if (value == ISP_HC_PAUSE_RISC) {
            m_paused = true;
        }
        break;
    default:
        break;
    }
}

void IspLoopChip::Mailbox() {
    std::array<uint16_t, 32> mb = m_mailboxIn;
    m_log.push_back(mb[0]);
    m_inputs.push_back(mb);
    const uint16_t opcode = mb[0];
    const uint16_t status = Execute(mb);
    if (status == 0) return;   // answered later
    Interrupt answer{ISP_INT_MAILBOX_1, status, {}};
    std::copy(mb.begin(), mb.begin() + 8, answer.mailbox.begin());
    Queue(answer);
    // A firmware that has its control block takes part in the loop.
    if (opcode == MBC_INITIALIZE_FIRMWARE && status == MBS_COMPLETE && m_loopUp) RaiseAsync(ISP_AEN_LOOP_UP);
}

// --- interrupts ------------------------------------------------------------------------

void IspLoopChip::Queue(const Interrupt& interrupt) {
    // Response updates coalesce: the one presented reports the ring as it is then.
    if (interrupt.kind == ISP_INT_RESPONSE_UPDATE) {
        for (const Interrupt& i : m_pending) {
            if (i.kind == ISP_INT_RESPONSE_UPDATE) return;
        }
    }
    m_pending.push_back(interrupt);
    Present();
}

void IspLoopChip::Present() {
    if (m_presented || m_pending.empty()) return;
    Interrupt i = m_pending.front();
    m_pending.pop_front();
    if (i.kind == ISP_INT_RESPONSE_UPDATE) {
        i.mailbox0 = m_rspIn;
        if (nextResponseInPointer >= 0) {
            i.mailbox0 = static_cast<uint16_t>(nextResponseInPointer);
            nextResponseInPointer = -1;
        }
    }
    for (unsigned n = 1; n < 8; ++n) m_mailbox[n] = i.mailbox[n];
    m_mailbox[0] = i.mailbox0;
    m_hostStatus = static_cast<uint32_t>(i.mailbox0) << 16 | i.kind;
    m_presented = true;
    m_lineLevel = true;
    m_raisedAt = m_board.clock().Now();
    m_line.Set(true);
}

void IspLoopChip::RaiseAsync(uint16_t code, uint16_t mailbox1, uint16_t mailbox2) {
    std::array<uint16_t, 8> mb{};
    mb[1] = mailbox1;
    mb[2] = mailbox2;
    Queue({ISP_INT_ASYNC_EVENT, code, mb});
}

void IspLoopChip::Lip(bool up, uint64_t settleNs) {
    m_readyAt = m_board.clock().Now() + settleNs;
    m_loopUp = up;
    RaiseAsync(ISP_AEN_LIP, 0xF7F7);
    if (up) RaiseAsync(ISP_AEN_LOOP_UP);
}

void IspLoopChip::LoopDown() {
    m_loopUp = false;
    RaiseAsync(ISP_AEN_LOOP_DOWN);
}

void IspLoopChip::LipReset() {
    m_readyAt = m_board.clock().Now();
    RaiseAsync(ISP_AEN_LIP_RESET);
}

void IspLoopChip::Respond(const Entry& entry) { PutResponse(entry); }

void IspLoopChip::PutResponse(const Entry& entry) {
    if (m_rspBase == 0) return;
    if ((m_rspIn + 1) % m_rspLength == m_rspOut || !m_backlog.empty()) {
        m_backlog.push_back(entry);
        return;
    }
    uint8_t* p = Memory(m_rspBase + static_cast<uint32_t>(m_rspIn) * ISP_ENTRY_BYTES, ISP_ENTRY_BYTES);
    if (p != nullptr) std::memcpy(p, entry.data(), entry.size());
    m_rspIn = static_cast<uint16_t>((m_rspIn + 1) % m_rspLength);
    Queue({ISP_INT_RESPONSE_UPDATE, 0, {}});
}

// --- mailbox commands -----------------------------------------------------------------

uint16_t IspLoopChip::InitFirmware(uint32_t icb) {
    const uint8_t* p = Memory(icb, 0x48);
    if (p == nullptr) return MBS_PARAMETER_ERROR;
    m_reqLength = Get16(p + 0x24);
    m_rspLength = Get16(p + 0x26);
    m_reqBase = Get32(p + 0x28);
    m_rspBase = Get32(p + 0x30);
    if (m_reqLength == 0 || m_rspLength == 0) {
        m_reqBase = 0;
        return MBS_PARAMETER_ERROR;
    }
    m_reqIn = m_reqOut = m_rspIn = m_rspOut = 0;
    m_readyAt = m_board.clock().Now();
    return MBS_COMPLETE;
}

uint16_t IspLoopChip::PositionMap(uint32_t bus) {
    uint8_t* p = Memory(bus, 128);
    if (p == nullptr) return MBS_PARAMETER_ERROR;
    std::memset(p, 0, 128);
    if (!mapOverride.empty()) {
        std::memcpy(p, mapOverride.data(), std::min<size_t>(128, mapOverride.size()));
        return MBS_COMPLETE;
    }
    uint8_t n = 0;
    p[++n] = ownAlpa;
    for (const LoopDevice& d : devices) {
        if (d.onLoop() && n < 127) p[++n] = d.alpa;
    }
    p[0] = n;
    return MBS_COMPLETE;
}

uint16_t IspLoopChip::PortDatabase(uint16_t loopId, uint32_t bus) {
    LoopDevice* d = ByLoopId(loopId);
    if (d == nullptr) return MBS_COMMAND_ERROR;
    uint8_t* p = Memory(bus, 128);
    if (p == nullptr) return MBS_PARAMETER_ERROR;
    std::memset(p, 0, 128);
    Put16(p, d->hardAddress ? 0x0002 : 0);
    p[6] = d->hardAddress ? d->alpa : 0;
    PutName(p + 12, d->nodeName);
    PutName(p + 20, d->portName);
    p[78] = d->initiator ? 0x20 : 0x10;
    return MBS_COMPLETE;
}

uint16_t IspLoopChip::Execute(std::array<uint16_t, 32>& mb) {
    if (failCommands != 0) {
        --failCommands;
        return failStatus;
    }
    const uint16_t opcode = mb[0];
    const bool running = m_reqBase != 0;
    auto deviceCommand = [&]() -> uint16_t { return ByLoopId(mb[1]) != nullptr ? MBS_COMPLETE : MBS_COMMAND_ERROR; };
    switch (opcode) {
    case MBC_INITIALIZE_FIRMWARE: return InitFirmware(BusAddress(mb[2], mb[3]));
    case MBC_FIRMWARE_VERSION:
        mb[1] = 3;
        mb[2] = 3;
        mb[3] = 20;
        return MBS_COMPLETE;
    case MBC_FIRMWARE_STATE:
        mb[1] = firmwareState();
        return MBS_COMPLETE;
    case MBC_GET_LOOP_ID: {
        if (!running || !m_loopUp) return MBS_COMMAND_ERROR;
        uint8_t id = 0xFF;
        for (uint8_t i = 0; i < FC_AL_LOOP_IDS; ++i) {
            if (FC_AL_LOOP_ID_TO_ALPA[i] == ownAlpa) id = i;
        }
        mb[1] = id;
        mb[2] = ownAlpa;
        mb[3] = 0;
        mb[6] = topology;
        return MBS_COMPLETE;
    }
    case MBC_LOOP_POSITION_MAP: return running ? PositionMap(BusAddress(mb[2], mb[3])) : MBS_COMMAND_ERROR;
    case MBC_PORT_DATABASE: return PortDatabase(mb[1], BusAddress(mb[2], mb[3]));
    case MBC_PORT_NAME: {
        LoopDevice* d = ByLoopId(mb[1]);
        if (d == nullptr) return MBS_COMMAND_ERROR;
        const uint64_t name = mb[10] != 0 ? d->portName : d->nodeName;
        mb[2] = static_cast<uint16_t>(name >> 48);
        mb[3] = static_cast<uint16_t>(name >> 32);
        mb[6] = static_cast<uint16_t>(name >> 16);
        mb[7] = static_cast<uint16_t>(name);
        return MBS_COMPLETE;
    }
    case MBC_LOOP_RESET_2X00:
    case MBC_LOOP_RESET_24XX:
        // A loop reset re-initialises the loop without a new LIP of its own:
        // the firmware reports the reset and the loop coming back up.
        ++m_loopResets;
        RaiseAsync(ISP_AEN_LIP_RESET);
        if (m_loopUp) RaiseAsync(ISP_AEN_LOOP_UP);
        return MBS_COMPLETE;
    case MBC_TARGET_RESET:
        if (mb[1] == 0xFF) return MBS_COMPLETE;
        if (LoopDevice* d = ByLoopId(mb[1]); d != nullptr && d->drive != nullptr) d->drive->Reset();
        if (ByLoopId(mb[1]) != nullptr) AbortCommandsOf(mb[1]);
        return deviceCommand();
    case MBC_CLEAR_TASK_SET:
        if (ByLoopId(mb[1]) != nullptr) AbortCommandsOf(mb[1]);
        return deviceCommand();
    case 0x65:   // to the partner's port
    case 0x39:   // the device's queue parameters
        return deviceCommand();
    case 0x40:
    case 0x41:
        if (mb[1] == 0xFF) return MBS_COMPLETE;
        // The bypass circuit acts on a port whether or not it is on the
        // loop; a port that leaves or joins the loop makes it initialise.
        if (mb[1] < FC_AL_LOOP_IDS) {
            for (LoopDevice& d : devices) {
                if (d.alpa != FC_AL_LOOP_ID_TO_ALPA[mb[1]]) continue;
                const bool wasOn = d.onLoop();
                d.bypassed = opcode == 0x41;
                if (d.onLoop() != wasOn) Lip(m_loopUp);
                return MBS_COMPLETE;
            }
        }
        return MBS_COMMAND_ERROR;
    case MBC_EXECUTE_IOCB: {
        const uint32_t bus = BusAddress(mb[2], mb[3]);
        const uint8_t* p = Memory(bus, ISP_ENTRY_BYTES);
        if (p == nullptr) return MBS_PARAMETER_ERROR;
        Entry e{};
        std::memcpy(e.data(), p, e.size());
        Command(e, true, bus);
        return 0;   // answered when the command ends
    }
    case MBC_LINK_STATUS:
        return deviceCommand();
    case MBC_DUMP_RAM_EXTENDED:
        return DumpRam(mb);
    default:
        return MBS_INVALID_COMMAND;
    }
}

// RISC RAM words to buffer memory: the address in mailboxes 8 and 1, the
// bus address in 2 and 3, the count in 4 and 5.
uint16_t IspLoopChip::DumpRam(const std::array<uint16_t, 32>& mb) {
    const uint32_t first = BusAddress(mb[8], mb[1]);
    const uint32_t words = BusAddress(mb[4], mb[5]);
    if (first < kRiscRamFirst || words > kRiscRamEnd - first) return MBS_PARAMETER_ERROR;
    uint8_t* p = Memory(BusAddress(mb[2], mb[3]), words * 2);
    if (p == nullptr) return MBS_PARAMETER_ERROR;
    for (uint32_t i = 0; i < words; ++i) Put16(p + 2 * i, riscWord(first + i));
    return MBS_COMPLETE;
}

// The RISC starts again from its ROM: the firmware and what it was about
// are gone; mailbox 0 reads 0 once the ROM is ready.
void IspLoopChip::SoftReset() {
    ++m_softResets;
    m_paused = false;
    m_pending.clear();
    m_completions.clear();
    m_backlog.clear();
    m_presented = false;
    m_lineLevel = false;
    m_line.Set(false);
    m_reqBase = m_rspBase = 0;
    m_reqIn = m_reqOut = m_rspIn = m_rspOut = 0;
    m_mailbox.fill(0);
}

// --- rings -----------------------------------------------------------------------------

void IspLoopChip::RequestsWritten() {
    if (m_reqBase == 0 || m_requestEvent.Armed()) return;
    m_board.clock().ArmIn(m_requestEvent, kRequestNs);
}

void IspLoopChip::TakeRequests() {
    while (m_reqOut != m_reqIn && m_reqIn < m_reqLength) {
        Entry e{};
        if (const uint8_t* p = Memory(m_reqBase + static_cast<uint32_t>(m_reqOut) * ISP_ENTRY_BYTES, ISP_ENTRY_BYTES)) {
            std::memcpy(e.data(), p, e.size());
        }
        m_reqOut = static_cast<uint16_t>((m_reqOut + 1) % m_reqLength);
        m_lastRequest = e;
        if (e[0] == ISP_ENTRY_COMMAND_2X00) {
            Command(e, false, 0);
        } else if (e[0] == kEntryMarker) {
            ++m_markers;
        } else if (e[0] == kEntryNotifyAck) {
            ++m_notifyAcks;
        }
    }
}

// One command entry on the loop: the drive's answer becomes a status entry,
// on the response ring or, for execute IOCB, over the entry itself.
void IspLoopChip::Command(const Entry& e, bool viaMailbox, uint32_t bus) {
    ++m_commands;
    const uint16_t loopId = Get16(&e[8]);
    const uint16_t control = Get16(&e[12]);
    const uint16_t timeout = Get16(&e[16]);
    const uint32_t total = Get32(&e[36]);
    LoopDevice* d = ByLoopId(loopId);

    Entry status{};
    status[0] = ISP_ENTRY_STATUS;
    status[1] = 1;
    status[2] = e[2];
    std::memcpy(&status[4], &e[4], 4);
    uint64_t delay = kCommandNs;
    if (d == nullptr || d->drive == nullptr || d->timesOut) {
        Put16(&status[10], kCompletionTimeout);
        delay = static_cast<uint64_t>(timeout == 0 ? 1 : timeout) * kSecondNs;
    } else {
        // One data segment in the entry itself; the drive moves what it moves.
        const uint32_t address = Get32(&e[40]);
        const uint32_t length = std::min(total, Get32(&e[44]));
        uint8_t* data = length != 0 ? Memory(address, length) : nullptr;
        std::span<const uint8_t> out;
        std::span<uint8_t> in;
        if (data != nullptr && (control & kControlDataOut)) out = {data, length};
        if (data != nullptr && (control & kControlDataIn)) in = {data, length};
        const DriveResult r = d->drive->Execute(std::span<const uint8_t>(&e[20], 16), out, in);
        delay += r.serviceNs;
        uint16_t word = r.status;
        uint32_t moved = r.transferred;
        if (d->underrunBytes != 0 && (control & kControlDataIn) && r.status == 0) {
            moved = moved > d->underrunBytes ? moved - d->underrunBytes : 0;
            d->underrunBytes = 0;
        }
        if (!r.sense.empty()) {
            word |= kStatusSenseValid;
            std::memcpy(&status[32], r.sense.data(), std::min<size_t>(r.sense.size(), 32));
        }
        if ((control & kControlDataIn) && moved < total && r.status == 0) {
            word |= kStatusUnderrun;
            Put16(&status[10], kCompletionUnderrun);
            Put32(&status[12], total - moved);
        }
        Put16(&status[8], word);
    }
    m_completions.push_back({m_board.clock().Now() + delay, status, viaMailbox, bus, loopId});
    ArmCompletions();
}

// A task management function ends the device's open exchanges: each
// command still outstanding comes back at once, no SCSI status, completion
// status 4 (reset), whatever the drive would have answered.
void IspLoopChip::AbortCommandsOf(uint16_t loopId) {
    const uint64_t now = m_board.clock().Now();
    for (Completion& c : m_completions) {
        if (c.loopId != loopId) continue;
        Entry aborted{};
        std::memcpy(aborted.data(), c.status.data(), 8);
        Put16(&aborted[10], kCompletionReset);
        c.status = aborted;
        c.due = now;
    }
    ArmCompletions();
}

void IspLoopChip::ArmCompletions() {
    if (m_completions.empty()) {
        m_board.clock().Disarm(m_completionEvent);
        return;
    }
    uint64_t due = UINT64_MAX;
    for (const Completion& c : m_completions) due = std::min(due, c.due);
    m_board.clock().Arm(m_completionEvent, due);
}

// Commands end in the order they are due, those due together in the order
// they were taken.
void IspLoopChip::CompletionsDue() {
    const uint64_t now = m_board.clock().Now();
    std::vector<Completion> due;
    for (auto it = m_completions.begin(); it != m_completions.end();) {
        if (it->due <= now) {
            due.push_back(*it);
            it = m_completions.erase(it);
        } else {
            ++it;
        }
    }
    for (const Completion& c : due) {
        if (!c.viaMailbox) {
            PutResponse(c.status);
            continue;
        }
        if (uint8_t* p = Memory(c.bus, ISP_ENTRY_BYTES)) std::memcpy(p, c.status.data(), c.status.size());
        Queue({ISP_INT_MAILBOX_1, MBS_COMPLETE, {}});
    }
    ArmCompletions();
}

}  // namespace sim
