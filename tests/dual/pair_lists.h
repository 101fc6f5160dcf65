// The drive-side device lists of the two controllers of a pair.
#pragma once

#include <cstdint>

#include "sas/sas_device_list.h"

namespace fw_b {
fw::SAS_DEVICE_LIST* pGetSASDriveInfoList();
}  // namespace fw_b

namespace dual {

// A list's usable entry for the drive in a slot of the chassis, or null.
template <class List>
auto InSlot(List* psList, uint8_t bSlot) -> decltype(&psList->asEntry[0]) {
    for (uint8_t i = 0; i < psList->bEntryCount && i < fw::SAS_MAX_DEVICES; ++i) {
        auto& s = psList->asEntry[i];
        if (s.bEnclosure == 1 && s.bSlot == bSlot && s.fValid == fw::TRUE) return &s;
    }
    return nullptr;
}

}  // namespace dual
