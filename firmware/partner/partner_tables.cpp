// The tables a controller hands its partner when it answers the partner's
// start-of-day request: its host-port initiator records (143), which decide
// which logical drives both controllers present, and which go again
// whenever a host port's initiators change; its drive table (142); and the
// list of drive firmware files found on the shared drives (144).
#include <algorithm>
#include <cstring>

#include "config/host_port_tables.h"
#include "config/ld_table.h"
#include "enclosure/drive_rescan.h"
#include "enclosure/drive_table.h"
#include "executive/buffer_pages.h"
#include "executive/types.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"

namespace fw {

namespace {

constexpr uint8_t MESSAGE_DRIVE_TABLE = 142;
constexpr uint8_t MESSAGE_HOST_PORT_TABLES = 143;
constexpr uint8_t MESSAGE_DRIVE_FIRMWARE_LIST = 144;
// The lengths the messages carry, whatever this build's tables hold.
constexpr uint32_t DRIVE_TABLE_BYTES = PARTNER_DRIVE_TABLE_BYTES;
constexpr uint32_t HOST_PORT_TABLES_BYTES = 2 * sizeof(HOST_PORT_RECORD);
constexpr uint32_t DRIVE_FIRMWARE_LIST_BYTES = sizeof(DRIVE_FIRMWARE_IMAGE_LIST);
static_assert(HOST_PORT_TABLES_BYTES == 10208);
static_assert(DRIVE_FIRMWARE_LIST_BYTES == 6660);

constexpr uint32_t DRIVE_TABLE_SENT = std::min<uint32_t>(sizeof(DRIVE_INFO_LIST), DRIVE_TABLE_BYTES);
// The table received is taken over whole from the message's pages.
static_assert(sizeof(DRIVE_INFO_LIST) <= DRIVE_TABLE_BYTES);

// The partner's drive table as it last sent it.
uint8_t s_abPartnerDriveTable[DRIVE_TABLE_BYTES];

}  // namespace

uint32_t dCopyDriveTableForPartner(void* pOut) {
    std::memset(pOut, 0, DRIVE_TABLE_BYTES);
    if (pGetDriveInfoList() != nullptr) std::memcpy(pOut, pGetDriveInfoList(), DRIVE_TABLE_SENT);
    return DRIVE_TABLE_BYTES;
}

const uint8_t* pGetPartnerDriveTableCopy() { return s_abPartnerDriveTable; }

// Both host ports' initiator records go, whichever port changed: the
// partner replaces its copy of the two as one.  A change that cannot go now
// reaches the partner with the port's next scan.
void NotifyPartnerHostPortChange(uint8_t) {
    (void)bSendPartnerTable(MESSAGE_HOST_PORT_TABLES, 0, pGetHostPortRecords(), HOST_PORT_TABLES_BYTES,
                            HOST_PORT_TABLES_BYTES);
}

// A table that cannot go now is not sent again: the partner's own start of
// day and discovery fill in what it lacks.
void SendStartOfDayTables() {
    NotifyPartnerHostPortChange(0);
    (void)bSendSasPhyMessage157(FALSE);
    (void)bSendSasPhyMessage190(FALSE);
    (void)bSendDriveTablesToPartner();
}

uint8_t bSendDriveTablesToPartner() {
    if (pGetDriveInfoList() != nullptr) {
        const uint8_t b =
            bSendPartnerTable(MESSAGE_DRIVE_TABLE, 0, pGetDriveInfoList(), DRIVE_TABLE_SENT, DRIVE_TABLE_BYTES);
        if (b == STATUS_RETRY) return b;
    }
    if (pGetDriveFirmwareImageList() != nullptr) {
        const uint8_t b = bSendPartnerTable(MESSAGE_DRIVE_FIRMWARE_LIST, 0, pGetDriveFirmwareImageList(),
                                            DRIVE_FIRMWARE_LIST_BYTES, DRIVE_FIRMWARE_LIST_BYTES);
        if (b == STATUS_RETRY) return b;
    }
    return STATUS_OK;
}

// Both controllers see the same drives, but only the master reads them:
// the partner's table becomes this controller's too, each drive named by
// the target id this controller reaches it by, and the configuration's
// drive slots put in enclosure and slot order again.  Without it the slave
// had drive slots but no drive behind them.  A table naming more records
// than it can hold is refused and the current one kept: every reader walks
// the table by its counts.
uint8_t bReceivePartnerDriveTable(PARTNER_MESSAGE_SLOT* ps) {
    if (uint8_t bResult = STATUS_OK; !ReceivePartnerTable(ps, DRIVE_TABLE_BYTES, &bResult)) return bResult;
    const auto* psTable = static_cast<const DRIVE_INFO_LIST*>(pBufferHandleToPointer(ps->dBuffer));
    if (psTable->bDriveCount > DRIVE_INFO_RECORDS || psTable->bEnclosureRecordCount > DRIVE_ENCLOSURE_RECORDS) {
        SendPartnerCommandStatus(ps, 5, 0x24, 0);
        return STATUS_OK;
    }
    std::memcpy(s_abPartnerDriveTable, psTable, DRIVE_TABLE_BYTES);
    ReplaceDriveInfoList(psTable);
    RebuildDriveTargetIds();
    SendPartnerCommandStatus(ps, 0, 0, 0);
    return STATUS_OK;
}

// The partner's initiators decide which logical drives both present.
uint8_t bReceivePartnerHostPortTables(PARTNER_MESSAGE_SLOT* ps) {
    if (uint8_t bResult = STATUS_OK; !ReceivePartnerTable(ps, HOST_PORT_TABLES_BYTES, &bResult)) return bResult;
    HOST_PORT_RECORD* psRecords = pGetPartnerPortRecords();
    if (psRecords != nullptr) {
        std::memcpy(psRecords, pBufferHandleToPointer(ps->dBuffer), HOST_PORT_TABLES_BYTES);
        RebuildHostLunVisibility();
    }
    SendPartnerCommandStatus(ps, 0, 0, 0);
    return STATUS_OK;
}

// Both see the same drives, so the partner's list of the files on them
// stands for this controller's until its own next drive scan.
uint8_t bReceivePartnerDriveFirmwareList(PARTNER_MESSAGE_SLOT* ps) {
    if (uint8_t bResult = STATUS_OK; !ReceivePartnerTable(ps, DRIVE_FIRMWARE_LIST_BYTES, &bResult)) return bResult;
    DRIVE_FIRMWARE_IMAGE_LIST* psList = pGetDriveFirmwareImageList();
    if (psList != nullptr) std::memcpy(psList, pBufferHandleToPointer(ps->dBuffer), DRIVE_FIRMWARE_LIST_BYTES);
    SendPartnerCommandStatus(ps, 0, 0, 0);
    return STATUS_OK;
}

}  // namespace fw
