// The controller write/read throughput test of the drive ports.
//
// The settings are chosen from the menus before a run and not stored: every
// start of day begins with the defaults.  A run keeps every drive busy with
// a fixed number of commands: the background pass starts them, and from
// then on each one that comes back through the back-end completion is sent
// again (as the next write or read of its slot) until the time is up or the
// operator stops the test; the last to come back prints the totals.
#include "console/throughput_test.h"

#include <cstring>

#include "config/config_flags.h"
#include "config/rank_table.h"
#include "console/console_menu.h"
#include "console/information_menus.h"
#include "enclosure/drive_table.h"
#include "eventlog/statistics.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "raid/drive_error_recovery.h"
#include "sas/sas_scrambler.h"
#include "sas/sas_scsi_path.h"
#include "target/back_end_completion.h"
#include "target/host_command_codes.h"

namespace fw {

namespace {

struct THROUGHPUT_SETTINGS {
    uint8_t bPattern;
    uint64_t alUserPattern[2];
    uint8_t fRandomDestructive;
    uint8_t fPartnerIncluded;
    uint8_t fLinkJitter;
};

THROUGHPUT_SETTINGS s_sSettings = {THROUGHPUT_PATTERN_ALTERNATING, {0, 0}, FALSE, FALSE, FALSE};

constexpr uint8_t PATTERN_BUFFERS = 6;
constexpr uint8_t READ_BUFFERS = 2;
constexpr uint8_t RECEIVE_BUFFERS = 6;
constexpr uint32_t TEST_BUFFER_PAGES = 256;                 // 1 MB
constexpr uint32_t TEST_BUFFER_BYTES = TEST_BUFFER_PAGES * BUFFER_PAGE_SIZE;
constexpr uint32_t TEST_BUFFER_WORDS = TEST_BUFFER_BYTES / 8;
constexpr uint8_t DRIVE_LIST_SIZE = 126;
constexpr uint8_t LIST_END = 0xFF;
constexpr uint8_t PARTNER_TARGET = 0xFE;
constexpr uint32_t PARTNER_CAPACITY = 0xFFFF0000;
constexpr uint8_t FIXED_COMMANDS = 6;
constexpr uint8_t RANDOM_COMMANDS = 42;
constexpr uint32_t FIXED_TAIL_BLOCKS = 0x3000;              // the fixed slots: the drive's last 12288 blocks
constexpr uint32_t SLOT_SPACING = 2048;
constexpr uint32_t RANDOM_RESERVE = 0x8800;                 // random LBAs stay below capacity minus this
constexpr uint16_t MAX_RANDOM_BLOCKS = 2048;
constexpr uint16_t ALL_PORTS_BLOCKS = 128;
constexpr uint16_t ONE_PORT_BLOCKS = 2048;
constexpr uint16_t ERROR_LIMIT = 249;
constexpr uint32_t BLOCKS_PER_MB = 1954;
constexpr uint32_t FIVE_MINUTES = 600;                      // coarse ticks
constexpr uint8_t TEST_INDICATOR = 9;
constexpr uint8_t FAILURE_BY_DRIVER = 0x67;
constexpr uint16_t FAILURE_INTERNAL = 2;
constexpr uint16_t FAILURE_TIMEOUT = 6;
constexpr uint16_t FAILURE_UNDERRUN = 0x15;
constexpr uint16_t TEST_TIMEOUT = 10;
constexpr uint16_t THROUGHPUT_WRITE_FLAGS = 0x48;
constexpr uint16_t THROUGHPUT_READ_FLAGS = 0x28;
constexpr uint8_t ENCLOSURES = 16;
constexpr uint8_t SLOTS = 32;

// Fields of a test command beyond its request block, in the range of the
// entry the target engine uses for host commands (a test command is never
// one).
#pragma pack(push, 1)
struct TEST_ENTRY_FIELDS {
    uint64_t lCommandNumber;
    uint64_t lCapacity;       // random commands: where they may go
    uint8_t fTestCommand;
    uint8_t bDrive;
    uint8_t fStopMarked;      // the operator stopped the test while it was out
};
#pragma pack(pop)

TEST_ENTRY_FIELDS* pTestFields(KERNEL_ENTRY* ps) {
    return EntryArea<TEST_ENTRY_FIELDS, KE_AREA_TARGET_OFFSET, KE_AREA_TARGET_SIZE>(ps);
}

struct THROUGHPUT_RUN {
    uint8_t fRequest;
    uint8_t fRunning;
    uint8_t fAbort;
    uint8_t fProgressBar;
    uint8_t fIndicatorOn;
    uint8_t bPercent;
    uint8_t bTestCode;
    uint8_t fAllPorts;
    uint8_t bKind;
    uint8_t fDriveCommands;   // FALSE: WRITE and READ BUFFER (production test mode)
    uint32_t dDuration;
    uint32_t dStartTick;
    uint32_t dLastTick;
    uint32_t dEndTick;
    uint16_t wErrors;
    uint16_t wWritesInFlight;
    uint16_t wReadsInFlight;
    uint64_t lReadTotal;
    uint64_t lWriteTotal;
    uint8_t abDrives[DRIVE_LIST_SIZE];
    uint8_t bDriveCount;
    BUFFER_HANDLE adPattern[PATTERN_BUFFERS];
    BUFFER_HANDLE adRead[READ_BUFFERS];
    BUFFER_HANDLE adReceive[RECEIVE_BUFFERS];
};

// volatile: the console's receive interrupt reads the running flag and
// stores the abort.
volatile uint8_t s_fAbortRequested = FALSE;
THROUGHPUT_RUN s_sRun = {};

// The controller's C library generator: the same sequence from the same
// seed, so a run is repeatable.
uint32_t s_dRandomState = 1;
void SeedRandom(uint32_t d) { s_dRandomState = d; }
uint32_t dRandom() {
    s_dRandomState = s_dRandomState * 1103515245u + 12345u;
    return (s_dRandomState >> 16) & 0x7FFF;
}
uint64_t lRandomWord() {
    const uint32_t a = dRandom(), b = dRandom(), c = dRandom(), d = dRandom();
    const uint64_t lLow = static_cast<uint64_t>(c) + (static_cast<uint64_t>(d) << 16);
    const uint64_t lHigh = static_cast<uint64_t>(a) + (static_cast<uint64_t>(b) << 16);
    return (lHigh << 32) + lLow;
}

// A jitter block: two runs of 112 words and 32 idle words.
constexpr uint32_t JITTER_WORDS = 256;
constexpr uint32_t JITTER_IDLE = 0x7E7E7E7E;
constexpr uint32_t JITTER_RUN = 112;

void BuildJitterTable(uint32_t* pd) {
    uint32_t n = 0;
    auto put = [&](uint32_t dWord, uint32_t dCount) {
        for (uint32_t i = 0; i < dCount; ++i) pd[n++] = dWord;
    };
    for (int run = 0; run < 2; ++run) {
        put(JITTER_IDLE, 41);
        put(0x7E7E7E74, 1);
        put(0x7EABB5B5, 1);
        put(0xB5B5B5B5, 12);
        put(0xB55E4A7E, 1);
        put(JITTER_IDLE, 41);
        put(0x7E7E7E6B, 1);
        put(0x7E544A4A, 1);
        put(0x4A4A4A4A, 12);
        put(0x4ABEB57E, 1);
    }
    put(JITTER_IDLE, JITTER_WORDS - 2 * JITTER_RUN);
}

uint64_t* plWords(BUFFER_HANDLE d) { return static_cast<uint64_t*>(pBufferHandleToPointer(d)); }

bool IsValidTestCode(uint8_t b) { return b == 0x61 || b == 3 || b == 4 || (b >= 0x20 && b <= 0x2F); }

bool PartnerTested() {
    return s_sSettings.fPartnerIncluded == TRUE && fIsDualControllerActive() == TRUE;
}

void FreeRunBuffers() {
    auto give = [](BUFFER_HANDLE* pd, uint8_t bCount) {
        for (uint8_t i = 0; i < bCount; ++i) {
            if (pd[i] != NULL_BUFFER_HANDLE) (void)wFreeDataPages(pd[i], TEST_BUFFER_PAGES);
            pd[i] = NULL_BUFFER_HANDLE;
        }
    };
    give(s_sRun.adPattern, PATTERN_BUFFERS);
    give(s_sRun.adRead, READ_BUFFERS);
    give(s_sRun.adReceive, RECEIVE_BUFFERS);
}

bool TakeBuffers(BUFFER_HANDLE* pd, uint8_t bCount, uint8_t bBank) {
    for (uint8_t i = 0; i < bCount; ++i) {
        if (bAllocDataPages(bBank, TEST_BUFFER_PAGES, &pd[i]) != STATUS_OK) {
            pd[i] = NULL_BUFFER_HANDLE;
            return false;
        }
    }
    return true;
}

void FailStart() {
    FreeRunBuffers();
    s_sRun.fRequest = FALSE;
    s_sRun.fRunning = FALSE;
    SetDriveAttentionFlag(FALSE);
    DrivePortTestDone(TEST_RESULT_FAILED);
}

void FillPatterns() {
    SeedRandom(1);
    if (s_sSettings.fLinkJitter != TRUE) {
        for (uint8_t b = 0; b < 4; ++b) {
            uint64_t* pl = plWords(s_sRun.adPattern[b]);
            for (uint32_t w = 0; w < TEST_BUFFER_WORDS; ++w) {
                uint64_t l = 0;
                switch (s_sSettings.bPattern) {
                case THROUGHPUT_PATTERN_RANDOM: l = lRandomWord(); break;
                case THROUGHPUT_PATTERN_USER: l = s_sSettings.alUserPattern[w & 1]; break;
                default:
                    switch (b) {
                    case 0: l = lRandomWord(); break;
                    case 1: l = 0; break;
                    case 2: l = ~0ull; break;
                    default: l = (w & 1) ? ~0ull : 0; break;
                    }
                    break;
                }
                pl[w] = l;
            }
        }
    }
    uint32_t adTable[JITTER_WORDS];
    uint32_t adBlock[JITTER_WORDS];
    BuildJitterTable(adTable);
    ScrambleSasDwords(adTable, adBlock, JITTER_WORDS, TRUE);
    uint8_t* pbJitter = static_cast<uint8_t*>(pBufferHandleToPointer(s_sRun.adPattern[4]));
    for (uint32_t at = 0; at < TEST_BUFFER_BYTES; at += sizeof adBlock) std::memcpy(pbJitter + at, adBlock, sizeof adBlock);
    const uint8_t bFirstCopy = s_sSettings.fLinkJitter == TRUE ? 0 : 5;
    for (uint8_t b = bFirstCopy; b < PATTERN_BUFFERS; ++b) {
        if (b == 4) continue;
        std::memcpy(pBufferHandleToPointer(s_sRun.adPattern[b]), pbJitter, TEST_BUFFER_BYTES);
    }
}

// The drive list in issue order, printed twelve to a line.
void ListDrives() {
    std::memset(s_sRun.abDrives, LIST_END, sizeof s_sRun.abDrives);
    s_sRun.bDriveCount = 0;
    ConsolePrintf("\n\n%02d SAS Devices Present: ", pGetDriveInfoList()->bDriveCount);
    const bool fPartner = PartnerTested();
    if (fPartner) {
        ConsolePrintf(" OC");
        s_sRun.abDrives[s_sRun.bDriveCount++] = PARTNER_TARGET;
    }
    ConsolePrintf("\n");
    for (uint8_t bEnclosure = 1; bEnclosure <= ENCLOSURES; ++bEnclosure) {
        for (uint8_t bSlot = 1; bSlot <= SLOTS; ++bSlot) {
            DRIVE_INFO* ps = nullptr;
            if (fFindDriveByEnclosureSlot(bEnclosure, bSlot, &ps) != TRUE || ps->bLoopID1 == 0xFF) continue;
            if (s_sRun.bDriveCount >= DRIVE_LIST_SIZE) continue;
            const uint8_t k = s_sRun.bDriveCount;
            const uint8_t bOnLine = fPartner ? static_cast<uint8_t>(k - 1) : k;
            if (k != 0 && bOnLine % 12 == 0) ConsolePrintf("\n");
            ConsolePrintf(" %02d:%02d", ps->bEnclosureNo, ps->bSlotNo);
            s_sRun.abDrives[s_sRun.bDriveCount++] = ps->bLoopID1;
        }
    }
    ConsolePrintf("\n");
    ConsolePrintf("\n\n");
}

uint16_t wTransferBlocks() { return s_sRun.fAllPorts == TRUE ? ALL_PORTS_BLOCKS : ONE_PORT_BLOCKS; }

// A random place for a destructive command: below the drive's reserve,
// never past its end.
void DrawRandomExtent(uint64_t lCapacity, uint32_t* pdLba, uint16_t* pwBlocks) {
    uint32_t dLba = 0;
    do {
        dLba = dRandom() + (dRandom() << 16);
    } while (dLba >= lCapacity - RANDOM_RESERVE);
    uint16_t wBlocks = 0;
    do {
        wBlocks = static_cast<uint16_t>(dRandom());
    } while (wBlocks == 0 || wBlocks > MAX_RANDOM_BLOCKS);
    *pdLba = dLba;
    *pwBlocks = wBlocks;
}

void SetByteCount(KERNEL_ENTRY* ps, uint32_t dBytes) {
    ps->dTotalByteCount = dBytes;
    ps->asSegment[0].dByteCount = dBytes;
    if (s_sRun.fDriveCommands != TRUE) {
        ps->abCdb[6] = static_cast<uint8_t>(dBytes >> 16);
        ps->abCdb[7] = static_cast<uint8_t>(dBytes >> 8);
        ps->abCdb[8] = static_cast<uint8_t>(dBytes);
    }
}

void PutRandomExtent(KERNEL_ENTRY* ps) {
    uint32_t dLba = 0;
    uint16_t wBlocks = 0;
    DrawRandomExtent(pTestFields(ps)->lCapacity, &dLba, &wBlocks);
    PutBe32(ps->abCdb + 2, dLba);
    PutBe16(ps->abCdb + 7, wBlocks);
    SetByteCount(ps, wBlocks * 512u);
}

void Send(KERNEL_ENTRY* ps) {
    ps->bPrimaryState = PS_NEW_COMMAND;
    (void)QueueKernelEntry(ps->bPortCode, ps->wIndex);
}

void SetSegment(KERNEL_ENTRY* ps, BUFFER_HANDLE d) {
    ps->asSegment[0].dAddress = static_cast<uint32_t>(dBufferHandleToPciAddress(d));
}

// The first command of slot n for a target: a write (a read for a random
// read test).  FALSE when the target is too small for the test's places.
bool BuildFirstCommand(KERNEL_ENTRY* ps, uint8_t bDrive, uint8_t n, uint64_t lCapacity) {
    const uint16_t wBlocks = wTransferBlocks();
    const bool fRandom = s_sSettings.fRandomDestructive == TRUE;
    const bool fRead = s_sRun.fDriveCommands == TRUE && fRandom && s_sRun.bKind == THROUGHPUT_KIND_READ;
    uint8_t abCdb[16] = {};
    if (s_sRun.fDriveCommands != TRUE) {
        abCdb[0] = SCSI_WRITE_BUFFER;
        abCdb[1] = n;
    } else if (!fRandom) {
        // Six slots 2048 blocks apart over the drive's last 12288 blocks.
        if (lCapacity < FIXED_TAIL_BLOCKS) return false;
        abCdb[0] = SCSI_WRITE10;
        PutBe32(abCdb + 2, static_cast<uint32_t>(lCapacity + n * SLOT_SPACING - FIXED_TAIL_BLOCKS));
        PutBe16(abCdb + 7, wBlocks);
    } else {
        // A drive no larger than the reserve and one transfer has no
        // room for a random place.
        if (lCapacity < RANDOM_RESERVE + MAX_RANDOM_BLOCKS) return false;
        abCdb[0] = fRead ? SCSI_READ10 : SCSI_WRITE10;
    }
    if (bDrive == PARTNER_TARGET) {
        for (int i = 12; i < 16; ++i) abCdb[i] = static_cast<uint8_t>(dRandom());
    }
    const BUFFER_HANDLE dData = s_sRun.adPattern[n % PATTERN_BUFFERS];
    BuildInternalDriveCommand(ps, PORT_CODE_INITIATOR, bDrive, wBlocks * 512u,
                              fRead ? THROUGHPUT_READ_FLAGS : THROUGHPUT_WRITE_FLAGS,
                              static_cast<uint32_t>(dBufferHandleToPciAddress(dData)), 1, 0, abCdb,
                              CT_THROUGHPUT_TEST);
    ps->wTimeout = TEST_TIMEOUT;
    ps->bSecondaryState = fRead ? THROUGHPUT_STATE_READ : THROUGHPUT_STATE_WRITE;
    TEST_ENTRY_FIELDS* psTest = pTestFields(ps);
    std::memset(psTest, 0, sizeof *psTest);
    psTest->lCommandNumber = n;
    psTest->fTestCommand = TRUE;
    psTest->bDrive = bDrive;
    psTest->lCapacity = lCapacity;
    SetByteCount(ps, wBlocks * 512u);
    if (s_sRun.fDriveCommands == TRUE && fRandom) PutRandomExtent(ps);
    return true;
}

void IssueFirstCommands() {
    s_sRun.wWritesInFlight = 0;
    s_sRun.wReadsInFlight = 0;
    for (uint8_t i = 0; i < DRIVE_LIST_SIZE && s_sRun.abDrives[i] != LIST_END; ++i) {
        const uint8_t bDrive = s_sRun.abDrives[i];
        uint64_t lCapacity = 0;
        if (bDrive == PARTNER_TARGET) {
            lCapacity = PARTNER_CAPACITY;
        } else {
            DRIVE_INFO* psDrive = nullptr;
            uint8_t bIndex = 0;
            if (fFindDriveByLoopID(PORT_CODE_INITIATOR, bDrive, &psDrive, &bIndex) == TRUE) {
                lCapacity = psDrive->dCapacity;
            } else if (s_sRun.fDriveCommands == TRUE) {
                return;
            }
        }
        const uint8_t bCommands = s_sSettings.fRandomDestructive == TRUE ? RANDOM_COMMANDS : FIXED_COMMANDS;
        for (uint8_t n = 0; n < bCommands; ++n) {
            KERNEL_ENTRY* ps = nullptr;
            if (bAllocKernelEntries(PORT_CODE_INITIATOR, 1, &ps) != STATUS_OK || ps == nullptr) break;
            if (!BuildFirstCommand(ps, bDrive, n, lCapacity)) {
                FreeKernelEntries(ps);
                break;
            }
            if (ps->bSecondaryState == THROUGHPUT_STATE_READ) {
                ++s_sRun.wReadsInFlight;
            } else {
                ++s_sRun.wWritesInFlight;
            }
            Send(ps);
        }
    }
}

void PrintPatternWords(const char* pszLabel, BUFFER_HANDLE d) {
    const uint64_t* pl = plWords(d);
    ConsolePrintf("%s%08x%08x %08x%08x\n", pszLabel, static_cast<uint32_t>(pl[0] >> 32), static_cast<uint32_t>(pl[0]),
                  static_cast<uint32_t>(pl[1] >> 32), static_cast<uint32_t>(pl[1]));
}

void PrintHeader() {
    if (fIsProductionTestMode() == TRUE) {
        ConsolePrintf("\n\nController Write/Read Test in Progress, Press ESC to Quit\n\n");
        if (s_sRun.dDuration == FIVE_MINUTES) {
            ConsolePrintf("Percent   0...10...20...30...40...50...60...70...80...90...100\n");
            ConsolePrintf("Progress: .");
            s_sRun.fProgressBar = TRUE;
        }
        SetIndicatorState(TEST_INDICATOR, 1);
        s_sRun.fIndicatorOn = TRUE;
        return;
    }
    if (s_sSettings.fLinkJitter == TRUE) {
        ConsolePrintf("Data Pattern: SAS Jitter Test\n");
    } else if (s_sSettings.bPattern == THROUGHPUT_PATTERN_RANDOM) {
        ConsolePrintf("Data Pattern: Random\n");
    } else if (s_sSettings.bPattern == THROUGHPUT_PATTERN_USER) {
        PrintPatternWords("Data Pattern: ", s_sRun.adPattern[0]);
    } else {
        ConsolePrintf("Data Pattern 0: Random\n");
        PrintPatternWords("Data Pattern 1: ", s_sRun.adPattern[1]);
        PrintPatternWords("Data Pattern 2: ", s_sRun.adPattern[2]);
        PrintPatternWords("Data Pattern 3: ", s_sRun.adPattern[3]);
        ConsolePrintf("Data Pattern 4: SAS Jitter Test\n");
        ConsolePrintf("Data Pattern 5: SAS Jitter Test\n");
    }
    if (s_sRun.fAllPorts == TRUE) {
        ConsolePrintf("\n\nAll Drive Ports ");
    } else {
        ConsolePrintf("\n\nDrive Port %02d ", s_sRun.bTestCode - 0x20);
    }
    const char* pszDestructive = s_sSettings.fRandomDestructive == TRUE ? "Destructive " : "";
    switch (s_sRun.bKind) {
    case THROUGHPUT_KIND_READ: ConsolePrintf("Integrity Read Test in Progress, Press ESC to Quit\n\n"); break;
    case THROUGHPUT_KIND_WRITE:
        ConsolePrintf("%sIntegrity Write Test in Progress, Press ESC to Quit\n\n", pszDestructive);
        break;
    case THROUGHPUT_KIND_WRITE_READ:
        ConsolePrintf("%sIntegrity Write/Read Test in Progress, Press ESC to Quit\n\n", pszDestructive);
        break;
    default: break;
    }
}

// ---- the steps ----

void Indicate(uint32_t t) {
    if (fIsProductionTestMode() != TRUE) return;
    if ((t & 1) && s_sRun.fIndicatorOn == FALSE) {
        SetIndicatorState(TEST_INDICATOR, 1);
        s_sRun.fIndicatorOn = TRUE;
    } else if (!(t & 1) && s_sRun.fIndicatorOn == TRUE) {
        SetIndicatorState(TEST_INDICATOR, 2);
        s_sRun.fIndicatorOn = FALSE;
    }
}

void Progress(uint32_t t, bool fBar) {
    if (t == s_sRun.dLastTick) return;
    s_sRun.dLastTick = t;
    if (s_sRun.dEndTick == s_sRun.dStartTick) return;
    const uint8_t bPercent =
        static_cast<uint8_t>(100u * (t - s_sRun.dStartTick) / (s_sRun.dEndTick - s_sRun.dStartTick));
    const bool fChanged = bPercent != s_sRun.bPercent;
    s_sRun.bPercent = bPercent;
    if (fBar && fChanged && (bPercent & 1) == 0 && s_sRun.fProgressBar == TRUE) ConsolePrintf(".");
}

struct TEST_STATUS {
    bool fFailed;
    uint8_t bKey;        // sense key, or 0x67 for a failure the driver found
    uint8_t bAsc;        // with 0x67: the failure code, high byte
    uint8_t bAscq;       // with 0x67: low byte
};

TEST_STATUS sStatusOf(KERNEL_ENTRY* ps) {
    SAS_ENTRY_FIELDS* psF = psSasFields(ps);
    TEST_STATUS s{false, 0, 0, 0};
    if (HasFlag(ps, KE_FLAG_SENSE_PRESENT) && psF->bSenseKey != 0) {
        s = {true, psF->bSenseKey, psF->bAsc, psF->bAscq};
    } else if (psF->bScsiStatus == DRIVE_STATUS_TIMED_OUT) {
        s = {true, FAILURE_BY_DRIVER, 0, FAILURE_TIMEOUT};
    } else if (HasFlag(ps, KE_FLAG_ABORTED) && pTestFields(ps)->fStopMarked != TRUE) {
        s = {true, FAILURE_BY_DRIVER, 0, FAILURE_INTERNAL};
    }
    return s;
}

uint16_t wFailureCode(const TEST_STATUS& s) { return static_cast<uint16_t>(s.bAsc << 8 | s.bAscq); }

void PrintDriverFailure(const TEST_STATUS& s, const char* pszInternal) {
    switch (wFailureCode(s)) {
    case FAILURE_TIMEOUT: ConsolePrintf("Timeout "); break;
    case FAILURE_UNDERRUN: ConsolePrintf("Underrun "); break;
    case FAILURE_INTERNAL: ConsolePrintf("%s", pszInternal); break;
    default: ConsolePrintf("Loop (%04x) ", wFailureCode(s)); break;
    }
}

void ReportFailure(KERNEL_ENTRY* ps, bool fWrite) {
    const TEST_STATUS s = sStatusOf(ps);
    if (!s.fFailed) return;
    // A reset or a changed mode page the drive announces is no failure.
    if (s.bKey == 6 && (s.bAsc == 0x29 || s.bAsc == 0x2F)) return;
    if (s.bKey == FAILURE_BY_DRIVER && (wFailureCode(s) & 0xFF) == 4) return;
    ++s_sRun.wErrors;
    const TEST_ENTRY_FIELDS* psTest = pTestFields(ps);
    const uint8_t bSlot = static_cast<uint8_t>(static_cast<uint8_t>(psTest->lCommandNumber) % PATTERN_BUFFERS);
    PrintCurrentDateTime();
    ConsolePrintf("Drive Loop %s ", "1");
    if (fWrite) {
        ConsolePrintf("Id: %03d (Write %01d) ", psTest->bDrive, bSlot);
    } else {
        ConsolePrintf("Id: %03d (Read %01d)  ", psTest->bDrive, bSlot);
    }
    const bool fParity = s.bKey == 0x0B && (s.bAsc == 0x47 || (fWrite && s.bAsc == 0x4B));
    if (fWrite) {
        if (fParity) {
            const uint8_t* pb = psSasFields(ps)->abSense + 15;
            ConsolePrintf("Parity (%02x %02x %02x) ", pb[0], pb[1], pb[2]);
        } else if (s.bKey == FAILURE_BY_DRIVER) {
            PrintDriverFailure(s, "Internal ");
        }
    } else {
        if (fParity) {
            ConsolePrintf("Parity ");
        } else if (s.bKey == FAILURE_BY_DRIVER) {
            PrintDriverFailure(s, (ps->wIndex & 1) ? "Internal1 " : "Internal0 ");
        } else {
            ConsolePrintf("%02x %02x %02x ", s.bKey, s.bAsc, s.bAscq);
        }
    }
    ConsolePrintf("Error\n");
    if (s_sRun.wErrors > ERROR_LIMIT) s_sRun.fAbort = TRUE;
}

// The failure report and what follows it; TRUE when the test is stopping
// and the command is to be released.
bool CheckCompletion(KERNEL_ENTRY* ps, bool fWrite) {
    ReportFailure(ps, fWrite);
    TEST_ENTRY_FIELDS* psTest = pTestFields(ps);
    if (psTest->fStopMarked == TRUE) {
        PrintCurrentDateTime();
        ConsolePrintf(fWrite ? "WR ID %02x Test Aborted %03x\n" : "RD ID %02x Test Aborted %03x\n", psTest->bDrive,
                      ps->wIndex);
        // The operator's stop is no failure of the drive: the run ends
        // aborted, not failed.
        s_sRun.fAbort = TRUE;
    }
    if (s_fAbortRequested == TRUE) s_sRun.fAbort = TRUE;
    // The command goes out again clean.
    ClearFlag(ps, KE_FLAG_SENSE_PRESENT | KE_FLAG_ABORTED);
    SAS_ENTRY_FIELDS* psF = psSasFields(ps);
    psF->bSenseKey = psF->bAsc = psF->bAscq = 0;
    psF->bScsiStatus = 0;
    psF->bTransportRetries = 0;
    psTest->fStopMarked = FALSE;
    if (s_sRun.fAbort != TRUE) return false;
    if (s_sRun.wWritesInFlight == 0 && s_sRun.wReadsInFlight == 0) FinishThroughputTest();
    return true;
}

bool TimeIsUp(uint32_t t) {
    if (static_cast<int32_t>(t - s_sRun.dEndTick) <= 0) return false;
    if (s_sRun.wWritesInFlight == 0 && s_sRun.wReadsInFlight == 0) FinishThroughputTest();
    return true;
}

void PrintCell(uint64_t lBlocks, uint32_t s) {
    if (lBlocks == 0 || s == 0) {
        ConsolePrintf("  0");
        return;
    }
    const uint64_t v = lBlocks / BLOCKS_PER_MB / s;
    if (v == 0) {
        ConsolePrintf(" <1");
    } else {
        ConsolePrintf("%3d", static_cast<uint16_t>(v));
    }
}

void PrintDriveRow(uint8_t bDrive, uint32_t s) {
    PrintCell(lGetDiskPortBlocks(PORT_CODE_INITIATOR, bDrive, TRUE), s);
    ConsolePrintf(" MB/s    ");
    PrintCell(lGetDiskPortBlocks(PORT_CODE_INITIATOR, bDrive, FALSE), s);
    ConsolePrintf(" MB/s\n");
}

void PrintTotal(const char* pszLabel, uint64_t lBlocks, uint32_t s) {
    ConsolePrintText(pszLabel);
    PrintNumberWithSeparators(lBlocks / BLOCKS_PER_MB, TRUE);
    ConsolePrintf(" MB");
    if (s == 0) {
        ConsolePrintf("\n");
    } else {
        ConsolePrintf(" (%d MB/s)\n", static_cast<int>(lBlocks / BLOCKS_PER_MB / s));
    }
}

}  // namespace

// ---- settings ----

void SetThroughputTestParameters(uint8_t bPattern, uint64_t lFirstHalf, uint64_t lSecondHalf) {
    s_sSettings.bPattern = bPattern;
    s_sSettings.alUserPattern[0] = lFirstHalf;
    s_sSettings.alUserPattern[1] = lSecondHalf;
}

uint8_t bGetThroughputTestPattern() { return s_sSettings.bPattern; }
uint64_t lGetThroughputTestUserPattern(uint8_t bHalf) { return s_sSettings.alUserPattern[bHalf & 1]; }

void SetThroughputTestRandomDestructive(uint8_t f) { s_sSettings.fRandomDestructive = f; }
uint8_t fGetThroughputTestRandomDestructive() { return s_sSettings.fRandomDestructive; }
void SetThroughputTestPartnerIncluded(uint8_t f) { s_sSettings.fPartnerIncluded = f; }
uint8_t fGetThroughputTestPartnerIncluded() { return s_sSettings.fPartnerIncluded; }
void SetThroughputTestLinkJitter(uint8_t f) { s_sSettings.fLinkJitter = f; }
uint8_t fGetThroughputTestLinkJitter() { return s_sSettings.fLinkJitter; }

void ResetThroughputTestSettings() {
    s_sRun.fRequest = FALSE;
    s_sRun.fRunning = FALSE;
    s_fAbortRequested = FALSE;
    SetThroughputTestParameters(THROUGHPUT_PATTERN_ALTERNATING, 0, 0);
    s_sSettings.fRandomDestructive = FALSE;
    s_sSettings.fPartnerIncluded = FALSE;
    s_sSettings.fLinkJitter = FALSE;
}

// ---- arming and running ----

void SetThroughputTestRequest(uint8_t f) {
    s_sRun.fRequest = f;
    SetWorkPending(TRUE);
}

uint8_t fGetThroughputTestRequest() { return s_sRun.fRequest; }
uint8_t fIsThroughputTestRunning() { return s_sRun.fRunning; }
void SetThroughputTestRunning(uint8_t f) { s_sRun.fRunning = f; }

void StartDrivePortTest(uint8_t bTestCode, uint8_t fAllPorts, uint32_t dMinutes, uint8_t bKind) {
    if (!IsValidTestCode(bTestCode)) return;
    SetThroughputTestRequest(TRUE);
    s_sRun.bTestCode = bTestCode;
    s_sRun.fAllPorts = fAllPorts;
    s_sRun.bKind = bKind;
    s_sRun.fAbort = FALSE;
    s_fAbortRequested = FALSE;
    s_sRun.fRunning = FALSE;
    s_sRun.fProgressBar = FALSE;
    s_sRun.fIndicatorOn = FALSE;
    s_sRun.fDriveCommands = fIsProductionTestMode() == TRUE ? FALSE : TRUE;
    s_sRun.dDuration = dMinutes * 120;
    s_sRun.lReadTotal = 0;
    s_sRun.lWriteTotal = 0;
}

void RunThroughputTest() {
    if (!IsValidTestCode(s_sRun.bTestCode)) {
        FailStart();
        return;
    }
    if (s_sSettings.fRandomDestructive == TRUE && bGetRankCountForMenus() != 0) {
        ConsolePrintf("Random test disabled, clear configuration to enable random testing.\n");
        s_sSettings.fRandomDestructive = FALSE;
    }
    if (!TakeBuffers(s_sRun.adPattern, PATTERN_BUFFERS, 0)) {
        FailStart();
        return;
    }
    if (fIsProductionTestMode() == TRUE && !TakeBuffers(s_sRun.adReceive, RECEIVE_BUFFERS, BUFFER_BANK_EITHER)) {
        FailStart();
        return;
    }
    FillPatterns();
    if (!TakeBuffers(s_sRun.adRead, READ_BUFFERS, BUFFER_BANK_EITHER)) {
        FailStart();
        return;
    }
    ListDrives();
    if (s_sRun.bDriveCount == 0) {
        FailStart();
        return;
    }
    IssueFirstCommands();
    s_sRun.dStartTick = s_sRun.dLastTick = dGetCoarseTick();
    s_sRun.dEndTick = s_sRun.dStartTick + s_sRun.dDuration;
    s_sRun.bPercent = 0;
    s_sRun.wErrors = 0;
    PrintHeader();
    s_sRun.fRunning = TRUE;
    SetDriveAttentionFlag(TRUE);
    s_sRun.fRequest = FALSE;
    ClearPerformanceStatistics(0, 0xFFFF);
    if (s_sRun.wWritesInFlight == 0 && s_sRun.wReadsInFlight == 0) FinishThroughputTest();
}

uint8_t WriteTestDriveStep(KERNEL_ENTRY* ps) {
    --s_sRun.wWritesInFlight;
    s_sRun.lWriteTotal += ps->dTotalByteCount / 512;
    const uint32_t t = dGetCoarseTick();
    Indicate(t);
    if (s_sRun.bKind == THROUGHPUT_KIND_WRITE) {
        if (TimeIsUp(t)) return TRUE;
        Progress(t, false);
    }
    if (CheckCompletion(ps, true)) return TRUE;
    if (s_sRun.bKind == THROUGHPUT_KIND_WRITE) {
        if (s_sSettings.fRandomDestructive == TRUE && s_sRun.fDriveCommands == TRUE) PutRandomExtent(ps);
        ++s_sRun.wWritesInFlight;
    } else {
        ps->bSecondaryState = THROUGHPUT_STATE_READ;
        ps->wControlFlags = THROUGHPUT_READ_FLAGS;
        ps->abCdb[0] = s_sRun.fDriveCommands == TRUE ? SCSI_READ10 : SCSI_READ_BUFFER;
        SetSegment(ps, s_sRun.adRead[ps->wIndex & 1]);
        ++s_sRun.wReadsInFlight;
    }
    Send(ps);
    return FALSE;
}

uint8_t ReadTestDriveStep(KERNEL_ENTRY* ps) {
    --s_sRun.wReadsInFlight;
    s_sRun.lReadTotal += ps->dTotalByteCount / 512;
    const uint32_t t = dGetCoarseTick();
    Indicate(t);
    if (TimeIsUp(t)) return TRUE;
    Progress(t, true);
    if (CheckCompletion(ps, false)) return TRUE;
    if (s_sRun.bKind == THROUGHPUT_KIND_READ) {
        ++s_sRun.wReadsInFlight;
    } else {
        TEST_ENTRY_FIELDS* psTest = pTestFields(ps);
        ++psTest->lCommandNumber;
        const uint8_t bSlot = static_cast<uint8_t>(psTest->lCommandNumber % PATTERN_BUFFERS);
        ps->bSecondaryState = THROUGHPUT_STATE_WRITE;
        ps->wControlFlags = THROUGHPUT_WRITE_FLAGS;
        ps->abCdb[0] = s_sRun.fDriveCommands == TRUE ? SCSI_WRITE10 : SCSI_WRITE_BUFFER;
        ps->abCdb[1] = s_sRun.fDriveCommands == TRUE ? 0 : bSlot;
        SetSegment(ps, s_sRun.adPattern[bSlot]);
        ++s_sRun.wWritesInFlight;
    }
    if (s_sSettings.fRandomDestructive == TRUE && s_sRun.fDriveCommands == TRUE) PutRandomExtent(ps);
    Send(ps);
    return FALSE;
}

void FinishThroughputTest() {
    FreeRunBuffers();
    s_sRun.fRunning = FALSE;
    SetDriveAttentionFlag(FALSE);
    const uint32_t s = (dGetCoarseTick() - s_sRun.dStartTick) / 2;
    PrintTotal("\n\nTotal Read Transfer : ", s_sRun.lReadTotal, s);
    PrintTotal("Total Write Transfer: ", s_sRun.lWriteTotal, s);
    if (bGetDiagnosticsModeLevel() > 2) {
        ConsolePrintf("\n                   Read        Write\n");
        if (PartnerTested()) {
            ConsolePrintf("Other Controller: ");
            PrintDriveRow(PARTNER_TARGET, s);
        }
        for (uint8_t bEnclosure = 1; bEnclosure <= ENCLOSURES; ++bEnclosure) {
            for (uint8_t bSlot = 1; bSlot <= SLOTS; ++bSlot) {
                DRIVE_INFO* psDrive = nullptr;
                if (fFindDriveByEnclosureSlot(bEnclosure, bSlot, &psDrive) != TRUE) continue;
                ConsolePrintf("Encl:%02d Slot:%02d:  ", psDrive->bEnclosureNo, psDrive->bSlotNo);
                PrintDriveRow(psDrive->bLoopID1, s);
            }
        }
    }
    if (fIsProductionTestMode() == TRUE && s_sRun.wErrors != 0) SetIndicatorState(TEST_INDICATOR, 2);
    if (s_sRun.wErrors != 0) {
        DrivePortTestDone(TEST_RESULT_FAILED);
    } else if (s_sRun.fAbort == TRUE) {
        DrivePortTestDone(TEST_RESULT_ABORTED);
    } else {
        DrivePortTestDone(TEST_RESULT_OK);
    }
}

// The console's receive interrupt: only a byte and a bit per command, so it
// never races the main loop's steps for more.
void StopThroughputTest(uint8_t f) {
    s_fAbortRequested = f;
    for (uint32_t i = 0; i < KERNEL_ENTRY_COUNT; ++i) {
        KERNEL_ENTRY* ps = nullptr;
        GetKernelEntryAddress(i, &ps);
        if (ps == nullptr || ps->fUsed != TRUE || ps->bCommandType != CT_THROUGHPUT_TEST) continue;
        if (ps->bSecondaryState != THROUGHPUT_STATE_WRITE && ps->bSecondaryState != THROUGHPUT_STATE_READ) continue;
        if (pTestFields(ps)->fTestCommand != TRUE) continue;
        pTestFields(ps)->fStopMarked = TRUE;
        SetFlag(ps, KE_FLAG_ABORTED);
    }
}

}  // namespace fw
