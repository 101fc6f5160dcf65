// Writing the sealed live image to the drives: every in-service member of
// every array gets a chain START STOP UNIT, TEST UNIT READY, READ CAPACITY,
// WRITE of the whole image 32768 blocks before its last block; drives that
// belong to no array get one zeroed block there instead, once, so that a
// stale copy no longer passes the loader's checks.  The chains run side by
// side; the last to end moves the commit to its step 11.
#pragma once

#include <cstddef>
#include <cstdint>

#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "hw/addresses.h"

namespace fw {

// Writer states.
constexpr uint8_t WRITER_TAKE_SLOT_PAGE = 0;
constexpr uint8_t WRITER_TAKE_ZERO_PAGE = 1;
constexpr uint8_t WRITER_ISSUE_MEMBERS = 2;
constexpr uint8_t WRITER_PREPARE_ERASE = 3;
constexpr uint8_t WRITER_ISSUE_ERASES = 4;
constexpr uint8_t WRITER_STOPPED = 5;

// The commit step the writer hands over to when the last chain has ended.
constexpr uint8_t COMMIT_STEP_WRITTEN = 11;

// Blocks between a copy's first block and the drive's last block.
constexpr uint32_t CONFIG_COPY_OFFSET_FROM_END = 32768;

// Internal drive commands of the configuration carry no host command: their
// own words take the target engine's range of the entry.
#pragma pack(push, 1)
struct CONFIG_WRITE_SLOT;
struct CONFIG_COMMAND_FIELDS {
    WORD_POINTER<CONFIG_WRITE_SLOT> psSlot;  // writer chains: the chain's slot
    uint32_t dDeadline;          // drive locate: coarse tick it ends at
    BUFFER_HANDLE dCapacityPage; // writer chains: READ CAPACITY data page
    uint16_t wStop;              // drive locate: non-zero stops it
    uint8_t bChainStep;
};
#pragma pack(pop)
static_assert(sizeof(CONFIG_COMMAND_FIELDS) <= KE_AREA_TARGET_SIZE);
static_assert(offsetof(CONFIG_COMMAND_FIELDS, bChainStep) == 14);
inline CONFIG_COMMAND_FIELDS* psConfigFields(KERNEL_ENTRY* psEntry) {
    return EntryArea<CONFIG_COMMAND_FIELDS, KE_AREA_TARGET_OFFSET, KE_AREA_TARGET_SIZE>(psEntry);
}

// Sets the writer to state 0 (commit step 0) and runs it on the sealed
// image the members are to receive.
struct CONFIG_IMAGE;
void StartConfigWriter(const CONFIG_IMAGE* psImage);
// Runs the writer from its current state; its own timer calls it again.
void WriteConfigToDrives();
// The commit was requeued: chains still out end without moving the commit
// on, and the next run waits until they have; what the writer holds is
// freed and a retry it armed does nothing.
void AbandonConfigWriter();
uint8_t bGetConfigWriterState();
uint16_t wGetConfigWriterOutstanding();

// What the last writer run achieved: the in-service members the image
// names, and how many of them received the new copy.
uint16_t wGetConfigMembersNamed();
uint16_t wGetConfigCopiesWritten();

}  // namespace fw
