#include "sim/setup.h"

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

void FailSetup(const std::string& path, const std::string& reason) {
    std::fprintf(stderr, "controller: %s: %s\n", path.c_str(), reason.c_str());
    std::exit(kSetupFailureStatus);
}

void AllocateWhole(int fd, const std::string& path, uint64_t bytes) {
    const int error = posix_fallocate(fd, 0, off_t(bytes));
    if (error != 0) {
        FailSetup(path, "cannot allocate its " + std::to_string(bytes) + " bytes: " + std::strerror(error) +
                            "; make room on the file system or choose another --data-dir");
    }
}

}  // namespace sim
