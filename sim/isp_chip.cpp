#include "sim/isp_chip.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "hw/pci_ids.h"
#include "hw/scsi.h"
#include "sim/board.h"

namespace sim {

namespace {

using namespace fw;

constexpr uint32_t kRegisterWindow = 0x100;
constexpr uint64_t kMailboxNs = 5'000;
constexpr uint64_t kLoadRamNs = 100'000;
constexpr uint64_t kInitFirmwareNs = 50'000;
constexpr uint64_t kRequestNs = 1'000;
constexpr uint64_t kFrameNs = 5'000;
constexpr uint64_t kCtioNs = 3'000;
constexpr uint64_t kAsyncHoldNs = 1'000'000;
constexpr uint64_t kPicosecondsPerByte = 2'500;   // 4 Gb/s
constexpr uint16_t kFirstFabricHandle = 1;
constexpr uint16_t kMaxHandle = 0x7EF;
constexpr uint32_t kNoExchange = 0xFFFFFFFF;
constexpr uint8_t kPortDatabaseLoggedIn = 6;

template <typename T>
T Load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void PutName(uint8_t* p, uint64_t name) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(name >> (56 - 8 * i));
}

uint64_t GetName(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}

void Put24Be(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 16);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v);
}

void Put24Le(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
}

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
    sfpIdentity[0] = 0x03;                         // SFP
    std::memcpy(&sfpIdentity[20], "SIMULATED FC    ", 16);
    sfpDiagnostics[96] = 35;                       // 35 degrees
}

IspChip::~IspChip() {
    if (m_fabric != nullptr) m_fabric->Detach(*this);
}

Clock& IspChip::clock() { return B().clock(); }

uint64_t IspChip::NowNs() const { return board->clock().Now(); }

uint8_t* IspChip::Memory(uint32_t address, uint32_t length) { return B().memory().Translate(address, length); }

void IspChip::LatchBusError() { B().pci().LatchMasterAbort(m_pcie); }

uint64_t IspChip::TransferNs(uint32_t bytes) const { return static_cast<uint64_t>(bytes) * kPicosecondsPerByte / 1000; }

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
    for (Clock::EventId* e : {&m_mailboxEvent, &m_requestEvent, &m_presentEvent, &m_linkEvent}) {
        if (*e != 0) clock().Cancel(*e);
        *e = 0;
    }
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
    m_risc = Risc::Rom;
    m_riscMemory.clear();
    m_checksumGood = false;
    m_linkUp = false;
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
    for (unsigned n = 0; n < ISP_MAILBOXES; ++n) {
        if ((next.mailboxMask >> n) & 1u) m_mailbox[n] = next.mailbox[n];
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
    QueueAsync(ISP_AEN_LIP, 0xF7F7, 0, 0);
    QueueAsync(ISP_AEN_LOOP_UP, ISP_SPEED_4G, 0, 0);
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

// --- mailbox engine ---------------------------------------------------------------------

void IspChip::StartMailboxCommand() {
    m_hostIntPending = true;
    m_mailboxIn = m_mailbox;
    const uint16_t opcode = m_mailboxIn[0];
    uint64_t delay = kMailboxNs;
    if (opcode == MBC_LOAD_RAM || opcode == MBC_LOAD_RAM_EXTENDED) delay = kLoadRamNs;
    if (opcode == MBC_INITIALIZE_FIRMWARE) delay = kInitFirmwareNs;
    m_mailboxEvent = clock().ScheduleIn(delay, [this] {
        m_mailboxEvent = 0;
        m_hostIntPending = false;
        ExecuteMailboxCommand(m_mailboxIn);
    });
}

uint32_t IspChip::RiscWord(uint32_t address) const {
    auto it = m_riscMemory.find(address);
    return it == m_riscMemory.end() ? 0 : it->second;
}

void IspChip::SetRiscWord(uint32_t address, uint32_t value) { m_riscMemory[address] = value; }

uint16_t IspChip::LoadRam(uint32_t bus, uint32_t words, uint32_t riscAddress) {
    const uint8_t* p = Memory(bus, words * 4);
    if (p == nullptr || words == 0) return MBS_PARAMETER_ERROR;
    if (m_riscLoads++ == 0 || m_riscMemory.empty()) m_firstLoadAddress = riscAddress;
    for (uint32_t i = 0; i < words; ++i) SetRiscWord(riscAddress + i, Load<uint32_t>(p + 4 * i));
    m_checksumGood = false;
    return MBS_COMPLETE;
}

void IspChip::ExecuteMailboxCommand(const std::array<uint16_t, ISP_MAILBOXES>& in) {
    if (m_mailboxCommands < kOpcodeLog) m_opcodes[m_mailboxCommands] = in[0];
    ++m_mailboxCommands;
    m_lastOpcode = in[0];
    if (faults.silentMailboxCommands > 0) {
        --faults.silentMailboxCommands;
        return;
    }
    Interrupt a{};
    a.kind = ISP_INT_MAILBOX_10;
    a.mailboxMask = 1;
    auto out = [&a](unsigned n, uint16_t v) {
        a.mailbox[n] = v;
        a.mailboxMask |= 1u << n;
    };
    auto address = [&in](unsigned high, unsigned low) { return static_cast<uint32_t>(in[high]) << 16 | in[low]; };
    const bool running = m_risc != Risc::Rom;
    uint16_t status = MBS_COMPLETE;
    switch (in[0]) {
    case MBC_MAILBOX_TEST:
        for (unsigned n = 1; n < ISP_MAILBOXES; ++n) out(n, in[n]);
        if (faults.mailboxTestCorrupt) out(7, static_cast<uint16_t>(in[7] ^ 0x5A5A));
        break;
    case MBC_LOAD_RAM:
    case MBC_LOAD_RAM_EXTENDED:
        status = LoadRam(address(2, 3), address(4, 5), static_cast<uint32_t>(in[8]) << 16 | in[1]);
        break;
    case MBC_VERIFY_CHECKSUM: {
        uint32_t sum = 0;
        for (const auto& [addr, word] : m_riscMemory) sum += word;
        const bool good = !m_riscMemory.empty() && sum == 0 && !faults.checksumError &&
                          address(1, 2) == m_firstLoadAddress;
        m_checksumGood = good;
        out(1, good ? 0 : static_cast<uint16_t>((sum ^ (sum >> 16)) | 1));
        break;
    }
    case MBC_EXECUTE_FIRMWARE:
        if (!m_checksumGood || address(1, 2) != m_firstLoadAddress || RiscWord(m_firstLoadAddress) != RISC_SIGNATURE) {
            status = MBS_COMMAND_ERROR;
        } else {
            m_risc = Risc::Running;
        }
        break;
    case MBC_DUMP_RAM:
    case MBC_DUMP_RAM_EXTENDED: {
        const uint32_t words = static_cast<uint32_t>(in[4]) << 16 | in[5];
        uint8_t* p = Memory(address(2, 3), words * 4);
        if (p == nullptr) {
            status = MBS_PARAMETER_ERROR;
            break;
        }
        const uint32_t risc = (in[0] == MBC_DUMP_RAM_EXTENDED ? static_cast<uint32_t>(in[8]) << 16 : 0) | in[1];
        for (uint32_t i = 0; i < words; ++i) {
            const uint32_t w = RiscWord(risc + i);
            std::memcpy(p + 4 * i, &w, 4);
        }
        break;
    }
    case MBC_READ_RAM_WORD:
        out(2, static_cast<uint16_t>(RiscWord(in[1])));
        break;
    case MBC_WRITE_RAM_WORD:
        SetRiscWord(in[1], in[2]);
        break;
    case MBC_WRITE_RAM_WORD_EXTENDED:
        SetRiscWord(static_cast<uint32_t>(in[8]) << 16 | in[1], in[2]);
        break;
    default:
        if (!running) {
            status = MBS_INVALID_COMMAND;
            break;
        }
        switch (in[0]) {
        case MBC_FIRMWARE_VERSION:
            out(1, static_cast<uint16_t>(RiscWord(m_firstLoadAddress + RISC_VERSION_WORD)));
            out(2, static_cast<uint16_t>(RiscWord(m_firstLoadAddress + RISC_VERSION_WORD + 1)));
            out(3, static_cast<uint16_t>(RiscWord(m_firstLoadAddress + RISC_VERSION_WORD + 2)));
            out(4, 0x0000);
            out(5, 0x0010);   // 1 MB of RISC memory
            out(6, static_cast<uint16_t>(RiscWord(m_firstLoadAddress + RISC_VERSION_WORD + 3)));
            break;
        case MBC_RESOURCE_COUNTS:
            out(1, faults.exchangeResources);
            out(2, faults.exchangeResources);
            out(3, 0);
            out(6, faults.exchangeResources);
            out(7, faults.exchangeResources);
            out(10, 512);
            break;
        case MBC_INITIALIZE_FIRMWARE:
            status = InitializeFirmware(address(2, 3));
            break;
        case MBC_FIRMWARE_STATE:
            out(1, m_firmwareState);
            break;
        case MBC_GET_LOOP_ID: {
            const bool loop = m_fabric != nullptr && m_fabric->topology() == FcFabric::Topology::Loop;
            if (!Online()) {
                status = MBS_COMMAND_ERROR;
                break;
            }
            out(1, loop ? OwnLoopId() : 0);
            out(2, static_cast<uint16_t>(m_portId));
            out(3, static_cast<uint16_t>(m_portId >> 16));
            out(6, loop ? ISP_TOPOLOGY_LOOP : ISP_TOPOLOGY_FABRIC);
            break;
        }
        case MBC_LOOP_POSITION_MAP: {
            uint8_t* p = Memory(address(2, 3), 128);
            if (p == nullptr || !Online()) {
                status = MBS_COMMAND_ERROR;
                break;
            }
            std::memset(p, 0, 128);
            if (m_fabric->topology() == FcFabric::Topology::Loop) {
                uint8_t count = 0;
                p[++count] = OwnAlpa();
                for (const auto& initiator : m_fabric->initiators()) {
                    if (initiator->present() && count < 126) p[++count] = static_cast<uint8_t>(initiator->portId());
                }
                p[0] = count;
            }
            break;
        }
        case MBC_PORT_DATABASE:
            status = PortDatabase(in[1], address(2, 3));
            break;
        case MBC_PORT_NAME:
            status = PortNameOf(in[1], in[10] == ISP_PORT_NAME_OPTION, &a);
            break;
        case MBC_LINK_STATUS: {
            uint8_t* p = Memory(address(2, 3), sizeof linkStatus);
            if (p == nullptr) {
                status = MBS_PARAMETER_ERROR;
                break;
            }
            std::memcpy(p, &linkStatus, sizeof linkStatus);
            break;
        }
        case MBC_READ_SFP: {
            const std::array<uint8_t, 256>& page = in[1] == 0xA2 ? sfpDiagnostics : sfpIdentity;
            const uint32_t count = in[8], offset = in[9];
            uint8_t* p = Memory(address(2, 3), count);
            if (p == nullptr || (in[1] != 0xA0 && in[1] != 0xA2) || offset + count > page.size()) {
                status = MBS_PARAMETER_ERROR;
                break;
            }
            std::memcpy(p, page.data() + offset, count);
            break;
        }
        case MBC_HOST_MEMORY_COPY: {
            const uint32_t bytes = static_cast<uint32_t>(in[9]) * 4;
            const uint8_t* from = Memory(address(3, 4), bytes);
            uint8_t* to = Memory(address(10, 11), bytes);
            if (from == nullptr || to == nullptr) {
                status = MBS_PARAMETER_ERROR;
                break;
            }
            std::memmove(to, from, bytes);
            break;
        }
        case MBC_LOOP_RESET_24XX:
            if (Online()) {
                if (m_fabric->topology() == FcFabric::Topology::Loop) {
                    Lip();
                } else {
                    QueueAsync(ISP_AEN_LOOP_UP, ISP_SPEED_4G, 0, 0);
                }
            }
            break;
        default:
            status = MBS_INVALID_COMMAND;
            break;
        }
        break;
    }
    a.mailbox[0] = status;
    QueueMailboxAnswer(a);
}

uint16_t IspChip::InitializeFirmware(uint32_t icbAddress) {
    if (faults.initFirmwareStatus != MBS_COMPLETE) return faults.initFirmwareStatus;
    const uint8_t* p = Memory(icbAddress, sizeof(ISP24_ICB));
    if (p == nullptr) return MBS_PARAMETER_ERROR;
    m_icb.assign(p, p + sizeof(ISP24_ICB));
    ISP24_ICB icb;
    std::memcpy(&icb, p, sizeof icb);
    const auto ringOk = [this](uint32_t base, uint16_t length) {
        return length != 0 && Memory(base, static_cast<uint32_t>(length) * ISP_ENTRY_BYTES) != nullptr;
    };
    if (!ringOk(icb.dRequestAddressLow, icb.wRequestLength) || !ringOk(icb.dResponseAddressLow, icb.wResponseLength) ||
        !ringOk(icb.dAtioAddressLow, icb.wAtioLength)) {
        return MBS_PARAMETER_ERROR;
    }
    m_reqBase = icb.dRequestAddressLow;
    m_rspBase = icb.dResponseAddressLow;
    m_atioBase = icb.dAtioAddressLow;
    m_reqLength = icb.wRequestLength;
    m_rspLength = icb.wResponseLength;
    m_atioLength = icb.wAtioLength;
    m_reqIn = m_reqOut = m_rspIn = m_rspOut = m_atioIn = m_atioOut = 0;
    m_portName = GetName(icb.abPortName);
    m_nodeName = GetName(icb.abNodeName);
    m_hardAddress = icb.wHardAddress;
    const uint32_t exchanges = icb.wExchangeCount != 0 ? icb.wExchangeCount : kDefaultExchanges;
    m_exchanges.assign(exchanges, Exchange{});
    m_freeExchanges.clear();
    for (uint32_t i = exchanges; i-- > 0;) m_freeExchanges.push_back(i);
    m_risc = Risc::Initialised;
    m_firmwareState = ISP_FW_STATE_LOSS_OF_SYNC;

    if (m_fabric != nullptr && m_fabric->LinkUp(*this)) {
        m_linkEvent = clock().ScheduleIn(kLinkUpDelayNs, [this] {
            m_linkEvent = 0;
            BringLinkUp();
        });
    }
    return MBS_COMPLETE;
}

// Port and node names by N_Port handle, each mailbox low byte first.
uint16_t IspChip::PortNameOf(uint16_t handle, bool portName, Interrupt* answer) {
    uint64_t name = 0;
    if (handle == ISP24_HANDLE_F_PORT) {
        name = FcFabric::kFabricPortName;
    } else if (handle == ISP24_HANDLE_FABRIC_CONTROLLER) {
        name = FcFabric::kFabricControllerName;
    } else if (handle == ISP24_HANDLE_NAME_SERVER) {
        name = FcFabric::kNameServerName;
    } else if (const Login* login = FindLoginByHandle(handle)) {
        name = portName ? login->initiator->portName() : login->initiator->nodeName();
    } else {
        return MBS_COMMAND_ERROR;
    }
    uint8_t bytes[8];
    PutName(bytes, name);
    const unsigned mailboxes[4] = {2, 3, 6, 7};
    for (int i = 0; i < 4; ++i) {
        answer->mailbox[mailboxes[i]] = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        answer->mailboxMask |= 1u << mailboxes[i];
    }
    answer->mailbox[1] = static_cast<uint16_t>(handle & 0xFF);
    answer->mailboxMask |= 1u << 1;
    return MBS_COMPLETE;
}

uint16_t IspChip::PortDatabase(uint16_t handle, uint32_t bus) {
    uint8_t* p = Memory(bus, sizeof(ISP24_PORT_DATABASE));
    const Login* login = FindLoginByHandle(handle);
    if (p == nullptr) return MBS_PARAMETER_ERROR;
    if (login == nullptr) return MBS_COMMAND_ERROR;
    ISP24_PORT_DATABASE db{};
    db.bCurrentState = kPortDatabaseLoggedIn;
    db.bLastState = kPortDatabaseLoggedIn;
    Put24Le(db.abPortId, login->initiator->portId());
    db.wNportHandle = login->handle;
    db.bPrliOptions = login->state == Login::State::LoggedIn ? PRLI_INITIATOR_FUNCTION : 0;
    PutName(db.abPortName, login->initiator->portName());
    PutName(db.abNodeName, login->initiator->nodeName());
    if (m_fabric != nullptr && m_fabric->topology() == FcFabric::Topology::Loop) {
        db.wFlags = PORT_DATABASE_HARD_ADDRESS_VALID;
        db.bHardAddress = static_cast<uint8_t>(login->initiator->portId());
    }
    std::memcpy(p, &db, sizeof db);
    return MBS_COMPLETE;
}

// --- rings ------------------------------------------------------------------------------

void IspChip::RequestsWritten() {
    if (m_risc != Risc::Initialised || m_requestEvent != 0 || faults.holdRequests) return;
    m_requestEvent = clock().ScheduleIn(kRequestNs, [this] {
        m_requestEvent = 0;
        ProcessRequests();
    });
}

void IspChip::ReleaseRequests() {
    faults.holdRequests = false;
    RequestsWritten();
}

void IspChip::ProcessRequests() {
    while (m_reqOut != m_reqIn && m_reqIn < m_reqLength && !faults.holdRequests) {
        const uint8_t* p = Memory(m_reqBase + static_cast<uint32_t>(m_reqOut) * ISP_ENTRY_BYTES, ISP_ENTRY_BYTES);
        Entry entry{};
        if (p != nullptr) std::memcpy(entry.data(), p, ISP_ENTRY_BYTES);
        // Every CTIO slot busy: the ring waits until one finishes.
        if (entry[0] == CTIO7_ENTRY_TYPE && m_freeCtios.empty()) break;
        m_reqOut = static_cast<uint16_t>((m_reqOut + 1) % m_reqLength);
        ++m_requestsConsumed;
        m_lastRequest = entry;
        HandleRequest(entry);
    }
}

void IspChip::HandleRequest(const Entry& entry) {
    switch (entry[0]) {
    case CTIO7_ENTRY_TYPE: Ctio7(entry); break;
    case NOTIFY_ACK_ENTRY_TYPE: NotifyAck(entry); break;
    case ABTS_RESPONSE_ENTRY_TYPE: AbtsResponse(entry); break;
    case ISP_ENTRY_CT_PASSTHROUGH: CtPassThrough(entry); break;
    case ISP_ENTRY_LOGOUT: LogoutEntry(entry); break;
    case ISP_ENTRY_MARKER:
        ++m_markers;
        m_lastMarker = entry;
        break;
    default: RefuseEntry(entry); break;
    }
}

// The firmware answers an entry it does not know with a status entry.
void IspChip::RefuseEntry(const Entry& entry) {
    Entry status{};
    status[0] = ISP_ENTRY_STATUS;
    status[1] = 1;
    std::memcpy(&status[4], &entry[4], 4);
    status[8] = 0;
    const uint16_t reason = ISP_STATUS_REASON_BAD_ENTRY;
    std::memcpy(&status[10], &reason, 2);
    PutResponse(status);
}

void IspChip::PutResponse(const Entry& entry) {
    if (m_rspLength == 0) return;
    if (!m_rspBacklog.empty() || (m_rspIn + 1) % m_rspLength == m_rspOut) {
        m_rspBacklog.push_back(entry);
        return;
    }
    uint8_t* p = Memory(m_rspBase + static_cast<uint32_t>(m_rspIn) * ISP_ENTRY_BYTES, ISP_ENTRY_BYTES);
    if (p != nullptr) std::memcpy(p, entry.data(), ISP_ENTRY_BYTES);
    m_rspIn = static_cast<uint16_t>((m_rspIn + 1) % m_rspLength);
    m_responseUpdate = true;
    Present();
}

void IspChip::PutAtio(const Entry& entry) {
    if (m_atioLength == 0) return;
    if (!m_atioBacklog.empty() || (m_atioIn + 1) % m_atioLength == m_atioOut) {
        m_atioBacklog.push_back(entry);
        return;
    }
    uint8_t* p = Memory(m_atioBase + static_cast<uint32_t>(m_atioIn) * ISP_ENTRY_BYTES, ISP_ENTRY_BYTES);
    if (p != nullptr) std::memcpy(p, entry.data(), ISP_ENTRY_BYTES);
    m_atioIn = static_cast<uint16_t>((m_atioIn + 1) % m_atioLength);
    m_atioUpdate = true;
    Present();
}

bool IspChip::AtioRingHasRoom() const {
    return m_atioLength != 0 && m_atioBacklog.empty() && (m_atioIn + 1) % m_atioLength != m_atioOut;
}

void IspChip::DrainBacklogs() {
    while (!m_rspBacklog.empty() && (m_rspIn + 1) % m_rspLength != m_rspOut) {
        Entry e = m_rspBacklog.front();
        m_rspBacklog.pop_front();
        std::deque<Entry> rest;
        rest.swap(m_rspBacklog);
        PutResponse(e);
        m_rspBacklog.swap(rest);
    }
    while (!m_atioBacklog.empty() && (m_atioIn + 1) % m_atioLength != m_atioOut) {
        Entry e = m_atioBacklog.front();
        m_atioBacklog.pop_front();
        std::deque<Entry> rest;
        rest.swap(m_atioBacklog);
        PutAtio(e);
        m_atioBacklog.swap(rest);
    }
}

// --- exchanges ------------------------------------------------------------------------

uint32_t IspChip::OpenExchange(FcInitiator& initiator, uint32_t tag, uint16_t oxId, uint32_t fcpDl) {
    if (m_freeExchanges.empty()) return kNoExchange;
    const uint32_t index = m_freeExchanges.back();
    m_freeExchanges.pop_back();
    Exchange& x = m_exchanges[index];
    x.used = true;
    ++x.generation;
    x.initiator = &initiator;
    x.tag = tag;
    x.oxId = oxId;
    x.fcpDl = fcpDl;
    x.aborting = false;
    return static_cast<uint32_t>(x.generation) << 16 | index;
}

IspChip::Exchange* IspChip::FindExchange(uint32_t address) {
    const uint32_t index = address & 0xFFFF;
    if (address == kNoExchange || index >= m_exchanges.size()) return nullptr;
    Exchange& x = m_exchanges[index];
    return x.used && x.generation == (address >> 16) ? &x : nullptr;
}

void IspChip::CloseExchange(Exchange& x) {
    x.used = false;
    x.initiator = nullptr;
    m_freeExchanges.push_back(static_cast<uint32_t>(&x - m_exchanges.data()));
}

uint32_t IspChip::openExchanges() const {
    return static_cast<uint32_t>(std::count_if(m_exchanges.begin(), m_exchanges.end(), [](const Exchange& x) { return x.used; }));
}

void IspChip::EndExchangesOf(const FcInitiator& initiator, FcpResult::Outcome outcome) {
    for (Exchange& x : m_exchanges) {
        if (!x.used || x.initiator != &initiator) continue;
        x.initiator->Ended(x.tag, outcome);
        CloseExchange(x);
    }
}

// --- CTIO type 7 --------------------------------------------------------------------

void IspChip::FinishCtio(const Entry& entry, uint16_t status, uint32_t residual) {
    ISP24_CTIO7 ctio;
    std::memcpy(&ctio, entry.data(), sizeof ctio);
    ISP24_CTIO7_COMPLETION c{};
    c.bEntryType = CTIO7_ENTRY_TYPE;
    c.bEntryCount = 1;
    c.bSystemDefined = ctio.bSystemDefined;
    c.dHandle = ctio.dHandle;
    c.wStatus = status;
    c.dExchangeAddress = ctio.dExchangeAddress;
    c.wFlags = ctio.wFlags;
    c.dResidual = residual;
    c.wOxId = ctio.wOxId;
    Entry out{};
    std::memcpy(out.data(), &c, sizeof c);
    PutResponse(out);
}

void IspChip::Ctio7(const Entry& entry) {
    ISP24_CTIO7 ctio;
    std::memcpy(&ctio, entry.data(), sizeof ctio);
    ++m_ctiosExecuted;
    Exchange* x = FindExchange(ctio.dExchangeAddress);
    if (ctio.wFlags & CTIO7_FLAG_TERMINATE) {
        // The exchange ends here; nothing goes to the host and nothing back.
        // An exchange under ABTS ends with the ABTS's answer.
        if (x != nullptr) {
            ++m_terminated;
            if (!x->aborting) x->initiator->Ended(x->tag, FcpResult::Outcome::Terminated);
            CloseExchange(*x);
        }
        return;
    }
    const uint32_t portId = static_cast<uint32_t>(ctio.bPortIdHigh) << 16 | ctio.wPortIdLow;
    const Login* login = FindLoginByHandle(ctio.wNportHandle);
    if (ctio.dExchangeAddress == kNoExchange) {
        StatusWithoutExchange(entry, login, portId);
        return;
    }
    if (x == nullptr || x->aborting || (login != nullptr && login->initiator != x->initiator) ||
        x->initiator->portId() != portId || x->oxId != ctio.wOxId) {
        FinishCtio(entry, x != nullptr && x->aborting ? CTIO_STATUS_ABORTED : CTIO_STATUS_INVALID_EXCHANGE, 0);
        return;
    }
    uint32_t bytes = 0;
    uint16_t status = CTIO_COMPLETE;
    const bool modeData = (ctio.wFlags & CTIO7_FLAG_STATUS_MODE_1) == 0;
    if (modeData && ctio.wSegmentCount > 0 && (ctio.wFlags & (CTIO7_FLAG_DATA_IN | CTIO7_FLAG_DATA_OUT))) {
        const uint32_t offset = ctio.u.sData.dRelativeOffset;
        const uint32_t length = ctio.u.sData.dSegmentLength;
        uint8_t* p = Memory(ctio.u.sData.dSegmentAddressLow, length);
        if (p == nullptr || ctio.wSegmentCount != 1 || ctio.u.sData.dSegmentAddressHigh != 0) {
            status = CTIO_STATUS_DMA_ERROR;
        } else if (ctio.wFlags & CTIO7_FLAG_DATA_IN) {
            x->initiator->DataIn(x->tag, offset, p, length);
            bytes = length;
        } else {
            const uint32_t got = x->initiator->DataOut(x->tag, offset, p, length);
            if (got < length) std::memset(p + got, 0, length - got);
            bytes = length;
        }
    }
    const bool sendStatus = status == CTIO_COMPLETE && (ctio.wFlags & CTIO7_FLAG_SEND_STATUS);
    StartCtio(entry, x->initiator, x->tag, status, sendStatus, modeData, bytes);
    if (sendStatus) CloseExchange(*x);
}

// A status for a command the chip had no exchange for: the FCP_RSP goes to
// the initiator and OX_ID the entry names.  Only a status can go that way.
void IspChip::StatusWithoutExchange(const Entry& entry, const Login* login, uint32_t portId) {
    ISP24_CTIO7 ctio;
    std::memcpy(&ctio, entry.data(), sizeof ctio);
    const bool statusOnly = (ctio.wFlags & CTIO7_FLAG_STATUS_MODE_1) && (ctio.wFlags & CTIO7_FLAG_SEND_STATUS);
    const uint32_t tag = login != nullptr ? login->initiator->TagOfOxId(ctio.wOxId) : 0;
    if (!statusOnly || tag == 0 || login->initiator->portId() != portId) {
        FinishCtio(entry, CTIO_STATUS_INVALID_EXCHANGE, 0);
        return;
    }
    StartCtio(entry, login->initiator, tag, CTIO_COMPLETE, true, false, 0);
}

void IspChip::StartCtio(const Entry& entry, FcInitiator* initiator, uint32_t tag, uint16_t status, bool sendStatus,
                        bool modeData, uint32_t bytes) {
    CtioInFlight& f = m_ctios[m_freeCtios.back()];
    m_freeCtios.pop_back();
    f.entry = entry;
    f.initiator = initiator;
    f.tag = tag;
    f.status = status;
    f.sendStatus = sendStatus;
    f.modeData = modeData;
    clock().ArmIn(f.event, kCtioNs + TransferNs(bytes));
}

// The data of a CTIO has crossed the link: its status goes to the host and
// its completion to the driver.
void IspChip::CtioDone(uint32_t slot) {
    CtioInFlight& f = m_ctios[slot];
    ISP24_CTIO7 c;
    std::memcpy(&c, f.entry.data(), sizeof c);
    if (f.sendStatus) {
        const uint8_t* sense = nullptr;
        uint32_t senseLength = 0;
        if (!f.modeData && (c.wScsiStatus & FCP_SENSE_VALID)) {
            const uint32_t response = std::min<uint32_t>(c.u.sStatus.wResponseLength, CTIO7_SENSE_BYTES);
            senseLength = std::min<uint32_t>(c.wSenseLength, CTIO7_SENSE_BYTES - response);
            sense = c.u.sStatus.abSense + response;
        }
        f.initiator->Response(f.tag, static_cast<uint8_t>(c.wScsiStatus), sense, senseLength,
                              (c.wScsiStatus & (FCP_RESIDUAL_UNDERRUN | FCP_RESIDUAL_OVERRUN)) ? c.dResidual : 0,
                              (c.wScsiStatus & FCP_RESIDUAL_UNDERRUN) != 0, (c.wScsiStatus & FCP_RESIDUAL_OVERRUN) != 0);
    }
    FinishCtio(f.entry, f.status, 0);
    m_freeCtios.push_back(slot);
    // A ring stopped for want of a slot goes on.
    if (m_reqOut != m_reqIn) RequestsWritten();
}

// --- notify acknowledges, ABTS, CT pass-through, logout ----------------------------

void IspChip::Notify(uint16_t status, uint8_t els, const Login& login) {
    // Each notify gets an exchange address of its own: the acknowledge
    // names it, whatever status the driver writes there.
    const uint32_t exchange = kNotifyExchangeBase | (m_nextNotify++ & 0xFFFF);
    m_notifies.push_back(PendingNotify{exchange, status, els, login.handle});
    IMMEDIATE_NOTIFY24_ENTRY n{};
    n.bEntryType = IMMEDIATE_NOTIFY24_ENTRY_TYPE;
    n.bEntryCount = 1;
    n.wNPortHandle = login.handle;
    n.wStatus = status;
    n.bElsOpcode = els;
    n.dExchangeAddress = exchange;
    Put24Be(n.abPortId, login.initiator->portId());
    n.wOxId = static_cast<uint16_t>(exchange);
    n.wRxId = 0xFFFF;
    Entry e{};
    std::memcpy(e.data(), &n, sizeof n);
    PutAtio(e);
}

// A login goes one step on when the driver has acknowledged the notify of
// the step before.
void IspChip::NotifyAck(const Entry& entry) {
    IMMEDIATE_NOTIFY24_ENTRY ack;
    std::memcpy(&ack, entry.data(), sizeof ack);
    ++m_notifyAcks;
    auto it = std::find_if(m_notifies.begin(), m_notifies.end(),
                           [&](const PendingNotify& n) { return n.exchange == ack.dExchangeAddress; });
    if (it == m_notifies.end()) return;
    const PendingNotify notify = *it;
    m_notifies.erase(it);
    if (notify.status != NOTIFY_ELS) return;
    Login* login = FindLoginByHandle(notify.handle);
    if (login == nullptr) return;
    if (notify.els == ELS_PLOGI && login->state == Login::State::PlogiNotified) {
        login->state = Login::State::PrliNotified;
        Notify(NOTIFY_ELS, ELS_PRLI, *login);
    } else if (notify.els == ELS_PRLI && login->state == Login::State::PrliNotified) {
        login->state = Login::State::LoggedIn;
        login->initiator->LoginAnswered(*this, true);
        QueueAsync(ISP_AEN_PORT_DATABASE_CHANGED, 0, 0, 0);
    }
}

// The driver answers an ABTS with BA_ACC or BA_RJT.  It may have ended the
// exchange with a terminating CTIO first; either way the initiator learns
// the answer here.
void IspChip::AbtsResponse(const Entry& entry) {
    ABTS_ENTRY response;
    std::memcpy(&response, entry.data(), sizeof response);
    auto it = std::find_if(m_abts.begin(), m_abts.end(), [&](const PendingAbts& a) {
        return a.exchange == response.dExchangeToAbort && a.oxId == response.wOxId;
    });
    if (it == m_abts.end()) return;
    const PendingAbts abts = *it;
    m_abts.erase(it);
    const bool accepted = response.bResponseCode == BA_ACC;
    Exchange* x = FindExchange(abts.exchange);
    if (x != nullptr && x->initiator == abts.initiator && x->tag == abts.tag) {
        if (accepted) {
            ++m_terminated;
            CloseExchange(*x);
        } else {
            x->aborting = false;
        }
        abts.initiator->AbortAnswered(abts.tag, accepted);
        return;
    }
    abts.initiator->AbortAnswered(abts.tag, accepted);
    // Refused, but the exchange is gone all the same: the command ends.
    if (!accepted) abts.initiator->Ended(abts.tag, FcpResult::Outcome::Terminated);
}

// RFT_ID to the name server is the one CT request the driver sends.
void IspChip::CtPassThrough(const Entry& entry) {
    ISP24_CT_PASSTHROUGH ct;
    std::memcpy(&ct, entry.data(), sizeof ct);
    ++m_ctPassThroughs;
    const uint8_t* command = Memory(ct.dCommandAddressLow, ct.dCommandByteCount);
    uint8_t* response = Memory(ct.dResponseAddressLow, ct.dResponseByteCount);
    uint16_t status = 0;
    if (command == nullptr || response == nullptr || ct.dResponseByteCount < 16 || ct.wNportHandle != ISP24_HANDLE_NAME_SERVER) {
        status = 0x0006;
    } else {
        std::memset(response, 0, 16);
        response[0] = 1;
        response[4] = 0xFC;
        response[5] = 2;
        response[8] = 0x80;   // accept
        response[9] = 0x02;
    }
    ct.wStatus = status;
    Entry out{};
    std::memcpy(out.data(), &ct, sizeof ct);
    PutResponse(out);
}

void IspChip::LogoutEntry(const Entry& entry) {
    ISP24_LOGOUT logout;
    std::memcpy(&logout, entry.data(), sizeof logout);
    ++m_logoutEntries;
    Login* login = FindLoginByHandle(logout.wNportHandle);
    if (login != nullptr) DropLogin(*login->initiator, 0, true);
    Entry out = entry;
    PutResponse(out);
}

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

uint8_t IspChip::OwnAlpa() const {
    const uint16_t loopId = m_hardAddress < FC_AL_LOOP_IDS ? m_hardAddress : 4;
    return FC_AL_LOOP_ID_TO_ALPA[loopId];
}

uint16_t IspChip::OwnLoopId() const { return m_hardAddress < FC_AL_LOOP_IDS ? m_hardAddress : 4; }

void IspChip::BringLinkUp() {
    if (m_fabric == nullptr || m_risc != Risc::Initialised || m_linkUp) return;
    m_linkUp = true;
    const bool loop = m_fabric->topology() == FcFabric::Topology::Loop;
    m_portId = loop ? OwnAlpa() : m_fabric->AssignPortId(true);
    m_firmwareState = ISP_FW_STATE_READY;
    if (loop) QueueAsync(ISP_AEN_LIP, 0xF7F7, 0, 0);
    QueueAsync(ISP_AEN_LOOP_UP, ISP_SPEED_4G, 0, 0);
    m_fabric->TargetOnline(*this);
}

// Every login and open exchange of the port ends with the link.
void IspChip::TakeLinkDown() {
    if (!m_linkUp) return;
    m_linkUp = false;
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
