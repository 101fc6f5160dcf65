// Drive identifiers of the printouts and event texts.
#include "eventlog/drive_id.h"

#include "executive/console_output.h"
#include "executive/system_state.h"

namespace fw {

void PrintDriveId(const uint8_t* pbIdentifier) {
    bool fPrintable = true;
    for (uint32_t i = 0; i < 8; ++i) fPrintable = fPrintable && pbIdentifier[i] >= 32 && pbIdentifier[i] <= 126;
    const uint8_t* b = pbIdentifier;
    ConsolePrintf(fPrintable ? "SN:%c%c%c%c%c%c%c%c" : "WWN:%02x%02x%02x%02x%02x%02x%02x%02x", b[0], b[1], b[2], b[3],
                  b[4], b[5], b[6], b[7]);
}

void PrintDriveIdAndSlot(const uint8_t* pbIdentifier, uint8_t bPosition) {
    PrintDriveId(pbIdentifier);
    if (bPosition == NO_DRIVE_POSITION) {
        ConsolePrintf(" S:N/A ");
        return;
    }
    ConsolePrintf(" S:%01d:%02d ", ((bPosition >> bGetDeviceIdEnclosureShift()) & bGetDeviceIdEnclosureMask()) + 1,
                  (bPosition & bGetDeviceIdSlotMask()) + 1);
}

}  // namespace fw
