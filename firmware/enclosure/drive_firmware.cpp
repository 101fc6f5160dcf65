// The drive firmware file check.  A file is refused before any byte of it
// reaches a drive: a download that stops half way leaves a drive that may
// not start again.
#include "enclosure/drive_firmware.h"

#include <cstring>

#include "executive/console_output.h"
#include "executive/types.h"

namespace fw {

const uint8_t DRIVE_FIRMWARE_SIGNATURE[DRIVE_FIRMWARE_SIGNATURE_BYTES] = {
    'C', 'T', 'L', 'R', ' ', 'D', 'R', 'I', 'V', 'E', ' ', 'F', 'W', ' ', 'F', 'I', 'L', 'E', ' ', '1'};

namespace {

uint32_t dXorWords(const uint8_t* pb, uint32_t dWords) {
    uint32_t dXor = 0;
    for (uint32_t d = 0; d < dWords; ++d) {
        uint32_t dWord;
        std::memcpy(&dWord, pb + d * 4, 4);
        dXor ^= dWord;
    }
    return dXor;
}

bool IsInRange(uint32_t dLength) { return dLength - 1 < DRIVE_FIRMWARE_MAX_LENGTH; }

// A region must lie inside the file and be sent in transfers of at least a
// byte: a largest transfer of 0 would never end.
bool IsRegionSound(const DRIVE_FIRMWARE_REGION& r, uint32_t dTotal) {
    return IsInRange(r.dLength) && r.dLargestTransfer != 0 && r.dOffset <= dTotal && r.dLength <= dTotal - r.dOffset;
}

}  // namespace

uint8_t bCheckDriveFirmwareFile(const uint8_t* pbFile, uint32_t dAvailable, uint8_t fHeaderOnly,
                                uint8_t fStopAtFirst) {
    if (pbFile == nullptr || dAvailable < DRIVE_FIRMWARE_HEADER_BYTES) return FALSE;
    DRIVE_FIRMWARE_FILE_HEADER sHeader;
    std::memcpy(&sHeader, pbFile, sizeof sHeader);
    uint8_t bResult = TRUE;
    auto Fail = [&]() {
        bResult = FALSE;
        return fStopAtFirst == TRUE;
    };
    if (std::memcmp(sHeader.abSignature, DRIVE_FIRMWARE_SIGNATURE, DRIVE_FIRMWARE_SIGNATURE_BYTES) != 0 && Fail()) {
        return FALSE;
    }
    const bool fCountsGood = sHeader.bRegionCount >= 1 && sHeader.bRegionCount <= DRIVE_FIRMWARE_MAX_REGIONS &&
                             sHeader.bPairCount >= 1 && sHeader.bPairCount <= DRIVE_FIRMWARE_IMAGE_PAIRS;
    if (!fCountsGood && Fail()) return FALSE;
    const uint32_t dTotal = sHeader.dTotalLength;
    if (!IsInRange(dTotal) && Fail()) return FALSE;
    // Regions are read only up to a count the header may have wrong.
    const uint8_t bRegions =
        sHeader.bRegionCount <= DRIVE_FIRMWARE_MAX_REGIONS ? sHeader.bRegionCount : DRIVE_FIRMWARE_MAX_REGIONS;
    for (uint8_t r = 0; r < bRegions; ++r) {
        if (!IsRegionSound(sHeader.asRegion[r], dTotal) && Fail()) return FALSE;
    }
    if (fHeaderOnly == TRUE || bResult != TRUE) return bResult;
    // The whole file must have arrived before its words are read.
    if (dTotal > dAvailable) return FALSE;
    if (dTotal > 3) {
        const uint32_t dXor = dXorWords(pbFile, dTotal / 4);
        if (dXor != 0) {
            ConsolePrintf("Drive Firmware File Invalid Checksum: %08x\n", dXor);
            if (Fail()) return FALSE;
        }
    }
    for (uint8_t r = 0; r < bRegions; ++r) {
        const DRIVE_FIRMWARE_REGION& s = sHeader.asRegion[r];
        const uint32_t dXor = s.dSeed ^ dXorWords(pbFile + s.dOffset, s.dLength / 4);
        if (dXor != 0) {
            ConsolePrintf("Drive Firmware File Region %02d Invalid Checksum: %08x\n", r, dXor);
            if (Fail()) return FALSE;
        }
    }
    return bResult;
}

}  // namespace fw
