// The SAS host ports as the operator sees them, screen for screen: the
// interface dump of the 'H' and 'h' keys with hosts on both ports and
// commands held at the IOC, and the host PHY counters of the Diagnostic
// Counter Menu (the changes, a reference taken, the changes since).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "console_board.h"
#include "executive/system_state.h"
#include "hw/scsi.h"
#include "sas/sas_target.h"
#include "sas/sas_target_ports.h"
#include "sas_host_screen_goldens.h"
#include "sim/board.h"
#include "sim/sas_host.h"
#include "sim/sas_target_ioc.h"

namespace {

using consoletest::ConsoleBoard;

constexpr uint64_t kFirstHost = 0x500605B0000A0001ull;
constexpr uint64_t kSecondHost = 0x500605B0000B0002ull;

sim::BoardConfig SasTargetBoard() {
    sim::BoardConfig config;
    config.hostInterface = sim::HostInterface::SasTarget;
    return config;
}

// The screen with <date> for the first date and time the console printed
// ("Mon Jan 06 2025 09:00:56").
std::string WithoutDate(std::string s) {
    constexpr size_t kLength = 24;
    const auto fDateAt = [&s](size_t i) {
        for (size_t k = 0; k < kLength; ++k) {
            const char ch = s[i + k];
            const bool fDigit = ch >= '0' && ch <= '9';
            switch (k) {
            case 3: case 7: case 10: case 15: if (ch != ' ') return false; break;
            case 18: case 21: if (ch != ':') return false; break;
            case 0: case 1: case 2: case 4: case 5: case 6: if (fDigit || ch == ' ') return false; break;
            default: if (!fDigit) return false; break;
            }
        }
        return true;
    };
    for (size_t i = 0; i + kLength <= s.size(); ++i) {
        if (fDateAt(i)) return s.replace(i, kLength, "<date>");
    }
    return s;
}

class SasHostScreens : public ::testing::Test {
protected:
    void SetUp() override {
        c.Boot();
        ASSERT_TRUE(c.board.RunUntil([] { return fw::bGetSASTargetState() == fw::SAS_TARGET_RUNNING; },
                                     10'000'000'000ull) == sim::StopKind::Running);
        first = std::make_unique<sim::SasHost>(c.board, Ioc(), 0, kFirstHost);
        second = std::make_unique<sim::SasHost>(c.board, Ioc(), 1, kSecondHost);
        for (sim::SasHost* h : {first.get(), second.get()}) {
            ASSERT_TRUE(h->LogIn());
            // Its first command makes it known and collects its unit attention.
            for (int i = 0; i < 4 && h->Send(0, {0, 0, 0, 0, 0, 0}).status != fw::SCSI_STATUS_GOOD; ++i) {
            }
        }
        c.Settle();
        c.Type("\x05");
        fw::SetDiagnosticsModeLevel(3);
    }
    void TearDown() override {
        fw::SetDiagnosticsModeLevel(0);
        fw::SetModelCode(m_wModel);
    }
    sim::SasTargetIoc& Ioc() { return *c.board.sasTargetIoc(); }
    ConsoleBoard c{sim::ChassisOptions(), SasTargetBoard()};
    std::unique_ptr<sim::SasHost> first;
    std::unique_ptr<sim::SasHost> second;
    const uint16_t m_wModel = fw::wGetModelCode();
};

TEST_F(SasHostScreens, TheInterfaceDumpShowsBothPortsTheirHostsAndTheHeldCommands) {
    Ioc().holdAssists = true;
    const uint32_t a = first->Submit(sim::FcpCommand::To(0, {fw::SCSI_INQUIRY, 0, 0, 0, 96, 0}, {}, 96));
    const uint32_t b = first->Submit(sim::FcpCommand::To(0, {fw::SCSI_INQUIRY, 0, 0, 0, 96, 0}, {}, 96));
    ASSERT_TRUE(first->RunUntil([this] { return Ioc().heldAssists() == 2; }));
    EXPECT_EQ(c.Type("H"), sashostscreens::kInterface + sashostscreens::kCommandMap + sashostscreens::kReservations);
    EXPECT_EQ(c.Type("h"), sashostscreens::kInterface + sashostscreens::kReservations);
    Ioc().ReleaseAssists();
    EXPECT_EQ(first->Wait(a).status, fw::SCSI_STATUS_GOOD);
    EXPECT_EQ(first->Wait(b).status, fw::SCSI_STATUS_GOOD);
}

TEST_F(SasHostScreens, ThePhyCountersShowTheChangesAReferenceAndTheChangesSinceIt) {
    // The model whose counter menu offers the host PHY counters.
    fw::SetModelCode(fw::MODEL_Z7Q2_EXPANSION);
    Ioc().AddPhyErrors(0, {12, 0, 1, 0});
    Ioc().AddPhyErrors(3, {0, 3, 0, 0});
    Ioc().AddPhyErrors(5, {0, 0, 0, 2});
    c.Enter("2");
    c.Enter("10");
    EXPECT_EQ(WithoutDate(c.Enter("11")), "11\r" + sashostscreens::kPhyChangesFromFirst);
    c.Type(" ");
    EXPECT_EQ(WithoutDate(c.Enter("12")), "12\r" + sashostscreens::kPhySetReference);
    c.Type(" ");
    Ioc().AddPhyErrors(4, {100000, 0, 0, 0});
    Ioc().AddPhyErrors(5, {0, 0, 0, 1});
    EXPECT_EQ(WithoutDate(c.Enter("11")), "11\r" + sashostscreens::kPhyChangesFromSecond);
}

}  // namespace
