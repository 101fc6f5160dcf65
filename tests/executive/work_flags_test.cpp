// Work flags: what each setter raises, and the shared and ignored bytes.
#include <gtest/gtest.h>

#include "executive/types.h"
#include "executive/work_flags.h"

namespace {

using fw::FALSE;
using fw::TRUE;

struct FlagCase {
    const char* name;
    void (*set)(uint8_t);
    uint8_t (*get)();
    bool raisesWorkPending;
};

const FlagCase kFlags[] = {
    {"console log pending", fw::SetConsoleLogPending, fw::fGetConsoleLogPending, true},
    {"I2C bus 1", fw::SetI2cBus1Work, fw::fGetI2cBus1Work, true},
    {"clock read", fw::SetClockReadWork, fw::fGetClockReadWork, true},
    {"debug dump", fw::SetDebugDumpWork, fw::fGetDebugDumpWork, true},
    {"SAS discovery", fw::SetSasDiscoveryWork, fw::fGetSasDiscoveryWork, true},
    {"host link status", fw::SetHostLinkStatusWork, fw::fGetHostLinkStatusWork, true},
    {"partner work", fw::SetPartnerWork, fw::fGetPartnerWork, false},
    {"XOR queue 1", fw::SetXorQueue1Work, fw::fGetXorQueue1Work, false},
    {"console menu", fw::SetConsoleMenuWork, fw::fGetConsoleMenuWork, false},
    {"time sync", fw::SetTimeSyncWork, fw::fGetTimeSyncWork, false},
    {"SAS multiplexer", fw::SetSasMuxWork, fw::fGetSasMuxWork, false},
    {"retripe", fw::SetRetripeFlag, fw::fGetRetripeFlag, false},
};

TEST(WorkFlags, SettersStoreAndRaiseWorkPendingOnlyWhereTheyShould) {
    for (const FlagCase& c : kFlags) {
        SCOPED_TRACE(c.name);
        fw::SetWorkPending(FALSE);
        c.set(TRUE);
        EXPECT_EQ(c.get(), TRUE);
        EXPECT_EQ(fw::fGetWorkPending(), c.raisesWorkPending ? TRUE : FALSE);
        // Storing FALSE never raises anything.
        fw::SetWorkPending(FALSE);
        c.set(FALSE);
        EXPECT_EQ(c.get(), FALSE);
        EXPECT_EQ(fw::fGetWorkPending(), FALSE);
    }
}

TEST(WorkFlags, HostPortCodesShareTwoBytes) {
    fw::SetHostPortWork(0x02, FALSE);
    fw::SetHostPortWork(0x01, FALSE);
    fw::SetHostPortWork(0x40, TRUE);
    for (uint8_t port : {0x01, 0x31, 0x40, 0x50, 0x71}) EXPECT_EQ(fw::fGetHostPortWork(port), TRUE) << int(port);
    for (uint8_t port : {0x02, 0x32, 0x72}) EXPECT_EQ(fw::fGetHostPortWork(port), FALSE) << int(port);
    fw::SetHostPortWork(0x32, TRUE);
    EXPECT_EQ(fw::fGetHostPortWork(0x02), TRUE);
}

TEST(WorkFlags, OnlyDriveQueue0x61HasAServiceEnable) {
    fw::EnableAllDriveQueueServices();
    fw::SetDriveQueueServiceEnable(0x62, FALSE);
    for (uint8_t i = 0; i < 16; ++i) EXPECT_EQ(fw::fGetDriveQueueServiceEnable(i), TRUE) << int(i);
    fw::SetDriveQueueServiceEnable(0x61, FALSE);
    EXPECT_EQ(fw::fGetDriveQueueServiceEnable(0), FALSE);
    EXPECT_EQ(fw::fGetDriveQueueServiceEnable(16), FALSE);
}

}  // namespace
