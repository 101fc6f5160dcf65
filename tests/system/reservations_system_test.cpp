// Reservations through Fibre Channel hosts against a whole controller: the
// persistent reservation of a logical drive outlives loop events, resets
// and logins under another handle, while a SCSI-2 reservation ends as the
// standard has it; the conflict table and the service actions through the
// chip; and APTPL registrations that come back after a restart.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/config_commit.h"
#include "config/config_image.h"
#include "config/config_phase.h"
#include "harness/config_builder.h"
#include "harness/dispatch_board.h"
#include "harness/fc_array_controller.h"
#include "hw/fc_target_iocb.h"
#include "hw/scsi.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"
#include "target/pr_registrations.h"

namespace {

using Outcome = sim::FcpResult::Outcome;
using Key = std::array<uint8_t, 8>;

constexpr uint64_t kHostA = 0x2100001B32D00001ull;
constexpr uint64_t kHostB = 0x2100001B32D00002ull;
constexpr uint64_t kHostC = 0x2100001B32D00003ull;
constexpr uint64_t kSettleNs = 200'000'000;
constexpr Key kNoKey{};
constexpr Key kKeyA{0, 0, 0, 0, 0, 0, 0xAA, 0x01};
constexpr Key kKeyB{0, 0, 0, 0, 0, 0, 0xBB, 0x02};
constexpr uint8_t kConflict = fw::SCSI_STATUS_RESERVATION_CONFLICT;
constexpr uint8_t kGood = fw::SCSI_STATUS_GOOD;
constexpr uint16_t kPrLun = 0;      // persistent reservations
constexpr uint16_t kScsi2Lun = 1;   // SCSI-2 reservations

class ReservationsSystemTest : public ::testing::Test, public harness::FcArrayController {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Boot());
        cfgbuild::Builder builder(*board);
        ASSERT_TRUE(builder.OpenEdit());
        ASSERT_EQ(builder.CreateArray({fw::RAID_LEVEL_10, {1, 2}}), fw::STATUS_OK);
        ASSERT_EQ(cfgbuild::Builder::CreateLd(1, "PR"), fw::STATUS_OK);
        ASSERT_EQ(cfgbuild::Builder::CreateLd(1, "SCSI2"), fw::STATUS_OK);
        ASSERT_TRUE(builder.Commit());
        ASSERT_NO_FATAL_FAILURE(Connect());
    }
    void Boot() {
        hosts.clear();
        ASSERT_NO_FATAL_FAILURE(FcArrayController::Boot());
    }
    // Hosts A and B log in on port 1 and clear their unit attentions.
    void Connect() {
        for (uint64_t name : {kHostA, kHostB}) {
            hosts.push_back(std::make_unique<sim::FcHost>(*board, *fabric, Chip(), name));
            ASSERT_TRUE(hosts.back()->LogIn());
        }
        board->RunFor(kSettleNs);
        for (auto& h : hosts) {
            for (uint16_t lun : {kPrLun, kScsi2Lun}) ASSERT_EQ(Settled(*h, lun, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}).status, kGood);
        }
    }
    sim::FcHost& A() { return *hosts[0]; }
    sim::FcHost& B() { return *hosts[1]; }

    static std::vector<uint8_t> List(const Key& key, const Key& sa, uint8_t flags = 0) {
        std::vector<uint8_t> ab(24, 0);
        std::memcpy(ab.data(), key.data(), 8);
        std::memcpy(ab.data() + 8, sa.data(), 8);
        ab[20] = flags;
        return ab;
    }
    uint8_t Out(sim::FcHost& host, uint8_t action, uint8_t type, const Key& key, const Key& sa, uint8_t flags = 0,
                uint16_t lun = kPrLun) {
        std::vector<uint8_t> cdb = {fw::SCSI_PERSISTENT_RESERVE_OUT, action, type, 0, 0, 0, 0, 0, 24, 0};
        return Settled(host, lun, cdb, List(key, sa, flags)).status;
    }
    std::vector<uint8_t> In(sim::FcHost& host, uint8_t action, uint16_t lun = kPrLun) {
        const sim::FcpResult r = Settled(host, lun, {fw::SCSI_PERSISTENT_RESERVE_IN, action, 0, 0, 0, 0, 0, 0x10, 0, 0},
                                         {}, 4096);
        EXPECT_EQ(r.status, kGood);
        return r.dataIn;
    }
    uint8_t Write(sim::FcHost& host, uint16_t lun) {
        return Settled(host, lun, {fw::SCSI_WRITE10, 0, 0, 0, 0, 8, 0, 0, 1, 0}, std::vector<uint8_t>(512, 0x5A)).status;
    }
    uint8_t Reserve6(sim::FcHost& host) { return Settled(host, kScsi2Lun, {fw::SCSI_RESERVE6, 0, 0, 0, 0, 0}).status; }
    uint8_t Release6(sim::FcHost& host) { return Settled(host, kScsi2Lun, {fw::SCSI_RELEASE6, 0, 0, 0, 0, 0}).status; }

    // A holds a Write Exclusive reservation on the PR drive with both hosts
    // registered.
    void ReservePrDrive() {
        ASSERT_EQ(Out(A(), 0, 0, kNoKey, kKeyA), kGood);
        ASSERT_EQ(Out(B(), 0, 0, kNoKey, kKeyB), kGood);
        ASSERT_EQ(Out(A(), 1, 1, kKeyA, kNoKey), kGood);
    }
    void ExpectPrDriveAsReserved(const char* what) {
        EXPECT_EQ(Write(B(), kPrLun), kConflict) << what;
        EXPECT_EQ(Write(A(), kPrLun), kGood) << what;
        const std::vector<uint8_t> keys = In(B(), 0);
        EXPECT_EQ(keys.size(), 24u) << what;
        const std::vector<uint8_t> res = In(B(), 1);
        ASSERT_EQ(res.size(), 24u) << what;
        EXPECT_TRUE(std::equal(kKeyA.begin(), kKeyA.end(), res.begin() + 8)) << what;
        EXPECT_EQ(res[21], 1) << what;
    }

    std::vector<std::unique_ptr<sim::FcHost>> hosts;
};

// Each event happens while A holds a SCSI-2 reservation of one drive and a
// persistent reservation of the other.
TEST_F(ReservationsSystemTest, PersistentReservationsOutliveEventsThatEndScsi2Ones) {
    ASSERT_NO_FATAL_FAILURE(ReservePrDrive());
    struct Event {
        const char* what;
        std::function<void()> run;
        bool scsi2Survives;
    };
    const Event events[] = {
        {"LIP", [&] { Chip().Lip(); }, false},
        {"LIP reset", [&] { Chip().LipReset(); }, false},
        {"loop down and up",
         [&] {
             fabric->SetLink(Chip(), false);
             board->RunFor(kSettleNs);
             fabric->SetLink(Chip(), true);
             board->RunUntil([&] { return Chip().Online(); }, 5'000'000'000ull);
             ASSERT_TRUE(A().LogIn());
             ASSERT_TRUE(B().LogIn());
         },
         false},
        {"target reset", [&] { EXPECT_EQ(B().TaskManagement(kPrLun, 0x20).status, kGood); }, false},
        {"LUN reset of the SCSI-2 drive", [&] { EXPECT_EQ(B().TaskManagement(kScsi2Lun, 0x10).status, kGood); }, false},
        {"LUN reset of the PR drive", [&] { EXPECT_EQ(B().TaskManagement(kPrLun, 0x10).status, kGood); }, true},
        {"the other host logs out and in",
         [&] {
             B().LogOut();
             board->RunFor(kSettleNs);
             ASSERT_TRUE(B().LogIn());
         },
         true},
        // A's handle goes to C; A comes back under another.
        {"the holder logs in again under another handle",
         [&] {
             A().LogOut();
             board->RunFor(kSettleNs);
             hosts.push_back(std::make_unique<sim::FcHost>(*board, *fabric, Chip(), kHostC));
             ASSERT_TRUE(hosts.back()->LogIn());
             ASSERT_TRUE(A().LogIn());
         },
         false},
    };
    for (const Event& e : events) {
        ASSERT_EQ(Reserve6(A()), kGood) << e.what;
        ASSERT_EQ(Reserve6(B()), kConflict) << e.what;
        e.run();
        board->RunFor(kSettleNs);
        ASSERT_TRUE(A().LoggedIn() && B().LoggedIn()) << e.what;
        ExpectPrDriveAsReserved(e.what);
        if (hosts.size() > 2) {
            // The host that took the holder's old handle is nobody's holder.
            EXPECT_EQ(Write(*hosts[2], kPrLun), kConflict) << e.what;
            EXPECT_EQ(Reserve6(*hosts[2]), kGood) << e.what;
            EXPECT_EQ(Release6(*hosts[2]), kGood) << e.what;
        }
        if (e.scsi2Survives) {
            EXPECT_EQ(Reserve6(B()), kConflict) << e.what;
            EXPECT_EQ(Release6(A()), kGood) << e.what;
        } else {
            EXPECT_EQ(Reserve6(B()), kGood) << e.what;
            EXPECT_EQ(Release6(B()), kGood) << e.what;
        }
    }
}

// Every type against a host that is registered or not, through the chip;
// the generation, the capabilities, a PREEMPT's attention and the
// registration area's limit.
TEST_F(ReservationsSystemTest, ServiceActionsAndTheConflictTableThroughTheChip) {
    EXPECT_EQ(In(A(), 2), (std::vector<uint8_t>{0x00, 0x08, 0x01, 0x81, 0xEA, 0x01, 0x00, 0x00}));
    const std::vector<uint8_t> read = {fw::SCSI_READ10, 0, 0, 0, 0, 8, 0, 0, 1, 0};
    // Reads and writes of a non-holder, unregistered then registered.
    struct Row {
        uint8_t type;
        bool readUnregistered, writeRegistered;
    };
    for (const Row& r : {Row{1, true, false}, Row{3, false, false}, Row{5, true, true}, Row{6, false, true},
                         Row{7, true, true}, Row{8, false, true}}) {
        ASSERT_EQ(Out(A(), 0, 0, kNoKey, kKeyA), kGood) << int(r.type);
        ASSERT_EQ(Out(A(), 1, r.type, kKeyA, kNoKey), kGood) << int(r.type);
        EXPECT_EQ(Settled(B(), kPrLun, read, {}, 512).status == kConflict, !r.readUnregistered) << int(r.type);
        EXPECT_EQ(Write(B(), kPrLun), kConflict) << int(r.type);
        ASSERT_EQ(Out(B(), 0, 0, kNoKey, kKeyB), kGood) << int(r.type);
        EXPECT_EQ(Write(B(), kPrLun) == kGood, r.writeRegistered) << int(r.type);
        EXPECT_EQ(Write(A(), kPrLun), kGood) << int(r.type);
        // CLEAR ends it all for the next type; B is told once.
        ASSERT_EQ(Out(A(), 3, 0, kKeyA, kNoKey), kGood) << int(r.type);
        const sim::FcpResult ua = B().Send(kPrLun, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0});
        ASSERT_EQ(ua.sense.size() >= 14 ? ua.sense[12] : 0, 0x2A) << int(r.type);
        EXPECT_EQ(ua.sense[13], 0x03) << int(r.type);
    }
    // Six REGISTER-CLEAR rounds of two registrations each: 18 changes.
    const std::vector<uint8_t> keys = In(A(), 0);
    ASSERT_EQ(keys.size(), 8u);
    EXPECT_EQ(fw::dGetBe32(keys.data()), 18u);

    ASSERT_NO_FATAL_FAILURE(ReservePrDrive());
    ASSERT_EQ(Out(A(), 4, 3, kKeyA, kKeyB), kGood);
    sim::FcpResult r = B().Send(kPrLun, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0});
    ASSERT_GE(r.sense.size(), 14u);
    EXPECT_EQ(r.sense[12], 0x2A);
    EXPECT_EQ(r.sense[13], 0x05);
    EXPECT_EQ(B().Send(kPrLun, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}).status, kGood);

    // A SPEC_I_PT list of 127 ports fills the area with A's own; B is the
    // 129th.
    std::vector<uint8_t> list = List(kKeyA, kKeyA, 0x08);
    ASSERT_EQ(Out(A(), 0, 0, kKeyA, kNoKey), kGood);   // A leaves, and with it the reservation
    EXPECT_EQ(In(B(), 1).size(), 8u);
    list = List(kNoKey, kKeyA, 0x08);
    list.resize(28 + 24 * 127);
    fw::PutBe32(list.data() + 24, 24 * 127);
    for (uint32_t i = 0; i < 127; ++i) fw::PutBe32(list.data() + 28 + 24 * i + 12, 0x1000 + i);
    std::vector<uint8_t> cdb = {fw::SCSI_PERSISTENT_RESERVE_OUT, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    fw::PutBe16(cdb.data() + 7, static_cast<uint16_t>(list.size()));
    ASSERT_EQ(Settled(A(), kPrLun, cdb, list).status, kGood);
    EXPECT_EQ(In(A(), 0).size(), 8u + 8 * 128);
    r = Settled(B(), kPrLun, {fw::SCSI_PERSISTENT_RESERVE_OUT, 0, 0, 0, 0, 0, 0, 0, 24, 0}, List(kNoKey, kKeyB));
    ASSERT_GE(r.sense.size(), 14u);
    EXPECT_EQ(r.sense[2] & 0x0F, fw::SENSE_ILLEGAL_REQUEST);
    EXPECT_EQ(r.sense[12], 0x55);
    EXPECT_EQ(r.sense[13], 0x04);
}

// Two PERSISTENT RESERVE OUTs at once: the second is not taken before the
// first has its status, and both are carried out.
TEST_F(ReservationsSystemTest, ASecondReserveOutWaitsForTheFirst) {
    sim::FcpCommand first;
    first.lun = kPrLun;
    first.cdb = {fw::SCSI_PERSISTENT_RESERVE_OUT, 0, 0, 0, 0, 0, 0, 0, 24, 0};
    first.dataOut = List(kNoKey, kKeyA);
    sim::FcpCommand second = first;
    second.dataOut = List(kNoKey, kKeyB);
    const uint32_t a = A().Submit(first);
    const uint32_t b = B().Submit(second);
    const sim::FcpResult ra = A().Wait(a);
    const sim::FcpResult rb = B().Wait(b);
    EXPECT_EQ(ra.status, kGood);
    EXPECT_EQ(rb.status, kGood);
    EXPECT_LE(ra.completedAtNs, rb.completedAtNs);
    EXPECT_EQ(In(A(), 0).size(), 24u);
}

// The registrations of a drive whose APTPL bit was set, and the reservation
// they hold, come back with the configuration after a restart; the others
// do not.
TEST_F(ReservationsSystemTest, AptplRegistrationsComeBackAfterARestart) {
    // Another requester's commit is on its way when the first arrives: the
    // copy is stored by that commit or one after it, and only then answered.
    (void)fw::RequestConfigUpdate(fw::REQUESTER_COMMIT);
    ASSERT_EQ(Out(A(), 0, 0, kNoKey, kKeyA, 0x01), kGood);
    ASSERT_EQ(Out(B(), 0, 0, kNoKey, kKeyB, 0x01), kGood);
    ASSERT_EQ(Out(A(), 1, 3, kKeyA, kNoKey), kGood);
    ASSERT_EQ(Out(A(), 0, 0, kNoKey, kKeyA, 0, kScsi2Lun), kGood);
    ASSERT_EQ(Out(A(), 1, 3, kKeyA, kNoKey, 0, kScsi2Lun), kGood);
    ASSERT_TRUE(cfgbuild::Builder(*board).WaitIdle());
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.wPrRecordCount, 2);

    ASSERT_NO_FATAL_FAILURE(Boot());
    ASSERT_NO_FATAL_FAILURE(Connect());
    EXPECT_EQ(Write(B(), kPrLun), kConflict);
    EXPECT_EQ(Write(A(), kPrLun), kGood);
    EXPECT_EQ(In(B(), 0).size(), 24u);
    const std::vector<uint8_t> res = In(B(), 1);
    ASSERT_EQ(res.size(), 24u);
    EXPECT_TRUE(std::equal(kKeyA.begin(), kKeyA.end(), res.begin() + 8));
    EXPECT_EQ(res[21], 3);
    // Without APTPL nothing of the other drive is left.
    EXPECT_EQ(In(B(), 0, kScsi2Lun).size(), 8u);
    EXPECT_EQ(In(B(), 1, kScsi2Lun).size(), 8u);
    EXPECT_EQ(Write(B(), kScsi2Lun), kGood);
}

}  // namespace
