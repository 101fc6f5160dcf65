// Sealing and validation of the configuration image, the live and scratch
// images, and the clamping of stored counts to their tables.
#include "config/config_image.h"

#include <algorithm>
#include <cstring>

#include "config/config_db.h"
#include "config/nvram_layout.h"
#include "executive/date_time.h"
#include "executive/system_state.h"
#include "executive/types.h"

namespace fw {

namespace {

// Both images live in data buffer pages taken at start-up.
CONFIG_IMAGE* s_psLiveImage;
CONFIG_IMAGE* s_psScratchImage;

uint32_t dReadWord(const uint8_t* pbImage, uint32_t dWord) {
    const uint8_t* pb = pbImage + dWord * 4;
    return static_cast<uint32_t>(pb[0]) | (static_cast<uint32_t>(pb[1]) << 8) |
           (static_cast<uint32_t>(pb[2]) << 16) | (static_cast<uint32_t>(pb[3]) << 24);
}

}  // namespace

uint32_t dClampedRankCount(const CONFIG_IMAGE* psImage) {
    return std::min<uint32_t>(psImage->sHeader.wRankCount, MAX_RANKS);
}
uint32_t dClampedLdCount(const CONFIG_IMAGE* psImage) {
    return std::min<uint32_t>(psImage->sHeader.wLdCount, MAX_LDS);
}
uint32_t dClampedSanMapCount(const CONFIG_IMAGE* psImage) {
    return std::min<uint32_t>(psImage->sHeader.wSanMapCount, MAX_SAN_MAPS);
}
uint32_t dClampedSpareCount(const CONFIG_IMAGE* psImage) {
    return std::min<uint32_t>(psImage->sHeader.wSpareCount, MAX_SPARES);
}
uint32_t dClampedFailedDriveCount(const CONFIG_IMAGE* psImage) {
    return std::min<uint32_t>(psImage->sHeader.wFailedDriveCount, MAX_FAILED_DRIVES);
}
uint32_t dClampedBadBlockCount(const CONFIG_IMAGE* psImage) {
    return std::min<uint32_t>(psImage->sHeader.wBadBlockCount, MAX_BAD_BLOCKS);
}
uint32_t dClampedPrRecordCount(const CONFIG_IMAGE* psImage) {
    return std::min<uint32_t>(psImage->sHeader.wPrRecordCount, MAX_PR_RECORDS);
}
uint32_t dClampedSegmentCount(const CONFIG_LD_RECORD* psLd) {
    return std::min<uint32_t>(psLd->bSegmentCount, MAX_LD_SEGMENTS);
}
uint32_t dClampedDriveCount(const CONFIG_RANK_RECORD* psRank) {
    return std::min<uint32_t>(psRank->bDriveCount, MAX_RANK_MEMBERS);
}

uint32_t dXorImageWords(const CONFIG_IMAGE* psImage, uint32_t dFirstWord, uint32_t dEndWord) {
    const uint8_t* pb = reinterpret_cast<const uint8_t*>(psImage);
    uint32_t dXor = 0;
    for (uint32_t d = dFirstWord; d < dEndWord && d < CONFIG_IMAGE_WORDS; d++) dXor ^= dReadWord(pb, d);
    return dXor;
}

void SealConfigImage(CONFIG_IMAGE* psImage, uint8_t fNewGeneration) {
    CONFIG_HEADER& sHeader = psImage->sHeader;
    sHeader.dImageSize = CONFIG_IMAGE_SIZE;
    sHeader.dVersion = CONFIG_VERSION;
    sHeader.dMagic = CONFIG_MAGIC;
    if (fNewGeneration == TRUE) {
        // The loader takes the copy of the highest generation: two commits
        // in one second (a member failing just after another commit) must
        // not leave two images of one generation on the drives.
        const uint32_t dNow = dGetCurrentSeconds();
        sHeader.dGeneration = dNow > sHeader.dGeneration ? dNow : sHeader.dGeneration + 1;
    }
    // The WWN an image carries is the configuration's own: one chosen in the
    // menus, or taken over from the partner, must survive the commit.  Only
    // an image without one is given this controller's.
    if (fIsValidNvramWwn(sHeader.abWriterWwn) != TRUE) pGetControllerWWN(sHeader.abWriterWwn);
    sHeader.dBodyCheck = dXorImageWords(psImage, CONFIG_HEADER_WORDS, CONFIG_IMAGE_WORDS);
    sHeader.dHeaderCheck = 0;
    sHeader.dHeaderCheck = dXorImageWords(psImage, 0, CONFIG_HEADER_WORDS);
}

void SealEmptyConfigImage(CONFIG_IMAGE* psImage) {
    CONFIG_HEADER& s = psImage->sHeader;
    s.dGeneration = 0;
    s.wRankCount = s.wLdCount = s.wSanMapCount = s.wSpareCount = s.wFailedDriveCount = 0;
    SealConfigImage(psImage, FALSE);
}

uint8_t fIsConfigImageValid(const CONFIG_IMAGE* psImage) {
    const CONFIG_HEADER& sHeader = psImage->sHeader;
    if (sHeader.dMagic != CONFIG_MAGIC) return FALSE;
    if (sHeader.wRankCount > MAX_RANKS) return FALSE;
    if (dXorImageWords(psImage, 0, CONFIG_HEADER_WORDS) != 0) return FALSE;
    if (dXorImageWords(psImage, CONFIG_HEADER_WORDS, CONFIG_IMAGE_WORDS) != sHeader.dBodyCheck) return FALSE;
    return TRUE;
}

void CopyConfigImage(const CONFIG_IMAGE* psSource, CONFIG_IMAGE* psDestination) {
    if (psSource != psDestination) std::memcpy(psDestination, psSource, CONFIG_IMAGE_SIZE);
}

uint8_t fGetConfiguredControllerWwn(uint8_t* pbWwn) {
    if (s_psLiveImage == nullptr || fIsValidNvramWwn(s_psLiveImage->sHeader.abWriterWwn) != TRUE) return FALSE;
    std::memcpy(pbWwn, s_psLiveImage->sHeader.abWriterWwn, 8);
    return TRUE;
}

CONFIG_IMAGE* pGetConfigImage() { return s_psLiveImage; }
CONFIG_IMAGE* pGetScratchConfigImage() { return s_psScratchImage; }
void SetConfigImagePointer(CONFIG_IMAGE* psImage) { s_psLiveImage = psImage; }
void SetScratchImagePointer(CONFIG_IMAGE* psImage) { s_psScratchImage = psImage; }

}  // namespace fw
