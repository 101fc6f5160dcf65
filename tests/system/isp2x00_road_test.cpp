// The host road through a host port of the older ISP2x00 generation, on a
// test board whose host chips run their own firmware: a write-back write is
// answered with its data phase (the status rides on the CTIO that takes the
// data) and still reaches the drives; a write-through write is answered
// once it is there.
#include "host_road.h"

#include "hw/fpga.h"
#include "hw/pci_ids.h"

namespace roadtest {
namespace {

class Isp2x00Road : public HostRoad, public ::testing::WithParamInterface<ArraySpec> {
protected:
    Isp2x00Road() {
        boardConfig.hostChipId = fw::ISP_ID_2312;
        boardStraps = fw::FPGA_BOARD_HOST_CHIP_FIRMWARE;
    }
};

TEST_P(Isp2x00Road, WritesAndReadsKeepEveryByte) {
    ASSERT_NO_FATAL_FAILURE(Boot(GetParam()));
    ASSERT_TRUE(sim::FindIspChip(*board, 1)->isp2x00());
    const uint32_t early = sim::FindIspChip(*board, 1)->statusesBehindData();
    const uint64_t span = RowBlocks() * 8;
    WriteLoad(span, 96, 5, [](uint32_t) {}, [] { return false; });
    // Write-back writes are answered with their data phase; written through,
    // none is.
    const uint32_t withData = sim::FindIspChip(*board, 1)->statusesBehindData() - early;
    if (spec.fWriteBack) {
        EXPECT_GT(withData, 0u);
    } else {
        EXPECT_EQ(withData, 0u);
    }
    ExpectRead(0, static_cast<uint32_t>(span));
    Settle();
    ExpectDrivesMatchReference();
    EXPECT_EQ(sim::FindIspChip(*board, 1)->commandResources(), 255u);
}

const ArraySpec kArrays[] = {
    {"Raid5", fw::RAID_LEVEL_5, 4, 16},
    {"Raid10", fw::RAID_LEVEL_10, 4, 16},
    {"Raid6", fw::RAID_LEVEL_6, 5, 16},
    {"Raid5WriteThrough", fw::RAID_LEVEL_5, 4, 16, 0, false},
    {"Raid10WriteThrough", fw::RAID_LEVEL_10, 4, 16, 0, false},
};
INSTANTIATE_TEST_SUITE_P(Arrays, Isp2x00Road, ::testing::ValuesIn(kArrays),
                         [](const auto& info) { return std::string(info.param.pszName); });

}  // namespace
}  // namespace roadtest
