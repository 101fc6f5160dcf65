// The ATA command set of SATA drives: what the drive-side controller's
// passthrough and its translation of SCSI reads and writes send them.
#include "sim/drive_impl.h"

#include "hw/ata.h"

#include <algorithm>

namespace sim {

using namespace drive;

void Drive::Impl::AtaFail(DriveResult& r, uint8_t error, const Sense& s, uint64_t lba) {
    Fail(r, s, lba);
    r.ataStatus = fw::ATA_STATUS_ERROR;
    r.ataError = error;
    if (lba != kNoInfo) r.ataLba = lba;
}

std::vector<uint8_t> Drive::Impl::Identify() const {
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
    text(23, 4, revision);
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
    w[85] = uint16_t(0x4049 | (WriteCache() ? 0x0020 : 0));
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

std::vector<uint8_t> Drive::Impl::Log(uint8_t address, uint8_t page) const {
    std::vector<uint8_t> d(512, 0);
    if (address == fw::ATA_LOG_DIRECTORY && page == 0) {
        d[0] = 1;                                // version
        d[2 * fw::ATA_LOG_EXTENDED_ERROR] = 1;   // one page of extended error log
    } else if (address == fw::ATA_LOG_EXTENDED_ERROR && page == 0) {
        d[0] = 1;  // no errors logged
    } else {
        d.clear();
    }
    return d;
}

void Drive::Impl::Give(AtaCall& c, const std::vector<uint8_t>& data) {
    size_t n = std::min(data.size(), c.in.size());
    if (n) std::memcpy(c.in.data(), data.data(), n);
    c.r.transferred = uint32_t(n);
    c.moved = n;
}

void Drive::Impl::AtaIdentify(AtaCall& c) { Give(c, Identify()); }

void Drive::Impl::AtaReadDma(AtaCall& c) {
    MediaRead m = ReadToInitiator(c.a.lba, c.count, c.in);
    c.r.transferred = m.transferred;
    c.moved = m.good * cfg.blockSize;
    if (!m.ok)
        AtaFail(c.r, fw::ATA_ERROR_UNCORRECTABLE, kUnrecoveredRead, c.a.lba);
    else if (m.firstBad != kNoInfo)
        AtaFail(c.r, fw::ATA_ERROR_UNCORRECTABLE, kUnrecoveredRead, m.firstBad);
}

void Drive::Impl::AtaWriteDma(AtaCall& c) {
    const uint64_t bytes = c.count * cfg.blockSize;
    if (c.out.size() < bytes) {
        AtaFail(c.r, fw::ATA_ERROR_ABORTED, kDataPhase);
    } else if (const Stored s = WriteFromInitiator(c.a.lba, c.count, c.out.data()); s != Stored::Written) {
        // No room: refused untouched, as the translation reports a thin
        // medium out of space.
        if (s == Stored::NoRoom) {
            AtaFail(c.r, fw::ATA_ERROR_ABORTED, kNoRoom);
        } else {
            AtaFail(c.r, fw::ATA_ERROR_ABORTED, kWriteError, c.a.lba);
        }
    } else {
        c.moved = bytes;
        c.r.transferred = uint32_t(bytes);
    }
}

// Pseudo and flagged uncorrectable, with or without logging, all leave
// blocks that fail a read until written again.
void Drive::Impl::AtaWriteUncorrectable(AtaCall& c) {
    switch (c.a.features) {
    case fw::ATA_UNCORRECTABLE_PSEUDO:
    case fw::ATA_UNCORRECTABLE_PSEUDO_UNLOGGED:
    case fw::ATA_UNCORRECTABLE_FLAGGED_UNLOGGED:
    case fw::ATA_UNCORRECTABLE_FLAGGED: MarkBad(c.a.lba, c.count); break;
    default: AtaFail(c.r, fw::ATA_ERROR_ABORTED, kAborted);
    }
}

// Flushes and standby: the medium is always up to date and nothing spins down.
void Drive::Impl::AtaNothingToDo(AtaCall&) {}

void Drive::Impl::AtaStandby(AtaCall&) { Park(false); }

void Drive::Impl::AtaSetFeatures(AtaCall& c) {
    switch (c.a.features & 0xFF) {
    case fw::ATA_FEATURE_WRITE_CACHE_ON: SetWriteCache(true); break;
    case fw::ATA_FEATURE_WRITE_CACHE_OFF: SetWriteCache(false); break;
    case fw::ATA_FEATURE_TRANSFER_MODE:
    case fw::ATA_FEATURE_LOOK_AHEAD_OFF:
    case fw::ATA_FEATURE_LOOK_AHEAD_ON: break;
    default: AtaFail(c.r, fw::ATA_ERROR_ABORTED, kAborted);
    }
}

void Drive::Impl::AtaSmart(AtaCall& c) {
    if ((c.a.features & 0xFF) != fw::ATA_SMART_RETURN_STATUS || (c.a.lba & 0xFFFF00) != fw::ATA_SMART_SIGNATURE)
        AtaFail(c.r, fw::ATA_ERROR_ABORTED, kAborted);
    else
        c.r.ataLba = fw::ATA_SMART_SIGNATURE;  // threshold not exceeded
}

void Drive::Impl::AtaReadLog(AtaCall& c) {
    std::vector<uint8_t> d = Log(uint8_t(c.a.lba), uint8_t(c.a.lba >> 8));
    if (d.empty() || c.a.count != 1)
        AtaFail(c.r, fw::ATA_ERROR_ABORTED, kAborted);
    else
        Give(c, d);
}

// Microcode in 512-byte blocks, the whole image at once or segment by
// segment at block offsets; a whole valid one runs from the next power-on
// (a SATA drive takes new microcode only when its power is cycled).
void Drive::Impl::AtaDownloadMicrocode(AtaCall& c) {
    const uint64_t bytes = c.count * fw::ATA_MICROCODE_BLOCK_BYTES;
    const uint8_t sub = uint8_t(c.a.features);
    if (sub != fw::ATA_MICROCODE_SAVE && sub != fw::ATA_MICROCODE_OFFSETS_SAVE) {
        return AtaFail(c.r, fw::ATA_ERROR_ABORTED, kAborted);
    }
    if (c.out.size() < bytes) return AtaFail(c.r, fw::ATA_ERROR_ABORTED, kDataPhase);
    const uint64_t offset = sub == fw::ATA_MICROCODE_SAVE ? 0 : c.a.lba * fw::ATA_MICROCODE_BLOCK_BYTES;
    if (!GatherMicrocode(offset, c.out.subspan(0, bytes))) return AtaFail(c.r, fw::ATA_ERROR_ABORTED, kInvalidFieldInList);
    c.r.transferred = uint32_t(bytes);
}

const Drive::Impl::AtaOp Drive::Impl::kAtaOps[] = {
    {fw::ATA_IDENTIFY_DEVICE, false, false, &Impl::AtaIdentify},
    {fw::ATA_READ_DMA_EXT, true, true, &Impl::AtaReadDma},
    {fw::ATA_WRITE_DMA_EXT, true, true, &Impl::AtaWriteDma},
    {fw::ATA_WRITE_UNCORRECTABLE_EXT, true, true, &Impl::AtaWriteUncorrectable},
    {fw::ATA_FLUSH_CACHE, true, false, &Impl::AtaNothingToDo},
    {fw::ATA_FLUSH_CACHE_EXT, true, false, &Impl::AtaNothingToDo},
    {fw::ATA_STANDBY_IMMEDIATE, false, false, &Impl::AtaStandby},
    {fw::ATA_SET_FEATURES, false, false, &Impl::AtaSetFeatures},
    {fw::ATA_SMART, false, false, &Impl::AtaSmart},
    {fw::ATA_READ_LOG_EXT, false, false, &Impl::AtaReadLog},
    {fw::ATA_DOWNLOAD_MICROCODE, false, false, &Impl::AtaDownloadMicrocode},
};

void Drive::Impl::Ata(const AtaCommand& a, std::span<const uint8_t> out, std::span<uint8_t> in, DriveResult& r) {
    AtaCall c{a, out, in, r, a.count ? a.count : 65536u};
    r.ataStatus = fw::ATA_STATUS_GOOD;
    r.ataLba = a.lba;
    r.ataCount = a.count;
    const AtaOp* op = nullptr;
    for (const AtaOp& o : kAtaOps)
        if (o.command == a.command) op = &o;
    const uint64_t wakeNs = cfg.sata && op && op->needsMedium ? WakeWait() : 0;
    const Sense* refusal = Admit(op && op->needsMedium);
    if (cfg.sata && refusal)
        AtaFail(r, fw::ATA_ERROR_ABORTED, *refusal);
    else if (!cfg.sata)
        AtaFail(r, fw::ATA_ERROR_ABORTED, kInvalidOpcode);
    else if (op && op->addressed && !InRange(a.lba, c.count))
        AtaFail(r, fw::ATA_ERROR_ID_NOT_FOUND, kLbaOutOfRange);
    else if (!op)
        AtaFail(r, fw::ATA_ERROR_ABORTED, kAborted);
    else if (ataFailures[a.command] != 0) {
        --ataFailures[a.command];
        AtaFail(r, ataFailureError[a.command], kInternalFailure);
    } else
        (this->*op->run)(c);
    r.serviceNs = ServiceNs(c.moved) + wakeNs;
}

}  // namespace sim
