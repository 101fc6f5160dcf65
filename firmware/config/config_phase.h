// The configuration phase machine: long operations that must not overlap a
// configuration change run one at a time as phases, each a handler called
// with its step from the background pass until it sets the phase back to 0.
// The machine runs when one of its two run counters is non-zero.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

// Phases.
constexpr uint8_t CONFIG_PHASE_IDLE = 0;
constexpr uint8_t CONFIG_PHASE_EDIT = 1;
constexpr uint8_t CONFIG_PHASE_COMMIT = 2;
constexpr uint8_t CONFIG_PHASE_DRIVE_COMMAND = 6;
constexpr uint8_t CONFIG_PHASE_DRIVE_TABLES = 7;
constexpr uint8_t CONFIG_PHASE_DRIVE_FIRMWARE = 8;
constexpr uint8_t CONFIG_PHASE_DRIVE_FORMAT = 9;
constexpr uint8_t CONFIG_PHASE_DRIVE_LOOPS = 10;
constexpr uint8_t CONFIG_PHASE_HOST_CHIP_RESTART = 11;
constexpr uint8_t CONFIG_PHASE_WAIT_DRIVE_READY = 12;
constexpr uint8_t CONFIG_PHASE_STORED_FIRMWARE = 13;
constexpr uint8_t CONFIG_PHASE_ENCLOSURE_DISCOVERY = 15;
constexpr uint8_t CONFIG_PHASE_LAST = 15;
constexpr uint8_t CONFIG_STEP_NONE = 255;

// Requester codes: who started a phase or asked for a commit, which decides
// how the phases finish the request.
constexpr uint8_t REQUESTER_EDITOR = 1;
constexpr uint8_t REQUESTER_COMMIT = 2;            // the apply and the verify completion
constexpr uint8_t REQUESTER_DRIVE_FAILURE = 3;
constexpr uint8_t REQUESTER_MANAGEMENT = 4;
constexpr uint8_t REQUESTER_SPARE_ASSIGN = 6;
constexpr uint8_t REQUESTER_MANAGEMENT_ABORT = 7;
constexpr uint8_t REQUESTER_NO_PARTNER_NOTICE = 9;
constexpr uint8_t REQUESTER_CONSOLE = 10;
constexpr uint8_t REQUESTER_COMMIT_SAME_GENERATION = 12;
constexpr uint8_t REQUESTER_BAD_BLOCKS = 13;
constexpr uint8_t REQUESTER_TARGET_ENGINE = 14;
constexpr uint8_t REQUESTER_SNAPSHOT = 15;
constexpr uint8_t REQUESTER_POWER_MANAGEMENT = 16;
constexpr uint8_t REQUESTER_DATA_SERVICES = 17;

// Status a phase handler returns to be run again.
constexpr uint8_t PHASE_RUN_AGAIN = 16;

// The phase's fields.  The window length of phase 12 is the menu selection
// register (bGetMenuSelection).
void SetConfigPhase(uint8_t b);
uint8_t bGetConfigPhase();
void SetConfigPhaseStep(uint8_t b);
uint8_t bGetConfigPhaseStep();
void SetConfigRequester(uint8_t b);
uint8_t bGetConfigRequester();
void SetPhaseParam1(uint8_t b);   // drive path (3 or 4 drive loops, 97 SAS back end)
uint8_t bGetPhaseParam1();
void SetPhaseParam2(uint8_t b);   // target of a drive phase
uint8_t bGetPhaseParam2();
void SetPhaseParam3(uint8_t b);   // copied into drive commands (rank)
uint8_t bGetPhaseParam3();
void SetPhaseParam4(uint8_t b);   // copied into drive commands
uint8_t bGetPhaseParam4();
void SetPhaseTimeWindow(uint32_t d);   // phase 12: coarse tick the window starts at
uint32_t dGetPhaseTimeWindow();

// Ends the current phase: phase 0, step 255.
void EndConfigPhase();

// TRUE while a phase waits for something outside (a write grant, a drive).
void SetConfigWriteWaitFlag(uint8_t f);
uint8_t fGetConfigWriteWaitFlag();
// Raised by the completion of a phase's drive command.
void SetDriveCommandPendingFlag(uint8_t f);
uint8_t fGetDriveCommandPendingFlag();
// When the drive command pending flag is TRUE: clears it, sets the step and
// requests a background run; TRUE.  Otherwise FALSE, nothing changed.
uint8_t fStartDrivePhaseStep(uint8_t bStep);

// The two dispatchers of the background pass (counter A and counter B).
uint8_t RunConfigPhase();
uint8_t RunConfigPhaseBackground();

// Phase 12: waits, within a window of coarse ticks, for a drive to answer
// TEST UNIT READY.
uint8_t WaitDriveReadyPhase(uint8_t bStep);

// Phase drive commands.  Queues a built command on its path (at the head
// with fAtHead TRUE) with its completion routine; 0xFF queued, 16 (nothing
// queued) when no completion node or ring slot was free.
uint8_t bQueuePhaseDriveCommand(KERNEL_ENTRY* psEntry, void (*pfnDone)(KERNEL_ENTRY*), uint8_t fAtHead);
// TRUE when the command came back with GOOD status.
uint8_t fPhaseDriveCommandGood(KERNEL_ENTRY* psEntry);
// A drive command about to be sent (again) starts with clean status fields.
void ClearDriveSideStatus(KERNEL_ENTRY* psEntry);
// TRUE when a drive command is worth sending again as it is: it met a unit
// attention, or a TEST UNIT READY (command type 6) found the drive becoming
// ready, and its retry count lasts.
uint8_t fIsDriveCommandWorthRetrying(KERNEL_ENTRY* psEntry);
// Sends it again at the head of its path, at once after a unit attention,
// 2 s later to a drive becoming ready; one retry is counted.
void RetryDriveCommandLater(KERNEL_ENTRY* psEntry);
// The drive side's retries of a phase command: after a unit attention it is
// sent again at once, and a TEST UNIT READY (command type 6) that found the
// drive becoming ready again after 2 s, while its retry count lasts.  TRUE
// when it was sent again (the completion routine runs again later).
uint8_t fRetryPhaseDriveCommand(KERNEL_ENTRY* psEntry, void (*pfnDone)(KERNEL_ENTRY*));
// The end of every phase drive command: the phase no longer waits, the entry
// goes back to the pool and the next step is requested.
void EndPhaseDriveCommand(KERNEL_ENTRY* psEntry);

// The phase machine's start-of-day values.
void ResetConfigPhaseMachine();

}  // namespace fw
