// The chassis microcontroller link.  The main loop queues a group of
// transactions while the link is idle; the unit-0 interrupt runs them one
// after another (and queues the reads an event asks for) and keeps what
// they read; the main loop applies that to the chassis' elements at its
// next turn, so that the element tables are written from the main loop
// only.
#include "enclosure/microcontroller_link.h"

#include <algorithm>
#include <iterator>

#include "enclosure/audible_alarm.h"
#include "enclosure/drive_management.h"
#include "enclosure/environment_monitor.h"
#include "enclosure/own_enclosure.h"
#include "executive/rtc.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/chassis_microcontroller.h"
#include "platform/i2c.h"

namespace fw {

namespace {

constexpr uint8_t KIND_READ = 1;
constexpr uint8_t KIND_WRITE = 2;
constexpr uint8_t BACKPLANE_DIRECT = 6;
constexpr uint8_t QUEUE_SIZE = 64;
// A transaction that has not ended by then is lost: the unit is freed and
// the link starts over from the identity.
constexpr uint64_t TRANSACTION_LIMIT_MS = 100;
// Without a microcontroller its identity is asked for again now and then.
constexpr uint64_t IDENTIFY_AGAIN_MS = 30000;
// Events taken in one turn: a device that never runs out of them does not
// hold the unit.
constexpr uint8_t EVENTS_PER_TURN = 16;
constexpr uint8_t INDICATOR_UNKNOWN = 0xFF;
constexpr uint8_t OWN_INDICATOR_BAYS = 16;

enum Phase : uint8_t { PHASE_IDENTIFY, PHASE_ABSENT, PHASE_RUN };

struct MICRO_TRANSACTION {
    uint8_t bKind;
    uint8_t bStep;
    uint16_t wRegister;
    uint8_t bValue;
    uint8_t bLastByte;
    uint8_t fBusy;
    uint64_t lStart;
};

struct MICRO_OPERATION {
    uint8_t bKind;
    uint8_t bRegister;
    uint8_t bValue;
};

struct MICRO_RESULT {
    uint8_t bRegister;
    uint8_t bValue;
};

template <typename T>
struct Ring {
    T as[QUEUE_SIZE];
    uint8_t bHead = 0;
    uint8_t bCount = 0;
    bool Push(const T& s) {
        if (bCount >= QUEUE_SIZE) return false;
        as[(bHead + bCount) % QUEUE_SIZE] = s;
        ++bCount;
        return true;
    }
    bool Pop(T* ps) {
        if (bCount == 0) return false;
        *ps = as[bHead];
        bHead = static_cast<uint8_t>((bHead + 1) % QUEUE_SIZE);
        --bCount;
        return true;
    }
    void Clear() { bHead = bCount = 0; }
};

volatile MICRO_TRANSACTION s_sTransaction{};
Ring<MICRO_OPERATION> s_sQueue;
Ring<MICRO_RESULT> s_sResults;
volatile uint8_t s_fBusError = FALSE;
volatile uint8_t s_bEventsThisTurn = 0;
uint8_t s_ePhase = PHASE_IDENTIFY;
uint64_t s_lAbsentSince = 0;
uint8_t s_fFanReading = FALSE;
uint8_t s_fFanDrive = FALSE;
uint8_t s_abShownCode[OWN_INDICATORS];
uint8_t s_abShownSub[OWN_INDICATORS];
uint8_t s_bSounder = INDICATOR_UNKNOWN;
uint16_t s_wPresent = 0;
uint8_t s_bSupplyGood = 0;
uint8_t s_bSupplyFault = 0;
uint32_t s_dDropped = 0;

bool fDirect() { return bGetBackplaneType() == BACKPLANE_DIRECT; }

void Queue(uint8_t bKind, uint8_t bRegister, uint8_t bValue = 0) {
    if (!s_sQueue.Push({bKind, bRegister, bValue})) ++s_dDropped;
}

void ForgetShownState() {
    std::fill(std::begin(s_abShownCode), std::end(s_abShownCode), INDICATOR_UNKNOWN);
    std::fill(std::begin(s_abShownSub), std::end(s_abShownSub), INDICATOR_UNKNOWN);
    s_bSounder = INDICATOR_UNKNOWN;
}

void StartOver() {
    s_sQueue.Clear();
    s_sResults.Clear();
    s_sTransaction.fBusy = FALSE;
    s_fBusError = FALSE;
    s_ePhase = PHASE_IDENTIFY;
    ForgetShownState();
}

// Starts the next queued transaction: TRUE when one went.
bool StartNext() {
    MICRO_OPERATION s{};
    if (!s_sQueue.Pop(&s)) return false;
    return s.bKind == KIND_READ ? bReadMicrocontroller(s.bRegister) == TRUE
                                : bWriteMicrocontroller(s.bRegister, s.bValue) == TRUE;
}

void Begin(uint8_t bKind, uint16_t wRegister, uint8_t bValue) {
    s_sTransaction.bKind = bKind;
    s_sTransaction.bStep = 1;
    s_sTransaction.wRegister = wRegister;
    s_sTransaction.bValue = bValue;
    s_sTransaction.lStart = lGetTickCount();
    s_sTransaction.fBusy = TRUE;
    I2cStartTransfer(0, MICRO_ADDRESS);
}

// A read whose byte arrived: events are followed here, everything else is
// kept for the main loop.
void ReadDone(uint8_t bRegister, uint8_t bValue) {
    if (bRegister != MICRO_EVENT) {
        if (!s_sResults.Push({bRegister, bValue})) ++s_dDropped;
        return;
    }
    if (bValue == 0) return;
    const bool fMarker = bValue == 0x30 || bValue == 0x34 || bValue == 0x38 || bValue == 0x3C;
    if (!fMarker) Queue(KIND_READ, bValue);
    Queue(KIND_WRITE, MICRO_EVENT, MICRO_EVENT_ACKNOWLEDGE);
    const uint8_t bTaken = static_cast<uint8_t>(s_bEventsThisTurn + 1);
    s_bEventsThisTurn = bTaken;
    if (bTaken < EVENTS_PER_TURN) Queue(KIND_READ, MICRO_EVENT);
}

// The two registers of an indicator for its code and sub-state; FALSE when
// the code leaves them as they are.
bool IndicatorValues(uint8_t bCode, uint8_t bSub, uint8_t* pbFirst, uint8_t* pbSecond) {
    const bool f6 = fDirect();
    switch (bCode) {
    case 1:
        *pbFirst = bSub == 2 ? 24 : bSub == 1 ? 16 : 1;
        *pbSecond = f6 ? (bSub == 2 ? 24 : bSub == 1 ? 12 : 1) : 1;
        return true;
    case 2:
        *pbFirst = bSub == 2 ? 24 : bSub == 1 ? (f6 ? 12 : 16) : 0;
        *pbSecond = 0;
        return true;
    case 3:
        *pbFirst = 1;
        *pbSecond = 0;
        return true;
    case 4:
        if (bSub != 2) return false;
        *pbFirst = *pbSecond = 16;
        return true;
    default: return false;
    }
}

void QueueIndicator(uint8_t bIndex) {
    const OWN_INDICATOR* ps = psGetOwnIndicator(bIndex);
    if (ps == nullptr || (ps->bCode == s_abShownCode[bIndex] && ps->bSubState == s_abShownSub[bIndex])) return;
    s_abShownCode[bIndex] = ps->bCode;
    s_abShownSub[bIndex] = ps->bSubState;
    uint8_t bFirst = 0, bSecond = 0;
    if (!IndicatorValues(ps->bCode, ps->bSubState, &bFirst, &bSecond)) return;
    const uint8_t bRegister = bMicroIndicatorRegister(bIndex);
    Queue(KIND_WRITE, bRegister, bFirst);
    Queue(KIND_WRITE, static_cast<uint8_t>(bRegister + 1), bSecond);
}

void QueueSetUp() {
    constexpr uint8_t CONFIG[] = {0x00, 0x03, 0xF0, 0x00, 0xE0, 0xFF, 0xFF, 0x00};
    for (uint8_t i = 0; i < std::size(CONFIG); ++i) Queue(KIND_WRITE, MICRO_CONFIG_FIRST + i, CONFIG[i]);
    for (uint8_t r : {MICRO_SUPPLY0_GOOD_EVENT, MICRO_SUPPLY0_FAULT_EVENT, MICRO_SUPPLY1_GOOD_EVENT,
                      MICRO_SUPPLY1_FAULT_EVENT})
        Queue(KIND_WRITE, r, MICRO_EVENT_ENABLE);
    Queue(KIND_WRITE, MICRO_MUTE_EVENT, MICRO_MUTE_EVENT_ENABLE);
    for (uint8_t i = 0; i < 8; ++i) Queue(KIND_WRITE, static_cast<uint8_t>(MICRO_BAY1_EVENT + i), MICRO_EVENT_ENABLE);
    for (uint8_t i = 0; i < 4; ++i) Queue(KIND_WRITE, static_cast<uint8_t>(MICRO_BAY9_EVENT + i), MICRO_EVENT_ENABLE);
    for (uint8_t r : {MICRO_SUPPLY0_STATE, MICRO_SUPPLY1_STATE, MICRO_BAYS_EMPTY_LOW, MICRO_BAYS_EMPTY_HIGH})
        Queue(KIND_READ, r);
    Queue(KIND_WRITE, MICRO_FAN0_CONTROL, 0x81);
    Queue(KIND_WRITE, MICRO_FAN1_CONTROL, 0x81);
    s_fFanDrive = TRUE;
}

// The output of one turn: indicators that changed, the sounder, the fans;
// then the events.
void QueueTurn() {
    // Every bay the indicator table has, the four past the chassis' twelve
    // included.
    for (uint8_t i = 0; i < OWN_INDICATOR_BAYS; ++i) QueueIndicator(i);
    QueueIndicator(16);
    RederiveFanIndicator();
    QueueIndicator(18);
    QueueIndicator(17);
    const uint8_t bSounder = fDirect() ? bMicroPatternStep() : bMicroSounderStep();
    if (bSounder != s_bSounder) {
        s_bSounder = bSounder;
        Queue(KIND_WRITE, MICRO_SOUNDER, bSounder);
    }
    if (fDirect()) {
        QueueIndicator(19);
        QueueIndicator(20);
    }
    if (s_fFanDrive == TRUE) {
        s_fFanDrive = FALSE;
        Queue(KIND_WRITE, MICRO_FAN0_DRIVE, bMicroFanDriveValue(0));
        Queue(KIND_WRITE, MICRO_FAN1_DRIVE, bMicroFanDriveValue(1));
    }
    if (s_fFanReading == TRUE) {
        s_fFanReading = FALSE;
        for (uint8_t r : {MICRO_FAN0_TACHOMETER, MICRO_FAN1_TACHOMETER, MICRO_FAN0_DRIVE, MICRO_FAN1_DRIVE})
            Queue(KIND_READ, r);
    }
    s_bEventsThisTurn = 0;
    Queue(KIND_READ, MICRO_EVENT);
}

uint8_t bBayEventIndex(uint8_t bRegister) {
    if (bRegister >= MICRO_BAY1_EVENT && bRegister < MICRO_BAY1_EVENT + 8) return bRegister - MICRO_BAY1_EVENT;
    if (bRegister >= MICRO_BAY9_EVENT && bRegister < MICRO_BAY9_EVENT + 4) return 8 + bRegister - MICRO_BAY9_EVENT;
    return 0xFF;
}

void SetSupply(uint8_t bSupply, uint8_t bState) {
    const uint8_t bBit = static_cast<uint8_t>(1u << bSupply);
    s_bSupplyGood = static_cast<uint8_t>((s_bSupplyGood & ~bBit) | ((bState & 1) ? bBit : 0));
    s_bSupplyFault = static_cast<uint8_t>((s_bSupplyFault & ~bBit) | ((bState & 2) ? bBit : 0));
    ApplySupplyLines(s_bSupplyGood, s_bSupplyFault);
}

void Apply(const MICRO_RESULT& s) {
    const uint8_t b = s.bValue;
    switch (s.bRegister) {
    case MICRO_IDENTITY:
        if (b == MICRO_IDENTITY_VALUE) {
            s_ePhase = PHASE_RUN;
            QueueSetUp();
        } else {
            s_ePhase = PHASE_ABSENT;
            s_lAbsentSince = lGetTickCount();
        }
        return;
    case MICRO_SUPPLY0_STATE:
    case MICRO_SUPPLY0_GOOD_EVENT:
    case MICRO_SUPPLY0_FAULT_EVENT: SetSupply(0, b); return;
    case MICRO_SUPPLY1_STATE:
    case MICRO_SUPPLY1_GOOD_EVENT:
    case MICRO_SUPPLY1_FAULT_EVENT: SetSupply(1, b); return;
    case MICRO_BAYS_EMPTY_LOW:
        // Taken with the other half, read next.
        s_wPresent = static_cast<uint16_t>((s_wPresent & 0xFF00) | static_cast<uint8_t>(~b));
        return;
    case MICRO_BAYS_EMPTY_HIGH:
        s_wPresent = static_cast<uint16_t>((s_wPresent & 0x00FF) | ((~b & 0x0F) << 8));
        ApplyBayPresence(s_wPresent);
        return;
    case MICRO_FAN0_TACHOMETER:
    case MICRO_FAN1_TACHOMETER:
        ApplyFanReading(s.bRegister == MICRO_FAN0_TACHOMETER ? 0 : 1, dTachometerCountToRpm(b));
        return;
    case MICRO_FAN0_DRIVE:
    case MICRO_FAN1_DRIVE:
        SetFanLevel(s.bRegister == MICRO_FAN0_DRIVE ? 0 : 1, std::max<uint8_t>(2, b & 0x1F));
        return;
    case MICRO_MUTE_EVENT:
        // The chassis' mute button silences the own enclosure's alarm.
        if ((b & 1) && !fDirect()) (void)bSetAudibleAlarm(ALARM_MUTE, 0);
        return;
    default: {
        const uint8_t bBay = bBayEventIndex(s.bRegister);
        if (bBay == 0xFF) return;
        const uint16_t wBit = static_cast<uint16_t>(1u << bBay);
        s_wPresent = static_cast<uint16_t>((b & 1) ? (s_wPresent & ~wBit) : (s_wPresent | wBit));
        ApplyBayPresence(s_wPresent);
        return;
    }
    }
}

}  // namespace

uint32_t dTachometerCountToRpm(uint8_t bCount) {
    // Both ends of the count are a fan that does not turn: 255 by the
    // microcontroller's own word, 0 because no count can be that short.
    if (bCount == 0 || bCount == MICRO_TACHOMETER_STOPPED) return 0;
    return 1200000u / (2u * bCount);
}

uint8_t fIsMicrocontrollerBusy() { return s_sTransaction.fBusy; }
uint8_t fIsMicrocontrollerPresent() { return ToFlag(s_ePhase == PHASE_RUN); }
void RequestMicroFanReading() { s_fFanReading = TRUE; }
void RequestMicroFanDrive() { s_fFanDrive = TRUE; }

void ResetMicrocontrollerLink() {
    StartOver();
    s_fFanReading = s_fFanDrive = FALSE;
    s_wPresent = 0;
    s_bSupplyGood = 0x03;
    s_bSupplyFault = 0;
    s_dDropped = 0;
}

uint8_t bReadMicrocontroller(uint16_t wRegister) {
    if (s_sTransaction.fBusy == TRUE) return FALSE;
    Begin(KIND_READ, wRegister, 0);
    return TRUE;
}

uint8_t bWriteMicrocontroller(uint16_t wRegister, uint8_t bValue) {
    if (s_sTransaction.fBusy == TRUE) return FALSE;
    Begin(KIND_WRITE, wRegister, bValue);
    return TRUE;
}

void OwnEnclosureI2CProtocol(uint8_t bByte) {
    volatile MICRO_TRANSACTION& t = s_sTransaction;
    if (t.fBusy != TRUE) return;
    if (fI2cBusError(0) == TRUE) {
        // The main loop frees the unit and starts over.
        s_fBusError = TRUE;
        return;
    }
    const uint8_t bRegister = static_cast<uint8_t>(t.wRegister);
    if (t.bStep == 1) {
        t.bStep = 2;
        I2cSendByte(0, bRegister, FALSE);
        return;
    }
    if (t.bKind == KIND_READ) {
        if (t.bStep == 2) {
            t.bStep = 3;
            I2cStartTransfer(0, MICRO_ADDRESS | 1);
            return;
        }
        if (t.bStep == 3) {
            t.bStep = 4;
            I2cReadByte(0, TRUE);
            return;
        }
        t.bLastByte = bByte;
        t.fBusy = FALSE;
        ReadDone(bRegister, bByte);
    } else {
        if (t.bStep == 2) {
            t.bStep = 3;
            I2cSendByte(0, t.bValue, TRUE);
            return;
        }
        t.fBusy = FALSE;
    }
    (void)StartNext();
}

void MicrocontrollerLinkService() {
    if (s_sTransaction.fBusy == TRUE) {
        if (s_fBusError != TRUE && lGetTickCount() - s_sTransaction.lStart < TRANSACTION_LIMIT_MS) return;
        // A lost or refused transaction: the unit is freed and the link
        // starts again from the identity.
        const bool fIdentity = s_sTransaction.wRegister == MICRO_IDENTITY && s_fBusError == TRUE;
        (void)bReinitI2cUnit(0);
        StartOver();
        if (fIdentity) {
            s_ePhase = PHASE_ABSENT;
            s_lAbsentSince = lGetTickCount();
        }
        return;
    }
    MICRO_RESULT s{};
    while (s_sResults.Pop(&s)) Apply(s);
    if (fIsChassisSensorBusy() == TRUE) return;
    if (bGetClockI2cUnit() == 0 && wGetClockOperation() != RTC_OPERATION_IDLE) return;
    // What the identity started (the set-up) goes out before any turn.
    if (s_sQueue.bCount == 0) {
        switch (s_ePhase) {
        case PHASE_ABSENT:
            if (lGetTickCount() - s_lAbsentSince < IDENTIFY_AGAIN_MS) return;
            s_ePhase = PHASE_IDENTIFY;
            [[fallthrough]];
        case PHASE_IDENTIFY: Queue(KIND_READ, MICRO_IDENTITY); break;
        default: QueueTurn(); break;
        }
    }
    (void)StartNext();
}

}  // namespace fw
