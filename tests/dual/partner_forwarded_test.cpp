// Drive commands one controller asks its partner to issue: the partner runs
// them on its own drive side and answers with the drive's data and status,
// or refuses what it cannot carry out.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "executive/buffer_pages.h"
#include "harness/dual_pair.h"
#include "hw/scsi.h"
#include "sas/drive_ioc_bringup.h"
#include "sim/drive.h"

namespace fw_b {
uint16_t wGetKernelEntriesUsed();
// The second build's own types: the same layouts under its namespace.
struct PARTNER_MESSAGE_SLOT;
uint8_t pGetIncomingMessageSlot(uint16_t wSlot, PARTNER_MESSAGE_SLOT** ppsSlot);
struct LSI_SAS_DRIVE_ADAPTER;
LSI_SAS_DRIVE_ADAPTER* psGetLSIAdapter(uint8_t bIocId);
}  // namespace fw_b

namespace {

constexpr uint64_t kLimitNs = 10'000'000'000ull;
constexpr unsigned kSlot = 3;

struct Answer {
    bool done = false;
    uint8_t status = 0;
    uint8_t key = 0, asc = 0, ascq = 0;
};

class ForwardedDriveCommand : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override {
        ASSERT_TRUE(Boot()) << Consoles();
        drive = chassis.DriveAt(kSlot);
        ASSERT_NE(drive, nullptr);
        target = b->board.sasController().TargetOf(drive->config().sasAddress);
        ASSERT_NE(target, 0xFF);
        pagesB = fw_b::dGetPagesInUse(0);
        entriesB = fw_b::wGetKernelEntriesUsed();
    }
    void TearDown() override {
        if (dGetPages != fw::NULL_BUFFER_HANDLE) fw::wFreeDataPages(dGetPages, kPages);
    }

    // Sends the drive CDB to the partner for the drive given; data moves
    // through pages of this controller (in from the partner, or out to it).
    Answer Forward(uint8_t drive, std::vector<uint8_t> cdb, uint32_t length = 0, bool out = false) {
        const uint16_t wSlot = Send(drive, cdb, length, out);
        const sim::SasController& ioc = a->board.sasController();
        const uint32_t dAnswers = ioc.lastPartnerAnswer().count;
        EXPECT_TRUE(RunUntil([&] {
            fw::PARTNER_MESSAGE_SLOT* ps = nullptr;
            fw::pGetOutgoingMessageSlot(wSlot, &ps);
            return ioc.lastPartnerAnswer().count != dAnswers && ps->fInUse != fw::TRUE;
        }, kLimitNs));
        const sim::SasController::PartnerAnswer& got = ioc.lastPartnerAnswer();
        Answer answer{got.count != dAnswers, got.status, got.key, got.asc, got.ascq};
        ExpectPartnerKeepsNothing();
        return answer;
    }
    // The partner keeps nothing of the commands once it has answered them.
    // The partner's drive IOC request frames in use.
    static unsigned FramesInUseB() {
        const auto* a = reinterpret_cast<const fw::LSI_SAS_DRIVE_ADAPTER*>(fw_b::psGetLSIAdapter(fw::LSI_IOC_DRIVE));
        unsigned n = 0;
        for (uint32_t d : a->adInUse) n += static_cast<unsigned>(__builtin_popcount(d));
        return n;
    }
    void ExpectPartnerKeepsNothing() {
        EXPECT_TRUE(RunUntil([&] { return fw_b::sGetPartnerMessageCounts().wIncomingTotal == 0; }, kLimitNs));
        EXPECT_EQ(fw_b::dGetPagesInUse(0), pagesB);
        EXPECT_EQ(fw_b::wGetKernelEntriesUsed(), entriesB);
    }
    uint16_t Send(uint8_t drive, std::vector<uint8_t> cdb, uint32_t length, bool out) {
        cdb.resize(10, 0);
        fw::INTER_CONTROLLER_MESSAGE s = dual::TypedMessage(0);
        s.abCdb[0] = fw::PARTNER_OPCODE_FORWARDED;
        std::memcpy(s.abCdb + 1, cdb.data(), 10);
        s.abCdb[11] = 0;
        s.wLun = drive;
        if (length != 0) {
            s.wControlFlags = out ? fw::PARTNER_CONTROL_DATA_OUT : fw::PARTNER_CONTROL_DATA_IN;
            s.wSegmentCount = 1;
            s.dByteCount = length;
            s.adSegment[0] = static_cast<uint32_t>(fw::dBufferHandleToPciAddress(Pages()));
            s.adSegment[1] = length;
        }
        uint16_t wSlot = 0;
        EXPECT_EQ(fw::bSendMessageToPartner(&s, &wSlot, 0), fw::STATUS_OK);
        return wSlot;
    }
    static std::vector<uint8_t> Rw10(uint8_t opcode, uint32_t lba, uint16_t blocks) {
        std::vector<uint8_t> cdb(10, 0);
        cdb[0] = opcode;
        fw::PutBe32(cdb.data() + 2, lba);
        fw::PutBe16(cdb.data() + 7, blocks);
        return cdb;
    }
    // Every page the partner has free holds the byte given, as pages left
    // by earlier users would.
    void DirtyFreePagesOfB(uint8_t value) {
        std::vector<std::pair<fw_b::BUFFER_HANDLE, uint32_t>> taken;
        for (uint32_t run : {256u, 1u}) {
            fw_b::BUFFER_HANDLE h{};
            while (fw_b::bAllocDataPages(0, run, &h) == fw::STATUS_OK) taken.emplace_back(h, run);
        }
        ASSERT_FALSE(taken.empty());
        for (const auto& [h, run] : taken) {
            const uint32_t length = run * fw::BUFFER_PAGE_SIZE;
            uint8_t* p = b->board.memory().Translate(static_cast<uint32_t>(h), length);
            ASSERT_NE(p, nullptr);
            std::memset(p, value, length);
            fw_b::wFreeDataPages(h, run);
        }
    }
    fw::BUFFER_HANDLE Pages() {
        if (dGetPages == fw::NULL_BUFFER_HANDLE) {
            EXPECT_EQ(fw::bAllocDataPages(0, kPages, &dGetPages), fw::STATUS_OK);
        }
        return dGetPages;
    }
    uint8_t* Bytes(uint32_t length) {
        return a->board.memory().Translate(static_cast<uint32_t>(fw::dBufferHandleToPciAddress(Pages())), length);
    }

    static constexpr uint32_t kPages = 4;
    sim::Drive* drive = nullptr;
    uint8_t target = 0xFF;
    uint32_t pagesB = 0;
    uint16_t entriesB = 0;
    fw::BUFFER_HANDLE dGetPages = fw::NULL_BUFFER_HANDLE;
};

TEST_F(ForwardedDriveCommand, ReadsAndWritesReachThePartnersDrive) {
    std::vector<uint8_t> blocks(8 * 512);
    for (size_t i = 0; i < blocks.size(); ++i) blocks[i] = static_cast<uint8_t>(i * 7 + 3);
    drive->WriteBlocks(1000, 8, blocks.data());
    std::memset(Bytes(blocks.size()), 0xEE, blocks.size());
    Answer r = Forward(target, Rw10(fw::SCSI_READ10, 1000, 8), blocks.size());
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.key, 0);
    EXPECT_EQ(std::memcmp(Bytes(blocks.size()), blocks.data(), blocks.size()), 0);

    for (size_t i = 0; i < blocks.size(); ++i) Bytes(blocks.size())[i] = static_cast<uint8_t>(i * 13 + 1);
    const std::vector<uint8_t> written(Bytes(blocks.size()), Bytes(blocks.size()) + blocks.size());
    r = Forward(target, Rw10(fw::SCSI_WRITE10, 2000, 8), blocks.size(), true);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.key, 0);
    std::vector<uint8_t> onDrive(blocks.size());
    drive->ReadBlocks(2000, 8, onDrive.data());
    EXPECT_EQ(onDrive, written);

    // A write of no blocks goes to the drive without data.
    r = Forward(target, Rw10(fw::SCSI_WRITE10, 2000, 0));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.key, 0);

    // INQUIRY: the length is the allocation length.
    std::memset(Bytes(36), 0, 36);
    r = Forward(target, {fw::SCSI_INQUIRY, 0, 0, 0, 36, 0}, 36);
    EXPECT_EQ(r.key, 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(Bytes(36)) + 8, 8), drive->config().vendor);
}

struct Refusal {
    const char* name;
    uint8_t drive;         // 0: the test's drive
    std::vector<uint8_t> cdb;
    uint32_t length;
    uint8_t key, asc, ascq;
};

class ForwardedRefusals : public ForwardedDriveCommand, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ForwardedRefusals, AreAnsweredWithTheirSense) {
    const Refusal& c = GetParam();
    const Answer r = Forward(c.drive == 0 ? target : c.drive, c.cdb, c.length);
    ASSERT_TRUE(r.done) << c.name;
    EXPECT_EQ(r.status, 2) << c.name;
    EXPECT_EQ(r.key, c.key) << c.name;
    EXPECT_EQ(r.asc, c.asc) << c.name;
    EXPECT_EQ(r.ascq, c.ascq) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Partner, ForwardedRefusals,
    ::testing::Values(Refusal{"an opcode not carried", 0, {0x03, 0, 0, 0, 18}, 0, 5, 0x20, 0},
                      Refusal{"no drive there", 0x70, {0x00}, 0, 0x0B, 0x44, 0x01},
                      Refusal{"the drive's own sense", 0, {0x28, 0, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1}, 512, 5, 0x21, 0},
                      Refusal{"more than any command moves", 0, {0x28, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}, 0, 5, 0x24, 0},
                      Refusal{"the loopback drive takes no INQUIRY", 0x7E, {0x12, 0, 0, 0, 36}, 36, 5, 0x20, 0}),
    [](const ::testing::TestParamInfo<Refusal>& info) {
        std::string name = info.param.name;
        for (char& ch : name) {
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        }
        return name;
    });

// The loopback drive issues nothing: a read returns zeroed pages, whatever
// their last user left, and a write is taken.
TEST_F(ForwardedDriveCommand, TheLoopbackDriveReadsZeroesAndTakesWrites) {
    DirtyFreePagesOfB(0xA5);
    std::memset(Bytes(4096), 0xA5, 4096);
    const Answer w = Forward(0x7E, Rw10(fw::SCSI_WRITE10, 0, 8), 4096, true);
    EXPECT_EQ(w.key, 0);
    const Answer r = Forward(0x7E, Rw10(fw::SCSI_READ10, 0, 8), 4096);
    EXPECT_EQ(r.key, 0);
    EXPECT_EQ(std::vector<uint8_t>(Bytes(4096), Bytes(4096) + 4096), std::vector<uint8_t>(4096, 0));
}

// A command this controller gives up on (its deadline passed) is aborted
// at the partner too: the partner's IOC is told to drop it, and nothing is
// sent for it when the drive answers late; the partner's slot, pages and
// drive entry end with the drive command.  The ABORT TASK's own slot stays
// taken until the IOC has sent its answer, and its frame goes back then.
TEST_F(ForwardedDriveCommand, ACommandTheSenderAbortsIsDroppedByThePartnersIoc) {
    const unsigned framesB = FramesInUseB();
    drive->SetExtraLatencyNs(400'000'000);
    const sim::SasController& iocB = b->board.sasController();
    const uint16_t wSlot = Send(target, Rw10(fw::SCSI_READ10, 64, 8), 4096, false);
    ASSERT_TRUE(RunUntil([&] { return fw_b::sGetPartnerMessageCounts().wIncomingTotal == 1; }, kLimitNs));
    // Its deadline is due now: the time-out scan sends the ABORT TASK.
    fw::LSI_SAS_DRIVE_ADAPTER* psA = fw::psGetLSIAdapter(fw::LSI_IOC_DRIVE);
    bool fFound = false;
    for (uint16_t w = 0; w < psA->wRequestFrames; ++w) {
        fw::LSI_SAS_REQUEST_INFO& r = psA->asRequest[w];
        if (r.lDeadline != 0 && (r.dMsgContext & 0x4000) && (r.dMsgContext & 0x1FFF) == wSlot) {
            r.lDeadline = 1;
            fFound = true;
        }
    }
    ASSERT_TRUE(fFound);
    // The partner's count of commands it holds agrees with its slots in use
    // all along.
    bool fCountsAgree = true;
    const auto countsAgree = [&] {
        uint16_t wInUse = 0;
        for (uint16_t w = 0; w < 16; ++w) {
            fw_b::PARTNER_MESSAGE_SLOT* p = nullptr;
            fw_b::pGetIncomingMessageSlot(w, &p);
            wInUse += reinterpret_cast<fw::PARTNER_MESSAGE_SLOT*>(p)->fInUse == fw::TRUE;
        }
        if (wInUse != fw_b::sGetPartnerMessageCounts().wIncomingTotal) fCountsAgree = false;
    };
    ASSERT_TRUE(RunUntil([&] { countsAgree(); return iocB.lastTargetAbort().count == 1; }, kLimitNs));
    EXPECT_EQ(iocB.lastTargetAbort().type, 2);   // no data request was in flight for it
    EXPECT_EQ(iocB.lastTargetAbort().contextToAbort, 0xFFFFFFFFu);
    // The sender resends it and gets the drive's data; the aborted copy
    // ends without a word to the IOC about it.
    ASSERT_TRUE(RunUntil([&] {
        fw::PARTNER_MESSAGE_SLOT* ps = nullptr;
        fw::pGetOutgoingMessageSlot(wSlot, &ps);
        countsAgree();
        return ps->fInUse != fw::TRUE;
    }, kLimitNs));
    EXPECT_TRUE(fCountsAgree);
    ExpectPartnerKeepsNothing();
    EXPECT_EQ(FramesInUseB(), framesB);
    EXPECT_EQ(iocB.staleTargetRequests(), 0u);
    EXPECT_EQ(iocB.lastTargetAbort().count, 1u);
}

}  // namespace
