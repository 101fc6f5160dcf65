// Back-end completion: drive children come back on the completion ring of
// the initiator kernel queue, are counted down on the command they serve and
// freed; a host command whose last child is in moves on to the ring that
// answers the host.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

// One child of a host command is done: its outstanding count drops and at
// zero the read or write is complete.
void CountDownHostCommand(KERNEL_ENTRY* psHost);

}  // namespace fw
