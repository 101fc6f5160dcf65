// Configuration copies as the drives hold them, made here without the
// firmware's sealing so that the loader is judged against an independent
// writer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "config/config_image.h"
#include "executive/types.h"
#include "sim/board.h"
#include "sim/drive.h"

namespace copytest {

constexpr uint64_t kCopyBlocksBeforeEnd = 32768;

struct CopySpec {
    uint32_t dGeneration = 1;
    uint64_t lWriter = 0;        // WWN as a big-endian number
    uint16_t wRanks = 1;
    uint32_t dVersion = 14;
    std::string name = "COPY";   // configuration name, to tell copies apart
    bool fCorruptBody = false;   // a body byte changed after sealing
};

inline fw::CONFIG_IMAGE* Image(std::vector<uint8_t>& ab) { return reinterpret_cast<fw::CONFIG_IMAGE*>(ab.data()); }

inline uint32_t XorWords(const std::vector<uint8_t>& ab, size_t first, size_t end) {
    uint32_t d = 0;
    for (size_t w = first; w < end; ++w) {
        uint32_t v;
        std::memcpy(&v, ab.data() + 4 * w, 4);
        d ^= v;
    }
    return d;
}

inline void PutWwn(uint8_t* pb, uint64_t l) {
    for (int i = 0; i < 8; ++i) pb[i] = static_cast<uint8_t>(l >> (56 - 8 * i));
}

// Checks as a valid writer computes them.
inline void Seal(std::vector<uint8_t>& ab) {
    fw::CONFIG_HEADER& s = Image(ab)->sHeader;
    s.dBodyCheck = XorWords(ab, 128, fw::CONFIG_IMAGE_WORDS);
    s.dHeaderCheck = 0;
    s.dHeaderCheck = XorWords(ab, 0, 128);
}

inline std::vector<uint8_t> MakeCopy(const CopySpec& c) {
    std::vector<uint8_t> ab(fw::CONFIG_IMAGE_SIZE, 0);
    fw::CONFIG_IMAGE* ps = Image(ab);
    fw::CONFIG_HEADER& s = ps->sHeader;
    s.dImageSize = fw::CONFIG_IMAGE_SIZE;
    s.dVersion = c.dVersion;
    s.dMagic = fw::CONFIG_MAGIC;
    s.dGeneration = c.dGeneration;
    PutWwn(s.abWriterWwn, c.lWriter);
    std::memset(s.acConfigName, ' ', sizeof s.acConfigName);
    std::memcpy(s.acConfigName, c.name.data(), std::min(c.name.size(), sizeof s.acConfigName));
    s.wRankCount = c.wRanks;
    s.fControllerMonitorSes = fw::TRUE;
    s.fBackgroundVerify = s.fAutoHotSpare = s.fDifferentNodeName = fw::FALSE;
    s.fCacheFlushCommand = s.fMultipleStripeAccess = s.fThreadBalance = fw::FALSE;
    s.bInitPriority = 50;
    s.bSequentialWriteLevel = 4;
    s.wControllerLun = 0xFFFF;
    s.bExpansionArray = 255;
    ps->sTqmSettings.bResponseType = fw::FALSE;
    ps->sTqmSettings.bResponseTime = 4;
    for (uint16_t r = 0; r < c.wRanks && r < fw::MAX_RANKS; ++r) {
        fw::CONFIG_RANK_RECORD& sRank = ps->asRank[r];
        sRank.bRankNumber = static_cast<uint8_t>(r);
        sRank.bRaidLevel = fw::RAID_LEVEL_0;
        sRank.bDriveCount = 1;
        sRank.wChunkSize = 128;
        sRank.lLastOffset = 1u << 20;
        sRank.wWriteThreshold = 5;
        sRank.bInitState = 0xFF;
    }
    Seal(ab);
    if (c.fCorruptBody) ab[600] ^= 0x01;
    return ab;
}

// Writes a copy where the loader looks for it on a drive of any block size.
inline void PlaceCopy(sim::Drive& d, const std::vector<uint8_t>& ab) {
    const uint32_t bs = d.config().blockSize;
    const uint64_t lLast = d.config().blocks - 1;
    std::vector<uint8_t> padded((ab.size() + bs - 1) / bs * bs, 0);
    std::memcpy(padded.data(), ab.data(), ab.size());
    d.WriteBlocks(lLast - kCopyBlocksBeforeEnd, static_cast<uint32_t>(padded.size() / bs), padded.data());
}

}  // namespace copytest
