// What the drive says about itself: INQUIRY data and its pages, the
// capacity, the mode pages it keeps (current, saved, default, changeable)
// and the log pages it reports.
#include "sim/drive_impl.h"

#include <algorithm>

namespace sim {

using namespace drive;

namespace drive {

const ModePage kModePages[kPageCount] = {
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

int FindPage(uint8_t code) {
    for (size_t i = 0; i < kPageCount; ++i)
        if (kModePages[i].code == code) return int(i);
    return -1;
}

}  // namespace drive

namespace {

void PutPadded(uint8_t* p, size_t width, const std::string& text) {
    std::memset(p, ' ', width);
    std::memcpy(p, text.data(), std::min(width, text.size()));
}

}  // namespace

bool Drive::Impl::WriteCache() const { return current[size_t(FindPage(kCachingPage))][2] & kWce; }

void Drive::Impl::SetWriteCache(bool on) {
    uint8_t& b = current[size_t(FindPage(kCachingPage))][2];
    b = uint8_t(on ? b | kWce : b & ~kWce);
}

void Drive::Impl::Inquiry(Command& c) {
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
        PutPadded(&d[32], 4, revision);
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

void Drive::Impl::ReadCapacity(Command& c) {
    const uint8_t* cdb = c.cdb.data();
    uint64_t last = cfg.blocks ? cfg.blocks - 1 : 0;
    const uint32_t blockLength = reportedBlockLength ? reportedBlockLength : cfg.blockSize;
    std::vector<uint8_t> d;
    if (cdb[0] == fw::SCSI_READ_CAPACITY10) {
        if (!(cdb[8] & 1) && GetBe(cdb + 2, 4)) return FailCdb(c, 2);
        d.assign(8, 0);
        PutBe(&d[0], 4, std::min<uint64_t>(last, 0xFFFFFFFF));
        PutBe(&d[4], 4, blockLength);
        return Return(c, d, 8);
    }
    if ((cdb[1] & 0x1F) != 0x10) return FailCdb(c, 1);
    d.assign(32, 0);
    PutBe(&d[0], 8, last);
    PutBe(&d[8], 4, blockLength);
    Return(c, d, GetBe(cdb + 10, 4));
}

// The grown list is the blocks that went bad (in physical sector form: a
// cylinder of 1024 sectors, head 0); the drive left the factory with no
// defect.
void Drive::Impl::ReadDefectData(Command& c) {
    const uint8_t* cdb = c.cdb.data();
    const uint8_t format = cdb[2] & 0x07;
    constexpr uint8_t kPhysicalSector = 5, kGrown = 0x08;
    if (format != kPhysicalSector) return FailCdb(c, 2);
    std::vector<uint8_t> d(4, 0);
    d[1] = cdb[2] & 0x1F;
    if (cdb[2] & kGrown) {
        for (const auto& [start, end] : bad) {
            for (uint64_t lba = start; lba < end && d.size() < 4 + 8 * 8191; ++lba) {
                uint8_t e[8] = {};
                PutBe(e, 3, lba / 1024);
                PutBe(e + 4, 4, lba % 1024);
                d.insert(d.end(), e, e + 8);
            }
        }
    }
    PutBe(&d[2], 2, d.size() - 4);
    Return(c, d, GetBe(cdb + 7, 2));
}

// One logical unit, LUN 0.
void Drive::Impl::ReportLuns(Command& c) {
    const uint64_t allocation = GetBe(c.cdb.data() + 6, 4);
    if (allocation < 16) return FailCdb(c, 6);
    std::vector<uint8_t> d(16, 0);
    PutBe(&d[0], 4, 8);
    Return(c, d, allocation);
}

void Drive::Impl::ModeSense(Command& c) {
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

void Drive::Impl::ModeSelect(Command& c) {
    const uint8_t* cdb = c.cdb.data();
    bool ten = cdb[0] == fw::SCSI_MODE_SELECT10;
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

void Drive::Impl::LogSense(Command& c) {
    const uint8_t* cdb = c.cdb.data();
    if (cdb[1] & 0x03) return FailCdb(c, 1);  // no parameter change or save
    if (cdb[3]) return FailCdb(c, 3);
    if (GetBe(cdb + 5, 2)) return FailCdb(c, 5);
    uint8_t page = cdb[2] & 0x3F;
    std::vector<uint8_t> d(4, 0);
    d.reserve(4 + 2 * 56);   // room for the largest page, both ports; GCC 12 misreads a growing insert
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
        // Both SAS ports, one phy each, with the phy's four link error
        // counters at the end of each port's parameter.
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
            // Each reset of the drive cost port 1 its dword sync once; the
            // other error counters stay zero.
            if (port == 1) PutBe(&p[48], 4, linkResets);
            d.insert(d.end(), p.begin(), p.end());
        }
        break;
    default:
        return FailCdb(c, 2);
    }
    PutBe(&d[2], 2, d.size() - 4);
    Return(c, d, GetBe(cdb + 7, 2));
}

}  // namespace sim
