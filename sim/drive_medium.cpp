// The drive's medium: its blocks in a sparse image file or in memory holding
// only the blocks written, and the unreadable blocks injected into it.

// Images beyond 2 GiB on the 32-bit build.
#define _FILE_OFFSET_BITS 64

#include "sim/drive_impl.h"

#include "sim/setup.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <limits>

namespace sim {

using namespace drive;

namespace {

// Every block of every write is looked at: against a page of zeros, which
// the C library compares many bytes a step, after the ends (where random
// data differs at once).
bool AllZero(const uint8_t* p, size_t n) {
    static constexpr size_t kPage = 4096;
    static const uint8_t kZeros[kPage] = {};
    if (n == 0) return true;
    if (p[0] != 0 || p[n - 1] != 0) return false;
    for (size_t at = 0; at < n; at += kPage) {
        if (std::memcmp(p + at, kZeros, std::min(kPage, n - at)) != 0) return false;
    }
    return true;
}

}  // namespace

// A new image is made at the drive's size.  An image that exists is the
// drive's medium as it was left: never cut, never extended.  A larger one
// (a drive made smaller) is used as it is; a shorter one would read back
// zeros where data was, so the run is refused.
void Drive::Impl::OpenImage() {
    const std::string& path = cfg.imagePath;
    if (Bytes() > uint64_t(std::numeric_limits<off_t>::max())) FailSetup(path, "drive size too large");
    bool made = true;
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) {
        made = false;
        fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    }
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) FailSetup(path, std::strerror(errno));
    if (!S_ISREG(st.st_mode)) FailSetup(path, "not a drive image file");
    if (made && ftruncate(fd, off_t(Bytes())) != 0) {
        const std::string why = std::strerror(errno);
        unlink(path.c_str());
        FailSetup(path, why);
    }
    if (!made && uint64_t(st.st_size) < Bytes()) {
        FailSetup(path, "shorter than the drive (" + std::to_string(st.st_size) + " of " + std::to_string(Bytes()) +
                            " bytes): a drive image is never extended");
    }
}

void Drive::Impl::ReportFailure(const char* what, uint64_t lba, uint64_t count, int error) const {
    // A full file system fails every write: the first few tell why.
    constexpr uint32_t kReported = 8;
    if (failuresReported > kReported) return;
    if (++failuresReported > kReported) {
        std::fprintf(stderr, "controller: %s: further failures are not reported\n", cfg.imagePath.c_str());
        return;
    }
    std::fprintf(stderr, "controller: %s: cannot %s %llu blocks at block %llu: %s\n", cfg.imagePath.c_str(), what,
                 (unsigned long long)count, (unsigned long long)lba,
                 error != 0 ? std::strerror(error) : "the image ends early");
}

bool Drive::Impl::Read(uint64_t lba, uint64_t count, uint8_t* out) const {
    const uint32_t bs = cfg.blockSize;
    if (fd >= 0) {
        uint64_t done = 0, total = count * bs;
        while (done < total) {
            ssize_t n = pread(fd, out + done, size_t(total - done), off_t(lba * bs + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ReportFailure("read", lba, count, n < 0 ? errno : 0);
                return false;
            }
            done += uint64_t(n);
        }
        return true;
    }
    for (uint64_t i = 0; i < count;) {
        const uint64_t at = (lba + i) % kChunkBlocks;
        const uint64_t run = std::min(count - i, kChunkBlocks - at);
        auto it = chunks.find((lba + i) / kChunkBlocks);
        uint8_t* dst = out + i * bs;
        if (it == chunks.end())
            std::memset(dst, 0, size_t(run * bs));
        else
            std::memcpy(dst, it->second.get() + at * bs, size_t(run * bs));
        i += run;
    }
    return true;
}

bool Drive::Impl::PwriteAll(const uint8_t* in, uint64_t bytes, uint64_t offset) {
    uint64_t done = 0;
    while (done < bytes) {
        ssize_t n = pwrite(fd, in + done, size_t(bytes - done), off_t(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ReportFailure("write", offset / cfg.blockSize, bytes / cfg.blockSize, n < 0 ? errno : ENOSPC);
            return false;
        }
        done += uint64_t(n);
    }
    return true;
}

// All-zero blocks that land on holes are not written, so the image and
// the memory stay as sparse as the data.
bool Drive::Impl::Write(uint64_t lba, uint64_t count, const uint8_t* in) {
    const uint32_t bs = cfg.blockSize;
    if (fd < 0) {
        for (uint64_t i = 0; i < count;) {
            const uint64_t at = (lba + i) % kChunkBlocks;
            const uint64_t run = std::min(count - i, kChunkBlocks - at);
            const uint8_t* src = in + i * bs;
            uint64_t key = (lba + i) / kChunkBlocks;
            auto it = chunks.find(key);
            if (it == chunks.end()) {
                if (AllZero(src, size_t(run * bs))) {
                    i += run;
                    continue;
                }
                it = chunks.emplace(key, std::make_unique<uint8_t[]>(kChunkBlocks * bs)).first;
            }
            std::memcpy(it->second.get() + at * bs, src, size_t(run * bs));
            i += run;
        }
        return true;
    }
    uint64_t runStart = 0, runBlocks = 0;
    // [holeStart, holeEnd) is a hole found by the last query; the writes
    // made since lie below the block looked at, so it stays one.
    uint64_t holeStart = 0, holeEnd = 0;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t offset = (lba + i) * bs;
        const uint8_t* src = in + i * bs;
        bool skip = false;
        if (AllZero(src, bs)) {
            if (offset < holeStart || offset + bs > holeEnd) {
                off_t data = lseek(fd, off_t(offset), SEEK_DATA);
                holeStart = offset;
                holeEnd = data < 0 ? (errno == ENXIO ? Bytes() : offset) : uint64_t(data);
            }
            skip = offset + bs <= holeEnd;
        }
        if (skip) {
            if (runBlocks && !PwriteAll(in + runStart * bs, runBlocks * bs, (lba + runStart) * bs)) return false;
            runBlocks = 0;
            continue;
        }
        if (!runBlocks) runStart = i;
        ++runBlocks;
    }
    return !runBlocks || PwriteAll(in + runStart * bs, runBlocks * bs, (lba + runStart) * bs);
}

// The image keeps its size throughout: a hole punched over all of it, or
// where the file system cannot punch holes, its data written over with zeros.
bool Drive::Impl::Erase() {
    chunks.clear();
    bad.clear();
    struct stat st;
    if (fd < 0) return true;
    if (fstat(fd, &st) != 0) return false;
    if (fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, st.st_size) == 0) return true;
    const std::vector<uint8_t> zeros(size_t(1) << 20, 0);
    for (off_t at = lseek(fd, 0, SEEK_DATA); at >= 0 && at < st.st_size; at = lseek(fd, at, SEEK_DATA)) {
        const off_t hole = lseek(fd, at, SEEK_HOLE);
        for (; at < hole; at += off_t(zeros.size())) {
            if (!PwriteAll(zeros.data(), std::min<uint64_t>(zeros.size(), uint64_t(hole - at)), uint64_t(at))) return false;
        }
    }
    return true;
}

void Drive::Impl::MarkBad(uint64_t lba, uint64_t count) {
    uint64_t start = lba, end = lba + count;
    auto it = bad.upper_bound(start);
    if (it != bad.begin() && std::prev(it)->second >= start) --it;
    while (it != bad.end() && it->first <= end) {
        start = std::min(start, it->first);
        end = std::max(end, it->second);
        it = bad.erase(it);
    }
    bad[start] = end;
}

void Drive::Impl::ClearBad(uint64_t lba, uint64_t count) {
    if (bad.empty()) return;   // every write asks; few drives have bad blocks
    uint64_t end = lba + count;
    auto it = bad.upper_bound(lba);
    if (it != bad.begin()) --it;
    while (it != bad.end() && it->first < end) {
        uint64_t s = it->first, e = it->second;
        if (e <= lba) {
            ++it;
            continue;
        }
        it = bad.erase(it);
        if (s < lba) bad[s] = lba;
        if (e > end) bad[end] = e;
    }
}

uint64_t Drive::Impl::FirstBad(uint64_t lba, uint64_t count) const {
    auto it = bad.upper_bound(lba);
    if (it != bad.begin() && std::prev(it)->second > lba) return lba;
    return it != bad.end() && it->first < lba + count ? it->first : kNoInfo;
}

Drive::Impl::MediaRead Drive::Impl::ReadToInitiator(uint64_t lba, uint64_t count, std::span<uint8_t> in) const {
    const uint32_t bs = cfg.blockSize;
    MediaRead m;
    m.firstBad = FirstBad(lba, count);
    m.good = m.firstBad == kNoInfo ? count : m.firstBad - lba;
    uint64_t bytes = std::min<uint64_t>(m.good * bs, in.size());
    if (bytes == m.good * bs) {
        m.ok = Read(lba, m.good, in.data());
    } else {
        std::vector<uint8_t> part(size_t((bytes + bs - 1) / bs * bs));
        m.ok = Read(lba, part.size() / bs, part.data());
        if (bytes) std::memcpy(in.data(), part.data(), size_t(bytes));
    }
    m.transferred = uint32_t(bytes);
    return m;
}

// A written block is readable again: the drive reallocates it.
bool Drive::Impl::WriteFromInitiator(uint64_t lba, uint64_t count, const uint8_t* in) {
    if (!Write(lba, count, in)) return false;
    ClearBad(lba, count);
    return true;
}

}  // namespace sim
