// The ISP24xx model's mailbox engine: firmware load, checksum and start from
// its ROM, and the commands the running firmware answers.
#include "sim/isp_chip.h"

#include <array>
#include <cstring>

#include "sim/board.h"

namespace sim {

using namespace fw;

namespace {

constexpr uint64_t kMailboxNs = 5'000;
constexpr uint64_t kLoadRamNs = 100'000;
constexpr uint64_t kInitFirmwareNs = 50'000;
constexpr uint8_t kPortDatabaseLoggedIn = 6;
constexpr uint32_t kPortDatabase2x00Bytes = 128;

template <typename T>
T Load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// World wide names, most significant byte first.
void PutName(uint8_t* p, uint64_t name) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(name >> (56 - 8 * i));
}

uint64_t GetName(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}

// The port database keeps port ids least significant byte first.
void Put24Le(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
}

}  // namespace

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

uint32_t IspChip::RiscWord(uint32_t address) const { return m_riscMemory.Get(address); }

void IspChip::SetRiscWord(uint32_t address, uint32_t value) { m_riscMemory.Set(address, value); }

uint16_t IspChip::LoadRam(uint32_t bus, uint32_t words, uint32_t riscAddress) {
    const uint8_t* p = Memory(bus, words * 4);
    if (p == nullptr || words == 0) return MBS_PARAMETER_ERROR;
    if (m_riscMemoryStale) {
        m_riscMemory.Clear();
        m_riscMemoryStale = false;
    }
    if (m_riscLoads++ == 0 || m_riscMemory.Empty()) m_firstLoadAddress = riscAddress;
    m_riscMemory.Write(riscAddress, words, [p](uint32_t i) { return Load<uint32_t>(p + 4 * i); });
    m_checksumGood = false;
    return MBS_COMPLETE;
}

// The mailbox commands, one handler each: it reads the mailboxes the
// driver loaded, puts what it answers in the answer's mailboxes and
// returns the status that goes in mailbox 0.
struct IspChip::Mailbox {
    using In = std::array<uint16_t, ISP_MAILBOXES>;
    using Handler = uint16_t (*)(IspChip&, const In&, Interrupt&);
    struct Command {
        uint16_t opcode;
        bool needsFirmware;   // answered only once the loaded firmware runs
        Handler handler;
    };
    static const Command kCommands[];

    static void Out(Interrupt& a, unsigned n, uint16_t v) {
        a.mailbox[n] = v;
        a.mailboxMask |= 1u << n;
    }
    static uint32_t Address(const In& in, unsigned high, unsigned low) {
        return static_cast<uint32_t>(in[high]) << 16 | in[low];
    }

    // --- from the ROM ---------------------------------------------------------

    static uint16_t Test(IspChip& c, const In& in, Interrupt& a) {
        for (unsigned n = 1; n < ISP_MAILBOXES; ++n) Out(a, n, in[n]);
        if (c.faults.mailboxTestCorrupt) Out(a, 7, static_cast<uint16_t>(in[7] ^ 0x5A5A));
        return MBS_COMPLETE;
    }
    static uint16_t LoadRam(IspChip& c, const In& in, Interrupt&) {
        return c.LoadRam(Address(in, 2, 3), Address(in, 4, 5), static_cast<uint32_t>(in[8]) << 16 | in[1]);
    }
    static uint16_t VerifyChecksum(IspChip& c, const In& in, Interrupt& a) {
        const uint32_t sum = c.m_riscMemory.Sum();
        const bool good = !c.m_riscMemory.Empty() && sum == 0 && !c.faults.checksumError &&
                          Address(in, 1, 2) == c.m_firstLoadAddress;
        c.m_checksumGood = good;
        Out(a, 1, good ? 0 : static_cast<uint16_t>((sum ^ (sum >> 16)) | 1));
        return MBS_COMPLETE;
    }
    static uint16_t Execute(IspChip& c, const In& in, Interrupt&) {
        if (!c.m_checksumGood || Address(in, 1, 2) != c.m_firstLoadAddress ||
            c.RiscWord(c.m_firstLoadAddress) != RISC_SIGNATURE) {
            return MBS_COMMAND_ERROR;
        }
        c.m_risc = Risc::Running;
        return MBS_COMPLETE;
    }
    static uint16_t DumpRam(IspChip& c, const In& in, Interrupt&) {
        const uint32_t words = static_cast<uint32_t>(in[4]) << 16 | in[5];
        uint8_t* p = c.Memory(Address(in, 2, 3), words * 4);
        if (p == nullptr) return MBS_PARAMETER_ERROR;
        const uint32_t risc = (in[0] == MBC_DUMP_RAM_EXTENDED ? static_cast<uint32_t>(in[8]) << 16 : 0) | in[1];
        for (uint32_t i = 0; i < words; ++i) {
            const uint32_t w = c.RiscWord(risc + i);
            std::memcpy(p + 4 * i, &w, 4);
        }
        return MBS_COMPLETE;
    }
    static uint16_t ReadRamWord(IspChip& c, const In& in, Interrupt& a) {
        Out(a, 2, static_cast<uint16_t>(c.RiscWord(in[1])));
        return MBS_COMPLETE;
    }
    static uint16_t WriteRamWord(IspChip& c, const In& in, Interrupt&) {
        c.SetRiscWord(in[1], in[2]);
        return MBS_COMPLETE;
    }
    static uint16_t WriteRamWordExtended(IspChip& c, const In& in, Interrupt&) {
        c.SetRiscWord(static_cast<uint32_t>(in[8]) << 16 | in[1], in[2]);
        return MBS_COMPLETE;
    }

    // --- from the running firmware ----------------------------------------------

    static uint16_t FirmwareVersion(IspChip& c, const In&, Interrupt& a) {
        const uint32_t version = c.m_firstLoadAddress + RISC_VERSION_WORD;
        Out(a, 1, static_cast<uint16_t>(c.RiscWord(version)));
        Out(a, 2, static_cast<uint16_t>(c.RiscWord(version + 1)));
        Out(a, 3, static_cast<uint16_t>(c.RiscWord(version + 2)));
        Out(a, 4, static_cast<uint16_t>(c.externalMemoryEnd));
        Out(a, 5, static_cast<uint16_t>(c.externalMemoryEnd >> 16));
        Out(a, 6, static_cast<uint16_t>(c.RiscWord(version + 3)));
        return MBS_COMPLETE;
    }
    static uint16_t ResourceCounts(IspChip& c, const In&, Interrupt& a) {
        Out(a, 1, c.faults.exchangeResources);
        Out(a, 2, c.faults.exchangeResources);
        Out(a, 3, 0);
        Out(a, 6, c.faults.exchangeResources);
        Out(a, 7, c.faults.exchangeResources);
        Out(a, 10, 512);
        return MBS_COMPLETE;
    }
    static uint16_t InitializeFirmware(IspChip& c, const In& in, Interrupt&) {
        return c.InitializeFirmware(Address(in, 2, 3));
    }
    static uint16_t FirmwareState(IspChip& c, const In&, Interrupt& a) {
        Out(a, 1, c.m_firmwareState);
        return MBS_COMPLETE;
    }
    static uint16_t GetLoopId(IspChip& c, const In&, Interrupt& a) {
        const bool loop = c.m_fabric != nullptr && c.m_fabric->topology() == FcFabric::Topology::Loop;
        if (!c.Online()) return MBS_COMMAND_ERROR;
        Out(a, 1, loop ? c.OwnLoopId() : 0);
        Out(a, 2, static_cast<uint16_t>(c.m_portId));
        Out(a, 3, static_cast<uint16_t>(c.m_portId >> 16));
        Out(a, 6, loop ? ISP_TOPOLOGY_LOOP : ISP_TOPOLOGY_FABRIC);
        return MBS_COMPLETE;
    }
    static uint16_t LoopPositionMap(IspChip& c, const In& in, Interrupt&) {
        uint8_t* p = c.Memory(Address(in, 2, 3), 128);
        if (p == nullptr || !c.Online()) return MBS_COMMAND_ERROR;
        std::memset(p, 0, 128);
        if (c.m_fabric->topology() == FcFabric::Topology::Loop) {
            uint8_t count = 0;
            p[++count] = c.OwnAlpa();
            for (const auto& initiator : c.m_fabric->initiators()) {
                if (initiator->present() && count < 126) p[++count] = static_cast<uint8_t>(initiator->portId());
            }
            p[0] = count;
        }
        return MBS_COMPLETE;
    }
    static uint16_t PortDatabase(IspChip& c, const In& in, Interrupt&) { return c.PortDatabase(in[1], Address(in, 2, 3)); }
    static uint16_t PortName(IspChip& c, const In& in, Interrupt& a) {
        return c.PortNameOf(in[1], in[10] == ISP_PORT_NAME_OPTION, &a);
    }
    // Option 1 reads the port's own counters; otherwise those of the device
    // at the loop ID, which must be on the loop.
    static uint16_t LinkStatus(IspChip& c, const In& in, Interrupt&) {
        uint8_t* p = c.Memory(Address(in, 2, 3), sizeof c.linkStatus);
        if (p == nullptr) return MBS_PARAMETER_ERROR;
        if (in[10] == 1 || in[1] == c.OwnLoopId()) {
            std::memcpy(p, &c.linkStatus, sizeof c.linkStatus);
            return MBS_COMPLETE;
        }
        if (in[1] >= FC_AL_LOOP_IDS || c.m_fabric == nullptr) return MBS_COMMAND_ERROR;
        const uint8_t alpa = FC_AL_LOOP_ID_TO_ALPA[in[1]];
        bool present = false;
        for (const auto& initiator : c.m_fabric->initiators()) {
            if (initiator->present() && static_cast<uint8_t>(initiator->portId()) == alpa) present = true;
        }
        if (!present) return MBS_COMMAND_ERROR;
        const fw::ISP_LINK_STATUS s = c.deviceLinkStatus[alpa];
        std::memcpy(p, &s, sizeof s);
        return MBS_COMPLETE;
    }
    static uint16_t ReadSfp(IspChip& c, const In& in, Interrupt&) {
        const std::array<uint8_t, 256>& page = in[1] == 0xA2 ? c.sfpDiagnostics : c.sfpIdentity;
        const uint32_t count = in[8], offset = in[9];
        uint8_t* p = c.Memory(Address(in, 2, 3), count);
        if (p == nullptr || (in[1] != 0xA0 && in[1] != 0xA2) || offset + count > page.size()) return MBS_PARAMETER_ERROR;
        // Nothing answers at the transceiver's two-wire addresses.
        if (!c.sfpFitted) return MBS_PARAMETER_ERROR;
        std::memcpy(p, page.data() + offset, count);
        return MBS_COMPLETE;
    }
    static uint16_t HostMemoryCopy(IspChip& c, const In& in, Interrupt&) {
        const uint32_t bytes = static_cast<uint32_t>(in[9]) * 4;
        const uint8_t* from = c.Memory(Address(in, 3, 4), bytes);
        uint8_t* to = c.Memory(Address(in, 10, 11), bytes);
        if (from == nullptr || to == nullptr) return MBS_PARAMETER_ERROR;
        std::memmove(to, from, bytes);
        return MBS_COMPLETE;
    }
    static uint16_t LoopReset(IspChip& c, const In&, Interrupt&) {
        if (!c.Online()) return MBS_COMPLETE;
        if (c.m_fabric->topology() == FcFabric::Topology::Loop) {
            c.Lip();
        } else {
            c.QueueAsync(ISP_AEN_LOOP_UP, c.SpeedCode(), 0, 0);
        }
        return MBS_COMPLETE;
    }
};

const IspChip::Mailbox::Command IspChip::Mailbox::kCommands[] = {
    {MBC_MAILBOX_TEST, false, Test},
    {MBC_LOAD_RAM, false, LoadRam},
    {MBC_LOAD_RAM_EXTENDED, false, LoadRam},
    {MBC_VERIFY_CHECKSUM, false, VerifyChecksum},
    {MBC_EXECUTE_FIRMWARE, false, Execute},
    {MBC_DUMP_RAM, false, DumpRam},
    {MBC_DUMP_RAM_EXTENDED, false, DumpRam},
    {MBC_READ_RAM_WORD, false, ReadRamWord},
    {MBC_WRITE_RAM_WORD, false, WriteRamWord},
    {MBC_WRITE_RAM_WORD_EXTENDED, false, WriteRamWordExtended},
    {MBC_FIRMWARE_VERSION, true, FirmwareVersion},
    {MBC_RESOURCE_COUNTS, true, ResourceCounts},
    {MBC_INITIALIZE_FIRMWARE, true, InitializeFirmware},
    {MBC_FIRMWARE_STATE, true, FirmwareState},
    {MBC_GET_LOOP_ID, true, GetLoopId},
    {MBC_LOOP_POSITION_MAP, true, LoopPositionMap},
    {MBC_PORT_DATABASE, true, PortDatabase},
    {MBC_PORT_NAME, true, PortName},
    {MBC_LINK_STATUS, true, LinkStatus},
    {MBC_READ_SFP, true, ReadSfp},
    {MBC_HOST_MEMORY_COPY, true, HostMemoryCopy},
    {MBC_LOOP_RESET_24XX, true, LoopReset},
};

// A command the chip does not know, or one that needs the firmware while
// the RISC still runs its ROM, is answered invalid.
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
    uint16_t status = MBS_INVALID_COMMAND;
    for (const Mailbox::Command& command : Mailbox::kCommands) {
        if (command.opcode != in[0]) continue;
        if (!command.needsFirmware || m_risc != Risc::Rom) status = command.handler(*this, in, a);
        break;
    }
    a.mailbox[0] = status;
    QueueMailboxAnswer(a);
}

uint16_t IspChip::InitializeFirmware(uint32_t icbAddress) {
    if (faults.initFirmwareStatus != MBS_COMPLETE) return faults.initFirmwareStatus;
    if (m_isp2x00) return InitializeFirmware2x00(icbAddress);
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
    m_connectionOption = static_cast<uint16_t>((icb.dFirmwareOptions2 >> 4) & 7);
    m_rateOption = static_cast<uint16_t>((icb.dFirmwareOptions3 >> 13) & 7);
    RunInitialised(icb.wExchangeCount != 0 ? icb.wExchangeCount : kDefaultExchanges);
    return MBS_COMPLETE;
}

// The firmware has its control block: the exchanges are new, and the link
// comes up when the fabric is there.
void IspChip::RunInitialised(uint32_t exchanges) {
    // Initialised again while its link was up, the port logs in to the
    // fabric afresh: its logins go, and its hosts log in again.
    if (m_linkUp) {
        if (m_fabric != nullptr) {
            for (Login& login : m_logins) login.initiator->LoggedOut(*this);
        }
        m_logins.clear();
        TakeLinkDown();
    }
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
        ++m_initiatorNameReads;
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
    const bool loop = m_fabric != nullptr && m_fabric->topology() == FcFabric::Topology::Loop;
    if (m_isp2x00) {
        // The older generation's layout: flags, hard address, names, and
        // the PRLI service parameters' low byte.
        std::memset(p, 0, kPortDatabase2x00Bytes);
        const uint16_t flags = loop ? PORT_DATABASE_HARD_ADDRESS_VALID : 0;
        std::memcpy(p, &flags, 2);
        p[6] = loop ? static_cast<uint8_t>(login->initiator->portId()) : 0;
        PutName(p + 12, login->initiator->nodeName());
        PutName(p + 20, login->initiator->portName());
        p[78] = login->state == Login::State::LoggedIn ? PRLI_INITIATOR_FUNCTION : 0;
        return MBS_COMPLETE;
    }
    ISP24_PORT_DATABASE db{};
    db.bCurrentState = kPortDatabaseLoggedIn;
    db.bLastState = kPortDatabaseLoggedIn;
    Put24Le(db.abPortId, login->initiator->portId());
    db.wNportHandle = login->handle;
    db.bPrliOptions = login->state == Login::State::LoggedIn ? PRLI_INITIATOR_FUNCTION : 0;
    PutName(db.abPortName, login->initiator->portName());
    PutName(db.abNodeName, login->initiator->nodeName());
    if (loop) {
        db.wFlags = PORT_DATABASE_HARD_ADDRESS_VALID;
        db.bHardAddress = static_cast<uint8_t>(login->initiator->portId());
    }
    std::memcpy(p, &db, sizeof db);
    return MBS_COMPLETE;
}

}  // namespace sim
