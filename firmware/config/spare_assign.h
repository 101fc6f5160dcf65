// Automatic spare assignment: when the rebuild check finds a degraded array
// without a spare, it picks a present drive of the right kind and size from
// the unassigned drives at once, and makes it a global spare through an edit
// (requester 6) and a commit.  Only the master controller assigns spares.
#pragma once

#include <cstdint>

#include "config/config_image.h"

namespace fw {

void InitSpareAssignment();
uint8_t fGetSpareAssignPending();
void SetSpareAssignPending(uint8_t f);
uint8_t fGetArrayWantsSpare(uint8_t bArray);
void SetArrayWantsSpare(uint8_t bArray, uint8_t f);
// The drive chosen for the array (enclosure and slot packed as a drive
// position), 255 none.
uint8_t bGetChosenSpareDrive(uint8_t bArray);

// Chooses the first unassigned drive of the path type with at least the
// capacity (last block address) that is not on the failed-drive list; TRUE
// when one was chosen.
uint8_t fFindReplacementDrive(uint8_t bArray, uint8_t bPathType, uint32_t dMinCapacity);
// Step 0 opens the edit; step 1 is the edit's continuation.
void StartSpareAssignEdit(uint8_t bStep);
// Inside the opened edit: the chosen drive of the first degraded array that
// wants one becomes a global spare and a commit is requested.
void AssignChosenSpare();

// The path type of the array's first members (0, 1 and, with three or more
// drives, 2): the first that is known, 0 when none is.
uint8_t bGetArrayMemberPathType(const CONFIG_IMAGE* psImage, uint8_t bArray);
// TRUE when a member WWN of some array is not a qualified drive.
uint8_t fIsAnyConfiguredDriveMissing(const CONFIG_IMAGE* psImage);

}  // namespace fw
