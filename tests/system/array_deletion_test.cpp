// Deleting arrays and logical drives on a controller that serves hosts:
// once the edit is saved the hosts lose the deleted LUNs, and every other
// logical drive serves what was written to it, also where its array moved
// down into the room a deleted array left.
#include <map>

#include "config/array_operations.h"
#include "config/ld_operations.h"
#include "harness/config_builder.h"
#include "host_road.h"

namespace {

using namespace roadtest;

// The blocks written to each LUN: at the start, and at the end of its
// capacity unit.
constexpr uint64_t kLdEnd = 1953792;
constexpr uint32_t kRun = 64;

class ArrayDeletionRoad : public HostRoad {
protected:
    ArrayDeletionRoad() {
        chassisOptions.drives = 8;
        chassis = std::make_unique<sim::Chassis>(chassisOptions);
    }
    // Three arrays of different levels, a logical drive of one unit on
    // each (LUNs 0, 1, 2), and data on all three.
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(StartController());
        cfgbuild::Builder b(*board);
        ASSERT_TRUE(b.OpenEdit());
        ASSERT_EQ(b.CreateArray({fw::RAID_LEVEL_5, {1, 2, 3}}), fw::STATUS_OK);
        ASSERT_EQ(b.CreateArray({fw::RAID_LEVEL_10, {4, 5}}), fw::STATUS_OK);
        ASSERT_EQ(b.CreateArray({fw::RAID_LEVEL_0, {6, 7}}), fw::STATUS_OK);
        // Logical drive n at the start of array n: each array is one free
        // extent, in array order.
        for (uint16_t n = 0; n < 3; ++n) ASSERT_EQ(fw::CreateLogicalDrive(1, n, 512, 0x0F, nullptr), fw::STATUS_OK);
        ASSERT_TRUE(b.Commit()) << board->ConsoleText();
        ASSERT_EQ(fw::bGetRankCount(), 3);
        ASSERT_NO_FATAL_FAILURE(ConnectHost());
        for (uint16_t lun = 0; lun < 3; ++lun) {
            ASSERT_NO_FATAL_FAILURE(Put(lun, 0, 10 + lun));
            ASSERT_NO_FATAL_FAILURE(Put(lun, kLdEnd - kRun, 20 + lun));
        }
    }
    // The command, again after a unit attention (the LUN inventory changed).
    sim::FcpResult Settled(uint16_t lun, const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& out,
                           uint32_t in) {
        sim::FcpResult r;
        for (int i = 0; i < 4; ++i) {
            r = host->Send(lun, cdb, out, in);
            if (r.outcome != sim::FcpResult::Outcome::Done || r.status != fw::SCSI_STATUS_CHECK_CONDITION ||
                r.sense.size() < 3 || (r.sense[2] & 0x0F) != fw::SENSE_UNIT_ATTENTION) {
                break;
            }
        }
        return r;
    }
    void Put(uint16_t lun, uint64_t lba, uint32_t seed) {
        const std::vector<uint8_t> data = Random(kRun, seed);
        const sim::FcpResult r = Settled(lun, Cdb(fw::SCSI_WRITE10, lba, kRun), data, 0);
        ASSERT_EQ(r.status, 0) << "LUN " << lun << " write " << lba << SenseText(r);
        kept[{lun, lba}] = data;
    }
    // Every run kept on the LUN reads back.
    void ExpectKept(uint16_t lun) {
        for (const auto& [where, data] : kept) {
            if (where.first != lun) continue;
            const sim::FcpResult r = Settled(lun, Cdb(fw::SCSI_READ10, where.second, kRun), {}, kRun * kBlock);
            ASSERT_EQ(r.status, 0) << "LUN " << lun << " read " << where.second << SenseText(r);
            ASSERT_TRUE(r.dataIn == data) << "LUN " << lun << " read " << where.second;
        }
    }
    // No logical drive answers at the LUN (the controller's own LUN may
    // take its place).
    void ExpectGone(uint16_t lun) {
        const sim::FcpResult inquiry = Settled(lun, {fw::SCSI_INQUIRY, 0, 0, 0, 36, 0}, {}, 36);
        ASSERT_GE(inquiry.dataIn.size(), 1u);
        EXPECT_NE(inquiry.dataIn[0], 0x00) << "LUN " << lun;
        const sim::FcpResult read = Settled(lun, Cdb(fw::SCSI_READ10, 0, 1), {}, kBlock);
        EXPECT_EQ(read.status, fw::SCSI_STATUS_CHECK_CONDITION) << "LUN " << lun;
    }
    bool Edit(void (*pfnChange)()) {
        cfgbuild::Builder b(*board);
        if (!b.OpenEdit()) return false;
        pfnChange();
        return b.Commit();
    }
    std::map<std::pair<uint16_t, uint64_t>, std::vector<uint8_t>> kept;
};

TEST_F(ArrayDeletionRoad, TheMiddleArrayGoesAndTheLastServesAtItsMovedAddresses) {
    const uint64_t lLastStart = fw::pGetRankRecord(2)->lStartAddress;
    ASSERT_TRUE(Edit([] { fw::DeleteArray(1); })) << board->ConsoleText();
    ASSERT_EQ(fw::bGetRankCount(), 2);
    // The RAID 0 array is array 1 now, where the deleted one began.
    EXPECT_EQ(fw::pGetRankRecord(1)->lStartAddress, fw::pGetRankRecord(0)->lLastOffset + 1);
    EXPECT_LT(fw::pGetRankRecord(1)->lStartAddress, lLastStart);
    ASSERT_NO_FATAL_FAILURE(ExpectGone(1));
    ASSERT_NO_FATAL_FAILURE(ExpectKept(0));
    ASSERT_NO_FATAL_FAILURE(ExpectKept(2));
    // And it takes new writes there.
    ASSERT_NO_FATAL_FAILURE(Put(2, 4096, 99));
    ASSERT_NO_FATAL_FAILURE(ExpectKept(2));
    // Its drives are unused again.
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.wLdCount, 2);
}

TEST_F(ArrayDeletionRoad, OneLogicalDriveThenAllOfThem) {
    ASSERT_TRUE(Edit([] { fw::DeleteLogicalDrive(1, fw::FALSE, fw::TRUE); })) << board->ConsoleText();
    ASSERT_NO_FATAL_FAILURE(ExpectGone(1));
    ASSERT_NO_FATAL_FAILURE(ExpectKept(0));
    ASSERT_NO_FATAL_FAILURE(ExpectKept(2));
    ASSERT_TRUE(Edit([] { fw::DeleteLogicalDrive(0, fw::TRUE, fw::TRUE); })) << board->ConsoleText();
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.wLdCount, 0);
    EXPECT_EQ(fw::bGetRankCount(), 3);
    for (uint16_t lun = 0; lun < 3; ++lun) ASSERT_NO_FATAL_FAILURE(ExpectGone(lun));
}

}  // namespace
