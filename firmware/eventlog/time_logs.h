// How long commands take: the drive command time log (per drive slot,
// READ(10), WRITE(10) and other commands) and the host command time log
// (per host-port side and per LUN, reads, writes and cached writes), each
// filled on every completion and emptied by its printout, so a printout
// covers the time since the one before.  Beside them, one console line per
// traced host or drive command.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

void RecordDriveCommandTime(const KERNEL_ENTRY* psRequest);
void RecordHostCommandTime(KERNEL_ENTRY* psEntry);
void ClearDriveCommandTimeLog();
void ClearHostCommandTimeLog();
void PrintDriveCommandTimeLog();
void PrintHostCommandTimeLog();

// A host command at the end of its life, and a command when it is
// dispatched or its drive request completes.
void PrintCommandTraceLine(const KERNEL_ENTRY* psEntry);
void PrintNewCommandTraceLine(const KERNEL_ENTRY* psEntry);

}  // namespace fw
