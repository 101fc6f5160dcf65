// The controller information dump: identity and state of this controller
// or of its partner, one group of lines per step of the paged dump.
#pragma once

namespace fw {

void ShowControllerInformation();

}  // namespace fw
