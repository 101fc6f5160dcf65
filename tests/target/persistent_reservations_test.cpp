// Persistent reservations from hosts on one Fibre Channel port: the
// conflict table, the service actions' answers and attentions, the PR IN
// data, the parameter lists that do not hold what they declare, the
// registration area's limit, the APTPL copy in the configuration image and
// the tables following logical drives across a deletion.
#include <array>
#include <cstring>

#include "cache/write_stages.h"
#include "config/config_commit.h"
#include "config/config_flags.h"
#include "config/config_phase.h"
#include "config/host_lun_tables.h"
#include "config/host_port_tables.h"
#include "harness/dispatch_board.h"
#include "hw/fc_target_iocb.h"
#include "partner/partner_link.h"
#include "target/command_access.h"
#include "target/persistent_reservations.h"
#include "target/pr_registrations.h"
#include "target/task_management.h"
#include "host_board.h"

namespace target_test {
namespace {

using namespace fw;

constexpr uint32_t OTHER = 0x010204;
constexpr uint16_t OTHER_HANDLE = 8;
constexpr uint8_t CONFLICT = SCSI_STATUS_RESERVATION_CONFLICT;
using Key = std::array<uint8_t, 8>;
constexpr Key NO_KEY{};
constexpr Key KEY_A{0, 0, 0, 0, 0, 0, 0, 0xA1};
constexpr Key KEY_B{0, 0, 0, 0, 0, 0, 0, 0xB2};

std::array<uint8_t, 8> NameOf(uint16_t wId) { return {0x21, 0, 0, 0x1B, 0x32, 0, uint8_t(wId >> 8), uint8_t(wId)}; }

class PersistentReservationsTest : public HostBoard {
protected:
    void SetUp() override {
        HostBoard::SetUp();
        MakeDrives({100000, 100000});
        AllocateHostPortRecords();
        host.Login(OTHER, OTHER_HANDLE);
        for (uint16_t l = 0; l < 2; ++l) Map(l, l, false, OTHER_HANDLE);
        List({HANDLE, OTHER_HANDLE});
        ClearAttentions();
        InitPersistentReservations();
    }
    // The port's login table: each handle with its own port name.
    static void List(const std::vector<uint16_t>& awIds) {
        HOST_PORT_RECORD* ps = pGetHostPortRecord(PORT);
        ps->bInitiatorCount = static_cast<uint8_t>(awIds.size());
        for (size_t i = 0; i < awIds.size(); ++i) {
            ps->asInitiator[i].bId = static_cast<uint8_t>(awIds[i]);
            const auto ab = NameOf(awIds[i]);
            std::memcpy(ps->asInitiator[i].abPortName, ab.data(), 8);
        }
    }
    Answer Ask(uint32_t dPortId, std::vector<uint8_t> abCdb, uint16_t wLun = 0, std::vector<uint8_t> abDataOut = {},
               uint32_t dExpected = 0, std::vector<uint8_t>* pabDataIn = nullptr) {
        const HostReply& r = AskFrom(dPortId, abCdb, wLun, abDataOut, dExpected);
        if (pabDataIn != nullptr) *pabDataIn = r.abDataIn;
        return AnswerOf(r);
    }
    static std::vector<uint8_t> OutCdb(uint8_t bAction, uint8_t bType, uint16_t wLength = 24) {
        std::vector<uint8_t> ab(10, 0);
        ab[0] = SCSI_PERSISTENT_RESERVE_OUT;
        ab[1] = bAction;
        ab[2] = bType;
        PutBe16(ab.data() + 7, wLength);
        return ab;
    }
    static std::vector<uint8_t> List24(const Key& key, const Key& sa, uint8_t bFlags = 0) {
        std::vector<uint8_t> ab(24, 0);
        std::memcpy(ab.data(), key.data(), 8);
        std::memcpy(ab.data() + 8, sa.data(), 8);
        ab[20] = bFlags;
        return ab;
    }
    Answer Out(uint32_t dPortId, uint8_t bAction, uint8_t bType, const Key& key, const Key& sa, uint8_t bFlags = 0,
               uint16_t wLun = 0) {
        return Ask(dPortId, OutCdb(bAction, bType), wLun, List24(key, sa, bFlags));
    }
    std::vector<uint8_t> In(uint32_t dPortId, uint8_t bAction, uint16_t wAllocation = 8192, uint16_t wLun = 0) {
        std::vector<uint8_t> ab(10, 0);
        ab[0] = SCSI_PERSISTENT_RESERVE_IN;
        ab[1] = bAction;
        PutBe16(ab.data() + 7, wAllocation);
        std::vector<uint8_t> abData;
        EXPECT_EQ(Ask(dPortId, ab, wLun, {}, wAllocation, &abData).bStatus, SCSI_STATUS_GOOD);
        return abData;
    }
    static void ExpectSense(const Answer& a, uint8_t bKey, uint8_t bAsc, uint8_t bAscq, const char* psz) {
        EXPECT_EQ(a.bStatus, SCSI_STATUS_CHECK_CONDITION) << psz;
        EXPECT_EQ(a.bKey, bKey) << psz;
        EXPECT_EQ(a.bAsc, bAsc) << psz;
        EXPECT_EQ(a.bAscq, bAscq) << psz;
    }
};

// The SPC conflict table, as a non-holder sees each reservation type.
TEST_F(PersistentReservationsTest, ANonHolderMeetsTheConflictTableOfEachType) {
    struct Probe {
        const char* pszWhat;
        std::vector<uint8_t> abCdb;
        uint32_t dExpected;
        uint8_t bGroup;   // 0 always allowed, 1 read/verify, 2 seek, 3 other
    };
    const Probe asProbes[] = {
        {"TEST UNIT READY", Cdb6(SCSI_TEST_UNIT_READY), 0, 0},
        {"READ(10)", Cdb10(SCSI_READ10, 0, 1), 512, 1},
        {"VERIFY(10)", Cdb10(SCSI_VERIFY10, 0, 1), 0, 1},
        {"SEEK(10)", Cdb10(SCSI_SEEK10, 0, 0), 0, 2},
        {"WRITE(10)", Cdb10(SCSI_WRITE10, 0, 1), 512, 3},
        {"MODE SENSE(6)", Cdb6(SCSI_MODE_SENSE6, 64), 64, 3},
    };
    // Passes by type (1, 3, 5, 6, 7, 8), registered or not, per group.
    struct Row {
        uint8_t bType;
        bool afRegistered[4];
        bool afUnregistered[4];
    };
    const Row asRows[] = {
        {1, {true, true, true, false}, {true, true, false, false}},
        {3, {true, false, false, false}, {true, false, false, false}},
        {5, {true, true, true, true}, {true, true, false, false}},
        {6, {true, true, true, true}, {true, false, false, false}},
        {7, {true, true, true, true}, {true, true, false, false}},
        {8, {true, true, true, true}, {true, false, false, false}},
    };
    for (const Row& r : asRows) {
        InitPersistentReservations();
        ASSERT_EQ(Out(INITIATOR, 0, 0, NO_KEY, KEY_A).bStatus, SCSI_STATUS_GOOD);
        ASSERT_EQ(Out(INITIATOR, 1, r.bType, KEY_A, NO_KEY).bStatus, SCSI_STATUS_GOOD) << int(r.bType);
        for (bool fRegistered : {false, true}) {
            if (fRegistered) {
                ASSERT_EQ(Out(OTHER, 0, 0, NO_KEY, KEY_B).bStatus, SCSI_STATUS_GOOD);
            }
            for (const Probe& p : asProbes) {
                const bool fPasses = (fRegistered ? r.afRegistered : r.afUnregistered)[p.bGroup];
                const Answer a = Ask(OTHER, p.abCdb, 0, p.bGroup == 3 && p.dExpected == 512 ? std::vector<uint8_t>(512, 1)
                                                                                             : std::vector<uint8_t>{},
                                     p.dExpected);
                EXPECT_EQ(a.bStatus == CONFLICT, !fPasses)
                    << "type " << int(r.bType) << (fRegistered ? " registered " : " unregistered ") << p.pszWhat;
            }
        }
        // The holder itself passes everything; a drive without a
        // reservation is everyone's.
        EXPECT_NE(Ask(INITIATOR, Cdb6(SCSI_MODE_SENSE6, 64), 0, {}, 64).bStatus, CONFLICT);
        EXPECT_NE(Ask(OTHER, Cdb6(SCSI_MODE_SENSE6, 64), 1, {}, 64).bStatus, CONFLICT);
    }
}

TEST_F(PersistentReservationsTest, ReadKeysReservationAndCapabilitiesFollowTheServiceActions) {
    EXPECT_EQ(In(INITIATOR, 2), (std::vector<uint8_t>{0x00, 0x08, 0x01, 0x81, 0xEA, 0x01, 0x00, 0x00}));
    std::vector<uint8_t> ab = In(INITIATOR, 0);
    EXPECT_EQ(ab, std::vector<uint8_t>(8, 0));
    ASSERT_EQ(Out(INITIATOR, 0, 0, NO_KEY, KEY_A).bStatus, SCSI_STATUS_GOOD);
    ASSERT_EQ(Out(OTHER, 0, 0, NO_KEY, KEY_B).bStatus, SCSI_STATUS_GOOD);
    ASSERT_EQ(Out(OTHER, 0, 0, NO_KEY, KEY_B, 0, 1).bStatus, SCSI_STATUS_GOOD);   // the other drive's
    ab = In(INITIATOR, 0);
    ASSERT_EQ(ab.size(), 24u);
    EXPECT_EQ(dGetBe32(ab.data()), 3u);        // generation
    EXPECT_EQ(dGetBe32(ab.data() + 4), 16u);
    EXPECT_TRUE(std::equal(KEY_A.begin(), KEY_A.end(), ab.begin() + 8));
    EXPECT_TRUE(std::equal(KEY_B.begin(), KEY_B.end(), ab.begin() + 16));
    // A short allocation cuts the data, never the length the header gives.
    ab = In(INITIATOR, 0, 12);
    ASSERT_EQ(ab.size(), 12u);
    EXPECT_EQ(dGetBe32(ab.data() + 4), 16u);

    EXPECT_EQ(dGetBe32(In(INITIATOR, 1).data() + 4), 0u);
    ASSERT_EQ(Out(OTHER, 1, 5, KEY_B, NO_KEY).bStatus, SCSI_STATUS_GOOD);
    ab = In(INITIATOR, 1);
    ASSERT_EQ(ab.size(), 24u);
    EXPECT_EQ(dGetBe32(ab.data()), 3u);        // RESERVE leaves the generation
    EXPECT_EQ(dGetBe32(ab.data() + 4), 16u);
    EXPECT_TRUE(std::equal(KEY_B.begin(), KEY_B.end(), ab.begin() + 8));
    EXPECT_EQ(ab[21], 5);
    // An all-registrants reservation has no holder's key.
    ASSERT_EQ(Out(OTHER, 2, 5, KEY_B, NO_KEY).bStatus, SCSI_STATUS_GOOD);
    ExpectSense(Ask(INITIATOR, Cdb6(SCSI_TEST_UNIT_READY)), SENSE_UNIT_ATTENTION, 0x2A, 0x04, "released");
    ASSERT_EQ(Out(OTHER, 1, 8, KEY_B, NO_KEY).bStatus, SCSI_STATUS_GOOD);
    ab = In(INITIATOR, 1);
    ASSERT_EQ(ab.size(), 24u);
    EXPECT_EQ(ab[21], 8);
    EXPECT_TRUE(std::equal(NO_KEY.begin(), NO_KEY.end(), ab.begin() + 8));
    ExpectSense(Ask(INITIATOR, {SCSI_PERSISTENT_RESERVE_IN, 4, 0, 0, 0, 0, 0, 0, 8, 0}, 0, {}, 8), SENSE_ILLEGAL_REQUEST,
                ASC_INVALID_FIELD_IN_CDB, 0, "PR IN 4");
}

// READ FULL STATUS describes the registrations of this logical drive only,
// 48 bytes each as SPC lays them out.
TEST_F(PersistentReservationsTest, ReadFullStatusDescribesThisDrivesRegistrants) {
    ASSERT_EQ(Out(INITIATOR, 0, 0, NO_KEY, KEY_A).bStatus, SCSI_STATUS_GOOD);
    ASSERT_EQ(Out(OTHER, 0, 0, NO_KEY, KEY_B).bStatus, SCSI_STATUS_GOOD);
    ASSERT_EQ(Out(INITIATOR, 0, 0, NO_KEY, KEY_B, 0, 1).bStatus, SCSI_STATUS_GOOD);
    ASSERT_EQ(Out(INITIATOR, 1, 3, KEY_A, NO_KEY).bStatus, SCSI_STATUS_GOOD);
    const std::vector<uint8_t> ab = In(OTHER, 3);
    ASSERT_EQ(ab.size(), 8u + 2 * 48);
    EXPECT_EQ(dGetBe32(ab.data() + 4), 96u);
    const uint8_t* pbHolder = ab.data() + 8;
    const uint8_t* pbOther = ab.data() + 56;
    EXPECT_TRUE(std::equal(KEY_A.begin(), KEY_A.end(), pbHolder));
    EXPECT_EQ(pbHolder[12], 1);
    EXPECT_EQ(pbHolder[13], 3);
    EXPECT_EQ(dGetBe32(pbHolder + 8), 0u);
    EXPECT_EQ(dGetBe32(pbHolder + 14), 0u);
    EXPECT_EQ(dGetBe32(pbHolder + 20), 24u);
    const auto abName = NameOf(HANDLE);
    EXPECT_TRUE(std::equal(abName.begin(), abName.end(), pbHolder + 24 + 8));
    EXPECT_EQ(pbHolder[24], 0);   // Fibre Channel transport ID, format 0
    EXPECT_TRUE(std::equal(KEY_B.begin(), KEY_B.end(), pbOther));
    EXPECT_EQ(pbOther[12], 0);
    const auto abOther = NameOf(OTHER_HANDLE);
    EXPECT_TRUE(std::equal(abOther.begin(), abOther.end(), pbOther + 32));
}

TEST_F(PersistentReservationsTest, PreemptedInitiatorIsToldOnceAndLosesItsRegistration) {
    ASSERT_EQ(Out(INITIATOR, 0, 0, NO_KEY, KEY_A).bStatus, SCSI_STATUS_GOOD);
    ASSERT_EQ(Out(OTHER, 0, 0, NO_KEY, KEY_B).bStatus, SCSI_STATUS_GOOD);
    ASSERT_EQ(Out(OTHER, 1, 1, KEY_B, NO_KEY).bStatus, SCSI_STATUS_GOOD);
    const uint32_t dGeneration = dGetPrGeneration();
    // PREEMPT of the holder's key takes the reservation over.
    ASSERT_EQ(Out(INITIATOR, 4, 3, KEY_A, KEY_B).bStatus, SCSI_STATUS_GOOD);
    EXPECT_EQ(dGetPrGeneration(), dGeneration + 1);
    const Answer a = Ask(OTHER, Cdb6(SCSI_TEST_UNIT_READY));
    ExpectSense(a, SENSE_UNIT_ATTENTION, ASC_PARAMETERS_CHANGED, 0x05, "the preempted");
    EXPECT_EQ(Ask(OTHER, Cdb6(SCSI_TEST_UNIT_READY)).bStatus, SCSI_STATUS_GOOD);
    EXPECT_EQ(Ask(OTHER, Cdb10(SCSI_READ10, 0, 1), 0, {}, 512).bStatus, CONFLICT);
    EXPECT_EQ(Ask(INITIATOR, Cdb6(SCSI_TEST_UNIT_READY)).bStatus, SCSI_STATUS_GOOD);
    // Its old key is no longer registered.
    EXPECT_EQ(Out(OTHER, 0, 0, KEY_B, KEY_B).bStatus, SCSI_STATUS_CHECK_CONDITION);
    EXPECT_EQ(In(INITIATOR, 1)[21], 3);
}

TEST_F(PersistentReservationsTest, RefusalsOfTheServiceActions) {
    struct Case {
        const char* pszWhat;
        uint32_t dFrom;
        uint8_t bAction, bType;
        Key key, sa;
        uint8_t bFlags;
        uint8_t bStatus, bKey, bAsc, bAscq;
    };
    ASSERT_EQ(Out(INITIATOR, 0, 0, NO_KEY, KEY_A).bStatus, SCSI_STATUS_GOOD);
    const uint32_t dGeneration = dGetPrGeneration();
    const Case acCases[] = {
        {"register, not registered, with a key", OTHER, 0, 0, KEY_B, KEY_B, 0, 2, 5, 0x26, 0},
        {"register, all target ports", OTHER, 0, 0, NO_KEY, KEY_B, 0x04, CONFLICT, 0, 0, 0},
        {"register, wrong key", INITIATOR, 0, 0, KEY_B, KEY_B, 0, CONFLICT, 0, 0, 0},
        {"reserve of type 2", INITIATOR, 1, 2, KEY_A, NO_KEY, 0, 2, 5, 0x26, 0},
        {"reserve of type 4", INITIATOR, 1, 4, KEY_A, NO_KEY, 0, 2, 5, 0x26, 0},
        {"reserve, unregistered", OTHER, 1, 1, NO_KEY, NO_KEY, 0, CONFLICT, 0, 0, 0},
        {"reserve, wrong key", INITIATOR, 1, 1, KEY_B, NO_KEY, 0, CONFLICT, 0, 0, 0},
        {"clear, unregistered", OTHER, 3, 0, NO_KEY, NO_KEY, 0, 2, 5, 0x24, 0},
        {"clear, wrong key", INITIATOR, 3, 0, KEY_B, NO_KEY, 0, CONFLICT, 0, 0, 0},
        {"preempt, unregistered", OTHER, 4, 1, KEY_B, KEY_A, 0, CONFLICT, 0, 0, 0},
        {"preempt of a key nobody has", INITIATOR, 4, 1, KEY_A, KEY_B, 0, CONFLICT, 0, 0, 0},
    };
    for (const Case& c : acCases) {
        const Answer a = Out(c.dFrom, c.bAction, c.bType, c.key, c.sa, c.bFlags);
        EXPECT_EQ(a.bStatus, c.bStatus) << c.pszWhat;
        if (c.bStatus == SCSI_STATUS_CHECK_CONDITION) {
            EXPECT_EQ(a.bKey, c.bKey) << c.pszWhat;
            EXPECT_EQ(a.bAsc, c.bAsc) << c.pszWhat;
        }
    }
    // SPEC_I_PT from a registered initiator, with a list that holds its
    // (empty) list of IDs.
    std::vector<uint8_t> ab = List24(KEY_A, KEY_A, 0x08);
    ab.resize(28);
    ExpectSense(Ask(INITIATOR, OutCdb(0, 0, 28), 0, ab), SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0,
                "specified ports while registered");
    EXPECT_EQ(dGetPrGeneration(), dGeneration);
    EXPECT_EQ(fIsPrReserved(0), FALSE);
    // Each refusal but the unregistered RESERVE left event 135.
    EXPECT_EQ(harness::CountEvents(EVENT_PR_REFUSED), 11u);

    // The holder's RELEASE with another type: invalid release; then right.
    ASSERT_EQ(Out(INITIATOR, 1, 1, KEY_A, NO_KEY).bStatus, SCSI_STATUS_GOOD);
    ExpectSense(Out(INITIATOR, 2, 3, KEY_A, NO_KEY), SENSE_ILLEGAL_REQUEST, 0x26, 0x04, "release of another type");
    EXPECT_EQ(Out(INITIATOR, 2, 1, KEY_A, NO_KEY).bStatus, SCSI_STATUS_GOOD);
    EXPECT_EQ(fIsPrReserved(0), FALSE);
}

// Parameter data and CDBs that do not hold what they declare are refused
// before anything changes, and nothing is read past the data.
TEST_F(PersistentReservationsTest, ListsAndCdbsThatDoNotHoldWhatTheyDeclare) {
    struct Case {
        const char* pszWhat;
        std::vector<uint8_t> abCdb;
        std::vector<uint8_t> abData;
        uint8_t bAsc;
    };
    std::vector<uint8_t> abShort = List24(NO_KEY, KEY_A, 0x08);
    abShort.resize(28);
    PutBe32(abShort.data() + 24, 48);   // two IDs declared, none sent
    std::vector<uint8_t> abOdd = List24(NO_KEY, KEY_A, 0x08);
    abOdd.resize(28 + 30);
    PutBe32(abOdd.data() + 24, 30);     // not whole IDs
    std::vector<uint8_t> abNoLength = List24(NO_KEY, KEY_A, 0x08);
    std::vector<uint8_t> abHuge = List24(NO_KEY, KEY_A, 0x08);
    abHuge.resize(28);
    PutBe32(abHuge.data() + 24, 0xFFFFFFE8);
    std::vector<uint8_t> abMove = List24(KEY_A, KEY_B);
    PutBe32(abMove.data() + 20, 24);    // RAM's ID declared, not sent
    const Case acCases[] = {
        {"service action 8", OutCdb(8, 0), List24(NO_KEY, KEY_A), ASC_INVALID_FIELD_IN_CDB},
        {"reserve with a scope", OutCdb(1, 0x11), List24(KEY_A, NO_KEY), ASC_INVALID_FIELD_IN_PARAMETERS},
        {"a list under 24 bytes", OutCdb(0, 0, 23), std::vector<uint8_t>(23, 0), ASC_PARAMETER_LIST_LENGTH},
        {"IDs declared, not sent", OutCdb(0, 0, 28), abShort, ASC_PARAMETER_LIST_LENGTH},
        {"no room for the ID length", OutCdb(0, 0, 24), abNoLength, ASC_PARAMETER_LIST_LENGTH},
        {"IDs of 30 bytes", OutCdb(0, 0, 58), abOdd, ASC_INVALID_FIELD_IN_PARAMETERS},
        {"an ID length past 4 GB", OutCdb(6, 0, 28), abHuge, ASC_PARAMETER_LIST_LENGTH},
        {"move's ID not sent", OutCdb(7, 1, 24), abMove, ASC_PARAMETER_LIST_LENGTH},
    };
    for (const Case& c : acCases) {
        ExpectSense(Ask(INITIATOR, c.abCdb, 0, c.abData, static_cast<uint32_t>(c.abData.size())), SENSE_ILLEGAL_REQUEST,
                    c.bAsc, 0, c.pszWhat);
        EXPECT_EQ(fIsPrOutInProgress(), FALSE) << c.pszWhat;
    }
    EXPECT_EQ(psNextPrRegistration(nullptr), nullptr);
    EXPECT_EQ(dGetPrGeneration(), 0u);
}

// 128 registrations fill the area: the 129th is refused, and a SPEC_I_PT
// list that would pass it registers nobody.
TEST_F(PersistentReservationsTest, TheRegistrationAreaHoldsOneHundredAndTwentyEight) {
    auto Ids = [](uint16_t wFirst, uint16_t wCount) {
        std::vector<uint8_t> ab = List24(NO_KEY, KEY_A, 0x08);
        ab.resize(28 + 24 * wCount);
        PutBe32(ab.data() + 24, 24u * wCount);
        for (uint16_t i = 0; i < wCount; ++i) {
            const auto abName = NameOf(static_cast<uint16_t>(wFirst + i));
            std::memcpy(ab.data() + 28 + 24 * i + 8, abName.data(), 8);
        }
        return ab;
    };
    std::vector<uint8_t> ab = Ids(100, 128);
    ExpectSense(Ask(INITIATOR, OutCdb(0, 0, static_cast<uint16_t>(ab.size())), 0, ab), SENSE_ILLEGAL_REQUEST, 0x55, 0x04,
                "129 at once");
    EXPECT_EQ(psNextPrRegistration(nullptr), nullptr);
    ab = Ids(100, 127);
    ASSERT_EQ(Ask(INITIATOR, OutCdb(0, 0, static_cast<uint16_t>(ab.size())), 0, ab).bStatus, SCSI_STATUS_GOOD);
    EXPECT_EQ(wCountPrRegistrations(0), 128);
    ExpectSense(Out(OTHER, 0, 0, NO_KEY, KEY_B), SENSE_ILLEGAL_REQUEST, 0x55, 0x04, "the 129th");
    // An unregistering frees a record for the next.
    ASSERT_EQ(Out(INITIATOR, 0, 0, KEY_A, NO_KEY).bStatus, SCSI_STATUS_GOOD);
    EXPECT_EQ(Out(OTHER, 0, 0, NO_KEY, KEY_B).bStatus, SCSI_STATUS_GOOD);
}

TEST_F(PersistentReservationsTest, ASecondReserveOutWaitsForTheFirstsStatus) {
    HostCommand s;
    s.dPortId = INITIATOR;
    s.abCdb = OutCdb(0, 0);
    s.dExpected = 24;
    const uint16_t wFirst = host.Send(s);
    Dispatch();
    EXPECT_EQ(fIsPrOutInProgress(), TRUE);
    // The host's data is not in yet: the second waits on the ring.
    HostCommand t = s;
    t.dPortId = OTHER;
    t.abDataOut = List24(NO_KEY, KEY_B);
    const uint16_t wSecond = host.Send(t);
    Dispatch();
    EXPECT_EQ(Entry(wSecond)->bPrimaryState, HOST_STATE_NEW_COMMAND);
    EXPECT_FALSE(host.Reply(wSecond).fStatus);
    EXPECT_FALSE(host.Reply(wFirst).fStatus);
    (void)wFirst;
}

// The holder is its registration: a host that logs in again under another
// handle still holds, and the host given the freed handle does not.
TEST_F(PersistentReservationsTest, TheHolderKeepsItsReservationUnderAnotherHandle) {
    ASSERT_EQ(Out(INITIATOR, 0, 0, NO_KEY, KEY_A).bStatus, SCSI_STATUS_GOOD);
    ASSERT_EQ(Out(INITIATOR, 1, 3, KEY_A, NO_KEY).bStatus, SCSI_STATUS_GOOD);
    // The holder logs out; another host gets its handle.
    EndLogin(HANDLE, INITIATOR);
    (void)bRemoveHandleMapping(PORT, INITIATOR, HANDLE);
    constexpr uint32_t NEWCOMER = 0x010299;
    host.Login(NEWCOMER, HANDLE);
    HOST_PORT_RECORD* ps = pGetHostPortRecord(PORT);
    ps->asInitiator[0].abPortName[7] = 0x99;   // the handle's new owner
    EXPECT_EQ(Ask(NEWCOMER, Cdb6(SCSI_MODE_SENSE6, 64), 0, {}, 64).bStatus, CONFLICT);
    // The holder comes back as handle 20.
    host.Login(INITIATOR + 1, 20);
    Map(0, 0, false, 20);
    List({99, OTHER_HANDLE, 20});
    ps->asInitiator[2].abPortName[6] = 0;
    ps->asInitiator[2].abPortName[7] = HANDLE;
    EXPECT_EQ(Ask(INITIATOR + 1, Cdb6(SCSI_MODE_SENSE6, 64), 0, {}, 64).bStatus, SCSI_STATUS_GOOD);
}

// A host the port's scan lists at a handle whose last host's logout was
// never seen is a host of its own: it does not act with that host's
// registration, which stays.
TEST_F(PersistentReservationsTest, AHostListedAtAHandleWithoutTheLastOnesLogoutIsANewHost) {
    ASSERT_EQ(Out(INITIATOR, 0, 0, NO_KEY, KEY_A).bStatus, SCSI_STATUS_GOOD);
    constexpr uint32_t NEWCOMER = 0x010299;
    host.Login(NEWCOMER, HANDLE);
    pGetHostPortRecord(PORT)->asInitiator[0].abPortName[7] = 0x99;
    FillPortLunTable(PORT);   // the table half of the scan that listed it
    EXPECT_EQ(Out(NEWCOMER, 0, 0, NO_KEY, KEY_B).bStatus, SCSI_STATUS_GOOD);
    const std::vector<uint8_t> abKeys = In(NEWCOMER, 0);
    ASSERT_GE(abKeys.size(), 8u);
    EXPECT_EQ(dGetBe32(abKeys.data() + 4), 16u) << "both keys";
}

// A REGISTER with APTPL is answered once the image that carries it is on
// the drives; the image holds only the APTPL drives' registrations.
TEST_F(PersistentReservationsTest, AptplRegistrationIsAnsweredOnceTheImageCarriesIt) {
    ASSERT_EQ(Out(OTHER, 0, 0, NO_KEY, KEY_B, 0, 1).bStatus, SCSI_STATUS_GOOD);
    EXPECT_EQ(fIsConfigUpdatePending(), FALSE);
    HostCommand s;
    s.dPortId = INITIATOR;
    s.abCdb = OutCdb(0, 0);
    s.abDataOut = List24(NO_KEY, KEY_A, 0x01);
    s.dExpected = 24;
    const uint16_t w = host.Send(s);
    Cycle();
    while (wGetDataReceivedCount() != 0) (void)ProcessDataReceivedQueue();
    Settle();
    EXPECT_FALSE(host.Reply(w).fStatus);
    EXPECT_EQ(fIsConfigUpdatePending(), TRUE);
    EXPECT_EQ(bGetConfigUpdateRequester(), REQUESTER_TARGET_ENGINE);
    const CONFIG_IMAGE* psImage = pGetConfigImage();
    ASSERT_EQ(psImage->sHeader.wPrRecordCount, 1);
    PR_REGISTRATION r{};
    std::memcpy(&r, &psImage->asPrRecord[0], PR_IMAGE_RECORD_BYTES);
    EXPECT_EQ(r.fValid, TRUE);
    EXPECT_EQ(r.wLun, 0);
    EXPECT_TRUE(std::equal(KEY_A.begin(), KEY_A.end(), r.abKey));
    const auto abName = NameOf(HANDLE);
    EXPECT_TRUE(std::equal(abName.begin(), abName.end(), r.abPortName));
    CompleteTargetEngineConfigRequest(0, 0, 0, 0);
    Settle();
    EXPECT_EQ(Reply(w).bStatus, SCSI_STATUS_GOOD);
    EXPECT_EQ(fIsPrOutWaitingForCopy(), FALSE);
}

TEST_F(PersistentReservationsTest, ClearOfAnAptplDriveDropsOnlyItsRecordsAndKeepsTheAttentions) {
    for (uint16_t wLun : {0, 1}) {
        ASSERT_EQ(Out(INITIATOR, 0, 0, NO_KEY, KEY_A, 0x01, wLun).bStatus, 0xFF) << wLun;   // no status yet
        CompleteTargetEngineConfigRequest(0, 0, 0, 0);
        Settle();
        ASSERT_EQ(Out(OTHER, 0, 0, NO_KEY, KEY_B, 0x01, wLun).bStatus, 0xFF) << wLun;
        CompleteTargetEngineConfigRequest(0, 0, 0, 0);
        Settle();
    }
    ASSERT_EQ(pGetConfigImage()->sHeader.wPrRecordCount, 4);
    (void)Out(INITIATOR, 3, 0, KEY_A, NO_KEY, 0, 1);
    CompleteTargetEngineConfigRequest(0, 0, 0, 0);
    Settle();
    ASSERT_EQ(pGetConfigImage()->sHeader.wPrRecordCount, 2);
    for (uint16_t i = 0; i < 2; ++i) {
        PR_REGISTRATION r{};
        std::memcpy(&r, &pGetConfigImage()->asPrRecord[i], PR_IMAGE_RECORD_BYTES);
        EXPECT_EQ(r.wLun, 0) << i;
    }
    // The other initiator still learns its registration was preempted.
    ExpectSense(Ask(OTHER, Cdb6(SCSI_TEST_UNIT_READY), 1), SENSE_UNIT_ATTENTION, 0x2A, 0x03, "after CLEAR");
}

// Restored records: a holder brings its reservation back; records naming a
// drive that is not there are passed over.
TEST_F(PersistentReservationsTest, RestoredRecordsBringTheirReservationBack) {
    auto Record = [](uint16_t wLun, uint8_t fHolder, uint8_t bType) {
        PR_REGISTRATION r{};
        r.fValid = TRUE;
        r.fOwner = fHolder;
        std::memcpy(r.abKey, KEY_A.data(), 8);
        const auto abName = NameOf(HANDLE);
        std::memcpy(r.abPortName, abName.data(), 8);
        r.wLun = wLun;
        r.bController = 1;
        r.fHolder = fHolder;
        r.bType = bType;
        PR_RECORD s{};
        std::memcpy(&s, &r, PR_IMAGE_RECORD_BYTES);
        return s;
    };
    PR_RECORD s = Record(1, TRUE, 3);
    RestorePersistentReservation(&s);
    s = Record(2, TRUE, 1);   // no logical drive 2
    RestorePersistentReservation(&s);
    s = Record(0, FALSE, 0);
    s.fInUse = FALSE;
    RestorePersistentReservation(&s);
    EXPECT_EQ(fIsPrReserved(1), TRUE);
    EXPECT_EQ(bGetPrType(1), 3);
    EXPECT_EQ(fGetPrAptpl(1), TRUE);
    EXPECT_EQ(fIsPrReserved(2), FALSE);
    EXPECT_EQ(wCountPrRegistrations(0) + wCountPrRegistrations(2), 0);
    EXPECT_EQ(Ask(OTHER, Cdb6(SCSI_MODE_SENSE6, 64), 1, {}, 64).bStatus, CONFLICT);
    EXPECT_EQ(Ask(INITIATOR, Cdb6(SCSI_MODE_SENSE6, 64), 1, {}, 64).bStatus, SCSI_STATUS_GOOD);
}

// After an apply the tables follow each logical drive by its identifier:
// a drive moved down by a deletion keeps them, a new drive in a deleted
// one's place starts clean.
TEST_F(PersistentReservationsTest, TheTablesFollowTheirDrivesAcrossADeletion) {
    CONFIG_IMAGE* psImage = pGetConfigImage();
    for (uint16_t l = 0; l < 2; ++l) psImage->asLd[l].abLdIdentifier[15] = static_cast<uint8_t>(l + 1);
    (void)fReconcilePersistentReservations(psImage);
    ASSERT_EQ(Out(INITIATOR, 0, 0, NO_KEY, KEY_A, 0, 0).bStatus, SCSI_STATUS_GOOD);
    ASSERT_EQ(Out(INITIATOR, 0, 0, NO_KEY, KEY_B, 0, 1).bStatus, SCSI_STATUS_GOOD);
    ASSERT_EQ(Out(INITIATOR, 1, 1, KEY_B, NO_KEY, 0, 1).bStatus, SCSI_STATUS_GOOD);
    // Logical drive 0 goes; 1 becomes 0, and a new one takes its place as 1.
    psImage->asLd[0] = psImage->asLd[1];
    psImage->asLd[1].abLdIdentifier[15] ^= 0x5A;
    psImage->asLd[1].abLdIdentifier[0] ^= 0x5A;
    (void)fReconcilePersistentReservations(psImage);
    EXPECT_EQ(fIsPrReserved(0), TRUE);
    EXPECT_EQ(fIsPrReserved(1), FALSE);
    std::vector<uint8_t> ab = In(INITIATOR, 0, 8192, 0);
    ASSERT_EQ(ab.size(), 16u);
    EXPECT_TRUE(std::equal(KEY_B.begin(), KEY_B.end(), ab.begin() + 8));
    EXPECT_EQ(In(INITIATOR, 0, 8192, 1).size(), 8u);
}

}  // namespace
}  // namespace target_test
