// The SATA host-adapter driver: two 8-port chips, 16 direct SATA ports, each
// port's EDMA engine for drive commands and a polled taskfile path for the
// set-up commands, the drives' identities, and a main-loop monitor that
// recovers ports after errors, time-outs and hot plug.
#pragma once

#include <cstdint>

#include "config/drive_tables.h"
#include "hw/sata_88sx.h"

namespace fw {

struct KERNEL_ENTRY;

constexpr uint16_t SATA_TAG_FREE = 0xFFFF;
constexpr uint16_t SATA_TAG_NOT_LAST = 0x8000;   // all but the last block of a split command

#pragma pack(push, 1)
struct MARVELL_PORT {
    uint8_t fPresent;            // IDENTIFY DEVICE answered
    uint8_t fSecond;
    uint8_t bOutstanding;        // request blocks on the engine
    uint8_t fBringUp;
    uint8_t fTimedOut;           // set by the time-out scan
    uint8_t fGivenUp;            // the monitor leaves the port alone
    uint16_t wEdmaResets;
    uint8_t fLinkUp;
    uint8_t abPad0[3];
    uint64_t lLastRecovery;      // ms; 0 none yet
    uint64_t lAbsentSince;       // ms; 0 present
    uint64_t lOldestCommand;     // ms
    uint16_t awTag[SATA_QUEUE_SLOTS];   // kernel entry index per tag
    uint8_t bResponseOut;        // 0-31
    uint8_t bRequestIn;          // 0-31
    uint8_t abPad1[2];
    uint32_t dSStatus, dSError, dSControl, dPhy30, dPhy0C, dPhy3C;
    uint32_t dRequestQueue;      // bus addresses
    uint32_t dResponseQueue;
    uint32_t dPrdTables;
    uint32_t dEdma;              // register block
    char acModel[40];
    char acSerialKey[8];
    char acFirmware[8];
    uint8_t fLba48;
    uint8_t fQueued;
    uint8_t bQueueDepth;
    uint8_t bCacheFlags;         // bit 0 write cache, bit 1 look-ahead
    uint64_t lCapacity;
    uint8_t abPad2[124];
};
#pragma pack(pop)
static_assert(sizeof(MARVELL_PORT) == 336);


// PIO modes of bMarvellPioCommand.
constexpr uint8_t SATA_PIO_OUT = 0;
constexpr uint8_t SATA_PIO_IN = 1;
constexpr uint8_t SATA_PIO_NO_DATA = 2;

void InitMarvellSata();
// TRUE once bring-up found a chip: the monitor runs from then on.
uint8_t fIsMarvellSataStarted();
MARVELL_PORT* pGetMarvellPortRecord(uint8_t bPort);
uint8_t bCountMarvellPorts();
void BuildSataSerialList(SATA_SERIAL_LIST* psList);
// The serial list (the configuration's drive tables key SATA drives by it)
// and a look-up in it: 0xFF with the port, the entry marked found with
// fMark TRUE; 0 with port 0xFF.
uint8_t bFindSataSerial(SATA_SERIAL_LIST* psList, const char* pcKey, uint8_t* pbPort, uint8_t fMark);
// dCount: the byte count of a data command, the feature word of SET FEATURES.
uint8_t bMarvellPioCommand(uint8_t bPort, uint8_t bMode, uint8_t bCommand, uint32_t dCount, uint32_t dLba,
                           uint32_t dLbaHigh, uint8_t* pbBuffer);
uint8_t bMarvellPortEnable(uint8_t bPort, uint8_t fEnable);
void MarvellEnableAllPorts(uint8_t fEnable);
void MarvellResetPortEdma(uint8_t bPort);
void MarvellIdentifyPort(uint8_t bPort);
void MarvellResetAndIdentifyAll(uint8_t fReset);
// STATUS_OK queued; STATUS_RETRY when the port's tags or request queue are
// short for now; 0 when the port cannot carry the command.
uint8_t bMarvellQueueCommand(KERNEL_ENTRY* psEntry);
void MarvellInterrupt(uint8_t bChip);
void MarvellPortMonitor();
void MarvellCommandTimeoutScan();
void MarvellLongWriteTest(uint8_t bPort, uint32_t dBlock);
// The same on the first present port, at a block drawn from a generator
// seeded by the coarse tick: below 2^26, never block 0.
void MarvellRandomLongWriteTest();
// Responses the driver could not place (a free tag, an entry of another
// port): dropped and counted.
uint32_t dGetMarvellDroppedResponses();
// The ports' error and queue registers and tag maps, and the chips'
// interrupt registers, on the console (each port's SError is cleared).
void ShowMarvellRegisters();

}  // namespace fw
