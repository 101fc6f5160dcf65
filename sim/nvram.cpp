#include "sim/nvram.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/board.h"

namespace sim {

Nvram::Nvram(Board& board, const std::string& path) : m_board(board) {
    if (!path.empty()) {
        m_fresh = access(path.c_str(), F_OK) != 0;
        int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
        if (fd < 0 || ftruncate(fd, kSize) != 0) {
            std::fprintf(stderr, "board: cannot open NVRAM image %s\n", path.c_str());
            std::exit(1);
        }
        void* p = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (p == MAP_FAILED) {
            std::fprintf(stderr, "board: cannot map NVRAM image %s\n", path.c_str());
            std::exit(1);
        }
        m_data = static_cast<uint8_t*>(p);
        m_mapped = true;
    } else {
        m_data = static_cast<uint8_t*>(std::calloc(kSize, 1));
    }
}

Nvram::~Nvram() {
    if (m_mapped) {
        msync(m_data, kSize, MS_SYNC);
        munmap(m_data, kSize);
    } else {
        std::free(m_data);
    }
}

void Nvram::LoadImage(const std::vector<uint8_t>& image) {
    std::memcpy(m_data, image.data(), image.size() < kSize ? image.size() : kSize);
}

void Nvram::Store(uint32_t offset, const uint8_t* bytes, uint8_t fill, uint32_t length) {
    // Stores beyond the end reach nothing and are not counted.
    if (offset >= kSize) return;
    if (length > kSize - offset) length = kSize - offset;
    // Where the power fails inside this run, only the bytes up to the cut land.
    const bool cut = m_cutAfter != 0 && m_cutAfter <= length;
    const uint32_t stored = cut ? static_cast<uint32_t>(m_cutAfter) : length;
    uint8_t* to = m_data + offset;
    if (bytes && bytes < to + stored && to < bytes + stored) {
        for (uint32_t i = 0; i < stored; ++i) to[i] = bytes[i];  // in store order, as the bus does
    } else if (bytes) {
        std::memcpy(to, bytes, stored);
    } else {
        std::memset(to, fill, stored);
    }
    m_writes += stored;
    if (m_cutAfter != 0) m_cutAfter -= stored;
    if (cut) m_board.StopProcessor(StopKind::PowerCut);
}

void Nvram::BatteryLost() { std::memset(m_data, 0, kSize); }

void Nvram::Sync() {
    if (m_mapped) msync(m_data, kSize, MS_SYNC);
}

}  // namespace sim
