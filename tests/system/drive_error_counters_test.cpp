// Drive error counters on a running controller: each sense a drive command
// ends with counted in its kind at the drive's position, the console table
// of both controllers' counts, the partner's messages and table taken only
// when they make sense, and which expanders are expansions of the family.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "config/config_phase.h"
#include "enclosure/drive_error_counters.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "executive/types.h"
#include "harness/dispatch_board.h"
#include "hw/scsi.h"
#include "sas/sas_device_list.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"

namespace {

constexpr uint64_t kSecond = 1'000'000'000ull;

sim::ChassisOptions Options() {
    sim::ChassisOptions o;
    o.drives = 4;
    o.driveBytes = 64ull << 20;
    return o;
}

uint8_t TargetOf(uint8_t bEnclosure, uint8_t bSlot) {
    for (unsigned t = 0; t < 0x80; ++t) {
        uint8_t e = 0, s = 0;
        if (fw::bGetEnclosureSlotOfTarget(static_cast<uint8_t>(t), &e, &s) == fw::STATUS_OK && e == bEnclosure &&
            s == bSlot)
            return static_cast<uint8_t>(t);
    }
    return 0xFF;
}

uint16_t Count(uint8_t bSlot, uint8_t bKind) { return fw::wGetDriveErrorCounter(1, bSlot, bKind - 1); }

TEST(DriveErrorCounters, SensesAreCountedByKindShownAndTheirMessagesChecked) {
    sim::Chassis chassis{Options()};
    sim::Board board;
    board.sasController().AttachChassis(&chassis);
    ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
    ASSERT_EQ(board.RunUntil([] { return fw::dGetDriveTableChangeCount() != 0 && fw::bGetConfigPhase() == 0; },
                             600 * kSecond),
              sim::StopKind::Running);
    const uint8_t bTarget = TargetOf(1, 2);
    ASSERT_NE(bTarget, 0xFF);
    fw::SAS_DEVICE_ENTRY* psDevice = fw::psGetSASDeviceOfTarget(bTarget);
    ASSERT_NE(psDevice, nullptr);

    // Each sense key in its kind; becoming ready and other keys not at all.
    const uint32_t dChanges = fw::dGetDriveErrorChangeCount();
    fw::bClassifyDriveError(bTarget, fw::SENSE_MEDIUM_ERROR, 0x11, 0);
    fw::bClassifyDriveError(bTarget, fw::SENSE_RECOVERED_ERROR, 0x17, 1);
    fw::bClassifyDriveError(bTarget, fw::SENSE_NOT_READY, 0x04, 0x01);
    fw::bClassifyDriveError(bTarget, fw::SENSE_NOT_READY, 0x04, 0x02);
    fw::bClassifyDriveError(bTarget, fw::SENSE_HARDWARE_ERROR, 0x44, 0);
    fw::bClassifyDriveError(bTarget, fw::SENSE_BLANK_CHECK, 0, 0);
    fw::bClassifyDriveError(bTarget, fw::SENSE_ABORTED_COMMAND, 0x08, 0);
    fw::bClassifyDriveError(bTarget, fw::SENSE_UNIT_ATTENTION, 0x29, 0);
    EXPECT_EQ(Count(2, fw::ERROR_KIND_MEDIA), 1);
    EXPECT_EQ(Count(2, fw::ERROR_KIND_RECOVERED), 2);
    EXPECT_EQ(Count(2, fw::ERROR_KIND_HARDWARE), 3);
    EXPECT_EQ(Count(2, fw::ERROR_KIND_DRIVE_PATH), 0);
    EXPECT_EQ(fw::dGetDriveErrorChangeCount() - dChanges, 6u);
    EXPECT_NE(psDevice->fFailurePredicted, fw::TRUE);
    fw::bClassifyDriveError(bTarget, fw::SENSE_RECOVERED_ERROR, 0x5D, 0);
    EXPECT_EQ(psDevice->fFailurePredicted, fw::TRUE);
    // A path failure goes to the timeout counter, which counts once a while,
    // as a drive-path error.
    const uint16_t wTimeouts = psDevice->wTimeoutCount;
    fw::bClassifyDriveError(bTarget, fw::SENSE_ABORTED_COMMAND, 0x47, 0);
    fw::bClassifyDriveError(bTarget, fw::SENSE_ABORTED_COMMAND, 0x4B, 0);
    EXPECT_EQ(psDevice->wTimeoutCount, wTimeouts + 1);
    EXPECT_EQ(Count(2, fw::ERROR_KIND_DRIVE_PATH), 1);
    EXPECT_EQ(Count(2, fw::ERROR_KIND_RECOVERED), 3);

    // Out of range: nothing counted anywhere.
    fw::IncrementDriveErrorCounter(6, 1, 2);
    fw::IncrementDriveErrorCounter(1, 17, 2);
    fw::IncrementDriveErrorCounter(1, 1, 33);
    fw::IncrementDriveErrorCounter(0, 1, 2);
    EXPECT_EQ(Count(2, 1) + Count(2, 2), 1);
    // The counters wrap.
    for (uint32_t i = 0; i < 65536; ++i) fw::IncrementDriveErrorCounter(fw::ERROR_KIND_TIMEOUT, 1, 3);
    EXPECT_EQ(Count(3, fw::ERROR_KIND_TIMEOUT), 0);
    fw::IncrementDriveErrorCounter(fw::ERROR_KIND_TIMEOUT, 1, 3);

    // The partner's increments land in its own group; a position, kind or
    // sub-op out of range is not taken, a short table is refused.
    uint8_t abCdb[16] = {};
    abCdb[1] = fw::ERROR_COUNTER_MESSAGE;
    abCdb[2] = fw::ERROR_COUNTER_MESSAGE_KIND;
    abCdb[3] = 1;
    abCdb[12] = 1, abCdb[13] = 2, abCdb[14] = fw::ERROR_KIND_MEDIA;
    EXPECT_EQ(fw::bTakePartnerDriveErrorMessage(abCdb), fw::STATUS_OK);
    EXPECT_EQ(fw::wGetDriveErrorCounter(1, 2, 5 + fw::ERROR_KIND_MEDIA - 1), 1);
    for (auto [e, s, k] : {std::array<uint8_t, 3>{0, 2, 4}, {17, 2, 4}, {1, 0, 4}, {1, 33, 4}, {1, 2, 0}, {1, 2, 6}}) {
        abCdb[12] = e, abCdb[13] = s, abCdb[14] = k;
        EXPECT_EQ(fw::bTakePartnerDriveErrorMessage(abCdb), fw::STATUS_OK);
    }
    for (uint8_t i = 5; i < 10; ++i) EXPECT_EQ(fw::wGetDriveErrorCounter(1, 2, i), i == 8 ? 1 : 0) << int(i);
    abCdb[3] = 7;
    EXPECT_EQ(fw::bTakePartnerDriveErrorMessage(abCdb), 0);
    std::vector<uint8_t> abTable(fw::ERROR_COUNTER_TABLE_BYTES, 0);
    abTable[(0 * 32 + 3) * 20 + 2] = 0x34;   // enclosure 1, slot 4, kind 2: 0x1234
    abTable[(0 * 32 + 3) * 20 + 3] = 0x12;
    abTable[(0 * 32 + 3) * 20 + 12] = 9;     // the sender's partner group is not its own
    EXPECT_EQ(fw::bTakePartnerDriveErrorTable(abTable.data(), fw::ERROR_COUNTER_TABLE_BYTES - 1), 0);
    EXPECT_EQ(fw::wGetDriveErrorCounter(1, 2, 8), 1);
    EXPECT_EQ(fw::bTakePartnerDriveErrorTable(abTable.data(), fw::ERROR_COUNTER_TABLE_BYTES), fw::STATUS_OK);
    EXPECT_EQ(fw::wGetDriveErrorCounter(1, 4, 6), 0x1234);
    EXPECT_EQ(fw::wGetDriveErrorCounter(1, 4, 1), 0);
    EXPECT_EQ(fw::wGetDriveErrorCounter(1, 2, 8), 0);
    // Controller 0 is this board (controller slot 1): its own counts first.
    fw::DRIVE_ERROR_RECORD sRecord{};
    fw::GetDriveErrorCounters(1, 4, &sRecord);
    EXPECT_EQ(sRecord.awController0[1], 0);
    EXPECT_EQ(sRecord.awController1[1], 0x1234);

    // The table lists drives only: slot 9 has counts but no drive.
    fw::IncrementDriveErrorCounter(fw::ERROR_KIND_MEDIA, 1, 9);
    board.ClearConsoleText();
    fw::ShowDriveErrorCounters(0, 0);
    const auto Shown = [&] { return board.ConsoleText().find("S01:04        0000        4660        0000        0000        0000\r\n") != std::string::npos; };
    ASSERT_EQ(board.RunUntil(Shown, 2 * kSecond), sim::StopKind::Running);
    ASSERT_TRUE(Shown());
    const char* pszHeader = "EN:SL    DrivePath     Timeout    Hardware       Media   Recovered\r\n";
    const std::string sExpected = std::string("\r\nController 0 Drive Error Counters.\r\n") + pszHeader +
                                  "S01:01        0000        0000        0000        0000        0000\r\n"
                                  "S01:02        0001        0000        0003        0001        0003\r\n"
                                  "S01:03        0000        0001        0000        0000        0000\r\n"
                                  "S01:04        0000        0000        0000        0000        0000\r\n"
                                  "\r\nController 1 Drive Error Counters.\r\n" +
                                  pszHeader +
                                  "S01:01        0000        0000        0000        0000        0000\r\n"
                                  "S01:02        0000        0000        0000        0000        0000\r\n"
                                  "S01:03        0000        0000        0000        0000        0000\r\n"
                                  "S01:04        0000        4660        0000        0000        0000\r\n";
    const std::string sText = board.ConsoleText();
    const size_t uAt = sText.find("\r\nController 0 Drive");
    ASSERT_NE(uAt, std::string::npos);
    EXPECT_EQ(sText.substr(uAt, sExpected.size()), sExpected);
    // Cleared: its own counts and, when the partner is lost, the partner's.
    fw::ClearDriveErrorCounters(1, 2);
    EXPECT_EQ(Count(2, fw::ERROR_KIND_MEDIA), 0);
    fw::ClearPartnerDriveErrorCounters();
    EXPECT_EQ(fw::wGetDriveErrorCounter(1, 4, 6), 0);
    EXPECT_EQ(Count(3, fw::ERROR_KIND_TIMEOUT), 1);
}

TEST(ExpansionIdentification, OnlyTheFamilysMakerAndProductsExactly) {
    const auto Is = [](const char* v, const char* p) {
        return fw::bIsExpansionEnclosure(reinterpret_cast<const uint8_t*>(v), reinterpret_cast<const uint8_t*>(p));
    };
    EXPECT_EQ(Is("Dunra   ", "Vomax expansion "), fw::STATUS_OK);
    EXPECT_EQ(Is("Dunra   ", "KV-4471-Vomaxe2 "), fw::STATUS_OK);
    EXPECT_EQ(Is("Dunra   ", "Vomax expansion_"), 0);
    EXPECT_EQ(Is("Dunra   ", "KV-4471-Vomaxe2\0"), 0);
    EXPECT_EQ(Is("Dunra  X", "Vomax expansion "), 0);
    EXPECT_EQ(Is("SIMEXPND", "Vomax expansion "), 0);
    EXPECT_EQ(fw::fIsEnclosureVendorAccepted(reinterpret_cast<const uint8_t*>("Dunra   ")), fw::TRUE);
    EXPECT_EQ(fw::fIsEnclosureVendorAccepted(reinterpret_cast<const uint8_t*>("Dunra  \0")), fw::FALSE);
}

}  // namespace
