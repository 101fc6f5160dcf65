// The own chassis' enclosure services pages, its control handlers, the
// indicator states they derive, and the own chassis' enclosure record.
#include "enclosure/own_enclosure.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "enclosure/enclosure_discovery.h"
#include "enclosure/enclosure_records.h"
#include "enclosure/environment_monitor.h"
#include "enclosure/ses_poll.h"
#include "eventlog/event_log.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "config/apply_settings.h"
#include "hw/fpga.h"
#include "hw/hw.h"
#include "hw/ses.h"
#include "partner/partner_link.h"
#include "partner/partner_state.h"

namespace fw {

namespace {

constexpr uint8_t EVENT_SES_LEVEL_3 = 91;
constexpr uint8_t ELEMENT_DEVICES = 0;
constexpr uint8_t ELEMENT_ARRAY = 17;
constexpr uint8_t ELEMENT_SUPPLIES = 34;
constexpr uint8_t ELEMENT_COOLING = 37;
constexpr uint8_t ELEMENT_TEMPERATURE = 42;
constexpr uint8_t ELEMENT_ALARM = 45;
constexpr uint8_t ELEMENT_DISPLAY = 47;
constexpr uint8_t ELEMENT_VENDOR = 49;
constexpr uint8_t INDICATOR_CHASSIS_FAULT = 16;
constexpr uint8_t INDICATOR_FAN = 18;
constexpr uint8_t INDICATOR_CONTROLLER = 19;
constexpr uint8_t INDICATOR_IDENTIFY = 20;
constexpr uint8_t TEST_STEPS = 5;
constexpr uint8_t NO_REGISTER = 255;
constexpr uint8_t BACKPLANE_DIRECT = 6;

enum Handler : uint8_t { NONE, DEVICE, ARRAY_DEVICE, COOLING, TEMPERATURE, THRESHOLD, ALARM, DISPLAY };

struct OWN_SES_ELEMENT_RECORD {
    uint8_t bElement;
    uint8_t bType;
    const char* pDescriptor;
    Handler eControl;
    Handler eSecondControl;
};

constexpr OWN_SES_ELEMENT_RECORD ELEMENTS[] = {
    {0, SES_TYPE_DEVICE, "Drives Overall  ", DEVICE, ARRAY_DEVICE},
    {1, SES_TYPE_DEVICE, "Disk #0 ", DEVICE, ARRAY_DEVICE},
    {2, SES_TYPE_DEVICE, "Disk #1 ", DEVICE, ARRAY_DEVICE},
    {3, SES_TYPE_DEVICE, "Disk #2 ", DEVICE, ARRAY_DEVICE},
    {4, SES_TYPE_DEVICE, "Disk #3 ", DEVICE, ARRAY_DEVICE},
    {5, SES_TYPE_DEVICE, "Disk #4 ", DEVICE, ARRAY_DEVICE},
    {6, SES_TYPE_DEVICE, "Disk #5 ", DEVICE, ARRAY_DEVICE},
    {7, SES_TYPE_DEVICE, "Disk #6 ", DEVICE, ARRAY_DEVICE},
    {8, SES_TYPE_DEVICE, "Disk #7 ", DEVICE, ARRAY_DEVICE},
    {9, SES_TYPE_DEVICE, "Disk #8 ", DEVICE, ARRAY_DEVICE},
    {10, SES_TYPE_DEVICE, "Disk #9 ", DEVICE, ARRAY_DEVICE},
    {11, SES_TYPE_DEVICE, "Disk #10", DEVICE, ARRAY_DEVICE},
    {12, SES_TYPE_DEVICE, "Disk #11", DEVICE, ARRAY_DEVICE},
    {34, SES_TYPE_POWER_SUPPLY, "Overall PS  ", NONE, NONE},
    {35, SES_TYPE_POWER_SUPPLY, "PS 0", NONE, NONE},
    {36, SES_TYPE_POWER_SUPPLY, "PS 1", NONE, NONE},
    {37, SES_TYPE_COOLING, "Overall Fans", COOLING, NONE},
    {38, SES_TYPE_COOLING, "Fan #0  ", COOLING, NONE},
    {39, SES_TYPE_COOLING, "Fan #1  ", COOLING, NONE},
    {42, SES_TYPE_TEMPERATURE, "Overall Temperature Sensor Element Types", TEMPERATURE, NONE},
    {43, SES_TYPE_TEMPERATURE, "Temperature Sensor #0   ", TEMPERATURE, THRESHOLD},
    {44, SES_TYPE_TEMPERATURE, "Temperature Sensor #1   ", TEMPERATURE, THRESHOLD},
    {45, SES_TYPE_ALARM, "Overall Info for Alarm  ", ALARM, NONE},
    {46, SES_TYPE_ALARM, "Alarm #0", ALARM, NONE},
    {47, SES_TYPE_DISPLAY, "Overall Info for Display", DISPLAY, NONE},
    {48, SES_TYPE_DISPLAY, "Display #0", DISPLAY, NONE},
};
constexpr uint8_t RECORDS = static_cast<uint8_t>(std::size(ELEMENTS));
constexpr uint8_t DEVICE_RECORDS = 13;
constexpr const char* TYPE_TEXTS[] = {"Disk Drive  ", "Power Supply", "Cooling Fan ", "Temperature Sensor  ",
                                      "Audible Alarm   ", "Display "};
constexpr uint8_t TYPE_COUNT = static_cast<uint8_t>(std::size(TYPE_TEXTS));
constexpr uint8_t SUPPORTED[] = {0x00, 0x01, 0x02, 0x04, 0x05, 0x06, 0x07, 0x89};
constexpr uint32_t GENERATION = 0;

uint8_t s_aabElement[OWN_ELEMENTS][4];
uint8_t s_aabThreshold[2][4];
OWN_INDICATOR s_asIndicator[OWN_INDICATORS];
OWN_INDICATOR s_asSavedIndicator[OWN_INDICATORS];
uint8_t s_bTestStep = 0;   // 0 no test, 1-5 the group written next
uint8_t s_abIdentifier[8];
const char* s_pcVendor = "Bexal   ";
const char* s_pcProduct = "Marlith Z6xxF   ";
const char* s_pcText = "Marlith Storage System 12Bay";
uint8_t s_bSummary = 0;
uint8_t s_fInfoPending = FALSE;
uint8_t s_fInvalidOperation = FALSE;

bool IsOverall(uint8_t b) {
    return b == ELEMENT_DEVICES || b == ELEMENT_ARRAY || b == ELEMENT_SUPPLIES || b == ELEMENT_COOLING ||
           b == ELEMENT_TEMPERATURE || b == ELEMENT_ALARM;
}

void Put(uint8_t* pb, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
    pb[0] = b0;
    pb[1] = b1;
    pb[2] = b2;
    pb[3] = b3;
}

void PutBe16(uint8_t* pb, uint32_t w) {
    pb[0] = static_cast<uint8_t>(w >> 8);
    pb[1] = static_cast<uint8_t>(w);
}

void PutHeader(uint8_t* pb, uint8_t bPage, uint8_t bFlags, uint32_t dPageLength) {
    pb[0] = bPage;
    pb[1] = bFlags;
    PutBe16(pb + 2, dPageLength);
    pb[4] = pb[5] = pb[6] = pb[7] = 0;   // generation code 0
}

void ComputeSummary() {
    s_bSummary = 0;
    bool fFirst = true;
    for (const OWN_SES_ELEMENT_RECORD& r : ELEMENTS) {
        if (IsOverall(r.bElement)) continue;
        if (fFirst && s_fInvalidOperation == TRUE) {
            s_bSummary |= 0x10;
            s_fInvalidOperation = FALSE;
        }
        fFirst = false;
        const uint8_t* pb = s_aabElement[r.bElement];
        if ((pb[0] & 0x40) || s_fInfoPending == TRUE) s_bSummary |= SES_STATUS_INFO;
        switch (pb[0] & SES_STATUS_CODE_MASK) {
        case SES_CODE_CRITICAL: s_bSummary |= SES_STATUS_CRITICAL; break;
        case SES_CODE_NONCRITICAL: s_bSummary |= SES_STATUS_NONCRITICAL; break;
        case SES_CODE_UNRECOVERABLE: s_bSummary |= 0x01; break;
        default: break;
        }
    }
}

// The runs of equal types make the configuration page's type headers.
template <typename Visit>
void ForEachRun(Visit visit) {
    uint8_t i = 0;
    uint8_t bRun = 0;
    while (i < RECORDS) {
        uint8_t j = i;
        while (j < RECORDS && ELEMENTS[j].bType == ELEMENTS[i].bType) ++j;
        visit(bRun++, ELEMENTS[i].bType, static_cast<uint8_t>(j - i - 1));
        i = j;
    }
}

uint32_t dPageLength(uint8_t bPage) {
    switch (bPage) {
    case 0x00: return 8;
    case 0x01: {
        uint32_t d = 44 + static_cast<uint32_t>(std::strlen(s_pcText)) + 4u * TYPE_COUNT;
        for (const char* pc : TYPE_TEXTS) d += static_cast<uint32_t>(std::strlen(pc));
        return d;
    }
    case 0x02:
    case 0x05: return 4 + 4u * RECORDS;
    case 0x04: return 2;
    case 0x06:
    case 0x89: return 4 + 4u * DEVICE_RECORDS;
    case 0x07: {
        uint32_t d = 4;
        for (const OWN_SES_ELEMENT_RECORD& r : ELEMENTS) d += 4 + static_cast<uint32_t>(std::strlen(r.pDescriptor));
        return d;
    }
    default: return 0;
    }
}

// Bays 1-16 by device element number, 18-33 by array element number.
uint8_t bSlotOfBay(uint8_t b) {
    if (b >= 1 && b <= 16) return static_cast<uint8_t>(b - 1);
    if (b >= 18 && b <= 33) return static_cast<uint8_t>(b - 18);
    return 0xFF;
}

void SetIndicator(uint8_t bIndex, uint8_t bCode, uint8_t bSub) {
    OWN_INDICATOR& s = s_asIndicator[bIndex];
    if (s.bCode == bCode && s.bSubState == bSub) return;
    s.bCode = bCode;
    s.bSubState = bSub;
    s.fChanged = TRUE;
}

bool fDirect() { return bGetBackplaneType() == BACKPLANE_DIRECT; }

void Control(Handler e, uint8_t bElement, const uint8_t* pbControl) {
    uint8_t* pb = s_aabElement[bElement];
    switch (e) {
    case DEVICE:
        pb[2] = static_cast<uint8_t>((pb[2] & ~0x02) | (pbControl[2] & 0x02));
        pb[3] = static_cast<uint8_t>((pb[3] & ~0x2C) | (pbControl[3] & 0x2C));
        DeriveSlotIndicatorFromDevice(bElement);
        break;
    case ARRAY_DEVICE: {
        const uint8_t bSlot = bSlotOfBay(bElement);
        if (bSlot == 0xFF) break;
        uint8_t* pbArray = s_aabElement[ELEMENT_ARRAY + 1 + bSlot];
        pbArray[1] = static_cast<uint8_t>((pbArray[1] & 0x40) | (pbControl[1] & 0xBF));
        pbArray[2] = static_cast<uint8_t>((pbArray[2] & ~0x02) | (pbControl[2] & 0x02));
        DeriveSlotIndicatorFromArray(static_cast<uint8_t>(ELEMENT_ARRAY + 1 + bSlot));
        break;
    }
    case COOLING: {
        const uint8_t bCode = pbControl[3] & SES_COOLING_SPEED_MASK;
        if (bCode != (pb[3] & SES_COOLING_SPEED_MASK)) {
            uint8_t* pbOverall = s_aabElement[ELEMENT_COOLING];
            pbOverall[3] = static_cast<uint8_t>((pbOverall[3] & ~SES_COOLING_SPEED_MASK) | bCode);
        }
        break;
    }
    case THRESHOLD:
        std::memcpy(s_aabThreshold[bElement == 44 ? 1 : 0], pbControl, 4);
        break;
    case ALARM:
        pb[3] = static_cast<uint8_t>((pb[3] & ~0x4F) | (pbControl[3] & 0x4F));
        if (pbControl[3] & SES_ALARM_MUTED) pb[3] |= 0x80;
        break;
    case DISPLAY:
        pb[1] = static_cast<uint8_t>((pb[1] & ~0x80) | (pbControl[1] & 0x80));
        SetIndicator(INDICATOR_IDENTIFY, 2, (pbControl[1] & 0x80) ? 1 : 0);
        break;
    default:
        break;
    }
}

}  // namespace

void InitOwnEnclosure() {
    for (uint8_t i = 0; i < OWN_INDICATORS; ++i) {
        s_asIndicator[i] = {2, 0, NO_REGISTER, TRUE};
        s_asIndicator[i].bRegister = i < 4 ? 0x20 : i < 8 ? 0x22 : i < 12 ? 0x24 : i == 17 || i < 16 ? NO_REGISTER : 0x1A;
    }
    std::memset(s_aabElement, 0, sizeof s_aabElement);
    Put(s_aabElement[0], 0x00, 0x00, 0x02, 0x20);
    for (uint8_t i = 1; i <= 16; ++i) Put(s_aabElement[i], 0x01, static_cast<uint8_t>(i - 1), 0, 0);
    Put(s_aabElement[17], 0x00, 0x80, 0, 0);
    for (uint8_t i = 18; i <= 33; ++i) Put(s_aabElement[i], 0x01, 0x80, 0, 0);
    Put(s_aabElement[34], 0x01, 0, 0, 0x20);
    // Supplies start as the good lines show them, so that the first look
    // at the lines reports no change.
    for (uint8_t i = 35; i <= 36; ++i) Put(s_aabElement[i], 0x01, 0x03, 0, 0x20);
    Put(s_aabElement[37], 0x00, 0, 0, 0x24);
    for (uint8_t i = 38; i <= 41; ++i) Put(s_aabElement[i], 0x01, 0, 0, 0x24);
    for (uint8_t i = 43; i <= 48; ++i) Put(s_aabElement[i], 0x01, 0, 0, 0);
    for (uint8_t i = 50; i <= 65; ++i) Put(s_aabElement[i], 0x01, 0, 0, 0);
    for (auto& ab : s_aabThreshold) Put(ab, 72, 52, 0, 0);
    (void)pGetControllerWWN(s_abIdentifier);
    const uint8_t bBoard = bGetBoardType();
    const bool fRaid = bBoard == 7 || bBoard == 10 || bBoard == 11 || bBoard == 12 || bBoard == 13 || bBoard == 17;
    s_pcText = fRaid ? "RAID Controller             " : "Marlith Storage System 12Bay";
    s_pcVendor = fRaid ? "Dunra   " : "Bexal   ";
    switch (bBoard) {
    case 7: case 10: case 13: s_pcProduct = "RZ7Q2T          "; break;
    case 11: case 12: s_pcProduct = "QZ7Q2T          "; break;
    case 17: s_pcProduct = "Vomax fibre     "; break;
    case 18: s_pcProduct = "QZ8Q2T          "; break;
    default: s_pcProduct = "Marlith Z6xxF   "; break;
    }
    s_fInfoPending = s_fInvalidOperation = FALSE;
    s_bTestStep = 0;
    ResetEnvironmentMonitor();
}

uint8_t* pGetOwnElement(uint8_t bElement) { return bElement < OWN_ELEMENTS ? s_aabElement[bElement] : nullptr; }
const OWN_INDICATOR* psGetOwnIndicator(uint8_t bIndex) {
    return bIndex < OWN_INDICATORS ? &s_asIndicator[bIndex] : nullptr;
}

uint8_t bBuildOwnSesPage(uint8_t bPage, uint8_t* pb, uint16_t* pwLength) {
    ComputeSummary();
    const uint32_t dLength = dPageLength(bPage);
    if (dLength == 0) {
        *pwLength = 0;
        return 0;
    }
    std::memset(pb, 0, dLength + 4);
    switch (bPage) {
    case 0x00:
        pb[3] = 8;
        std::memcpy(pb + 4, SUPPORTED, sizeof SUPPORTED);
        break;
    case 0x01: {
        PutHeader(pb, 0x01, 0, dLength);
        pb[10] = TYPE_COUNT;
        pb[11] = static_cast<uint8_t>(std::strlen(s_pcText) + 36);
        std::memcpy(pb + 12, s_abIdentifier, 8);
        std::memcpy(pb + 20, s_pcVendor, 8);
        std::memcpy(pb + 28, s_pcProduct, 16);
        std::memcpy(pb + 44, "0.01", 4);
        uint32_t d = 48;
        std::memcpy(pb + d, s_pcText, std::strlen(s_pcText));
        d += static_cast<uint32_t>(std::strlen(s_pcText));
        ForEachRun([&](uint8_t bRun, uint8_t bType, uint8_t bCount) {
            Put(pb + d + 4u * bRun, bType, bCount, 0, static_cast<uint8_t>(std::strlen(TYPE_TEXTS[bRun])));
        });
        d += 4u * TYPE_COUNT;
        for (const char* pc : TYPE_TEXTS) {
            std::memcpy(pb + d, pc, std::strlen(pc));
            d += static_cast<uint32_t>(std::strlen(pc));
        }
        break;
    }
    case 0x02:
        PutHeader(pb, 0x02, s_bSummary, dLength);
        for (uint8_t i = 0; i < RECORDS; ++i) std::memcpy(pb + 8 + 4 * i, s_aabElement[ELEMENTS[i].bElement], 4);
        s_fInfoPending = FALSE;
        break;
    case 0x04: {
        pb[0] = 0x04;
        pb[3] = 2;
        const bool fDual = fIsDualControllerActive() == TRUE;
        // The board status test: a board that reports itself healthy.
        const uint8_t bCode = bGetControllerNumber() == 1 ? (fDual ? 15 : 14) : (fDual ? 15 : 11);
        pb[4] = static_cast<uint8_t>(~bCode);
        break;
    }
    case 0x05:
        PutHeader(pb, 0x05, 0, dLength);
        for (uint8_t i = 0; i < RECORDS; ++i) {
            if (ELEMENTS[i].bType == SES_TYPE_TEMPERATURE)
                std::memcpy(pb + 8 + 4 * i, s_aabThreshold[ELEMENTS[i].bElement == 44 ? 1 : 0], 4);
        }
        break;
    case 0x06:
        PutHeader(pb, 0x06, s_bSummary, dLength);
        for (uint8_t i = 0; i < DEVICE_RECORDS; ++i) std::memcpy(pb + 8 + 4 * i, s_aabElement[ELEMENTS[i].bElement + 17], 4);
        s_fInfoPending = FALSE;
        break;
    case 0x07: {
        PutHeader(pb, 0x07, 0, dLength);
        uint32_t d = 8;
        for (const OWN_SES_ELEMENT_RECORD& r : ELEMENTS) {
            const uint32_t dText = static_cast<uint32_t>(std::strlen(r.pDescriptor));
            PutBe16(pb + d + 2, dText);
            std::memcpy(pb + d + 4, r.pDescriptor, dText);
            d += 4 + dText;
        }
        break;
    }
    case 0x89:
        PutHeader(pb, 0x89, 0, dLength);
        for (uint8_t i = 0; i < DEVICE_RECORDS; ++i) std::memcpy(pb + 8 + 4 * i, s_aabElement[ELEMENT_VENDOR + i], 4);
        s_fInfoPending = FALSE;
        break;
    default:
        break;
    }
    *pwLength = static_cast<uint16_t>(dLength + 4);
    return STATUS_OK;
}

uint8_t bAcceptOwnSesControlPage(const uint8_t* pb, uint16_t wLength) {
    if (wLength < 8) return 0;
    if ((static_cast<uint32_t>(pb[4]) << 24 | pb[5] << 16 | pb[6] << 8 | pb[7]) != GENERATION) return 0;
    switch (pb[0]) {
    case 0x02:
    case 0x06: {
        s_bSummary |= pb[1];
        if (pb[1] & SES_STATUS_INFO) s_bSummary &= static_cast<uint8_t>(~SES_STATUS_INFO);
        uint32_t d = 8;
        for (uint8_t i = 0; i < RECORDS; ++i) {
            const OWN_SES_ELEMENT_RECORD& r = ELEMENTS[i];
            if (pb[0] == 0x06 && r.bType != SES_TYPE_DEVICE) break;
            if (d + 4 > wLength) break;
            const uint8_t* pbControl = pb + d;
            d += 4;
            if (!(pbControl[0] & SES_CONTROL_SELECT)) continue;
            Control(pb[0] == 0x02 ? r.eControl : r.eSecondControl, r.bElement, pbControl);
        }
        if (pb[0] == 0x06) DeriveChassisFaultIndicator();
        break;
    }
    case 0x05: {
        uint32_t d = 8;
        for (uint8_t i = 0; i < RECORDS && d + 4 <= wLength; ++i, d += 4) {
            if (ELEMENTS[i].bType != SES_TYPE_DEVICE && ELEMENTS[i].eSecondControl != NONE)
                Control(ELEMENTS[i].eSecondControl, ELEMENTS[i].bElement, pb + d);
        }
        break;
    }
    default:
        s_fInvalidOperation = TRUE;
        return 0;
    }
    s_fInvalidOperation = FALSE;
    return STATUS_OK;
}

void MarkAllIndicatorsChanged() {
    for (OWN_INDICATOR& s : s_asIndicator) s.fChanged = TRUE;
}

void DeriveSlotIndicatorFromDevice(uint8_t bElement) {
    const uint8_t bSlot = bSlotOfBay(bElement);
    if (bSlot == 0xFF) return;
    const uint8_t* pb = s_aabElement[bElement];
    if (pb[2] & 0x02) {
        if (fDirect()) SetIndicator(bSlot, 1, 1); else SetIndicator(bSlot, 2, 2);
    } else if ((pb[3] & 0x0C) == 0x0C) {
        SetIndicator(bSlot, 3, 0);
    } else if (pb[3] & SES_DEVICE_FAULT) {
        SetIndicator(bSlot, 1, fDirect() ? 0 : 1);
    }
}

void DeriveSlotIndicatorFromArray(uint8_t bElement) {
    const uint8_t bSlot = bSlotOfBay(bElement);
    if (bSlot == 0xFF) return;
    uint8_t* pbArray = s_aabElement[ELEMENT_ARRAY + 1 + bSlot];
    const uint8_t* pbDevice = s_aabElement[ELEMENT_DEVICES + 1 + bSlot];
    if ((pbArray[0] & SES_STATUS_CODE_MASK) == SES_CODE_NOT_INSTALLED || (pbDevice[2] & 0x02) ||
        (pbDevice[3] & SES_DEVICE_FAULT)) {
        return;
    }
    const uint8_t b = pbArray[1];
    uint8_t bStatus = SES_CODE_OK;
    if (b & 0x80) {
        SetIndicator(bSlot, fDirect() ? 3 : 2, 0);
    } else if (b & 0x10) {
        SetIndicator(bSlot, 1, 1);
        if (fDirect()) bStatus = 3;
    } else if (b & 0x20) {
        SetIndicator(bSlot, 3, 0);
    } else if (b & 0x0D) {
        SetIndicator(bSlot, 1, 1);
        bStatus = SES_CODE_CRITICAL;
    } else if (b & 0x02) {
        SetIndicator(bSlot, 1, 1);
    } else if (pbArray[2] & 0x02) {
        SetIndicator(bSlot, 2, 2);
    } else if (fDirect()) {
        SetIndicator(bSlot, 3, 0);
    } else {
        SetIndicator(bSlot, 2, 1);
    }
    pbArray[0] = static_cast<uint8_t>((pbArray[0] & ~SES_STATUS_CODE_MASK) | bStatus);
}

void DeriveChassisFaultIndicator() {
    uint8_t bCode = 2, bSub = 0;
    SetEnclosureFaultBit(FAULT_DRIVE, FALSE);
    for (uint8_t i = 0; i < OWN_BAYS; ++i) {
        if ((s_aabElement[ELEMENT_ARRAY + 1 + i][0] & SES_STATUS_CODE_MASK) == SES_CODE_CRITICAL) {
            bCode = 1;
            bSub = 1;
            SetEnclosureFaultBit(FAULT_DRIVE, TRUE);
        }
        if (s_aabElement[ELEMENT_DEVICES + 1 + i][3] & SES_DEVICE_FAULT) {
            bCode = 1;
            bSub = 0;
            SetEnclosureFaultBit(FAULT_DRIVE, TRUE);
            break;
        }
    }
    if (!fDirect() && fGetWriteBackWithoutPartner() != TRUE) {
        SetEnclosureFaultBit(FAULT_PARTNER_MISSING, FALSE);
        if (sGetPartnerState().fPartnerMissing == TRUE) {
            SetEnclosureFaultBit(FAULT_PARTNER_MISSING, TRUE);
            bCode = 1;
        }
    }
    SetIndicator(INDICATOR_CHASSIS_FAULT, bCode, bSub);
}

void SetOwnBayPresent(uint8_t bBay, uint8_t fPresent) {
    if (bBay < 1 || bBay > 16) return;
    const uint8_t bCode = fPresent == TRUE ? SES_CODE_OK : SES_CODE_NOT_INSTALLED;
    for (uint8_t* pb : {s_aabElement[bBay], s_aabElement[ELEMENT_ARRAY + bBay]})
        pb[0] = static_cast<uint8_t>((pb[0] & ~SES_STATUS_CODE_MASK) | bCode);
    SetIndicator(static_cast<uint8_t>(bBay - 1), fPresent == TRUE ? 2 : 3, 0);
    s_fInfoPending = TRUE;
}

void CountOwnInstalledSlots(const uint8_t* pb, uint16_t wLength) {
    ENCLOSURE_TABLE* ps = pGetEnclosureTable();
    if (ps == nullptr) return;
    ENCLOSURE& s = ps->asEnclosure[0];
    s.bNoOfDrivesPresent = 0;
    for (uint8_t i = 0; i < OWN_BAYS; ++i) {
        const uint32_t d = 12 + 4u * i;
        if (d + 4 > wLength) break;
        if ((pb[d] & SES_STATUS_CODE_MASK) != SES_CODE_NOT_INSTALLED) ++s.bNoOfDrivesPresent;
    }
}

void SetOwnIndicator(uint8_t bIndex, uint8_t bCode, uint8_t bSub, uint8_t fAlways) {
    if (bIndex >= OWN_INDICATORS) return;
    SetIndicator(bIndex, bCode, bSub);
    if (fAlways == TRUE) s_asIndicator[bIndex].fChanged = TRUE;
}

const uint8_t* pGetOwnThreshold(uint8_t bSensor) { return s_aabThreshold[bSensor != 0 ? 1 : 0]; }

namespace {

// The CPLD's field of an indicator: the 2-bit fields of the chassis
// register, 3 bits per bay.
uint16_t wField(uint8_t bCode, uint8_t bSub) {
    if (bCode != 1) return 0;
    return bSub == 2 ? 3 : bSub == 1 ? 2 : 1;
}

void WriteIndicator(uint8_t bIndex) {
    OWN_INDICATOR& s = s_asIndicator[bIndex];
    s.fChanged = FALSE;
    if (s.bRegister == NO_REGISTER) return;
    const uint32_t dRegister = FPGA_BASE + s.bRegister;
    uint16_t w = Reg16Read(dRegister);
    if (bIndex < 16) {
        const unsigned uShift = 4u * (bIndex % 4);
        uint16_t wValue;
        // Codes 2 and 4 are the bay's quiet state: a fault shown before goes
        // out with them.
        if (s.bCode == 1) wValue = s.bSubState == 2 ? 4 : s.bSubState == 1 ? 2 : 0;
        else if (s.bCode == 3) wValue = 1;
        else wValue = 0;
        w = static_cast<uint16_t>((w & ~(7u << uShift)) | wValue << uShift);
    } else if (bIndex == INDICATOR_CHASSIS_FAULT) {
        w = static_cast<uint16_t>((w & ~0x00C0) | wField(s.bCode, s.bSubState) << 6);
    } else if (bIndex == INDICATOR_FAN) {
        w = static_cast<uint16_t>((w & ~0x000C) | wField(s.bCode, s.bSubState) << 2);
    } else if (bIndex == INDICATOR_CONTROLLER) {
        w = static_cast<uint16_t>((w & ~0x0300) | wField(s.bCode, s.bSubState) << 8);
    } else {
        uint16_t wValue = 0;
        if (s.bCode == 2 && s.bSubState == 2) wValue = 3;
        else if ((s.bCode == 2 && s.bSubState == 1) || s.bCode == 1) wValue = 2;
        w = static_cast<uint16_t>((w & ~0x0003) | wValue);
    }
    Reg16Write(dRegister, w);
}

// The order the board takes its indicators in.
template <typename Visit>
bool ForEachOutput(Visit visit) {
    for (uint8_t i = 0; i < OWN_BAYS; ++i)
        if (visit(i)) return true;
    for (uint8_t i : {INDICATOR_CHASSIS_FAULT, INDICATOR_FAN})
        if (visit(i)) return true;
    if (fDirect())
        for (uint8_t i : {INDICATOR_CONTROLLER, INDICATOR_IDENTIFY})
            if (visit(i)) return true;
    return false;
}

}  // namespace

void RederiveFanIndicator() {
    const uint32_t dFault = dGetEnclosureFaultFlags();
    const bool fFansOk = (dFault & (FAULT_FAN0 | FAULT_FAN1)) == 0;
    const bool fCritical = (s_aabElement[43][0] & SES_STATUS_CODE_MASK) == SES_CODE_CRITICAL ||
                           (s_aabElement[44][0] & SES_STATUS_CODE_MASK) == SES_CODE_CRITICAL;
    OWN_INDICATOR& s = s_asIndicator[INDICATOR_FAN];
    s.bCode = fFansOk ? 2 : 1;
    s.bSubState = !fFansOk && fCritical ? 1 : 0;
}

uint8_t bUpdateIndicators() {
    if (s_bTestStep != 0 && s_bTestStep <= TEST_STEPS) {
        // The test lights one group per poll.
        const uint8_t bStep = s_bTestStep++;
        if (bStep == 1) {
            for (uint8_t i = 0; i < OWN_BAYS; ++i) WriteIndicator(i);
        } else {
            constexpr uint8_t GROUP[] = {INDICATOR_CHASSIS_FAULT, INDICATOR_FAN, INDICATOR_CONTROLLER, INDICATOR_IDENTIFY};
            WriteIndicator(GROUP[bStep - 2]);
        }
        return TRUE;
    }
    if (s_bTestStep != 0) return FALSE;   // the test holds the indicators until it ends
    return ToFlag(ForEachOutput([](uint8_t i) {
        if (s_asIndicator[i].fChanged != TRUE) return false;
        if (i == INDICATOR_FAN) RederiveFanIndicator();
        WriteIndicator(i);
        return true;
    }));
}

void StartIndicatorTest() {
    std::memcpy(s_asSavedIndicator, s_asIndicator, sizeof s_asIndicator);
    for (OWN_INDICATOR& s : s_asIndicator) {
        s.bCode = 1;
        s.bSubState = 1;
        s.fChanged = TRUE;
    }
    s_asIndicator[INDICATOR_IDENTIFY].bCode = 2;
    s_bTestStep = 1;
}

void RestoreIndicatorsAfterTest() {
    if (s_bTestStep == 0) return;
    std::memcpy(s_asIndicator, s_asSavedIndicator, sizeof s_asIndicator);
    MarkAllIndicatorsChanged();
    s_bTestStep = 0;
}

void DeriveControllerIndicator() {
    uint8_t bCode = 3, bSub = 0;
    for (uint8_t i = 35; i <= 36; ++i) {
        const uint8_t* pb = s_aabElement[i];
        const uint8_t bStatus = pb[0] & SES_STATUS_CODE_MASK;
        if (bStatus == SES_CODE_CRITICAL || (bStatus == SES_CODE_NOT_INSTALLED && !(pb[1] & 0x01))) bCode = 1, bSub = 1;
    }
    const bool fFan0 = (s_aabElement[38][0] & SES_STATUS_CODE_MASK) == SES_CODE_OK;
    const bool fFan1 = (s_aabElement[39][0] & SES_STATUS_CODE_MASK) == SES_CODE_OK;
    if (!fFan0 || !fFan1) bCode = 1, bSub = 1;
    if (!fFan0 && !fFan1) bCode = 1, bSub = 0;
    const uint8_t bSensor0 = s_aabElement[43][0] & SES_STATUS_CODE_MASK;
    const uint8_t bSensor1 = s_aabElement[44][0] & SES_STATUS_CODE_MASK;
    if (bSensor0 == SES_CODE_NONCRITICAL || bSensor1 == SES_CODE_NONCRITICAL) bCode = 1, bSub = 1;
    if (bSensor0 == SES_CODE_CRITICAL || bSensor1 == SES_CODE_CRITICAL) bCode = 1, bSub = 0;
    if (fGetWriteBackWithoutPartner() != TRUE) {
        SetEnclosureFaultBit(FAULT_PARTNER_MISSING, FALSE);
        if (sGetPartnerState().fPartnerMissing == TRUE) {
            SetEnclosureFaultBit(FAULT_PARTNER_MISSING, TRUE);
            bCode = 1, bSub = 0;
        }
    }
    SetOwnIndicator(INDICATOR_CONTROLLER, bCode, bSub, TRUE);
}

// The own chassis is enclosure 0, read from its own pages: no command
// leaves the controller for it.
void RebuildEnclosureTable() {
    ENCLOSURE_TABLE* ps = pGetEnclosureTable();
    if (ps == nullptr || fIsEnvironmentMonitorEnabled() != TRUE) return;
    ResetHostSummaries();
    ResetEnclosureTable();
    uint8_t* pb = pGetOwnPageBuffer();
    uint16_t wLength = 0;
    ENCLOSURE& s = ps->asEnclosure[0];
    if (bBuildOwnSesPage(0x00, pb, &wLength) == STATUS_OK)
        (void)dCopySesPage(s.abSupportedPages, sizeof s.abSupportedPages, pb, wLength);
    if (bBuildOwnSesPage(0x01, pb, &wLength) != STATUS_OK) return;
    (void)dCopySesPage(s.abConfigPage, sizeof s.abConfigPage, pb, wLength);
    ps->dTotalNoOfEnclosures = 1;
    ps->dCurrentEnclosure = 0;
    const DRIVE_INFO_LIST* psDrives = pGetDriveInfoList();
    ps->bTotalNoOfDrives = psDrives != nullptr ? std::min(psDrives->bDriveCount, DRIVE_INFO_RECORDS) : 0;
    ps->fSesDataValid = TRUE;
    s.bNoOfDrivePath = 2;
    s.fIdentifierUnchanged = ToFlag(std::memcmp(s.abEclosureIdentifier, pb + 12, 8) == 0);
    std::memcpy(s.abEclosureIdentifier, pb + 12, 8);
    // The chassis' element of bay b is its device element b: slot and
    // element numbers agree.
    for (uint8_t k = 0; k < ENCLOSURE_SLOT_MAP_ENTRIES; ++k) {
        s.abSlotToElement[k] = k < OWN_BAYS ? static_cast<uint8_t>(k + 1) : 0;
        s.abElementToSlot[k] = s.abSlotToElement[k];
    }
    s.bNoOfDrives = bConfigurationSlotCount(s.abConfigPage, wLength);
    if (bGetSesLevel() != SES_LEVEL_FULL && (bGetExpectedEnclosureCount() <= 1)) {
        if (bGetLastSesReport() != SES_LEVEL_FULL) PostEvent(EVENT_SES_LEVEL_3);
        SetLastSesReport(SES_LEVEL_FULL);
    }
    SetSesLevel(SES_LEVEL_FULL);
    if (bBuildOwnSesPage(0x02, pb, &wLength) == STATUS_OK) CountOwnInstalledSlots(pb, wLength);
    MarkAllIndicatorsChanged();
    // The hosts' configuration summary counts the chassis' elements.
    std::memset(ps->abHostConfiguration, 0, sizeof ps->abHostConfiguration);
    ForEachRun([&](uint8_t, uint8_t bType, uint8_t bCount) {
        switch (bType) {
        case SES_TYPE_COOLING: ps->abHostConfiguration[0] = bCount; break;
        case SES_TYPE_POWER_SUPPLY: ps->abHostConfiguration[1] = bCount; break;
        case SES_TYPE_DEVICE: ps->abHostConfiguration[2] = bCount; break;
        case SES_TYPE_TEMPERATURE: ps->abHostConfiguration[4] = bCount; break;
        case SES_TYPE_ALARM: ps->abHostConfiguration[5] = bCount; break;
        default: break;
        }
    });
}

void SetSesDataValid(uint8_t f) {
    if (pGetEnclosureTable() != nullptr) pGetEnclosureTable()->fSesDataValid = f;
}
// The table is not rebuilt under a page pass that reads it.
uint8_t fIsSesDataReady() { return ToFlag(fIsSesDeviceBusy() != TRUE); }

}  // namespace fw
