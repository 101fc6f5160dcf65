// Building configurations on a running controller the way an operator's
// tools do: open an edit, create arrays, logical drives, mappings and
// spares through the configuration operations, ask for a commit and run
// the main loop until it is done.  For system tests of every subsystem.
//
//   cfgbuild::Builder b(board);
//   ASSERT_TRUE(b.WaitIdle());
//   ASSERT_TRUE(b.MakeArrayWithLd({fw::RAID_LEVEL_5, {1, 2, 3, 4}}, 4));
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "config/address_translation.h"
#include "config/array_operations.h"
#include "config/config_commit.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_phase.h"
#include "config/ld_operations.h"
#include "config/san_lun_map.h"
#include "config/spares_wwn.h"
#include "enclosure/drive_rescan.h"
#include "enclosure/drive_table.h"
#include "executive/kernel_queue.h"
#include "executive/types.h"
#include "sas/sas_device_list.h"
#include "sim/board.h"

namespace cfgbuild {

constexpr uint64_t kSettleNs = 600'000'000'000ull;

struct ArraySpec {
    uint8_t bLevel = fw::RAID_LEVEL_5;
    std::vector<unsigned> slots;       // chassis slots of the members, in member order
    uint16_t wChunk = 256;
    uint8_t bSubRanks = 0;             // RAID 50 and level 7
    bool fInitialize = false;
    uint8_t bCapacityReserve = 0;
    uint8_t bCachePolicy = 0x01;       // write-back
    std::string name = "ARRAY";
};

// A 32-byte blank-padded name.
inline void PutName(char* pc, const std::string& s) {
    std::memset(pc, ' ', 32);
    std::memcpy(pc, s.data(), s.size() < 32 ? s.size() : 32);
}

class Builder {
public:
    explicit Builder(sim::Board& board) : m_board(board) {}

    // Runs until the phase machine rests and no commit is pending or running,
    // after the drive table has been built once.
    bool WaitIdle(uint64_t ns = kSettleNs) {
        return m_board.RunUntil(
                   [] {
                       return fw::dGetDriveTableChangeCount() != 0 && fw::bGetConfigPhase() == fw::CONFIG_PHASE_IDLE &&
                              fw::fIsConfigUpdatePending() != fw::TRUE && fw::fIsConfigCommitInProgress() != fw::TRUE &&
                              fw::fIsDriveRescanInProgress() != fw::TRUE && fw::fIsDriveRescanRequested() != fw::TRUE;
                   },
                   ns) == sim::StopKind::Running &&
               IsIdle();
    }

    // The WWN the firmware lists for the drive of a chassis slot.
    static bool SlotWwn(unsigned uSlot, uint8_t* pbWwn) {
        const fw::SAS_DEVICE_LIST* ps = fw::pGetSASDriveInfoList();
        for (uint8_t i = 0; i < ps->bEntryCount; ++i) {
            if (ps->asEntry[i].bSlot != uSlot || ps->asEntry[i].fValid != fw::TRUE) continue;
            std::memcpy(pbWwn, ps->asEntry[i].abWWN, 8);
            return true;
        }
        return false;
    }

    // Phase 1 for the editor: the write token, then the scratch copy.
    bool OpenEdit() {
        if (!WaitIdle()) return false;
        fw::SetConfigPhase(fw::CONFIG_PHASE_EDIT);
        fw::SetConfigPhaseStep(0);
        fw::SetConfigRequester(fw::REQUESTER_EDITOR);
        fw::RequestConfigurationService();
        return m_board.RunUntil([] { return fw::bGetConfigPhase() == fw::CONFIG_PHASE_IDLE; }, kSettleNs) ==
               sim::StopKind::Running;
    }

    // Asks for the commit of the scratch image and runs until it is done;
    // true when it wrote the copies.
    bool Commit() {
        fw::RequestConfigUpdate(fw::REQUESTER_EDITOR);
        return WaitIdle() && fw::bGetConfigCommitResult() == fw::STATUS_OK;
    }

    // The request of the array the test describes, as the configuration
    // operation (or a management client) takes it; false when a member's
    // slot holds no drive.
    static bool ArrayRequest(const ArraySpec& s, fw::CONFIG_RANK_RECORD* psRequest) {
        fw::CONFIG_RANK_RECORD& sRequest = *psRequest;
        sRequest = fw::CONFIG_RANK_RECORD{};
        sRequest.bRaidLevel = s.bLevel;
        sRequest.bDriveCount = static_cast<uint8_t>(s.slots.size());
        sRequest.wChunkSize = s.wChunk;
        sRequest.bParityCount = s.bSubRanks;
        sRequest.bCachePolicy = s.bCachePolicy;
        sRequest.fCacheFlushArray = fw::FALSE;
        sRequest.fInitialized = s.fInitialize ? fw::TRUE : fw::FALSE;
        sRequest.wWriteThreshold = 5;
        sRequest.bCapacityReserve = s.bCapacityReserve;
        PutName(sRequest.acArrayName, s.name);
        for (size_t m = 0; m < s.slots.size() && m < fw::MAX_RANK_MEMBERS; ++m) {
            if (!SlotWwn(s.slots[m], sRequest.aabMemberWwn[m])) return false;
        }
        return true;
    }
    // In an open edit: the array the test describes; 255 or 0 as CreateArray says.
    uint8_t CreateArray(const ArraySpec& s) {
        fw::CONFIG_RANK_RECORD sRequest;
        if (!ArrayRequest(s, &sRequest)) return 0;
        return fw::CreateArray(&sRequest);
    }

    // In an open edit: a logical drive on the first free extent of the
    // array, of all of it (units 0) or of the units given, available on
    // every host port; 0 when the array has no free extent.
    static uint8_t CreateLdOnArray(uint16_t wRank, uint16_t wUnits = 0, const std::string& name = "LD") {
        fw::SEGMENT_MAP map;
        fw::BuildLdFreeSpaceMap(fw::pGetScratchConfigImage(), fw::FALSE, &map);
        uint16_t e = 0;
        while (e < map.dEntryCount && (map.asEntry[e].wRank != wRank || map.asEntry[e].wSizeUnits == 0)) ++e;
        if (e >= map.dEntryCount) return 0;
        char acName[32];
        PutName(acName, name);
        return fw::CreateLogicalDrive(wUnits == 0 ? map.asEntry[e].wSizeUnits : wUnits, e, 512, 0x0F, acName);
    }

    // In an open edit: a logical drive of the units (1953792 blocks each)
    // available on every host port.
    static uint8_t CreateLd(uint16_t wUnits, const std::string& name = "LD") {
        char acName[32];
        PutName(acName, name);
        return fw::CreateLogicalDrive(wUnits, fw::ANY_EXTENT, 512, 0x0F, acName);
    }

    // A mapping that shows the logical drives at host LUNs 0, 1, ... to one
    // initiator, as the configuration operation takes it.
    static fw::SAN_LUN_MAP_ENTRY MapRequest(uint64_t lPortWwn, const std::vector<uint16_t>& awLds,
                                            const std::string& name = "MAP") {
        fw::SAN_LUN_MAP_ENTRY sRequest{};
        fw::InitSanLunMapRequest(&sRequest);
        for (int i = 0; i < 8; ++i) {
            sRequest.abNodeWwn[i] = static_cast<uint8_t>(lPortWwn >> (56 - 8 * i));
            sRequest.abPortWwn[i] = sRequest.abNodeWwn[i];
        }
        sRequest.abNodeWwn[0] ^= 0x10;   // the node name beside the port name
        sRequest.wMapControllerLun = 0xFFFF;
        for (size_t n = 0; n < awLds.size(); ++n) sRequest.awLunMap[n] = static_cast<uint16_t>(0x7800 | awLds[n]);
        PutName(sRequest.acMapName, name);
        return sRequest;
    }
    // In an open edit: that mapping.
    static uint8_t MapToInitiator(uint64_t lPortWwn, const std::vector<uint16_t>& awLds,
                                  const std::string& name = "MAP") {
        const fw::SAN_LUN_MAP_ENTRY sRequest = MapRequest(lPortWwn, awLds, name);
        return fw::CreateSanLunMapping(&sRequest);
    }

    // In an open edit: the drive of the slot as a global spare.
    uint8_t AddGlobalSpare(unsigned uSlot) {
        uint8_t abWwn[8];
        if (!SlotWwn(uSlot, abWwn)) return 0;
        return fw::AddSpare(abWwn, fw::GLOBAL_SPARE);
    }

    // The whole road for one array: edit, create, a logical drive of the
    // units, commit.
    bool MakeArrayWithLd(const ArraySpec& s, uint16_t wUnits) {
        return OpenEdit() && CreateArray(s) == fw::STATUS_OK && CreateLd(wUnits) == fw::STATUS_OK && Commit();
    }

private:
    static bool IsIdle() {
        return fw::bGetConfigPhase() == fw::CONFIG_PHASE_IDLE && fw::fIsConfigUpdatePending() != fw::TRUE &&
               fw::fIsConfigCommitInProgress() != fw::TRUE;
    }

    sim::Board& m_board;
};

}  // namespace cfgbuild
