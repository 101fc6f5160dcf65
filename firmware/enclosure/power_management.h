// The power management engine: idle arrays parked and brought back when a
// host or a background job needs them (level 2), hot spares, unused and
// failed drives parked and, on a daily, weekly or monthly cycle, spun up,
// verified and parked again (level 1).  Timed jobs on the background job
// list, run by the master controller; the drive mechanics are the spin
// control's (drive_spin.h).
#pragma once

#include <cstdint>

#include "executive/date_time.h"

namespace fw {

struct CONFIG_IMAGE;
struct BACKGROUND_PROCESS;

constexpr uint8_t APM_ARRAYS = 64;

// An array's power state.
constexpr uint8_t APM_SPUN_DOWN = 1;
constexpr uint8_t APM_SPUN_UP = 2;
constexpr uint8_t APM_SPINNING_UP = 3;
constexpr uint8_t APM_UNDER_TEST = 4;

// Level-1 option bits.
constexpr uint16_t APM_L1_SPIN_DOWN_SPARES = 1;
constexpr uint16_t APM_L1_SPIN_DOWN_FAILED = 2;
constexpr uint16_t APM_L1_SPIN_DOWN_UNUSED = 4;
constexpr uint16_t APM_L1_TEST_SPARES = 8;
constexpr uint16_t APM_L1_TEST_UNUSED = 16;
// Cycle types.
constexpr uint8_t APM_CYCLE_NONE = 0;
constexpr uint8_t APM_CYCLE_DAILY = 1;
constexpr uint8_t APM_CYCLE_WEEKLY = 2;
constexpr uint8_t APM_CYCLE_MONTHLY = 3;

// An array's options, and where its settings lie in its array record:
// options (u16), test days, test hours, idle hours, idle minutes.
constexpr uint16_t ARRAY_APM_MANUAL = 1;
constexpr uint16_t ARRAY_APM_SPIN_DOWN = 2;
constexpr uint16_t ARRAY_APM_SPIN_DOWN_AND_TEST = 4;
constexpr uint32_t ARRAY_APM_RECORD_OFFSET = 220;
constexpr uint32_t ARRAY_APM_RECORD_BYTES = 6;

// The level-1 record as the image stores it (7 bytes, little-endian).
struct APM_LEVEL1_SETTINGS {
    uint16_t wOptions;
    uint8_t bCycleType;
    uint8_t bDayOfMonth;
    uint8_t bWeekday;
    uint8_t bHour;
    uint8_t bMinute;
};

// The engine's jobs (type, action).
constexpr uint8_t APM_L1_JOB_TYPE = 1;
constexpr uint8_t APM_L1_SPIN_DOWN = 1;
constexpr uint8_t APM_L1_SPIN_UP = 2;
constexpr uint8_t APM_L1_CHECK_READY = 3;
constexpr uint8_t APM_L1_VERIFY = 4;
constexpr uint8_t APM_L1_CHECK_TEST = 5;
constexpr uint8_t APM_CONTROL_JOB_TYPE = 2;
constexpr uint8_t APM_CONTROL_JOB_ACTION = 3;
constexpr uint8_t APM_ARRAY_SPIN_DOWN_JOB_TYPE = 4;
constexpr uint8_t APM_ARRAY_TEST_JOB_TYPE = 5;

// Settings.
void LoadSaveAPMConfig(const uint8_t* pbRecord, uint8_t fValid);
uint16_t wGetAPMOptions();
uint8_t bGetAPMCycleType();
uint8_t bGetAPMCycleDayOfMonth();
uint8_t bGetAPMCycleWeekday();
uint8_t bGetAPMCycleHour();
uint8_t bGetAPMCycleMinute();
void UpdateAPMConfiguredFlag(const CONFIG_IMAGE* psImage);
uint8_t fIsAPMConfigured();
// An array's settings as the live image holds them.
uint16_t wGetArrayAPMOptions(uint8_t bArray);
uint32_t dGetArrayIdleSeconds(uint8_t bArray);
uint32_t dGetArrayTestSeconds(uint8_t bArray);

uint8_t bStartAPM();
void StopAPM();

uint8_t bGetArrayAPMState(uint8_t bArray);
void SetArrayAPMState(uint8_t bArray, uint8_t bState, uint8_t fNotify, uint8_t fMarkDrives);
// Every array's power state to the partner (a notice each), for a partner
// that joins and knows none of them.
void SendArrayAPMStatesToPartner();
// 255 started (or forwarded to the master), 0 refused or busy.
uint8_t bSpinArrayUpDown(uint8_t fSpinUp, uint8_t bArray);
uint8_t bStartArraySpinUp(uint8_t bArray);
uint8_t bScheduleArraySpinDown(uint8_t bArray);
uint8_t fCanArraySpinDown(uint8_t bArray);
void UpdateArrayAPMStatesOnEvent(uint8_t bKind);
uint64_t lGetSecondsSince(uint8_t bArray);
void GetArrayTimeToNextAPMTest(uint32_t* pdDays, uint32_t* pdHours, uint32_t* pdMinutes, uint32_t* pdSeconds,
                               uint8_t bArray);
void GetTimeToNextTestCycle(uint32_t* pdDays, uint32_t* pdHours, uint32_t* pdMinutes, uint32_t* pdSeconds);

// Minutes from the date and time to the next level-1 cycle of the settings
// (0 for cycle type 0); the engine adds them to the seconds clock.
uint32_t dMinutesToNextTestCycle(const DATE_TIME& sNow, const APM_LEVEL1_SETTINGS& sSettings);
uint32_t dComputeNextTestCycleTime();

// The level-1 groups: mode 0 spins them down, 1 up; 255, or 16 when no
// command entry or job was free.
uint8_t bSpinHotSpareDrives(uint8_t bMode);
uint8_t bSpinUnusedDrives(uint8_t bMode);
uint8_t bSpinFailedDrives(uint8_t bMode);

uint8_t fGetAPMOptionBit(uint8_t bBit);

// The level-1 groups as the console lists them (the numbers the partner's
// group count request uses): up to bMax WWNs into paabWwn; the count.
constexpr uint8_t APM_GROUP_UNUSED = 1;
constexpr uint8_t APM_GROUP_SPARES = 2;
constexpr uint8_t APM_GROUP_FAILED = 3;
uint8_t bGetAPMGroupDrives(uint8_t bGroup, uint8_t (*paabWwn)[8], uint8_t bMax);

// The console's pieces of the status: a level-1 record's options, cycle
// time and the time to its next cycle (the dump's wording with fDump, and
// the engine's own next time); the drive groups and the arrays' members
// with their power states.
APM_LEVEL1_SETTINGS sReadAPMLevel1Record(const uint8_t* pbRecord);
void ShowAPMLevel1Settings(const APM_LEVEL1_SETTINGS& s, uint8_t fDump);
void ShowDriveAPMStatus();
void ShowArrayAPMStatus();
// A power management request of the partner (messages 120 and 123, CDB
// byte 2 0x20): the sub-operation in byte 3, the reply's allocation length
// in bytes 6-9, arguments in bytes 12-14.  255 served, with any reply data
// in pbReply (up to dReplyMax) and its length; otherwise the sense to
// answer: 2/0x04 when it cannot be served now, 5/0x24 for an unknown
// sub-operation or an array, state or drive position out of range (then
// nothing changed).
struct APM_REQUEST_SENSE {
    uint8_t bKey;
    uint8_t bAsc;
};
constexpr uint32_t APM_DRIVE_LIST_BYTES = 2024;
uint8_t bServeAPMPartnerRequest(const uint8_t* pbCdb, uint8_t* pbReply, uint32_t dReplyMax, uint32_t* pdReplyLength,
                                APM_REQUEST_SENSE* psSense);

// The status dump of the debug information.
void ShowAPMStatusInformation();

// A controller that is not master asks the master for its three mask
// tables (sub-op 16 for the drive status screen, 21 for the arrays'):
// 255 when the request went.  The answer comes back through
// APMPartnerRequestAnswered (the partner link's continuation of message
// 123), which stores the tables and hands the screen on to the console
// (OnMasterAPMMasks, with 255 or 0).  The same continuation takes the
// partner's idle time of an array (sub-op 35, asked by the master's array
// control) and the status of a management request forwarded to the master.
constexpr uint8_t APM_SUB_DRIVE_MASKS = 16;
constexpr uint8_t APM_SUB_ARRAY_MASKS = 21;
uint8_t bRequestMasterAPMMasks(uint8_t bSubOperation);
struct PARTNER_MESSAGE_SLOT;
void APMPartnerRequestAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t fLinkActive);
void OnMasterAPMMasks(uint8_t bSubOperation, uint8_t bStatus);

}  // namespace fw
