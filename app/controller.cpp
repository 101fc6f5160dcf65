// controller: boots one controller on a simulated board.
//
// The console is the terminal (raw mode), a pipe, or a file of keystrokes;
// console output always goes to standard output.  Ctrl-] quits, as do
// SIGINT and SIGTERM; either is a power cut: NVRAM and drives keep what was
// written.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "executive/startup.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"

namespace {

enum ExitStatus {
    EXIT_STOPPED = 0,   // --stop-after, the quit key or a signal
    EXIT_USAGE = 2,
    EXIT_IDLE = 3,      // idles forever after a failed start-up check
    EXIT_HALT = 4,
    EXIT_SHUTDOWN = 5,
    EXIT_RESET = 6,
};

constexpr char kQuitKey = 0x1D;  // Ctrl-]

volatile sig_atomic_t g_signalled = 0;
termios g_savedTerminal;
bool g_rawTerminal = false;

void OnSignal(int) { g_signalled = 1; }

void RestoreTerminal() {
    if (g_rawTerminal) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    g_rawTerminal = false;
}

void Usage() {
    std::fprintf(stderr,
                 "usage: controller [--data-dir DIR] [--virtual-time] [--stop-after MS]\n"
                 "                  [--console-in FILE] [--memory-size BYTES]\n"
                 "                  [--boot-block-version N] [--host-interface fc|sas|sas-target]\n"
                 "                  [--fpga blank|programmed] [--drives N] [--drive-size BYTES]\n"
                 "                  [--drive-type sas|sata]\n");
}

bool ParseNumber(const char* text, uint64_t* value) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0') return false;
    *value = v;
    return true;
}

bool MakeDirectory(const std::string& path) {
    std::string partial;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            if (!partial.empty() && mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
        if (i < path.size()) partial.push_back(path[i]);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    sim::BoardConfig config;
    config.virtualTime = false;
    config.dataDir = "./var";
    uint64_t stopAfterMs = 0;
    std::string consoleIn;
    sim::ChassisOptions enclosure;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "controller: %s needs a value\n", name);
                std::exit(EXIT_USAGE);
            }
            return argv[++i];
        };
        uint64_t n = 0;
        if (arg == "--data-dir") {
            config.dataDir = value("--data-dir");
        } else if (arg == "--virtual-time") {
            config.virtualTime = true;
        } else if (arg == "--stop-after") {
            if (!ParseNumber(value("--stop-after"), &stopAfterMs)) {
                std::fprintf(stderr, "controller: --stop-after takes milliseconds\n");
                return EXIT_USAGE;
            }
        } else if (arg == "--console-in") {
            consoleIn = value("--console-in");
        } else if (arg == "--memory-size") {
            if (!ParseNumber(value("--memory-size"), &n) || n > 0xFFFFFFFFu) {
                std::fprintf(stderr, "controller: --memory-size takes a byte count\n");
                return EXIT_USAGE;
            }
            config.memorySize = static_cast<uint32_t>(n);
        } else if (arg == "--boot-block-version") {
            if (!ParseNumber(value("--boot-block-version"), &n) || n > 0xFFFFFFFFu) {
                std::fprintf(stderr, "controller: --boot-block-version takes a number\n");
                return EXIT_USAGE;
            }
            config.bootBlockVersion = static_cast<uint32_t>(n);
        } else if (arg == "--host-interface") {
            std::string v = value("--host-interface");
            if (v == "fc") {
                config.hostInterface = sim::HostInterface::Fc;
            } else if (v == "sas") {
                config.hostInterface = sim::HostInterface::Sas;
            } else if (v == "sas-target") {
                config.hostInterface = sim::HostInterface::SasTarget;
            } else {
                std::fprintf(stderr, "controller: --host-interface is fc, sas or sas-target\n");
                return EXIT_USAGE;
            }
        } else if (arg == "--fpga") {
            std::string v = value("--fpga");
            if (v != "blank" && v != "programmed") {
                std::fprintf(stderr, "controller: --fpga is blank or programmed\n");
                return EXIT_USAGE;
            }
            config.fpgaProgrammed = v == "programmed";
        } else if (arg == "--drives") {
            if (!ParseNumber(value("--drives"), &n) || n > sim::Chassis::kSlots) {
                std::fprintf(stderr, "controller: --drives takes 0 to %u\n", sim::Chassis::kSlots);
                return EXIT_USAGE;
            }
            enclosure.drives = static_cast<unsigned>(n);
        } else if (arg == "--drive-size") {
            if (!ParseNumber(value("--drive-size"), &n) || n < (1u << 20) || n % 512 != 0) {
                std::fprintf(stderr, "controller: --drive-size takes a byte count of at least 1 MiB, in 512-byte blocks\n");
                return EXIT_USAGE;
            }
            enclosure.driveBytes = n;
        } else if (arg == "--drive-type") {
            std::string v = value("--drive-type");
            if (v != "sas" && v != "sata") {
                std::fprintf(stderr, "controller: --drive-type is sas or sata\n");
                return EXIT_USAGE;
            }
            enclosure.sata = v == "sata";
        } else if (arg == "--help" || arg == "-h") {
            Usage();
            return EXIT_STOPPED;
        } else {
            std::fprintf(stderr, "controller: unknown option %s\n", arg.c_str());
            Usage();
            return EXIT_USAGE;
        }
    }
    if (!MakeDirectory(config.dataDir)) {
        std::fprintf(stderr, "controller: cannot create %s: %s\n", config.dataDir.c_str(), std::strerror(errno));
        return EXIT_USAGE;
    }

    std::string keystrokes;
    if (!consoleIn.empty()) {
        std::ifstream in(consoleIn, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "controller: cannot read %s\n", consoleIn.c_str());
            return EXIT_USAGE;
        }
        keystrokes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    bool terminalInput = consoleIn.empty() && isatty(STDIN_FILENO);
    bool pipeInput = consoleIn.empty() && !terminalInput;
    if (terminalInput && tcgetattr(STDIN_FILENO, &g_savedTerminal) == 0) {
        termios raw = g_savedTerminal;
        cfmakeraw(&raw);
        raw.c_oflag |= OPOST;
        if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
            g_rawTerminal = true;
            std::atexit(RestoreTerminal);
        }
    }

    // The enclosure outlives the board: its drives keep what was written.
    enclosure.directory = config.dataDir;
    sim::Chassis chassis(enclosure);
    sim::Board board(config);
    board.sasController().AttachChassis(&chassis);
    board.uart().sink = [](char c) { std::fputc(c, stdout); };

    bool quit = false;
    bool inputOpen = terminalInput || pipeInput;
    board.pollHook = [&] {
        std::fflush(stdout);
        if (!inputOpen) return;
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) return;
        char buffer[256];
        ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            inputOpen = false;
            return;
        }
        std::string keys;
        for (ssize_t i = 0; i < n; ++i) {
            if (terminalInput && buffer[i] == kQuitKey) {
                quit = true;
                break;
            }
            keys.push_back(buffer[i]);
        }
        board.TypeKeys(keys);
    };

    // --stop-after counts from the start of the main loop, which the board
    // sees as the moment start-up arms the FPGA watchdog.
    uint64_t mainLoopStart = 0;
    bool started = false;
    auto done = [&] {
        if (!started && board.fpga().WatchdogRunning()) {
            started = true;
            mainLoopStart = board.clock().Now();
            // Typed only now: start-up's polled output discards what arrives
            // while it sends, as on the real console.
            board.TypeKeys(keystrokes);
        }
        if (quit || g_signalled) return true;
        return stopAfterMs != 0 && started && board.clock().Now() - mainLoopStart >= stopAfterMs * 1000000ull;
    };

    board.SetResetEntry(&fw::ControllerEntry);
    board.Boot();
    int status = EXIT_STOPPED;
    for (;;) {
        sim::StopKind kind = board.RunUntil(done, 1'000'000'000ull);
        if (kind == sim::StopKind::Running) {
            if (done()) break;
            continue;
        }
        switch (kind) {
        case sim::StopKind::Idle: status = EXIT_IDLE; break;
        case sim::StopKind::Halt: status = EXIT_HALT; break;
        case sim::StopKind::Shutdown: status = EXIT_SHUTDOWN; break;
        case sim::StopKind::Reset: status = EXIT_RESET; break;
        default: status = EXIT_STOPPED; break;
        }
        break;
    }
    std::fflush(stdout);
    RestoreTerminal();
    return status;
}
