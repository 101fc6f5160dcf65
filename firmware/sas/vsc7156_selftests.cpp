// The console's self-tests of the onboard expander: its SPI flash (a spare
// sector erased, programmed and erased again), its activity indicators and
// the drive power control of its enclosure services, each run against the
// own enclosure's processor.
#include <algorithm>
#include <cstring>

#include "enclosure/enclosure_discovery.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "sas/sas_discovery.h"
#include "sas/sas_scsi_path.h"
#include "sas/vsc7156_flash.h"

namespace fw {

namespace {

constexpr uint8_t OWN_ENCLOSURE = 0;
constexpr uint32_t POWER_PAGE_BYTES = 62;
constexpr uint8_t POWER_PAGE_CODE = 0x89;
constexpr uint32_t POWER_ELEMENTS = 12;
constexpr uint32_t POWER_ELEMENT_OFFSET = 12;
constexpr uint8_t POWER_OFF_BIT = 0x10;
constexpr uint32_t LED_WORDS = 12;
constexpr uint8_t VU_WRITE_REGISTER_CDB[10] = {0xC1, 0x0C, 0x00, 0x30, 0xBF, 0x90, 0x30, 0x80, 0x00, 0x00};

// The enclosure processor and a page of buffer memory for a test's
// commands; FALSE (with the test's message) when either is missing.
struct TEST_DEVICE {
    uint8_t bPath;
    uint8_t bTarget;
    BUFFER_HANDLE dBuffer;
};

// The own enclosure's processor; where the drive side lists no enclosure
// records, the enclosure services device the poll serves.
bool OpenTest(const char* pszTest, TEST_DEVICE* ps) {
    if (fSelectSesDeviceOfEnclosure(OWN_ENCLOSURE, &ps->bPath, &ps->bTarget) != TRUE &&
        fSelectSesDevice(&ps->bPath, &ps->bTarget) != TRUE) {
        ConsolePrintf("%s: No Processor Device Found\n", pszTest);
        return false;
    }
    if (bAllocDataPages(0, 1, &ps->dBuffer) != STATUS_OK) {
        ConsolePrintf("%s: Failed to allocate Memory\n", pszTest);
        return false;
    }
    return true;
}

void CloseTest(const TEST_DEVICE& s) { (void)wFreeDataPages(s.dBuffer, 1); }

uint8_t* pbBuffer(const TEST_DEVICE& s) { return static_cast<uint8_t*>(pBufferHandleToPointer(s.dBuffer)); }

// One command: its result and the SCSI status, sense key and codes, in
// the order the failure lines print them.
struct RESULT {
    uint8_t ab[5];
    bool Good() const { return ab[0] == STATUS_OK && ab[1] == SCSI_STATUS_GOOD; }
};

RESULT Send(const TEST_DEVICE& s, const uint8_t* pbCdb, uint8_t fDataIn, uint32_t dLength) {
    RESULT r{};
    r.ab[1] = 0xFF;
    r.ab[0] = bSendSCSICommandAndWait(s.bTarget, s.bPath, pbCdb, fDataIn, dLength, s.dBuffer, &r.ab[1], &r.ab[2],
                                      &r.ab[3], &r.ab[4]);
    return r;
}

RESULT ReadPowerPage(const TEST_DEVICE& s) {
    const uint8_t abCdb[6] = {SCSI_RECEIVE_DIAGNOSTIC, 0x01, POWER_PAGE_CODE, 0, POWER_PAGE_BYTES, 0};
    return Send(s, abCdb, TRUE, POWER_PAGE_BYTES);
}

RESULT SendPowerPage(const TEST_DEVICE& s) {
    const uint8_t abCdb[6] = {SCSI_SEND_DIAGNOSTIC, 0x10, 0, 0, POWER_PAGE_BYTES, 0};
    return Send(s, abCdb, FALSE, POWER_PAGE_BYTES);
}

void PrintPowerPage(const uint8_t* pb) {
    ConsolePrintf("Power Control Page:\n");
    ConsolePrintf("  bPageCode %02x\n", pb[0]);
    ConsolePrintf("  bShortStatus %02x\n", pb[1]);
    ConsolePrintf("  abPageLength %02x%02x\n", pb[2], pb[3]);
    ConsolePrintf("  abGenerationCode %02x%02x%02x%02x\n", pb[4], pb[5], pb[6], pb[7]);
    ConsolePrintf("  abOverallStatus %02x%02x%02x%02x\n", pb[8], pb[9], pb[10], pb[11]);
    for (uint32_t i = 0; i < POWER_ELEMENTS; ++i) {
        const uint8_t* pe = pb + POWER_ELEMENT_OFFSET + 4 * i;
        ConsolePrintf("  asDrivePowerState[%x] %02x %02x %02x %02x\n", i, pe[0], pe[1], pe[2], pe[3]);
    }
    ConsolePrintf("  abCRC %02x%02x\n", pb[60], pb[61]);
}

// A page built for the loopback set-ups: banks 1 (elements 0-5) and 2
// (6-11) powered off or on, or everything on for normal operation.
bool BuildPowerPage(uint8_t bFunction, uint8_t* pb) {
    if (bFunction > 4) return false;
    std::memset(pb, 0, POWER_PAGE_BYTES);
    pb[0] = POWER_PAGE_CODE;
    pb[3] = POWER_PAGE_BYTES - 4;
    for (uint32_t i = 0; i < POWER_ELEMENTS; ++i) {
        const bool fBank1 = i < POWER_ELEMENTS / 2;
        const bool fOff = (bFunction == 1 && fBank1) || (bFunction == 3 && !fBank1);
        pb[POWER_ELEMENT_OFFSET + 4 * i] = 0x80;   // select
        if (fOff) pb[POWER_ELEMENT_OFFSET + 4 * i + 3] = POWER_OFF_BIT;
    }
    return true;
}

void PrintResult(const char* pszFormat, const RESULT& r) {
    ConsolePrintf(pszFormat, r.ab[0], r.ab[1], r.ab[2], r.ab[3], r.ab[4]);
}

// The sector the test may use: below the lower slot's trailer sector, or
// below the upper one's when the lower image reaches that far.
bool TestSector(uint32_t* pdSector) {
    constexpr const char* TEST = "VSC7156_TestSPIProgramming";
    uint8_t abTrailer[VSC_TRAILER_BYTES];
    const uint32_t adBelow[VSC_SLOTS] = {(VSC_SLOT_TRAILER[0] & ~(VSC_SECTOR_SIZE - 1)) - VSC_SECTOR_SIZE,
                                         (VSC_SLOT_TRAILER[1] & ~(VSC_SECTOR_SIZE - 1)) - VSC_SECTOR_SIZE};
    for (uint8_t bSlot = 0; bSlot < VSC_SLOTS; ++bSlot) {
        if (bVSC7156_SPIRead(VSC_SLOT_TRAILER[bSlot], VSC_TRAILER_BYTES, abTrailer) != STATUS_OK) {
            ConsolePrintf(bSlot == 0 ? "%s: Read Lower Trailer Failed\n" : "%s: Read Upper Trailer Failed\n", TEST);
            return false;
        }
        const bool fValid = std::memcmp(abTrailer + VSC_TRAILER_SIGNATURE, VSC_TRAILER_SIGNATURE_TEXT, 4) == 0;
        const uint32_t dSize = dGetBe32(abTrailer + VSC_TRAILER_SIZE);
        if (!fValid || VSC_SLOT_IMAGE[bSlot] + dSize <= adBelow[bSlot]) {
            *pdSector = adBelow[bSlot];
            return true;
        }
    }
    ConsolePrintf("%s: No Test Sector Available\n", TEST);
    return false;
}

bool SectorErased(uint32_t dSector) {
    uint8_t abPage[VSC_PAGE_SIZE];
    for (uint32_t d = 0; d < VSC_SECTOR_SIZE; d += VSC_PAGE_SIZE) {
        if (bVSC7156_SPIReadPage(dSector + d, abPage) != STATUS_OK) return false;
        if (!std::all_of(abPage, abPage + VSC_PAGE_SIZE, [](uint8_t b) { return b == 0xFF; })) return false;
    }
    return true;
}

bool RunSpiTest(uint32_t dSector) {
    constexpr const char* TEST = "VSC7156_TestSPIProgramming";
    ConsolePrintf("Erasing Test Sector at address %08x\n", dSector);
    if (fVSC7156_SPISectorErase(dSector) != STATUS_OK) {
        ConsolePrintf("%s: Sector Erase Failed\n", TEST);
        return false;
    }
    if (!SectorErased(dSector)) {
        ConsolePrintf("%s: Erase Verify Failed\n", TEST);
        return false;
    }
    uint8_t abPage[VSC_PAGE_SIZE];
    for (uint32_t i = 0; i < VSC_PAGE_SIZE; ++i) abPage[i] = static_cast<uint8_t>(i);
    ConsolePrintf("Test Page Program at address %08x\n", dSector);
    if (fVSC7156_SPIPageProgram(dSector, abPage) != STATUS_OK) {
        ConsolePrintf("%s: Page Program Failed\n", TEST);
        return false;
    }
    ConsolePrintf("Verify Test Data\n");
    if (bVSC7156_SPIVerify(dSector, VSC_PAGE_SIZE, abPage) != STATUS_OK) {
        ConsolePrintf("%s: Test Data Verify Failed\n", TEST);
        return false;
    }
    ConsolePrintf("Post Test Sector Erase at address %08x\n", dSector);
    if (fVSC7156_SPISectorErase(dSector) != STATUS_OK) {
        ConsolePrintf("%s: Post Test Sector Erase Failed\n", TEST);
        return false;
    }
    ConsolePrintf("Verify Post Test Sector Erase\n");
    if (!SectorErased(dSector)) {
        ConsolePrintf("%s: Post Test Erase Verify Failed\n", TEST);
        return false;
    }
    return true;
}

}  // namespace

void VSC7156_TestSPIProgramming() {
    constexpr const char* TEST = "VSC7156_TestSPIProgramming";
    TEST_DEVICE s{};
    if (!OpenTest(TEST, &s)) return;
    CloseTest(s);
    SetCPLDControlBit3(FALSE);
    uint32_t dSector = 0;
    const bool fPassed = TestSector(&dSector) && RunSpiTest(dSector);
    SetCPLDControlBit3(TRUE);
    if (!fPassed) ConsolePrintf("%s: Test Failed\n", TEST);
}

void VSC7156_TestActivityLED(uint8_t bFunction) {
    constexpr const char* TEST = "VSC7156_TestActivityLED";
    if (bFunction > 2) {
        ConsolePrintf("%s: Unknown Function:%02x\n", TEST, bFunction);
        return;
    }
    TEST_DEVICE s{};
    if (!OpenTest(TEST, &s)) return;
    uint8_t* pb = pbBuffer(s);
    for (uint32_t i = 0; i < LED_WORDS; ++i) {
        uint32_t d = bFunction == 1 ? 0xF1030000u : 0xF0030000u;
        if (bFunction == 0) d = 0xF0030000u | static_cast<uint32_t>(bVsc7156PhyRowByte(bGetControllerNumber(), i, 0)) << 8;
        PutBe32(pb + 4 * i, d);
    }
    const RESULT r = Send(s, VU_WRITE_REGISTER_CDB, FALSE, 4 * LED_WORDS);
    if (!r.Good()) {
        ConsolePrintf("%s: %d VU_WRITE_REGISTER failed, result %02x %02x %02x %02x %02x\n", TEST, bFunction, r.ab[0],
                      r.ab[1], r.ab[2], r.ab[3], r.ab[4]);
    }
    CloseTest(s);
}

void VSC7156_TestDrivePowerControl(uint8_t bFunction) {
    constexpr const char* TEST = "VSC7156_TestDrivePowerControl";
    if (bFunction > 4) {
        ConsolePrintf("%s: Unknown Function:%02x\n", TEST, bFunction);
        return;
    }
    TEST_DEVICE s{};
    if (!OpenTest(TEST, &s)) return;
    (void)BuildPowerPage(bFunction, pbBuffer(s));
    const RESULT r = SendPowerPage(s);
    if (!r.Good()) {
        ConsolePrintf("%s: %d failed, SendDiag result %02x %02x %02x %02x %02x\n", TEST, bFunction, r.ab[0], r.ab[1],
                      r.ab[2], r.ab[3], r.ab[4]);
    }
    CloseTest(s);
}

void VSC7156_TestSESDrivePowerControl() {
    constexpr const char* TEST = "VSC7156_TestSESDrivePowerControl";
    TEST_DEVICE s{};
    if (!OpenTest(TEST, &s)) return;
    uint8_t* pb = pbBuffer(s);
    auto ReadBack = [&] {
        const RESULT r = ReadPowerPage(s);
        PrintResult("VSC7156_TestSESDrivePowerControl: RecvDiag result %02x %02x %02x %02x %02x\n", r);
        if (r.Good()) PrintPowerPage(pb);
        return r.Good();
    };
    if (ReadBack()) {
        for (uint32_t i = 0; i < POWER_ELEMENTS; ++i) {
            pb[POWER_ELEMENT_OFFSET + 4 * i] = 0x80;
            pb[POWER_ELEMENT_OFFSET + 4 * i + 3] |= POWER_OFF_BIT;
        }
        PrintResult("VSC7156_TestSESDrivePowerControl: Power Off All SendDiag result %02x %02x %02x %02x %02x\n",
                    SendPowerPage(s));
        for (uint32_t i = 0; i < POWER_ELEMENTS && ReadBack(); ++i) {
            pb[POWER_ELEMENT_OFFSET + 4 * i] = 0x80;
            pb[POWER_ELEMENT_OFFSET + 4 * i + 3] = static_cast<uint8_t>(pb[POWER_ELEMENT_OFFSET + 4 * i + 3] & ~POWER_OFF_BIT);
            const RESULT r = SendPowerPage(s);
            ConsolePrintf("VSC7156_TestSESDrivePowerControl: Power On %d SendDiag result %02x %02x %02x %02x %02x\n",
                          i, r.ab[0], r.ab[1], r.ab[2], r.ab[3], r.ab[4]);
        }
    }
    CloseTest(s);
}

}  // namespace fw
