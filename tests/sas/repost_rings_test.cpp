// Requests held back for a drive wait in its ring and go to the IOC one at a
// time, oldest first, each counted outstanding on the IOC and the drive:
// a full ring takes no more, an empty one posts nothing, an index past the
// device list names no ring, and an address that is no request frame never
// reaches the IOC.
#include <cstring>
#include <vector>

#include "drive_side_fixture.h"
#include "hw/mpi.h"
#include "sas/repost_rings.h"
#include "sas/request_frames.h"

namespace {

using namespace fw;
using sastest::DriveSideTest;

class RepostRingsTest : public DriveSideTest {
protected:
    // A TEST UNIT READY to the target, built in a frame of its own and not
    // posted: its bus address.  The reply frees the frame (no entry
    // waits for it).
    uint32_t BuildTestUnitReady(uint8_t bTarget) {
        uint8_t* pb = nullptr;
        uint16_t wIndex = LSI_NO_HANDLE;
        EXPECT_EQ(bAllocLSIRequestFrame(LSI_IOC_DRIVE, &pb, &wIndex, FALSE), STATUS_OK);
        if (pb == nullptr) return 0;
        auto* ps = reinterpret_cast<MPI_SCSI_IO_REQUEST*>(pb);
        ps->bTargetId = bTarget;
        ps->bFunction = MPI_FUNCTION_SCSI_IO_REQUEST;
        ps->bCDBLength = 6;
        ps->dMsgContext = static_cast<uint32_t>(wIndex) << 16 | 0xFFFE;
        ps->adSGL[0] = MPI_SGE_SIMPLE_READ;
        ps->adSGL[1] = 0xFFFFFFFF;
        // Taken: the next frame built is another one.
        psGetLSIAdapter(LSI_IOC_DRIVE)->adInUse[wIndex / 32] |= 1u << (wIndex % 32);
        ++psGetLSIAdapter(LSI_IOC_DRIVE)->wRequestsInUse;
        return static_cast<uint32_t>(dPciAddressOf(pb));
    }
};

TEST_F(RepostRingsTest, AFullRingTakesNoMoreAndAnEmptyOneOrNoneAtAllPostsNothing) {
    const uint8_t bTarget = TargetOfSlot(1);
    const uint8_t bDevice = bGetSASDeviceIndexOfTarget(bTarget);
    ASSERT_LT(bDevice, SAS_REPOST_RINGS);
    const uint32_t dTaken = ioc->scsiRequests();
    ASSERT_EQ(b.board().RunOnCpu([&] {
        // No device past the list's last index.
        EXPECT_EQ(fDeferSASRequest(SAS_REPOST_RINGS, 0x1000), FALSE);
        EXPECT_EQ(fPostNextDeferredRequest(LSI_IOC_DRIVE, SAS_REPOST_RINGS, FALSE), FALSE);
        EXPECT_EQ(fPostNextDeferredRequest(LSI_IOC_DRIVE, 0xFF, FALSE), FALSE);
        EXPECT_EQ(fPostNextDeferredRequest(LSI_IOC_DRIVE, bDevice, FALSE), FALSE);

        std::vector<uint32_t> ad;
        for (uint8_t i = 0; i < SAS_REPOST_RING_SLOTS; ++i) {
            ad.push_back(BuildTestUnitReady(bTarget));
            EXPECT_EQ(fDeferSASRequest(bDevice, ad.back()), TRUE) << int(i);
        }
        EXPECT_EQ(fDeferSASRequest(bDevice, BuildTestUnitReady(bTarget)), FALSE);
        EXPECT_EQ(wGetSASRepostRingCount(bDevice), SAS_REPOST_RING_SLOTS);

        // Half goes, and as many come again: the ring wraps.
        const uint16_t wBefore = psGetSASDeviceOfTarget(bTarget)->wOutstanding;
        for (uint8_t i = 0; i < SAS_REPOST_RING_SLOTS / 2; ++i) {
            EXPECT_EQ(fPostNextDeferredRequest(LSI_IOC_DRIVE, bDevice, FALSE), TRUE);
        }
        for (uint8_t i = 0; i < SAS_REPOST_RING_SLOTS / 2; ++i) {
            EXPECT_EQ(fDeferSASRequest(bDevice, BuildTestUnitReady(bTarget)), TRUE);
        }
        EXPECT_EQ(fDeferSASRequest(bDevice, 0x1000), FALSE);
        uint8_t bPosted = 0;
        while (fPostNextDeferredRequest(LSI_IOC_DRIVE, bDevice, FALSE) == TRUE) ++bPosted;
        EXPECT_EQ(bPosted, SAS_REPOST_RING_SLOTS);
        EXPECT_EQ(wGetSASRepostRingCount(bDevice), 0);
        EXPECT_EQ(psGetSASDeviceOfTarget(bTarget)->wOutstanding, wBefore + 3 * SAS_REPOST_RING_SLOTS / 2);

        // What is no request frame waits in no ring and reaches no IOC.
        EXPECT_EQ(fDeferSASRequest(bDevice, 0x1000), TRUE);
        EXPECT_EQ(fPostNextDeferredRequest(LSI_IOC_DRIVE, bDevice, FALSE), FALSE);
        EXPECT_EQ(wGetSASRepostRingCount(bDevice), 0);
    }),
              sim::StopKind::Finished);
    PollFor(2000, [&] { return ioc->scsiRequests() >= dTaken + 3 * SAS_REPOST_RING_SLOTS / 2; });
    EXPECT_EQ(ioc->scsiRequests(), dTaken + 3 * SAS_REPOST_RING_SLOTS / 2);
}

// The device list built again numbers its drives afresh: nothing held back
// for an index is posted to the drive that takes it next.
TEST_F(RepostRingsTest, ARebuiltDeviceListEmptiesTheRings) {
    const uint8_t bDevice = bGetSASDeviceIndexOfTarget(TargetOfSlot(1));
    ASSERT_EQ(b.board().RunOnCpu([&] { EXPECT_EQ(fDeferSASRequest(bDevice, BuildTestUnitReady(TargetOfSlot(1))), TRUE); }),
              sim::StopKind::Finished);
    ASSERT_NO_FATAL_FAILURE(Rediscover());
    EXPECT_EQ(wGetSASRepostRingCount(bDevice), 0);
}

}  // namespace
