// INQUIRY and its vital product data pages.
//
// Everything is built in one zeroed buffer page and sent with GOOD status in
// one data-in transfer; the page goes back to the pool when the command is
// freed.
#include "target/inquiry.h"

#include <cstring>

#include "config/apply_settings.h"
#include "config/config_image.h"
#include "config/host_lun_tables.h"
#include "config/ld_table.h"
#include "config/nvram_records.h"
#include "dataservices/data_services.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/host_interface.h"
#include "hw/scsi.h"
#include "target/command_access.h"
#include "target/command_replies.h"
#include "target/host_command_codes.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

constexpr uint8_t IDENTITY_TEXT_SERIAL = 0x01;   // NVRAM identity option byte, bit 0
constexpr uint32_t OEM_CODE_VERSION_SHOWN = 0x101;
constexpr uint8_t PERIPHERAL_PROCESSOR = 0x03;
constexpr uint8_t SERIAL_CHARACTERS = 8;
constexpr uint8_t LD_NAME_LENGTH = 32;

// Standard data fields that differ by host interface: Fibre Channel and the
// SAS target driver, or the others.
struct STANDARD_FIELDS {
    uint8_t bResponseFormat;   // byte 3
    uint8_t bFlags6;
    uint8_t bFlags7;
    uint8_t bByte56;
};
constexpr STANDARD_FIELDS STANDARD_SERIAL_HOSTS = {0x32, 0x10, 0x02, 0x00};
constexpr STANDARD_FIELDS STANDARD_OTHER_HOSTS = {0x12, 0x01, 0x3E, 0x0F};
constexpr uint8_t VERSION_OTHER_HOSTS = 0x04;
constexpr uint8_t PORT2_FLAGS6 = 0x30;

// Designator headers of page 0x83: code set, association and type, length.
constexpr uint8_t CODE_SET_BINARY = 0x01;
constexpr uint8_t CODE_SET_ASCII = 0x02;
constexpr uint8_t DESIGNATOR_NAA = 0x03;
constexpr uint8_t DESIGNATOR_VENDOR = 0x00;
constexpr uint8_t DESIGNATOR_RELATIVE_PORT = 0x14;   // association 1 (port), type 4
constexpr uint8_t VENDOR_BINARY_LENGTH = 10;

// Whom the INQUIRY is about.
struct LUN_IDENTITY {
    uint16_t wLunNumber;   // NO_LUN_NUMBER when no logical drive
    uint16_t wLd;          // NO_LUN_INDEX when none; a VLUN's source
    bool fSnapshot;
    uint16_t wVlun;        // the VLUN's own index
    bool fTextSerial;
    uint8_t abWwn[8];
};

LUN_IDENTITY sIdentityOf(const KERNEL_ENTRY* psEntry) {
    LUN_IDENTITY s{};
    (void)pGetControllerWWN(s.abWwn);
    s.fTextSerial = (bGetNvramByteD8() & IDENTITY_TEXT_SERIAL) != 0;
    s.wLd = psEntry->wLunIndex < LUN_COUNT ? psEntry->wLunIndex : NO_LUN_INDEX;
    s.fSnapshot = s.wLd != NO_LUN_INDEX && HasFlag(psEntry, KE_FLAG_SNAPSHOT);
    if (s.fSnapshot) {
        s.wLunNumber = pHostFields(psEntry)->wVlun;
        s.wVlun = static_cast<uint16_t>(s.wLunNumber & ~SNAPSHOT_LUN_BIT);
    } else {
        s.wLunNumber = s.wLd == NO_LUN_INDEX ? NO_LUN_NUMBER : wGetLogicalDriveId(s.wLd);
    }
    return s;
}

bool IsConfiguredLd(uint16_t wLd) { return wLd < wGetLogicalDriveCount(); }

void PutSerial(const LUN_IDENTITY& s, uint8_t* pb) {
    FormatInquirySerial(dInquirySerialValue(s.wLunNumber), ToFlag(s.fSnapshot), pb);
}

uint16_t wBuildStandardData(const LUN_IDENTITY& s, uint8_t bPortCode, uint8_t* pb) {
    const uint8_t bInterface = bGetHostInterfaceType();
    const bool fSerialHost = bInterface == HOST_INTERFACE_FC || bInterface == HOST_INTERFACE_SAS_TARGET;
    const STANDARD_FIELDS& f = fSerialHost ? STANDARD_SERIAL_HOSTS : STANDARD_OTHER_HOSTS;
    pb[0] = PERIPHERAL_DIRECT_ACCESS;
    pb[2] = fSerialHost ? bGetSpcLevel() : VERSION_OTHER_HOSTS;
    pb[3] = f.bResponseFormat;
    pb[4] = INQUIRY_DATA_LENGTH - 5;
    pb[6] = f.bFlags6;
    pb[7] = f.bFlags7;
    GetNvramVendorId(pb + 8);
    GetNvramProductId(pb + 16);
    if (dGetOemCode() == OEM_CODE_VERSION_SHOWN) {
        std::memcpy(pb + 32, FIRMWARE_VERSION_CHARACTERS, sizeof(FIRMWARE_VERSION_CHARACTERS));
    } else {
        std::memset(pb + 32, ' ', sizeof(FIRMWARE_VERSION_CHARACTERS));
    }
    if (s.fTextSerial) {
        PutSerial(s, pb + 36);
    } else {
        pb[36] = static_cast<uint8_t>((s.wLunNumber >> 8) | 0x20);
        pb[37] = static_cast<uint8_t>(s.wLunNumber);
        std::memcpy(pb + 38, s.abWwn + 2, 6);
    }
    pb[56] = f.bByte56;
    GetNvramVendorText(pb + 96);
    // Each Fibre Channel port tells the host which one it is.
    if (bPortCode == PORT_CODE_FC_HOST_1) pb[6] = STANDARD_SERIAL_HOSTS.bFlags6;
    if (bPortCode == PORT_CODE_FC_HOST_2) pb[6] = PORT2_FLAGS6;
    return INQUIRY_DATA_LENGTH;
}

uint16_t wBuildListPage(uint8_t bPage, const uint8_t (&abList)[4], uint8_t* pb) {
    pb[1] = bPage;
    pb[3] = sizeof(abList);
    std::memcpy(pb + 4, abList, sizeof(abList));
    return 4 + sizeof(abList);
}

uint8_t* pbDesignator(uint8_t* pb, uint8_t bCodeSet, uint8_t bType, uint8_t bLength) {
    pb[0] = bCodeSet;
    pb[1] = bType;
    pb[3] = bLength;
    return pb + 4;
}

// The NAA designator: the logical drive's unique identifier when it has
// one, else one made of the LUN number and the controller WWN.
uint8_t* pbPutNaaDesignator(const LUN_IDENTITY& s, uint8_t* pb) {
    uint8_t abIdentifier[16] = {};
    uint32_t dSuffix = 0;
    bool fUnique = false;
    if (s.fSnapshot) {
        uint16_t wOda = 0;
        GetSnapshotIdentity(s.wVlun, abIdentifier, &dSuffix, &wOda);
        fUnique = true;
    } else if (IsConfiguredLd(s.wLd)) {
        std::memcpy(abIdentifier, pGetConfigImage()->asLd[s.wLd].abLdIdentifier, sizeof(abIdentifier));
        dSuffix = dGetBe32(abIdentifier + 12);
        for (uint8_t b : abIdentifier) fUnique = fUnique || b != 0;
    }
    if (fUnique) {
        uint8_t* pbId = pbDesignator(pb, CODE_SET_BINARY, DESIGNATOR_NAA, sizeof(abIdentifier));
        if (s.fTextSerial) {
            PutSerial(s, pbId);
            FormatInquirySerial(dSuffix, ToFlag(s.fSnapshot), pbId + SERIAL_CHARACTERS);
        } else {
            std::memcpy(pbId, abIdentifier, sizeof(abIdentifier));
        }
        return pbId + sizeof(abIdentifier);
    }
    uint8_t* pbId = pbDesignator(pb, CODE_SET_BINARY, DESIGNATOR_NAA, 8);
    if (s.fTextSerial) {
        PutSerial(s, pbId);
    } else {
        pbId[0] = static_cast<uint8_t>(((s.wLunNumber >> 8) & 0x0F) | 0x20);
        pbId[1] = static_cast<uint8_t>(s.wLunNumber);
        std::memcpy(pbId + 2, s.abWwn + 2, 6);
    }
    return pbId + 8;
}

// The logical drive's name and its numbers, in two vendor designators.
uint8_t* pbPutNameDesignators(const LUN_IDENTITY& s, uint8_t* pb) {
    uint8_t* pbName = pbDesignator(pb, CODE_SET_ASCII, DESIGNATOR_VENDOR, LD_NAME_LENGTH);
    std::memset(pbName, ' ', LD_NAME_LENGTH);
    if (!s.fSnapshot) {
        const char* pcName = pGetConfigImage()->asLd[s.wLd].acLdName;
        for (uint8_t i = 0; i < LD_NAME_LENGTH; i++) {
            const uint8_t b = static_cast<uint8_t>(pcName[i]);
            if (b >= 0x20 && b <= 0x7E) pbName[i] = b;
        }
    }
    uint8_t* pbNumbers = pbDesignator(pbName + LD_NAME_LENGTH, CODE_SET_BINARY, DESIGNATOR_VENDOR,
                                      VENDOR_BINARY_LENGTH);
    PutBe16(pbNumbers, s.wLunNumber);
    if (s.fSnapshot) {
        uint8_t abRecord[16];
        uint32_t dSuffix = 0;
        uint16_t wOda = 0;
        GetSnapshotIdentity(s.wVlun, abRecord, &dSuffix, &wOda);
        uint16_t wSource = NO_LUN_INDEX;
        uint8_t bSnapshot = 0xFF;
        GetSnapshotSourceOfLun(s.wVlun, &wSource, &bSnapshot);
        pbNumbers[2] = 1;
        PutBe16(pbNumbers + 4, s.wLd);
        PutBe16(pbNumbers + 6, wOda);
        pbNumbers[9] = bSnapshot;
    }
    return pbNumbers + VENDOR_BINARY_LENGTH;
}

bool CarriesRelativePort(uint8_t bPortCode) {
    switch (bPortCode) {
    case PORT_CODE_FC_HOST_1:
    case PORT_CODE_FC_HOST_2:
    case PORT_CODE_FC_TABLE_1:
    case PORT_CODE_FC_TABLE_2:
    case PORT_CODE_SAS_HOST_1:
    case PORT_CODE_SAS_HOST_2:
    case PORT_CODE_INTERNAL:
    case PORT_CODE_MODULE: return true;
    default: return false;
    }
}

uint16_t wBuildDeviceIdentification(const LUN_IDENTITY& s, uint8_t bPortCode, uint8_t* pb) {
    pb[1] = VPD_DEVICE_IDENTIFICATION;
    uint8_t* pbNext = pbPutNaaDesignator(s, pb + 4);
    if (s.fSnapshot || IsConfiguredLd(s.wLd)) pbNext = pbPutNameDesignators(s, pbNext);
    const uint8_t bController = bGetControllerNumber();
    if (CarriesRelativePort(bPortCode) && (bController == 1 || bController == 2)) {
        uint8_t* pbPort = pbDesignator(pbNext, CODE_SET_BINARY, DESIGNATOR_RELATIVE_PORT, 4);
        const bool fSecondPort = bPortCode == PORT_CODE_FC_HOST_2 || bPortCode == PORT_CODE_SAS_HOST_2;
        PutBe16(pbPort + 2, static_cast<uint16_t>((bController == 1 ? 1 : 3) + (fSecondPort ? 1 : 0)));
        pbNext = pbPort + 4;
    }
    const uint16_t wPageLength = static_cast<uint16_t>(pbNext - (pb + 4));
    PutBe16(pb + 2, wPageLength);
    return static_cast<uint16_t>(wPageLength + 4);
}

constexpr uint8_t SUPPORTED_PAGES[4] = {VPD_SUPPORTED_PAGES, VPD_UNIT_SERIAL, VPD_IMPLEMENTED_OPERATING_DEFINITIONS,
                                        VPD_DEVICE_IDENTIFICATION};
constexpr uint8_t OPERATING_DEFINITIONS[4] = {0x03, 0x83, 0x81, 0x83};

// The page the CDB names; 0 for a page this controller does not have.
uint16_t wBuildVitalProductData(const LUN_IDENTITY& s, uint8_t bPage, uint8_t bPortCode, uint8_t* pb) {
    switch (bPage) {
    case VPD_SUPPORTED_PAGES: return wBuildListPage(bPage, SUPPORTED_PAGES, pb);
    case VPD_UNIT_SERIAL:
        pb[1] = bPage;
        pb[3] = SERIAL_CHARACTERS;
        PutSerial(s, pb + 4);
        return 4 + SERIAL_CHARACTERS;
    case VPD_IMPLEMENTED_OPERATING_DEFINITIONS: return wBuildListPage(bPage, OPERATING_DEFINITIONS, pb);
    case VPD_DEVICE_IDENTIFICATION: return wBuildDeviceIdentification(s, bPortCode, pb);
    default: return 0;
    }
}

// A LUN without a logical drive has no device, except the one every host
// probes first (LUN 0, or the LUN the controller itself is presented at to
// the host): a processor device there.
uint8_t bUnmappedPeripheral(const KERNEL_ENTRY* psEntry) {
    const uint16_t wHostLun = wGetCommandLun(psEntry);
    if (wHostLun != 0 && wHostLun != wGetInitiatorControllerLun(psEntry)) return PERIPHERAL_NO_DEVICE;
    return fIsLinePowerMode() == TRUE ? PERIPHERAL_DIRECT_ACCESS : PERIPHERAL_PROCESSOR;
}

}  // namespace

uint32_t dInquirySerialValue(uint16_t wLunNumber) {
    uint8_t abWwn[8];
    (void)pGetControllerWWN(abWwn);
    return (dGetBe24(abWwn + 5) & 0x3FFFFF) | (static_cast<uint32_t>(wLunNumber) << 22);
}

void FormatInquirySerial(uint32_t dValue, uint8_t fLetters, uint8_t* pbOut) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    for (uint8_t i = 0; i < SERIAL_CHARACTERS; i++) {
        const uint8_t bNibble = static_cast<uint8_t>((dValue >> (28 - 4 * i)) & 0x0F);
        pbOut[i] = fLetters == TRUE ? static_cast<uint8_t>('G' + bNibble) : static_cast<uint8_t>(HEX[bNibble]);
    }
}

uint8_t AnswerInquiry(KERNEL_ENTRY* psEntry) {
    if (!PassesReservedFieldCheck(psEntry)) return STATUS_OK;
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    const uint16_t wAllocation = wGetBe16(pbCdb + 3);
    const bool fVitalProductData = (pbCdb[1] & INQUIRY_EVPD) != 0;
    const uint8_t bPage = pbCdb[2];
    if (wAllocation == 0) {
        AnswerCommand(psEntry, SCSI_STATUS_GOOD, 0, 0);
        return STATUS_OK;
    }
    if (!fVitalProductData && bPage != 0) {
        AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
        return STATUS_OK;
    }
    uint8_t* pb = pbTakeCommandPages(psEntry, 1);
    if (pb == nullptr) return STATUS_NO_PAGES;
    const LUN_IDENTITY s = sIdentityOf(psEntry);
    uint16_t wLength;
    if (fVitalProductData) {
        wLength = wBuildVitalProductData(s, bPage, psEntry->bPortCode, pb);
        // A page this controller does not have is a bad field of the CDB,
        // not a missing logical unit: hosts probe pages and go on.
        if (wLength == 0) {
            AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
            return STATUS_OK;
        }
    } else {
        wLength = wBuildStandardData(s, psEntry->bPortCode, pb);
    }
    if (s.wLd == NO_LUN_INDEX) pb[0] = bUnmappedPeripheral(psEntry);
    return bSendCommandPages(psEntry, wLength < wAllocation ? wLength : wAllocation);
}

}  // namespace fw
