// The data of a management WRITE BUFFER has arrived: the set command runs
// by its code once its signature holds.  Also the header check of the
// scratch configuration image that the management checks ask.
#pragma once

#include <cstdint>

#include "executive/kernel_entry.h"

namespace fw {

// The data-out completion of command type 62.
void DispatchManagementSetCommand();
// The data-out completion of command type 66: the management WRITE BUFFER
// in progress is answered GOOD.
void FinishMgmtDataOutGood();
// 255 when the image's size, version, magic and counts of arrays and
// logical drives hold their values, else 0.
struct CONFIG_IMAGE;
uint8_t bCheckConfigImageHeader(const CONFIG_IMAGE* psImage);
// An interrupted commit ended the hold a management command kept: the
// command fails (NOT READY).
void FailManagementCommandOnAbort();

}  // namespace fw
