// Management set commands from a Fibre Channel host: the WRITE BUFFER
// refused before its data for codes and arguments its tables do not hold,
// the signature, the answer of each outcome, the hold kept while one runs,
// and the header check of the scratch image an edit works on.
#include <cstring>
#include <functional>
#include <vector>

#include "config/config_flags.h"
#include "config/config_phase.h"
#include "config/config_state.h"
#include "executive/date_time.h"
#include "executive/system_state.h"
#include "host_board.h"
#include "mgmt/management.h"
#include "mgmt/management_commands.h"
#include "target/management_dispatch.h"

namespace target_test {
namespace {

using namespace fw;

constexpr uint32_t INVALID_CDB = 0x052400;
constexpr uint32_t INVALID_PARAMETERS = 0x052600;
constexpr uint32_t NOT_READY = 0x020400;
constexpr uint32_t GOOD = 0;

class ManagementTest : public HostBoard {
protected:
    void SetUp() override {
        HostBoard::SetUp();
        // Two arrays, each with one logical drive; an edit is open.
        MakeDrives({100000, 100000});
        ClearAttentions();
        std::memcpy(&harness::s_sScratch, &harness::s_sLive, sizeof(CONFIG_IMAGE));
        RecordConfigIndex(REQUESTER_MANAGEMENT);
    }
    static std::vector<uint8_t> Cdb(uint8_t bCode, uint8_t b3, uint8_t b4, uint8_t b5, uint32_t dLength) {
        return {SCSI_WRITE_BUFFER, 0x01, bCode, b3, b4, b5, uint8_t(dLength >> 16), uint8_t(dLength >> 8),
                uint8_t(dLength), 0};
    }
    static std::vector<uint8_t> Signed(const std::vector<uint8_t>& abBlock) {
        std::vector<uint8_t> ab(std::begin(MANAGEMENT_SIGNATURE), std::end(MANAGEMENT_SIGNATURE));
        ab.insert(ab.end(), abBlock.begin(), abBlock.end());
        return ab;
    }
    // The command with its data; the answer as sense key, ASC and ASCQ
    // (0 for GOOD).
    uint32_t Run(uint8_t bCode, uint8_t b3 = 0, uint8_t b4 = 0, uint8_t b5 = 0,
                 const std::vector<uint8_t>& abBlock = {}) {
        return RunData(Cdb(bCode, b3, b4, b5, uint32_t(abBlock.size() + 16)), Signed(abBlock));
    }
    uint32_t RunData(const std::vector<uint8_t>& abCdb, const std::vector<uint8_t>& abData) {
        m_sLast = AskFrom(INITIATOR, abCdb, 0, abData);
        EXPECT_TRUE(m_sLast.fStatus);
        if (m_sLast.bStatus == SCSI_STATUS_GOOD) return GOOD;
        const Answer s = AnswerOf(m_sLast);
        return uint32_t(s.bKey) << 16 | uint32_t(s.bAsc) << 8 | s.bAscq;
    }
    static std::vector<uint8_t> ScratchBytes() {
        const uint8_t* pb = reinterpret_cast<const uint8_t*>(&harness::s_sScratch);
        return std::vector<uint8_t>(pb, pb + sizeof(CONFIG_IMAGE));
    }
    static void ExpectIdle(const char* pszWhat) {
        EXPECT_EQ(psGetCurrentManagementCommand(), nullptr) << pszWhat;
        EXPECT_EQ(fGetMgmtCommandActive(), FALSE) << pszWhat;
        EXPECT_EQ(fGetHostCommandHold(), FALSE) << pszWhat;
    }
    HostReply m_sLast;
};

TEST_F(ManagementTest, TheSignatureDecidesAndADamagedOneLeavesNothingBehind) {
    EXPECT_EQ(Run(0), GOOD);
    ExpectIdle("after code 0");
    std::vector<uint8_t> abDamaged = Signed({});
    abDamaged[15] ^= 0x01;
    EXPECT_EQ(RunData(Cdb(0, 0, 0, 0, 16), abDamaged), INVALID_PARAMETERS);
    ExpectIdle("after the damaged signature");
    EXPECT_EQ(Run(0), GOOD);
    // 201 does nothing and says so; 121 and 122 are retired.
    EXPECT_EQ(Run(201), GOOD);
    EXPECT_EQ(Run(121), INVALID_CDB);
    EXPECT_EQ(Run(122), INVALID_CDB);
    ExpectIdle("after 121 and 122");
}

TEST_F(ManagementTest, CodesWithoutAHandlerAndShortBlocksAreRefusedBeforeTheirData) {
    for (uint8_t bCode : {1, 127, 131, 160, 213, 218, 225, 255}) {
        EXPECT_EQ(Run(bCode), INVALID_CDB) << int(bCode);
        EXPECT_EQ(m_sLast.dDataOutMoved, 0u) << int(bCode);
    }
    // The array record of 144 needs its 240 bytes; more than a page is
    // never received.
    EXPECT_EQ(RunData(Cdb(144, 0, 0, 0, 16 + 239), std::vector<uint8_t>(16 + 239)), INVALID_CDB);
    EXPECT_EQ(m_sLast.dDataOutMoved, 0u);
    EXPECT_EQ(RunData(Cdb(0, 0, 0, 0, 4097), std::vector<uint8_t>(4097)), INVALID_CDB);
    EXPECT_EQ(m_sLast.dDataOutMoved, 0u);
    // A host that sends less than the CDB announced: the block is short.
    EXPECT_EQ(RunData(Cdb(164, 0, 0, 0, 32), Signed(std::vector<uint8_t>(10))), INVALID_PARAMETERS);
    ExpectIdle("after the short block");
}

struct BeyondCase {
    uint8_t bCode;
    uint8_t b3, b4, b5;
    uint16_t wBlock;
};

// Each names one entry past its table: arrays 0-1, logical drives 0-1, no
// mapping, no spare.
constexpr BeyondCase kBeyond[] = {
    {156, 2, 0, 0, 0},  {157, 0, 2, 0, 0},    {158, 0, 0, 0, 1088}, {159, 0, 0, 0, 0}, {166, 2, 0, 0, 0},
    {167, 2, 0, 0, 32}, {168, 0, 2, 0, 32},   {172, 2, 0, 0, 0},    {173, 1, 2, 0, 7}, {176, 2, 0, 0, 0},
    {176, 255, 0, 0, 0}, {177, 0, 2, 0, 0},   {177, 0xF1, 0xF0, 0, 0}, {178, 0, 0, 0, 0}, {179, 0, 0, 0, 0},
    {191, 2, 0, 0, 0},  {192, 2, 0, 0, 0},    {200, 0, 2, 0, 0},    {200, 0, 0, 2, 0}, {221, 0, 2, 0, 0},
    {223, 2, 0, 0, 0},
};

TEST_F(ManagementTest, ArgumentsBeyondTheirTablesAreRefusedAndChangeNothing) {
    const std::vector<uint8_t> abBefore = ScratchBytes();
    for (const BeyondCase& s : kBeyond) {
        const std::vector<uint8_t> abBlock(s.wBlock, 0x41);
        EXPECT_EQ(Run(s.bCode, s.b3, s.b4, s.b5, abBlock), INVALID_CDB) << int(s.bCode) << " " << int(s.b3) << " "
                                                                        << int(s.b4) << " " << int(s.b5);
        EXPECT_EQ(m_sLast.dDataOutMoved, 0u) << int(s.bCode);
    }
    EXPECT_TRUE(ScratchBytes() == abBefore);
    EXPECT_EQ(fGetConfigModified(), FALSE);
    ExpectIdle("after the refusals");
    // The last entries of each table are taken.
    EXPECT_EQ(Run(167, 1, 0, 0, std::vector<uint8_t>(32, 'B')), GOOD);
    EXPECT_EQ(Run(168, 0, 1, 0, std::vector<uint8_t>(32, 'L')), GOOD);
    EXPECT_EQ(std::memcmp(harness::s_sScratch.asRank[1].acArrayName, std::string(32, 'B').data(), 32), 0);
    EXPECT_EQ(std::memcmp(harness::s_sScratch.asLd[1].acLdName, std::string(32, 'L').data(), 32), 0);
}

// Each edit lands in the scratch image where it belongs, and only there.
TEST_F(ManagementTest, EditsLandInTheScratchImageWhereTheyBelong) {
    CONFIG_IMAGE& x = harness::s_sScratch;
    const uint8_t* pbHeader = reinterpret_cast<const uint8_t*>(&x.sHeader);
    const std::vector<uint8_t> abNine = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const std::vector<uint8_t> abSixteen(16, 0x3C);
    const std::vector<uint8_t> abText(64, 'T');
    const auto Holds = [](const void* pv, const std::vector<uint8_t>& ab) {
        return std::memcmp(pv, ab.data(), ab.size()) == 0;
    };
    const CONFIG_HEADER& h = x.sHeader;
    const struct {
        const char* pszWhat;
        uint8_t bCode, b3, b4, b5;
        std::vector<uint8_t> abBlock;
        std::function<bool()> fnLanded;
    } asCases[] = {
        {"151", 151, 0x5A, 0, 0, {}, [&] { return pbHeader[162] == 0x5A; }},
        {"153", 153, 0x11, 0, 0, {}, [&] { return pbHeader[211] == 0x11; }},
        {"190", 190, 0x22, 0, 0, {}, [&] { return pbHeader[222] == 0x22; }},
        {"156", 156, 1, 0x01, 0x23, {},
         [&] {
             const CONFIG_RANK_RECORD& r = x.asRank[1];
             return (r.bCachePolicy & 0xFD) == 0x01 && r.wWriteThreshold == 3 && r.wReadAhead == 2;
         }},
        {"156 defaults", 156, 0, 0x00, 0x9F, {},
         [&] { return x.asRank[0].wWriteThreshold == 5 && x.asRank[0].wReadAhead == 0; }},
        {"157", 157, 0, 1, 0x05, {}, [&] { return x.asLd[1].bAvailability == 5 && x.asLd[1].bLdUseFlags == 0; }},
        {"161", 161, 2, 0, 0, abNine, [&] { return Holds(pbHeader + 259, abNine); }},
        {"163", 163, 0, 0, 0, abText, [&] { return Holds(h.acConfigName, abText); }},
        {"164", 164, 2, 1, 0, abSixteen, [&] { return Holds(pbHeader + 172, abSixteen); }},
        {"187 on", 187, TRUE, 8, 0, {}, [&] { return h.fSetting220 == TRUE && h.bSetting221 == 8; }},
        {"187 beyond 64", 187, TRUE, 65, 0, {}, [&] { return h.fSetting220 == FALSE && h.bSetting221 == 0; }},
        {"191", 191, 1, 0, 0, {}, [&] { return x.asRank[1].fInitPaused == TRUE; }},
        {"192", 192, 1, 0, 0, {}, [&] { return x.asRank[1].fInitPaused == FALSE; }},
        {"166", 166, 0, 0, 0, {}, [&] { return x.asRank[0].bInitState == 1; }},
        {"172", 172, 0, 0, 0, {}, [&] { return x.asRank[0].bInitState == 0; }},
    };
    for (const auto& s : asCases) {
        EXPECT_EQ(Run(s.bCode, s.b3, s.b4, s.b5, s.abBlock), GOOD) << s.pszWhat;
        EXPECT_TRUE(s.fnLanded()) << s.pszWhat;
    }
    EXPECT_EQ(fGetConfigModified(), TRUE);
    // Nothing of it reached the running configuration.
    EXPECT_EQ(harness::s_sLive.asRank[1].wWriteThreshold, 0);
    // An initialisation not asked for cannot be cancelled.
    EXPECT_EQ(Run(172, 1), INVALID_CDB);
}

TEST_F(ManagementTest, BadValuesInTheBlockOrCdbAreRefusedAndChangeNothing) {
    std::vector<uint8_t> abName(32, 'N');
    abName[5] = 0x7F;
    const std::vector<uint8_t> abBefore = ScratchBytes();
    EXPECT_EQ(Run(167, 0, 0, 0, abName), INVALID_CDB);
    EXPECT_EQ(Run(168, 0, 0, 0, abName), INVALID_CDB);
    EXPECT_TRUE(ScratchBytes() == abBefore);
    // An expected save count that is not the controller's; 0 takes any.
    const uint16_t wCount = static_cast<uint16_t>(wGetConfigSaveCount() + 1);
    EXPECT_EQ(Run(130, uint8_t(wCount >> 8), uint8_t(wCount)), INVALID_CDB);
    EXPECT_EQ(fIsConfigUpdatePending(), FALSE);
    // Controllers are 1, 2 or both; only the partner named while it is not
    // running is refused.
    EXPECT_EQ(Run(195, 0), INVALID_CDB);
    EXPECT_EQ(Run(195, 4), INVALID_CDB);
    EXPECT_EQ(Run(196, uint8_t(3 - bGetControllerNumber())), INVALID_CDB);
    EXPECT_EQ(Run(197, 7, 0, 0, std::vector<uint8_t>(sizeof(DATE_TIME))), INVALID_CDB);
    ExpectIdle("after the refusals");
    EXPECT_EQ(Run(130), GOOD);
    EXPECT_EQ(fIsConfigUpdatePending(), TRUE);
}

// LUNs stay unique between logical drives and the controller's own; the
// settings take only the values they know.
TEST_F(ManagementTest, LunsStayUniqueAndSettingsTakeOnlyTheirValues) {
    CONFIG_IMAGE& x = harness::s_sScratch;
    x.asLd[0].wDefaultLun = 4;
    x.asLd[1].wDefaultLun = 5;
    const uint16_t wTaken = 5;
    const uint16_t wFree = 300;
    const auto LdLun = [](uint16_t wLd, uint16_t wLun) {
        return std::vector<uint8_t>{uint8_t(wLd), uint8_t(wLd >> 8), uint8_t(wLun), uint8_t(wLun >> 8)};
    };
    const std::vector<uint8_t> abBefore = ScratchBytes();
    const struct {
        const char* pszWhat;
        uint8_t bCode, b3, b4, b5;
        std::vector<uint8_t> abBlock;
    } asRefused[] = {
        {"169 another drive's LUN", 169, 0, 0, 0, LdLun(0, wTaken)},
        {"169 LUN 512", 169, 0, 0, 0, LdLun(0, 512)},
        {"169 no such drive", 169, 0, 0, 0, LdLun(2, wFree)},
        {"170 a drive's LUN", 170, uint8_t(wTaken >> 8), uint8_t(wTaken), 0, {}},
        {"170 LUN 512", 170, 0x02, 0x00, 0, {}},
        {"132 type beyond 0xF3", 132, 0, 0, 0, {0xF4, 5}},
        {"132 type below 0xF0", 132, 0, 0, 0, {0xEF, 5}},
        {"132 no time", 132, 0, 0, 0, {0xF1, 0}},
        {"133 another offset", 133, 1, 0, 224, {}},
    };
    for (const auto& s : asRefused) EXPECT_EQ(Run(s.bCode, s.b3, s.b4, s.b5, s.abBlock), INVALID_CDB) << s.pszWhat;
    EXPECT_TRUE(ScratchBytes() == abBefore);

    // The controller's LUN moves off a LUN a drive takes.
    EXPECT_EQ(Run(170, uint8_t(wFree >> 8), uint8_t(wFree)), GOOD);
    EXPECT_EQ(x.sHeader.wControllerLun, wFree);
    EXPECT_EQ(Run(169, 0, 0, 0, LdLun(0, wFree)), GOOD);
    EXPECT_EQ(x.asLd[0].wDefaultLun, wFree);
    EXPECT_NE(x.sHeader.wControllerLun, wFree);
    EXPECT_NE(x.sHeader.wControllerLun, wTaken);
    EXPECT_EQ(Run(170, 0xFF, 0xFF), GOOD);
    EXPECT_EQ(x.sHeader.wControllerLun, 0xFFFF);

    EXPECT_EQ(Run(132, 0, 0, 0, {0xF2, 200}), GOOD);
    EXPECT_EQ(x.sTqmSettings.bResponseType, 0xF2);
    EXPECT_EQ(x.sTqmSettings.bResponseTime, 99);
    EXPECT_EQ(Run(132, 0, 0, 0, {0xF0, 0}), GOOD);
    EXPECT_EQ(x.sTqmSettings.bResponseTime, 4);
    EXPECT_EQ(Run(133, 0, 0, 223), GOOD);
    EXPECT_EQ(x.sHeader.fCacheFlushCommand, FALSE);
    EXPECT_EQ(Run(133, 3, 0, 245), GOOD);
    EXPECT_EQ(x.sHeader.bSequentialWriteLevel, 3);
    EXPECT_EQ(Run(133, 9, 0, 245), GOOD);
    EXPECT_EQ(x.sHeader.bSequentialWriteLevel, dGetOemCode() == 0x101 ? 2 : 4);
}

TEST_F(ManagementTest, EditsWaitForTheirOwnOpenEditAndASoundScratchImage) {
    // Someone else's edit came after this one opened.
    RecordConfigIndex(REQUESTER_CONSOLE);
    EXPECT_EQ(Run(167, 0, 0, 0, std::vector<uint8_t>(32, 'A')), NOT_READY);
    EXPECT_EQ(m_sLast.dDataOutMoved, 0u);
    RecordConfigIndex(REQUESTER_MANAGEMENT);
    harness::s_sScratch.sHeader.dMagic ^= 1;
    EXPECT_EQ(Run(167, 0, 0, 0, std::vector<uint8_t>(32, 'A')), NOT_READY);
    harness::s_sScratch.sHeader.dMagic ^= 1;
    EXPECT_EQ(Run(167, 0, 0, 0, std::vector<uint8_t>(32, 'A')), GOOD);
    // Commands that are no edit do not need one.
    RecordConfigIndex(REQUESTER_CONSOLE);
    EXPECT_EQ(Run(0), GOOD);
}

TEST_F(ManagementTest, TheHeaderCheckTestsEveryField) {
    CONFIG_HEADER& h = harness::s_sScratch.sHeader;
    const CONFIG_HEADER sSound = h;
    EXPECT_EQ(bCheckConfigImageHeader(&harness::s_sScratch), STATUS_OK);
    h.wRankCount = MAX_RANKS;
    h.wLdCount = MAX_LDS;
    EXPECT_EQ(bCheckConfigImageHeader(&harness::s_sScratch), STATUS_OK) << "full tables";
    const struct {
        const char* pszField;
        void (*pfBreak)(CONFIG_HEADER&);
    } asCases[] = {
        {"size", [](CONFIG_HEADER& s) { s.dImageSize--; }},
        {"version", [](CONFIG_HEADER& s) { s.dVersion++; }},
        {"magic", [](CONFIG_HEADER& s) { s.dMagic = 0; }},
        {"arrays", [](CONFIG_HEADER& s) { s.wRankCount = MAX_RANKS + 1; }},
        {"logical drives", [](CONFIG_HEADER& s) { s.wLdCount = MAX_LDS + 1; }},
    };
    for (const auto& s : asCases) {
        h = sSound;
        s.pfBreak(h);
        EXPECT_NE(bCheckConfigImageHeader(&harness::s_sScratch), STATUS_OK) << s.pszField;
    }
    h = sSound;
}

TEST_F(ManagementTest, AnOpenWaitsForThePhaseAndAnInterruptedCommitAnswersNotReady) {
    // 128 opens the edit: answered by the phase, the host held meanwhile.
    const uint16_t wSaves = wGetConfigSaveCount();
    const HostReply& r = AskFrom(INITIATOR, Cdb(128, 0, 0, 0, 16), 0, Signed({}));
    EXPECT_FALSE(r.fStatus);
    EXPECT_EQ(wGetConfigSaveCount(), uint16_t(wSaves + 1));
    EXPECT_EQ(bGetConfigPhase(), CONFIG_PHASE_EDIT);
    EXPECT_EQ(bGetConfigRequester(), REQUESTER_MANAGEMENT);
    ASSERT_NE(psGetCurrentManagementCommand(), nullptr);
    EXPECT_EQ(fGetHostCommandHold(), TRUE);
    const uint16_t wIndex = psGetCurrentManagementCommand()->wIndex;
    FailManagementCommandOnAbort();
    Settle();
    const Answer s = Reply(wIndex);
    EXPECT_EQ(uint32_t(s.bKey) << 16 | uint32_t(s.bAsc) << 8 | s.bAscq, NOT_READY);
    ExpectIdle("after the abort");
    SetConfigPhase(CONFIG_PHASE_IDLE);
}

}  // namespace
}  // namespace target_test
