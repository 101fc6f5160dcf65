// The drive's medium: its blocks in a sparse image file or in memory holding
// only the blocks written, and the unreadable blocks injected into it.

#include "sim/drive_impl.h"

#include "sim/setup.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>

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

// The drive images this process holds locked, by file.  The lock (an
// exclusive flock on a descriptor of its own) is the process's: a second
// drive on the same file within it (a test's enclosure made again before
// the old one goes) shares it, and it lasts until the last of them closes.
struct ImageLock {
    int fd;
    unsigned holders;
    const void* writer;   // the holder that wrote it last
};
std::map<std::pair<dev_t, ino_t>, ImageLock>& ImageLocks() {
    static std::map<std::pair<dev_t, ino_t>, ImageLock> locks;
    return locks;
}

// The directory the file really lies in, links followed.
std::string HoldingDirectory(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    std::string file = real != nullptr ? real : path;
    std::free(real);
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
}

// Images take at most this much of the address space, far below where the
// boards reserve their memory windows, however many drives there are.
constexpr uint64_t kMappedLimit = 8ull << 40;
std::atomic<uint64_t> s_mappedBytes{0};

// A mapped image cut short under the program (by another program) raises
// SIGBUS at the bytes gone: the copy that touched them is abandoned, and
// the transfer goes through the file, which says why it fails.
thread_local sigjmp_buf* t_copyFault = nullptr;
struct sigaction s_priorBusAction {};

void OnBusError(int signal, siginfo_t* info, void* context) {
    if (sigjmp_buf* resume = t_copyFault) siglongjmp(*resume, 1);
    // Not a copy's: what would have happened without this handler.
    if (s_priorBusAction.sa_flags & SA_SIGINFO) return s_priorBusAction.sa_sigaction(signal, info, context);
    if (s_priorBusAction.sa_handler != SIG_DFL && s_priorBusAction.sa_handler != SIG_IGN) {
        return s_priorBusAction.sa_handler(signal);
    }
    std::signal(SIGBUS, SIG_DFL);   // the access runs again and ends the program
}

bool GuardMappedCopies() {
    static const bool guarded = [] {
        struct sigaction action {};
        action.sa_sigaction = OnBusError;
        // Left by a jump, the handler must not leave the signal blocked.
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        return sigaction(SIGBUS, &action, &s_priorBusAction) == 0;
    }();
    return guarded;
}

// False where the mapped image no longer holds the bytes.
bool MappedCopy(void* to, const void* from, size_t bytes) {
    sigjmp_buf resume;
    if (sigsetjmp(resume, 0) != 0) {
        t_copyFault = nullptr;
        return false;
    }
    t_copyFault = &resume;
    std::memcpy(to, from, bytes);
    t_copyFault = nullptr;
    return true;
}

}  // namespace

// A new image is made at the drive's size.  An image that exists is the
// drive's medium as it was left: never cut, never extended.  A larger one
// (a drive made smaller) is used as it is; a shorter one would read back
// zeros where data was, so the run is refused.  The drive's identity block,
// when it has one, follows its blocks.
void Drive::Impl::OpenImage() {
    const std::string& path = cfg.imagePath;
    if (Bytes() > uint64_t(std::numeric_limits<off_t>::max())) FailSetup(path, "drive size too large");
    // Beyond a file size limit every write fails, the configuration copy
    // near the drive's end among them: the drive could keep nothing there.
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && uint64_t(limit.rlim_cur) < Bytes()) {
        FailSetup(path, "the drive's " + std::to_string(Bytes()) + " bytes pass this program's file size limit (" +
                            std::to_string(uint64_t(limit.rlim_cur)) + " bytes, ulimit -f)");
    }
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
    LockImage(st.st_dev, st.st_ino);
    if (!AllocateKeptBlocks()) {
        FailSetup(path, "cannot allocate the blocks of the controller's configuration copy: " +
                            std::string(std::strerror(errno)) + "; make room on the file system or choose another --data-dir");
    }
    const std::vector<uint8_t>& id = cfg.identityBlock;
    errno = 0;
    if (!id.empty() && pwrite(fd, id.data(), id.size(), off_t(Bytes())) != ssize_t(id.size())) {
        const std::string why = errno != 0 ? std::strerror(errno) : "short write";
        if (made) unlink(path.c_str());
        FailSetup(path, "cannot keep the drive's identity past its blocks: " + why);
    }
    MapImage();
}

// Only on a RAM file system: there a page once stored is written over in
// place and never read back from a disk, so a copy through the mapping can
// neither want room nor meet an I/O error.  Where it cannot be mapped, the
// file's own calls serve.
void Drive::Impl::MapImage() {
    struct statfs fs {};
    if (sizeof(void*) < 8 || fstatfs(fd, &fs) != 0 || fs.f_type != TMPFS_MAGIC || Bytes() == 0) return;
    if (s_mappedBytes.fetch_add(Bytes()) + Bytes() > kMappedLimit || !GuardMappedCopies()) {
        s_mappedBytes.fetch_sub(Bytes());
        return;
    }
    void* p = mmap(nullptr, size_t(Bytes()), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        s_mappedBytes.fetch_sub(Bytes());
        return;
    }
    mapped = static_cast<uint8_t*>(p);
}

void Drive::Impl::UnmapImage() {
    if (mapped == nullptr) return;
    munmap(mapped, size_t(Bytes()));
    s_mappedBytes.fetch_sub(Bytes());
    mapped = nullptr;
}

// The configuration copy has its room on the disk whatever else fills the
// file system: the controller records there what it could not keep (the
// members it failed, the blocks it lost), and a copy it cannot write would
// let the next start find the old configuration over newer data.
bool Drive::Impl::AllocateKeptBlocks() {
    if (fd < 0 || keptEnd == keptBegin) return true;
    const uint64_t bs = cfg.blockSize;
    const int error = posix_fallocate(fd, off_t(keptBegin * bs), off_t((keptEnd - keptBegin) * bs));
    errno = error;
    return error == 0;
}

// One program per drive image: two programs whose data directories share
// images (a linked drives folder, images linked into another directory)
// would each write over the other's data.
void Drive::Impl::LockImage(dev_t device, ino_t inode) {
    imageFile = {device, inode};
    auto& locks = ImageLocks();
    if (auto it = locks.find(imageFile); it != locks.end()) {
        ++it->second.holders;
        imageLocked = true;
        imageWriter = &it->second.writer;
        return;
    }
    const std::string& path = cfg.imagePath;
    const int lockFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (lockFd < 0) FailSetup(path, std::strerror(errno));
    if (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(lockFd);
        if (error != EWOULDBLOCK) FailSetup(path, std::strerror(error));
        // A hard link leads nowhere: the other program runs on the image by
        // a name of its own, which no path of this one shows.
        struct stat st {};
        if (fstat(fd, &st) == 0 && st.st_nlink > 1) {
            FailSetup(path, "another controller program runs on this drive image: it is hard-linked (" +
                                std::to_string(st.st_nlink) + " names), and the other program's data directory holds "
                                "another of its names");
        }
        FailSetup(path, "another controller program runs on this drive image, which lies in " + HoldingDirectory(path));
    }
    imageWriter = &locks.emplace(imageFile, ImageLock{lockFd, 1, nullptr}).first->second.writer;
    imageLocked = true;
}

void Drive::Impl::UnlockImage() {
    if (!imageLocked) return;
    imageLocked = false;
    if (*imageWriter == this) *imageWriter = nullptr;
    imageWriter = nullptr;
    auto& locks = ImageLocks();
    auto it = locks.find(imageFile);
    if (it == locks.end() || --it->second.holders != 0) return;
    close(it->second.fd);
    locks.erase(it);
}

std::string Drive::Impl::Name() const { return cfg.imagePath.empty() ? "drive " + cfg.serial : cfg.imagePath; }

// Room runs out for every drive on the file system at once, and the
// controller sends a refused write again every few seconds: one line says
// the drive's writes wait, and one that they go on.
void Drive::Impl::NoteNoRoom(uint64_t lba, uint64_t count, int error) {
    refusedLba = lba;
    refusedCount = count;
    if (outOfRoom) return;
    outOfRoom = true;
    std::fprintf(stderr,
                 "controller: %s: the file system is full (%s): the drive holds off the writes that need room, "
                 "and the controller keeps them, until room is made\n",
                 Name().c_str(), std::strerror(error));
}

void Drive::Impl::NoteStored(uint64_t lba, uint64_t count) {
    if (!outOfRoom || lba >= refusedLba + refusedCount || refusedLba >= lba + count) return;
    outOfRoom = false;
    std::fprintf(stderr, "controller: %s: room again: the drive takes its writes\n", Name().c_str());
}

void Drive::Impl::ReportFailure(const char* what, uint64_t lba, uint64_t count, int error) const {
    // A failing disk may fail every transfer: the first few tell why.
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

namespace {

// What the file system answers when it has no room for new blocks: full, a
// quota used up, or the file size limit (the program ignores its signal).
bool IsNoRoom(int error) { return error == ENOSPC || error == EDQUOT || error == EFBIG; }

}  // namespace

bool Drive::Impl::Read(uint64_t lba, uint64_t count, uint8_t* out) const {
    const uint32_t bs = cfg.blockSize;
    if (fd >= 0) {
        if (mapped != nullptr && AllStored(lba, count) && MappedCopy(out, mapped + lba * bs, size_t(count * bs))) {
            return true;
        }
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

// A write the file system takes only in part leaves the blocks it took
// written: the drive refused the command, and it is sent again whole.
Drive::Impl::Stored Drive::Impl::PwriteAll(const uint8_t* in, uint64_t bytes, uint64_t offset) {
    uint64_t done = 0;
    while (done < bytes) {
        ssize_t n = pwrite(fd, in + done, size_t(bytes - done), off_t(offset + done));
        if (n < 0 && errno == EINTR) continue;
        // No progress and no error: the file system took nothing more.
        const int error = n < 0 ? errno : ENOSPC;
        if (n <= 0 && IsNoRoom(error)) {
            NoteNoRoom(offset / cfg.blockSize, (bytes + cfg.blockSize - 1) / cfg.blockSize, error);
            return Stored::NoRoom;
        }
        if (n <= 0) {
            ReportFailure("write", offset / cfg.blockSize, bytes / cfg.blockSize, error);
            return Stored::Failed;
        }
        done += uint64_t(n);
    }
    return Stored::Written;
}

// The bytes of the blocks that hold nothing on the medium yet: what writing
// them takes of the file system's room (blocks written before are written
// over in place).
uint64_t Drive::Impl::NewBytes(uint64_t lba, uint64_t count) const {
    const uint64_t bs = cfg.blockSize;
    // The kept blocks have their room already.
    if (lba < keptEnd && keptBegin < lba + count) {
        const uint64_t before = keptBegin > lba ? NewBytes(lba, keptBegin - lba) : 0;
        const uint64_t after = lba + count > keptEnd ? NewBytes(keptEnd, lba + count - keptEnd) : 0;
        return before + after;
    }
    const uint64_t begin = lba * bs, end = begin + count * bs;
    uint64_t fresh = 0;
    if (fd < 0) {
        const uint64_t chunkBytes = kChunkBlocks * bs;
        for (uint64_t at = begin; at < end;) {
            const uint64_t next = std::min(end, (at / chunkBytes + 1) * chunkBytes);
            if (chunks.find(at / chunkBytes) == chunks.end()) fresh += next - at;
            at = next;
        }
        return fresh;
    }
    for (uint64_t at = begin; at < end;) {
        const off_t hole = lseek(fd, off_t(at), SEEK_HOLE);
        if (hole < 0 || uint64_t(hole) >= end) break;
        const off_t data = lseek(fd, hole, SEEK_DATA);
        const uint64_t holeEnd = data < 0 ? end : std::min(end, uint64_t(data));
        fresh += holeEnd - uint64_t(hole);
        at = holeEnd;
    }
    return fresh;
}

// A test's room is counted in the bytes of blocks that hold nothing yet.
Drive::Impl::Stored Drive::Impl::Write(uint64_t lba, uint64_t count, const uint8_t* in) {
    if (writeRoom != UINT64_MAX) {
        const uint64_t needed = NewBytes(lba, count);
        if (needed > writeRoom) {
            if (refusal == Drive::Refusal::MediumError) {
                ReportFailure("write", lba, count, ENOSPC);
                return Stored::Failed;
            }
            NoteNoRoom(lba, count, ENOSPC);
            return Stored::NoRoom;
        }
        writeRoom -= needed;
    }
    const Stored s = StoreBlocks(lba, count, in);
    if (s == Stored::Written) NoteStored(lba, count);
    return s;
}

// All-zero blocks that land on holes are not written, so the image and
// the memory stay as sparse as the data.
Drive::Impl::Stored Drive::Impl::StoreBlocks(uint64_t lba, uint64_t count, const uint8_t* in) {
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
        return Stored::Written;
    }
    BeImageWriter();
    uint64_t runStart = 0, runBlocks = 0;
    const auto writeRun = [&] {
        const uint64_t first = lba + runStart;
        const uint8_t* from = in + runStart * bs;
        const Stored s = mapped != nullptr && AllStored(first, runBlocks) &&
                                 MappedCopy(mapped + first * bs, from, size_t(runBlocks * bs))
                             ? Stored::Written
                             : PwriteAll(from, runBlocks * bs, first * bs);
        if (s == Stored::Written) {
            NoteBlocksStored(first, runBlocks);
        } else {
            known.clear();   // part of a refused run may have reached the image
        }
        runBlocks = 0;
        return s;
    };
    for (uint64_t i = 0; i < count; ++i) {
        if (AllZero(in + i * bs, bs) && ZeroBlockOnHole(lba + i)) {
            if (runBlocks) {
                if (const Stored s = writeRun(); s != Stored::Written) return s;
            }
            continue;
        }
        if (!runBlocks) runStart = i;
        ++runBlocks;
    }
    return runBlocks ? writeRun() : Stored::Written;
}

void Drive::Impl::BeImageWriter() {
    if (imageWriter == nullptr || *imageWriter == this) return;
    known.clear();
    *imageWriter = this;
}

// The place of every block of a stretch, asked of the file system once: a
// block partly in data counts as stored, and so does the rest of the
// stretch where a look-up fails.
const Drive::Impl::KnownBlocks& Drive::Impl::Learn(uint64_t stretch) const {
    auto [it, added] = known.try_emplace(stretch);
    KnownBlocks& k = it->second;
    if (!added) return k;
    const uint64_t bs = cfg.blockSize, first = stretch * kKnownBlocks;
    const uint64_t end = std::min(first + kKnownBlocks, cfg.blocks) * bs;
    for (uint64_t at = first * bs; at < end;) {
        const off_t data = lseek(fd, off_t(at), SEEK_DATA);
        // ENXIO: no data from there to the end of the file.
        const uint64_t dataAt = data >= 0 ? std::min(end, uint64_t(data)) : errno == ENXIO ? end : at;
        for (uint64_t b = (at + bs - 1) / bs; (b + 1) * bs <= dataAt; ++b) k.hole[b - first] = true;
        if (dataAt >= end) break;
        const off_t hole = lseek(fd, off_t(dataAt), SEEK_HOLE);
        const uint64_t holeAt = hole >= 0 ? std::min(end, std::max(uint64_t(hole), dataAt + 1)) : end;
        for (uint64_t b = dataAt / bs; b * bs < holeAt; ++b) k.stored[b - first] = true;
        at = holeAt;
    }
    return k;
}

bool Drive::Impl::ZeroBlockOnHole(uint64_t block) const { return Learn(block / kKnownBlocks).hole[block % kKnownBlocks]; }

bool Drive::Impl::AllStored(uint64_t block, uint64_t count) const {
    for (uint64_t b = block, end = block + count; b < end;) {
        const KnownBlocks& k = Learn(b / kKnownBlocks);
        for (const uint64_t stretchEnd = std::min(end, (b / kKnownBlocks + 1) * kKnownBlocks); b < stretchEnd; ++b) {
            if (!k.stored[b % kKnownBlocks]) return false;
        }
    }
    return true;
}

void Drive::Impl::NoteBlocksStored(uint64_t block, uint64_t count) {
    if (known.empty()) return;
    for (uint64_t b = block; b < block + count;) {
        const uint64_t stretchEnd = (b / kKnownBlocks + 1) * kKnownBlocks;
        const uint64_t end = std::min(block + count, stretchEnd);
        if (auto it = known.find(b / kKnownBlocks); it != known.end()) {
            for (uint64_t x = b; x < end; ++x) {
                it->second.hole[x % kKnownBlocks] = false;
                it->second.stored[x % kKnownBlocks] = true;
            }
        }
        b = end;
    }
}

// The image keeps its size throughout: a hole punched over all of it, or
// where the file system cannot punch holes, its data written over with zeros.
bool Drive::Impl::Erase() {
    chunks.clear();
    bad.clear();
    BeImageWriter();
    known.clear();
    struct stat st;
    if (fd < 0) return true;
    if (fstat(fd, &st) != 0) return false;
    // The blocks only: what the image keeps past them is the drive's own.
    const off_t end = std::min<off_t>(st.st_size, off_t(Bytes()));
    if (fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, end) == 0) return AllocateKeptBlocks();
    const std::vector<uint8_t> zeros(size_t(1) << 20, 0);
    for (off_t at = lseek(fd, 0, SEEK_DATA); at >= 0 && at < end; at = lseek(fd, at, SEEK_DATA)) {
        const off_t hole = std::min(lseek(fd, at, SEEK_HOLE), end);
        for (; at < hole; at += off_t(zeros.size())) {
            if (PwriteAll(zeros.data(), std::min<uint64_t>(zeros.size(), uint64_t(hole - at)), uint64_t(at)) !=
                Stored::Written) {
                return false;
            }
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
Drive::Impl::Stored Drive::Impl::WriteFromInitiator(uint64_t lba, uint64_t count, const uint8_t* in) {
    const Stored s = Write(lba, count, in);
    if (s == Stored::Written) ClearBad(lba, count);
    return s;
}

}  // namespace sim
