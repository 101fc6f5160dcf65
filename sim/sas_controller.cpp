#include "sim/sas_controller.h"

#include <cstring>

#include "hw/mpi.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/mpi_replies.h"

namespace sim {

namespace {

constexpr uint32_t kIoBarSize = 0x100;
constexpr uint32_t kMemoryBarSize = 0x1000;
constexpr uint8_t kMsiCapability = 0x50;
constexpr uint8_t kMsixCapability = 0x98;

}  // namespace

SasController::SasController(uint8_t revision, MessageInterrupt interrupt)
    : MpiIoc(kVendor, kDevice, revision, 0x010700), m_interrupt(interrupt) {
    m_config[0] = static_cast<uint32_t>(kDevice) << 16 | kVendor;
    m_config[1] = 0x00100000;  // status: capability list
    m_config[2] = 0x010700u << 8 | revision;
    m_config[4] = 1;           // I/O BAR
    m_config[0x34 / 4] = kMsiCapability;
    m_config[kMsiCapability / 4] = 0x05u | static_cast<uint32_t>(kMsixCapability) << 8;
    m_config[kMsixCapability / 4] = 0x11u;
    for (uint32_t i = 0; i < kMaxCompletions; ++i) {
        m_completions[i].nextFree = i + 1 < kMaxCompletions ? i + 2 : 0;
        m_completions[i].done.SetAction([this, i] { FinishScsi(i); });
    }
    InitPages();
}

SasController::~SasController() {
    // The partner sees this IOC's ports go; nothing of this one is touched.
    if (SasController* p = m_partner) {
        m_partner = nullptr;
        p->m_partner = nullptr;
        p->EndPartnerExchanges(nullptr);
        p->RefreshAndReport();
    }
    if (m_chassis) {
        m_chassis->RemoveListener(m_listener);
        if (board) m_chassis->DetachClock(&B().clock());
    }
}

void SasController::SetRevision(uint8_t revision) {
    m_config[2] = (m_config[2] & ~0xFFu) | revision;
}

// --- PCI configuration space --------------------------------------------------

uint32_t SasController::ConfigRead(uint16_t offset) { return m_config[(offset & 0xFF) / 4]; }

void SasController::ConfigWrite(uint16_t offset, uint32_t value) {
    unsigned index = (offset & 0xFF) / 4;
    switch (index) {
    case 0:
    case 2:
        return;  // identity is read-only
    case 4:      // I/O BAR
        m_config[4] = (value & ~(kIoBarSize - 1)) | 1;
        return;
    case 5:      // memory BAR: the system registers
        m_config[5] = value & ~(kMemoryBarSize - 1);
        MapRegisters(m_config[5] == ~(kMemoryBarSize - 1) ? 0 : m_config[5], kMemoryBarSize);
        return;
    default:
        m_config[index] = value;
    }
}

// The running IOC firmware lays out its debug area once its memory is
// fresh; a soft reset keeps it and the trace.
void SasController::PrepareDebugArea() {
    if (IocMemory(kDebugArea) != 0) {
        m_memory[kDebugArea + 21 * 4] = m_fwVersion;
        return;
    }
    const uint32_t words[35] = {kTraceRingBase, kTraceRingBytes, kTraceTail, 0,
                                0x00000001, 0x21FF8000, 0x00000000, 0x0000A5A5, 0x00001068, 0x21FFE000, 0x00000004,
                                0x00000080, 0x21FF0400, 0x00000000, 0x00000061, 0x0000FFFF, 0x00000010,
                                0x21FFDFF0, 0x000142C8, 0x00002001, 0x00003002, m_fwVersion};
    for (uint32_t i = 0; i < 35; ++i) m_memory[kDebugArea + 4 * i] = words[i];
    m_memory[kTraceTail] = 0;
}

void SasController::Trace(uint32_t first, uint32_t second) {
    if (m_traceTail == nullptr) {
        m_traceTail = &m_memory[kTraceTail];
        for (uint32_t i = 0; i < m_traceWords.size(); ++i) m_traceWords[i] = &m_memory[kTraceRingBase + 4 * i];
    }
    const uint32_t tail = *m_traceTail % kTraceRingBytes & ~7u;
    *m_traceWords[tail / 4] = first;
    *m_traceWords[tail / 4 + 1] = second;
    *m_traceTail = (tail + 8) % kTraceRingBytes;
    ++m_traceEntries;
}

void SasController::ResetChip() {
    m_stalled.clear();
    // The partner's commands held here end, and answers to what this IOC
    // sent it are no longer awaited.
    m_sentToPartner.clear();
    if (m_partner) m_partner->EndPartnerExchanges(this);
    EndPartnerExchanges(nullptr);
    m_exchanges.fill(Exchange{});
    m_freeCmdBuffers.clear();
    m_phyErrors.fill({});
    DescribePhyCounters();
}

void SasController::EnterFault(uint16_t code) {
    m_memory[kDebugArea + 24 * 4] = code;
    Trace(0xFA000000u | code, m_requestsReceived);
    MpiIoc::EnterFault(code);
}

}  // namespace sim
