// The controller program on a terminal, as an operator uses it: Ctrl-E,
// the menus, two RAID 5 arrays (by hand and by proposal) with logical drives
// on them, saved; then a new run on the same data directory finds and shows
// them.  With hosts over iSCSI: a LUN mapping made for the host whose names
// the program printed at its login; and a long view held and let go while a
// host writes.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <random>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/program_run.h"
#include "app/terminal_run.h"
#include "harness/iscsi_remote_host.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "system/road_config.h"

namespace {

using apptest::TerminalRun;

class ConsoleTerminal : public apptest::ProgramTest {
protected:
    // Ctrl-E, then the Configuration Menu once no commit or drive scan
    // holds the configuration (asked again and again meanwhile, as an
    // operator would; the deadline only ends a run that never gets there).
    static void OpenConfiguration(TerminalRun& t) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            ASSERT_TRUE(t.Type("\x05", kPrompt)) << t.Tail();
            ASSERT_TRUE(t.Type("1\r", "\r")) << t.Tail();
            const int iSeen = t.WaitForOneOf({"Configuration Menu (1) (C0)", "Please Wait"});
            ASSERT_GE(iSeen, 0) << t.Tail();
            // Every screen is read to its end: no later wait can take an
            // earlier screen's text for its own.
            ASSERT_TRUE(t.WaitFor(iSeen == 0 ? kPrompt : kAnyKey)) << t.Tail();
            if (iSeen == 0) return;
        }
        FAIL() << t.Tail();
    }
    static void MakeRaid5ArrayByHand(TerminalRun& t, const std::string& chunkKey = "2\r");
    static void MakeLogicalDrivesAndSave(TerminalRun& t, const std::string& count = "2");
    static inline const std::string kPrompt = "Please Select Option: ";
    static inline const std::string kAnyKey = "Press any key to continue...";
};

// The keys, and the text they bring, which ends the screen (a question);
// a menu, read to its prompt; a result, read to its pause.
#define TYPE(keys, text) ASSERT_TRUE(t.Type(keys, text)) << t.Tail()
#define MENU(keys, text) \
    TYPE(keys, text);    \
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.Tail()
#define RESULT(keys, text) \
    TYPE(keys, text);      \
    ASSERT_TRUE(t.WaitFor(kAnyKey)) << t.Tail()

// From the Configuration Menu, by hand: RAID 5/50, 128 K chunks (or the
// chunk size chosen), the first three drives; back in the Array
// Configuration Menu.
void ConsoleTerminal::MakeRaid5ArrayByHand(TerminalRun& t, const std::string& chunkKey) {
    MENU("1\r", "Array Configuration Menu (1-1) (C0)");
    MENU("2\r", "8 unused drives available for configuration");
    MENU("3\r", "RAID 5/50 Array Configuration Menu");
    MENU("1\r", "Select Chunk Size");
    TYPE(chunkKey, "Add this Disk Drive? (Y or N, <CR> = Y): ");
    for (int i = 0; i < 2; ++i) {
        TYPE("\r", "Continue adding disk drives? (Y or N, <CR> = Y): ");
        TYPE("\r", "Add this Disk Drive? (Y or N, <CR> = Y): ");
    }
    TYPE("\r", "Continue adding disk drives? (Y or N, <CR> = Y): ");
    TYPE("n\r", kAnyKey);
    TYPE(" ", "Select percentage of drive capacity to reserve (<CR> = 1%): ");
    RESULT("\r", "Array 00 Successfully Created");
    MENU(" ", "Array Configuration Menu (1-1) (C0)");
}

// From the Configuration Menu: two logical drives (or one) over all the
// free space, saved; back in the Main Menu.
void ConsoleTerminal::MakeLogicalDrivesAndSave(TerminalRun& t, const std::string& count) {
    MENU("2\r", "Logical Drive Configuration Menu (1-2) (C0)");
    MENU("2\r", "2.  All Unused Free Space Regions (");
    TYPE("2\r", "Enter number of logical drives to create (");
    ASSERT_TRUE(t.WaitFor("(<CR> = 1): ")) << t.Tail();
    TYPE(count + "\r", "Enter size of logical drive");
    ASSERT_TRUE(t.WaitFor("(<CR> = MAX): ")) << t.Tail();
    MENU("\r", "2.  4096 Bytes Host Block Size");
    RESULT("1\r", count == "1" ? "Logical Drive 000 Successfully Created" : "Logical Drives 000 to 001 Successfully Created");
    MENU(" ", "Logical Drive Configuration Menu (1-2) (C0)");
    MENU("0\r", "0.  Save and Exit");
    TYPE("0\r", "Confirm saving of new configuration (Y or N): ");
    RESULT("y\r", "Saving Configuration");
    MENU(" ", "Main Menu (C0)");
}

// Every key counts.  Keys typed in one burst, as a fast typist or a paste
// sends them, while the controller still answers the first: an option, a
// key for the pause it brings and the option after it.  And the LF that
// some terminals send after the CR of Enter, arriving once the menu is
// drawn again, is no key of the next line.
TEST_F(ConsoleTerminal, KeysTypedAheadAndTheLineFeedOfEnterAtAPause) {
    TerminalRun t(m_dir);
    ASSERT_TRUE(t.Started());
    ASSERT_TRUE(t.WaitFor("Initialization Complete")) << t.Tail();
    ASSERT_TRUE(t.Type("\x05", kPrompt)) << t.Tail();
    MENU("2\r", "Diagnostics Menu (2) (C0)");
    MENU("2\r", "Online Diagnostics Menu (2-2) (C0)");
    MENU("2\r", "Drive Maintenance Menu (2-2-2) (C0)");
    const std::string refused = "No Valid Drive Firmware Available";
    const std::string menu = "Drive Maintenance Menu (2-2-2) (C0)";
    ASSERT_TRUE(t.Press("3\r 3\r"));
    ASSERT_TRUE(t.WaitFor(refused)) << t.Tail();
    ASSERT_TRUE(t.WaitFor(kAnyKey)) << t.Tail();
    ASSERT_TRUE(t.WaitFor(menu)) << t.Tail();
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.Tail();
    ASSERT_TRUE(t.WaitFor(refused)) << t.Tail();
    ASSERT_TRUE(t.WaitFor(kAnyKey)) << t.Tail();

    ASSERT_TRUE(t.Press("\r"));
    ASSERT_TRUE(t.WaitFor(menu)) << t.Tail();
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.Tail();
    ASSERT_TRUE(t.Press("\n"));
    t.Collect();
    ASSERT_TRUE(t.Press("3\r\n"));
    ASSERT_TRUE(t.WaitFor(refused)) << t.Tail();
    ASSERT_TRUE(t.WaitFor(kAnyKey)) << t.Tail();
}

TEST_F(ConsoleTerminal, Raid5ArraysMadeAtTheConsoleOutliveTheRun) {
    {
        TerminalRun t(m_dir);
        ASSERT_TRUE(t.Started());
        ASSERT_TRUE(t.WaitFor("Initialization Complete")) << t.Tail();
        OpenConfiguration(t);
        ASSERT_NO_FATAL_FAILURE(MakeRaid5ArrayByHand(t));
        // By proposal: four alike drives of the five left.
        MENU("2\r", "5 unused drives available for configuration");
        MENU("3\r", "4 Drives, 1 Subarray");
        RESULT("2\r", "Array 01 Successfully Created");
        MENU(" ", "Array Configuration Menu (1-1) (C0)");
        MENU("0\r", "0.  Save and Exit");
        ASSERT_NO_FATAL_FAILURE(MakeLogicalDrivesAndSave(t));
        // The edit opens again only once the commit has written the drives.
        OpenConfiguration(t);
        MENU("0\r", "Main Menu (C0)");
    }
    TerminalRun t(m_dir);
    ASSERT_TRUE(t.WaitFor("Initialization Complete")) << t.Tail();
    OpenConfiguration(t);
    MENU("1\r", "1.  View Arrays");
    // The arrays as saved, each with its members.
    TYPE("1\r", "Array:00 RAID 5, ");
    ASSERT_TRUE(t.WaitFor("Array:01 RAID 5, ")) << t.Tail();
    ASSERT_TRUE(t.WaitFor(kAnyKey)) << t.Tail();
    MENU(" ", "1.  View Arrays");
    MENU("2\r", "1 unused drives available for configuration");
    MENU("0\r", "1.  View Arrays");
    MENU("0\r", "Configuration Menu (1) (C0)");
    MENU("2\r", "1.  View Logical Drives");
    TYPE("1\r", "LD:000 ");
    ASSERT_TRUE(t.WaitFor("LD:001 ")) << t.Tail();
    ASSERT_TRUE(t.WaitFor(kAnyKey)) << t.Tail();
    MENU(" ", "1.  View Logical Drives");
}

// A TCP port of the loopback interface that nothing listens on now, for
// the program to listen on.  It is taken below the range the system hands
// out for outgoing connections: a port from that range may become the
// local end of another test's connection before the program binds it.
// Each test process walks its own sequence, so that no two of its tests
// are given the same port.
int FreeLoopbackPort() {
    static std::minstd_rand pick(static_cast<unsigned>(getpid()));
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int port = 20000 + int(pick() % 12000);
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(uint16_t(port));
        const bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (free) return port;
    }
    return -1;
}

// A host tool run to its end, its output (a minute at most).
std::string HostTool(const std::string& command) {
    std::string output;
    FILE* pipe = popen(("timeout 60 " + command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    pclose(pipe);
    return output;
}

// The LUNs iscsi-ls lists for one host port target.
std::string LunsOf(const std::string& listing, int port) {
    const std::string target = "Target:iqn.2026-12.sim.array-controller:port" + std::to_string(port);
    const size_t at = listing.find(target);
    if (at == std::string::npos) return "no target";
    const size_t end = listing.find("Target:", at + target.size());
    std::string luns;
    for (size_t l = listing.find("Lun:", at); l < end && l != std::string::npos; l = listing.find("Lun:", l + 4)) {
        const size_t stop = listing.find_first_of(" \n", l + 4);
        luns += listing.substr(l + 4, stop - l - 4) + ";";
    }
    return luns;
}

// The host ports of each kind the portal serves: Fibre Channel hosts are
// named by a node and a port name, SAS hosts by one SAS address.
class HostNamesAtTheConsole : public ConsoleTerminal, public testing::WithParamInterface<const char*> {
protected:
    bool Sas() const { return std::string(GetParam()) == "sas"; }
    // The names the program logged at `host`'s first login (on either
    // port: the names are the host's), as the mapping menu asks for them.
    // The terminal is the console's: the program names hosts in the data
    // directory's iscsi.log, never between the console's lines.
    static std::vector<std::string> NamesOf(const std::string& dir, const std::string& host, bool fSas) {
        std::ifstream log(dir + "/iscsi.log");
        const std::string head = "controller: iSCSI initiator " + host + " on port";
        for (std::string line; std::getline(log, line);) {
            if (line.rfind(head, 0) != 0) continue;
            const std::string label = fSas ? ": SAS address " : ": node name ";
            const size_t at = line.find(label);
            if (at == std::string::npos) return {};
            const std::string rest = line.substr(at + label.size());
            if (fSas) return {rest};
            const size_t comma = rest.find(", port name ");
            if (comma == std::string::npos) return {};
            return {rest.substr(0, comma), rest.substr(comma + 12)};
        }
        return {};
    }
};

// The host tool's listing for `host` once both port targets answer with
// their LUNs.  The host ports come up after the console (SAS ports some
// seconds of the board's time after the target driver starts): until they
// do, a login finds a port missing or refused, and is tried again after
// what the program writes meanwhile has been read.  A board busy
// initialising an array takes many times its own time on the wall clock
// under a loaded machine; the deadline only ends a run whose ports never
// come up.
std::string ListingOnceBothPortsServe(TerminalRun& t, const std::string& host, const std::string& portal) {
    std::string listing;
    const auto serving = [&listing](int port) {
        const std::string luns = LunsOf(listing, port);
        return luns != "no target" && !luns.empty();
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    for (bool fFirst = true; !(serving(1) && serving(2)) && std::chrono::steady_clock::now() < deadline;
         fFirst = false) {
        if (!fFirst) t.Collect();
        listing = HostTool("iscsi-ls -s -i " + host + " " + portal);
    }
    return listing;
}

TEST_P(HostNamesAtTheConsole, AnIscsiHostsMappingMadeFromTheNamesItLoggedInWithHoldsAcrossARun) {
    const int port = FreeLoopbackPort();
    ASSERT_GT(port, 0);
    const std::string portal = "iscsi://127.0.0.1:" + std::to_string(port);
    const std::string hostA = "iqn.2026-12.test.host:a";
    const std::string hostB = "iqn.2026-12.test.host:b";
    const std::vector<std::string> iscsi = {"--iscsi", "127.0.0.1:" + std::to_string(port), "--host-interface",
                                            GetParam()};
    {
        TerminalRun t(m_dir, iscsi);
        ASSERT_TRUE(t.Started());
        ASSERT_TRUE(t.WaitFor("Initialization Complete")) << t.Tail();
        OpenConfiguration(t);
        ASSERT_NO_FATAL_FAILURE(MakeRaid5ArrayByHand(t));
        MENU("0\r", "0.  Save and Exit");
        ASSERT_NO_FATAL_FAILURE(MakeLogicalDrivesAndSave(t));
        OpenConfiguration(t);

        // Host A logs in once: the program names it.
        const std::string before = ListingOnceBothPortsServe(t, hostA, portal);
        ASSERT_EQ(LunsOf(before, 1), "0;1;") << before;
        const std::vector<std::string> names = NamesOf(m_dir, hostA, Sas());
        ASSERT_EQ(names.size(), Sas() ? 1u : 2u) << t.Tail();
        t.Collect();
        const std::string console = t.Screen().substr(t.Screen().find("Initialization Complete"));
        EXPECT_EQ(console.find("controller:"), std::string::npos) << t.Tail();
        for (const std::string& name : names) ASSERT_EQ(name.size(), 16u) << t.Tail();

        // Logical drive 1 at LUN 0 for host A, through port 1 only (the
        // host tools give up on a target whose LUN 0 holds nothing).
        MENU("4\r", "SAN LUN Mapping Configuration Menu (1-4) (C0)");
        TYPE("2\r", "Enter a name for this mapping (1 to 32 characters): ");
        MENU("Host A\r", "1.  Enter Manually");
        if (Sas()) {
            TYPE("1\r", "Enter SAS Address (8 bytes hexadecimal): ");
        } else {
            TYPE("1\r", "Enter Node Name (8 bytes hexadecimal): ");
            TYPE(names[0] + "\r", "Enter Port Name (8 bytes hexadecimal): ");
        }
        TYPE(names.back() + "\r", "logical drive number to map or enter <Q> to quit.               : ");
        TYPE("1\r", "Controller 0 Port 0     (Y or N, <CR> = Y): ");
        TYPE("y\r", "Controller 0 Port 1     (Y or N, <CR> = Y): ");
        TYPE("n\r", "Controller 1 Port 0     (Y or N, <CR> = Y): ");
        TYPE("n\r", "Controller 1 Port 1     (Y or N, <CR> = Y): ");
        TYPE("n\r", "(Y or N, <CR> = N): ");
        TYPE("\r", "present this logical drive to the host                : ");
        TYPE("0\r", kAnyKey);
        TYPE(" ", "logical drive number to continue setting up this mapping.                 : ");
        TYPE("e\r", "to the host or enter <D> to disable.                                      : ");
        RESULT("d\r", "SAN LUN Mapping Added");
        MENU(" ", "SAN LUN Mapping Configuration Menu (1-4) (C0)");
        MENU("0\r", "0.  Save and Exit");
        TYPE("0\r", "Confirm saving of new configuration (Y or N): ");
        RESULT("y\r", "Saving Configuration");
        MENU(" ", "Main Menu (C0)");
        OpenConfiguration(t);
    }
    // Host B keeps logical drive 0 on both ports and has lost logical
    // drive 1; host A has logical drive 1 at LUN 0 through port 1 and
    // nothing through port 2 (where the listing tool stops at its empty
    // LUN 0, so A's ports are asked one by one).
    for (int run = 0; run < 2; ++run) {
        TerminalRun t(m_dir, iscsi);
        ASSERT_TRUE(t.WaitFor("Initialization Complete")) << t.Tail();
        OpenConfiguration(t);
        const std::string b = ListingOnceBothPortsServe(t, hostB, portal);
        EXPECT_EQ(LunsOf(b, 1), "0;") << b;
        EXPECT_EQ(LunsOf(b, 2), "0;") << b;
        const std::string target = portal + "/iqn.2026-12.sim.array-controller:port";
        const std::string a1 = HostTool("iscsi-inq -i " + hostA + " " + target + "1/0");
        EXPECT_NE(a1.find("Peripheral Device Type:DIRECT_ACCESS"), std::string::npos) << a1;
        // A's first login on port 2 of this run is served from the port's
        // default presentation until the port's initiator scan has run again
        // and found A mapped; ask until it has (a bounded number of times).
        std::string a2 = HostTool("iscsi-inq -i " + hostA + " " + target + "2/0");
        for (int i = 0; i < 30 && a2.find("Peripheral Device Type:DIRECT_ACCESS") != std::string::npos; ++i)
            a2 = HostTool("iscsi-inq -i " + hostA + " " + target + "2/0");
        EXPECT_EQ(a2.find("Peripheral Device Type:DIRECT_ACCESS"), std::string::npos) << a2;
    }
}


INSTANTIATE_TEST_SUITE_P(Ports, HostNamesAtTheConsole, testing::Values("fc", "sas"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// The longest view there is, 200 logical drives, while an iSCSI host keeps
// writing: the host's commands go on completing throughout; Ctrl-S holds the
// text and Ctrl-Q lets it go on, with nothing lost or repeated; keys typed
// while the page runs change nothing; the page ends with its pause, and a
// key brings the menu back.
TEST_F(ConsoleTerminal, ALongViewPausesAndResumesWhileAHostWrites) {
    const int port = FreeLoopbackPort();
    ASSERT_GT(port, 0);
    TerminalRun t(m_dir, {"--iscsi", "127.0.0.1:" + std::to_string(port), "--drive-size", "30000000000"});
    ASSERT_TRUE(t.Started());
    ASSERT_TRUE(t.WaitFor("Initialization Complete")) << t.Tail();
    OpenConfiguration(t);
    // RAID 0 over the eight drives, by proposal; 200 logical drives of 1 GB.
    MENU("1\r", "Array Configuration Menu (1-1) (C0)");
    MENU("2\r", "8 unused drives available for configuration");
    MENU("1\r", "RAID 0 Array Configuration Menu");
    RESULT("2\r", "Array 00 Successfully Created");
    MENU(" ", "Array Configuration Menu (1-1) (C0)");
    MENU("0\r", "0.  Save and Exit");
    MENU("2\r", "Logical Drive Configuration Menu (1-2) (C0)");
    MENU("2\r", "2.  All Unused Free Space Regions (");
    TYPE("2\r", "Enter number of logical drives to create (1..");
    ASSERT_TRUE(t.WaitFor("(<CR> = 1): ")) << t.Tail();
    TYPE("200\r", "Enter size of logical drives to create (Max 1 GB) (<CR> = MAX): ");
    MENU("1\r", "1.  512 Bytes Host Block Size");
    RESULT("1\r", "Logical Drives 000 to 199 Successfully Created");
    MENU(" ", "Logical Drive Configuration Menu (1-2) (C0)");
    MENU("0\r", "0.  Save and Exit");
    TYPE("0\r", "Confirm saving of new configuration (Y or N): ");
    RESULT("y\r", "Saving Configuration");
    MENU(" ", "Main Menu (C0)");
    OpenConfiguration(t);
    MENU("2\r", "1.  View Logical Drives");

    // The host ports come up after the console: a refused login is tried
    // again, as an initiator does.
    std::unique_ptr<iscsitest::RemoteHost> session;
    for (int i = 0; i < 50 && !session; ++i) {
        session = std::make_unique<iscsitest::RemoteHost>(static_cast<uint16_t>(port));
        if (!session->connected || !session->LogInNormal({}, "iqn.2026-12.sim.array-controller:port1")) session.reset();
    }
    ASSERT_TRUE(session) << t.Tail();
    iscsitest::RemoteHost& host = *session;
    uint32_t written = 0;
    // One WRITE(10) of 8 blocks to logical drive 0, answered GOOD.
    auto Write = [&] {
        std::vector<uint8_t> cdb = {0x2A, 0, 0, 0, 0, uint8_t(written % 200), 0, 0, 8, 0};
        const sim::iscsi::Pdu r = host.Write(cdb, std::vector<uint8_t>(4096, uint8_t(written)), 0);
        ++written;
        return r.opcode() == sim::iscsi::kScsiResponse && r.bhs[3] == 0;
    };
    // A unit attention may come first.
    bool fReady = false;
    for (int i = 0; i < 4 && !fReady; ++i) fReady = Write();
    ASSERT_TRUE(fReady);

    const size_t start = t.Seen();
    TYPE("1\r", "LD:050 ");
    t.Press("\x13");
    // The text stops, the host's writes do not: once the output the pause
    // met has drained, nothing more comes however much the host writes.
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(Write()) << i;
    t.Collect();
    const size_t held = t.Screen().size();
    // Keys typed meanwhile: a menu choice, Exit, a stray letter.
    t.Press("2\r0\rx");
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(Write()) << i;
    t.Collect();
    EXPECT_EQ(t.Screen().size(), held) << t.Screen().substr(held);
    EXPECT_EQ(t.Screen().find("LD:199 ", start), std::string::npos);
    t.Press("\x11");
    const std::string page = t.ReadUpTo("Press any key to continue...");
    ASSERT_FALSE(page.empty()) << t.Tail();
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(Write()) << i;
    // The page waits for its key: the keys typed during the pause did not
    // take it back to the menu.
    t.Collect();
    EXPECT_EQ(t.Screen().find("Menu", t.Seen()), std::string::npos) << t.Screen().substr(t.Seen());
    // Every logical drive once, in order.
    const std::string all = t.Screen().substr(start);
    size_t at = 0;
    for (int ld = 0; ld < 200; ++ld) {
        char name[16];
        std::snprintf(name, sizeof name, "LD:%03d ", ld);
        const size_t next = all.find(name, at);
        ASSERT_NE(next, std::string::npos) << name;
        at = next + 1;
        EXPECT_EQ(all.find(name, at), std::string::npos) << name << " twice";
    }
    // The page ends, and a key brings the menu, unchanged by the keys typed.
    MENU(" ", "Logical Drive Configuration Menu (1-2) (C0)");
    MENU("0\r", "Configuration Menu (1) (C0)");
}

}  // namespace

// A RAID 5 array of four drives with room for its member size and the
// configuration copy, in the data directory given, with two drives left
// unused (slots 5 and 6); by default a small one.
constexpr uint64_t kRebuildDriveBytes = 48ull << 20;
constexpr uint32_t kRebuildArrayBlocks = 3 * 16384;
void MakeRebuildArray(const std::string& dir, uint64_t driveBytes = kRebuildDriveBytes,
                      uint32_t arrayBlocks = kRebuildArrayBlocks) {
    sim::ChassisOptions o;
    o.drives = 6;
    o.driveBytes = driveBytes;
    o.directory = dir;
    sim::Chassis chassis(o);
    const uint64_t own = 0x200000A55A000000ull | (sim::BoardConfig().wwn & 0xFFFFFFull);
    std::vector<uint8_t> copy =
        roadtest::RoadConfiguration(chassis, {"Raid5", fw::RAID_LEVEL_5, 4, 64, 0, true, arrayBlocks}, own);
    // As the array's creation stores it: its parity drive and row size.
    fw::CONFIG_RANK_RECORD& r = copytest::Image(copy)->asRank[0];
    r.bParityCount = 1;
    r.dStripeSize = 3 * 64 * 512;
    r.bInitState = fw::RANK_STATE_OPTIMAL;
    copytest::Seal(copy);
    for (unsigned s = 1; s <= 4; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), copy);
}

// An iSCSI host writing the array's logical drive: what it was told is
// written, block for block.
struct WritingHost {
    std::unique_ptr<iscsitest::RemoteHost> host;
    std::vector<uint8_t> model = std::vector<uint8_t>(size_t(kRebuildArrayBlocks) * 512);
    std::vector<std::pair<uint32_t, uint16_t>> written;
    std::mt19937 rng{33};
    uint32_t refused = 0;

    // Logged in once the logical drive at LUN 0 tells its capacity, as a
    // host reads it before it writes: a drive saved at the console moments
    // ago may have none yet, and until it has, the port answers its reads
    // and writes LOGICAL UNIT NOT SUPPORTED (a test unit ready already
    // passes).  The first answers also collect the login's unit attention.
    bool LogIn(int port) {
        for (int i = 0; i < 100; ++i) {
            host = std::make_unique<iscsitest::RemoteHost>(uint16_t(port));
            if (host->connected && host->LogInNormal({{"MaxRecvDataSegmentLength", "262144"}, {"ImmediateData", "Yes"},
                                                      {"InitialR2T", "No"}, {"FirstBurstLength", "262144"}},
                                                     "iqn.2026-12.sim.array-controller:port1")) {
                for (int k = 0; k < 3; ++k) {
                    std::vector<uint8_t> capacity;
                    if (host->Read({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, &capacity).bhs[3] == 0) return true;
                }
            }
            usleep(100'000);
        }
        return false;
    }
    // One write of 4 to 32 KiB somewhere on the drive.
    void WriteOne() {
        const uint16_t blocks = uint16_t(8 * (1 + rng() % 8));
        const uint32_t lba = rng() % (kRebuildArrayBlocks - blocks);
        std::vector<uint8_t> data(size_t(blocks) * 512);
        for (uint8_t& b : data) b = uint8_t(rng());
        const sim::iscsi::Pdu r = host->Write(iscsitest::Rw10(0x2A, lba, blocks), data, uint32_t(data.size()),
                                              uint32_t(data.size()));
        if (r.opcode() != sim::iscsi::kScsiResponse || r.bhs[3] != 0) {
            ++refused;
            return;
        }
        std::copy(data.begin(), data.end(), model.begin() + ptrdiff_t(lba) * 512);
        written.emplace_back(lba, blocks);
    }
    // Every block ever acknowledged reads back as last written.
    void ExpectAllReadBack() {
        for (const auto& [lba, blocks] : written) {
            std::vector<uint8_t> data;
            const sim::iscsi::Pdu r = host->Read(iscsitest::Rw10(0x28, lba, blocks), uint32_t(blocks) * 512, &data);
            ASSERT_EQ(r.bhs[3], 0) << "read at " << lba;
            ASSERT_TRUE(std::equal(data.begin(), data.end(), model.begin() + ptrdiff_t(lba) * 512))
                << "blocks " << lba << "+" << blocks;
        }
    }
};

// From the Main Menu: the dump options with diagnostics level 2.
void GrantDumps(TerminalRun& t) {
    const std::string kPrompt = "Please Select Option: ";
    ASSERT_TRUE(t.Type("\x05", kPrompt)) << t.Tail();
    ASSERT_TRUE(t.Type("2\r", "Diagnostics Menu")) << t.Tail();
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.Tail();
    ASSERT_TRUE(t.Type("grant diagnostics privilege 2\r", "Press any key to continue...")) << t.Tail();
    ASSERT_TRUE(t.Type(" ", "Diagnostics Menu")) << t.Tail();
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.Tail();
    ASSERT_TRUE(t.Type("\x05", "11. Dump Rebuild Parameters")) << t.Tail();
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.Tail();
}

// The rebuild as option 11 of the Main Menu shows it: its percent while
// one is recorded (-1 when none is, -2 an answer it never finished), and
// the drive of the last rebuild that reached its end (the WWN its record
// in NVRAM names), empty when the record is not of an ended rebuild.
struct RebuildLook {
    int percent = -2;
    std::string ended;
};
RebuildLook LookAtRebuild(TerminalRun& t) {
    RebuildLook look;
    if (!t.Type("11\r", "Rebuild Info:")) return look;
    const std::string info = t.ReadUpTo("Estimated Time Remaining:");
    if (info.find("NVIn Prog:f1") == std::string::npos) {
        look.percent = -1;
    } else if (info.rfind(" (", 0) == 0) {
        look.percent = std::atoi(info.c_str() + 2);
    }
    // The record in use is copy 1 when D1Valid is set, else copy 2.
    const bool fFirst = info.find("D1Valid:f1") != std::string::npos;
    const size_t at = info.find(fFirst ? "NV Data 1:" : "NV Data 2:");
    const size_t wwn = info.find("WWN: ", at);
    const size_t start = info.find("Start:", at);
    if (at == std::string::npos || wwn == std::string::npos || start == std::string::npos) return look;
    const std::string drive = info.substr(wwn + 5, 16);
    const std::string position = info.substr(start + 6, 8);
    const std::string last = info.substr(std::min(start + 19, info.size()), 8);
    // The end is the last block; the position of an ended rebuild is past
    // it (both eight hex digits, so they compare as text).
    if (look.percent < 0 && drive != std::string(16, '0') && last.size() == 8 && position > last) look.ended = drive;
    return look;
}

// Host writes go on while the console follows the rebuild from its start
// to its end; then the host stops and the rebuild is followed to its end.
// The program runs in virtual time: while it waits for the host or the
// console its time runs ahead, so a rebuild may begin and end between two
// looks.  It is then known by its record in NVRAM naming a drive other
// than `rebuilt`, the drive of the rebuild before; `rebuilt` becomes the
// drive of this one.
void FollowRebuildUnderWrites(TerminalRun& t, WritingHost& h, std::string& rebuilt) {
    int last = -1;
    bool fSeen = false;
    size_t during = 0;
    // About 80 s at most: a loaded machine slows the program's rebuild.
    for (int i = 0; i < 1900; ++i) {
        if (i < 300) {
            const size_t before = h.written.size();
            for (int w = 0; w < 4; ++w) h.WriteOne();
            if (fSeen) during += h.written.size() - before;
        } else {
            usleep(50'000);
        }
        const RebuildLook look = LookAtRebuild(t);
        ASSERT_NE(look.percent, -2) << t.Tail();
        if (look.percent >= 0) {
            ASSERT_GE(look.percent, last) << "the percent went back";
            last = look.percent;
            fSeen = true;
        } else if (fSeen || (!look.ended.empty() && look.ended != rebuilt)) {
            if (fSeen) {
                EXPECT_GT(during, 0u) << "no write was served while the rebuild ran";
            }
            ASSERT_FALSE(look.ended.empty()) << "the rebuild left no record of its end: " << t.Tail();
            EXPECT_NE(look.ended, rebuilt) << "the rebuild's record names the drive of the one before";
            rebuilt = look.ended;
            return;
        }
    }
    FAIL() << "the rebuild did not end: " << t.Tail();
}

// Whether option 11 of the Main Menu shows a stripe initialisation in
// progress: 1 yes, 0 none, -1 an answer it never finished.
int StripeInitShown(TerminalRun& t) {
    if (!t.Type("11\r", "PCHK:")) return -1;
    const int iSeen = t.WaitForOneOf({"No Stripe Init In Progress", "Stripe Init Stats, "});
    if (iSeen < 0 || !t.WaitFor(iSeen == 0 ? "\n" : "Host Txfr:")) return -1;
    return iSeen == 1 ? 1 : 0;
}

// The expansion as option 11 of the Main Menu shows it: its percent while
// one runs, -1 once none is recorded, -2 for a screen it never finished.
int ExpansionPercent(TerminalRun& t) {
    if (!t.Type("11\r", "Rank Expansion Info: ")) return -2;
    const std::string info = t.ReadUpTo("%");
    if (info.empty() || !t.WaitFor("PCHK:")) return -2;
    const int iSeen = t.WaitForOneOf({"No Stripe Init In Progress", "Stripe Init Stats, "});
    if (iSeen < 0 || !t.WaitFor(iSeen == 0 ? "\n" : "Host Txfr:")) return -2;
    if (info.find("In Progress:NV:f1") == std::string::npos) return -1;
    const size_t at = info.find("Percent:");
    return at == std::string::npos ? -2 : std::atoi(info.c_str() + at + 8);
}

// A RAID 5 array made at the console is written by an iSCSI host, one
// write at a time, while it initialises: option 11 of the Main Menu shows
// the walk between the writes.  Every write is answered GOOD (a write that
// waited seconds of the board's time would meet the portal's keepalive
// instead), and every write reads back.
TEST_F(ConsoleTerminal, ARaid5MadeAtTheConsoleServesIscsiWritesWhileItInitialises) {
    const int port = FreeLoopbackPort();
    ASSERT_GT(port, 0);
    // Each drive keeps its first GiB for the cache flush, and a logical
    // drive is at least one "GB": the smallest drives that hold one.  In
    // 256 K chunks the walk has some six thousand rows, far more than the
    // writes last.
    TerminalRun t(m_dir, {"--iscsi", "127.0.0.1:" + std::to_string(port), "--drive-size",
                          std::to_string((1552ull << 20))});
    ASSERT_TRUE(t.WaitFor("Initialization Complete")) << t.Tail();
    OpenConfiguration(t);
    ASSERT_NO_FATAL_FAILURE(MakeRaid5ArrayByHand(t, "3\r"));
    MENU("0\r", "0.  Save and Exit");
    ASSERT_NO_FATAL_FAILURE(MakeLogicalDrivesAndSave(t, "1"));
    WritingHost h;
    ASSERT_TRUE(h.LogIn(port)) << t.Tail();
    ASSERT_NO_FATAL_FAILURE(GrantDumps(t));
    // The array's writes share the cache from the 33rd in flight on: more
    // than that many, several times over.
    size_t during = 0;
    for (int i = 0; i < 25; ++i) {
        const size_t before = h.written.size();
        for (int w = 0; w < 4; ++w) h.WriteOne();
        ASSERT_EQ(h.refused, 0u) << "write " << h.written.size() << " was not answered GOOD: " << t.Tail();
        const int shown = StripeInitShown(t);
        ASSERT_GE(shown, 0) << t.Tail();
        if (shown == 1) during += h.written.size() - before;
    }
    EXPECT_GT(during, 0u) << "no write was served while the array initialised";
    ASSERT_NO_FATAL_FAILURE(h.ExpectAllReadBack());
}

// A spare added and Auto Rebuild, Auto Hot Spare and the rebuild priority
// set at the console.  Then a member's drive is pulled while an iSCSI host
// writes: the rebuild onto the spare starts by itself and is followed at
// the console to its end.  In the next run a member's drive is replaced by
// a blank one: with no spare left, the new drive in the slot is rebuilt.
// The settings show as made, and every write acknowledged reads back.
TEST_F(ConsoleTerminal, AMemberLostUnderHostWritesIsRebuiltOntoTheSpareThenOntoANewDriveInItsSlot) {
    MakeRebuildArray(m_dir);
    const std::string sizes = std::to_string(kRebuildDriveBytes);
    {
        TerminalRun t(m_dir, {"--drives", "6", "--drive-size", sizes});
        ASSERT_TRUE(t.WaitFor("Initialization Complete")) << t.Tail();
        OpenConfiguration(t);
        MENU("5\r", "Rebuild/Initialization Configuration Menu");
        MENU("2\r", "Add Hot Spare Configuration Menu");
        TYPE("2\r", "Add this Disk Drive? (Y or N, <CR> = Y): ");
        TYPE("\r", "Continue adding disk drives? (Y or N, <CR> = Y): ");
        TYPE("n\r", kAnyKey);
        RESULT(" ", "01 Hot Spare Drives Added");
        MENU(" ", "Rebuild/Initialization Configuration Menu");
        // Each switch off (whatever it was), then on.
        for (const char* key : {"4\r", "6\r"}) {
            const std::string what = key[0] == '4' ? "Auto Rebuild" : "Auto Hot Spare";
            TYPE(key, "Enable " + what + "? (Y or N): ");
            TYPE("n\r", "\r");
            ASSERT_GE(t.WaitForOneOf({what + " Disabled", "No Change"}), 0) << t.Tail();
            ASSERT_TRUE(t.WaitFor(kAnyKey)) << t.Tail();
            MENU(" ", "Rebuild/Initialization Configuration Menu");
            TYPE(key, "Enable " + what + "? (Y or N): ");
            RESULT("y\r", what + " Enabled");
            MENU(" ", "Rebuild/Initialization Configuration Menu");
        }
        TYPE("5\r", "New Rebuild Priority(10 - 90): ");
        RESULT("30\r", "Rebuild Priority Changed to 30 %");
        MENU(" ", "Rebuild/Initialization Configuration Menu");
        MENU("0\r", "0.  Save and Exit");
        TYPE("0\r", "Confirm saving of new configuration (Y or N): ");
        RESULT("y\r", "Saving Configuration");
        MENU(" ", "Main Menu (C0)");
        OpenConfiguration(t);
        MENU("0\r", "Main Menu (C0)");
    }
    const int port = FreeLoopbackPort();
    ASSERT_GT(port, 0);
    const std::string portal = "127.0.0.1:" + std::to_string(port);
    WritingHost h;
    std::string rebuilt(16, '0');
    for (const char* fault : {"2:pull@3000", "3:replace@3000"}) {
        SCOPED_TRACE(fault);
        TerminalRun t(m_dir, {"--iscsi", portal, "--drive-fault", fault});
        ASSERT_TRUE(t.WaitFor("Initialization Complete")) << t.Tail();
        ASSERT_TRUE(h.LogIn(port)) << t.Tail();
        ASSERT_NO_FATAL_FAILURE(GrantDumps(t));
        ASSERT_NO_FATAL_FAILURE(FollowRebuildUnderWrites(t, h, rebuilt));
        EXPECT_EQ(h.refused, 0u);
        ASSERT_NO_FATAL_FAILURE(h.ExpectAllReadBack());
        // The settings made at the console, as its menus show them now.
        OpenConfiguration(t);
        MENU("5\r", "Rebuild/Initialization Configuration Menu");
        TYPE("4\r", "Auto Rebuild is currently enabled");
        ASSERT_TRUE(t.WaitFor("Enable Auto Rebuild? (Y or N): ")) << t.Tail();
        RESULT("\r", "No Change");
        MENU(" ", "Rebuild/Initialization Configuration Menu");
        TYPE("5\r", "Current Rebuild Priority: 30 %");
        ASSERT_TRUE(t.WaitFor("New Rebuild Priority(10 - 90): ")) << t.Tail();
        RESULT("\r", "No Change");
        MENU(" ", "Rebuild/Initialization Configuration Menu");
        MENU("0\r", "Configuration Menu");
        MENU("0\r", "Main Menu (C0)");
    }
}

// A RAID 5 array grown by a drive at the console while an iSCSI host
// writes it: option 11 of the Main Menu follows the restripe to its end,
// its percent never going back; every write is answered GOOD and reads
// back, in this run and in the next one, from the grown array.
TEST_F(ConsoleTerminal, AnArrayGrownAtTheConsoleIsFollowedThroughItsDumpWhileAHostWrites) {
    // Each drive keeps its first GiB for the cache flush.
    constexpr uint64_t kDriveBytes = 1152ull << 20;
    MakeRebuildArray(m_dir, kDriveBytes, 3 * 65536);
    const int port = FreeLoopbackPort();
    ASSERT_GT(port, 0);
    const std::vector<std::string> args = {"--iscsi", "127.0.0.1:" + std::to_string(port), "--drives", "6",
                                           "--drive-size", std::to_string(kDriveBytes)};
    WritingHost h;
    {
        TerminalRun t(m_dir, args);
        ASSERT_TRUE(t.WaitFor("Initialization Complete")) << t.Tail();
        ASSERT_TRUE(h.LogIn(port)) << t.Tail();
        for (int w = 0; w < 8; ++w) h.WriteOne();
        ASSERT_NO_FATAL_FAILURE(GrantDumps(t));
        OpenConfiguration(t);
        MENU("1\r", "Array Configuration Menu (1-1) (C0)");
        TYPE("4\r", "Enter the number of the array to expand (0): ");
        TYPE("0\r", "Add this Disk Drive? (Y or N, <CR> = Y): ");
        TYPE("\r", "Continue adding disk drives? (Y or N, <CR> = Y): ");
        TYPE("n\r", kAnyKey);
        RESULT(" ", "Array 00 Successfully Expanded");
        MENU(" ", "Array Configuration Menu (1-1) (C0)");
        MENU("0\r", "0.  Save and Exit");
        TYPE("0\r", "Confirm saving of new configuration (Y or N): ");
        RESULT("y\r", "Saving Configuration");
        MENU(" ", "Main Menu (C0)");
        int last = -1;
        bool fSeen = false;
        int looks = 0;
        size_t during = 0;
        size_t before = h.written.size();
        for (int i = 0; i < 4000; ++i) {
            const int percent = ExpansionPercent(t);
            ASSERT_NE(percent, -2) << t.Tail();
            // Writes answered between two looks that both saw it running.
            if (fSeen && percent >= 0) during += h.written.size() - before;
            // The restripe starts from the background pass after the
            // commit, so none may be recorded yet at the first looks.
            if (percent < 0 && (fSeen || i >= 100)) break;
            if (percent >= 0) {
                ASSERT_GE(percent, last) << "the percent went back";
                last = percent;
                fSeen = true;
                ++looks;
            }
            before = h.written.size();
            if (i < 300) {
                for (int w = 0; w < 4; ++w) h.WriteOne();
            } else {
                usleep(50'000);
            }
            ASSERT_EQ(h.refused, 0u) << t.Tail();
        }
        // The program's time runs ahead while it waits for the console or
        // the host, so the whole restripe may fall between two looks: the
        // percent and the writes during it are checked when it was seen.
        EXPECT_EQ(ExpansionPercent(t), -1) << "the expansion did not end: " << t.Tail();
        if (looks >= 2) {
            EXPECT_GT(during, 0u) << "no write was served while the rows moved";
        }
        ASSERT_NO_FATAL_FAILURE(h.ExpectAllReadBack());
    }
    TerminalRun t(m_dir, args);
    ASSERT_TRUE(t.WaitFor("Initialization Complete")) << t.Tail();
    ASSERT_TRUE(h.LogIn(port)) << t.Tail();
    ASSERT_NO_FATAL_FAILURE(h.ExpectAllReadBack());
}
