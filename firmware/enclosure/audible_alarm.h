// The audible alarm's console display.
#pragma once

namespace fw {

// The mute flag of each enclosure and the disable flag.
void ShowAudibleAlarmFlags();

}  // namespace fw
