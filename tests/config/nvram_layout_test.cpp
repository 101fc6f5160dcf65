// NVRAM validation: the formatted image byte for byte, WWN repair by model,
// version migration and the repairs of the start-of-day check.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "executive/interrupt_controller.h"
#include "executive/rtc.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "sim/board.h"
#include "harness/calendar.h"

namespace {

const uint8_t FACTORY_WWN[8] = {0x20, 0x00, 0x00, 0x5A, 0xA5, 0xA0, 0x00, 0x01};
constexpr uint8_t T = 0xF1;
constexpr uint8_t F = 0xF0;

// Each case gets a board of its own; only one board maps the buffer banks
// at a time.
class NvramLayoutTest : public ::testing::Test {
protected:
    static void Init() {
        harness::PrepareInterruptsAndCalendar();
    }
    static uint8_t* Nv() { return sim::Board::Current().nvram().Data(); }
    void Put(uint32_t dOffset, const void* p, size_t n) { std::memcpy(Nv() + dOffset, p, n); }
    void PutText(uint32_t dOffset, const char* psz) { Put(dOffset, psz, std::strlen(psz)); }
    static std::string Text(uint32_t dOffset, size_t n) { return std::string(reinterpret_cast<char*>(Nv() + dOffset), n); }
};

TEST_F(NvramLayoutTest, FormatWritesTheGoldenImage) {
    sim::Board board;
    Init();
    std::memset(Nv(), 0x5A, fw::NVRAM_SIZE);   // whatever was there before
    Put(0x0C, FACTORY_WWN, 8);
    const uint8_t abBaud[4] = {0x00, 0xC2, 0x01, 0x00};
    Put(0x14, abBaud, 4);
    fw::SetModelCode(fw::MODEL_Z8Q2);

    EXPECT_EQ(fw::ValidateNvram(), F);

    std::vector<uint8_t> expected(fw::NVRAM_SIZE, 0);
    auto Set = [&](uint32_t dOffset, std::initializer_list<uint8_t> ab) {
        std::copy(ab.begin(), ab.end(), expected.begin() + dOffset);
    };
    auto SetText = [&](uint32_t dOffset, const std::string& s) { std::copy(s.begin(), s.end(), expected.begin() + dOffset); };
    SetText(0x00, "0005BXQ1");
    Set(0x0C, {0x20, 0x00, 0x00, 0xA5, 0x5A, 0xA0, 0x00, 0x01});   // prefix of the second identifier, tail kept
    Set(0x14, {0x00, 0xC2, 0x01, 0x00});
    Set(0x7A, {T});
    SetText(0x7B, "Dunra   ");
    SetText(0x83, "Vomax fibre     ");
    SetText(0x93, "RZ8Q2T");
    SetText(0xA8, "Dunra RAID controller. All rights reserved.     ");
    Set(0xD9, {0x20, 0x00, 0x00, 0xA5, 0x5A, 0xA0, 0x00, 0x01});   // alternate WWN from the controller WWN
    Set(0xE1, {0x84, 0x85});
    for (uint32_t d : {0x200, 0x205, 0x212, 0x223, 0x23C, 0x255, 0x262, 0x277, 0x284, 0x29D, 0x2A6, 0x2B3, 0x301}) {
        expected[d] = F;
    }
    Set(0x300, {T});
    Set(0x382, {T, F});
    for (uint32_t i = 0; i < 8; ++i) {
        expected[0x7FF00 + i] = 0xFF;
        expected[0x7FF10 + i] = 0x55;
        expected[0x7FF18 + i] = 0xAA;
    }
    for (uint32_t i = 0x7FFF8; i < fw::NVRAM_SIZE; ++i) expected[i] = 0x5A;   // never touched

    for (uint32_t i = 0; i < fw::NVRAM_SIZE; ++i) {
        ASSERT_EQ(Nv()[i], expected[i]) << "offset 0x" << std::hex << i;
    }
    EXPECT_EQ(fw::ValidateNvram(), T);   // formatted from now on
}

TEST_F(NvramLayoutTest, ControllerWwnIsRepairedOnlyOnKnownModels) {
    struct Case {
        const char* pszName;
        uint16_t wModel;
        std::vector<uint8_t> abWwn;
        uint8_t bResult;
        std::vector<uint8_t> abAfter;
    };
    const Case cases[] = {
        {"valid first identifier", fw::MODEL_Z7Q2, {0x20, 0, 0x00, 0x5A, 0xA5, 1, 2, 3}, T,
         {0x20, 0, 0x00, 0x5A, 0xA5, 1, 2, 3}},
        {"valid second identifier", 0x0600, {0x20, 0, 0x00, 0xA5, 0x5A, 1, 2, 3}, T,
         {0x20, 0, 0x00, 0xA5, 0x5A, 1, 2, 3}},
        {"foreign identifier, Z7Q3", fw::MODEL_Z7Q3, {0x20, 0, 0x00, 0x11, 0x22, 1, 2, 3}, T,
         {0x20, 0, 0x00, 0xA5, 0x5A, 1, 2, 3}},
        {"blank, expansion unit", fw::MODEL_Z7Q2_EXPANSION, {0, 0, 0, 0, 0, 0, 0, 0}, T,
         {0x20, 0, 0x00, 0xA5, 0x5A, 0, 0, 0}},
        {"blank, other model", 0x0600, {0, 0, 0, 0, 0, 0, 0, 0}, fw::NVRAM_WWN_INVALID, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"wrong first byte, other model", 0x0600, {0x10, 0, 0x00, 0x5A, 0xA5, 1, 2, 3}, fw::NVRAM_WWN_INVALID,
         {0x10, 0, 0x00, 0x5A, 0xA5, 1, 2, 3}},
    };
    for (const Case& c : cases) {
        sim::Board fresh;
        Init();
        std::memcpy(fresh.nvram().Data(), "0005BXQ1", 8);
        std::memcpy(fresh.nvram().Data() + 0x0C, c.abWwn.data(), 8);
        fw::SetModelCode(c.wModel);
        const uint64_t lWrites = fresh.nvram().WriteCount();
        EXPECT_EQ(fw::ValidateNvram(), c.bResult) << c.pszName;
        EXPECT_EQ(std::vector<uint8_t>(fresh.nvram().Data() + 0x0C, fresh.nvram().Data() + 0x14), c.abAfter)
            << c.pszName;
        if (c.bResult == fw::NVRAM_WWN_INVALID) {
            EXPECT_EQ(fresh.nvram().WriteCount(), lWrites) << c.pszName;
        }
    }
}

TEST_F(NvramLayoutTest, OlderVersionsMigrateInPlace) {
    struct Case {
        const char* pszVersion;
        bool fIdentityRewritten;
    };
    const Case cases[] = {{"0004", false}, {"0003", true}, {"0002", true}, {"0001", true}, {"0000", false}};
    for (const Case& c : cases) {
        sim::Board fresh;
        Init();
        fw::SetModelCode(fw::MODEL_Z8Q2);
        fw::ValidateNvram();
        const uint8_t abJournal[4] = {'0', '0', '0', '1'};
        fw::NvramWrite(0x08, abJournal, 4);
        fw::NvramWrite(0x83, "Custom product  ", 16);
        fw::NvramWrite8(0x18410, 0x77);   // journal contents
        fw::NvramWrite(0x00, c.pszVersion, 4);
        EXPECT_EQ(fw::ValidateNvram(), T) << c.pszVersion;
        uint8_t* pb = fresh.nvram().Data();
        EXPECT_EQ(std::string(reinterpret_cast<char*>(pb), 4), "0005") << c.pszVersion;
        EXPECT_EQ(pb[0x18410], 0x77) << c.pszVersion;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(pb + 0x08), 4), "0001") << c.pszVersion;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(pb + 0x83), 16),
                  c.fIdentityRewritten ? "Vomax fibre     " : "Custom product  ")
            << c.pszVersion;
    }
}

TEST_F(NvramLayoutTest, StartOfDayRepairsFlagsPortsAndNames) {
    struct Case {
        const char* pszName;
        uint32_t dOffset;
        uint8_t bBefore;
        uint32_t dCheck;
        uint8_t bAfter;
    };
    const Case cases[] = {
        {"expansion flag 0x00", 0x383, 0x00, 0x382, T},
        {"expansion flag kept", 0x383, T, 0x383, T},
        {"port byte without bit 7", 0xE1, 0x05, 0xE1, 0x84},
        {"port byte with bit 7", 0xE1, 0x85, 0xE1, 0x85},
        {"second port byte", 0xE2, 0x00, 0xE2, 0x85},
    };
    for (const Case& c : cases) {
        sim::Board fresh;
        Init();
        fw::SetModelCode(fw::MODEL_Z8Q2);
        fw::ValidateNvram();
        fw::NvramWrite8(0x382, F);
        fw::NvramWrite8(c.dOffset, c.bBefore);
        fw::ValidateNvram();
        EXPECT_EQ(fresh.nvram().Data()[c.dCheck], c.bAfter) << c.pszName;
    }
}

TEST_F(NvramLayoutTest, ModelNamesFollowTheModel) {
    struct Case {
        uint16_t wModel;
        const char* pszStored;
        const char* pszExpected;
    };
    const Case cases[] = {
        {fw::MODEL_Z7Q3, "RZ7Q4T", "RZ7Q3T"},
        {fw::MODEL_Z7Q4, "RZ7Q3T", "RZ7Q4T"},
        {fw::MODEL_Z7Q3, "Custom", "Custom"},
        {fw::MODEL_Z8Q2, "RZ7Q4T", "RZ7Q4T"},
    };
    for (const Case& c : cases) {
        sim::Board fresh;
        Init();
        fw::SetModelCode(c.wModel);
        fw::ValidateNvram();
        std::string sProduct = std::string(c.pszStored) + std::string(16 - std::strlen(c.pszStored), ' ');
        fw::NvramWrite(0x83, sProduct.data(), 16);
        fw::NvramWrite(0x93, c.pszStored, 7);
        fw::ValidateNvram();
        EXPECT_EQ(Text(0x83, 6), c.pszExpected) << c.wModel;
        EXPECT_EQ(Text(0x93, 6), c.pszExpected) << c.wModel;
    }
}

}  // namespace
