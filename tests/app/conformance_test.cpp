// libiscsi's conformance suite, iscsi-test-cu, against the controller
// program: its SCSI and iSCSI families, with --dataloss and
// --allow-sanitize, on a scratch
// logical drive (RAID 5, and a mirror) behind Fibre Channel host ports and
// behind SAS ones, both host ports given as the two paths of the multipath
// tests.  What each test does in each configuration is kept in
// conformance_expected.txt beside this file; the run prints every failure
// and every skip with its reason, and fails when a test listed as passing
// fails or skips.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/program_run.h"
#include "app/raid5_data_dir.h"
#include "config/rank_table.h"
#include "harness/host_tool.h"
#include "harness/iscsi_remote_host.h"

namespace {

constexpr uint64_t kDriveBytes = 1ull << 30;
constexpr const char* kTargetPrefix = "iqn.2026-12.sim.array-controller:port";

// What one verbose run says of one test.
struct Verdict {
    std::string outcome;   // "passed", "failed" or "skipped"
    std::string reason;    // the tool's own words for a skip or a failure
};

// "Suite: Reserve6" heads a suite's tests; each test is "  Test: NAME ..."
// followed by what it logged and its verdict, "passed" or "FAILED" (on the
// test's own line, or on a line of its own).  A skipped test passes after
// a "[SKIPPED]" line.
std::map<std::string, Verdict> ParseVerboseRun(const std::string& family, const std::string& out) {
    std::map<std::string, Verdict> verdicts;
    std::string suite;
    const std::string suiteMark = "\nSuite: ";
    const std::string testMark = "\n  Test: ";
    size_t at = 0;
    for (;;) {
        const size_t nextSuite = out.find(suiteMark, at);
        const size_t nextTest = out.find(testMark, at);
        if (nextTest == std::string::npos) break;
        if (nextSuite != std::string::npos && nextSuite < nextTest) {
            const size_t eol = out.find('\n', nextSuite + 1);
            suite = out.substr(nextSuite + suiteMark.size(), eol - nextSuite - suiteMark.size());
            at = eol;
            continue;
        }
        const size_t nameStart = nextTest + testMark.size();
        const size_t dots = out.find(" ...", nameStart);
        const std::string name = family + "." + suite + "." + out.substr(nameStart, dots - nameStart);
        const size_t passed = out.find("passed", dots);
        size_t failed = out.find("\nFAILED\n", dots);
        const size_t inlineFailed = out.find("...FAILED\n", nameStart);
        if (inlineFailed != std::string::npos && inlineFailed < failed) failed = inlineFailed;
        const size_t verdict = std::min(passed, failed);
        if (verdict == std::string::npos) break;
        const std::string logged = out.substr(dots, verdict - dots);
        Verdict v{verdict == failed ? "failed" : "passed", ""};
        const size_t skip = logged.find("[SKIPPED]");
        if (skip != std::string::npos) {
            if (v.outcome == "passed") v.outcome = "skipped";
            v.reason = logged.substr(skip, logged.find('\n', skip) - skip);
        } else if (v.outcome == "failed") {
            // CUnit's own account of the failed assertion follows the
            // summary; the last line the test logged says what it tried.
            const size_t end = logged.find_last_not_of(" \n.");
            const size_t begin = logged.rfind('\n', end);
            v.reason = logged.substr(begin == std::string::npos ? 0 : begin + 1,
                                     end == std::string::npos ? 0 : end - begin);
        }
        verdicts[name] = v;
        at = verdict + 1;
    }
    return verdicts;
}

// The configurations a test is run in, in the columns of the expected
// results.
struct Configuration {
    const char* name;            // its column's heading
    const char* hostInterface;   // the program's --host-interface
    roadtest::ArraySpec array;
};
const Configuration kConfigurations[] = {
    {"fc-raid5", "fc", {"Raid5", fw::RAID_LEVEL_5, 4, 128}},
    {"fc-raid1", "fc", {"Raid1", fw::RAID_LEVEL_10, 2, 128}},
    {"sas-raid5", "sas", {"Raid5", fw::RAID_LEVEL_5, 4, 128}},
};
constexpr size_t kColumns = std::size(kConfigurations);

// One line of the expected results: the outcome in each configuration
// ("-" where the family is not run there) and why, for every outcome but
// "passed".
struct Expected {
    std::string outcome[kColumns];
    std::string why;
};

std::map<std::string, Expected> ReadExpected(const std::string& path) {
    std::map<std::string, Expected> expected;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string test;
        Expected e;
        words >> test;
        for (std::string& o : e.outcome) words >> o;
        std::getline(words >> std::ws, e.why);
        expected[test] = e;
    }
    return expected;
}

struct FamilyRun {
    size_t configuration;   // of kConfigurations
    const char* family;     // "SCSI" or "iSCSI"
};

class Conformance : public apptest::ProgramTest, public ::testing::WithParamInterface<FamilyRun> {
protected:
    void SetUp() override {
        apptest::ProgramTest::SetUp();
        const Configuration& c = kConfigurations[GetParam().configuration];
        apptest::PlaceArray(m_dir + "/data", kDriveBytes, c.array);
        program = std::make_unique<apptest::RunningController>(
            std::vector<std::string>{"--data-dir", m_dir + "/data", "--drives", "4", "--drive-size",
                                     std::to_string(kDriveBytes), "--console-in", "/dev/null", "--iscsi",
                                     "127.0.0.1:0", "--host-interface", c.hostInterface},
            m_dir);
        port = program->PortalPort();
        ASSERT_NE(port, 0) << program->Errors();
        ASSERT_TRUE(program->WaitForConsole("Initialization Complete")) << program->Errors();
        // The host ports come up after the console's last start-up line.
        bool served = false;
        for (int i = 0; i < 100 && !served; ++i) {
            iscsitest::RemoteHost h(port);
            served = h.connected && h.LogInNormal({}, std::string(kTargetPrefix) + "1");
            if (!served) program->Errors(100);
        }
        ASSERT_TRUE(served) << program->Errors();
    }
    void TearDown() override {
        if (program) {
            EXPECT_EQ(program->Stop(), 0) << program->Errors();
        }
        apptest::ProgramTest::TearDown();
    }
    std::string Url(int hostPort) const {
        return "iscsi://127.0.0.1:" + std::to_string(port) + "/" + kTargetPrefix + std::to_string(hostPort) + "/0";
    }

    std::unique_ptr<apptest::RunningController> program;
    uint16_t port = 0;
};

TEST_P(Conformance, NoTestThatPassedFailsOrSkips) {
    const FamilyRun run = GetParam();
    const Configuration& c = kConfigurations[run.configuration];
    // Both host ports reach the logical drive: the second URL is the
    // second path the multipath tests use.
    const harness::ToolRun tool = harness::RunHostTool({"iscsi-test-cu", "--dataloss", "--allow-sanitize", "--verbose", "-i", "iqn.2026-12.test.host:suite", "-I",
                         "iqn.2026-12.test.host:second", "-t", run.family, Url(1), Url(2)},
                        std::chrono::minutes(20), [](const std::function<bool()>&) { return usleep(20000) == 0; });
    ASSERT_NE(tool.output.find("Run Summary"), std::string::npos) << tool.output;
    if (std::getenv("CONFORMANCE_OUTPUT") != nullptr) std::printf("%s\n", tool.output.c_str());
    const std::map<std::string, Verdict> verdicts = ParseVerboseRun(run.family, tool.output);
    ASSERT_FALSE(verdicts.empty()) << tool.output;
    const std::map<std::string, Expected> expected = ReadExpected(CONFORMANCE_EXPECTED);
    ASSERT_FALSE(expected.empty()) << CONFORMANCE_EXPECTED;

    std::map<std::string, int> counts;
    std::string report, changes;
    for (const auto& [test, v] : verdicts) {
        ++counts[v.outcome];
        const auto e = expected.find(test);
        const std::string was = e == expected.end() ? "new" : e->second.outcome[run.configuration];
        if (v.outcome != "passed") {
            // The suite's words, and ours where they say more.
            const size_t from = v.reason.find_first_not_of(" .");
            const std::string said = from == std::string::npos ? "" : v.reason.substr(from);
            const std::string why = e == expected.end() ? "(not in the expected results)" : e->second.why;
            report += "  " + v.outcome + " " + test + ": " + said + "\n";
            if (said.find(why) == std::string::npos) report += "      " + why + "\n";
        }
        if (v.outcome == was || was == "varies") continue;
        changes += "  " + test + ": " + was + ", now " + v.outcome + "\n";
        // A test that passed must go on passing; a skip tests nothing.
        EXPECT_NE(was, "passed") << test << " " << v.outcome << ": " << v.reason;
    }
    for (const auto& [test, e] : expected) {
        if (test.rfind(std::string(run.family) + ".", 0) != 0 || verdicts.count(test) != 0) continue;
        changes += "  " + test + ": no longer run\n";
        EXPECT_NE(e.outcome[run.configuration], "passed") << test << " was not run";
    }
    std::printf("%s family, %s: %d passed, %d failed, %d skipped\n%s", run.family, c.name, counts["passed"],
                counts["failed"], counts["skipped"], report.c_str());
    if (!changes.empty()) std::printf("Changed from %s:\n%s", CONFORMANCE_EXPECTED, changes.c_str());
}

// Each family and configuration is a test of its own, so they run side by
// side; the iSCSI family does not depend on the RAID level.
INSTANTIATE_TEST_SUITE_P(Families, Conformance,
                         ::testing::Values(FamilyRun{0, "SCSI"}, FamilyRun{0, "iSCSI"}, FamilyRun{1, "SCSI"},
                                           FamilyRun{2, "SCSI"}, FamilyRun{2, "iSCSI"}),
                         [](const ::testing::TestParamInfo<FamilyRun>& info) {
                             std::string name = kConfigurations[info.param.configuration].name;
                             name[name.find('-')] = '_';
                             return name + "_" + info.param.family;
                         });

}  // namespace
