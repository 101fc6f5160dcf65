// The onboard expanders' PHY settings: three kinds of PHY on each board,
// the drive-side PHYs, the PHYs cabled to the host side and the PHYs of
// the expansion port, each with its own signal setting.  Their register
// space is reached through a mailbox of the expanders' I2C slave
// interface: an address word and the 8-byte register word it names.
#include "sas/onboard_expanders.h"

#include <cstdint>

#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "platform/i2c.h"

namespace fw {

namespace {

constexpr uint8_t EXPANDERS = 2;
constexpr uint8_t PHYS = 12;
constexpr uint32_t PHY_DRIVE = 0x282C282A;
constexpr uint32_t PHY_HOST = 0x282A282A;
constexpr uint32_t PHY_EXPANSION = 0x287C287C;

constexpr uint32_t DEFAULT_PHY_CONFIG[EXPANDERS][PHYS] = {
    {PHY_DRIVE, PHY_HOST, PHY_HOST, PHY_DRIVE, PHY_DRIVE, PHY_DRIVE, PHY_EXPANSION, PHY_EXPANSION, PHY_DRIVE,
     PHY_DRIVE, PHY_DRIVE, PHY_DRIVE},
    {PHY_DRIVE, PHY_DRIVE, PHY_DRIVE, PHY_HOST, PHY_HOST, PHY_DRIVE, PHY_DRIVE, PHY_DRIVE, PHY_EXPANSION,
     PHY_EXPANSION, PHY_DRIVE, PHY_DRIVE},
};

constexpr uint8_t I2C_UNIT = 0;
constexpr uint8_t I2C_ADDRESS[EXPANDERS] = {0xA0, 0xA2};

// Mailbox frames: 0x86 offset count [bytes] writes the mailbox (or, with
// no bytes, names what the next read returns); 0x06 offset byte writes one
// byte; a 1 at offset 12 runs the access the address word describes.
constexpr uint8_t FRAME_MAILBOX = 0x86;
constexpr uint8_t FRAME_BYTE = 0x06;
constexpr uint8_t FRAME_STATUS = 0x05;
constexpr uint8_t MAILBOX_GO = 0x0C;
constexpr uint32_t ADDRESS_WRITE = 0x80000000;
constexpr uint32_t ADDRESS_READ = 0x4FF00000;
constexpr uint32_t READ_PRESET = 0x12345678;

struct TABLE_ENTRY {
    uint32_t dRegister;
    uint32_t dValue;
    uint8_t bLanes;
};
constexpr TABLE_ENTRY LOAD_TABLE[] = {
    {0x08, 0x30313233, 0xF},     {0x0C, 0x3435363F, 0xF},     {0x10, 0x40414343, 0xF},
    {0x14, 0x44454647, 0xF},     {0x18, 0x48494A4B, 0xF},     {0x1C, 0x4C4D4E4F, 0xF},
    {0x20, 0x30313200, 0xE},     {0x40, 0x04000C03, 0xF},     {0x48, 0, 0xF},
    {0x4C, 0, 0xF},              {0x50, 0, 0xF},              {0x18300, 0x400000FC, 0xF},
    {0x18304, 0x1E1E1E1E, 0xF},  {0x18328, 0x00002000, 0xF},  {0x1812C, 0x0000080A, 0xF},
};
// Registers of the table that the expander changes itself: not read back.
constexpr uint32_t SELF_CHANGING_FIRST = 0x18004;
constexpr uint32_t SELF_CHANGING_LAST = 0x18328;

// The settings each expander is given: words 0-12 its own registers, then
// five words per PHY.
constexpr uint32_t RECORD_WORDS = 17 + 5 * PHYS;
struct EXPANDER_SETTINGS {
    uint32_t adWord[RECORD_WORDS];
};
constexpr uint32_t PHY_WORDS = 17;
constexpr uint32_t BOARD_TYPE_SIX_SETTING = 0x28252836;
constexpr uint32_t OTHER_BOARD_SETTING = 0x28252814;

void PutLe32(uint8_t* pb, uint32_t d) {
    for (int i = 0; i < 4; ++i) pb[i] = static_cast<uint8_t>(d >> (8 * i));
}
uint32_t dGetLe32(const uint8_t* pb) {
    return static_cast<uint32_t>(pb[0]) | static_cast<uint32_t>(pb[1]) << 8 | static_cast<uint32_t>(pb[2]) << 16 |
           static_cast<uint32_t>(pb[3]) << 24;
}

// The frame's code at byte bPecAt, over the device address and the bytes
// before it, then the frame out.
uint8_t bSendFrame(uint8_t bExpander, uint8_t* pbFrame, uint32_t dLength, uint32_t dPecAt) {
    uint8_t abCovered[8] = {I2C_ADDRESS[bExpander]};
    for (uint32_t i = 0; i < dPecAt; ++i) abCovered[i + 1] = pbFrame[i];
    pbFrame[dPecAt] = bCalculateSmbusPec(abCovered, dPecAt + 1);
    return bI2cWriteBytes(I2C_UNIT, I2C_ADDRESS[bExpander], pbFrame, dLength);
}

uint8_t bProbe(uint8_t bExpander) {
    uint8_t abStatus[4] = {FRAME_STATUS, 0x06, 0x07, 0};
    if (bSendFrame(bExpander, abStatus, 4, 3) != STATUS_OK) return 0;
    uint8_t abAsk[3] = {FRAME_STATUS, 0x06, 0};
    if (bSendFrame(bExpander, abAsk, 3, 2) != STATUS_OK) return 0;
    uint8_t abAnswer[2] = {};
    return bI2cReadBytes(I2C_UNIT, I2C_ADDRESS[bExpander], abAnswer, sizeof abAnswer);
}

uint8_t bLoopBack(uint8_t bExpander) {
    uint8_t abOut[8] = {FRAME_MAILBOX, 0x00, 0x04, 0, 0x11, 0x22, 0x33, 0x44};
    if (bSendFrame(bExpander, abOut, 8, 3) != STATUS_OK) return 0;
    uint8_t abAsk[4] = {FRAME_MAILBOX, 0x00, 0x04, 0};
    if (bSendFrame(bExpander, abAsk, 4, 3) != STATUS_OK) return 0;
    uint8_t abBack[5] = {};
    if (bI2cReadBytes(I2C_UNIT, I2C_ADDRESS[bExpander], abBack, sizeof abBack) != STATUS_OK) return 0;
    return abBack[0] == 0x11 && abBack[1] == 0x22 && abBack[2] == 0x33 && abBack[3] == 0x44 ? STATUS_OK : 0;
}

// The settings from NVRAM: each PHY's signal setting word as the SAS
// Expander Configuration Menu keeps it; the expander's own words as the
// load leaves them.
void FillSettings(uint8_t bExpander, EXPANDER_SETTINGS* ps) {
    for (uint32_t& d : ps->adWord) d = 0;
    for (uint8_t p = 0; p < PHYS; ++p) ps->adWord[PHY_WORDS + 5 * p] = dGetNvramExpanderPhyConfig(bExpander, p);
}

bool SetUpExpander(uint8_t e, uint64_t lSasAddress) {
    for (const TABLE_ENTRY& s : LOAD_TABLE)
        if (bWriteExpanderRegister(e, s.dRegister, s.dValue, s.bLanes) != STATUS_OK) return false;
    for (const TABLE_ENTRY& s : LOAD_TABLE) {
        if (s.dRegister >= SELF_CHANGING_FIRST && s.dRegister <= SELF_CHANGING_LAST) continue;
        uint32_t d = 0;
        if (bReadExpanderRegister(e, s.dRegister, &d) != STATUS_OK) return false;
    }
    EXPANDER_SETTINGS sSettings;
    FillSettings(e, &sSettings);
    const uint32_t* pd = sSettings.adWord;
    if (bWriteVerifyExpanderRegister(e, 0x8000, pd[0], 0xF) != STATUS_OK ||
        bWriteVerifyExpanderRegister(e, 0x8038, pd[1], 0xF) != STATUS_OK ||
        bWriteVerifyExpanderRegister(e, 0x8050, pd[2], 0xF) != STATUS_OK ||
        bWriteVerifyExpanderRegister(e, 0x8014, pd[3], 0x3) != STATUS_OK ||
        bWriteVerifyExpanderRegister(e, 0x8060, pd[5], 0x3) != STATUS_OK ||
        bWriteExpanderRegister(e, 0x8028, pd[4], 0x3) != STATUS_OK ||
        bWriteExpanderRegister(e, 0x1830C, bGetBoardType() == 6 ? BOARD_TYPE_SIX_SETTING : OTHER_BOARD_SETTING, 0xF) !=
            STATUS_OK ||
        bWriteVerifyExpanderRegister(e, 0x4C, pd[11], 0xF) != STATUS_OK ||
        bWriteVerifyExpanderRegister(e, 0x50, pd[12], 0xF) != STATUS_OK) {
        return false;
    }
    for (uint32_t p = 0; p < PHYS; ++p) {
        const uint32_t* pdPhy = pd + PHY_WORDS + 5 * p;
        if (bWriteVerifyExpanderRegister(e, 0x40308 + 0x400 * p, pdPhy[0], 0x1) != STATUS_OK ||
            bWriteVerifyExpanderRegister(e, 0x60000 + 0x10 * p, pdPhy[1], 0x3) != STATUS_OK ||
            bWriteVerifyExpanderRegister(e, 0x60004 + 0x10 * p, pdPhy[2], 0xF) != STATUS_OK ||
            bWriteVerifyExpanderRegister(e, 0x10020 + 4 * p, pdPhy[3], 0xF) != STATUS_OK) {
            return false;
        }
    }
    for (uint32_t p = 0; p < PHYS; ++p) {
        uint32_t d = 0;
        if (bReadExpanderRegister(e, 0x40300 + 0x400 * p, &d) != STATUS_OK ||
            bReadExpanderRegister(e, 0x40328 + 0x400 * p, &d) != STATUS_OK) {
            return false;
        }
    }
    const uint32_t dHigh = static_cast<uint32_t>(lSasAddress >> 32);
    const uint32_t dLow = static_cast<uint32_t>(lSasAddress);
    constexpr uint32_t ADDRESS_PAIRS[][2] = {{0, 4}, {0x18010, 0x18014}, {0x10000, 0x10004}, {0x43010, 0x43014}};
    for (const auto& a : ADDRESS_PAIRS) {
        if (bWriteExpanderRegister(e, a[0], dHigh, 0xF) != STATUS_OK ||
            bWriteExpanderRegister(e, a[1], dLow, 0xF) != STATUS_OK) {
            return false;
        }
    }
    if (bWriteExpanderRegister(e, 0x44, pd[10], 0xF) != STATUS_OK || bWriteExpanderRegister(e, 0x90, 4, 0xF) != STATUS_OK)
        return false;
    return bProbe(e) == STATUS_OK;
}

}  // namespace

void WriteDefaultExpanderPhyConfig() {
    for (uint8_t e = 0; e < EXPANDERS; ++e) {
        for (uint8_t p = 0; p < PHYS; ++p) SetNvramExpanderPhyConfig(e, p, DEFAULT_PHY_CONFIG[e][p]);
    }
}

uint8_t bCalculateSmbusPec(const uint8_t* pbBytes, uint32_t dCount) {
    uint8_t bCrc = 0;
    for (uint32_t i = 0; i < dCount; ++i) {
        bCrc ^= pbBytes[i];
        for (int b = 0; b < 8; ++b) bCrc = static_cast<uint8_t>(bCrc & 0x80 ? (bCrc << 1) ^ 0x07 : bCrc << 1);
    }
    return bCrc;
}

uint8_t bWriteExpanderRegister(uint8_t bExpander, uint32_t dRegister, uint32_t dValue, uint8_t bLanes) {
    if (bExpander >= EXPANDERS) return 0;
    // The lane mask names the bytes of the half of the 8-byte word meant.
    const uint32_t dLanes = (dRegister & 4) != 0 ? static_cast<uint32_t>(bLanes & 0xF) << 24
                                                 : static_cast<uint32_t>(bLanes & 0xF) << 20;
    uint8_t abFrame[17] = {FRAME_MAILBOX, 0x00, 0x0D, 0};
    PutLe32(abFrame + 4, (dRegister & ~7u) | dLanes | ADDRESS_WRITE);
    PutLe32(abFrame + 8, dValue);
    PutLe32(abFrame + 12, dValue);
    abFrame[16] = 0x01;
    return bSendFrame(bExpander, abFrame, sizeof abFrame, 3);
}

uint8_t bReadExpanderRegister(uint8_t bExpander, uint32_t dRegister, uint32_t* pdValue) {
    if (bExpander >= EXPANDERS) return 0;
    uint8_t abAddress[8] = {FRAME_MAILBOX, 0x00, 0x04, 0};
    PutLe32(abAddress + 4, (dRegister & ~7u) + ADDRESS_READ);
    if (bSendFrame(bExpander, abAddress, sizeof abAddress, 3) != STATUS_OK) return 0;
    uint8_t abGo[4] = {FRAME_BYTE, MAILBOX_GO, 0x01, 0};
    if (bSendFrame(bExpander, abGo, sizeof abGo, 3) != STATUS_OK) return 0;
    uint8_t abAsk[4] = {FRAME_MAILBOX, 0x04, 0x08, 0};
    if (bSendFrame(bExpander, abAsk, sizeof abAsk, 3) != STATUS_OK) return 0;
    uint8_t abWord[9] = {};
    if (bI2cReadBytes(I2C_UNIT, I2C_ADDRESS[bExpander], abWord, sizeof abWord) != STATUS_OK) return 0;
    *pdValue = dGetLe32(abWord + ((dRegister & 4) != 0 ? 4 : 0));
    return STATUS_OK;
}

uint8_t bWriteVerifyExpanderRegister(uint8_t bExpander, uint32_t dRegister, uint32_t dValue, uint8_t bLanes) {
    const uint8_t bWritten = bWriteExpanderRegister(bExpander, dRegister, dValue, bLanes);
    if (bWritten != STATUS_OK) return bWritten;
    uint32_t dBack = READ_PRESET;
    const uint8_t bRead = bReadExpanderRegister(bExpander, dRegister, &dBack);
    if (bRead != STATUS_OK) return bRead;
    for (uint32_t n = 0; n < 4; ++n) {
        const uint32_t dMask = 0xFFu << (8 * n);
        if ((bLanes & (1u << n)) != 0 && (dBack & dMask) != (dValue & dMask)) return 0;
    }
    return STATUS_OK;
}

uint8_t SetupOnboardExpanders() {
    SpinDelayMs(1000);
    uint8_t abWwn[8] = {};
    GetNvramControllerWwn(abWwn);
    uint64_t lWwn = 0;
    for (uint8_t b : abWwn) lWwn = lWwn << 8 | b;
    const uint64_t lBase = ((lWwn << 12) & 0x0FFFFFFFFFFFF000ull) | 0x5000000000000000ull;
    constexpr uint16_t LOW_BITS[EXPANDERS] = {0x1FF, 0x2FF};
    // The caller hears whether both expanders were set up.
    uint8_t bResult = STATUS_OK;
    for (uint8_t e = 0; e < EXPANDERS; ++e) {
        if (bProbe(e) != STATUS_OK || bLoopBack(e) != STATUS_OK || !SetUpExpander(e, lBase | LOW_BITS[e])) bResult = 0;
    }
    return bResult;
}

}  // namespace fw
