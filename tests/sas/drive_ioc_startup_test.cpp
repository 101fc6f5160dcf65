// The drive IOC bring-up as start-up runs it: its console line, and the halt
// that follows a failure.
#include <gtest/gtest.h>

#include <string>

#include "executive/startup.h"
#include "sim/board.h"
#include "sim/sas_controller.h"

namespace {

constexpr const char* SAS_LINE = "Initializing SAS Ports............";
constexpr uint64_t BOOT_LIMIT_NS = 600'000'000'000ull;

struct StartupCase {
    const char* pszName;
    void (*pfnInject)(sim::SasController&);
    const char* pszExpected;
    sim::StopKind eStop;
};

// Test listings show the case by name.
void PrintTo(const StartupCase& c, std::ostream* os) { *os << c.pszName; }

class DriveIocStartupTest : public ::testing::TestWithParam<StartupCase> {};

TEST_P(DriveIocStartupTest, SasLineReportsTheBringUp) {
    const StartupCase& c = GetParam();
    sim::Board board;
    sim::SasController* ioc = &board.sasController();
    ASSERT_NE(ioc, nullptr);
    c.pfnInject(*ioc);
    board.SetResetEntry(fw::ControllerEntry);
    board.Boot();
    auto done = [&] {
        std::string s = board.ConsoleText();
        size_t d = s.find(SAS_LINE);
        return d != std::string::npos && s.find('\n', d) != std::string::npos;
    };
    sim::StopKind eStop = board.RunUntil(done, BOOT_LIMIT_NS);
    if (eStop == sim::StopKind::Running && c.eStop != sim::StopKind::Running) {
        eStop = board.RunFor(10'000'000'000ull);
    }
    std::string s = board.ConsoleText();
    size_t d = s.find(SAS_LINE);
    ASSERT_NE(d, std::string::npos) << s;
    EXPECT_EQ(s.substr(d, s.find('\n', d) - d + 1), std::string(SAS_LINE) + c.pszExpected) << s;
    EXPECT_EQ(eStop, c.eStop) << sim::StopKindName(eStop);
    if (c.eStop == sim::StopKind::Running) {
        EXPECT_EQ(ioc->state(), sim::SasController::State::Operational);
        EXPECT_TRUE(ioc->portEnabled(0));
    } else {
        // The halt stops the drive side: the IOC is held in reset.
        EXPECT_EQ(ioc->state(), sim::SasController::State::Reset);
    }
}

const StartupCase s_asCases[] = {
    {"Revision8", [](sim::SasController&) {}, "Pass\r\n", sim::StopKind::Running},
    {"Revision4", [](sim::SasController& c) { c.SetRevision(4); }, "Pass\r\n", sim::StopKind::Running},
    {"Revision2", [](sim::SasController& c) { c.SetRevision(2); },
     "No Firmware Image for LSI106E revision 02Fail\r\n", sim::StopKind::Halt},
    {"FrameSize", [](sim::SasController& c) { c.facts.requestFrameSize = 0x40; }, "Fail\r\n", sim::StopKind::Halt},
    {"NeverReady", [](sim::SasController& c) { c.faults.neverReady = true; }, "Fail\r\n", sim::StopKind::Halt},
    {"PortEnableSilent", [](sim::SasController& c) { c.faults.portEnableSilent = true; }, "Fail\r\n",
     sim::StopKind::Halt},
};

INSTANTIATE_TEST_SUITE_P(Boot, DriveIocStartupTest, ::testing::ValuesIn(s_asCases),
                         [](const ::testing::TestParamInfo<StartupCase>& i) { return std::string(i.param.pszName); });

}  // namespace
