// The controller option settings and their start-up values.
#include <gtest/gtest.h>

#include "console/console_menu.h"
#include "console/option_settings.h"
#include "executive/types.h"

namespace {

TEST(OptionSettings, StartUpValues) {
    fw::SetReadAheadCaching(fw::FALSE);
    fw::SetTargetCommandTrace(fw::TRUE);
    fw::SetStreamingReadAhead(fw::FALSE);
    fw::ResetConsoleStartFlags();
    EXPECT_EQ(fw::fGetTargetCommandTrace(), fw::FALSE);
    EXPECT_EQ(fw::fGetTargetCommandTimeTrace(), fw::FALSE);
    EXPECT_EQ(fw::fGetReadAheadCaching(), fw::TRUE);
    EXPECT_EQ(fw::fGetWritebackCaching(), fw::TRUE);
    EXPECT_EQ(fw::fGetCommandClustering(), fw::TRUE);
    EXPECT_EQ(fw::fGetPartialFullStripeWrite(), fw::TRUE);
    EXPECT_EQ(fw::fGetInitiatorCommandTrace(), fw::FALSE);
    EXPECT_EQ(fw::fGetStreamingReadAhead(), 0xF8);
    // The menus are closed until Ctrl-E.
    EXPECT_EQ(fw::fIsConsoleInputEnabled(), fw::FALSE);
    EXPECT_EQ(fw::fIsMenuSessionActive(), fw::FALSE);
}

TEST(OptionSettings, SuppressionHidesWriteBackWithoutChangingTheOption) {
    fw::SetWritebackCaching(fw::TRUE);
    fw::SetWritebackCachingSuppressed(fw::TRUE);
    EXPECT_EQ(fw::fGetWritebackCaching(), fw::FALSE);
    fw::SetWritebackCachingSuppressed(fw::FALSE);
    EXPECT_EQ(fw::fGetWritebackCaching(), fw::TRUE);
    fw::SetWritebackCaching(fw::FALSE);
    EXPECT_EQ(fw::fGetWritebackCaching(), fw::FALSE);
}

}  // namespace
