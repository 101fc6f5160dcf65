// Edits of the drive slot table (the drives that belong to no array and are
// not spares) and the walk over every drive that the drive firmware download
// takes one drive per call.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

// Walk positions of the stages after the arrays.
constexpr uint8_t WALK_SPARES = 245;
constexpr uint8_t WALK_SLOTS = 255;

// Removes the first entry of the path's drive: path 3 and 0x61 by target
// id, 4 by second-path id, 0x20..0x2F the target id path - 0x20.
void RemoveDriveSlot(uint8_t bPath, uint8_t bId);
// Inserts an entry (FALSE when both ids are 255 or the table is full), then
// sorts the table.
uint8_t InsertDriveSlot(uint8_t bId, uint8_t bSecondId, uint8_t fFailed);
// Selects the next drive of the walk into the phase parameters (path,
// target, array position, member position); TRUE when one was selected.
uint8_t fSelectNextDrive(uint8_t fWrap, uint8_t fMembers);
// The selected spare or slot entry, 255 for an array member.
uint8_t bGetSelectedDriveEntry();
void ResetDriveWalk();
// Completion routine that sends the command again at the head of its path.
void RequeueDriveCommandAtHead(KERNEL_ENTRY* psEntry);

}  // namespace fw
