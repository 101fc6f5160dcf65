// CRC-16 (0x1021, message-shifting form) and the hex digit helpers.
#include <gtest/gtest.h>

#include <vector>

#include "executive/crc16.h"

namespace {

TEST(Crc16Test, KnownValues) {
    struct Case {
        uint32_t dInitial;
        std::vector<uint8_t> abBytes;
        uint16_t wExpected;
    };
    const Case cases[] = {
        {0, {'a', 'b', 'c'}, 0x1EE4},
        {0x1234, {}, 0x1234},
        {0xABCD1234, {}, 0x1234},   // only the low 16 bits of the start value count
        {0, {0x01}, 0x0001},         // the byte enters after the table step
        {0x0100, {0x00}, 0x1021},    // table entry 1
        {0x0200, {0x00}, 0x2042},    // table entry 2
        {0x0100, {0x05}, 0x1024},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fw::Crc16(c.dInitial, c.abBytes.data(), static_cast<uint32_t>(c.abBytes.size())), c.wExpected)
            << std::hex << c.dInitial << " length " << c.abBytes.size();
    }
}

TEST(Crc16Test, HexDigits) {
    const struct {
        uint8_t bChar, bNibble;
    } toNibble[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'f', 15}, {'A', 10}, {'F', 15}, {'g', 0}, {'G', 0}, {' ', 0}, {0xFF, 0}};
    for (const auto& c : toNibble) EXPECT_EQ(fw::bHexCharToNibble(c.bChar), c.bNibble) << c.bChar;
    const struct {
        uint8_t bValue, bChar;
    } toChar[] = {{0, '0'}, {9, '9'}, {10, 'A'}, {15, 'F'}, {0x3A, 'A'}, {0xF0, '0'}};
    for (const auto& c : toChar) EXPECT_EQ(fw::bNibbleToHexChar(c.bValue), c.bChar) << int(c.bValue);
}

}  // namespace
