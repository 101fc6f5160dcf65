// Host READ(16) through the cache: answered from a read-ahead slot, from the
// buffer of an outstanding write that covers it, or read from the drives
// into pages of its own; then the data and the status go to the host in one
// transfer.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

// 255 moved on or finished; 66 no pages, or the snapshot layer asks it to
// wait; 16 held off (SAS slot change, stripe initialisation) or no child
// entries: tried again later.
uint8_t StartHostRead(KERNEL_ENTRY* psEntry);
// The head of the "Data Available" ring: data and status to the host.
void ProcessDataAvailableQueue(uint8_t bPortCode);
// Sends a read back to its LUN ring or the new-command ring, to be done
// again.
void RequeueRead(KERNEL_ENTRY* psEntry);
// A read that waited for a read-ahead slot whose prefetch failed goes back
// to its queue as a plain read of its own blocks.
void RequeueReadAheadWaiter(KERNEL_ENTRY* psEntry);
// Answers a read from its read-ahead slot.
void SendReadAheadData(uint8_t bPortCode, KERNEL_ENTRY* psEntry);
// TRUE when one of the last commands of the port (of the LUN, for a read
// taken from its LUN ring) is a READ(16) the read follows sequentially.
uint8_t bFindSequentialRead(KERNEL_ENTRY* psEntry, uint16_t wDepth, uint16_t* pwPosition);

// Event 64: a host command is answered CHECK CONDITION with this sense.
// fPort49IsFirst: port code 49 counts as the first host port.
void PostHostCommandFailed(const KERNEL_ENTRY* psEntry, uint8_t bKey, uint8_t bAsc, uint8_t bAscq,
                           bool fPort49IsFirst = true);

// A read answered from an outstanding write's buffer has ended: it gives
// back its place among the write's readers, and a write that finished while
// it was read goes on to be freed.
void ReleaseServingWrite(KERNEL_ENTRY* psRead);
// TRUE while reads still send data from the write's buffer: it must keep
// its pages until the last of them has ended.
uint8_t fIsWriteBufferRead(const KERNEL_ENTRY* psWrite);

}  // namespace fw
