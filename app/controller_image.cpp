// controller_image FILE: writes the controller firmware image the simulated
// flash is made from, the file an operator sends over XMODEM from the
// Controller Firmware Menu to update the controller.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "sim/flash.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: controller_image FILE\n");
        return 2;
    }
    const std::vector<uint8_t> image = sim::Flash::FactoryImage();
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr || std::fwrite(image.data(), 1, image.size(), out) != image.size() || std::fclose(out) != 0) {
        std::fprintf(stderr, "controller_image: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    return 0;
}
