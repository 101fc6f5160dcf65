// A file or directory the board needs that cannot be used: the run cannot
// start.  Says which path and the system's reason, and ends the program with
// the bad-setup status before the board ever runs.
#pragma once

#include <string>

namespace sim {

constexpr int kSetupFailureStatus = 1;

[[noreturn]] void FailSetup(const std::string& path, const std::string& reason);

}  // namespace sim
