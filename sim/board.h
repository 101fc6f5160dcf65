// The simulated board: one per controller.  Devices hang on a register bus;
// time is a virtual clock; the processor is a fiber that runs the firmware
// and yields back to whoever drives the board (a test, the controller
// program) at interrupt points.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "hw/host_interface.h"
#include "sim/bus.h"
#include "sim/clock.h"
#include "sim/cpu.h"
#include "sim/fiber.h"
#include "sim/firmware_image.h"
#include "sim/fpga.h"
#include "sim/gpio.h"
#include "sim/interrupt_controller.h"
#include "sim/jtag_port.h"
#include "sim/memory_windows.h"
#include "sim/flash.h"
#include "sim/nvram.h"
#include "sim/pci.h"
#include "sim/timers.h"
#include "sim/uart.h"

namespace sim {

class I2cUnits;
class ProcessorErrors;
class Rtc;
class SasController;
class SasTargetIoc;
class XorAccelerator;
class BusMonitor;
class IspChip;
class IspLoopChip;

// The host-port chips fitted, by the kind the firmware finds them to be.
enum class HostInterface : uint8_t {
    Fc = fw::HOST_INTERFACE_FC,
    Scsi = fw::HOST_INTERFACE_SAS,        // one dual-channel parallel SCSI chip
    SasTarget = fw::HOST_INTERFACE_SAS_TARGET,  // one SAS target IOC
};

// Why the firmware stopped running.
enum class StopKind {
    Running,    // still running: the run limit or the caller's condition ended the slice
    Finished,   // a function given to RunOnCpu returned
    Idle,       // idles forever after a failed start-up check
    Halt,       // "E:Halt"
    Shutdown,   // shut down, waiting for power-off
    Reset,      // the firmware reset the board (restart with Boot again)
    PowerCut,   // an injected power cut
};
const char* StopKindName(StopKind e);

struct BoardConfig {
    uint32_t memorySize = 0x04000000;  // boot-ROM memory size word
    // The SDRAM fitted: 128, 256 or 512 MiB, or 1 GiB where the program's
    // address space holds it (MemoryWindows::kMaxSdramBytes); bank 0 is
    // what lies above the firmware's own memory.
    uint32_t sdramBytes = 128u << 20;
    uint32_t bootBlockVersion = 3;
    uint32_t oemCode = 0;
    HostInterface hostInterface = HostInterface::Fc;
    bool fpgaProgrammed = true;   // false: a blank FPGA (power-on case)
    bool virtualTime = true;      // false: follow the wall clock
    // On the wall clock, the host's date at power-on in seconds since
    // 1900-01-01 UTC (0: the computer's clock); tests give one of their own.
    uint64_t hostDate = 0;
    std::string dataDir;          // empty: NVRAM, data banks and state in memory only
    // The cache battery keeps the data banks (the write-back cache) across
    // power-off; flat, they power on holding garbage.  NVRAM has a battery
    // of its own.
    bool cacheBatteryCharged = true;
    bool hostChip1 = true;        // host-port chips fitted (Fibre Channel)
    bool hostChip2 = true;
    uint8_t sasTargetRevision = 1;   // PCI revision of the SAS host ports' IOC
    uint32_t hostChipId = 0x24321077;  // their PCI identity (device << 16 | vendor)
    bool hostChipsPcie = false;   // behind the PCI Express link instead of on PCI-X
    // A test board: the Fibre Channel drive-loop chips 3 and 4 fitted on
    // their windows, each working an arbitrated loop (empty until a test
    // puts devices on it).  The production board has none.
    bool driveLoopChips = false;
    bool pciFault = false;        // PCI set-up finds the bus dead
    bool pciExpressFault = false; // PCI Express link never trains
    bool i2cFault[3] = {false, false, false};  // I2C unit stuck busy
    bool slot1 = true;            // this board sits in controller slot 1
    uint64_t wwn = 0x2000005AA5A00001ull;  // factory-programmed controller WWN
    FirmwareImage* firmware = nullptr;     // the firmware it runs (null: the controller's, fw)
    // The clock it runs on, which outlives it (null: a clock of its own).
    // Boards given one clock take turns on it (RunSideBySide).
    Clock* clock = nullptr;
};

class Board {
public:
    explicit Board(const BoardConfig& config = BoardConfig());
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // The firmware this board runs; its hw/ calls reach the newest board
    // made for it, and the board that runs it while a run lasts.
    FirmwareImage& firmware() { return m_firmware; }
    // The board the controller's own firmware (fw) reaches now.
    static Board& Current();

    const BoardConfig& config() const { return m_config; }
    Clock& clock() { return m_clock; }
    Bus& bus() { return m_bus; }
    Cpu& cpu() { return *m_cpu; }
    InterruptController& intc() { return m_intc; }
    Timers& timers() { return *m_timers; }
    Uart& uart() { return *m_uart; }
    Nvram& nvram() { return *m_nvram; }
    // The NOR flash that holds the controller firmware the boot ROM starts.
    Flash& flash() { return *m_flash; }
    Fpga& fpga() { return *m_fpga; }
    Pci& pci() { return *m_pci; }
    MemoryWindows& memory() { return m_memory; }
    I2cUnits& i2c() { return *m_i2c; }
    Rtc& rtc() { return *m_rtc; }
    ProcessorErrors& processorErrors() { return *m_errors; }
    SasController& sasController() { return *m_sasController; }
    // The SAS host ports' IOC (null unless the board has SAS host ports).
    SasTargetIoc* sasTargetIoc() { return m_sasTargetIoc; }
    XorAccelerator& xorAccelerator() { return *m_xor; }
    BusMonitor& busMonitor() { return *m_busMonitor; }
    // Host chip 1 or 2 of a Fibre Channel board; null when not fitted.
    IspChip* ispChip(uint8_t chip) { return chip == 1 || chip == 2 ? m_ispChips[chip - 1] : nullptr; }
    // Drive-loop chip 3 or 4 of a test board; null when not fitted.
    IspLoopChip* loopChip(uint8_t chip) { return chip == 3 || chip == 4 ? m_loopChips[chip - 3].get() : nullptr; }

    // The board's state file (key=value lines in the data directory): what
    // the board keeps across runs besides NVRAM and drives.
    std::string StateValue(const std::string& key) const;
    void SetStateValue(const std::string& key, const std::string& value);

    // --- running firmware -------------------------------------------------
    // The reset entry the processor jumps to (the controller's ControllerEntry).
    void SetResetEntry(void (*entry)()) { m_resetEntry = entry; }
    // Power on (or restart after a reset): firmware globals back to their load
    // image, processor reset, and the reset entry ready to run.
    void Boot();
    // Run the processor until it stops, until `done` returns true (checked at
    // main-loop polls), or until `limitNs` of board time have passed.  On a
    // shared clock the run is one turn: the processor gives the clock back
    // at the first interrupt point past it, waits included.
    StopKind RunUntil(const std::function<bool()>& done, uint64_t limitNs);
    StopKind RunFor(uint64_t ns) { return RunUntil(nullptr, ns); }
    // Run one function on the processor (unit tests that may hit an endless
    // state or a power cut).  Finished when it returned.
    StopKind RunOnCpu(const std::function<void()>& fn);
    StopKind lastStop() const { return m_lastStop; }

    // --- two controllers ----------------------------------------------------
    // Pairs two boards in one enclosure (both on the chassis given): their
    // drive IOCs see each other's ports and their heartbeat lines meet.
    static void ConnectPartners(Board& a, Board& b);
    // This board leaves the pair as its power goes: its partner loses its
    // ports and heartbeat, and the processor never runs again.
    void CutPower();
    // Power comes back: the board starts again (Boot) as at power-on, on
    // what its NVRAM, its battery-backed bank and the drives kept.  Pair it
    // again (ConnectPartners) first when its partner runs.
    void RestorePower() { m_poweredOff = false; }
    bool poweredOff() const { return m_poweredOff; }

    // Called from the device side: the processor stops for good.
    [[noreturn]] void StopProcessor(StopKind kind);
    // Called by hw/ on every access: time passes, interrupts are taken.  A
    // device access (`deviceAccess`) shows the firmware is doing more than
    // waiting; masking, unmasking and coprocessor reads alone do not.  Most
    // points find no event due and nothing to take (the clock holds its
    // passes otherwise): that path is inline and tests once.
    void InterruptPoint(uint32_t costNs, bool deviceAccess = true) {
        if (deviceAccess) m_idleSincePoll = false;
        if (__builtin_expect(!m_clock.Pass(costNs), 0)) HeldPoint(costNs);
    }
    // A coprocessor write (the interrupt controller's enables, the timers):
    // on the wall clock it shows the firmware at work on its queues, whose
    // locks write the interrupt controller (PollOnWallClock).
    void CoprocessorWrite(uint32_t costNs) {
        m_queuesSincePoll = true;
        InterruptPoint(costNs, false);
    }
    void Poll();
    void Delay(uint64_t ns);

    // --- console ------------------------------------------------------------
    // Everything the UART transmitted (watchers call this at every poll: no copy).
    const std::string& ConsoleText() const;
    void ClearConsoleText();
    void TypeKeys(std::string_view keys);
    // Called at every main-loop poll (the controller program flushes its
    // output here).
    std::function<void()> pollHook;
    // Takes outside input that is ready, without waiting (the controller
    // program reads its terminal and sockets here).  In virtual time it is
    // called at every poll; on the wall clock after every wait for input
    // and, while the firmware is busy, at every kInputPolls-th poll or delay.
    std::function<void()> inputHook;

    // --- the wall clock -------------------------------------------------------
    // On the wall clock board time is the firmware's own: hardware accesses,
    // delays and device service times cost what they cost in virtual time,
    // and the firmware never waits while it has work.  Only an idle
    // firmware lets the host sleep, and board time then waits for the wall
    // clock.  Board time may lead the wall clock by kWallLeadNs: events due
    // within it run at once, so short device waits cost no sleep and a
    // sleep that ends late is made up by the next.  It may fall behind
    // (a busy or a batched firmware) and catches up without sleeping, event
    // by event, so the firmware sees every tick in order.
    static constexpr uint64_t kWallLeadNs = 1'000'000;
    // While busy, input is looked for at every this many polls (and delays).
    static constexpr uint32_t kInputPolls = 32;
    // With no host command open, the processor's own timers do not end a
    // sleep: the host sleeps up to this long and the ticks that fell due run
    // in order afterwards, so an idle controller wakes its host about this
    // often.  A command open ends sleeps at the next timer.
    uint64_t idleSleepLimitNs = 20'000'000;
    // Whether board time follows the wall clock now.  Until it does, the
    // board's waits pass at once, as in virtual time (nothing outside the
    // board watches start-up's waits); from the switch on, board time goes
    // on from where it stands at the wall clock's pace.
    void FollowWallClock(bool follow);
    bool followsWallClock() const { return m_followWall; }
    // The host's clock in nanoseconds (the monotonic clock when unset; tests
    // give a clock of their own).
    std::function<uint64_t()> wallClock;
    // Board time on the wall clock: where the board's clock would stand had
    // it kept the wall clock's pace since it began to follow it.
    uint64_t WallNow() const;
    // Waits up to the given time for outside input while the firmware
    // idles, so a program can wake on its sockets at once (sleeps when
    // unset).
    std::function<void(uint64_t ns)> idleWait;
    // Host commands the host-port chips hold open: while there are any, the
    // firmware's timers end the host's sleeps.
    bool HostCommandsOpen() const;

private:
    // Creates the devices and wires them: their bus addresses, their
    // interrupt lines, their PCI slots (board_wiring.cpp).
    void WireDevices();
    void TakeInterrupts();
    // The SAS target IOC and the parallel SCSI chip reset with the board:
    // a FAULT ends, the links drop and every exchange ends.
    void ResetHostPortIocs();
    // An interrupt point with device events falling due on the way, or that
    // has an interrupt to take.
    __attribute__((noinline)) void HeldPoint(uint32_t costNs);
    void PollOnWallClock();
    void IdleOnWallClock();
    // Runs the next event when it falls due by `limitNs`; false when none does.
    bool StepToEventDueBy(uint64_t limitNs);
    // Sleeps up to `ns` of wall time, watching for input, and takes it.
    void WaitForInput(uint64_t ns);
    void TakeInput();
    void YieldIfDue();
    // On a shared clock: the processor's turn is over, the others' run now.
    bool TurnOver() const { return m_sharedClock && m_clock.Now() >= m_sliceEnd && m_fiber->Active(); }

    BoardConfig m_config;
    bool m_poweredOff = false;
    FirmwareImage& m_firmware;
    std::unique_ptr<Clock> m_ownClock;
    Clock& m_clock;
    const bool m_sharedClock;
    // On a shared clock, an event at the end of the turn: the interrupt
    // point that reaches it finds its time up.
    Clock::Event m_turnEnd;
    Bus m_bus;
    InterruptController m_intc;
    // What board.state holds, read before any file of the board is made: a
    // state file the run cannot use refuses it first.
    std::map<std::string, std::string> m_state;
    MemoryWindows m_memory;
    // The devices, made by WireDevices.
    std::unique_ptr<Timers> m_timers;
    std::unique_ptr<Cpu> m_cpu;
    std::unique_ptr<Uart> m_uart;
    std::unique_ptr<Nvram> m_nvram;
    std::unique_ptr<Flash> m_flash;
    std::unique_ptr<Fpga> m_fpga;
    std::unique_ptr<JtagPort> m_jtag;
    std::unique_ptr<Gpio> m_gpio;
    std::unique_ptr<Pci> m_pci;
    std::unique_ptr<I2cUnits> m_i2c;
    std::unique_ptr<Rtc> m_rtc;
    std::unique_ptr<ProcessorErrors> m_errors;
    std::unique_ptr<XorAccelerator> m_xor;
    std::unique_ptr<BusMonitor> m_busMonitor;
    SasController* m_sasController = nullptr;  // kept by the PCI model
    SasTargetIoc* m_sasTargetIoc = nullptr;
    IspChip* m_ispChips[2] = {nullptr, nullptr};
    std::unique_ptr<IspLoopChip> m_loopChips[2];
    std::unique_ptr<Fiber> m_fiber;
    void (*m_resetEntry)() = nullptr;
    StopKind m_lastStop = StopKind::Running;
    const std::function<bool()>* m_done = nullptr;
    uint64_t m_sliceEnd = 0;
    uint32_t m_processorDepth = 0;   // InBoard depth of the processor's thread when it yielded
    bool m_idleSincePoll = true;
    bool m_queuesSincePoll = false;   // a coprocessor write since the last poll
    std::function<void()> m_cpuFunction;
    bool m_stopped = false;
    bool m_finished = false;
    uint64_t m_wallStart = 0;  // host time at board time 0 (wall-clock runs)
    // Board and host time when the board last stopped following the wall
    // clock: what its start-up's skipped waits are measured from.
    uint64_t m_boardAtHold = 0;
    uint64_t m_hostAtHold = 0;
    bool m_followWall = false;
    uint32_t m_pollsSinceInput = 0;
};

}  // namespace sim
