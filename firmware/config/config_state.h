// Controller-wide variables of the configuration database shared by the
// menus, the phase machine, the firmware download and the management
// protocol, and the printouts of array and logical drive records.
#pragma once

#include <cstdint>

#include "config/config_commit.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_phase.h"

namespace fw {

void SetConfigWorkBuffer(uint8_t* pbBuffer);
uint8_t* pGetConfigWorkBuffer();
void SetConfigModified(uint8_t f);
uint8_t fGetConfigModified();
void SetArrayDeletedFlag(uint8_t f);
uint8_t fGetArrayDeletedFlag();
// A fresh edit: nothing of an earlier one stays modified or pending (the
// rebuild, parity-check and stripe-initialisation requests).
void ForgetEarlierEdit();
void SetMenuSelectedItem(uint8_t b);
uint8_t bGetMenuSelectedItem();
void SetMenuSelection(uint8_t b);
uint8_t bGetMenuSelection();
void SetMenuController(uint8_t b);
uint8_t bGetMenuController();
void SetMenuParameter(uint8_t b);
uint8_t bGetMenuParameter();
void SetMenuDrive(uint8_t b);
uint8_t bGetMenuDrive();
// The two 16-bit registers (a logical drive number or count, a region).
void SetMenuLogicalDrive(uint16_t w);
uint16_t bGetMenuLogicalDrive();
void SetMenuLdCount(uint16_t w);
uint16_t bGetMenuLdCount();
void SetMenuSnapshotItem(uint8_t b);
uint8_t bGetMenuSnapshotItem();
uint8_t* pGetMenuArrayList();
void SetDownloadImageBuffer(uint8_t* pb);
uint8_t* pGetDownloadImageBuffer();
void SetDownloadImageLength(uint32_t d);
uint32_t dGetDownloadImageLength();
void SetDownloadImageReady(uint8_t f);
uint8_t fIsDownloadImageReady();
void SetDriveDownloadByte1(uint8_t b);
uint8_t bGetDriveDownloadByte1();
void SetDriveDownloadByte2(uint8_t b);
uint8_t bGetDriveDownloadByte2();

// Places in NVRAM that other subsystems keep their records in.
const uint8_t* pGetEventLogArea();
const uint8_t* pGetNvramRegion200();
const uint8_t* pGetNvramJournalEntry(uint16_t wIndex, uint8_t fOwn);
uint8_t fIsJournalFormatted();
void MarkJournalFormatted();
const uint8_t* pGetNvramRebuildRecord();     // the copy the selector names
const uint8_t* pGetNvramRebuildRecordA();
const uint8_t* pGetNvramRebuildRecordB();
uint8_t bGetNvramRebuildSelector();
void SetNvramRebuildSelector(uint8_t b);
uint8_t bGetNvramRebuildPendingFlag();
void SetNvramRebuildPendingFlag(uint8_t f);
uint8_t bGetNvramExpansionFlag();
void SetNvramExpansionFlag(uint8_t f);
uint8_t bGetNvramExpansionSelector();
void SetNvramExpansionSelector(uint8_t b);
const uint8_t* pGetNvramExpansionRecord();   // the copy the selector names
const uint8_t* pGetNvramExpansionRecordA();
const uint8_t* pGetNvramExpansionRecordB();
void SetNvramJournalWord(uint32_t d);
uint32_t dGetNvramJournalWord();
void SetNvramSasByte1(uint8_t b);
uint8_t bGetNvramSasByte1();
void SetNvramSasByte2(uint8_t b);
uint8_t bGetNvramSasByte2();

void PrintRankRecord(const CONFIG_IMAGE* psImage, uint8_t bRank, uint8_t fMembers);
void PrintLdRecord(const CONFIG_IMAGE* psImage, uint16_t wLd);

}  // namespace fw
