#include "sim/setup.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

void FailSetup(const std::string& path, const std::string& reason) {
    std::fprintf(stderr, "controller: %s: %s\n", path.c_str(), reason.c_str());
    std::exit(kSetupFailureStatus);
}

}  // namespace sim
