// Loading the configuration at start of day, from the drives of the SAS
// device list or from the partner controller.
#include "config/config_load.h"

#include <cstring>

#include "config/apply_settings.h"
#include "config/config_flags.h"
#include "config/config_upgrade.h"
#include "config/default_config.h"
#include "config/nvram_records.h"
#include "executive/buffer_pages.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "hw/addresses.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "sas/sas_device_list.h"
#include "sas/sas_scsi_path.h"

namespace fw {

namespace {

constexpr uint32_t READ_CAPACITY_BYTES = 8;
constexpr uint32_t COPY_BLOCK_BYTES = 512;
constexpr uint8_t PARTNER_READ_TRIES = 4;
// A drive answers the first command after a reset, or a power-on, with a
// unit attention and leaves the command undone; more than one may be
// waiting (a power-on, then a reset the partner sent).
constexpr uint8_t UNIT_ATTENTION_TRIES = 4;

uint8_t s_fConfigLoadRunning = FALSE;
uint8_t s_bPartnerConfigStatus;

// The arrays a drive's own copy names it a member of: an array and, while
// one expands, its picture from before the expansion.
constexpr uint8_t COPY_CLAIMS = 2;
struct MEMBER_CLAIM {
    uint8_t bRaidLevel;
    uint8_t bMember;
    uint16_t wChunk;
};
struct DRIVE_COPY {
    uint8_t abWwn[8];
    uint8_t fUnreadable;   // its copy met a medium error
    uint8_t bClaims;
    MEMBER_CLAIM asClaim[COPY_CLAIMS];
};
DRIVE_COPY s_asDriveCopy[SAS_MAX_DEVICES];
uint8_t s_bDriveCopies;
uint8_t s_fDriveCopiesKnown = FALSE;

void NoteDriveCopy(const SAS_DEVICE_ENTRY& sDevice, uint8_t bResult, const CONFIG_IMAGE* psCopy) {
    if (s_bDriveCopies >= SAS_MAX_DEVICES) return;
    DRIVE_COPY& d = s_asDriveCopy[s_bDriveCopies++];
    std::memcpy(d.abWwn, sDevice.abWWN, sizeof d.abWwn);
    d.fUnreadable = ToFlag(bResult == CONFIG_READ_MEDIUM_ERROR);
    d.bClaims = 0;
    if (bResult != TRUE) return;
    for (const CONFIG_RANK_RECORD& r : psCopy->asRank) {
        const uint8_t bMembers = r.bDriveCount < MAX_RANK_MEMBERS ? r.bDriveCount : MAX_RANK_MEMBERS;
        for (uint8_t m = 0; m < bMembers && d.bClaims < COPY_CLAIMS; m++) {
            if (std::memcmp(r.aabMemberWwn[m], d.abWwn, sizeof d.abWwn) == 0) {
                d.asClaim[d.bClaims++] = MEMBER_CLAIM{r.bRaidLevel, m, r.wChunkSize};
            }
        }
    }
}

// The image buffers are data-buffer pages of bank 0, where the processor
// address is the handle.
BUFFER_HANDLE dImageHandle(const CONFIG_IMAGE* psImage) {
    return static_cast<BUFFER_HANDLE>(dAddressWord(psImage));
}

uint32_t dGetBe32At(const CONFIG_IMAGE* psImage, uint32_t dOffset) {
    return dGetBe32(reinterpret_cast<const uint8_t*>(psImage) + dOffset);
}

// Which copies win: one this controller wrote beats any other whatever the
// generations; among copies of one kind the strictly newest, and among
// equal generations the first read.
struct COPY_CHOICE {
    uint8_t abOwnWwn[8];
    uint32_t dBestGeneration;
    bool fOwnInstalled;
    bool fInstalled;

    bool Takes(const CONFIG_IMAGE* psCopy) {
        const CONFIG_HEADER& s = psCopy->sHeader;
        const bool fOwn = std::memcmp(s.abWriterWwn, abOwnWwn, sizeof abOwnWwn) == 0;
        bool fTake;
        if (fOwn) {
            fTake = !fOwnInstalled || s.dGeneration > dBestGeneration;
            fOwnInstalled = true;
        } else {
            // The first valid copy is installed even at generation 0, so
            // that what was found is what gets applied.
            fTake = !fOwnInstalled && (!fInstalled || s.dGeneration > dBestGeneration);
        }
        if (fTake) {
            dBestGeneration = s.dGeneration;
            fInstalled = true;
        }
        return fTake;
    }
};

// One read of a drive's copy, sent again while the drive answers it with a
// unit attention: the attention reports a reset the drive went through (the
// partner's, as it started, when it was lost before this controller took
// the configuration from it), not a drive that is not there.  Taken as no
// answer, it left a member of the array out as missing.
uint8_t bReadFromDrive(const SAS_DEVICE_ENTRY* psDevice, const uint8_t* pbCdb, uint32_t dLength, BUFFER_HANDLE dBuffer,
                       uint8_t* pbStatus, uint8_t* pbKey) {
    uint8_t b = 0;
    for (uint8_t t = 0; t < UNIT_ATTENTION_TRIES; ++t) {
        uint8_t bAsc = 0, bAscq = 0;
        b = bSendSCSICommandAndWait(psDevice->bTargetId, psDevice->bBus, pbCdb, TRUE, dLength, dBuffer, pbStatus, pbKey,
                                    &bAsc, &bAscq);
        if (b != STATUS_OK || *pbStatus != SCSI_STATUS_CHECK_CONDITION || *pbKey != SENSE_UNIT_ATTENTION) break;
    }
    return b;
}

}  // namespace

void BeginConfigLoad() {
    s_fConfigLoadRunning = TRUE;
    s_bPartnerConfigStatus = 0;
    ForgetDriveCopies();
}
void SetConfigLoadRunning(uint8_t f) { s_fConfigLoadRunning = f; }
uint8_t fIsConfigLoadRunning() { return s_fConfigLoadRunning; }
void SetPartnerConfigStatus(uint8_t b) { s_bPartnerConfigStatus = b; }
uint8_t bGetPartnerConfigStatus() { return s_bPartnerConfigStatus; }

uint8_t fAreDriveCopiesKnown() { return s_fDriveCopiesKnown; }
void ForgetDriveCopies() {
    s_fDriveCopiesKnown = FALSE;
    s_bDriveCopies = 0;
}

uint8_t fDriveCopyNamesMember(const uint8_t* pbWwn, const CONFIG_RANK_RECORD& sRank, uint8_t bMember) {
    if (s_fDriveCopiesKnown != TRUE) return TRUE;
    for (uint8_t i = 0; i < s_bDriveCopies; i++) {
        const DRIVE_COPY& d = s_asDriveCopy[i];
        if (std::memcmp(d.abWwn, pbWwn, sizeof d.abWwn) != 0) continue;
        if (d.fUnreadable == TRUE) return TRUE;
        for (uint8_t c = 0; c < d.bClaims; c++) {
            const MEMBER_CLAIM& k = d.asClaim[c];
            if (k.bMember == bMember && k.bRaidLevel == sRank.bRaidLevel && k.wChunk == sRank.wChunkSize) return TRUE;
        }
        return FALSE;
    }
    // Not read by the load: nothing says it holds the array's data.
    return FALSE;
}

uint8_t ReadConfigImageFromSasDrive(SAS_DEVICE_ENTRY* psDevice, CONFIG_IMAGE* psBuffer) {
    const BUFFER_HANDLE dBuffer = dImageHandle(psBuffer);
    uint8_t bStatus = 0, bKey = 0;
    const uint8_t abCapacity[10] = {SCSI_READ_CAPACITY10};
    if (bReadFromDrive(psDevice, abCapacity, READ_CAPACITY_BYTES, dBuffer, &bStatus, &bKey) != STATUS_OK ||
        bStatus != SCSI_STATUS_GOOD) {
        return CONFIG_READ_NO_ANSWER;
    }
    // Only drives of 512-byte blocks carry a copy.
    if (dGetBe32At(psBuffer, 4) != COPY_BLOCK_BYTES) return CONFIG_READ_NO_ANSWER;
    const uint64_t lFirst = static_cast<uint64_t>(dGetBe32At(psBuffer, 0)) - CONFIG_COPY_BLOCKS_BEFORE_END;
    uint8_t abRead[10] = {SCSI_READ10};
    PutBe32(abRead + 2, static_cast<uint32_t>(lFirst));
    PutBe16(abRead + 7, static_cast<uint16_t>(CONFIG_IMAGE_BLOCKS));
    const uint8_t b = bReadFromDrive(psDevice, abRead, CONFIG_IMAGE_SIZE, dBuffer, &bStatus, &bKey);
    if (b != STATUS_OK || bStatus != SCSI_STATUS_GOOD) {
        return b == STATUS_OK && bStatus == SCSI_STATUS_CHECK_CONDITION && bKey == SENSE_MEDIUM_ERROR
                   ? CONFIG_READ_MEDIUM_ERROR
                   : CONFIG_READ_NO_ANSWER;
    }
    return fIsConfigImageValid(psBuffer);
}

uint8_t LoadConfigFromSasDrives() {
    CONFIG_IMAGE* psLive = pGetConfigImage();
    CONFIG_IMAGE* psBuffer = pGetScratchConfigImage();
    COPY_CHOICE sChoice{};
    pGetControllerWWN(sChoice.abOwnWwn);
    SAS_DEVICE_LIST* psList = pGetSASDriveInfoList();
    const uint8_t bCount = psList->bEntryCount < SAS_MAX_DEVICES ? psList->bEntryCount : SAS_MAX_DEVICES;
    ForgetDriveCopies();
    for (uint8_t i = 0; i < bCount; ++i) {
        SAS_DEVICE_ENTRY& sDevice = psList->asEntry[i];
        if (sDevice.fValid != TRUE) continue;
        std::memset(psBuffer, 0, CONFIG_IMAGE_SIZE);
        const uint8_t bResult = ReadConfigImageFromSasDrive(&sDevice, psBuffer);
        if (bResult == CONFIG_READ_NO_ANSWER) {
            sDevice.fValid = FALSE;   // absent from now on
            continue;
        }
        // A drive of a member's name is judged by its own copy: one that was
        // put in blank, or wiped, holds none of the array's data.
        NoteDriveCopy(sDevice, bResult, psBuffer);
        if (bResult == TRUE && sChoice.Takes(psBuffer)) CopyConfigImage(psBuffer, psLive);
    }
    s_fDriveCopiesKnown = TRUE;
    SetConfigApplyOption(TRUE);
    if (sChoice.fInstalled) {
        SetConfigValid(TRUE);
        ConfigUpgrade(psLive);
    } else {
        std::memset(psLive, 0, CONFIG_IMAGE_SIZE);
        SetConfigValid(FALSE);
        MakeDefaultConfiguration(psLive, TRUE);
        // Without arrays the generation stays 0; sealed, the live image
        // passes its own checks.
        SealEmptyConfigImage(psLive);
    }
    SetConfigValid(ToFlag(psLive->sHeader.wRankCount != 0));
    s_fConfigLoadRunning = FALSE;
    return STATUS_OK;
}

uint8_t LoadConfigFromPartner(uint8_t fKeepImage) {
    CONFIG_IMAGE* psLive = pGetConfigImage();
    uint8_t bTarget;
    if (fIsPartnerOnPath1() == TRUE) {
        bTarget = bGetPartnerAlpaPath1();
    } else if (fIsPartnerOnPath2() == TRUE) {
        bTarget = bGetPartnerAlpaPath2();
    } else {
        if (fKeepImage == FALSE) {
            SetConfigValid(FALSE);
            SealEmptyConfigImage(psLive);
        }
        return 0;
    }
    // Received into the scratch image and taken only when valid: a torn or
    // corrupt answer must not replace the live image.
    CONFIG_IMAGE* psBuffer = pGetScratchConfigImage();
    uint8_t abCdb[10] = {SCSI_READ_BUFFER, 0x00, PARTNER_BUFFER_ID_CONFIG};
    // Whether the journals kept since this controller outlived its partner
    // are still the newest shows only in the configuration read here: the
    // partner waits for a later request to be told.
    abCdb[PARTNER_CDB_OUTLIVED_BYTE] = fGetOutlivedPartnerRecord() == TRUE ? PARTNER_OUTLIVED_NOT_YET_KNOWN : FALSE;
    PutBe24(abCdb + 6, CONFIG_IMAGE_SIZE);
    for (uint8_t t = 0; t < PARTNER_READ_TRIES; ++t) {
        uint8_t bStatus = 0, bKey = 0, bAsc = 0, bAscq = 0;
        const uint8_t b = bSendSCSICommandAndWait(bTarget, 0, abCdb, TRUE, CONFIG_IMAGE_SIZE, dImageHandle(psBuffer),
                                                  &bStatus, &bKey, &bAsc, &bAscq);
        if (b != STATUS_OK || (bStatus != SCSI_STATUS_GOOD && bStatus != FALSE && bStatus != TRUE)) continue;
        if (fIsConfigImageValid(psBuffer) != TRUE) return 0;
        CopyConfigImage(psBuffer, psLive);
        SetPartnerConfigStatus(bStatus);
        SetConfigValid(ToFlag(psLive->sHeader.wRankCount != 0));
        s_fConfigLoadRunning = FALSE;
        return STATUS_OK;
    }
    return 0;
}

}  // namespace fw
