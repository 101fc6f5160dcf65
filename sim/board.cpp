#include "sim/board.h"
#include "sim/vsc7156.h"
#include "sim/isp_loop_chip.h"

#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "sim/bus_monitor.h"
#include "sim/fpga.h"
#include "sim/i2c_units.h"
#include "sim/isp_chip.h"
#include "sim/processor_errors.h"
#include "sim/processor_side.h"
#include "sim/rtc.h"
#include "sim/sas_controller.h"
#include "sim/sas_target_ioc.h"
#include "sim/setup.h"
#include "sim/scsi_host_ioc.h"
#include "sim/xor_accelerator.h"

namespace sim {

namespace {

uint64_t WallNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void PutWord(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

constexpr uint32_t kPollCostNs = 200;

}  // namespace

const char* StopKindName(StopKind e) {
    switch (e) {
    case StopKind::Running: return "running";
    case StopKind::Finished: return "finished";
    case StopKind::Idle: return "idle";
    case StopKind::Halt: return "halt";
    case StopKind::Shutdown: return "shutdown";
    case StopKind::Reset: return "reset";
    case StopKind::PowerCut: return "power cut";
    }
    return "?";
}

namespace {

std::string StatePath(const std::string& dataDir) { return dataDir + "/board.state"; }

// The board's state lines (key=value), none when the file is not there
// yet; a state file that cannot be read (a directory in its place, no
// permission) refuses the run rather than start the clock from nothing.
std::map<std::string, std::string> ReadBoardState(const std::string& dataDir) {
    std::map<std::string, std::string> state;
    if (dataDir.empty()) return state;
    const std::string path = StatePath(dataDir);
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return state;
        FailSetup(path, std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) {
        FailSetup(path, std::string(S_ISDIR(st.st_mode) ? "a directory" : "not a file") +
                            ", not the board's state file; move it away or choose another --data-dir");
    }
    std::ifstream in(path);
    if (!in) FailSetup(path, std::strerror(errno));
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) state[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return state;
}

}  // namespace

Board::Board(const BoardConfig& config)
    : m_config(config), m_firmware(config.firmware ? *config.firmware : fw::hwFirmwareImage),
      m_ownClock(config.clock ? nullptr : std::make_unique<Clock>()),
      m_clock(config.clock ? *config.clock : *m_ownClock), m_sharedClock(config.clock != nullptr),
      m_turnEnd([] {}), m_state(ReadBoardState(config.dataDir)),
      m_memory(config.memorySize, config.sdramBytes,
               {config.dataDir.empty() ? "" : config.dataDir + "/bank0.bin", config.cacheBatteryCharged, config.wwn},
               m_firmware.bankWindowOffset()) {
    // A new board is a power-on: its firmware starts from the load image, not
    // from the globals an earlier board in this process left behind.  A board
    // built beside one still running the same firmware leaves that one's alone.
    m_firmware.Snapshot();
    if (!m_firmware.board) m_firmware.Restore();
    m_firmware.board = this;
    m_wallStart = WallNs();
    m_followWall = !m_config.virtualTime;
    m_fiber = std::make_unique<Fiber>();
    WireDevices();

    // What the boot ROM leaves in low memory: its parameter block and, for
    // the old block versions, the memory size just below the load address.
    uint8_t* boot = m_memory.bootBlock();
    PutWord(boot + 0x00, m_config.bootBlockVersion);
    std::memcpy(boot + 0x04, "0310", 4);   // the boot ROM's revision
    PutWord(boot + 0x08, m_config.oemCode);
    PutWord(boot + 0x14, m_config.memorySize);
    for (uint32_t i = 0; i < 8; ++i) PutWord(boot + 0x1C + 4 * i, 0x00070060 + 0x4000 * i);
    PutWord(boot + MemoryWindows::kBootBlockSize - 4, m_config.memorySize);
}

Board::~Board() {
    Vsc7156::DetachFrom(*this);
    m_rtc->PowerOff();
    m_nvram->Sync();
    if (m_firmware.board == this) m_firmware.board = nullptr;
}

void Board::ConnectPartners(Board& a, Board& b) {
    Fpga::ConnectPartners(*a.m_fpga, *b.m_fpga);
    SasController::ConnectPartners(*a.m_sasController, *b.m_sasController);
}

void Board::ResetHostPortIocs() {
    if (m_sasTargetIoc != nullptr) m_sasTargetIoc->BoardReset();
    for (uint8_t function = 0; function < 2; ++function) {
        if (ScsiHostIoc* ioc = FindScsiHostIoc(*this, function)) ioc->BoardReset();
    }
}

void Board::CutPower() {
    m_poweredOff = true;
    m_fpga->DisconnectPartner();
    m_sasController->DisconnectPartner();
    for (IspChip* chip : m_ispChips) {
        if (chip != nullptr) chip->PowerOff();
    }
    // The host ports go dark with it: their hosts lose the link and what
    // they had open ends.
    ResetHostPortIocs();
    if (!m_stopped) {
        m_stopped = true;
        m_lastStop = StopKind::PowerCut;
    }
}

Board& Board::Current() {
    if (!fw::hwFirmwareImage.board) {
        std::fprintf(stderr, "board: no board for the firmware\n");
        std::abort();
    }
    return *fw::hwFirmwareImage.board;
}

std::string Board::StateValue(const std::string& key) const {
    auto it = m_state.find(key);
    return it == m_state.end() ? std::string() : it->second;
}

// Written whole beside the old file and put in its place, so that a full
// file system keeps the old state rather than leave an empty file.
void Board::SetStateValue(const std::string& key, const std::string& value) {
    m_state[key] = value;
    if (m_config.dataDir.empty()) return;
    const std::string path = StatePath(m_config.dataDir), temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        for (const auto& [k, v] : m_state) out << k << '=' << v << '\n';
        out.flush();
        if (out && rename(temporary.c_str(), path.c_str()) == 0) return;
    }
    std::fprintf(stderr, "controller: %s: cannot keep the board's state (%s): the last one kept stays\n", path.c_str(),
                 std::strerror(errno));
    unlink(temporary.c_str());
}

// --- running the processor ---------------------------------------------------

void Board::FollowWallClock(bool follow) {
    if (m_config.virtualTime || follow == m_followWall) return;
    m_followWall = follow;
    const uint64_t host = wallClock ? wallClock() : WallNs();
    if (!follow) {
        m_boardAtHold = m_clock.Now();
        m_hostAtHold = host;
        return;
    }
    // The start-up's waits passed at once: board time ran ahead of the
    // host's by what they took, which the clock chip takes off next time.
    const uint64_t boardSpent = m_clock.Now() - m_boardAtHold, hostSpent = host - m_hostAtHold;
    m_rtc->StartUpSkipped(boardSpent > hostSpent ? boardSpent - hostSpent : 0);
    m_wallStart = host - m_clock.Now();
}

void Board::Boot() {
    // The boot ROM starts the newest whole image in the flash; with none the
    // board stays dark.
    if (m_flash->BootSlot() < 0) {
        m_stopped = true;
        m_lastStop = StopKind::Idle;
        return;
    }
    m_firmware.Restore();
    // A restart through the board's reset line resets the chips with it: the
    // drive IOC starts its firmware from flash whatever hold it was in, a
    // host-port IOC leaves a FAULT and ends its exchanges as at its own hard
    // reset, and the host chips lose their logins and links as at a power
    // cut.  (After a power cut the firmware's bring-up resets the IOC it
    // finds running.)
    if (m_lastStop == StopKind::Reset) {
        m_sasController->BoardReset();
        ResetHostPortIocs();
        for (IspChip* chip : m_ispChips) {
            if (chip != nullptr) chip->PowerOff();
        }
    }
    m_fpga->BoardReset();
    m_cpu->Reset();
    m_timers->Write(0, 0);
    m_timers->Write(1, 0);
    m_timers->Write(6, 3);
    for (unsigned r = 0; r < InterruptController::kRegisters; ++r) {
        m_intc.Write(r, InterruptController::kCrmEnable, 0);
        m_intc.Write(r, InterruptController::kCrmSteer, 0);
    }
    for (unsigned r = 0; r < InterruptController::kMessageRegisters; ++r) m_intc.WriteMessageStatus(r, 0);
    std::memset(m_memory.vectorPage(), 0, MemoryWindows::kVectorPageSize);
    m_stopped = false;
    m_lastStop = StopKind::Running;
    m_processorDepth = 0;
    void (*entry)() = m_resetEntry;
    m_fiber->Start([entry] { entry(); });
}

StopKind Board::RunUntil(const std::function<bool()>& done, uint64_t limitNs) {
    if (m_stopped) return m_lastStop;
    if (!m_fiber->Started()) {
        std::fprintf(stderr, "board: nothing to run (Boot or RunOnCpu first)\n");
        std::abort();
    }
    m_done = done ? &done : nullptr;
    m_sliceEnd = limitNs > UINT64_MAX - m_clock.Now() ? UINT64_MAX : m_clock.Now() + limitNs;
    if (m_sharedClock && m_sliceEnd != UINT64_MAX) m_clock.Arm(m_turnEnd, m_sliceEnd);
    m_memory.HoldProcessorWindow();
    Board* previous = m_firmware.board;
    m_firmware.board = this;
    // Board or firmware, as this processor's thread left it.
    const uint32_t outside = InBoard::Exchange(m_processorDepth);
    bool finished = m_fiber->Resume();
    m_processorDepth = InBoard::Exchange(outside);
    m_firmware.board = previous ? previous : this;
    if (m_sharedClock) m_clock.Disarm(m_turnEnd);
    m_done = nullptr;
    if (m_stopped) return m_lastStop;
    if (finished) {
        m_lastStop = StopKind::Finished;
        m_stopped = true;
    }
    return m_lastStop;
}

StopKind Board::RunOnCpu(const std::function<void()>& fn) {
    m_stopped = false;
    m_lastStop = StopKind::Running;
    m_cpuFunction = fn;
    m_processorDepth = 0;
    m_fiber->Start([this] { m_cpuFunction(); });
    return RunUntil(nullptr, UINT64_MAX);
}

void Board::StopProcessor(StopKind kind) {
    m_stopped = true;
    m_lastStop = kind;
    m_nvram->Sync();
    if (!m_fiber->Active()) {
        std::fprintf(stderr, "board: the processor stopped (%s) outside a run\n", StopKindName(kind));
        std::abort();
    }
    m_fiber->Yield();
    std::fprintf(stderr, "board: a stopped processor was resumed\n");
    std::abort();
}

void Board::TakeInterrupts() {
    if (!(m_cpu->Cpsr() & Cpu::kFiqMask) && m_intc.FiqPending()) m_cpu->TakeException(Cpu::Vector::Fiq);
    if (!(m_cpu->Cpsr() & Cpu::kIrqMask) && m_intc.IrqPending()) m_cpu->TakeException(Cpu::Vector::Irq);
}

void Board::HeldPoint(uint32_t costNs) {
    m_clock.AdvanceTo(m_clock.Now() + costNs, [this] { TakeInterrupts(); });
    if (TurnOver()) m_fiber->Yield();
    TakeInterrupts();
}

uint64_t Board::WallNow() const { return (wallClock ? wallClock() : WallNs()) - m_wallStart; }

void Board::Delay(uint64_t ns) {
    const uint64_t target = m_clock.Now() + ns;
    // On a shared clock the others' processors run while this one waits.
    while (m_sharedClock && target > m_sliceEnd && m_fiber->Active()) {
        m_clock.AdvanceTo(m_sliceEnd, [this] { TakeInterrupts(); });
        m_fiber->Yield();
        TakeInterrupts();   // what was raised while the others ran
    }
    m_clock.AdvanceTo(target, [this] { TakeInterrupts(); });
    if (m_followWall) {
        // A long wait takes its time on the wall clock too, watching for
        // input; a short one passes at once within the lead.
        for (uint64_t wall = WallNow(); m_clock.Now() > wall + kWallLeadNs; wall = WallNow()) {
            WaitForInput(m_clock.Now() - kWallLeadNs - wall);
            YieldIfDue();   // a long wait still lets the driver stop the board
        }
        if (++m_pollsSinceInput >= kInputPolls) TakeInput();
    }
    TakeInterrupts();
    m_idleSincePoll = false;
    YieldIfDue();
}

void Board::Poll() {
    if (m_followWall) return PollOnWallClock();
    bool idle = m_idleSincePoll;
    InterruptPoint(kPollCostNs, false);
    if (pollHook) pollHook();
    if (inputHook) inputHook();
    if (idle) {
        // Nothing touched the hardware since the last poll: the firmware only
        // waits, so time moves on to the next device event.
        uint64_t next = m_clock.NextEventTime();
        if (next != UINT64_MAX) {
            if (next > m_sliceEnd) next = m_sliceEnd;
            m_clock.AdvanceTo(next, [this] { TakeInterrupts(); });
            TakeInterrupts();
        }
    }
    YieldIfDue();
    m_idleSincePoll = true;
}

// What the firmware did since the last poll, and what happened at this
// poll's own interrupt point, decide whether time moves on: an interrupt
// handler that ran inside a poll (at an event the poll stepped to or found
// due) may have left work the next cycle does without touching the
// hardware.
//  - It touched a device, or an event ran: the next cycle runs at once.
//  - It touched no device but wrote the interrupt controller: it worked on
//    its queues (their locks write it), moving work along a piece a cycle
//    or retrying what waits for an event.  While a host waits that is work:
//    the next cycle runs at once, after the events the wall clock has
//    reached, so that retrying does not hold time back.  With no host
//    waiting it idles.
//  - Neither: it idles (IdleOnWallClock).
void Board::PollOnWallClock() {
    if (pollHook) pollHook();
    // Input first: what it raises is taken at the poll's own point.
    if (++m_pollsSinceInput >= kInputPolls) TakeInput();
    const uint64_t eventsBefore = m_clock.EventsRun();
    InterruptPoint(kPollCostNs, false);
    const bool active = !m_idleSincePoll || m_clock.EventsRun() != eventsBefore;
    const bool queues = m_queuesSincePoll;
    m_idleSincePoll = true;
    m_queuesSincePoll = false;
    if (!active) {
        if (queues && HostCommandsOpen()) {
            (void)StepToEventDueBy(WallNow());
        } else {
            IdleOnWallClock();
        }
    }
    YieldIfDue();
}

bool Board::HostCommandsOpen() const {
    for (const IspChip* chip : m_ispChips) {
        if (chip && chip->openExchanges() != 0) return true;
    }
    return false;
}

bool Board::StepToEventDueBy(uint64_t limitNs) {
    uint64_t next = m_clock.NextEventTime();
    if (next > limitNs) return false;
    if (next > m_sliceEnd) next = m_sliceEnd;
    m_clock.AdvanceTo(next, [this] { TakeInterrupts(); });
    TakeInterrupts();
    return true;
}

// The firmware idles.  The next event, when within the lead of the wall
// clock, runs at once, followed by the main loop's cycles, as in virtual
// time: the firmware waits for nothing the wall clock has (nearly) reached,
// and a board behind the wall clock catches up event by event.  Otherwise
// the host sleeps, watching for input, until the wall clock comes within
// the lead of it, or for the sleep limit at most.  With no host command
// open the processor's timers do not end the sleep: those that fell due
// meanwhile run in order afterwards.
void Board::IdleOnWallClock() {
    const uint64_t wall = WallNow();
    if (StepToEventDueBy(wall + kWallLeadNs)) return;
    uint64_t wake = HostCommandsOpen() ? m_clock.NextEventTime()
                                       : m_clock.NextEventTimeBesides({&m_timers->Expiry(0), &m_timers->Expiry(1)});
    wake = std::min(wake, wall + kWallLeadNs + idleSleepLimitNs);
    WaitForInput(wake - kWallLeadNs - wall);
}

void Board::WaitForInput(uint64_t ns) {
    if (idleWait) {
        idleWait(ns);
    } else {
        timespec ts{static_cast<time_t>(ns / 1000000000ull), static_cast<long>(ns % 1000000000ull)};
        nanosleep(&ts, nullptr);
    }
    TakeInput();
}

void Board::TakeInput() {
    m_pollsSinceInput = 0;
    if (inputHook) inputHook();
}

void Board::YieldIfDue() {
    if (!m_fiber->Active()) return;
    if (m_clock.Now() >= m_sliceEnd || (m_done && (*m_done)())) m_fiber->Yield();
}

// --- console -------------------------------------------------------------------

const std::string& Board::ConsoleText() const { return m_uart->Transmitted(); }

void Board::ClearConsoleText() { m_uart->ClearTransmitted(); }

void Board::TypeKeys(std::string_view keys) { m_uart->Receive(std::string(keys)); }

}  // namespace sim
