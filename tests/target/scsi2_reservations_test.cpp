// SCSI-2 reservations from hosts on one Fibre Channel port: who may reach a
// reserved logical drive, what RELEASE from another initiator does, the
// third-party form, the end of a reservation with its holder's login, and
// the exchange with a partner controller.
#include <cstring>

#include "cache/write_stages.h"
#include "config/host_port_tables.h"
#include "hw/fc_target_iocb.h"
#include "partner/partner_link.h"
#include "target/scsi_status.h"
#include "target/scsi2_reservations.h"
#include "target/command_access.h"
#include "target/dispatcher.h"
#include "target/task_management.h"
#include "target/unit_attention.h"
#include "host_board.h"

namespace target_test {
namespace {

using namespace fw;

constexpr uint32_t OTHER = 0x010204;
constexpr uint16_t OTHER_HANDLE = 8;
constexpr uint64_t OTHER_PORT_NAME = 0x2100001B32000002ull;

class Scsi2ReservationsTest : public HostBoard {
protected:
    void SetUp() override {
        HostBoard::SetUp();
        MakeDrives({100000, 100000});
        AllocateHostPortRecords();
        host.Login(OTHER, OTHER_HANDLE);
        Map(0, 0, false, OTHER_HANDLE);
        Map(1, 1, false, OTHER_HANDLE);
        ClearAttentions();
        InitScsi2Reservations();
    }
    Answer Ask(uint32_t dPortId, std::vector<uint8_t> abCdb, uint16_t wLun = 0, std::vector<uint8_t> abDataOut = {},
               uint32_t dExpected = 0) {
        return AnswerOf(AskFrom(dPortId, abCdb, wLun, abDataOut, dExpected));
    }
    static std::vector<uint8_t> ThirdParty(uint8_t bOpcode, uint16_t wLength) {
        std::vector<uint8_t> ab = Cdb10(bOpcode, 0, 0);
        ab[1] = 0x12;   // 3rdPty and LongID
        PutBe16(ab.data() + 7, wLength);
        return ab;
    }
    static std::vector<uint8_t> Name(uint64_t lName) {
        std::vector<uint8_t> ab(8);
        for (int i = 0; i < 8; ++i) ab[i] = static_cast<uint8_t>(lName >> (56 - 8 * i));
        return ab;
    }
    // The port's login table names the other initiator by its handle.
    void ListOther() {
        HOST_PORT_RECORD* ps = pGetHostPortRecord(PORT);
        ps->bInitiatorCount = 1;
        ps->asInitiator[0].bId = OTHER_HANDLE;
        std::vector<uint8_t> ab = Name(OTHER_PORT_NAME);
        std::memcpy(ps->asInitiator[0].abPortName, ab.data(), 8);
    }
    static constexpr uint8_t CONFLICT = SCSI_STATUS_RESERVATION_CONFLICT;
};

TEST_F(Scsi2ReservationsTest, ReservedDriveAnswersOnlyItsHolderButForTheExemptCommands) {
    ASSERT_EQ(Ask(INITIATOR, Cdb6(SCSI_RESERVE6)).bStatus, SCSI_STATUS_GOOD);
    // The holder reserves again and works on; the drive beside it is free.
    EXPECT_EQ(Ask(INITIATOR, Cdb6(SCSI_RESERVE6)).bStatus, SCSI_STATUS_GOOD);
    EXPECT_EQ(Ask(INITIATOR, Cdb10(SCSI_READ_CAPACITY10, 0, 0), 0, {}, 8).bStatus, SCSI_STATUS_GOOD);
    EXPECT_EQ(Ask(OTHER, Cdb10(SCSI_READ_CAPACITY10, 0, 0), 1, {}, 8).bStatus, SCSI_STATUS_GOOD);

    struct Case {
        std::vector<uint8_t> abCdb;
        uint32_t dExpected;
        uint8_t bStatus;
    };
    const Case acCases[] = {
        {Cdb10(SCSI_READ_CAPACITY10, 0, 0), 8, CONFLICT},
        {Cdb6(SCSI_MODE_SENSE6, 64), 64, CONFLICT},
        {Cdb6(SCSI_RESERVE6), 0, CONFLICT},
        {Cdb6(SCSI_START_STOP_UNIT, 1), 0, CONFLICT},
        {Cdb6(SCSI_TEST_UNIT_READY), 0, SCSI_STATUS_GOOD},
        {Cdb6(SCSI_REQUEST_SENSE, 18), 18, SCSI_STATUS_GOOD},
        {Cdb6(SCSI_INQUIRY, 36), 36, SCSI_STATUS_GOOD},
        // RELEASE from another initiator is GOOD and releases nothing.
        {Cdb6(SCSI_RELEASE6), 0, SCSI_STATUS_GOOD},
        {Cdb10(SCSI_RELEASE10, 0, 0), 0, SCSI_STATUS_GOOD},
    };
    for (const Case& c : acCases) {
        const Answer a = Ask(OTHER, c.abCdb, 0, {}, c.dExpected);
        EXPECT_TRUE(a.fStatus) << std::hex << int(c.abCdb[0]);
        EXPECT_EQ(a.bStatus, c.bStatus) << std::hex << int(c.abCdb[0]);
    }
    // The other initiator's releases left it reserved; the holder's ends it.
    EXPECT_EQ(Ask(OTHER, Cdb6(SCSI_RESERVE6)).bStatus, CONFLICT);
    EXPECT_EQ(Ask(INITIATOR, Cdb6(SCSI_RELEASE6)).bStatus, SCSI_STATUS_GOOD);
    EXPECT_EQ(Ask(OTHER, Cdb6(SCSI_RESERVE6)).bStatus, SCSI_STATUS_GOOD);
    EXPECT_EQ(Ask(INITIATOR, Cdb10(SCSI_READ_CAPACITY10, 0, 0), 0, {}, 8).bStatus, CONFLICT);
}

TEST_F(Scsi2ReservationsTest, TheDriveWithoutAReservationAndTheHandlersWithoutADriveAnswerGood) {
    EXPECT_EQ(Ask(OTHER, Cdb6(SCSI_RELEASE6)).bStatus, SCSI_STATUS_GOOD);
    const uint16_t w = Send(0, Cdb6(SCSI_RESERVE6));
    KERNEL_ENTRY* ps = nullptr;
    ASSERT_EQ(bPeekNewCommand(&ps), STATUS_FOUND);
    (void)ConvertAtio7Command(ps);
    WidenCdbTo10(pGetCommandCdb(ps));
    ASSERT_EQ(AnswerReserve(ps, NO_LUN_INDEX), STATUS_OK);
    host.Serve();
    EXPECT_EQ(Reply(w).bStatus, SCSI_STATUS_GOOD);
    uint8_t bPort;
    uint16_t wHolder, wFor;
    uint8_t fFor, bController;
    for (uint16_t l = 0; l < 512; ++l) {
        ASSERT_EQ(bGetScsi2Reservation(l, &bPort, &wHolder, &fFor, &wFor, &bController), SCSI2_NOT_RESERVED) << l;
    }
}

// The chip gives a freed handle to the next host that logs in: the
// reservation must end with its holder's login, not pass to that host.
TEST_F(Scsi2ReservationsTest, AReservationEndsWithItsHoldersLogin) {
    struct Case {
        const char* pszWhat;
        uint16_t wStatus;
        uint8_t bEls;
    };
    const Case acCases[] = {{"LOGO", NOTIFY_ELS, ELS_LOGO},
                            {"PRLO", NOTIFY_ELS, ELS_PRLO},
                            {"port logout", NOTIFY_LOGOUT, 0},
                            {"global logout", NOTIFY_GLOBAL_LOGOUT, 0},
                            {"new PLOGI of the same port", NOTIFY_ELS, ELS_PLOGI}};
    for (const Case& c : acCases) {
        host.Login(INITIATOR, HANDLE);
        ASSERT_EQ(Ask(INITIATOR, Cdb6(SCSI_RESERVE6)).bStatus, SCSI_STATUS_GOOD) << c.pszWhat;
        ASSERT_EQ(Ask(OTHER, Cdb6(SCSI_RESERVE6)).bStatus, CONFLICT) << c.pszWhat;
        // A logout of another initiator leaves it.
        EndLogin(99, 0x010299, c.wStatus == NOTIFY_GLOBAL_LOGOUT ? NOTIFY_ELS : c.wStatus, ELS_LOGO);
        ASSERT_EQ(Ask(OTHER, Cdb6(SCSI_RESERVE6)).bStatus, CONFLICT) << c.pszWhat;
        EndLogin(HANDLE, INITIATOR, c.wStatus, c.bEls);
        if (c.wStatus == NOTIFY_GLOBAL_LOGOUT) host.Login(OTHER, OTHER_HANDLE);
        EXPECT_EQ(Ask(OTHER, Cdb6(SCSI_RESERVE6)).bStatus, SCSI_STATUS_GOOD) << c.pszWhat;
        EXPECT_EQ(Ask(OTHER, Cdb6(SCSI_RELEASE6)).bStatus, SCSI_STATUS_GOOD) << c.pszWhat;
        (void)bRemoveHandleMapping(PORT, INITIATOR, HANDLE);
    }
}

TEST_F(Scsi2ReservationsTest, ThirdPartyReservationIsHeldForTheInitiatorItsListNames) {
    ListOther();
    // Any length but the 8-byte list is refused before data.
    for (uint16_t wLength : {0, 7, 9, 24, 0xFFFF}) {
        const Answer a = Ask(INITIATOR, ThirdParty(SCSI_RESERVE10, wLength), 0, {}, wLength);
        EXPECT_EQ(a.bStatus, SCSI_STATUS_CHECK_CONDITION) << wLength;
        EXPECT_EQ(a.bKey, SENSE_ILLEGAL_REQUEST) << wLength;
        EXPECT_EQ(a.bAsc, ASC_PARAMETER_LIST_LENGTH) << wLength;
    }
    // A port name nobody on the port has.
    Answer a = Ask(INITIATOR, ThirdParty(SCSI_RESERVE10, 8), 0, Name(0x2100001B32000099ull));
    EXPECT_EQ(a.bKey, SENSE_ILLEGAL_REQUEST);
    EXPECT_EQ(a.bAsc, ASC_INVALID_FIELD_IN_PARAMETERS);
    EXPECT_EQ(Ask(OTHER, Cdb6(SCSI_RESERVE6)).bStatus, SCSI_STATUS_GOOD);
    EXPECT_EQ(Ask(OTHER, Cdb6(SCSI_RELEASE6)).bStatus, SCSI_STATUS_GOOD);

    ASSERT_EQ(Ask(INITIATOR, ThirdParty(SCSI_RESERVE10, 8), 0, Name(OTHER_PORT_NAME)).bStatus, SCSI_STATUS_GOOD);
    uint8_t bPort, fFor, bController;
    uint16_t wHolder, wFor;
    ASSERT_EQ(bGetScsi2Reservation(0, &bPort, &wHolder, &fFor, &wFor, &bController), SCSI2_RESERVED);
    EXPECT_EQ(wHolder, HANDLE);
    EXPECT_EQ(fFor, TRUE);
    EXPECT_EQ(wFor, OTHER_HANDLE);
    EXPECT_EQ(Ask(OTHER, Cdb10(SCSI_READ_CAPACITY10, 0, 0), 0, {}, 8).bStatus, SCSI_STATUS_GOOD);
    // A third-party release naming another initiator releases nothing.
    ASSERT_EQ(Ask(INITIATOR, ThirdParty(SCSI_RELEASE10, 8), 0, Name(0x2100001B32000099ull)).bKey, SENSE_ILLEGAL_REQUEST);
    ListOther();
    HOST_PORT_RECORD* psList = pGetHostPortRecord(PORT);
    psList->bInitiatorCount = 2;
    psList->asInitiator[1] = psList->asInitiator[0];
    psList->asInitiator[1].bId = 99;
    psList->asInitiator[1].abPortName[7] = 0x99;
    EXPECT_EQ(Ask(INITIATOR, ThirdParty(SCSI_RELEASE10, 8), 0, Name(0x2100001B32000099ull)).bStatus, SCSI_STATUS_GOOD);
    ASSERT_EQ(bGetScsi2Reservation(0, &bPort, &wHolder, &fFor, &wFor, &bController), SCSI2_RESERVED);
    EXPECT_EQ(Ask(INITIATOR, ThirdParty(SCSI_RELEASE10, 8), 0, Name(OTHER_PORT_NAME)).bStatus, SCSI_STATUS_GOOD);
    EXPECT_EQ(bGetScsi2Reservation(0, &bPort, &wHolder, &fFor, &wFor, &bController), SCSI2_NOT_RESERVED);
}

TEST_F(Scsi2ReservationsTest, WithAPartnerEachDecisionWaitsForItsVerdict) {
    const uint32_t adPortAddress[2] = {0x00002010, 0x500605B0};   // the partner on drive-side path 1
    SetPartnerDrivePath(1, TRUE, 0x20, adPortAddress);
    SetDualControllerValid(TRUE);
    const uint16_t w = Send(0, Cdb6(SCSI_RESERVE6));
    Cycle();
    KERNEL_ENTRY* ps = Entry(w);
    EXPECT_FALSE(host.Reply(w).fStatus);
    EXPECT_EQ(ps->bCommandType, COMMAND_TYPE_RESERVATION_PARTNER);
    EXPECT_EQ(ps->bPrimaryState, HOST_STATE_PARTNER_WAIT);
    EXPECT_EQ(wGetPortNewCommands(PORT), 0);
    // Nothing answers here until the partner's verdict comes.
    (void)DualControllerTask();
    Settle();
    EXPECT_FALSE(host.Reply(w).fStatus);
    FinishReserve(ps, TRUE, FALSE, PORT, 0, HANDLE, SCSI2_NO_INITIATOR, 1);
    Settle();
    EXPECT_EQ(Reply(w).bStatus, SCSI_STATUS_GOOD);
    // The partner's host may not have it now, and its release of another
    // holder's reservation is refused.
    EXPECT_EQ(fPartnerReserveRequest(FALSE, PORT, 0, HANDLE, SCSI2_NO_INITIATOR, 2), FALSE);
    PartnerReleaseRequest(FALSE, PORT, 0, HANDLE, SCSI2_NO_INITIATOR, 2);
    EXPECT_EQ(Ask(OTHER, Cdb6(SCSI_RESERVE6)).bStatus, CONFLICT);
    // A verdict against the reservation answers RESERVATION CONFLICT.
    const uint16_t wRefused = Send(1, Cdb6(SCSI_RESERVE6));
    Cycle();
    FinishReserve(Entry(wRefused), FALSE, FALSE, PORT, 1, HANDLE, SCSI2_NO_INITIATOR, 1);
    Settle();
    EXPECT_EQ(Reply(wRefused).bStatus, CONFLICT);
    SetDualControllerValid(FALSE);
}

TEST_F(Scsi2ReservationsTest, ReservationTakenThroughThePartnerBlocksEveryLocalCommand) {
    ASSERT_EQ(fPartnerReserveRequest(FALSE, PORT, 0, HANDLE, SCSI2_NO_INITIATOR, 2), TRUE);
    // Same port code and handle as a local host: still the partner's.
    EXPECT_EQ(Ask(INITIATOR, Cdb10(SCSI_READ_CAPACITY10, 0, 0), 0, {}, 8).bStatus, CONFLICT);
    EXPECT_EQ(Ask(OTHER, Cdb10(SCSI_READ_CAPACITY10, 0, 0), 0, {}, 8).bStatus, CONFLICT);
    EXPECT_EQ(Ask(INITIATOR, Cdb6(SCSI_RELEASE6)).bStatus, SCSI_STATUS_GOOD);
    EXPECT_EQ(bCheckScsi2Reservation(PORT, 0, HANDLE, TRUE), STATUS_OK);
    // A logout here does not end what the partner's host holds.
    EndLogin(HANDLE, INITIATOR);
    EXPECT_EQ(bCheckScsi2Reservation(PORT, 0, HANDLE, FALSE), RESERVATION_CONFLICT);
    PartnerReleaseRequest(FALSE, SCSI2_NO_PORT, 0, SCSI2_NO_INITIATOR, SCSI2_NO_INITIATOR, 2);
    EXPECT_EQ(bCheckScsi2Reservation(PORT, 0, HANDLE, FALSE), STATUS_OK);
}

// The conflict check itself: the holder is its initiator on its port, and
// a reservation belongs to one controller's hosts.
TEST_F(Scsi2ReservationsTest, ConflictCheckTable) {
    struct Case {
        const char* pszWhat;
        uint8_t bPort;
        uint16_t wInitiator;
        uint8_t fRemote;
        uint8_t bResult;
    };
    // Held by handle 300 of port 1 through controller 1 (this one).
    SetScsi2Reservation(PORT_CODE_FC_HOST_1, 5, 300, FALSE, SCSI2_NO_INITIATOR, bGetControllerNumber());
    const Case acCases[] = {
        {"the holder", PORT_CODE_FC_HOST_1, 300, FALSE, STATUS_OK},
        {"the same handle on the other port", PORT_CODE_FC_HOST_2, 300, FALSE, RESERVATION_CONFLICT},
        {"a handle with the holder's low byte", PORT_CODE_FC_HOST_1, 300 & 0xFF, FALSE, RESERVATION_CONFLICT},
        {"another initiator", PORT_CODE_FC_HOST_1, 7, FALSE, RESERVATION_CONFLICT},
        {"the holder's handle asked by the partner", PORT_CODE_FC_HOST_1, 300, TRUE, RESERVATION_CONFLICT},
    };
    for (const Case& c : acCases) {
        EXPECT_EQ(bCheckScsi2Reservation(c.bPort, 5, c.wInitiator, c.fRemote), c.bResult) << c.pszWhat;
    }
    EXPECT_EQ(bCheckScsi2Reservation(PORT_CODE_FC_HOST_2, 4, 300, FALSE), STATUS_OK);
    EXPECT_EQ(bCheckScsi2Reservation(PORT_CODE_FC_HOST_2, 512, 300, FALSE), STATUS_OK);
}

TEST_F(Scsi2ReservationsTest, DumpListsTheReservedDrives) {
    SetScsi2Reservation(PORT, 1, 300, FALSE, SCSI2_NO_INITIATOR, 1);
    board.ClearConsoleText();
    DumpReservationVariables();
    EXPECT_EQ(board.ConsoleText(), "Dump reservation variables:\r\n  LUN 01, RF f1, RID 300, RDEV 01, 3PRF f0, 3PRID 65535, "
                         "RC 01\r\n\r\n");
}

}  // namespace
}  // namespace target_test
