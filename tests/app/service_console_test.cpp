// Service staff at the controller program's terminal while a host writes:
// the service phrase, the debug monitor and the Memory Access Menu, and the
// host served throughout with every write it was told was done on the array.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/program_run.h"
#include "app/raid5_data_dir.h"
#include "app/terminal_run.h"
#include "harness/iscsi_remote_host.h"

namespace {

using apptest::TerminalRun;
using iscsitest::RemoteHost;
namespace iscsi = sim::iscsi;

constexpr uint64_t kDriveBytes = 64u << 20;
constexpr const char* kTarget = "iqn.2026-12.sim.array-controller:port1";
constexpr uint16_t kBlocks = 8;

// Screen text without the carriage returns the terminal adds.
std::string Plain(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c != '\r') out.push_back(c);
    }
    return out;
}

std::vector<uint8_t> Pattern(uint32_t n) {
    std::vector<uint8_t> data(kBlocks * 512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(n * 7 + i + (i >> 9));
    return data;
}

// One host writing eight blocks at a time over its own stretch of the
// logical drive, until asked to stop; then it reads back what it was told
// was written.
class Writer {
public:
    explicit Writer(uint16_t port) : m_port(port) { m_thread = std::thread([this] { Run(); }); }
    ~Writer() {
        Stop();
    }
    void Stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }
    uint32_t acknowledged() const { return m_acknowledged; }
    bool failed() const { return m_failed; }
    uint32_t readBack() const { return m_readBack; }

private:
    void Run() {
        std::unique_ptr<RemoteHost> h;
        // The host ports come up after the console: log in until served.
        for (int i = 0; i < 200 && !h && !m_stop; ++i) {
            auto t = std::make_unique<RemoteHost>(m_port);
            if (t->connected && t->LogInNormal({{"ImmediateData", "Yes"}, {"InitialR2T", "No"}}, kTarget)) {
                for (int k = 0; k < 3 && !h; ++k) {
                    t->Send(t->Command(0x81, {0, 0, 0, 0, 0, 0}, 0));
                    const iscsi::Pdu r = t->Next();
                    if (r.opcode() == iscsi::kScsiResponse && r.bhs[3] == 0) h = std::move(t);
                }
            }
            if (!h) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!h) {
            m_failed = true;
            return;
        }
        uint32_t n = 0;
        while (!m_stop) {
            const iscsi::Pdu w = h->Write(iscsitest::Rw10(0x2A, n * kBlocks, kBlocks), Pattern(n), kBlocks * 512);
            if (w.opcode() != iscsi::kScsiResponse || w.bhs[3] != 0) {
                m_failed = true;
                return;
            }
            m_acknowledged = ++n;
            if (n == 4096) n = 0;   // over the stretch again
        }
        for (uint32_t i = 0; i < std::min<uint32_t>(m_acknowledged, 4096); ++i) {
            std::vector<uint8_t> data;
            const iscsi::Pdu r = h->Read(iscsitest::Rw10(0x28, i * kBlocks, kBlocks), kBlocks * 512, &data);
            if (r.bhs[3] != 0 || data != Pattern(i)) {
                m_failed = true;
                return;
            }
            m_readBack = i + 1;
        }
    }

    uint16_t m_port;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_failed{false};
    std::atomic<uint32_t> m_acknowledged{0};
    std::atomic<uint32_t> m_readBack{0};
    std::thread m_thread;
};

class ServiceConsole : public apptest::ProgramTest {
protected:
    void SetUp() override {
        apptest::ProgramTest::SetUp();
        apptest::PlaceRaid5Array(m_dir + "/data", kDriveBytes);
    }
    static inline const std::string kPrompt = "Please Select Option: ";
    static inline const std::string kAnyKey = "Press any key to continue...";
    static inline const std::string kDebug = "Debug> ";
    static inline const std::string kCommand = "Enter Command: ";
};

#define TYPE(keys, text) ASSERT_TRUE(t.Type(keys, text)) << t.Tail()

TEST_F(ServiceConsole, DebugMonitorAndMemoryCommandsWhileAHostWrites) {
    TerminalRun t(m_dir + "/data", {"--drives", "4", "--drive-size", std::to_string(kDriveBytes), "--iscsi",
                                    "127.0.0.1:0"});
    ASSERT_TRUE(t.Started());
    ASSERT_TRUE(t.WaitFor("iSCSI portal on 127.0.0.1:")) << t.Tail();
    const uint16_t port = static_cast<uint16_t>(std::stoi(t.ReadUpTo("\r")));
    ASSERT_TRUE(t.WaitFor("Initialization Complete")) << t.Tail();
    Writer host(port);
    for (int i = 0; i < 600 && host.acknowledged() < 16 && !host.failed(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_FALSE(host.failed());
    ASSERT_GE(host.acknowledged(), 16u);
    const uint32_t dBefore = host.acknowledged();

    // The service phrase in the Diagnostics Menu, then "!".
    TYPE("\x05", kPrompt);
    TYPE("2\r", "Diagnostics Menu (2) (C0)");
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.Tail();
    TYPE("grant diagnostics privilege 3\r", "Advanced Diagnostics Mode 3 Enabled");
    TYPE(" ", "12. Command Trace Utility");
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.Tail();
    TYPE("!", "Entering Monitor Mode");
    ASSERT_TRUE(t.WaitFor(kDebug)) << t.Tail();
    TYPE("help\r", "List of Available Debug Monitor Commands:");
    EXPECT_EQ(Plain(t.ReadUpTo(kDebug)),
              "\n\n\tclearcmdlog\n\texit\n\tgetraidiocnt\n\thelp\n\tset\n\tshowcmdlog\n\tshowsortorder\n\t?\n\n");
    TYPE("set\r", "The following commands may be used to Show or Set variables:");
    ASSERT_TRUE(t.WaitFor(kDebug)) << t.Tail();
    TYPE("set dSortCount\r", "dSortCount current value: ");
    ASSERT_TRUE(t.WaitFor(kDebug)) << t.Tail();
    TYPE("set fWriteSortEnabled TRUE\r", "Value assignment disabled");
    ASSERT_TRUE(t.WaitFor(kDebug)) << t.Tail();
    TYPE("set dsortcount\r", "No Such Variable");
    ASSERT_TRUE(t.WaitFor(kDebug)) << t.Tail();
    TYPE("getraidiocnt\r", kDebug);
    // Cursor up brings the last line back; Enter runs it again.
    ASSERT_TRUE(t.TypeSequence("\x1b[A", "Debug> getraidiocnt")) << t.Tail();
    TYPE("\r", kDebug);
    TYPE("showcmdlog\r", "Command Log");
    EXPECT_NE(Plain(t.ReadUpTo(kDebug)).find("getraidiocnt\ngetraidiocnt\nshowcmdlog"), std::string::npos)
        << t.Tail();
    TYPE("exit\r", "Debug Monitor Inactive");

    // Memory Access Menu: a word written to bank 0 reads back; the FPGA's
    // registers; a display capped at 256 lines; refusals.
    TYPE("\x05", kPrompt);
    TYPE("2\r", "Diagnostics Menu (2) (C0)");
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.Tail();
    TYPE("1\r", "Offline Diagnostics Menu (2-1) (C0)");
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.Tail();
    TYPE("3\r", "Memory Access Menu");
    ASSERT_TRUE(t.WaitFor(kCommand)) << t.Tail();
    // A spot near the top of bank 0 (64 MiB from 0x04000000), which the
    // cache leaves for last.
    const std::string at = "07ff0000";
    TYPE("mw " + at + " beef\r", kCommand);
    TYPE("dw " + at + "\r", at + ": beef");
    ASSERT_TRUE(t.WaitFor(kCommand)) << t.Tail();
    TYPE("dd f100f000 4\r", "f100f000: ");
    const std::string fpga = t.ReadUpTo(kCommand);
    EXPECT_NE(fpga.find("f100f00c: "), std::string::npos) << fpga;
    // A display is capped at 256 lines.
    TYPE("dw " + at + " 1000\r", at + ": beef");
    const std::string words = t.ReadUpTo(kCommand);
    size_t lines = 0;
    for (size_t i = words.find('\n'); i != std::string::npos; i = words.find('\n', i + 1)) ++lines;
    EXPECT_EQ(lines, 256u + 1) << words;
    for (const std::string& line : {std::string("dd fffffffc 2"), std::string("dd f2000000"),
                                    std::string("md f100f000 1"), std::string("dd 00300000")}) {
        TYPE(line + "\r", "Invalid Arguments");
        TYPE(" ", kCommand);
    }

    // The host was served all along.
    EXPECT_GT(host.acknowledged(), dBefore);
    host.Stop();
    EXPECT_FALSE(host.failed()) << host.acknowledged() << " written, " << host.readBack() << " read back";
    EXPECT_EQ(host.readBack(), std::min<uint32_t>(host.acknowledged(), 4096));
}

}  // namespace
