// The dual-controller dumps of a controller that runs alone, as the Main
// Menu's queue dump shows them.
#include <gtest/gtest.h>

#include <string>

#include "console/console_menu.h"
#include "console_board.h"
#include "dual_controller_dump_goldens.h"

namespace {

TEST(DualControllerDumps, ALoneControllerShowsNoPartnerAndEmptyQueues) {
    consoletest::ConsoleBoard c;
    c.Boot();
    fw::SetDiagnosticsModeLevel(2);
    c.Type("\x05");
    const std::string sDump = c.Enter("8");
    const size_t first = sDump.find("\nDual Controller stats:");
    const size_t end = sDump.find("XOR Queues");
    ASSERT_NE(first, std::string::npos) << sDump;
    ASSERT_NE(end, std::string::npos) << sDump;
    EXPECT_EQ(dualdumps::Masked(sDump.substr(first, end - first)), dualdumps::kLoneController);
}

}  // namespace
