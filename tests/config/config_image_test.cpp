// The stored configuration image: the default image byte for byte, sealing
// and the validation every copy read from a drive or the partner passes.
#include <cstring>

#include "config/config_commit.h"
#include "config/config_image.h"
#include "config/default_config.h"
#include "config/spares_wwn.h"
#include "harness/config_test.h"
#include "executive/system_state.h"
#include "partner/partner_link.h"

namespace cfgtest {

using namespace harness;

namespace {

// A partner reached on drive-side path 1, the link valid.
void SetPartnerOnDriveSide() {
    const uint32_t adPortAddress[2] = {0x00002010, 0x500605B0};
    fw::SetPartnerDrivePath(1, fw::TRUE, 0x20, adPortAddress);
    fw::SetDualControllerValid(fw::TRUE);
}

uint32_t ReadLe(const CONFIG_IMAGE& s, uint32_t dOffset, uint32_t dWidth) {
    const uint8_t* pb = reinterpret_cast<const uint8_t*>(&s) + dOffset;
    uint32_t d = 0;
    for (uint32_t i = 0; i < dWidth; i++) d |= static_cast<uint32_t>(pb[i]) << (8 * i);
    return d;
}

class ConfigImageTest : public ConfigTest {
protected:
    // A zeroed image with the defaults of this controller, sealed.
    void MakeSealedDefault() {
        std::memset(&s_sLive, 0, sizeof(s_sLive));
        fw::MakeDefaultConfiguration(&s_sLive, fw::TRUE);
        fw::SealConfigImage(&s_sLive, fw::FALSE);
    }
};

TEST_F(ConfigImageTest, DefaultImageHoldsTheNewImageValuesAtEveryFixedOffset) {
    MakeSealedDefault();
    struct Field {
        uint32_t dOffset;
        uint32_t dWidth;
        uint32_t dValue;
    };
    const Field asFields[] = {
        {0, 4, 940032},   {12, 4, 14},        {16, 4, 0x12345678}, {20, 4, 0},
        {144, 2, 0},      {146, 2, 0},        {148, 2, 0},         {150, 2, 0},
        {152, 2, 0},      {154, 2, 0},        {156, 2, 0},         {158, 1, fw::FALSE},
        {159, 1, fw::FALSE}, {160, 2, 0},     {162, 1, fw::TRUE},  {163, 1, 0x84},
        {164, 1, 0x85},   {165, 1, 0x84},     {166, 1, 0x85},      {167, 1, 1},
        {168, 1, 50},     {169, 1, fw::FALSE}, {170, 1, 2},        {171, 1, fw::TRUE},
        {204, 2, 0xFFFF}, {206, 1, fw::FALSE}, {207, 1, 255},      {208, 1, fw::FALSE},
        {209, 1, fw::FALSE}, {210, 1, fw::TRUE}, {211, 1, fw::FALSE}, {212, 2, 0},
        {214, 2, 0},      {216, 4, 0},        {220, 1, fw::FALSE}, {221, 1, 0},
        {222, 1, 50},     {223, 1, fw::FALSE}, {224, 2, 0},        {226, 2, 0},
        {228, 1, fw::FALSE}, {235, 1, fw::FALSE}, {244, 1, 0},     {245, 1, 4},
        {246, 2, 128},    {248, 2, 512},
        // Snapshot set 0 and 511, virtual logical drive 0, cache settings.
        {915104, 1, fw::FALSE}, {915108, 2, 0xFFFF}, {915104 + 511 * 12 + 4, 2, 0xFFFF},
        {921248, 1, 0},   {933536, 1, fw::FALSE}, {933537, 1, 4},   {933538, 2, 0},
        {933540, 2, 800}, {933542, 2, 0},     {933544, 2, 0},      {933548, 4, 200},
    };
    for (const Field& f : asFields)
        EXPECT_EQ(ReadLe(s_sLive, f.dOffset, f.dWidth), f.dValue) << "offset " << f.dOffset;

    EXPECT_EQ(std::memcmp(s_sLive.sHeader.acConfigName, "Default Configuration Name", 26), 0);
    for (int i = 26; i < 64; i++) EXPECT_EQ(s_sLive.sHeader.acConfigName[i], ' ') << i;
    uint8_t abWwn[8];
    fw::pGetControllerWWN(abWwn);
    EXPECT_EQ(fw::fIsNonZeroWwn(abWwn), fw::TRUE);
    EXPECT_EQ(std::memcmp(s_sLive.sHeader.abWriterWwn, abWwn, 8), 0);
    for (uint32_t dOffset = 32; dOffset < 48; dOffset++) EXPECT_EQ(ReadLe(s_sLive, dOffset, 1), 0u) << dOffset;
    EXPECT_EQ(fw::dXorImageWords(&s_sLive, 0, 128), 0u);
    EXPECT_EQ(fw::fIsConfigImageValid(&s_sLive), fw::TRUE);
}

TEST_F(ConfigImageTest, DefaultsFollowPartnerHostInterfaceAndOemCode) {
    SetPartnerOnDriveSide();
    fw::SetHostInterfaceType(2);
    MakeSealedDefault();
    EXPECT_EQ(s_sLive.sHeader.fSingleControllerMode, fw::FALSE);
    EXPECT_EQ(s_sLive.sHeader.abPortHardAddress[0], 4);
    EXPECT_EQ(s_sLive.sHeader.abPortHardAddress[1], 5);
    EXPECT_EQ(s_sLive.sHeader.abPortHardAddress[2], 0x84);
    EXPECT_EQ(s_sLive.sHeader.abPortDataRate[0], 2);
    EXPECT_EQ(s_sLive.sHeader.afPortOptionA[1], fw::TRUE);
    EXPECT_EQ(s_sLive.sHeader.afPortOptionB[0], fw::TRUE);
}

TEST_F(ConfigImageTest, AnyChangedByteOfASealedImageFailsValidation) {
    MakeSealedDefault();
    // Header bytes (the check words included) and body bytes of every region.
    const uint32_t adOffsets[] = {0, 4, 8, 13, 20, 24, 48, 150, 511, 512, 15872, 310784 + 1087,
                                  867840, 869920, 902688, 915104, 921248, 933536, 940031};
    for (uint32_t dOffset : adOffsets) {
        for (uint8_t bFlip : {0x01, 0x80, 0xFF}) {
            CONFIG_IMAGE& s = s_sScratch;
            std::memcpy(&s, &s_sLive, sizeof(s));
            reinterpret_cast<uint8_t*>(&s)[dOffset] ^= bFlip;
            EXPECT_EQ(fw::fIsConfigImageValid(&s), fw::FALSE) << dOffset << " ^ " << int(bFlip);
        }
    }
}

TEST_F(ConfigImageTest, ValidationTestsMagicAndArrayCountBeforeTheChecks) {
    MakeSealedDefault();
    s_sLive.sHeader.wRankCount = 64;
    fw::SealConfigImage(&s_sLive, fw::FALSE);
    EXPECT_EQ(fw::fIsConfigImageValid(&s_sLive), fw::TRUE);
    s_sLive.sHeader.wRankCount = 65;
    fw::SealConfigImage(&s_sLive, fw::FALSE);
    EXPECT_EQ(fw::fIsConfigImageValid(&s_sLive), fw::FALSE);
    s_sLive.sHeader.wRankCount = 1;
    s_sLive.sHeader.dMagic = 0x12345679;
    s_sLive.sHeader.dHeaderCheck = 0;
    s_sLive.sHeader.dHeaderCheck = fw::dXorImageWords(&s_sLive, 0, 128);
    EXPECT_EQ(fw::fIsConfigImageValid(&s_sLive), fw::FALSE);
    // Size and version are not part of the test.
    fw::SealConfigImage(&s_sLive, fw::FALSE);
    s_sLive.sHeader.dVersion = 13;
    s_sLive.sHeader.dImageSize = 1;
    s_sLive.sHeader.dHeaderCheck = 0;
    s_sLive.sHeader.dHeaderCheck = fw::dXorImageWords(&s_sLive, 0, 128);
    EXPECT_EQ(fw::fIsConfigImageValid(&s_sLive), fw::TRUE);
}

TEST_F(ConfigImageTest, ResetToDefaultsKeepsOldRecordsButClearsEveryCount) {
    AddRank(fw::RAID_LEVEL_5, 4, 128, 100000);
    AddLd({{0, 1000}});
    s_sLive.sHeader.fAutoRebuild = fw::FALSE;
    std::memcpy(&s_sScratch, &s_sLive, sizeof(s_sScratch));
    fw::ResetConfigurationToDefaults();
    EXPECT_EQ(s_sScratch.sHeader.wRankCount, 0);
    EXPECT_EQ(s_sScratch.sHeader.wLdCount, 0);
    EXPECT_EQ(s_sScratch.sHeader.fAutoRebuild, fw::TRUE);
    EXPECT_EQ(s_sScratch.asRank[0].bDriveCount, 4);
    EXPECT_EQ(std::memcmp(s_sScratch.sHeader.abWriterWwn, s_sLive.sHeader.abWriterWwn, 8), 0);
}

// What a commit writes names each drive once: a failed member's slot lets
// go of a drive that now stands elsewhere (the later member slot or a
// spare keeps it), and a spare that became a member leaves the spare list.
TEST_F(ConfigImageTest, CommitNamesEveryDriveOnceBetweenMembersAndSpares) {
    const uint8_t r0 = AddRank(5, 3, 64, 1 << 20);
    const uint8_t r1 = AddRank(5, 3, 64, 1 << 20);
    CONFIG_IMAGE& s = s_sLive;
    const Wwn sMoved = MemberWwn(r1, 0);      // r0's failed member 0 now serves r1
    const Wwn sSpared = {{0x20, 0, 0, 0x11, 0x22, 0x33, 0x70, 1}};   // r0's failed member 1 is a spare now
    const Wwn sRebuilt = MemberWwn(r1, 2);    // a spare rebuilt into r1
    const Wwn sSpare = {{0x20, 0, 0, 0x11, 0x22, 0x33, 0x70, 2}};
    std::memcpy(s.asRank[r0].aabMemberWwn[0], sMoved.ab, 8);
    s.asRank[r0].abMemberState[0] = 17;
    std::memcpy(s.asRank[r0].aabMemberWwn[1], sSpared.ab, 8);
    s.asRank[r0].abMemberState[1] = 17;
    // A failed member whose drive stands nowhere else keeps its name.
    s.asRank[r1].abMemberState[1] = 17;
    for (const Wwn* ps : {&sSpared, &sRebuilt, &sSpare}) {
        fw::SPARE_ENTRY& sEntry = s.asSpare[s.sHeader.wSpareCount++];
        std::memcpy(sEntry.abWwn, ps->ab, 8);
        sEntry.bDedicatedRank = 0xFF;
    }

    fw::SyncSpareListWithRanks(&s);

    const uint8_t abZero[8] = {};
    EXPECT_EQ(std::memcmp(s.asRank[r0].aabMemberWwn[0], abZero, 8), 0);
    EXPECT_EQ(std::memcmp(s.asRank[r0].aabMemberWwn[1], abZero, 8), 0);
    EXPECT_EQ(std::memcmp(s.asRank[r0].aabMemberWwn[2], MemberWwn(r0, 2).ab, 8), 0);
    EXPECT_EQ(std::memcmp(s.asRank[r1].aabMemberWwn[0], sMoved.ab, 8), 0);
    EXPECT_EQ(std::memcmp(s.asRank[r1].aabMemberWwn[1], MemberWwn(r1, 1).ab, 8), 0);
    ASSERT_EQ(s.sHeader.wSpareCount, 2);
    EXPECT_EQ(std::memcmp(s.asSpare[0].abWwn, sSpared.ab, 8), 0);
    EXPECT_EQ(std::memcmp(s.asSpare[1].abWwn, sSpare.ab, 8), 0);
}

// A commit that leaves an array as it was but no longer waiting for its
// initialisation says the initialisation was given up; a changed array or
// a changed array count is a new array, not an aborted initialisation.
TEST_F(ConfigImageTest, ACommitTakingAnArraysPendingInitialisationAwayPostsEvent116) {
    struct Case {
        const char* pszName;
        void (*Change)(CONFIG_IMAGE&);
        bool fPosted;
    };
    const Case asCases[] = {
        {"same array", [](CONFIG_IMAGE&) {}, true},
        {"other chunk", [](CONFIG_IMAGE& s) { s.asRank[1].wChunkSize = 128; }, false},
        {"other member", [](CONFIG_IMAGE& s) { s.asRank[1].aabMemberWwn[2][7] ^= 0x40; }, false},
        {"array added", [](CONFIG_IMAGE& s) { s.sHeader.wRankCount = 3; }, false},
    };
    AddRank(5, 3, 64, 1 << 20);
    AddRank(6, 4, 64, 1 << 20);
    s_sLive.asRank[1].bInitState = 1;
    for (const Case& c : asCases) {
        uint16_t wNext = 0;
        fw::GetEventLogPosition(&m_wFirstEvent, &wNext);
        std::memcpy(&s_sScratch, &s_sLive, sizeof(s_sScratch));
        s_sScratch.asRank[1].bInitState = 0xFF;
        c.Change(s_sScratch);
        fw::CheckRankChangesBeforeCommit(&s_sScratch, &s_sLive);
        const fw::EVENT_LOG_ENTRY* ps = FindEvent(116);
        ASSERT_EQ(ps != nullptr, c.fPosted) << c.pszName;
        if (ps == nullptr) continue;
        EXPECT_EQ(ps->abArgs[0], 3);
        EXPECT_EQ(ps->abArgs[1], 5);
        EXPECT_EQ(ps->abArgs[2], 1);
        EXPECT_EQ(EventCodes().size(), 1u);   // array 0 was not waiting
    }
}

}  // namespace
}  // namespace cfgtest
