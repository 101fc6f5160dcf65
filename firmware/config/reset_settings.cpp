// Settings that take effect only after a controller reset.
#include "config/reset_settings.h"

#include <cstring>

#include "executive/types.h"

namespace fw {

uint8_t fConfigChangeNeedsReset(const CONFIG_IMAGE* psLive, const CONFIG_IMAGE* psScratch) {
    const CONFIG_HEADER& a = psLive->sHeader;
    const CONFIG_HEADER& b = psScratch->sHeader;
    // The host port chips take these when they are brought up.  Single
    // controller mode is not among them: the apply that ends every commit
    // sets write-back without a partner from it at once.
    const bool fSame = std::memcmp(a.abPortHardAddress, b.abPortHardAddress, sizeof a.abPortHardAddress) == 0 &&
                       a.bSetting167 == b.bSetting167 && a.fDifferentNodeName == b.fDifferentNodeName &&
                       std::memcmp(a.abPortConnection, b.abPortConnection, sizeof a.abPortConnection) == 0 &&
                       std::memcmp(a.abPortDataRate, b.abPortDataRate, sizeof a.abPortDataRate) == 0 &&
                       std::memcmp(a.afPortOptionB, b.afPortOptionB, sizeof a.afPortOptionB) == 0;
    return fSame ? FALSE : TRUE;
}

}  // namespace fw
