// The texts of the event codes, made only when an event is shown.
#pragma once

#include <cstdint>

#include "eventlog/event_log.h"

namespace fw {

// The image the paged listing shows; DecodeEvent does nothing without one.
void SetEventDecodeImage(const EVENT_LOG_MIRROR* psImage);
// Prints entry wIndex of the image: its time stamp, then its text.
void DecodeEvent(uint16_t wIndex);
// The text of one entry (after its time stamp has been printed).
void PrintEventText(const EVENT_LOG_ENTRY* psEntry);

}  // namespace fw
