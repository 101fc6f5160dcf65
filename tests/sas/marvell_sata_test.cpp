// The SATA host-adapter driver on a test board that fits the two 8-port
// chips, drives on some of their ports: bring-up and identity, the serial
// list, polled commands, reads and writes through the EDMA queues (past
// 2^28 on an LBA48 drive, several tags for one transfer), and what the
// driver does with what a chip may report wrongly.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "config/config_db.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "executive/port_codes.h"
#include "executive/startup.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "hw/ata.h"
#include "hw/scsi.h"
#include "sas/marvell_sata.h"
#include "sas/sas_scsi_path.h"
#include "sim/board.h"
#include "sim/drive.h"
#include "sim/sata_88sx.h"
#include "tests/harness/dispatch_board.h"
#include "tests/harness/main_loop_call.h"

namespace {

using namespace fw;

constexpr uint64_t kBootLimitNs = 120'000'000'000ull;
constexpr uint64_t kBigDrive = 1ull << 29;   // blocks: past the 28-bit limit

uint32_t s_dDone = 0;
uint8_t s_bLastSenseKey = 0;
void CommandDone(KERNEL_ENTRY* ps) {
    ++s_dDone;
    s_bLastSenseKey = (ps->lFlags & KE_FLAG_SENSE_PRESENT) != 0 ? psSasFields(ps)->bSenseKey : 0;
}

class MarvellSata : public ::testing::Test {
protected:
    MarvellSata() : chips(sim::FitSataChips(board)) {}
    void SetUp() override {
        s_dDone = 0;
        // Drives on ports 0, 5 (chip 1) and 9 (chip 2); port 5's drive knows
        // only 28-bit addresses.
        Add(0, "SER-000000A0", kBigDrive);
        Add(5, "SER5", 1u << 20);
        Chip(0)->Lba28Only(5);
        Add(9, "WD-WMAZA1234567", kBigDrive);
        board.SetResetEntry(&ControllerEntry);
        board.Boot();
        ASSERT_EQ(board.RunUntil([this] { return Booted(); }, kBootLimitNs), sim::StopKind::Running)
            << board.ConsoleText();
        ASSERT_TRUE(Booted()) << board.ConsoleText();
    }
    sim::Drive& Add(uint8_t port, const char* serial, uint64_t blocks) {
        sim::DriveConfig dc;
        dc.sata = true;
        dc.blocks = blocks;
        dc.serial = serial;
        dc.unitAttentionAtPowerOn = false;
        drives[port] = std::make_unique<sim::Drive>(dc);
        Chip(port / 8)->Attach(port % 8, drives[port].get());
        return *drives[port];
    }
    bool Booted() const { return board.ConsoleText().find("Initialization Complete\r\n") != std::string::npos; }
    void OnCpu(const std::function<void()>& fn) { harness::OnMainLoop(board, fn); }
    bool RunUntilDone(uint32_t n) {
        return board.RunUntil([n] { return s_dDone >= n; }, 10'000'000'000ull) == sim::StopKind::Running &&
               s_dDone >= n;
    }
    // Pages of buffer memory, filled with a pattern of the seed.
    uint8_t* Pages(uint32_t count, uint8_t seed) {
        BUFFER_HANDLE h = NULL_BUFFER_HANDLE;
        OnCpu([&] { ASSERT_EQ(bAllocDataPages(0, count, &h), STATUS_OK); });
        uint8_t* pb = static_cast<uint8_t*>(pBufferHandleToPointer(h));
        for (uint32_t i = 0; i < count * BUFFER_PAGE_SIZE; ++i) pb[i] = static_cast<uint8_t>(i * 13 + seed);
        return pb;
    }
    // A READ or WRITE of `blocks` at `lba` to the port, its data in one
    // segment per page (several tags when it passes 128 KB), queued on the
    // EDMA engine; the result of the queueing.
    uint8_t Queue(uint8_t port, bool write, uint64_t lba, uint32_t blocks, uint8_t* pb) {
        uint8_t bResult = 0;
        OnCpu([&] {
            KERNEL_ENTRY* ps = nullptr;
            ASSERT_EQ(bAllocKernelEntries(1, 1, &ps), STATUS_OK);
            const bool f16 = lba >= (1ull << 32);
            uint8_t cdb[16] = {};
            if (f16 || lba >= (1u << 28)) {
                cdb[0] = write ? 0x8A : 0x88;
                for (int i = 0; i < 8; ++i) cdb[2 + i] = static_cast<uint8_t>(lba >> (56 - 8 * i));
                for (int i = 0; i < 4; ++i) cdb[10 + i] = static_cast<uint8_t>(blocks >> (24 - 8 * i));
            } else {
                cdb[0] = write ? 0x2A : 0x28;
                for (int i = 0; i < 4; ++i) cdb[2 + i] = static_cast<uint8_t>(lba >> (24 - 8 * i));
                cdb[7] = static_cast<uint8_t>(blocks >> 8);
                cdb[8] = static_cast<uint8_t>(blocks);
            }
            BuildDriveCommand(ps, static_cast<uint8_t>(PORT_CODE_DRIVE_SLOT_FIRST + port), 0, 10,
                              write ? DRIVE_COMMAND_DATA_OUT : DRIVE_COMMAND_DATA_IN, blocks * 512, 1,
                              static_cast<uint32_t>(dPciAddressOf(pb)), cdb, 0);
            std::memcpy(ps->abCdb, cdb, 16);
            ps->bRank = 0xFF;
            ASSERT_EQ(bPushCompletionCallback(ps, CommandDone), STATUS_OK);
            bResult = bMarvellQueueCommand(ps);
        });
        return bResult;
    }

    sim::Sata88sx* Chip(uint8_t n) { return chips[n]; }
    sim::Board board;
    std::array<sim::Sata88sx*, 2> chips;
    std::unique_ptr<sim::Drive> drives[16];
};

TEST_F(MarvellSata, BringUpIdentifiesTheDrivesAndListsTheirSerials) {
    EXPECT_EQ(bCountMarvellPorts(), 3);
    const MARVELL_PORT& s0 = *pGetMarvellPortRecord(0);
    EXPECT_EQ(s0.fPresent, TRUE);
    EXPECT_EQ(std::string(s0.acSerialKey, 8), "000000A0");
    EXPECT_EQ(s0.fLba48, TRUE);
    EXPECT_EQ(s0.lCapacity, kBigDrive);
    EXPECT_EQ(std::string(s0.acModel, 8), "DRIVEVND");
    EXPECT_EQ(std::string(pGetMarvellPortRecord(5)->acSerialKey, 8), "    SER5");
    EXPECT_EQ(std::string(pGetMarvellPortRecord(9)->acSerialKey, 8), "A1234567");
    EXPECT_EQ(pGetMarvellPortRecord(5)->fLba48, FALSE);
    EXPECT_EQ(pGetMarvellPortRecord(1)->fPresent, FALSE);
    EXPECT_EQ(pGetMarvellPortRecord(16), nullptr);
    EXPECT_TRUE(Chip(0)->edmaEnabled(0));
    board.ClearConsoleText();
    OnCpu([] { ShowMarvellRegisters(); });
    board.RunFor(20'000'000);
    const std::string shown = board.ConsoleText();
    EXPECT_NE(shown.find("Marvell Registers:\r\nSATA Registers\r\n00: Err:00000000 ReqIn:00 ReqOut:00 ResIn:00 ResOut:00\r\n"
                         "ffff ffff"),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("Interrupt regs:\r\nCause0:00000000 HC00:00000000"), std::string::npos) << shown;

    SATA_SERIAL_LIST sList;
    BuildSataSerialList(&sList);
    EXPECT_EQ(sList.bCount, 3);
    EXPECT_EQ(sList.asEntry[2].bPort, 9);
    EXPECT_EQ(sList.asEntry[3].bPort, 0xFF);
    uint8_t bPort = 0;
    EXPECT_EQ(bFindSataSerial(&sList, "    SER5", &bPort, TRUE), STATUS_OK);
    EXPECT_EQ(bPort, 5);
    EXPECT_EQ(sList.asEntry[1].fClaimed, TRUE);
    EXPECT_EQ(bFindSataSerial(&sList, "NOTTHERE", &bPort, TRUE), 0);
    EXPECT_EQ(bPort, 0xFF);
}

// Polled commands: sectors written and read back, past 2^28 through the
// 48-bit form on an LBA48 drive; a 28-bit drive is not sent an address it
// cannot hold.
TEST_F(MarvellSata, PolledCommandsReachTheirBlocks) {
    uint8_t* pbOut = Pages(1, 7);
    uint8_t* pbIn = Pages(1, 0);
    for (uint64_t lba : {100ull, (1ull << 28) + 5}) {
        SCOPED_TRACE(lba);
        uint8_t bWrite = 0, bRead = 0;
        OnCpu([&] {
            bWrite = bMarvellPioCommand(0, SATA_PIO_OUT, SATA_ATA_WRITE_SECTORS, 2048, static_cast<uint32_t>(lba),
                                        static_cast<uint32_t>(lba >> 32), pbOut);
            bRead = bMarvellPioCommand(0, SATA_PIO_IN, SATA_ATA_READ_SECTORS, 2048, static_cast<uint32_t>(lba),
                                       static_cast<uint32_t>(lba >> 32), pbIn);
        });
        EXPECT_EQ(bWrite, STATUS_OK);
        EXPECT_EQ(bRead, STATUS_OK);
        EXPECT_EQ(std::memcmp(pbIn, pbOut, 2048), 0);
        std::vector<uint8_t> medium(2048);
        drives[0]->ReadBlocks(lba, 4, medium.data());
        EXPECT_EQ(std::memcmp(medium.data(), pbOut, 2048), 0);
    }
    uint8_t bFar = 0xAA;
    OnCpu([&] { bFar = bMarvellPioCommand(5, SATA_PIO_IN, SATA_ATA_READ_SECTORS, 512, 1u << 28, 0, pbIn); });
    EXPECT_EQ(bFar, 0);
}

// Reads and writes through the EDMA queues complete through the chip's
// interrupt and reach the right blocks: a small one, one of 320 KB (three
// tags), and one past 2^28 on the LBA48 drive, in the 48-bit command.
TEST_F(MarvellSata, QueuedTransfersReachTheirBlocks) {
    struct Case {
        uint8_t port;
        uint64_t lba;
        uint32_t blocks;
    };
    const Case aCases[] = {{0, 64, 8}, {9, 4096, 640}, {0, (1ull << 28) + 100, 16}, {5, 2000, 256}};
    uint32_t dDone = 0;
    for (const Case& k : aCases) {
        SCOPED_TRACE(k.lba);
        const uint32_t dPages = (k.blocks * 512 + BUFFER_PAGE_SIZE - 1) / BUFFER_PAGE_SIZE;
        uint8_t* pbOut = Pages(dPages, static_cast<uint8_t>(k.port + 3));
        ASSERT_EQ(Queue(k.port, true, k.lba, k.blocks, pbOut), STATUS_OK);
        ASSERT_TRUE(RunUntilDone(++dDone));
        std::vector<uint8_t> medium(k.blocks * 512);
        drives[k.port]->ReadBlocks(k.lba, k.blocks, medium.data());
        EXPECT_EQ(std::memcmp(medium.data(), pbOut, medium.size()), 0);
        uint8_t* pbIn = Pages(dPages, 0);
        std::memset(pbIn, 0, k.blocks * 512);
        ASSERT_EQ(Queue(k.port, false, k.lba, k.blocks, pbIn), STATUS_OK);
        ASSERT_TRUE(RunUntilDone(++dDone));
        EXPECT_EQ(std::memcmp(pbIn, pbOut, medium.size()), 0);
        const uint8_t bCommand = Chip(k.port / 8)->lastEdmaCommand(k.port % 8);
        EXPECT_EQ(bCommand, k.port == 5 ? SATA_ATA_READ_DMA : SATA_ATA_READ_DMA_EXT);
    }
    EXPECT_EQ(Chip(1)->edmaCommands(1), 2 * 3u);   // 320 KB: three tags each way
    EXPECT_EQ(Chip(0)->lastEdmaLba(0), (1ull << 28) + 100);
    // Nothing is queued that the port cannot carry.
    uint8_t* pb = Pages(1, 1);
    EXPECT_EQ(Queue(5, false, (1u << 28) - 2, 4, pb), 0);   // past a 28-bit drive's reach
    EXPECT_EQ(Queue(1, false, 0, 1, pb), 0);                // no drive
    EXPECT_EQ(s_dDone, dDone);
}

// What a chip may report wrongly: a response for a tag nothing holds is
// dropped and counted; IDENTIFY data of all ones leaves every field within
// its record.
TEST_F(MarvellSata, ResponsesForFreeTagsAndGarbageIdentityStayInside) {
    uint8_t* pb = Pages(1, 9);
    Chip(0)->nextResponseTag = 31;
    ASSERT_EQ(Queue(0, true, 10, 1, pb), STATUS_OK);
    board.RunFor(50'000'000);
    EXPECT_EQ(dGetMarvellDroppedResponses(), 1u);
    EXPECT_EQ(s_dDone, 0u);

    Chip(0)->identifyOverride.assign(512, 0xFF);
    OnCpu([] { MarvellIdentifyPort(0); });
    const MARVELL_PORT& s = *pGetMarvellPortRecord(0);
    EXPECT_EQ(s.fPresent, TRUE);
    EXPECT_LE(s.bQueueDepth, 31);
    EXPECT_EQ(s.lCapacity, ~0ull);
}

// The monitor: a media error stops the port's engine (event 117) and the
// recovery posts the command again; a drive pulled ends its commands in
// error (event 118); plugged back it is identified again (event 97); a
// command the drive never ends times out (event 40).
TEST_F(MarvellSata, TheMonitorRecoversReportsAndFindsPorts) {
    uint8_t* pb = Pages(1, 5);
    drives[9]->InjectMediaError(300, 1);
    ASSERT_EQ(Queue(9, false, 296, 8, pb), STATUS_OK);
    ASSERT_TRUE(board.RunUntil([] { return pGetMarvellPortRecord(9)->lLastRecovery != 0; }, 5'000'000'000ull) ==
                sim::StopKind::Running);
    const EVENT_LOG_ENTRY* psEdma = harness::NewestEvent(117);
    ASSERT_NE(psEdma, nullptr);
    EXPECT_EQ(psEdma->abArgs[3], 0x28);   // the command: READ(10) at 296
    EXPECT_EQ(psEdma->abArgs[8], 296 & 0xFF);
    EXPECT_EQ(psEdma->abArgs[2], ATA_ERROR_UNCORRECTABLE);
    // The unreadable READ went to the drive error recovery, which (no array
    // behind it to serve the block) ends it with the drive's MEDIUM ERROR;
    // it is not posted again to stop the engine a second time, and the
    // drive stays.
    EXPECT_TRUE(Chip(1)->edmaEnabled(1));
    ASSERT_TRUE(RunUntilDone(1));
    EXPECT_EQ(s_bLastSenseKey, SENSE_MEDIUM_ERROR);
    EXPECT_EQ(harness::CountEvents(117), 1u);
    EXPECT_EQ(pGetMarvellPortRecord(9)->fPresent, TRUE);
    EXPECT_EQ(pGetMarvellPortRecord(9)->bOutstanding, 0);
    s_dDone = 0;

    ASSERT_EQ(Queue(0, false, 10, 8, pb), STATUS_OK);
    Chip(0)->Hang(0, true);
    ASSERT_EQ(Queue(0, false, 20, 8, pb), STATUS_OK);
    Chip(0)->Unplug(0);
    ASSERT_TRUE(board.RunUntil([] { return pGetMarvellPortRecord(0)->fPresent != TRUE; }, 5'000'000'000ull) ==
                sim::StopKind::Running);
    ASSERT_NE(harness::NewestEvent(118), nullptr);
    EXPECT_EQ(pGetMarvellPortRecord(0)->fPresent, FALSE);
    EXPECT_EQ(bCountMarvellPorts(), 2);
    Chip(0)->Hang(0, false);
    Chip(0)->Plug(0, drives[0].get());
    ASSERT_TRUE(board.RunUntil([] { return pGetMarvellPortRecord(0)->fPresent == TRUE; }, 10'000'000'000ull) ==
                sim::StopKind::Running);
    ASSERT_NE(harness::NewestEvent(97), nullptr);
    EXPECT_EQ(pGetMarvellPortRecord(0)->fPresent, TRUE);
    EXPECT_EQ(bCountMarvellPorts(), 3);

    // A command the drive never ends: once the port's oldest command is
    // past the limit (made so rather than waited for), event 40 and the
    // recovery: the port's engine on again, its commands posted again.
    Chip(0)->Hang(5, true);
    ASSERT_EQ(Queue(5, false, 10, 8, pb), STATUS_OK);
    OnCpu([] { pGetMarvellPortRecord(5)->lOldestCommand = lGetTickCount() - 35001; });
    ASSERT_TRUE(board.RunUntil([] { return pGetMarvellPortRecord(5)->bOutstanding == 0; }, 5'000'000'000ull) ==
                sim::StopKind::Running);
    ASSERT_NE(harness::NewestEvent(40), nullptr);
    EXPECT_EQ(pGetMarvellPortRecord(5)->fPresent, TRUE);
    EXPECT_EQ(pGetMarvellPortRecord(5)->fTimedOut, FALSE);
    EXPECT_TRUE(Chip(0)->edmaEnabled(5));
}

// The long-write test leaves its block unreadable and the others as they were.
TEST_F(MarvellSata, LongWriteMakesOneBlockUnreadable) {
    OnCpu([] { MarvellLongWriteTest(9, 777); });
    std::vector<uint8_t> out(512);
    sim::AtaCommand a;
    a.command = ATA_READ_DMA_EXT;
    a.count = 1;
    a.lba = 777;
    EXPECT_EQ(drives[9]->ExecuteAta(a, {}, out).ataError, ATA_ERROR_UNCORRECTABLE);
    a.lba = 778;
    EXPECT_EQ(drives[9]->ExecuteAta(a, {}, out).ataError, 0);
    EXPECT_TRUE(Chip(1)->edmaEnabled(1));
}

// The random form: the first present port, a block drawn from the coarse
// tick's seed (two draws of 13 bits) made unreadable, its neighbours kept.
TEST_F(MarvellSata, RandomLongWriteHitsTheDrawnBlockOfTheFirstPort) {
    uint32_t dTick = 0;
    OnCpu([&] {
        dTick = dGetCoarseTick();
        MarvellRandomLongWriteTest();
    });
    std::srand(dTick);
    const uint32_t dHigh = uint32_t(std::rand()) & 0x1FFF;
    const uint64_t lBlock = uint64_t(dHigh) << 13 | (uint32_t(std::rand()) & 0x1FFF);
    ASSERT_NE(lBlock, 0u);
    std::vector<uint8_t> out(512);
    sim::AtaCommand a;
    a.command = ATA_READ_DMA_EXT;
    a.count = 1;
    for (uint64_t lba : {lBlock - 1, lBlock, lBlock + 1}) {
        a.lba = lba;
        EXPECT_EQ(drives[0]->ExecuteAta(a, {}, out).ataError, lba == lBlock ? ATA_ERROR_UNCORRECTABLE : 0) << lba;
        EXPECT_EQ(drives[9]->ExecuteAta(a, {}, out).ataError, 0) << lba;
    }
    EXPECT_TRUE(Chip(0)->edmaEnabled(0));
}

}  // namespace
