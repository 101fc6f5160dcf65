// Images beyond 2 GiB on the 32-bit build.
#define _FILE_OFFSET_BITS 64

#include "sim/drive.h"

#include "sim/setup.h"

#include "sim/clock.h"

#include "hw/scsi.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <unordered_map>

namespace sim {

namespace {

// Service time: a fixed cost per command and a cost per 512 bytes moved.
constexpr uint64_t kCommandNs = 50'000;
constexpr uint64_t kPer512Ns = 5'000;
// Blocks per allocation of the in-memory medium.
constexpr uint64_t kChunkBlocks = 8;
constexpr uint64_t kNoInfo = UINT64_MAX;
constexpr uint8_t kGood = fw::SCSI_STATUS_GOOD;
constexpr uint8_t kCheckCondition = fw::SCSI_STATUS_CHECK_CONDITION;
constexpr uint8_t kAtaGood = 0x50;
constexpr uint8_t kAtaFailed = 0x51;
constexpr uint8_t kAtaAbort = 0x04;
constexpr uint8_t kAtaIdNotFound = 0x10;
constexpr uint8_t kAtaUncorrectable = 0x40;
constexpr uint32_t kSmartSignature = 0xC24F00;  // LBA high 0xC2, mid 0x4F

struct Sense {
    uint8_t key, asc, ascq;
};
constexpr Sense kNoSense{fw::SENSE_NO_SENSE, fw::ASC_NO_ADDITIONAL_SENSE, 0x00};
constexpr Sense kNotReadyCauseUnknown{fw::SENSE_NOT_READY, fw::ASC_NOT_READY, 0x00};
constexpr Sense kBecomingReady{fw::SENSE_NOT_READY, fw::ASC_NOT_READY, 0x01};
constexpr Sense kStartRequired{fw::SENSE_NOT_READY, fw::ASC_NOT_READY, 0x02};
constexpr Sense kPowerOnReset{fw::SENSE_UNIT_ATTENTION, fw::ASC_POWER_ON_RESET, 0x00};
constexpr Sense kUnrecoveredRead{fw::SENSE_MEDIUM_ERROR, fw::ASC_UNRECOVERED_READ_ERROR, 0x00};
constexpr Sense kInternalFailure{fw::SENSE_HARDWARE_ERROR, fw::ASC_INTERNAL_TARGET_FAILURE, 0x00};
constexpr Sense kParameterListLength{fw::SENSE_ILLEGAL_REQUEST, fw::ASC_PARAMETER_LIST_LENGTH, 0x00};
constexpr Sense kInvalidOpcode{fw::SENSE_ILLEGAL_REQUEST, fw::ASC_INVALID_OPCODE, 0x00};
constexpr Sense kLbaOutOfRange{fw::SENSE_ILLEGAL_REQUEST, fw::ASC_LBA_OUT_OF_RANGE, 0x00};
constexpr Sense kInvalidFieldInCdb{fw::SENSE_ILLEGAL_REQUEST, fw::ASC_INVALID_FIELD_IN_CDB, 0x00};
constexpr Sense kInvalidFieldInList{fw::SENSE_ILLEGAL_REQUEST, fw::ASC_INVALID_FIELD_IN_PARAMETERS, 0x00};
constexpr Sense kAborted{fw::SENSE_ABORTED_COMMAND, fw::ASC_NO_ADDITIONAL_SENSE, 0x00};
constexpr Sense kDataPhase{fw::SENSE_ABORTED_COMMAND, fw::ASC_DATA_PHASE_ERROR, 0x00};
constexpr Sense kMiscompare{fw::SENSE_MISCOMPARE, fw::ASC_MISCOMPARE_DURING_VERIFY, 0x00};

uint64_t GetBe(const uint8_t* p, unsigned bytes) {
    uint64_t v = 0;
    for (unsigned i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
}
void PutBe(uint8_t* p, unsigned bytes, uint64_t v) {
    for (unsigned i = bytes; i-- > 0; v >>= 8) p[i] = uint8_t(v);
}
void PutPadded(uint8_t* p, size_t width, const std::string& text) {
    std::memset(p, ' ', width);
    std::memcpy(p, text.data(), std::min(width, text.size()));
}
bool AllZero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i]) return false;
    return true;
}

// Mode pages: saveable, each with its default and changeable bytes.
constexpr size_t kMaxPageBytes = 20;
struct ModePage {
    uint8_t code;
    uint8_t bytes;  // with the two-byte page header
    std::array<uint8_t, kMaxPageBytes> defaults;
    std::array<uint8_t, kMaxPageBytes> changeable;
};
constexpr uint8_t kCachingPage = 0x08;
constexpr uint8_t kWce = 0x04;
constexpr ModePage kModePages[] = {
    // read-write error recovery: recovery bits, retry counts, time limit
    {0x01, 12, {0x01, 0x0A, 0xC0, 0x14, 0, 0, 0, 0, 0x14, 0, 0xFF, 0xFF},
     {0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0xFF, 0, 0xFF, 0xFF}},
    // verify error recovery
    {0x07, 12, {0x07, 0x0A, 0x00, 0x14, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF},
     {0, 0, 0x0F, 0xFF, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}},
    // caching: WCE and RCD, DRA; byte 2 takes the configured write cache
    {0x08, 20, {0x08, 0x12, 0x00, 0, 0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x10, 0, 0, 0, 0, 0, 0},
     {0, 0, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0}},
    // control: GLTSD, queue algorithm modifier
    {0x0A, 12, {0x0A, 0x0A, 0x02, 0x10, 0, 0, 0, 0, 0, 0, 0, 0},
     {0, 0, 0x02, 0xF0, 0, 0, 0, 0, 0, 0, 0, 0}},
    // informational exceptions control
    {0x1C, 12, {0x1C, 0x0A, 0x08, 0x06, 0, 0, 0, 0, 0, 0, 0, 0},
     {0, 0, 0x99, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
};
constexpr size_t kPageCount = std::size(kModePages);
using PageValues = std::array<std::array<uint8_t, kMaxPageBytes>, kPageCount>;

int FindPage(uint8_t code) {
    for (size_t i = 0; i < kPageCount; ++i)
        if (kModePages[i].code == code) return int(i);
    return -1;
}

// How a CDB's bytes are laid out for the commands that move blocks.
struct BlockCdb {
    uint64_t lba;
    uint64_t count;
};
BlockCdb DecodeBlockCdb(const uint8_t* c) {
    if (c[0] >= 0x80) return {GetBe(c + 2, 8), GetBe(c + 10, 4)};
    return {GetBe(c + 2, 4), GetBe(c + 7, 2)};
}

unsigned CdbLength(uint8_t opcode) {
    switch (opcode >> 5) {
    case 0: return 6;
    case 1:
    case 2: return 10;
    case 4: return 16;
    case 5: return 12;
    default: return 16;
    }
}

}  // namespace

struct Drive::Impl {
    const DriveConfig& cfg;
    int fd = -1;
    std::unordered_map<uint64_t, std::unique_ptr<uint8_t[]>> chunks;
    std::map<uint64_t, uint64_t> bad;  // unreadable ranges: start -> end
    bool notReady = false;
    bool stopped = false;
    bool unitAttention = false;
    const Clock* clock = nullptr;
    bool clockSeen = false;   // powered on under a clock once
    uint64_t readyAtNs = 0;   // spinning up until the clock reaches it
    uint64_t spinLeftNs = 0;  // what is left of it while no clock is attached
    std::array<uint64_t, 256> commands{};
    std::array<uint32_t, 256> failures{};  // injected failures left per operation code
    bool cutPower = false;                   // the next write tears after cutAfterBlocks
    uint32_t cutAfterBlocks = 0;
    uint32_t becomingReady = 0;
    const Sense* admitted = nullptr;  // the state the current command found
    bool dead = false;
    uint64_t extraNs = 0;
    PageValues defaults{};
    PageValues changeable{};
    PageValues current{};
    PageValues saved{};

    explicit Impl(const DriveConfig& c) : cfg(c) {
        for (size_t i = 0; i < kPageCount; ++i) {
            defaults[i] = kModePages[i].defaults;
            changeable[i] = kModePages[i].changeable;
        }
        defaults[size_t(FindPage(kCachingPage))][2] = c.writeCacheEnabled ? kWce : 0;
        if (!c.writeCacheChangeable) changeable[size_t(FindPage(kCachingPage))][2] &= uint8_t(~kWce);
        current = saved = defaults;
        stopped = c.powerOnStopped;
        unitAttention = c.unitAttentionAtPowerOn;
        if (!c.imagePath.empty()) OpenImage();
    }
    ~Impl() {
        if (fd >= 0) close(fd);
    }

    uint64_t Bytes() const { return cfg.blocks * cfg.blockSize; }

    // A larger image (a drive made smaller) is used as it is, never cut.
    void OpenImage() {
        fd = open(cfg.imagePath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0) FailSetup(cfg.imagePath, std::strerror(errno));
        if (!S_ISREG(st.st_mode)) FailSetup(cfg.imagePath, "not a drive image file");
        if (uint64_t(st.st_size) < Bytes() &&
            (Bytes() > uint64_t(std::numeric_limits<off_t>::max()) || ftruncate(fd, off_t(Bytes())) != 0)) {
            FailSetup(cfg.imagePath, Bytes() > uint64_t(std::numeric_limits<off_t>::max()) ? "drive size too large"
                                                                                           : std::strerror(errno));
        }
    }

    // --- medium ---------------------------------------------------------
    bool Read(uint64_t lba, uint64_t count, uint8_t* out) const {
        const uint32_t bs = cfg.blockSize;
        if (fd >= 0) {
            uint64_t done = 0, total = count * bs;
            while (done < total) {
                ssize_t n = pread(fd, out + done, size_t(total - done), off_t(lba * bs + done));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return false;
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

    bool PwriteAll(const uint8_t* in, uint64_t bytes, uint64_t offset) {
        uint64_t done = 0;
        while (done < bytes) {
            ssize_t n = pwrite(fd, in + done, size_t(bytes - done), off_t(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += uint64_t(n);
        }
        return true;
    }

    // All-zero blocks that land on holes are not written, so the image and
    // the memory stay as sparse as the data.
    bool Write(uint64_t lba, uint64_t count, const uint8_t* in) {
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

    bool Erase() {
        chunks.clear();
        bad.clear();
        struct stat st;
        return fd < 0 || (fstat(fd, &st) == 0 && ftruncate(fd, 0) == 0 && ftruncate(fd, st.st_size) == 0);
    }

    // --- unreadable blocks ---------------------------------------------
    void MarkBad(uint64_t lba, uint64_t count) {
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
    void ClearBad(uint64_t lba, uint64_t count) {
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
    uint64_t FirstBad(uint64_t lba, uint64_t count) const {
        auto it = bad.upper_bound(lba);
        if (it != bad.begin() && std::prev(it)->second > lba) return lba;
        return it != bad.end() && it->first < lba + count ? it->first : kNoInfo;
    }

    // A read up to the first unreadable block, into the initiator's buffer
    // as far as it reaches.
    struct MediaRead {
        uint64_t good = 0;
        uint64_t firstBad = kNoInfo;
        uint32_t transferred = 0;
        bool ok = true;
    };
    MediaRead ReadToInitiator(uint64_t lba, uint64_t count, std::span<uint8_t> in) const {
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
    bool WriteFromInitiator(uint64_t lba, uint64_t count, const uint8_t* in) {
        if (!Write(lba, count, in)) return false;
        ClearBad(lba, count);
        return true;
    }

    bool InRange(uint64_t lba, uint64_t count) const {
        return lba < cfg.blocks && count <= cfg.blocks - lba;
    }

    const Sense* Readiness() const {
        if (notReady) return &kNotReadyCauseUnknown;
        if (stopped) return &kStartRequired;
        if (becomingReady || (clock && clock->Now() < readyAtNs)) return &kBecomingReady;
        return nullptr;
    }

    bool writeCache() const { return current[size_t(FindPage(kCachingPage))][2] & kWce; }
    void SetWriteCache(bool on) {
        uint8_t& b = current[size_t(FindPage(kCachingPage))][2];
        b = uint8_t(on ? b | kWce : b & ~kWce);
    }

    // --- SCSI -------------------------------------------------------------
    struct Command {
        std::array<uint8_t, 16> cdb{};
        std::span<const uint8_t> out;
        std::span<uint8_t> in;
        DriveResult& r;
        uint64_t bytesMoved = 0;  // to or from the medium (service time)
        uint64_t taken = 0;       // data-out bytes the command took
    };

    static void Fail(DriveResult& r, const Sense& s, uint64_t info = kNoInfo, int field = -1, bool inCdb = true) {
        r.status = kCheckCondition;
        r.sense.assign(fw::SENSE_FIXED_LENGTH, 0);
        r.sense[0] = fw::SENSE_RESPONSE_CURRENT;
        if (info <= 0xFFFFFFFFull) {
            r.sense[0] |= fw::SENSE_VALID_BIT;
            PutBe(&r.sense[3], 4, info);
        }
        r.sense[2] = s.key;
        r.sense[7] = fw::SENSE_ADDITIONAL_LENGTH;
        r.sense[12] = s.asc;
        r.sense[13] = s.ascq;
        if (field >= 0) {
            r.sense[15] = uint8_t(0x80 | (inCdb ? 0x40 : 0));
            PutBe(&r.sense[16], 2, uint64_t(field));
        }
    }
    static void FailCdb(Command& c, int field) { Fail(c.r, kInvalidFieldInCdb, kNoInfo, field); }

    // Data to the initiator: at most the allocation length and the buffer.
    static void Return(Command& c, const std::vector<uint8_t>& data, uint64_t allocation) {
        size_t n = size_t(std::min<uint64_t>({data.size(), allocation, c.in.size()}));
        if (n) std::memcpy(c.in.data(), data.data(), n);
        c.r.transferred = uint32_t(n);
    }
    // Data from the initiator: the whole parameter list or nothing.
    static bool Takes(Command& c, uint64_t bytes) {
        c.taken = std::max(c.taken, bytes);
        if (c.out.size() >= bytes) return true;
        Fail(c.r, kDataPhase);
        return false;
    }

    bool CheckBlocks(Command& c, uint64_t lba, uint64_t count) {
        if (count == 0 ? lba < cfg.blocks : InRange(lba, count)) return true;
        Fail(c.r, kLbaOutOfRange);
        return false;
    }

    void ReadOrVerify(Command& c, bool read) {
        const uint8_t* cdb = c.cdb.data();
        if (cdb[1] & 0xE0) return FailCdb(c, 1);
        uint8_t bytchk = read ? 0 : (cdb[1] >> 1) & 3;
        if (bytchk > 1) return FailCdb(c, 1);
        BlockCdb b = DecodeBlockCdb(cdb);
        if (!CheckBlocks(c, b.lba, b.count)) return;
        const uint32_t bs = cfg.blockSize;
        if (bytchk && !Takes(c, b.count * bs)) return;
        // A compare reads into its own buffer; a plain verify moves nothing.
        std::vector<uint8_t> compare(bytchk ? size_t(b.count * bs) : 0);
        MediaRead m = ReadToInitiator(b.lba, b.count, read ? c.in : std::span<uint8_t>(compare));
        if (!m.ok) return Fail(c.r, kInternalFailure);
        c.bytesMoved = m.good * bs;
        if (read) c.r.transferred = m.transferred;
        for (uint64_t i = 0; bytchk && i < m.good; ++i)
            if (std::memcmp(compare.data() + i * bs, c.out.data() + i * bs, bs) != 0)
                return Fail(c.r, kMiscompare, b.lba + i);
        if (m.firstBad != kNoInfo) Fail(c.r, kUnrecoveredRead, m.firstBad);
    }

    void WriteBlocks(Command& c) {
        const uint8_t* cdb = c.cdb.data();
        if (cdb[1] & 0xE0) return FailCdb(c, 1);
        BlockCdb b = DecodeBlockCdb(cdb);
        if (!CheckBlocks(c, b.lba, b.count) || !Takes(c, b.count * cfg.blockSize)) return;
        if (cutPower) {
            cutPower = false;
            c.r.powerCut = true;
            WriteFromInitiator(b.lba, std::min<uint64_t>(b.count, cutAfterBlocks), c.out.data());
            return;
        }
        if (!WriteFromInitiator(b.lba, b.count, c.out.data())) return Fail(c.r, kInternalFailure);
        c.bytesMoved = b.count * cfg.blockSize;
    }

    void SynchronizeCache(Command& c) {
        BlockCdb b = DecodeBlockCdb(c.cdb.data());
        CheckBlocks(c, b.lba, b.count);
    }

    void Inquiry(Command& c) {
        const uint8_t* cdb = c.cdb.data();
        uint64_t allocation = GetBe(cdb + 3, 2);
        if (cdb[1] & 0xFE) return FailCdb(c, 1);
        std::vector<uint8_t> d;
        if (!(cdb[1] & 1)) {
            if (cdb[2]) return FailCdb(c, 2);
            d.assign(64, 0);
            d[2] = 0x05;
            d[3] = 0x12;  // HiSup, response format 2
            d[4] = uint8_t(d.size() - 5);
            d[6] = cfg.sata ? 0 : 0x10;  // dual-ported SAS drive
            d[7] = 0x02;                // command queuing
            PutPadded(&d[8], 8, cfg.vendor);
            PutPadded(&d[16], 16, cfg.product);
            PutPadded(&d[32], 4, cfg.revision);
            PutPadded(&d[36], 20, cfg.serial);
            return Return(c, d, allocation);
        }
        switch (cdb[2]) {
        case fw::VPD_SUPPORTED_PAGES:
            d = {0x00, fw::VPD_SUPPORTED_PAGES, 0x00, 3, fw::VPD_SUPPORTED_PAGES, fw::VPD_UNIT_SERIAL,
                 fw::VPD_DEVICE_IDENTIFICATION};
            break;
        case fw::VPD_UNIT_SERIAL:
            d.assign(4 + 20, 0);
            d[1] = fw::VPD_UNIT_SERIAL;
            d[3] = 20;
            PutPadded(&d[4], 20, cfg.serial);
            break;
        case fw::VPD_DEVICE_IDENTIFICATION:
            // The logical unit's NAA name.
            d.assign(4 + 12, 0);
            d[1] = fw::VPD_DEVICE_IDENTIFICATION;
            d[3] = 12;
            d[4] = 0x01;  // binary
            d[5] = 0x03;  // logical unit, NAA
            d[7] = 8;
            PutBe(&d[8], 8, cfg.sasAddress);
            break;
        default:
            return FailCdb(c, 2);
        }
        Return(c, d, allocation);
    }

    void ReadCapacity(Command& c) {
        const uint8_t* cdb = c.cdb.data();
        uint64_t last = cfg.blocks ? cfg.blocks - 1 : 0;
        std::vector<uint8_t> d;
        if (cdb[0] == fw::SCSI_READ_CAPACITY10) {
            if (!(cdb[8] & 1) && GetBe(cdb + 2, 4)) return FailCdb(c, 2);
            d.assign(8, 0);
            PutBe(&d[0], 4, std::min<uint64_t>(last, 0xFFFFFFFF));
            PutBe(&d[4], 4, cfg.blockSize);
            return Return(c, d, 8);
        }
        if ((cdb[1] & 0x1F) != 0x10) return FailCdb(c, 1);
        d.assign(32, 0);
        PutBe(&d[0], 8, last);
        PutBe(&d[8], 4, cfg.blockSize);
        Return(c, d, GetBe(cdb + 10, 4));
    }

    void RequestSense(Command& c) {
        const Sense* s = admitted;
        DriveResult tmp;
        Fail(tmp, s ? *s : kNoSense);
        Return(c, tmp.sense, c.cdb[4]);
    }

    void TestUnitReady(Command&) {}

    void StartStopUnit(Command& c) {
        const uint8_t* cdb = c.cdb.data();
        if (cdb[4] & 0x02) return FailCdb(c, 4);  // nothing to eject
        if (cdb[4] >> 4) return;                  // power conditions: nothing to model
        const bool start = cdb[4] & 1;
        if (start && stopped && clock) readyAtNs = clock->Now() + cfg.spinUpNs;
        stopped = !start;
    }

    // --- mode pages -------------------------------------------------------
    void ModeSense(Command& c) {
        const uint8_t* cdb = c.cdb.data();
        bool ten = cdb[0] == fw::SCSI_MODE_SENSE10;
        bool dbd = cdb[1] & 0x08;
        bool longLba = ten && (cdb[1] & 0x10);
        uint8_t control = cdb[2] >> 6, code = cdb[2] & 0x3F;
        if (cdb[3] && !(code == 0x3F && cdb[3] == 0xFF)) return FailCdb(c, 3);
        int only = code == 0x3F ? -1 : FindPage(code);
        if (code != 0x3F && only < 0) return FailCdb(c, 2);
        const PageValues& values = control == 3 ? saved : control == 2 ? defaults : current;
        size_t header = ten ? 8 : 4;
        size_t descriptor = dbd ? 0 : longLba ? 16 : 8;
        std::vector<uint8_t> d(header + descriptor, 0);
        d[ten ? 3 : 2] = 0x10;  // DPOFUA
        if (ten) {
            d[4] = longLba ? 1 : 0;
            PutBe(&d[6], 2, descriptor);
        } else {
            d[3] = uint8_t(descriptor);
        }
        uint8_t* bd = d.data() + header;
        if (control == 1) {
            // Nothing in the block descriptor can be changed.
        } else if (descriptor == 8) {
            PutBe(bd, 4, std::min<uint64_t>(cfg.blocks, 0xFFFFFFFF));
            PutBe(bd + 5, 3, cfg.blockSize);
        } else if (descriptor == 16) {
            PutBe(bd, 8, cfg.blocks);
            PutBe(bd + 12, 4, cfg.blockSize);
        }
        for (size_t i = 0; i < kPageCount; ++i) {
            if (only >= 0 && size_t(only) != i) continue;
            const ModePage& p = kModePages[i];
            const uint8_t* src = control == 1 ? changeable[i].data() : values[i].data();
            size_t at = d.size();
            d.insert(d.end(), src, src + p.bytes);
            d[at] = uint8_t(0x80 | p.code);  // saveable
            d[at + 1] = uint8_t(p.bytes - 2);
        }
        if (ten)
            PutBe(&d[0], 2, d.size() - 2);
        else
            d[0] = uint8_t(d.size() - 1);
        Return(c, d, ten ? GetBe(cdb + 7, 2) : cdb[4]);
    }

    void ModeSelect(Command& c) {
        const uint8_t* cdb = c.cdb.data();
        bool ten = cdb[0] == 0x55;
        uint64_t length = ten ? GetBe(cdb + 7, 2) : cdb[4];
        if (cdb[1] & 0x0E) return FailCdb(c, 1);
        if (!Takes(c, length)) return;
        const uint8_t* list = c.out.data();
        size_t header = ten ? 8 : 4;
        if (length == 0) return;
        if (length < header) return Fail(c.r, kParameterListLength);
        size_t descriptor = ten ? size_t(GetBe(list + 6, 2)) : list[3];
        bool longLba = ten && (list[4] & 1);
        if (descriptor != 0 && descriptor != (longLba ? 16u : 8u))
            return Fail(c.r, kInvalidFieldInList, kNoInfo, int(ten ? 6 : 3), false);
        if (header + descriptor > length) return Fail(c.r, kParameterListLength);
        if (descriptor) {
            // The block count is taken as is; only the block size is fixed.
            size_t at = header + (longLba ? 12 : 5);
            if (GetBe(list + at, longLba ? 4 : 3) != cfg.blockSize)
                return Fail(c.r, kInvalidFieldInList, kNoInfo, int(at), false);
        }
        // Check every page before changing any.
        PageValues next = current;
        for (size_t at = header + descriptor; at < length;) {
            if (at + 2 > length) return Fail(c.r, kParameterListLength);
            if (list[at] & 0x40) return Fail(c.r, kInvalidFieldInList, kNoInfo, int(at), false);
            int i = FindPage(list[at] & 0x3F);
            if (i < 0) return Fail(c.r, kInvalidFieldInList, kNoInfo, int(at), false);
            const ModePage& p = kModePages[size_t(i)];
            if (list[at + 1] != p.bytes - 2) return Fail(c.r, kInvalidFieldInList, kNoInfo, int(at + 1), false);
            if (at + p.bytes > length) return Fail(c.r, kParameterListLength);
            for (size_t b = 2; b < p.bytes; ++b) {
                if ((list[at + b] ^ current[size_t(i)][b]) & ~changeable[size_t(i)][b])
                    return Fail(c.r, kInvalidFieldInList, kNoInfo, int(at + b), false);
                next[size_t(i)][b] = list[at + b];
            }
            at += p.bytes;
        }
        current = next;
        if (cdb[1] & 1) saved = current;
    }

    // --- logs ---------------------------------------------------------------
    void LogSense(Command& c) {
        const uint8_t* cdb = c.cdb.data();
        if (cdb[1] & 0x03) return FailCdb(c, 1);  // no parameter change or save
        if (cdb[3]) return FailCdb(c, 3);
        if (GetBe(cdb + 5, 2)) return FailCdb(c, 5);
        uint8_t page = cdb[2] & 0x3F;
        std::vector<uint8_t> d(4, 0);
        d[0] = page;
        switch (page) {
        case 0x00:
            d.insert(d.end(), {0x00, 0x0D});
            if (!cfg.sata) d.push_back(0x18);
            break;
        case 0x0D:
            // Temperature and reference temperature, degrees Celsius.
            d.insert(d.end(), {0x00, 0x00, 0x03, 0x02, 0x00, 35, 0x00, 0x01, 0x03, 0x02, 0x00, 60});
            break;
        case 0x18:
            if (cfg.sata) return FailCdb(c, 2);
            // Both SAS ports, one phy each; the error counters stay zero.
            for (uint8_t port = 1; port <= 2; ++port) {
                std::vector<uint8_t> p(56, 0);
                p[1] = port;
                p[2] = 0x03;
                p[3] = 52;
                p[4] = 0x06;  // SAS
                p[7] = 1;     // phys
                p[9] = uint8_t(port - 1);
                p[11] = 44;
                if (port == 1) PutBe(&p[16], 8, cfg.sasAddress);
                d.insert(d.end(), p.begin(), p.end());
            }
            break;
        default:
            return FailCdb(c, 2);
        }
        PutBe(&d[2], 2, d.size() - 4);
        Return(c, d, GetBe(cdb + 7, 2));
    }

    void WriteBuffer(Command& c) {
        const uint8_t* cdb = c.cdb.data();
        uint8_t mode = cdb[1] & 0x1F;
        uint64_t offset = GetBe(cdb + 3, 3), length = GetBe(cdb + 6, 3);
        // Data (buffer 0) and the microcode download modes.
        bool withOffset = mode == 0x02 || mode == 0x06 || mode == 0x07;
        if (mode != 0x02 && (mode < 0x04 || mode > 0x07)) return FailCdb(c, 1);
        if (mode == 0x02 && cdb[2]) return FailCdb(c, 2);
        if (!withOffset && offset) return FailCdb(c, 3);
        if (Takes(c, length)) c.bytesMoved = length;
    }

    void FormatUnit(Command& c) {
        const uint8_t* cdb = c.cdb.data();
        if (cdb[1] & 0xC0) return FailCdb(c, 1);  // no protection information
        if (cdb[1] & 0x10) {
            // Only the short header with an empty defect list.
            if (!Takes(c, 4)) return;
            if (GetBe(c.out.data() + 2, 2)) return Fail(c.r, kInvalidFieldInList, kNoInfo, 2, false);
        }
        if (!Erase()) Fail(c.r, kInternalFailure);
    }

    void ReassignBlocks(Command& c) {
        bool longLba = c.cdb[1] & 0x02, longList = c.cdb[1] & 0x01;
        if (!Takes(c, 4)) return;
        uint64_t listBytes = longList ? GetBe(c.out.data(), 4) : GetBe(c.out.data() + 2, 2);
        unsigned entry = longLba ? 8 : 4;
        if (listBytes % entry) return Fail(c.r, kParameterListLength);
        if (!Takes(c, 4 + listBytes)) return;
        for (uint64_t at = 4; at < 4 + listBytes; at += entry)
            if (GetBe(c.out.data() + at, entry) >= cfg.blocks) return Fail(c.r, kLbaOutOfRange);
        // The blocks move to spares; what they held stays readable.
        for (uint64_t at = 4; at < 4 + listBytes; at += entry) ClearBad(GetBe(c.out.data() + at, entry), 1);
    }

    // The long block carries no separate ECC here: READ LONG gives the block
    // as stored, however damaged, and a WRITE LONG always leaves a block that
    // fails its ECC check on a later read.
    void ReadLong(Command& c) {
        uint64_t lba = GetBe(c.cdb.data() + 2, 4);
        if (c.cdb[1] & 0x04) return FailCdb(c, 1);
        if (GetBe(c.cdb.data() + 7, 2) != cfg.blockSize) return FailCdb(c, 7);
        if (!CheckBlocks(c, lba, 1)) return;
        std::vector<uint8_t> block(cfg.blockSize);
        if (!Read(lba, 1, block.data())) return Fail(c.r, kInternalFailure);
        Return(c, block, block.size());
    }

    void WriteLong(Command& c) {
        uint64_t lba = GetBe(c.cdb.data() + 2, 4), length = GetBe(c.cdb.data() + 7, 2);
        bool uncorrectableOnly = c.cdb[1] & 0x40;
        if (c.cdb[1] & 0x20) return FailCdb(c, 1);
        if (length != (uncorrectableOnly ? 0 : cfg.blockSize)) return FailCdb(c, 7);
        if (!CheckBlocks(c, lba, 1) || !Takes(c, length)) return;
        if (length && !Write(lba, 1, c.out.data())) return Fail(c.r, kInternalFailure);
        MarkBad(lba, 1);
    }

    struct ScsiOp {
        uint8_t opcode;
        bool needsMedium;  // refused while the drive is not ready
        void (Impl::*run)(Command&);
    };
    void Read(Command& c) { ReadOrVerify(c, true); }
    void Verify(Command& c) { ReadOrVerify(c, false); }
    static constexpr ScsiOp kScsiOps[] = {
        {fw::SCSI_TEST_UNIT_READY, true, &Impl::TestUnitReady},
        {fw::SCSI_REQUEST_SENSE, false, &Impl::RequestSense},
        {fw::SCSI_FORMAT_UNIT, true, &Impl::FormatUnit},
        {fw::SCSI_REASSIGN_BLOCKS, true, &Impl::ReassignBlocks},
        {fw::SCSI_INQUIRY, false, &Impl::Inquiry},
        {fw::SCSI_MODE_SELECT6, false, &Impl::ModeSelect},
        {fw::SCSI_MODE_SENSE6, false, &Impl::ModeSense},
        {fw::SCSI_START_STOP_UNIT, false, &Impl::StartStopUnit},
        {fw::SCSI_READ_CAPACITY10, true, &Impl::ReadCapacity},
        {fw::SCSI_READ10, true, &Impl::Read},
        {fw::SCSI_WRITE10, true, &Impl::WriteBlocks},
        {fw::SCSI_VERIFY10, true, &Impl::Verify},
        {fw::SCSI_SYNCHRONIZE_CACHE10, true, &Impl::SynchronizeCache},
        {fw::SCSI_WRITE_BUFFER, false, &Impl::WriteBuffer},
        {fw::SCSI_READ_LONG10, true, &Impl::ReadLong},
        {fw::SCSI_WRITE_LONG10, true, &Impl::WriteLong},
        {fw::SCSI_LOG_SENSE, false, &Impl::LogSense},
        {fw::SCSI_MODE_SELECT10, false, &Impl::ModeSelect},
        {fw::SCSI_MODE_SENSE10, false, &Impl::ModeSense},
        {fw::SCSI_READ16, true, &Impl::Read},
        {fw::SCSI_WRITE16, true, &Impl::WriteBlocks},
        {fw::SCSI_VERIFY16, true, &Impl::Verify},
        {fw::SCSI_SYNCHRONIZE_CACHE16, true, &Impl::SynchronizeCache},
        {fw::SCSI_SERVICE_ACTION_IN16, true, &Impl::ReadCapacity},
    };

    // Readiness and the spin-up count, shared by both command sets: the
    // answer when the command cannot be served now.
    const Sense* Admit(bool needsMedium) {
        admitted = Readiness();
        if (becomingReady) --becomingReady;
        return needsMedium ? admitted : nullptr;
    }

    uint64_t ServiceNs(uint64_t bytes) const { return kCommandNs + bytes / 512 * kPer512Ns + extraNs; }

    void Scsi(std::span<const uint8_t> cdb, std::span<const uint8_t> out, std::span<uint8_t> in, DriveResult& r) {
        Command c{{}, out, in, r};
        if (!cdb.empty()) ++commands[cdb[0]];
        const ScsiOp* op = nullptr;
        if (!cdb.empty())
            for (const ScsiOp& o : kScsiOps)
                if (o.opcode == cdb[0]) op = &o;
        const Sense* refusal = Admit(op && op->needsMedium);
        if (!op) {
            Fail(r, kInvalidOpcode, kNoInfo, 0);
        } else if (cdb.size() < CdbLength(cdb[0])) {
            Fail(r, kInvalidFieldInCdb, kNoInfo, int(cdb.size()));
        } else if (unitAttention && cdb[0] != fw::SCSI_INQUIRY && cdb[0] != fw::SCSI_REQUEST_SENSE) {
            // Reported once, ahead of every other condition.
            unitAttention = false;
            Fail(r, kPowerOnReset);
        } else if (refusal) {
            Fail(r, *refusal);
        } else if (failures[cdb[0]] != 0) {
            --failures[cdb[0]];
            Fail(r, kInternalFailure);
        } else {
            std::copy(cdb.begin(), cdb.begin() + CdbLength(cdb[0]), c.cdb.begin());
            (this->*op->run)(c);
        }
        if (c.taken && r.status == kGood) r.transferred = uint32_t(std::min<uint64_t>(c.taken, UINT32_MAX));
        r.serviceNs = ServiceNs(c.bytesMoved);
    }

    // --- ATA ----------------------------------------------------------------
    static void AtaFail(DriveResult& r, uint8_t error, const Sense& s, uint64_t lba = kNoInfo) {
        Fail(r, s, lba);
        r.ataStatus = kAtaFailed;
        r.ataError = error;
        if (lba != kNoInfo) r.ataLba = lba;
    }

    std::vector<uint8_t> Identify() const {
        std::array<uint16_t, 256> w{};
        auto text = [&w](unsigned first, unsigned words, const std::string& s) {
            std::string padded(words * 2, ' ');
            padded.replace(0, std::min(s.size(), padded.size()), s.substr(0, padded.size()));
            for (unsigned i = 0; i < words; ++i)
                w[first + i] = uint16_t(uint8_t(padded[2 * i]) << 8 | uint8_t(padded[2 * i + 1]));
        };
        uint64_t blocks28 = std::min<uint64_t>(cfg.blocks, 0x0FFFFFFF);
        w[0] = 0x0040;
        w[1] = 16383;
        w[3] = 16;
        w[6] = 63;
        text(10, 10, cfg.serial);
        text(23, 4, cfg.revision);
        text(27, 20, cfg.vendor + " " + cfg.product);
        w[47] = 0x8010;
        w[49] = 0x0F00;  // LBA, DMA
        w[50] = 0x4000;
        w[53] = 0x0006;
        w[60] = uint16_t(blocks28);
        w[61] = uint16_t(blocks28 >> 16);
        w[63] = 0x0407;
        w[64] = 0x0003;
        w[75] = 31;
        w[76] = 0x0106;  // NCQ, 1.5 and 3 Gb/s
        w[80] = 0x01F0;
        w[82] = 0x4069;  // SMART, power management, write cache, look-ahead, NOP
        w[83] = 0x7400;  // 48-bit, FLUSH CACHE (EXT)
        w[84] = 0x4023;  // SMART error log, self-test, general purpose logging
        w[85] = uint16_t(0x4049 | (writeCache() ? 0x0020 : 0));
        w[86] = 0xB400;  // words 119-120 valid, 48-bit, FLUSH CACHE (EXT)
        w[87] = 0x4023;
        w[88] = 0x407F;
        for (unsigned i = 0; i < 4; ++i) w[100 + i] = uint16_t(cfg.blocks >> (16 * i));
        w[106] = 0x4000;
        if (cfg.blockSize != 512) {
            w[106] |= 0x1000;
            w[117] = uint16_t(cfg.blockSize / 2);
            w[118] = uint16_t(cfg.blockSize / 2 >> 16);
        }
        w[119] = 0x4004;  // WRITE UNCORRECTABLE EXT
        w[120] = 0x4004;
        std::vector<uint8_t> d(512);
        for (unsigned i = 0; i < 256; ++i) {
            d[2 * i] = uint8_t(w[i]);
            d[2 * i + 1] = uint8_t(w[i] >> 8);
        }
        d[510] = 0xA5;
        uint8_t sum = 0;
        for (unsigned i = 0; i < 511; ++i) sum = uint8_t(sum + d[i]);
        d[511] = uint8_t(-sum);
        return d;
    }

    std::vector<uint8_t> Log(uint8_t address, uint8_t page) const {
        std::vector<uint8_t> d(512, 0);
        if (address == 0x00 && page == 0) {
            d[0] = 1;            // version
            d[2 * 0x07] = 1;     // one page of extended error log
        } else if (address == 0x07 && page == 0) {
            d[0] = 1;  // no errors logged
        } else {
            d.clear();
        }
        return d;
    }

    void Ata(const AtaCommand& a, std::span<const uint8_t> out, std::span<uint8_t> in, DriveResult& r) {
        const uint32_t bs = cfg.blockSize;
        uint64_t count = a.count ? a.count : 65536;
        uint64_t moved = 0;
        r.ataStatus = kAtaGood;
        r.ataLba = a.lba;
        r.ataCount = a.count;
        auto give = [&](const std::vector<uint8_t>& d) {
            size_t n = std::min(d.size(), in.size());
            if (n) std::memcpy(in.data(), d.data(), n);
            r.transferred = uint32_t(n);
            moved = n;
        };
        bool media = a.command == 0x25 || a.command == 0x35 || a.command == 0x45 || a.command == 0xEA ||
                     a.command == 0xE7;
        const Sense* refusal = Admit(media);
        if (cfg.sata && refusal) {
            AtaFail(r, kAtaAbort, *refusal);
        } else if (!cfg.sata) {
            AtaFail(r, kAtaAbort, kInvalidOpcode);
        } else if ((a.command == 0x25 || a.command == 0x35 || a.command == 0x45) && !InRange(a.lba, count)) {
            AtaFail(r, kAtaIdNotFound, kLbaOutOfRange);
        } else {
            switch (a.command) {
            case 0xEC:
                give(Identify());
                break;
            case 0x25: {
                MediaRead m = ReadToInitiator(a.lba, count, in);
                r.transferred = m.transferred;
                moved = m.good * bs;
                if (!m.ok)
                    AtaFail(r, kAtaAbort, kInternalFailure);
                else if (m.firstBad != kNoInfo)
                    AtaFail(r, kAtaUncorrectable, kUnrecoveredRead, m.firstBad);
                break;
            }
            case 0x35:
                if (out.size() < count * bs) {
                    AtaFail(r, kAtaAbort, kDataPhase);
                } else if (!WriteFromInitiator(a.lba, count, out.data())) {
                    AtaFail(r, kAtaAbort, kInternalFailure);
                } else {
                    moved = count * bs;
                    r.transferred = uint32_t(moved);
                }
                break;
            case 0x45:
                // Pseudo and flagged uncorrectable, with or without logging.
                if (a.features != 0x55 && a.features != 0x5A && a.features != 0xA5 && a.features != 0xAA)
                    AtaFail(r, kAtaAbort, kAborted);
                else
                    MarkBad(a.lba, count);
                break;
            case 0xE7:
            case 0xEA:
            case 0xE0:
                break;
            case 0xEF:
                switch (a.features & 0xFF) {
                case 0x02: SetWriteCache(true); break;
                case 0x82: SetWriteCache(false); break;
                case 0x03:
                case 0x55:
                case 0xAA: break;
                default: AtaFail(r, kAtaAbort, kAborted);
                }
                break;
            case 0xB0:
                if ((a.features & 0xFF) != 0xDA || (a.lba & 0xFFFF00) != kSmartSignature)
                    AtaFail(r, kAtaAbort, kAborted);
                else
                    r.ataLba = kSmartSignature;  // threshold not exceeded
                break;
            case 0x2F: {
                std::vector<uint8_t> d = Log(uint8_t(a.lba), uint8_t(a.lba >> 8));
                if (d.empty() || a.count != 1)
                    AtaFail(r, kAtaAbort, kAborted);
                else
                    give(d);
                break;
            }
            default:
                AtaFail(r, kAtaAbort, kAborted);
            }
        }
        r.serviceNs = ServiceNs(moved);
    }
};

Drive::Drive(const DriveConfig& config) : m_config(config), m_impl(std::make_unique<Impl>(m_config)) {}
Drive::~Drive() = default;

DriveResult Drive::Execute(std::span<const uint8_t> cdb, std::span<const uint8_t> dataOut, std::span<uint8_t> dataIn) {
    DriveResult r;
    if (onCommand) onCommand(cdb);
    r.noResponse = m_impl->dead;
    if (!r.noResponse) m_impl->Scsi(cdb, dataOut, dataIn, r);
    return r;
}

DriveResult Drive::ExecuteAta(const AtaCommand& command, std::span<const uint8_t> dataOut, std::span<uint8_t> dataIn) {
    DriveResult r;
    r.noResponse = m_impl->dead;
    if (!r.noResponse) m_impl->Ata(command, dataOut, dataIn, r);
    return r;
}

void Drive::ReadBlocks(uint64_t lba, uint32_t count, uint8_t* out) const {
    if (!m_impl->InRange(lba, count) || !m_impl->Read(lba, count, out)) {
        std::fprintf(stderr, "drive: cannot read %u blocks at %llu\n", count, (unsigned long long)lba);
        std::abort();
    }
}

void Drive::WriteBlocks(uint64_t lba, uint32_t count, const uint8_t* in) {
    if (!m_impl->InRange(lba, count) || !m_impl->Write(lba, count, in)) {
        std::fprintf(stderr, "drive: cannot write %u blocks at %llu\n", count, (unsigned long long)lba);
        std::abort();
    }
}

void Drive::InjectMediaError(uint64_t lba, uint64_t count) {
    if (count) m_impl->MarkBad(lba, count);
}
void Drive::ClearMediaErrors() { m_impl->bad.clear(); }
void Drive::SetNotReady(bool notReady) { m_impl->notReady = notReady; }
void Drive::BecomeReadyAfter(uint32_t commands) { m_impl->becomingReady = commands; }
void Drive::SetNoResponse(bool dead) { m_impl->dead = dead; }
void Drive::SetExtraLatencyNs(uint64_t ns) { m_impl->extraNs = ns; }
void Drive::FailCommand(uint8_t opcode, uint32_t times) { m_impl->failures[opcode] = times; }
void Drive::CutPowerDuringNextWrite(uint32_t blocks) {
    m_impl->cutPower = true;
    m_impl->cutAfterBlocks = blocks;
}
void Drive::Reset() { m_impl->unitAttention = true; }
void Drive::AttachClock(const Clock* clock) {
    Impl& d = *m_impl;
    // What is left of a spin-up carries from one clock to the next; the
    // first clock is the moment of power-on.
    uint64_t left = d.spinLeftNs;
    if (d.clock) {
        left = d.readyAtNs > d.clock->Now() ? d.readyAtNs - d.clock->Now() : 0;
    } else if (!d.clockSeen) {
        left = d.stopped ? 0 : m_config.spinUpNs;
    }
    d.clock = clock;
    d.spinLeftNs = left;
    if (clock) {
        d.clockSeen = true;
        d.readyAtNs = clock->Now() + left;
    }
}
uint64_t Drive::CommandCount(uint8_t opcode) const { return m_impl->commands[opcode]; }

}  // namespace sim
