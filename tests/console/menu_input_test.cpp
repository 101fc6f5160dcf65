// The parsers of the typed menu line, and the VT100 output routines of the
// menu framework.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "console/console_menu.h"
#include "console/menu_input.h"
#include "harness/dispatch_board.h"
#include "executive/types.h"

namespace {

void Type(const std::string& sLine) {
    fw::MENU_STATE* ps = fw::psGetMenuState();
    std::memcpy(ps->abLineBuffer, sLine.data(), sLine.size());
    ps->bLineLength = static_cast<uint8_t>(sLine.size());
}

TEST(MenuInput, ParseMenuNumber) {
    struct Case {
        const char* pszLine;
        uint8_t bResult;
        uint32_t dValue;
    } const acCases[] = {
        {"", 13, 0},           {"q", 162, 0},         {"Q", 162, 0},
        {"e", 163, 0},         {"E", 163, 0},         {"7", 255, 7},
        {"0999999999", 255, 999999999},               {"4294967295", 255, 4294967295u},
        {"4294967296", 0, 0},  {"5000000000", 0, 0},  {"12345678901", 0, 0},
        {"99.9", 165, 0},      {"99.95", 165, 0},     {"0.5", 164, 0},
        {".5", 164, 0},        {"1.5", 0, 0},         {"12a", 0, 0},
        {"0a.5", 0, 0},        {"-1", 0, 0},
    };
    for (const Case& k : acCases) {
        SCOPED_TRACE(k.pszLine);
        Type(k.pszLine);
        uint32_t d = 1;
        EXPECT_EQ(fw::bParseMenuNumber(&d), k.bResult);
        EXPECT_EQ(d, k.dValue);
    }
}

// Only one or two digits after a point are a fraction; anything else is
// refused rather than read as some reserve code.
TEST(MenuInput, ParseDecimalFraction) {
    struct Case {
        const char* pszLine;
        uint8_t bResult;
        uint32_t dValue;
    } const acCases[] = {
        {".5", 255, 150},  {"0.5", 255, 150}, {".05", 255, 105}, {"0.01", 255, 101}, {".25", 255, 125},
        {"0.99", 255, 199}, {".", 0, 0},      {"0.", 0, 0},      {".x", 0, 0},       {"0.5a", 0, 0},
        {".123", 0, 0},    {"0.123", 0, 0},   {"5", 0, 0},       {"00.5", 0, 0},     {"0.-", 0, 0},
    };
    for (const Case& k : acCases) {
        SCOPED_TRACE(k.pszLine);
        Type(k.pszLine);
        uint32_t d = 1;
        EXPECT_EQ(fw::bParseDecimalFraction(&d), k.bResult);
        EXPECT_EQ(d, k.dValue);
    }
}

TEST(MenuInput, ParseIpAddress) {
    struct Case {
        const char* pszLine;
        uint8_t bResult;
        uint32_t dAddress;
    } const acCases[] = {
        {"10.0.0.1", 255, 0x0A000001},         {"255.255.255.255", 255, 0xFFFFFFFF},
        {"10..0.1", 255, 0x0A000001},          {"10.0.0", 0, 0},
        {"1.2.3.256", 0, 0},                   {"1.2.3.4.5", 0, 0},
        {".1.2.34", 0, 0},                     {"1.2.34.", 0, 0},
        {"1.2.3", 0, 0},                       {"1.2.3.a", 0, 0},
        {"100.100.100.1000", 0, 0},
    };
    for (const Case& k : acCases) {
        SCOPED_TRACE(k.pszLine);
        Type(k.pszLine);
        uint32_t d = 0;
        EXPECT_EQ(fw::bGetIpAddressInput(&d), k.bResult);
        if (k.bResult == 255) {
            EXPECT_EQ(d, k.dAddress);
        }
    }
}

TEST(MenuInput, ParseHexadecimalInput) {
    uint8_t bDigits = 0;
    uint64_t lLow = 0, lHigh = 0;
    Type("0123456789abcdef0123");
    ASSERT_EQ(fw::bGetWwnInput(&bDigits, &lLow, &lHigh), 255);
    EXPECT_EQ(bDigits, 20);
    EXPECT_EQ(lHigh, 0x0123u);
    EXPECT_EQ(lLow, 0x456789abcdef0123ull);
    Type("2000005AA5A00001");
    ASSERT_EQ(fw::bGetWwnInput(&bDigits, &lLow, &lHigh), 255);
    EXPECT_EQ(lHigh, 0u);
    EXPECT_EQ(lLow, 0x2000005AA5A00001ull);
    for (const char* psz : {"", "g", "123456789012345678901234567890123"}) {
        Type(psz);
        EXPECT_EQ(fw::bGetWwnInput(&bDigits, &lLow, &lHigh), 0) << psz;
    }

    uint32_t d = 0;
    Type("");
    EXPECT_EQ(fw::bGetHexValueInput(&d), 13);
    Type("1aF");
    EXPECT_EQ(fw::bGetHexValueInput(&d), 255);
    EXPECT_EQ(d, 0x1AFu);
    Type("123456789");
    EXPECT_EQ(fw::bGetHexValueInput(&d), 0);

    uint8_t ab[4] = {};
    uint8_t bCount = 0;
    Type("0a1B");
    ASSERT_EQ(fw::bGetHexInput(ab, &bCount, 2), 255);
    EXPECT_EQ(bCount, 2);
    EXPECT_EQ(ab[0], 0x0A);
    EXPECT_EQ(ab[1], 0x1B);
    Type("abc");
    EXPECT_EQ(fw::bGetHexInput(ab, &bCount, 2), 0);
    Type("00112233");
    EXPECT_EQ(fw::bGetHexInput(ab, &bCount, 3), 0);
    Type("");
    EXPECT_EQ(fw::bGetHexInput(ab, &bCount, 3), 13);
}

TEST(MenuInput, ParseTextAndYesNo) {
    char ac[32] = {};
    uint8_t bLength = 0;
    Type("Array 1");
    ASSERT_EQ(fw::bGetMenuTextInput(ac, &bLength, 32), 255);
    EXPECT_EQ(std::string(ac, bLength), "Array 1");
    Type("Array 1");
    EXPECT_EQ(fw::bGetMenuTextInput(ac, &bLength, 6), 0);
    Type("tab\there");
    EXPECT_EQ(fw::bGetMenuTextInput(ac, &bLength, 32), 0);
    Type("");
    EXPECT_EQ(fw::bGetMenuTextInput(ac, &bLength, 32), 13);

    struct Case {
        const char* pszLine;
        uint8_t bResult;
    } const acCases[] = {{"Y", 0xF1}, {"y", 0xF1}, {"N", 0xF0}, {"n", 0xF0}, {"", 13}, {"yes", 0}, {"x", 0}};
    for (const Case& k : acCases) {
        Type(k.pszLine);
        EXPECT_EQ(fw::bParseYesNo(), k.bResult) << k.pszLine;
    }
}

class MenuOutput : public ::testing::Test {
protected:
    std::string Printed() {
        std::string s = b.board().ConsoleText();
        b.board().ClearConsoleText();
        return s;
    }
    harness::DispatchBoard b;
};

TEST_F(MenuOutput, CapacityInDecimalUnits) {
    struct Case {
        uint64_t lBlocks;
        const char* pszPrinted;
    } const acCases[] = {
        {0, "0 MB"},
        {1953, "< 1 MB"},
        {1954, "1 MB"},
        {10000ull * 1954, "10,000 MB"},
        {10001ull * 1954, "10 GB"},
        {3906250000ull, "1,999 GB"},          // 2 TB
        {10000000ull * 1954, "10,000 GB"},
        {~0ull, "9,440 EB"},
    };
    for (const Case& k : acCases) {
        fw::PrintCapacity(k.lBlocks);
        EXPECT_EQ(Printed(), k.pszPrinted) << k.lBlocks;
    }
    fw::PrintNumberWithSeparators(1234567, fw::TRUE);
    EXPECT_EQ(Printed(), "1,234,567");
    fw::PrintNumberWithSeparators(1234567, fw::FALSE);
    EXPECT_EQ(Printed(), "1234567");
    fw::PrintNumberWithSeparators(999, fw::TRUE);
    EXPECT_EQ(Printed(), "999");
}

TEST_F(MenuOutput, TitlesCarryThePathBelowTheLeadingOne) {
    fw::MENU_STATE* ps = fw::psGetMenuState();
    struct Case {
        uint64_t lPath;
        const char* pszPrinted;
    } const acCases[] = {
        {0x1211, "\r\n\r\nDrive Port Integrity Test Menu (2-1-1) (C0)\r\n\r\n"},
        {0x11121, "\r\n\r\nDrive Port Integrity Test Menu (1-1-2-1) (C0)\r\n\r\n"},
        {0x11F, "\r\n\r\nDrive Port Integrity Test Menu (1-15) (C0)\r\n\r\n"},
        {0x12, "\r\n\r\nDrive Port Integrity Test Menu (2) (C0)\r\n\r\n"},
    };
    for (const Case& k : acCases) {
        ps->lMenuPath = k.lPath;
        fw::PrintMenuTitle("Drive Port Integrity Test Menu");
        EXPECT_EQ(Printed(), k.pszPrinted);
    }
    fw::SetTextAttributes(0, 7, 0);
    EXPECT_EQ(Printed(), "\x1b[0m\x1b[30m\x1b[47m");
    fw::CursorUp(6);
    fw::CursorDown(4);
    fw::EraseLine();
    EXPECT_EQ(Printed(), "\x1b[6A\x1b[4B\x1b[2K");
    const uint8_t abWwn[8] = {0x20, 0x00, 0x00, 0x5A, 0xA5, 0xA0, 0x00, 0x01};
    fw::PrintWwn(abWwn);
    EXPECT_EQ(Printed(), "2000005aa5a00001");
}

}  // namespace
