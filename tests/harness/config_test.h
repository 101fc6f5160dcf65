// A board with formatted NVRAM, an event log, buffer pages and two images the
// tests build configurations in, plus builders for crafted images.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "config/apply_settings.h"
#include "config/config_image.h"
#include "config/default_config.h"
#include "config/drive_tables.h"
#include "enclosure/drive_table.h"
#include "sas/sas_device_list.h"
#include "config/rank_table.h"
#include "config/nvram_layout.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/system_state.h"
#include "executive/rtc.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "sim/board.h"
#include "harness/calendar.h"

namespace harness {

using fw::CONFIG_IMAGE;

inline CONFIG_IMAGE s_sLive;
inline CONFIG_IMAGE s_sScratch;

struct Wwn {
    uint8_t ab[8];
};

// Drive WWNs of the crafted images: 20 00 00 11 22 33 <array> <member>.
inline Wwn MemberWwn(uint8_t bRank, uint8_t bMember) {
    return Wwn{{0x20, 0x00, 0x00, 0x11, 0x22, 0x33, bRank, bMember}};
}

struct Segment {
    uint64_t lStart;
    uint64_t lBlocks;
};

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        PrepareInterruptsAndCalendar();
        fw::InitConsoleUart(115200);
        fw::ValidateNvram();
        fw::InitEventLog();
        fw::SetSystemMemorySize(board.config().memorySize);
        fw::InitBufferPages();
        // A controller that has not applied a configuration yet.
        std::memset(fw::pGetRankTable(), 0, sizeof(fw::RANK_RECORD) * fw::MAX_RANKS);
        std::memset(&s_sLive, 0, sizeof(s_sLive));
        std::memset(&s_sScratch, 0, sizeof(s_sScratch));
        fw::SetConfigImagePointer(&s_sLive);
        fw::SetScratchImagePointer(&s_sScratch);
        fw::InitFailedDriveTable();
        fw::InitDriveTables();
        fw::MakeDefaultConfiguration(&s_sLive, fw::TRUE);
        uint16_t wNext = 0;
        fw::GetEventLogPosition(&m_wFirstEvent, &wNext);
        board.ClearConsoleText();
    }

    // Appends an array right after the previous one, all members in service.
    uint8_t AddRank(uint8_t bLevel, uint8_t bDrives, uint16_t wChunk, uint64_t lBlocks, uint8_t bParity = 0) {
        CONFIG_IMAGE& s = s_sLive;
        const uint8_t r = static_cast<uint8_t>(s.sHeader.wRankCount++);
        fw::CONFIG_RANK_RECORD& sRank = s.asRank[r];
        sRank.bRankNumber = r;
        sRank.bRaidLevel = bLevel;
        sRank.bDriveCount = bDrives;
        sRank.wChunkSize = wChunk;
        sRank.lStartAddress = r == 0 ? 0 : s.asRank[r - 1].lStartAddress + s.asRank[r - 1].lLastOffset + 1;
        sRank.lLastOffset = lBlocks - 1;
        sRank.bParityCount = bParity;
        sRank.bInitState = 0xFF;
        sRank.fInitialized = fw::TRUE;
        for (uint8_t m = 0; m < bDrives && m < 16; m++) std::memcpy(sRank.aabMemberWwn[m], MemberWwn(r, m).ab, 8);
        return r;
    }

    uint16_t AddLd(const std::vector<Segment>& asSegments, uint16_t wDefaultLun = 0xFFFF) {
        CONFIG_IMAGE& s = s_sLive;
        const uint16_t l = s.sHeader.wLdCount++;
        fw::CONFIG_LD_RECORD& sLd = s.asLd[l];
        sLd.wLdNumber = l;
        sLd.wDefaultLun = wDefaultLun;
        sLd.wLdId = static_cast<uint16_t>(0x8000 | l);
        sLd.wBlockSize = 512;
        sLd.bSegmentCount = static_cast<uint8_t>(asSegments.size());
        for (size_t i = 0; i < asSegments.size(); i++) {
            fw::LD_SEGMENT& sSeg = sLd.asSegment[i];
            sSeg.lStart = asSegments[i].lStart;
            sSeg.lLastOffset = asSegments[i].lBlocks - 1;
            sSeg.lEnd = sSeg.lStart + sSeg.lLastOffset;
            sSeg.wSizeGb = static_cast<uint16_t>(asSegments[i].lBlocks / fw::CAPACITY_UNIT_BLOCKS);
        }
        return l;
    }

    // Every member of every array present, except the (array, member) pairs
    // listed as absent.
    void PresentAllExcept(const std::vector<std::pair<uint8_t, uint8_t>>& aAbsent = {}) {
        fw::DRIVE_ADDRESS_LIST* psList = fw::pGetDriveAddressList();
        std::memset(psList, 0, sizeof(*psList));
        fw::InitSASDeviceList(fw::pGetSASDriveInfoList());
        fw::ClearDriveInfoList(fw::pGetDriveInfoList());
        uint8_t bTarget = 0;
        for (uint8_t r = 0; r < s_sLive.sHeader.wRankCount; r++) {
            for (uint8_t m = 0; m < s_sLive.asRank[r].bDriveCount && m < 16; m++) {
                bool fAbsent = false;
                for (const auto& p : aAbsent) fAbsent |= p.first == r && p.second == m;
                if (!fAbsent) AddPresentDrive(MemberWwn(r, m), bTarget);
                bTarget++;
            }
        }
    }

    void AddPresentDrive(const Wwn& sWwn, uint8_t bTarget) {
        fw::DRIVE_ADDRESS_LIST* psList = fw::pGetDriveAddressList();
        ASSERT_LT(psList->bCount, fw::DRIVE_ADDRESS_ENTRIES);
        fw::DRIVE_ADDRESS_ENTRY& sEntry = psList->asEntry[psList->bCount++];
        sEntry.bTarget = bTarget;
        sEntry.fClaimed = fw::FALSE;
        sEntry.fFailed = fw::FALSE;
        std::memcpy(sEntry.abAddress, sWwn.ab, 8);
        // The drive side lists the same drive.
        fw::SAS_DEVICE_LIST* psDevices = fw::pGetSASDriveInfoList();
        fw::SAS_DEVICE_ENTRY& sDevice = psDevices->asEntry[psDevices->bEntryCount++];
        sDevice.bTargetId = bTarget;
        sDevice.fValid = fw::TRUE;
        sDevice.fSAS = fw::TRUE;
        std::memcpy(sDevice.abWWN, sWwn.ab, 8);
        // And the drive table has read it.
        fw::DRIVE_INFO sRecord;
        fw::ClearDriveInfoRecord(&sRecord);
        sRecord.bLoopID1 = sRecord.bHardIDFromADISC = bTarget;
        std::memcpy(sRecord.abWWN, sWwn.ab, 8);
        (void)fw::fAppendDriveInfo(fw::pGetDriveInfoList(), &sRecord);
    }

    // Codes of the events posted since SetUp, oldest first.
    std::vector<uint8_t> EventCodes() {
        uint16_t wCount = 0;
        uint16_t wNext = 0;
        fw::GetEventLogPosition(&wCount, &wNext);
        std::vector<uint8_t> ab;
        for (uint16_t w = m_wFirstEvent; w < wCount; w++) ab.push_back(fw::psGetEventLogEntry(w)->bCode);
        return ab;
    }
    const fw::EVENT_LOG_ENTRY* FindEvent(uint8_t bCode) {
        uint16_t wCount = 0;
        uint16_t wNext = 0;
        fw::GetEventLogPosition(&wCount, &wNext);
        for (uint16_t w = m_wFirstEvent; w < wCount; w++)
            if (fw::psGetEventLogEntry(w)->bCode == bCode) return fw::psGetEventLogEntry(w);
        return nullptr;
    }

    sim::Board board;
    uint16_t m_wFirstEvent = 0;
};

}  // namespace harness
