// controller: boots one controller on a simulated board.
//
// The console is the terminal (raw mode), a pipe, or a file of keystrokes;
// console output always goes to standard output.  Ctrl-] quits (not while
// a file is being received over the line: it may be data), as do
// SIGINT and SIGTERM when they reach the program; either is a power cut:
// NVRAM and drives keep what was written.  Everything the run needs is
// checked and opened before the terminal is touched, and the terminal is put
// back on every way out.  With --iscsi, hosts reach the Fibre Channel or SAS
// host ports through an iSCSI portal: each session is one initiator on the
// ports' fabric, or one SAS initiator linked to a port.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "config/config_image.h"
#include "config/config_load.h"
#include "console/xmodem_receive.h"
#include "executive/startup.h"
#include "executive/types.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/enclosure_record.h"
#include "sim/fc_fabric.h"
#include "sim/iscsi_fc_bridge.h"
#include "sim/iscsi_listener.h"
#include "sim/iscsi_sas_bridge.h"
#include "sim/memory_windows.h"
#include "sim/rtc.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"
#include "sim/sas_target_ioc.h"
#include "sim/setup.h"
#include "sim/side_by_side.h"

namespace fw_b {
void ControllerEntry();
}  // namespace fw_b

namespace {

// How long after an answer the program looks for the host's next command
// without sleeping.
constexpr uint64_t kFollowingCommandNs = 100'000;

enum ExitStatus {
    EXIT_STOPPED = 0,   // --stop-after, the quit key or a signal
    EXIT_SETUP = sim::kSetupFailureStatus,  // the data directory or a file in it cannot be used
    EXIT_USAGE = 2,
    EXIT_IDLE = 3,      // idles forever after a failed start-up check
    EXIT_HALT = 4,
    EXIT_SHUTDOWN = 5,
    EXIT_RESET = 6,     // the firmware reset the board (with --exit-on-reset)
};

constexpr char kQuitKey = 0x1D;  // Ctrl-]
// Keys from a pipe or a file are handed over as the console takes them, a
// few at a time, so an endless source is never read ahead.
constexpr size_t kKeyChunk = 64;
constexpr uint64_t kMaxStopAfterMs = UINT64_MAX / 1000000ull;
// A drive position names eight enclosures: the drives' own and seven more.
constexpr unsigned kMaxExpansions = 7;

volatile sig_atomic_t g_signalled = 0;
termios g_savedTerminal;
volatile sig_atomic_t g_rawTerminal = 0;

void OnSignal(int) { g_signalled = 1; }

// Power signals received, by controller: USR2 for Controller 0, USR1 for
// Controller 1.  Only the handler writes them; the run counts those it took.
volatile sig_atomic_t g_powerSignals[2] = {0, 0};
void OnPowerSignal(int signal) {
    const int n = signal == SIGUSR1 ? 1 : 0;
    g_powerSignals[n] = g_powerSignals[n] + 1;
}

void RestoreTerminal() {
    if (g_rawTerminal) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    g_rawTerminal = 0;
}

// A crash still gives the terminal back before the program dies of it.
void OnFatalSignal(int signal) {
    RestoreTerminal();
    ::signal(signal, SIG_DFL);
    raise(signal);
}

void Usage(FILE* to) {
    std::fprintf(to,
                 "usage: controller [--data-dir DIR] [--virtual-time] [--stop-after MS]\n"
                 "                  [--console-in FILE] [--memory-size BYTES] [--sdram-size BYTES]\n"
                 "                  [--boot-block-version N] [--host-interface fc|scsi|sas]\n"
                 "                  [--fpga blank|programmed] [--drives N] [--drive-size BYTES]\n"
                 "                  [--drive-type sas|sata] [--drive-spin-up MS] [--expansions N[:DRIVES]]\n"
                 "                  [--exit-on-reset]\n"
                 "                  [--iscsi [ADDRESS:]PORT] [--controllers 1|2]\n"
                 "                  [--cache-battery charged|flat] [--drive-fault FAULT]... [--help]\n"
                 "FAULT: SLOT:medium:LBA[+N] (blocks that cannot be read), SLOT:dead@MS (stops\n"
                 "answering), SLOT:pull@MS (pulled) or SLOT:replace@MS (a new blank drive put in\n"
                 "its place), MS counted from the main loop's start.\n"
                 "--iscsi serves the Fibre Channel or SAS host ports (not parallel SCSI) to iSCSI\n"
                 "hosts: one target per host port, each session one initiator on it.\n"
                 "--expansions cascades N expansion enclosures (0 to 7) behind the drives'\n"
                 "enclosure, each with DRIVES drives (0 to 12, default 12) in its first slots.\n"
                 "Numbers are decimal; byte counts may also be written 0x... in hex.\n"
                 "--stop-after 0 (the default) runs until Ctrl-] or a signal.\n"
                 "--controllers 2 runs a pair on the shared drives: Controller 1 keeps its NVRAM in\n"
                 "DIR/controller1 and has its console on a pseudo-terminal named on standard error;\n"
                 "kill -USR1 cuts or restores Controller 1's power, kill -USR2 Controller 0's.\n"
                 "Exit status: 0 stopped, 1 bad data directory, 2 bad options, 3 idled after a\n"
                 "failed start-up check, 4 halted, 5 shut down, 6 board reset (--exit-on-reset).\n");
}

// A decimal number, or with `hex` also 0x followed by hex digits; no sign,
// no blanks, nothing that overflows 64 bits.
bool ParseNumber(const char* text, bool hex, uint64_t* value) {
    int base = 10;
    if (hex && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    const char* digits = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
    if (*text == '\0' || std::strspn(text, digits) != std::strlen(text)) return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, base);
    if (errno != 0 || *end != '\0') return false;
    *value = v;
    return true;
}

// Creates the directory and its parents; on failure says why in `why`.
bool MakeDirectory(const std::string& path, std::string* why) {
    std::string partial;
    for (size_t i = 0; i <= path.size(); ++i) {
        if ((i == path.size() || path[i] == '/') && !partial.empty() && mkdir(partial.c_str(), 0755) != 0 &&
            errno != EEXIST) {
            *why = partial + ": " + std::strerror(errno);
            return false;
        }
        if (i < path.size()) partial.push_back(path[i]);
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        *why = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = path + ": not a directory";
        return false;
    }
    return true;
}

// One controller per data directory: the lock, on the directory itself (a
// lock file could be removed while the controller runs), lasts as long as
// the process.
bool LockDataDirectory(const std::string& dir, std::string* why) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *why = dir + ": " + std::strerror(errno);
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *why = dir + ": " + (errno == EWOULDBLOCK ? "another controller runs on this data directory"
                                                  : std::strerror(errno));
        close(fd);
        return false;
    }
    return true;
}

// Where console keystrokes come from.
struct KeySource {
    int fd = -1;
    bool terminal = false;  // read at once (the quit key); else only as the console takes keys
    bool open = false;
};

bool OpenConsoleIn(const std::string& path, KeySource* keys, std::string* why) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        *why = path + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        *why = path + ": is a directory, not a file of keystrokes";
        return false;
    }
    keys->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (keys->fd < 0) {
        *why = path + ": " + std::strerror(errno);
        return false;
    }
    keys->open = true;
    return true;
}

// Controller 1's console: a pseudo-terminal a person attaches to with a
// terminal program.  The program holds the terminal side open itself, so
// the console runs whether anyone is attached or not: output nobody reads
// fills the terminal's buffer and the rest is dropped, as a serial line
// with nothing on it drops it.
// Standard error and the console on one terminal: what the program writes
// there lands in the middle of a console screen.
bool StandardErrorIsTheConsole() {
    struct stat out {}, err {};
    if (!isatty(STDERR_FILENO) || fstat(STDOUT_FILENO, &out) != 0 || fstat(STDERR_FILENO, &err) != 0) return false;
    return S_ISCHR(out.st_mode) && S_ISCHR(err.st_mode) && out.st_rdev == err.st_rdev;
}

// Where the portal names the hosts that log in: standard error, unless that
// is the console's terminal, which belongs to the console alone; then
// iscsi.log in the data directory, which standard error names before the
// console starts.
FILE* OpenPortalLog(const std::string& dataDir) {
    if (!StandardErrorIsTheConsole()) return stderr;
    const std::string path = dataDir + "/iscsi.log";
    FILE* log = std::fopen(path.c_str(), "a");
    if (log == nullptr) {
        std::fprintf(stderr, "controller: %s: %s: the hosts logging in are named here\n", path.c_str(),
                     std::strerror(errno));
        return stderr;
    }
    setvbuf(log, nullptr, _IOLBF, 0);
    std::fprintf(stderr, "controller: the hosts logging in are named in %s\n", path.c_str());
    return log;
}

class PartnerConsole {
public:
    ~PartnerConsole() {
        if (m_master >= 0) close(m_master);
        if (m_terminal >= 0) close(m_terminal);
    }
    bool Open(std::string* why) {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
            *why = std::strerror(errno);
            return false;
        }
        const char* name = ptsname(m_master);
        if (name == nullptr) {
            *why = std::strerror(errno);
            return false;
        }
        m_name = name;
        m_terminal = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_terminal < 0) {
            *why = m_name + ": " + std::strerror(errno);
            return false;
        }
        // A serial line: every byte passes as it is, nothing echoed back.
        termios raw{};
        if (tcgetattr(m_terminal, &raw) == 0) {
            cfmakeraw(&raw);
            tcsetattr(m_terminal, TCSANOW, &raw);
        }
        return true;
    }
    const std::string& name() const { return m_name; }
    int fd() const { return m_master; }
    void Put(char c) { m_pending.push_back(c); }
    void Flush() {
        if (m_master < 0 || m_pending.empty()) return;
        const ssize_t n = write(m_master, m_pending.data(), m_pending.size());
        // What the terminal's buffer does not take now is lost.
        (void)n;
        m_pending.clear();
    }
    // The keys typed on the console since the last call.
    std::string Take() {
        char buffer[256];
        const ssize_t n = read(m_master, buffer, sizeof buffer);
        return n > 0 ? std::string(buffer, size_t(n)) : std::string();
    }

private:
    int m_master = -1;
    int m_terminal = -1;
    std::string m_name;
    std::string m_pending;
};

// The options that say which drives to make.
struct DriveOptionsGiven {
    bool drives = false;
    bool size = false;
    bool type = false;
    bool expansions = false;
};

// A data directory keeps the drives it was made with: a restart uses them,
// and an option that says otherwise is refused (status 2) before anything
// changes.  A directory without a record is made (or was made before the
// record existed) with the options given.
int UseRecordedDrives(const std::string& dir, const DriveOptionsGiven& given, sim::ChassisOptions* enclosure,
                      bool* recorded) {
    sim::ChassisOptions made = *enclosure;
    std::string why;
    switch (sim::ReadEnclosureRecord(dir, &made, &why)) {
    case sim::RecordRead::Missing:
        // Images already there (made before the record was kept) are the
        // slots' drives.
        *recorded = false;
        enclosure->mark = sim::NewEnclosureMark();
        enclosure->adoptImages = true;
        return EXIT_STOPPED;
    case sim::RecordRead::Bad: std::fprintf(stderr, "controller: %s\n", why.c_str()); return EXIT_SETUP;
    case sim::RecordRead::Read: break;
    }
    const char* type = made.sata ? "sata" : "sas";
    if (given.drives && enclosure->drives != made.drives) {
        std::fprintf(stderr, "controller: --drives %u: %s was made with %u drives\n", enclosure->drives, dir.c_str(),
                     made.drives);
        return EXIT_USAGE;
    }
    if (given.size && enclosure->driveBytes != made.driveBytes) {
        std::fprintf(stderr, "controller: --drive-size %llu: %s was made with drives of %llu bytes\n",
                     (unsigned long long)enclosure->driveBytes, dir.c_str(), (unsigned long long)made.driveBytes);
        return EXIT_USAGE;
    }
    if (given.type && enclosure->sata != made.sata) {
        std::fprintf(stderr, "controller: --drive-type %s: %s was made with %s drives\n",
                     enclosure->sata ? "sata" : "sas", dir.c_str(), type);
        return EXIT_USAGE;
    }
    if (given.expansions &&
        (enclosure->expansions != made.expansions || enclosure->expansionDrives != made.expansionDrives)) {
        std::fprintf(stderr, "controller: --expansions %u:%u: %s was made with %u:%u\n", enclosure->expansions,
                     enclosure->expansionDrives, dir.c_str(), made.expansions, made.expansionDrives);
        return EXIT_USAGE;
    }
    *enclosure = made;
    enclosure->existingImagesOnly = true;
    // A record from before the drives' marks: its images are its drives.
    if (enclosure->mark == 0) {
        enclosure->mark = sim::NewEnclosureMark();
        enclosure->adoptImages = true;
    }
    *recorded = true;
    return EXIT_STOPPED;
}

// A fault a drive of the enclosure takes: blocks that read as MEDIUM ERROR
// from the start, or a drive that stops answering, is pulled or is replaced
// by a new blank one once the controller's main loop has run for `atMs`
// milliseconds.
struct DriveFault {
    enum class Kind { Medium, Dead, Pull, Replace } kind;
    unsigned slot;
    uint64_t lba;
    uint64_t count;
    uint64_t atMs;
    bool applied;
};

// SLOT:medium:LBA[+N], SLOT:dead@MS, SLOT:pull@MS or SLOT:replace@MS.
bool ParseDriveFault(const std::string& text, DriveFault* fault) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    uint64_t slot = 0;
    if (!ParseNumber(text.substr(0, colon).c_str(), false, &slot) || slot < 1 || slot > sim::Chassis::kSlots) {
        return false;
    }
    *fault = DriveFault{DriveFault::Kind::Medium, static_cast<unsigned>(slot), 0, 1, 0, false};
    const std::string rest = text.substr(colon + 1);
    if (rest.rfind("medium:", 0) == 0) {
        std::string lba = rest.substr(7);
        const size_t plus = lba.find('+');
        if (plus != std::string::npos) {
            if (!ParseNumber(lba.substr(plus + 1).c_str(), false, &fault->count) || fault->count == 0) return false;
            lba.resize(plus);
        }
        return ParseNumber(lba.c_str(), false, &fault->lba);
    }
    const size_t at = rest.find('@');
    if (at == std::string::npos || !ParseNumber(rest.substr(at + 1).c_str(), false, &fault->atMs)) return false;
    const std::string kind = rest.substr(0, at);
    if (kind == "dead") {
        fault->kind = DriveFault::Kind::Dead;
    } else if (kind == "pull") {
        fault->kind = DriveFault::Kind::Pull;
    } else if (kind == "replace") {
        fault->kind = DriveFault::Kind::Replace;
    } else {
        return false;
    }
    return true;
}

// The drive in the slot is pulled and a new blank drive of the same size,
// with its own address and serial number, put in its place.  The data
// directory learns of it before the new drive is in: a run stopped in
// between finds the slot empty, never the old drive's name on a blank image.
// TRUE when a pair ran on this data directory (Controller 1's NVRAM is
// there) and the newest configuration on the drives is still a pair's, not
// switched to a single controller: started alone, Controller 0 takes
// Controller 1 for failed, keeps its cache off and sounds the alarm.
bool HoldsPairConfiguration(const std::string& dir, sim::Chassis& chassis) {
    struct stat st{};
    if (stat((dir + "/controller1/nvram.bin").c_str(), &st) != 0) return false;
    uint32_t dNewest = 0;
    bool fPair = false;
    for (unsigned slot = 1; slot <= chassis.SlotCount(); ++slot) {
        sim::Drive* drive = chassis.DriveAt(slot);
        if (drive == nullptr) continue;
        const uint32_t bs = drive->config().blockSize;
        if (drive->config().blocks <= fw::CONFIG_COPY_BLOCKS_BEFORE_END || bs < sizeof(fw::CONFIG_HEADER)) continue;
        std::vector<uint8_t> block(bs);
        drive->ReadBlocks(drive->config().blocks - 1 - fw::CONFIG_COPY_BLOCKS_BEFORE_END, 1, block.data());
        fw::CONFIG_HEADER h;
        std::memcpy(&h, block.data(), sizeof h);
        // A copy whose header words do not add up is no copy.
        uint32_t dCheck = 0;
        for (size_t w = 0; w < sizeof h / 4; ++w) {
            uint32_t d;
            std::memcpy(&d, block.data() + 4 * w, 4);
            dCheck ^= d;
        }
        if (h.dMagic != fw::CONFIG_MAGIC || dCheck != 0 || h.dGeneration < dNewest) continue;
        dNewest = h.dGeneration;
        fPair = h.fSingleControllerMode != fw::TRUE;
    }
    return dNewest != 0 && fPair;
}

void ReplaceDrive(sim::Chassis& chassis, sim::ChassisOptions& enclosure, unsigned slot) {
    chassis.Pull(slot);
    sim::NoteNewDrive(enclosure, slot);
    const sim::DriveConfig config = sim::Chassis::DefaultDriveConfig(slot, enclosure);
    if (unlink(config.imagePath.c_str()) != 0 && errno != ENOENT) {
        std::fprintf(stderr, "controller: %s: %s: slot %u stays empty\n", config.imagePath.c_str(), std::strerror(errno), slot);
        return;
    }
    std::string why;
    if (!sim::WriteEnclosureRecord(enclosure.directory, enclosure, &why)) {
        std::fprintf(stderr, "controller: %s: slot %u stays empty\n", why.c_str(), slot);
        return;
    }
    chassis.Insert(slot, config);
}

}  // namespace

int main(int argc, char** argv) {
    sim::BoardConfig config;
    config.virtualTime = false;
    config.dataDir = "./var";
    uint64_t stopAfterMs = 0;
    std::string consoleIn;
    bool exitOnReset = false;
    std::string iscsiAddress;
    sim::ChassisOptions enclosure;
    DriveOptionsGiven given;
    std::vector<DriveFault> driveFaults;
    unsigned controllers = 1;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "controller: %s needs a value\n", name);
                std::exit(EXIT_USAGE);
            }
            return argv[++i];
        };
        auto refuse = [](const char* message) {
            std::fprintf(stderr, "controller: %s\n", message);
            return EXIT_USAGE;
        };
        uint64_t n = 0;
        if (arg == "--data-dir") {
            config.dataDir = value("--data-dir");
            if (config.dataDir.empty()) return refuse("--data-dir needs a directory");
        } else if (arg == "--virtual-time") {
            config.virtualTime = true;
        } else if (arg == "--stop-after") {
            if (!ParseNumber(value("--stop-after"), false, &stopAfterMs) || stopAfterMs > kMaxStopAfterMs) {
                return refuse("--stop-after takes milliseconds, 0 to 18446744073709");
            }
        } else if (arg == "--console-in") {
            consoleIn = value("--console-in");
        } else if (arg == "--memory-size") {
            if (!ParseNumber(value("--memory-size"), true, &n) || n > 0xFFFFFFFFu) {
                return refuse("--memory-size takes a byte count below 4 GiB");
            }
            config.memorySize = static_cast<uint32_t>(n);
        } else if (arg == "--sdram-size") {
            if (!ParseNumber(value("--sdram-size"), true, &n) || n > 0xFFFFFFFFu ||
                !sim::MemoryWindows::fSdramSizeFits(static_cast<uint32_t>(n))) {
                std::fprintf(stderr,
                             "controller: --sdram-size is 128, 256 or 512 MiB%s (the memory controller names "
                             "no other size)\n",
                             sim::MemoryWindows::kMaxSdramBytes >= (1024u << 20)
                                 ? " or 1 GiB"
                                 : "; 1 GiB does not fit beside this build's address sanitizer");
                return EXIT_USAGE;
            }
            config.sdramBytes = static_cast<uint32_t>(n);
        } else if (arg == "--boot-block-version") {
            if (!ParseNumber(value("--boot-block-version"), false, &n) || n > 0xFFFFFFFFu) {
                return refuse("--boot-block-version takes a number");
            }
            config.bootBlockVersion = static_cast<uint32_t>(n);
        } else if (arg == "--host-interface") {
            const std::string v = value("--host-interface");
            if (v == "fc") {
                config.hostInterface = sim::HostInterface::Fc;
            } else if (v == "scsi") {
                config.hostInterface = sim::HostInterface::Scsi;
            } else if (v == "sas") {
                config.hostInterface = sim::HostInterface::SasTarget;
            } else {
                return refuse("--host-interface is fc, scsi or sas");
            }
        } else if (arg == "--fpga") {
            const std::string v = value("--fpga");
            if (v != "blank" && v != "programmed") return refuse("--fpga is blank or programmed");
            config.fpgaProgrammed = v == "programmed";
        } else if (arg == "--drives") {
            if (!ParseNumber(value("--drives"), false, &n) || n > sim::Chassis::kSlots) {
                std::fprintf(stderr, "controller: --drives takes 0 to %u\n", sim::Chassis::kSlots);
                return EXIT_USAGE;
            }
            enclosure.drives = static_cast<unsigned>(n);
            given.drives = true;
        } else if (arg == "--drive-size") {
            if (!ParseNumber(value("--drive-size"), true, &n) || n < (1u << 20) || n % 512 != 0) {
                return refuse("--drive-size takes a byte count of at least 1 MiB, in 512-byte blocks");
            }
            enclosure.driveBytes = n;
            given.size = true;
        } else if (arg == "--drive-type") {
            const std::string v = value("--drive-type");
            if (v != "sas" && v != "sata") return refuse("--drive-type is sas or sata");
            enclosure.sata = v == "sata";
            given.type = true;
        } else if (arg == "--expansions") {
            // N, or N:DRIVES.
            const std::string v = value("--expansions");
            const size_t colon = v.find(':');
            uint64_t drives = sim::Chassis::kSlots;
            if (!ParseNumber(v.substr(0, colon).c_str(), false, &n) || n > kMaxExpansions ||
                (colon != std::string::npos &&
                 (!ParseNumber(v.substr(colon + 1).c_str(), false, &drives) || drives > sim::Chassis::kSlots))) {
                std::fprintf(stderr, "controller: --expansions takes 0 to %u, with :0 to :%u drives each\n",
                             kMaxExpansions, sim::Chassis::kSlots);
                return EXIT_USAGE;
            }
            enclosure.expansions = static_cast<unsigned>(n);
            enclosure.expansionDrives = static_cast<unsigned>(drives);
            given.expansions = true;
        } else if (arg == "--drive-spin-up") {
            if (!ParseNumber(value("--drive-spin-up"), false, &n) || n > 600'000) {
                return refuse("--drive-spin-up takes 0 to 600000 milliseconds");
            }
            enclosure.spinUpNs = n * 1'000'000;
        } else if (arg == "--cache-battery") {
            const std::string v = value("--cache-battery");
            if (v != "charged" && v != "flat") return refuse("--cache-battery is charged or flat");
            config.cacheBatteryCharged = v == "charged";
        } else if (arg == "--drive-fault") {
            DriveFault fault{};
            if (!ParseDriveFault(value("--drive-fault"), &fault)) {
                return refuse("--drive-fault is SLOT:medium:LBA[+N], SLOT:dead@MS, SLOT:pull@MS or SLOT:replace@MS");
            }
            driveFaults.push_back(fault);
        } else if (arg == "--exit-on-reset") {
            exitOnReset = true;
        } else if (arg == "--iscsi") {
            iscsiAddress = value("--iscsi");
        } else if (arg == "--controllers") {
            const std::string v = value("--controllers");
            if (v != "1" && v != "2") return refuse("--controllers is 1 or 2");
            controllers = v == "1" ? 1 : 2;
        } else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return EXIT_STOPPED;
        } else {
            std::fprintf(stderr, "controller: unknown option %s\n", arg.c_str());
            Usage(stderr);
            return EXIT_USAGE;
        }
    }

    // Everything the run needs, checked and opened before the terminal is
    // touched: a failure leaves the terminal as it was.
    std::string why;
    KeySource keys;
    if (!consoleIn.empty() && !OpenConsoleIn(consoleIn, &keys, &why)) {
        std::fprintf(stderr, "controller: --console-in %s\n", why.c_str());
        return EXIT_USAGE;
    }
    // Controller 1's console, ready before anything is made on disk.
    PartnerConsole partnerConsole;
    if (controllers == 2 && !partnerConsole.Open(&why)) {
        std::fprintf(stderr, "controller: no pseudo-terminal for Controller 1's console: %s\n", why.c_str());
        return EXIT_SETUP;
    }
    if (!MakeDirectory(config.dataDir, &why) || !LockDataDirectory(config.dataDir, &why)) {
        std::fprintf(stderr, "controller: %s\n", why.c_str());
        return EXIT_SETUP;
    }
    // The enclosure outlives the board: its drives keep what was written.
    bool recorded = false;
    if (const int refused = UseRecordedDrives(config.dataDir, given, &enclosure, &recorded)) return refused;
    enclosure.directory = config.dataDir;
    // A file size limit refuses a write instead of killing the program: the
    // drive holds the write off as it does on a full file system.
    signal(SIGXFSZ, SIG_IGN);
    // Two controllers share one clock and take turns on it; the second
    // keeps its NVRAM, bank and state in a directory of its own.
    sim::Clock sharedClock;
    std::vector<sim::BoardConfig> configs{config};
    if (controllers == 2) {
        configs[0].clock = &sharedClock;
        sim::BoardConfig second = configs[0];
        second.slot1 = false;
        second.firmware = &fw_b::hwFirmwareImage;
        second.wwn = config.wwn + 1;
        second.dataDir = config.dataDir + "/controller1";
        if (!MakeDirectory(second.dataDir, &why)) {
            std::fprintf(stderr, "controller: %s\n", why.c_str());
            return EXIT_SETUP;
        }
        configs.push_back(second);
    }
    // The boards check their own files (an NVRAM of the wrong size ends the
    // run here): Controller 1's first, so that nothing of Controller 0's or
    // of the drives is made for a run that cannot start.
    // The chassis outlives the boards whose IOCs hang on it.
    std::unique_ptr<sim::Chassis> enclosureChassis;
    std::vector<std::unique_ptr<sim::Board>> boards(configs.size());
    for (size_t n = configs.size(); n-- > 0;) boards[n] = std::make_unique<sim::Board>(configs[n]);
    enclosureChassis = std::make_unique<sim::Chassis>(enclosure);
    sim::Chassis& chassis = *enclosureChassis;
    // The record learns of the drives found new in their slots (a blank
    // image put in while the program was stopped) and of the marks given.
    const bool fRecord = !recorded || enclosure.adoptImages || chassis.options().replaced != enclosure.replaced;
    enclosure = chassis.options();
    if (fRecord && !sim::WriteEnclosureRecord(config.dataDir, enclosure, &why)) {
        std::fprintf(stderr, "controller: %s\n", why.c_str());
        return EXIT_SETUP;
    }
    for (DriveFault& f : driveFaults) {
        sim::Drive* drive = chassis.DriveAt(f.slot);
        if (drive == nullptr) {
            std::fprintf(stderr, "controller: --drive-fault %u: no drive in that slot\n", f.slot);
            return EXIT_USAGE;
        }
        if (f.kind == DriveFault::Kind::Medium) {
            drive->InjectMediaError(f.lba, f.count);
            f.applied = true;
        }
    }
    if (controllers == 1 && HoldsPairConfiguration(config.dataDir, chassis)) {
        std::fprintf(stderr,
                     "controller: this data directory holds a pair's configuration: run it with --controllers 2, "
                     "or switch it to a single controller (Configuration, Additional Configuration, Set Single "
                     "Controller Mode)\n");
    }
    for (auto& b : boards) b->sasController().AttachChassis(&chassis);
    if (controllers == 2) sim::Board::ConnectPartners(*boards[0], *boards[1]);
    // The host ports' fabrics, where hosts attach as initiators: the iSCSI
    // portal's sessions among them.  Ports 1 of both controllers are on one
    // fabric, ports 2 on the other (a lone controller has both on one).  On
    // SAS host ports each session links an initiator of its own to a port.
    sim::FcFabric fabrics[2];
    std::vector<sim::IscsiFcBridge::Target> targets;
    std::vector<sim::IscsiSasBridge::Target> sasTargets;
    for (size_t n = 0; n < boards.size(); ++n) {
        const std::string prefix = n == 0 ? "port" : "c1-port";
        for (uint8_t chip = 1; chip <= 2; ++chip) {
            if (sim::IspChip* port = sim::FindIspChip(*boards[n], chip)) {
                sim::FcFabric& fabric = fabrics[controllers == 2 ? chip - 1 : 0];
                port->AttachFabric(fabric);
                targets.push_back({&fabric, port, prefix + std::to_string(chip)});
            }
        }
        if (sim::SasTargetIoc* ioc = boards[n]->sasTargetIoc()) {
            for (uint8_t port = 0; port < 2; ++port) {
                sasTargets.push_back({ioc, port, prefix + std::to_string(port + 1)});
            }
        }
    }
    sim::IscsiFcBridge fcBridge(targets);
    sim::IscsiSasBridge sasBridge(sasTargets);
    sim::IscsiPortal portal(sasTargets.empty() ? static_cast<sim::IscsiTargets&>(fcBridge) : sasBridge);
    sim::IscsiListener listener(portal);
    std::set<std::pair<std::string, uint64_t>> namesShown;   // initiator name, port name or SAS address
    FILE* portalLog = stderr;
    if (!iscsiAddress.empty()) {
        if (targets.empty() && sasTargets.empty()) {
            // Sixteen IDs on one bus fit a portal's sessions badly.
            std::fprintf(stderr, "controller: --iscsi needs Fibre Channel or SAS host ports, not parallel SCSI\n");
            return EXIT_USAGE;
        }
        if (!listener.Listen(iscsiAddress, &why)) {
            std::fprintf(stderr, "controller: --iscsi %s: %s\n", iscsiAddress.c_str(), why.c_str());
            return EXIT_USAGE;
        }
        std::fprintf(stderr, "controller: iSCSI portal on %s\n", listener.address().c_str());
        portalLog = OpenPortalLog(config.dataDir);
        // The names a SAN LUN mapping needs for this host, at its first login
        // with them: a host logging in again and again would write them
        // into the log every time.
        fcBridge.onSession = [&targets, &namesShown, &portalLog](const std::string& name, size_t port,
                                                                 const sim::FcInitiator& initiator) {
            if (!namesShown.insert({name, initiator.portName()}).second) return;
            std::fprintf(portalLog, "controller: iSCSI initiator %s on %s: node name %016llx, port name %016llx\n",
                         name.c_str(), targets[port].suffix.c_str(), static_cast<unsigned long long>(initiator.nodeName()),
                         static_cast<unsigned long long>(initiator.portName()));
        };
        sasBridge.onSession = [&sasTargets, &namesShown, &portalLog](const std::string& name, size_t port,
                                                                     uint64_t address) {
            if (!namesShown.insert({name, address}).second) return;
            std::fprintf(portalLog, "controller: iSCSI initiator %s on %s: SAS address %016llx\n", name.c_str(),
                         sasTargets[port].suffix.c_str(), static_cast<unsigned long long>(address));
        };
    }
    if (controllers == 2) {
        std::fprintf(stderr, "controller: Controller 1 console on %s\n", partnerConsole.name().c_str());
    }

    if (consoleIn.empty()) {
        keys.fd = STDIN_FILENO;
        keys.terminal = isatty(STDIN_FILENO);
        keys.open = true;
    }
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    if (controllers == 2) {
        signal(SIGUSR1, OnPowerSignal);
        signal(SIGUSR2, OnPowerSignal);
    }
    if (keys.terminal && tcgetattr(STDIN_FILENO, &g_savedTerminal) == 0) {
        std::atexit(RestoreTerminal);
        for (int s : {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV}) signal(s, OnFatalSignal);
        termios raw = g_savedTerminal;
        cfmakeraw(&raw);
        raw.c_oflag |= OPOST;
        if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) g_rawTerminal = 1;
    }

    sim::Board& first = *boards[0];
    char lastOutput = '\n';
    first.uart().sink = [&lastOutput](char c) {
        std::fputc(c, stdout);
        lastOutput = c;
    };
    if (controllers == 2) boards[1]->uart().sink = [&partnerConsole](char c) { partnerConsole.Put(c); };

    // --stop-after counts from the first start of a main loop, which the
    // board sees as the moment start-up arms the FPGA watchdog.
    bool quit = false;
    bool started = false;          // a main loop has run at least once
    uint64_t mainLoopStart = 0;
    std::vector<bool> mainLoopThisBoot(boards.size(), false);
    sig_atomic_t powerTaken[2] = {0, 0};   // power signals taken, by controller
    // The console's keys and the portal's sockets (and Controller 1's
    // console), watched together: while the firmware idles, until its next
    // event, so a host's request is taken at once and an idle controller
    // wakes only for its own timers; while it is busy, without waiting, as
    // often as the board asks.
    std::vector<pollfd> fds;
    bool keysWatched = false;
    auto watch = [&](const timespec* wait) {
        fds.clear();
        // Keys from a pipe or file wait for the main loop (start-up's polled
        // output discards what arrives while it sends, as on the real
        // console) and for the console to have taken the previous ones.
        keysWatched = keys.open && (keys.terminal || (mainLoopThisBoot[0] && !first.uart().ReceivePending()));
        if (keysWatched) fds.push_back(pollfd{keys.fd, POLLIN, 0});
        if (controllers == 2) fds.push_back(pollfd{partnerConsole.fd(), POLLIN, 0});
        listener.AddPollFds(&fds);
        return ppoll(fds.data(), fds.size(), wait, nullptr) > 0;
    };
    // The board takes input straight after an idle wait: what that wait's
    // poll saw is still news, and a second look would cost every host
    // command at depth 1 a system call.
    bool waitSeen = false, waitReady = false;
    // A host with one command out sends the next within tens of
    // microseconds of its answer.  For that long after an answer the wait
    // looks without sleeping: a sleep and a wake-up for every command cost
    // the program more than the looks, and the host's send more too.  An
    // idle controller sleeps as before.
    uint64_t answeredNs = 0;
    auto idleWait = [&](uint64_t ns) {
        const uint64_t start = listener.clock();
        const uint64_t lookUntil = std::min(start + ns, answeredNs + kFollowingCommandNs);
        if (start < lookUntil) {
            const timespec now{0, 0};
            uint64_t at = start;
            while (!(waitReady = watch(&now)) && (at = listener.clock()) < lookUntil) {
            }
            waitSeen = true;
            if (waitReady || at - start >= ns) return;
            ns -= at - start;
        }
        const timespec wait{static_cast<time_t>(ns / 1000000000ull), static_cast<long>(ns % 1000000000ull)};
        waitReady = watch(&wait);
        waitSeen = true;
    };
    // What the portal answered goes to its hosts at once.
    auto pollHook = [&] {
        std::fflush(stdout);
        partnerConsole.Flush();
        if (listener.OutputPending()) {
            listener.ServiceHosts();
            answeredNs = listener.clock();
        }
    };
    auto inputHook = [&] {
        const timespec now{0, 0};
        const bool ready = waitSeen ? waitReady : watch(&now);
        waitSeen = false;
        const size_t consoles = (keysWatched ? 1 : 0) + (controllers == 2 ? 1 : 0);
        const auto network = fds.begin() + static_cast<long>(consoles);
        // The portal's timers (login time-outs, pings) run without traffic.
        if (listener.TimersDue() ||
            (ready && std::any_of(network, fds.end(), [](const pollfd& p) { return p.revents != 0; }))) {
            listener.Service(fds.data() + consoles, size_t(fds.end() - network));
        }
        if (!ready) return;
        // Keys typed on Controller 1's console reach it while it has power.
        if (controllers == 2 && fds[consoles - 1].revents != 0) {
            const std::string typed = partnerConsole.Take();
            if (!boards[1]->poweredOff()) boards[1]->TypeKeys(typed);
        }
        if (!keysWatched || fds[0].revents == 0) return;
        char buffer[256];
        const ssize_t n = read(keys.fd, buffer, keys.terminal ? sizeof buffer : kKeyChunk);
        if (n <= 0) {
            if (n == 0 || (errno != EINTR && errno != EAGAIN)) keys.open = false;
            return;
        }
        std::string typed;
        for (ssize_t i = 0; i < n; ++i) {
            // A file on its way down the line may hold the quit key as data.
            if (keys.terminal && buffer[i] == kQuitKey && fw::fIsXmodemReceiveActive() != fw::TRUE) {
                quit = true;
                break;
            }
            typed.push_back(buffer[i]);
        }
        if (!first.poweredOff()) first.TypeKeys(typed);
    };
    for (auto& b : boards) {
        b->idleWait = idleWait;
        b->pollHook = pollHook;
        b->inputHook = inputHook;
    }
    auto now = [&] { return first.clock().Now(); };
    auto done = [&] {
        for (size_t n = 0; n < boards.size(); ++n) {
            sim::Board& b = *boards[n];
            if (mainLoopThisBoot[n] || b.poweredOff() || !b.fpga().WatchdogRunning()) continue;
            mainLoopThisBoot[n] = true;
            // Start-up's waits are over: from here on a person is watching.
            b.FollowWallClock(true);
            if (!started) {
                started = true;
                mainLoopStart = now();
            }
        }
        if (quit || g_signalled || g_powerSignals[0] != powerTaken[0] || g_powerSignals[1] != powerTaken[1]) return true;
        for (DriveFault& f : driveFaults) {
            if (f.applied || !started || now() - mainLoopStart < f.atMs * 1000000ull) continue;
            f.applied = true;
            if (f.kind == DriveFault::Kind::Pull) {
                chassis.Pull(f.slot);
            } else if (f.kind == DriveFault::Kind::Replace) {
                ReplaceDrive(chassis, enclosure, f.slot);
            } else if (sim::Drive* drive = chassis.DriveAt(f.slot)) {
                drive->SetNoResponse(true);
            }
        }
        return stopAfterMs != 0 && started && now() - mainLoopStart >= stopAfterMs * 1000000ull;
    };
    auto boot = [&](size_t n) {
        mainLoopThisBoot[n] = false;
        boards[n]->FollowWallClock(false);
        boards[n]->Boot();
    };
    // A power signal cuts a controller that has power and powers one that
    // has none: it starts on its NVRAM, its bank and the shared drives, and
    // pairs again with a partner that runs.
    auto togglePower = [&](size_t n) {
        sim::Board& b = *boards[n];
        if (!b.poweredOff()) {
            b.CutPower();
            std::fprintf(stderr, "controller: Controller %zu power off\n", n);
            return;
        }
        b.RestorePower();
        sim::Board& other = *boards[1 - n];
        if (!other.poweredOff()) sim::Board::ConnectPartners(*boards[0], *boards[1]);
        std::fprintf(stderr, "controller: Controller %zu power on\n", n);
        boot(n);
    };

    // Controller n's signal: USR2 for 0, USR1 for 1.
    for (size_t n = 0; n < boards.size(); ++n) {
        boards[n]->SetResetEntry(n == 0 ? &fw::ControllerEntry : &fw_b::ControllerEntry);
        boot(n);
    }
    // One controller runs until it stops or done holds; two take turns.
    const uint64_t turnNs = controllers == 2 ? sim::kTurnNs : 1'000'000'000ull;
    std::vector<sim::StopKind> stops(boards.size(), sim::StopKind::Running);
    for (;;) {
        if (done()) {
            bool power = false;
            for (size_t n = 0; n < boards.size(); ++n) {
                while (g_powerSignals[n] != powerTaken[n]) {
                    ++powerTaken[n];
                    togglePower(n);
                    stops[n] = sim::StopKind::Running;
                    power = true;
                }
            }
            if (!power) break;
        }
        bool running = false, waiting = false;
        for (size_t n = 0; n < boards.size(); ++n) {
            if (boards[n]->poweredOff()) {
                waiting = true;   // a power signal may bring it back
                continue;
            }
            if (stops[n] != sim::StopKind::Running) continue;
            const sim::StopKind kind = boards[n]->RunUntil(done, turnNs);
            if (kind == sim::StopKind::Running) {
                running = true;
            } else if (kind == sim::StopKind::Reset && !exitOnReset) {
                // A real board reboots: same NVRAM, same drives.
                boot(n);
                running = true;
            } else if (kind != sim::StopKind::PowerCut) {
                stops[n] = kind;
                if (controllers == 2) {
                    std::fprintf(stderr, "controller: Controller %zu stopped (%s)\n", n, sim::StopKindName(kind));
                }
            }
        }
        if (running) continue;
        if (!waiting) break;
        // No controller has power: only a signal or a key can change that.
        const timespec wait{0, 100'000'000};
        watch(&wait);
        inputHook();
    }
    int status = EXIT_STOPPED;
    switch (stops[0]) {
    case sim::StopKind::Idle: status = EXIT_IDLE; break;
    case sim::StopKind::Halt: status = EXIT_HALT; break;
    case sim::StopKind::Shutdown: status = EXIT_SHUTDOWN; break;
    case sim::StopKind::Reset: status = EXIT_RESET; break;
    default: status = EXIT_STOPPED; break;
    }
    if (lastOutput != '\n') std::fputs("\r\n", stdout);
    std::fflush(stdout);
    // A clock without a valid time stops start-up before the console takes
    // keys, so the date cannot be set there: say where the board keeps it.
    for (size_t n = 0; n < boards.size(); ++n) {
        if (stops[n] != sim::StopKind::Idle || boards[n]->rtc().Valid()) continue;
        std::fprintf(stderr,
                     "controller: %s/board.state: the controller's clock holds no valid time (rtc.time, "
                     "rtc.offset, rtc.valid): remove those lines to start it from this computer's clock\n",
                     configs[n].dataDir.c_str());
    }
    partnerConsole.Flush();
    RestoreTerminal();
    // The quit key is a power cut: a person should not take it for a hang.
    if (quit) std::fputs("controller: power cut (Ctrl-])\n", stderr);
    return status;
}
