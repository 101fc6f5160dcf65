// The drive table the master builds becomes the other controller's too,
// each drive under the target id that controller reaches it by: its
// operator makes arrays from the shared drives as the master's does.
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/drive_tables.h"
#include "enclosure/drive_table.h"
#include "harness/dual_pair.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "sas/sas_device_list.h"
#include "sim/fc_host.h"

namespace fw_b {
using fw::DRIVE_INFO_LIST;
using fw::DRIVE_SLOT_TABLES;
DRIVE_INFO_LIST* pGetDriveInfoList();
DRIVE_SLOT_TABLES* pGetDriveSlotTables();
uint32_t dGetDriveTableChangeCount();
uint8_t bGetTargetIdBySASAddress(const uint8_t* pbWwn, uint8_t* pbTarget);
uint8_t fIsMasterController();
}  // namespace fw_b

namespace {

using dual::Cdb16;
using Outcome = sim::FcpResult::Outcome;

constexpr uint64_t kMs = 1'000'000ull;
constexpr uint64_t kHostA = 0x2100001B32E00021ull;
constexpr uint64_t kHostB = 0x2100001B32E00022ull;
const std::string kPrompt = "Please Select Option: ";
const std::string kAnyKey = "Press any key to continue...";
const std::string kAddDrive = "Add this Disk Drive? (Y or N, <CR> = Y): ";
const std::string kContinue = "Continue adding disk drives? (Y or N, <CR> = Y): ";

class PartnerDriveTable : public ::testing::Test, protected dual::Pair {
protected:
    // Controller 0 (slot 1) is the master: it reads the drives.
    void SetUp() override {
        ASSERT_TRUE(Boot()) << Consoles();
        ASSERT_EQ(fw::fIsMasterController(), fw::TRUE);
        ASSERT_NE(fw_b::fIsMasterController(), fw::TRUE);
    }

    // Keys typed on a board's console; true once it printed `text` after
    // them (and, for a menu, its prompt; for a result, its pause).
    bool Type(sim::Board& board, const std::string& keys, const std::string& text) {
        board.ClearConsoleText();
        board.TypeKeys(keys);
        return Shows(board, text);
    }
    bool Shows(sim::Board& board, const std::string& text) {
        return RunUntil([&] { return board.ConsoleText().find(text) != std::string::npos; }, 20'000 * kMs);
    }
    bool Menu(sim::Board& board, const std::string& keys, const std::string& text) {
        return Type(board, keys, text) && Shows(board, kPrompt);
    }
    bool Result(sim::Board& board, const std::string& keys, const std::string& text) {
        return Type(board, keys, text) && Shows(board, kAnyKey);
    }
    // The Configuration Menu, asked again while a commit or drive scan
    // holds the configuration, as an operator would.
    void OpenConfiguration(sim::Board& board) {
        for (int i = 0; i < 30; ++i) {
            ASSERT_TRUE(Menu(board, "\x05", "Main Menu")) << board.ConsoleText();
            ASSERT_TRUE(Type(board, "1\r", "\r")) << board.ConsoleText();
            ASSERT_TRUE(RunUntil([&] { return board.ConsoleText().find(kPrompt) != std::string::npos ||
                                              board.ConsoleText().find(kAnyKey) != std::string::npos; },
                                 20'000 * kMs))
                << board.ConsoleText();
            if (board.ConsoleText().find("Configuration Menu (1)") != std::string::npos &&
                board.ConsoleText().find(kPrompt) != std::string::npos) {
                return;
            }
            (void)RunUntil(nullptr, 1000 * kMs);
        }
        FAIL() << Consoles();
    }
    // A drive table sent from Controller 0, run until answered.
    void SendTable(const fw::DRIVE_INFO_LIST& sTable) {
        uint8_t bSent = 0xFF;
        ASSERT_TRUE(OnProcessor(a->board, [&] {
            bSent = fw::bSendPartnerTable(142, 0, &sTable, sizeof sTable, fw::PARTNER_DRIVE_TABLE_BYTES);
        }));
        ASSERT_EQ(bSent, fw::STATUS_OK);
        ASSERT_TRUE(RunUntil([&] { return Quiet(fw::sGetPartnerMessageCounts()) &&
                                          Quiet(fw_b::sGetPartnerMessageCounts()); },
                             20'000 * kMs));
    }
    // A write from one host, read back through the other.
    void WriteThenRead(sim::FcHost& writer, sim::FcHost& reader, uint64_t lba, uint8_t bFill) {
        std::vector<uint8_t> ab(8 * 512);
        for (size_t i = 0; i < ab.size(); ++i) ab[i] = static_cast<uint8_t>(bFill + i * 7);
        const sim::FcpResult w = RunCommand(writer, Cdb16(fw::SCSI_WRITE16, lba, 8), ab);
        ASSERT_EQ(w.outcome, Outcome::Done);
        ASSERT_EQ(w.status, 0);
        const sim::FcpResult r = RunCommand(reader, Cdb16(fw::SCSI_READ16, lba, 8), {}, 8 * 512);
        ASSERT_EQ(r.outcome, Outcome::Done);
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.dataIn, ab);
    }
};

// Drive for drive the master's records, each named by Controller 1's own
// target id of its WWN; the drive slots of Controller 1's configuration
// in enclosure and slot order of those drives.
void ExpectMastersDrivesInSlaveOrder() {
    const fw::DRIVE_INFO_LIST& sMaster = *fw::pGetDriveInfoList();
    const fw::DRIVE_INFO_LIST& sSlave = *fw_b::pGetDriveInfoList();
    ASSERT_EQ(sMaster.bDriveCount, 8);
    ASSERT_EQ(sSlave.bDriveCount, sMaster.bDriveCount);
    for (uint8_t i = 0; i < sSlave.bDriveCount; ++i) {
        const fw::DRIVE_INFO& s = sSlave.asDriveInfo[i];
        const fw::DRIVE_INFO& m = sMaster.asDriveInfo[i];
        EXPECT_EQ(std::memcmp(s.abWWN, m.abWWN, 8), 0) << int(i);
        EXPECT_EQ(std::make_pair(s.bEnclosureNo, s.bSlotNo), std::make_pair(m.bEnclosureNo, m.bSlotNo)) << int(i);
        uint8_t bTarget = 0xFF;
        ASSERT_EQ(fw_b::bGetTargetIdBySASAddress(s.abWWN, &bTarget), fw::STATUS_OK) << int(i);
        EXPECT_EQ(s.bLoopID1, bTarget) << int(i);
        EXPECT_EQ(s.bHardIDFromADISC, bTarget) << int(i);
    }
    const fw::DRIVE_SLOT_TABLES& sSlots = *fw_b::pGetDriveSlotTables();
    std::vector<std::pair<uint8_t, uint8_t>> aPlaces;
    for (uint8_t bId : sSlots.abDrive) {
        for (uint8_t i = 0; bId != 0xFF && i < sSlave.bDriveCount; ++i) {
            const fw::DRIVE_INFO& s = sSlave.asDriveInfo[i];
            if (s.bLoopID1 == bId) aPlaces.emplace_back(s.bEnclosureNo, s.bSlotNo);
        }
    }
    ASSERT_EQ(aPlaces.size(), 8u);
    EXPECT_TRUE(std::is_sorted(aPlaces.begin(), aPlaces.end()));
}

TEST_F(PartnerDriveTable, TheSlaveHoldsTheMastersDrivesByItsOwnTargetIds) {
    ASSERT_NO_FATAL_FAILURE(ExpectMastersDrivesInSlaveOrder());
}

// The pair's drives answer both at the same target ids: a table whose
// drives the sender names otherwise, received while the slots stand out
// of order, ends the same.
TEST_F(PartnerDriveTable, ATableIsRenamedAndTheSlotsSortedByTheReceiver) {
    const uint32_t dChanges = fw_b::dGetDriveTableChangeCount();
    static fw::DRIVE_INFO_LIST s_sTable;
    std::memcpy(&s_sTable, fw::pGetDriveInfoList(), sizeof s_sTable);
    for (uint8_t i = 0; i < s_sTable.bDriveCount; ++i) {
        s_sTable.asDriveInfo[i].bLoopID1 = s_sTable.asDriveInfo[i].bHardIDFromADISC = static_cast<uint8_t>(0x60 + i);
    }
    ASSERT_TRUE(OnProcessor(b->board, [] {
        fw::DRIVE_SLOT_TABLES* ps = fw_b::pGetDriveSlotTables();
        std::reverse(ps->abDrive, ps->abDrive + 8);
        std::reverse(ps->abDriveAlt, ps->abDriveAlt + 8);
        std::reverse(ps->afFailed, ps->afFailed + 8);
    }));
    ASSERT_NO_FATAL_FAILURE(SendTable(s_sTable));
    ASSERT_NO_FATAL_FAILURE(ExpectMastersDrivesInSlaveOrder());
    EXPECT_EQ(fw_b::dGetDriveTableChangeCount(), dChanges + 1);
}

// A table that names more drives or enclosures than it can hold is
// refused: Controller 1 keeps the table it had.
TEST_F(PartnerDriveTable, ATableNamingMoreRecordsThanItHoldsIsRefused) {
    const uint32_t dChanges = fw_b::dGetDriveTableChangeCount();
    static fw::DRIVE_INFO_LIST s_sBad;
    for (const auto& [bDrives, bEnclosures] : {std::pair<uint8_t, uint8_t>{fw::DRIVE_INFO_RECORDS + 1, 0},
                                               std::pair<uint8_t, uint8_t>{8, fw::DRIVE_ENCLOSURE_RECORDS + 1}}) {
        std::memcpy(&s_sBad, fw::pGetDriveInfoList(), sizeof s_sBad);
        s_sBad.bDriveCount = bDrives;
        s_sBad.bEnclosureRecordCount = bEnclosures;
        ASSERT_NO_FATAL_FAILURE(SendTable(s_sBad));
        EXPECT_EQ(fw_b::pGetDriveInfoList()->bDriveCount, 8);
        EXPECT_EQ(fw_b::dGetDriveTableChangeCount(), dChanges);
    }
}

TEST_F(PartnerDriveTable, AnArrayMadeOnControllerOnesConsoleServesHostsOnBoth) {
    sim::Board& c1 = b->board;
    ASSERT_NO_FATAL_FAILURE(OpenConfiguration(c1));
    // By hand: RAID 5, the first three of the eight shared drives offered.
    ASSERT_TRUE(Menu(c1, "1\r", "Array Configuration Menu (1-1)")) << c1.ConsoleText();
    ASSERT_TRUE(Menu(c1, "2\r", "8 unused drives available for configuration")) << c1.ConsoleText();
    ASSERT_TRUE(Menu(c1, "3\r", "RAID 5/50 Array Configuration Menu")) << c1.ConsoleText();
    ASSERT_TRUE(Menu(c1, "1\r", "Select Chunk Size")) << c1.ConsoleText();
    ASSERT_TRUE(Type(c1, "2\r", kAddDrive)) << c1.ConsoleText();
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(Type(c1, "\r", kContinue)) << c1.ConsoleText();
        ASSERT_TRUE(Type(c1, "\r", kAddDrive)) << c1.ConsoleText();
    }
    ASSERT_TRUE(Type(c1, "\r", kContinue)) << c1.ConsoleText();
    ASSERT_TRUE(Type(c1, "n\r", kAnyKey)) << c1.ConsoleText();
    ASSERT_TRUE(Type(c1, " ", "Select percentage of drive capacity to reserve (<CR> = 1%): ")) << c1.ConsoleText();
    ASSERT_TRUE(Result(c1, "\r", "Array 00 Successfully Created")) << c1.ConsoleText();
    // The rest, by proposal: the five drives left.
    ASSERT_TRUE(Menu(c1, " ", "Array Configuration Menu (1-1)")) << c1.ConsoleText();
    ASSERT_TRUE(Menu(c1, "2\r", "5 unused drives available for configuration")) << c1.ConsoleText();
    ASSERT_TRUE(Menu(c1, "3\r", "4 Drives, 1 Subarray")) << c1.ConsoleText();
    ASSERT_TRUE(Result(c1, "2\r", "Array 01 Successfully Created")) << c1.ConsoleText();
    ASSERT_TRUE(Menu(c1, " ", "Array Configuration Menu (1-1)")) << c1.ConsoleText();
    ASSERT_TRUE(Menu(c1, "0\r", "0.  Save and Exit")) << c1.ConsoleText();
    // One logical drive over the first array's space, saved.
    ASSERT_TRUE(Menu(c1, "2\r", "Logical Drive Configuration Menu (1-2)")) << c1.ConsoleText();
    ASSERT_TRUE(Menu(c1, "2\r", "2.  All Unused Free Space Regions (")) << c1.ConsoleText();
    ASSERT_TRUE(Type(c1, "2\r", "Enter number of logical drives to create (")) << c1.ConsoleText();
    ASSERT_TRUE(Shows(c1, "(<CR> = 1): ")) << c1.ConsoleText();
    ASSERT_TRUE(Type(c1, "1\r", "Enter size of logical drive")) << c1.ConsoleText();
    ASSERT_TRUE(Shows(c1, "(<CR> = MAX): ")) << c1.ConsoleText();
    ASSERT_TRUE(Menu(c1, "\r", "1.  512 Bytes Host Block Size")) << c1.ConsoleText();
    ASSERT_TRUE(Result(c1, "1\r", "Logical Drive 000 Successfully Created")) << c1.ConsoleText();
    ASSERT_TRUE(Menu(c1, " ", "Logical Drive Configuration Menu (1-2)")) << c1.ConsoleText();
    ASSERT_TRUE(Menu(c1, "0\r", "0.  Save and Exit")) << c1.ConsoleText();
    ASSERT_TRUE(Type(c1, "0\r", "Confirm saving of new configuration (Y or N): ")) << c1.ConsoleText();
    ASSERT_TRUE(Result(c1, "y\r", "Saving Configuration")) << c1.ConsoleText();
    ASSERT_TRUE(Menu(c1, " ", "Main Menu")) << c1.ConsoleText();

    // Controller 0's operator sees both arrays, and no drive left over.
    sim::Board& c0 = a->board;
    ASSERT_NO_FATAL_FAILURE(OpenConfiguration(c0));
    ASSERT_TRUE(Menu(c0, "1\r", "1.  View Arrays")) << c0.ConsoleText();
    ASSERT_TRUE(Type(c0, "1\r", "Array:00 RAID 5, ")) << c0.ConsoleText();
    ASSERT_TRUE(Shows(c0, "Array:01 RAID 5, ")) << c0.ConsoleText();
    ASSERT_TRUE(Shows(c0, kAnyKey)) << c0.ConsoleText();
    ASSERT_TRUE(Menu(c0, " ", "1.  View Arrays")) << c0.ConsoleText();
    ASSERT_TRUE(Menu(c0, "2\r", "1 unused drives available for configuration")) << c0.ConsoleText();
    ASSERT_TRUE(Menu(c0, "0\r", "1.  View Arrays")) << c0.ConsoleText();
    ASSERT_TRUE(Menu(c0, "0\r", "Configuration Menu (1)")) << c0.ConsoleText();
    ASSERT_TRUE(Menu(c0, "0\r", "Main Menu")) << c0.ConsoleText();

    // The logical drive serves a host on each controller.
    sim::FcHost hostA(a->board, a->fabric, *sim::FindIspChip(a->board, 1), kHostA);
    sim::FcHost hostB(b->board, b->fabric, *sim::FindIspChip(b->board, 1), kHostB);
    ASSERT_TRUE(HostReady(hostA)) << Consoles();
    ASSERT_TRUE(HostReady(hostB)) << Consoles();
    ASSERT_NO_FATAL_FAILURE(WriteThenRead(hostA, hostB, 64, 0x11));
    ASSERT_NO_FATAL_FAILURE(WriteThenRead(hostB, hostA, 4096, 0x5A));
}

}  // namespace
