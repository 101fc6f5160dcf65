// The table-driven field dumper: numbers of every width, byte arrays, nested
// blocks, the tables' ends and their mistakes, and the SAS target port block.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dump_test_board.h"
#include "eventlog/field_dumper.h"

namespace {

using fw::DUMP_BLOCK;
using fw::DUMP_FIELD;

constexpr uint8_t RECORD[24] = {0x01, 0x0B, 0x02, 0x0C, 0x80, 0x00, 0x34, 0x12, 0x05, 0x00, 0x07, 0x00,
                                0xFE, 0xFF, 0x10, 0x00, 0x78, 0x56, 0x34, 0x12, 0xEF, 0xBE, 0xAD, 0xDE};

class FieldDumperTest : public dumptest::DumpTest {
protected:
    std::string Dump(const DUMP_BLOCK& s, const void* p = RECORD) {
        board.ClearConsoleText();
        fw::DebugDumpBlock(&s, p);
        return dumptest::Lines(board.ConsoleText());
    }
};

TEST_F(FieldDumperTest, NumbersKeepTheirWidthsLowBits) {
    struct Case {
        uint32_t dOffset, dShift, dSize;
        uint32_t dValue;
    };
    const Case cases[] = {
        {0, 0, 0, 1},              // size 0 or 1 keeps bit 0
        {1, 0, 1, 1},
        {1, 0, 3, 3},              // 0x0B in 3 bits
        {1, 0, 8, 0x0B},
        {6, 0, 12, 0x234},         // a 16-bit word, 12 bits of it
        {6, 4, 16, 0x123},
        {16, 0, 32, 0x12345678},   // all 32 bits
        {20, 0, 31, 0x5EADBEEF},
        {20, 31, 32, 1},
        {20, 0, 33, 0},            // wider than a word: an error, 0
    };
    for (const Case& c : cases) {
        const DUMP_FIELD s{c.dOffset, c.dShift, c.dSize, fw::DUMP_FIELD_NUMBER, "x", "%x"};
        EXPECT_EQ(fw::dDebugGetFieldNumber(&s, RECORD), c.dValue) << c.dOffset << "/" << c.dSize;
        EXPECT_EQ(fw::pDebugFieldAddress(&s, RECORD), RECORD + c.dOffset);
    }
    EXPECT_EQ(dumptest::Lines(board.ConsoleText()), "dDebugGetFieldNumber ERROR: size 33\n");
}

TEST_F(FieldDumperTest, ATableOfEveryKindOfField) {
    const DUMP_FIELD asInner[] = {
        {0, 0, 16, fw::DUMP_FIELD_NUMBER, "Low:  ", "%04x"},
        {0, 0, 0, fw::DUMP_FIELD_END, nullptr, nullptr},
    };
    const DUMP_BLOCK sInner{"Inner", asInner};
    const DUMP_FIELD asFields[] = {
        {0, 0, 8, fw::DUMP_FIELD_NUMBER, "First: ", "%d"},
        {1, 0, 8, fw::DUMP_FIELD_NUMBER, nullptr, "%d"},     // no label: not printed
        {1, 0, 8, fw::DUMP_FIELD_NUMBER, "None: ", nullptr},  // no format: not printed
        {4, 0, 4, fw::DUMP_FIELD_BYTES, "Bytes:", "%02X "},
        {2, 0, 4, 7, "Odd", "%d"},                            // told, and the rest still prints
        {16, 0, 1, fw::DUMP_FIELD_BLOCK, "Nested", &sInner},
        {20, 0, 1, fw::DUMP_FIELD_BLOCK, nullptr, &sInner},
        {20, 0, 32, fw::DUMP_FIELD_NUMBER, "Last: ", "%08x"},
        {0, 0, 0, fw::DUMP_FIELD_END, nullptr, nullptr},
        {0, 0, 8, fw::DUMP_FIELD_NUMBER, "Never: ", "%d"},
    };
    EXPECT_EQ(Dump({"Record", asFields}),
              "\nRecord:\n  First: 1\n  Bytes: 80 00 34 12 \nDebugDumpBlock: Unknown Field Type 00000007\n"
              "  Nested\n\nInner:\n  Low:  5678\n\n\nInner:\n  Low:  beef\n\n  Last: deadbeef\n\n");
    // A size of 0 ends the table as the end descriptor does.
    const DUMP_FIELD asSized[] = {
        {0, 0, 0, fw::DUMP_FIELD_NUMBER, "Never: ", "%d"},
        {0, 0, 0, fw::DUMP_FIELD_END, nullptr, nullptr},
    };
    EXPECT_EQ(Dump({nullptr, asSized}), "\n");
    const DUMP_FIELD asEmpty[] = {{0, 0, 8, fw::DUMP_FIELD_END, "Never: ", "%d"}};
    EXPECT_EQ(Dump({"Empty", asEmpty}), "\nEmpty:\n\n");
}

TEST_F(FieldDumperTest, ASasTargetPortRecord) {
    EXPECT_EQ(Dump(fw::SAS_TGT_PORT_BLOCK),
              "\nSAS Tgt Port Information:\n"
              "  Port Status:      0x01\n"
              "  Link Rate:        0x0b\n"
              "  Active PHY Count: 0x02\n"
              "  Active PHY List:  0x0c\n"
              "  Port Flags:       0x80\n"
              "  Port Handle:      0x1234\n"
              "  Attached Handle:  0x0005\n"
              "  Host ID:          0x0007\n"
              "  Host Handle:      0xfffe\n"
              "  Reqs Pending:     0x0010\n"
              "  Tmo Low:          0x12345678\n"
              "  Tmo High:         0xdeadbeef\n\n");
}

}  // namespace
