#include "sim/nvram.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/board.h"
#include "sim/setup.h"

namespace sim {

namespace {

std::string Reason(int error) { return std::strerror(error); }

// A new board's NVRAM as it leaves the factory: zero but for the controller
// WWN.  It is made whole in a file of its own and renamed into place, so a
// power cut during the first run never leaves a board without its WWN.
void CreateFactoryImage(const std::string& path, uint64_t wwn) {
    const std::string temporary = path + ".new";
    int fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) FailSetup(temporary, Reason(errno));
    uint8_t bytes[8];
    for (uint32_t i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(wwn >> (56 - 8 * i));
    if (ftruncate(fd, Nvram::kSize) != 0 ||
        pwrite(fd, bytes, sizeof bytes, Nvram::kFactoryWwnOffset) != static_cast<ssize_t>(sizeof bytes) ||
        fsync(fd) != 0) {
        const int error = errno;
        close(fd);
        unlink(temporary.c_str());
        FailSetup(temporary, Reason(error));
    }
    close(fd);
    if (rename(temporary.c_str(), path.c_str()) != 0) FailSetup(path, Reason(errno));
}

}  // namespace

Nvram::Nvram(Board& board, const std::string& path, uint64_t factoryWwn) : m_board(board) {
    if (path.empty()) {
        m_data = static_cast<uint8_t*>(std::calloc(kSize, 1));
        for (uint32_t i = 0; i < 8; ++i) m_data[kFactoryWwnOffset + i] = static_cast<uint8_t>(factoryWwn >> (56 - 8 * i));
        return;
    }
    m_fresh = access(path.c_str(), F_OK) != 0;
    if (m_fresh) CreateFactoryImage(path, factoryWwn);
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) FailSetup(path, Reason(errno));
    // Anything but an NVRAM image is somebody's file: never cut or format it.
    if (!S_ISREG(st.st_mode) || st.st_size != static_cast<off_t>(kSize)) {
        close(fd);
        FailSetup(path, "not an NVRAM image (" + std::to_string(kSize) + " bytes); move it away or choose another --data-dir");
    }
    AllocateWhole(fd, path, kSize);
    void* p = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int error = errno;
    close(fd);
    if (p == MAP_FAILED) FailSetup(path, Reason(error));
    m_data = static_cast<uint8_t*>(p);
    m_mapped = true;
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
