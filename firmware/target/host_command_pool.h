// The host command pool: 3200 KERNEL_ENTRYs, one per command a host (or the
// controller itself, on the host side) has in progress, from its arrival to
// its end.  An entry never moves; its 16-bit index travels through the
// stage rings (target/stage_rings.h).
//
// The pool and the rings the host-port drivers push from the FIQ handler are
// guarded by the host pool lock, the lock of interrupt source 0.
#pragma once

#include <cstdint>

#include "executive/kernel_entry.h"

namespace fw {

constexpr uint16_t HOST_ENTRY_COUNT = 3200;
constexpr uint16_t MAX_HOST_ENTRY_RUN = 255;

// Holds the host pool lock for one scope; only a holder that took the lock
// releases it, so nested sections and the host chips' own handler leave the
// mask alone.
class HostPoolLock {
public:
    HostPoolLock();
    // fLockHeld TRUE: the caller holds the lock already, take nothing.
    explicit HostPoolLock(uint8_t fLockHeld);
    ~HostPoolLock() { Release(); }
    void Release();
    HostPoolLock(const HostPoolLock&) = delete;
    HostPoolLock& operator=(const HostPoolLock&) = delete;

private:
    uint8_t m_bResult;
};

// Start of day: every entry free with its index, the counters and rotor 0,
// every ring and list empty, and the LUN scheduler's and the outstanding
// queues' tables set up.
void InitHostCommandPool();

// N (1..255) consecutive free entries from the rotor; a run never crosses
// the end of the pool.  255 with the first entry and its index, or 16.
// fLockHeld TRUE: the caller holds the host pool lock.
uint8_t bAllocTargetEntries(uint8_t bPortCode, uint16_t wCount, KERNEL_ENTRY** ppsEntry, uint16_t* pwIndex,
                            uint8_t fLockHeld);
void FreeTargetEntry(KERNEL_ENTRY* psEntry);
// The entry of an index (none for an index outside the pool); the index.
uint16_t wGetTargetEntry(uint16_t wIndex, KERNEL_ENTRY** ppsEntry);
void NextTargetEntry(const KERNEL_ENTRY* psEntry, KERNEL_ENTRY** ppsNext);
uint8_t fIsTargetEntryAddress(const void* pAddress);
// The index of a host entry address on an entry boundary, else 0xFFFF.
uint16_t wTargetEntryIndex(const void* pAddress);

// Copies a new command block (64 bytes, 128 for port code 80) to the head of
// the entry and stores the primary state and the port code.
void CopyNewCommandIocb(uint8_t bPortCode, const void* pCommandBlock, KERNEL_ENTRY* psEntry, uint8_t bPrimaryState,
                        uint8_t fLockHeld);

// Successive in-use entries of the port code in the state, in pool order,
// from the scan position of (port, state): 17 and the entry, or 18.
uint8_t FindPortEntryInState(uint8_t bPortCode, uint8_t bPrimaryState, KERNEL_ENTRY** ppsEntry);
void RewindNewCommandScan(uint8_t bPortCode);
void RewindWriteReadyScan(uint8_t bPortCode);
void SetPortScanPosition(uint8_t bPortCode, uint16_t wPosition);
// Moves the internal ports' state-2 scan position past the given index.
void AdvanceInternalNewCommandScan(uint16_t wIndex);
uint16_t wGetWriteReadyScanPosition(uint8_t bPortCode);

// Task management scans: set the aborted bit on matching commands in use of
// the port code, unless they carry it already or their GOOD status was sent.
void MarkInitiatorCommandAborted(uint8_t bPortCode, uint16_t wInitiator);
uint8_t bMarkExchangeAborted(uint8_t bPortCode, uint16_t wLoopId, uint32_t dPortId);
uint8_t bMarkPortIdAborted(uint8_t bPortCode, uint32_t dPortId);
// The command of an initiator whose exchange (RX_ID) is the tag given.
uint8_t bMarkExchangeTagAborted(uint8_t bPortCode, uint16_t wInitiator, uint16_t wTag);
// Every command of a task set: the initiator (0xFFFF: all; on ISP24xx ports
// matched by its port id) on the host LUN (0xFFFF: all) of the port.
// Returns how many were marked.
uint16_t wMarkTaskSetAborted(uint8_t bPortCode, uint16_t wInitiator, uint32_t dPortId, uint16_t wHostLun);

// Pool state, as the dump prints it.
uint16_t wGetTargetEntriesUsed();
uint8_t fIsTargetPoolFull();
uint16_t wGetNextTargetEntry();

}  // namespace fw
