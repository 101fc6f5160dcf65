// A controller brought up as far as host READ and WRITE need, with one array
// and one logical drive, and helpers that play the parts around the cache:
// the dispatcher admitting a command, the host sending a write's data, the
// stage services of the main loop, and the host reading its answers off the
// host chip's request ring.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "cache/cache.h"
#include "cache/cache_entry.h"
#include "cache/nvram_journal.h"
#include "cache/write_sort.h"
#include "cache/write_stages.h"
#include "cache/write_start.h"
#include "config/config_db.h"
#include "harness/config_test.h"
#include "eventlog/statistics.h"
#include "executive/kernel_queue.h"
#include "executive/startup.h"
#include "raid/xor_engine.h"
#include "sas/sas_scsi_path.h"
#include "target/back_end_completion.h"
#include "executive/tick.h"
#include "fc/fc_driver.h"
#include "hw/fc_target_iocb.h"
#include "hw/scsi.h"
#include "sim/board.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"
#include "harness/fc_ring_standin.h"

namespace iotest {

constexpr uint8_t kPort = fw::PORT_CODE_FC_HOST_1;
constexpr uint16_t kLun = 0;
constexpr uint32_t kBlock = 512;

// What the host saw of one command: its data-out requests and its status.
struct HostAnswer {
    std::vector<std::pair<uint32_t, uint32_t>> aSegments;   // data-out: bus address, bytes
    std::vector<std::pair<uint32_t, uint32_t>> aDataIn;     // data-in: bus address, bytes
    bool fStatus = false;
    uint16_t wStatus = 0;
    uint8_t bKey = 0;
    uint8_t bAsc = 0;
    uint8_t bAscq = 0;
};

class HostIo : public harness::ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        fw::StartNvramJournal();
        fw::StartNvramJournalReplay();
        fw::InitNvramJournal();
        fw::InitHostCommandPool();
        fw::InitKernelEntryPools();
        fw::InitXorQueues();
        fw::InitBackEndCompletion();
        m_psRing = std::make_unique<fctest::RequestRingStandIn>(kPort);
        ClearRing();
    }

    // One array of the level and one logical drive over all of it.
    void MakeArray(uint8_t bLevel, uint8_t bDrives, uint16_t wChunk, uint64_t lBlocks, uint8_t bParity = 0) {
        const uint8_t r = AddRank(bLevel, bDrives, wChunk, lBlocks, bParity);
        harness::s_sLive.asRank[r].bCachePolicy = fw::POLICY_WRITE_BACK;
        AddLd({{0, lBlocks}}, kLun);
        PresentAllExcept();
        fw::ApplyStoredSettings(fw::FALSE, fw::TRUE);
    }

    // The dispatcher's part: a READ(16) or WRITE(16) decoded, its first pass
    // set up, admitted and queued on its LUN's ring.
    fw::KERNEL_ENTRY* Admit(uint8_t bOpcode, uint64_t lLba, uint32_t dBlocks, uint16_t wInitiator = 7) {
        fw::KERNEL_ENTRY* ps = nullptr;
        uint16_t wIndex = 0;
        EXPECT_EQ(fw::bAllocTargetEntries(kPort, 1, &ps, &wIndex, fw::FALSE), fw::STATUS_OK);
        uint8_t* pbHead = reinterpret_cast<uint8_t*>(ps);
        std::memcpy(pbHead + 8, &wInitiator, 2);
        const uint16_t wHostLun = kLun;
        std::memcpy(pbHead + 40, &wHostLun, 2);
        const uint32_t dExpected = dBlocks * kBlock;   // FCP_DL
        std::memcpy(pbHead + 36, &dExpected, 4);
        ps->bPortCode = kPort;
        uint8_t* pbCdb = fw::pGetCommandCdb(ps);
        std::memset(pbCdb, 0, 16);
        pbCdb[0] = bOpcode;
        fw::PutBe64(pbCdb + 2, lLba);
        fw::PutBe32(pbCdb + 10, dBlocks);
        ps->wLunIndex = kLun;
        ps->alSequence[0] = ++m_lSequence;
        ps->lArrivalMs = fw::lGetTickCount();
        fw::pHostFields(ps)->wLipCount = fw::wGetHostLoopLipCount(kPort);
        fw::ParseReadWrite16Cdb(ps);
        (void)fw::bSetupTransferPass(ps);
        ps->fValid = fw::TRUE;
        fw::SetFlag(ps, fw::KE_FLAG_ON_LUN_RING);
        ps->bPrimaryState = fw::HOST_STATE_LUN_QUEUED;
        EXPECT_EQ(fw::QueueLunCommand(wIndex, kLun), fw::STATUS_OK);
        if (bOpcode == fw::SCSI_WRITE16) fw::IncHostWritesInProgress();
        if (bOpcode == fw::SCSI_READ16) fw::IncHostReadsInProgress();
        return ps;
    }

    // The host chip's part: the data of a write lands where its data-out
    // requests asked, and the command is on "Data Received".
    void SendData(fw::KERNEL_ENTRY* ps, uint8_t bSeed) {
        ReadRing();
        const HostAnswer& a = m_aAnswers[ps->wIndex];
        uint32_t dOffset = 0;
        for (const auto& seg : a.aSegments) {
            uint8_t* pb = sim::Board::Current().memory().Translate(seg.first, seg.second);
            for (uint32_t i = 0; i < seg.second; ++i) pb[i] = Pattern(bSeed, dOffset + i);
            dOffset += seg.second;
        }
        ps->bPrimaryState = fw::HOST_STATE_DATA_RECEIVED;
        fw::QueueDataReceived(ps->wIndex);
    }

    static uint8_t Pattern(uint8_t bSeed, uint32_t dOffset) {
        return static_cast<uint8_t>(bSeed * 31 + dOffset / kBlock * 7 + dOffset % 251);
    }
    static uint8_t* Bytes(fw::BUFFER_HANDLE dHandle) { return static_cast<uint8_t*>(fw::pBufferHandleToPointer(dHandle)); }

    // The main loop's stage services, each as often as its ring is long.
    void RunStages(int iRounds = 4) {
        for (int i = 0; i < iRounds; ++i) {
            for (uint16_t n = fw::wGetDataReceivedCount(); n != 0; --n) fw::ProcessDataReceivedQueue();
            for (uint16_t n = fw::wGetOptimisationCount(); n != 0; --n) fw::ProcessOptimisationQueue();
            for (uint16_t n = fw::wGetPortWriteReadyCount(kPort); n != 0; --n) {
                if (fw::ProcessWriteReadyQueue(kPort, nullptr) != fw::STATUS_OK) break;
            }
            RunDrives();
        }
    }

    // The drive side answers every drive command GOOD at once, and the back
    // end and the XOR engine finish what the RAID engine built.
    void RunDrives() {
        for (int i = 0; i < 10000; ++i) {
            bool fWork = false;
            fw::KERNEL_ENTRY* ps = nullptr;
            while (fw::bPeekKernelEntry(fw::PORT_CODE_INITIATOR, &ps) == fw::STATUS_FOUND && ps != nullptr) {
                fw::DequeueKernelEntry(fw::PORT_CODE_INITIATOR);
                CountDriveCommand(ps->abCdb[0]);
                std::memset(fw::psSasFields(ps), 0, sizeof(fw::SAS_ENTRY_FIELDS));
                fw::CompleteSASEntry(ps);
                fWork = true;
            }
            while (fw::wGetCommandCompleteCount(fw::PORT_CODE_INITIATOR) != 0) {
                (void)fw::ProcessBackEndCompletion(fw::PORT_CODE_INITIATOR);
                fWork = true;
            }
            if (fw::wGetXorOutstanding() != 0) {
                board.clock().AdvanceTo(board.clock().Now() + 1'000'000);
                fw::XorEngineCompletion();
                fw::ServiceXorCompletions();
                fWork = true;
            }
            if (!fWork) return;
        }
    }

    // The drive commands the RAID engine sent, by kind.
    void CountDriveCommand(uint8_t bOpcode) {
        switch (bOpcode) {
        case fw::SCSI_READ10:
        case fw::SCSI_READ16: ++m_dDriveReads; break;
        case fw::SCSI_WRITE10:
        case fw::SCSI_WRITE16: ++m_dDriveWrites; break;
        default: break;
        }
    }

    static void AdvanceMs(uint32_t dMs) {
        for (uint32_t i = 0; i < dMs; ++i) fw::SystemTickHandler();
    }

    // Everything the host chip was asked since the last look, by command.
    // Requests that name no command (the leading parts of a split data-out,
    // the status that releases a stream piece) belong to the next request
    // that names one, or are kept aside.
    void ReadRing() {
        uint8_t* pbRing = m_psRing->Ring();
        uint32_t dStart = 0;
        for (uint32_t i = 0; i < 128; ++i) {
            if (pbRing[64 * i] != 0 && pbRing[64 * ((i + 127) % 128)] == 0) dStart = i;
        }
        std::vector<std::pair<uint32_t, uint32_t>> aPending;
        for (uint32_t k = 0; k < 128; ++k) {
            uint8_t* pb = pbRing + 64 * ((dStart + k) % 128);
            if (pb[0] == 0) continue;
            uint32_t dHandle = 0;
            std::memcpy(&dHandle, pb + 4, 4);
            const uint16_t wIndex = fw::wTargetEntryIndex(reinterpret_cast<void*>(static_cast<uintptr_t>(dHandle)));
            if (pb[0] == 0x12) {
                HostAnswer sNamed;
                HostAnswer& a = wIndex != 0xFFFF ? m_aAnswers[wIndex] : sNamed;
                uint16_t wFlags = 0;
                std::memcpy(&wFlags, pb + 0x1A, 2);
                if (wFlags & fw::CTIO7_FLAG_DATA_OUT) {
                    uint32_t dAddress = 0;
                    uint32_t dLength = 0;
                    std::memcpy(&dAddress, pb + 0x34, 4);
                    std::memcpy(&dLength, pb + 0x3C, 4);
                    aPending.push_back({dAddress, dLength});
                    if (wIndex != 0xFFFF) {
                        a.aSegments.insert(a.aSegments.end(), aPending.begin(), aPending.end());
                        aPending.clear();
                    }
                }
                if (wFlags & fw::CTIO7_FLAG_DATA_IN) {
                    uint32_t dAddress = 0;
                    uint32_t dLength = 0;
                    std::memcpy(&dAddress, pb + 0x34, 4);
                    std::memcpy(&dLength, pb + 0x3C, 4);
                    a.aDataIn.push_back({dAddress, dLength});
                }
                if (wFlags & fw::CTIO7_FLAG_SEND_STATUS) {
                    a.fStatus = true;
                    std::memcpy(&a.wStatus, pb + 0x22, 2);
                    a.bKey = pb[0x28 + 2] & 0x0F;
                    a.bAsc = pb[0x28 + 12];
                    a.bAscq = pb[0x28 + 13];
                    if (wIndex == 0xFFFF) m_aUnnamedStatus.push_back(a.wStatus);
                }
            }
            std::memset(pb, 0, 64);
        }
    }
    const HostAnswer& Answer(const fw::KERNEL_ENTRY* ps) {
        ReadRing();
        return m_aAnswers[ps->wIndex];
    }
    void ClearRing() {
        ReadRing();
        m_aAnswers.clear();
        m_aUnnamedStatus.clear();
    }
    // A stream piece answered GOOD: released with its status, which names
    // no command.
    bool PieceAnsweredGood(const fw::KERNEL_ENTRY* ps) {
        ReadRing();
        if (ps->fUsed == fw::TRUE) return false;
        for (auto it = m_aUnnamedStatus.begin(); it != m_aUnnamedStatus.end(); ++it) {
            if ((*it & 0xFF) == 0) {
                m_aUnnamedStatus.erase(it);
                return true;
            }
        }
        return false;
    }
    // GOOD sent to the command?
    bool Good(const fw::KERNEL_ENTRY* ps) {
        const HostAnswer& a = Answer(ps);
        return a.fStatus && (a.wStatus & 0xFF) == 0;
    }

    fw::CACHE_ENTRY_FIELDS& Cache(fw::KERNEL_ENTRY* ps) { return *fw::psCacheFields(ps); }
    const fw::NVRAM_QUEUE_ENTRY& Slot(const fw::KERNEL_ENTRY* ps) { return *fw::psGetNvramQueueEntry(fw::TRUE, ps->wIndex); }
    static uint16_t ValidBlocks(const fw::NVRAM_QUEUE_ENTRY& s) {
        return static_cast<uint16_t>(s.abValidBlocks[0] | (s.abValidBlocks[1] << 8));
    }

    uint64_t m_lSequence = 0;
    uint32_t m_dDriveReads = 0;
    uint32_t m_dDriveWrites = 0;
    std::unique_ptr<fctest::RequestRingStandIn> m_psRing;   // the host chip, read at its ring
    std::map<uint16_t, HostAnswer> m_aAnswers;
    std::vector<uint16_t> m_aUnnamedStatus;
};

}  // namespace iotest
