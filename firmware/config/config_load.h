// The start-of-day load: the newest valid configuration copy this controller
// wrote is taken from the drives (or, joining a running partner, the
// partner's live image), else the default configuration.
#pragma once

#include <cstdint>

#include "config/config_image.h"

namespace fw {

struct SAS_DEVICE_ENTRY;

// The copy sits this many blocks before a drive's last block.
constexpr uint32_t CONFIG_COPY_BLOCKS_BEFORE_END = 32768;

// Results of reading one drive's copy besides TRUE (valid) and FALSE (the
// drive answered, the copy is not valid).
constexpr uint8_t CONFIG_READ_MEDIUM_ERROR = 244;
constexpr uint8_t CONFIG_READ_NO_ANSWER = 0;

// Marks the load as running and forgets what an earlier load found.
void BeginConfigLoad();
void SetConfigLoadRunning(uint8_t f);
uint8_t fIsConfigLoadRunning();

uint8_t ReadConfigImageFromSasDrive(SAS_DEVICE_ENTRY* psDevice, CONFIG_IMAGE* psBuffer);
// Always 255: a drive that does not answer is marked absent in the SAS
// device list; without any valid copy the default image is installed.
uint8_t LoadConfigFromSasDrives();
// 255 with the partner's live image installed, else 0 (the caller falls
// back to the drives).  With fKeepImage FALSE a missing partner leaves an
// empty, sealed live image behind.
uint8_t LoadConfigFromPartner(uint8_t fKeepImage);
// The status byte of the partner's answer that was taken.
void SetPartnerConfigStatus(uint8_t b);
uint8_t bGetPartnerConfigStatus();

// What the copies read from the drives said of the drives that hold them,
// kept from a load from the drives until the apply after it has judged the
// members by it: TRUE while kept.
uint8_t fAreDriveCopiesKnown();
void ForgetDriveCopies();
// Whether the drive of that WWN holds the array's configuration as its
// member: its own copy names it member bMember of an array of the same RAID
// level and chunk.  A drive whose copy could not be read for a medium error
// is given the benefit of the doubt; so is every drive while no copies are
// kept.
uint8_t fDriveCopyNamesMember(const uint8_t* pbWwn, const CONFIG_RANK_RECORD& sRank, uint8_t bMember);

}  // namespace fw
