// The range check of READ(16)/WRITE(16) at the edges of a logical drive, with
// block factors and with addresses and lengths whose scaled values would
// wrap, and the reserved-field check row by row.
#include <sstream>
#include <string>

#include "harness/config_test.h"
#include "config/ld_table.h"
#include "hw/scsi.h"
#include "target/command_access.h"
#include "target/command_checks.h"
#include "target/host_command_pool.h"

namespace target_test {
namespace {

using namespace fw;

class CommandChecksTest : public harness::ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        InitHostCommandPool();
        uint16_t wIndex = 0;
        ASSERT_EQ(bAllocTargetEntries(PORT_CODE_INTERNAL, 1, &m_psEntry, &wIndex, FALSE), STATUS_OK);
        m_psEntry->bPortCode = PORT_CODE_INTERNAL;
    }
    // Logical drive 0 of 1000 units of 512 bytes, logical drive 1 of
    // 4096-byte blocks on 100000 units.
    void MakeDrives() {
        AddRank(RAID_LEVEL_0, 2, 128, 1000000);
        AddLd({{0, 1000}});
        const uint16_t l = AddLd({{1000, 100000}});
        harness::s_sLive.asLd[l].wBlockSize = 4096;
        PresentAllExcept();
        ApplyStoredSettings(FALSE, TRUE);
        ASSERT_EQ(bGetLogicalDriveBlockFactor(1), 8);
    }
    uint8_t* Cdb() { return pGetCommandCdb(m_psEntry); }
    void Set(std::initializer_list<uint8_t> ab) {
        std::memset(Cdb(), 0, 16);
        std::copy(ab.begin(), ab.end(), Cdb());
    }
    void SetReadWrite(uint8_t bOpcode, uint64_t lLba, uint32_t dBlocks) {
        Set({bOpcode});
        PutBe64(Cdb() + 2, lLba);
        PutBe32(Cdb() + 10, dBlocks);
    }
    struct Answer {
        uint8_t bResult, bKey, bAsc;
    };
    Answer Range(uint16_t wLd) {
        Answer s{0, 0xEE, 0xEE};
        uint8_t bAscq = 0xEE;
        s.bResult = bCheckLbaRange(m_psEntry, wLd, &s.bKey, &s.bAsc, &bAscq);
        if (s.bResult != STATUS_OK) {
            EXPECT_EQ(bAscq, 0);
        }
        return s;
    }
    Answer Reserved() {
        Answer s{0, 0xEE, 0xEE};
        uint8_t bAscq = 0xEE;
        s.bResult = fIsCdbReservedFieldSet(m_psEntry, &s.bKey, &s.bAsc, &bAscq);
        return s;
    }
    KERNEL_ENTRY* m_psEntry = nullptr;
};

constexpr uint8_t PASS = STATUS_OK;

TEST_F(CommandChecksTest, RangeAtTheCapacityAndForLengthZero) {
    MakeDrives();
    struct Case {
        uint64_t lLba;
        uint32_t dBlocks;
        uint8_t bResult, bKey, bAsc;
    };
    const Case acCases[] = {
        {992, 8, PASS, 0xEE, 0xEE},                                    // ends on the last block
        {993, 8, 0, SENSE_ILLEGAL_REQUEST, ASC_LBA_OUT_OF_RANGE},      // one beyond
        {999, 0, 0, SENSE_NO_SENSE, 0},                                // length 0 inside: GOOD
        {1000, 0, 0, SENSE_ILLEGAL_REQUEST, ASC_LBA_OUT_OF_RANGE},     // length 0 outside
        {0, 1000, PASS, 0xEE, 0xEE},
        {~0ull - 3, 8, 0, SENSE_ILLEGAL_REQUEST, ASC_LBA_OUT_OF_RANGE},   // the end wraps
        {0, 65536, 0, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB},   // too long to serve
    };
    for (const Case& c : acCases) {
        SetReadWrite(SCSI_READ16, c.lLba, c.dBlocks);
        const Answer s = Range(0);
        EXPECT_EQ(s.bResult, c.bResult) << c.lLba << "+" << c.dBlocks;
        EXPECT_EQ(s.bKey, c.bKey) << c.lLba << "+" << c.dBlocks;
        EXPECT_EQ(s.bAsc, c.bAsc) << c.lLba << "+" << c.dBlocks;
        if (c.bResult != PASS) {
            EXPECT_EQ(wGetBe16(Cdb() + 12), 0) << "refused: no block count left";
        }
    }
}

TEST_F(CommandChecksTest, BlockFactorEightAndProductsThatWouldWrap) {
    MakeDrives();
    // 100000 units of 512 bytes hold 12500 blocks of 4096.
    struct Case {
        uint64_t lLba;
        uint32_t dBlocks;
        uint8_t bResult, bAsc;
    };
    const Case acCases[] = {
        {0, 8191, PASS, 0},
        {0, 8192, 0, ASC_INVALID_FIELD_IN_CDB},        // 65536 units
        {12499, 1, PASS, 0},
        {12500, 1, 0, ASC_LBA_OUT_OF_RANGE},
        {1ull << 61, 8, 0, ASC_LBA_OUT_OF_RANGE},      // address x 8 wraps to 0
        {(1ull << 61) + 1, 0, 0, ASC_LBA_OUT_OF_RANGE},
        {0, 0x20000000, 0, ASC_INVALID_FIELD_IN_CDB},  // length x 8 wraps to 0
    };
    for (const Case& c : acCases) {
        SetReadWrite(SCSI_WRITE16, c.lLba, c.dBlocks);
        const Answer s = Range(1);
        EXPECT_EQ(s.bResult, c.bResult) << c.lLba << "+" << c.dBlocks;
        if (c.bResult != PASS) {
            EXPECT_EQ(s.bAsc, c.bAsc) << c.lLba << "+" << c.dBlocks;
        }
    }
}

TEST_F(CommandChecksTest, RangeRefusesReservedBitsAndOtherOpcodes) {
    MakeDrives();
    struct Case {
        uint8_t bOpcode, bByte, bBits;
        uint8_t bResult;
    };
    const Case acCases[] = {
        {SCSI_WRITE16, 1, 0x02, 0}, {SCSI_WRITE16, 1, 0x04, 0}, {SCSI_READ16, 14, 0x01, 0},
        {SCSI_READ16, 15, 0x08, 0}, {SCSI_READ16, 1, 0xF9, PASS}, {SCSI_READ16, 15, 0x07, PASS},
        {SCSI_WRITE_AND_VERIFY16, 1, 0x02, 0}, {SCSI_READ10, 0, 0, 0},
    };
    for (const Case& c : acCases) {
        SetReadWrite(c.bOpcode, 0, 8);
        Cdb()[c.bByte] |= c.bBits;
        const Answer s = Range(0);
        EXPECT_EQ(s.bResult, c.bResult) << int(c.bOpcode) << " byte " << int(c.bByte);
        if (c.bResult != PASS) {
            EXPECT_EQ(s.bAsc, ASC_INVALID_FIELD_IN_CDB);
        }
    }
}

// The rows as the command set defines them: "byte" must be zero whole,
// "byte:mask" in the bits of the mask; "?flagbyte:bit first-last" names the
// bytes that must be zero while that flag bit is clear.
struct Row {
    uint8_t bOpcode;
    const char* pszFields;
};
const Row s_asRows[] = {
    {0x00, "1:1F 2 3 4 5:F8"},
    {0x01, "1:1F 2 3 4 5:F8"},
    {0x03, "1:1F 2 3 5:F8"},
    {0x12, "1:1E 5:F8"},   // the allocation length is bytes 3-4
    {0x15, "1:EE 2 3 5:FC"},
    {0x1A, "1:17 3 5:FC"},
    {0x1B, "1:1E 2 3 4:FE 5:F8"},
    {0x1C, "1:1E 5:F8"},
    {0x1D, "1:08 2 5:F8"},
    {0x25, "1:1C 6 7 8:FE 9:F8 ?8:01 2-5"},
    {0x2B, "1:1F 6 7 8 9:F8"},
    {0x2F, "1:0C 6 9:F8"},
    {0x35, "1:0C 6"},
    {0x37, "2:E0 3 4 5 6 9"},
    {0x3B, "1:F0 9:FC"},   // the mode is bits 0-3, so that the echo modes 10 and 11 pass
    {0x3C, "1:F0 9:FC"},
    {0x55, "1:EE 2 3 4 5 6 9:FC"},
    {0x56, "1:0D 4 5 6 9:FC"},
    {0x57, "1:0D 4 5 6 7 9:FC"},
    {0x5A, "1:07 3 4 5 6 9:FC"},
    {0x5E, "1:E0 2 3 4 5 6 9"},
    {0x5F, "1:E0 3 4 5 6 9"},
    {0x8B, "1:1F 10 11 12 13 14 15:F8"},   // SEEK(6) and SEEK(10) as their handler sees them
    {0x8F, "1:E8 14 15:F8"},
    {0x9E, "1:E0 14:FC ?14:01 2-9"},
    {0xA0, "1 2 3 4 5 10 11:FC"},
    {0xA3, "1:E7 2"},
    {0xA4, "1:E7"},
};

struct ParsedRow {
    uint8_t abMask[16] = {};
    int iFlagByte = -1;
    uint8_t bFlagBit = 0;
    int iFirst = 0, iLast = -1;
};

ParsedRow Parse(const char* psz) {
    ParsedRow s;
    std::istringstream in(psz);
    std::string w;
    while (in >> w) {
        if (w[0] == '?') {
            s.iFlagByte = std::stoi(w.substr(1, w.find(':') - 1));
            s.bFlagBit = static_cast<uint8_t>(std::stoi(w.substr(w.find(':') + 1), nullptr, 16));
            in >> w;
            s.iFirst = std::stoi(w.substr(0, w.find('-')));
            s.iLast = std::stoi(w.substr(w.find('-') + 1));
        } else if (w.find(':') == std::string::npos) {
            s.abMask[std::stoi(w)] = 0xFF;
        } else {
            s.abMask[std::stoi(w.substr(0, w.find(':')))] =
                static_cast<uint8_t>(std::stoi(w.substr(w.find(':') + 1), nullptr, 16));
        }
    }
    return s;
}

TEST_F(CommandChecksTest, EveryReservedFieldRowBitByBit) {
    for (const Row& r : s_asRows) {
        const ParsedRow p = Parse(r.pszFields);
        const bool fConditional = p.iFlagByte >= 0;
        auto Check = [&](uint8_t bByte, uint8_t bBit, bool fFlagSet, bool fRefused) {
            Set({r.bOpcode});
            if (fFlagSet) Cdb()[p.iFlagByte] |= p.bFlagBit;
            Cdb()[bByte] |= bBit;
            const Answer s = Reserved();
            if (fRefused) {
                EXPECT_EQ(s.bResult, 0) << std::hex << int(r.bOpcode) << " byte " << int(bByte) << " bit " << int(bBit);
                EXPECT_EQ(s.bKey, SENSE_ILLEGAL_REQUEST);
                EXPECT_EQ(s.bAsc, ASC_INVALID_FIELD_IN_CDB);
            } else {
                EXPECT_EQ(s.bResult, PASS) << std::hex << int(r.bOpcode) << " byte " << int(bByte) << " bit "
                                           << int(bBit) << (fFlagSet ? " flag set" : "");
            }
        };
        for (uint8_t bByte = 1; bByte < 16; bByte++) {
            for (uint8_t bBit = 1; bBit != 0; bBit = static_cast<uint8_t>(bBit << 1)) {
                const bool fInGroup = fConditional && bByte >= p.iFirst && bByte <= p.iLast;
                const bool fIsFlag = fConditional && bByte == p.iFlagByte && bBit == p.bFlagBit;
                if (fIsFlag) continue;
                const bool fMasked = (p.abMask[bByte] & bBit) != 0;
                Check(bByte, bBit, false, fMasked || fInGroup);
                if (fConditional) Check(bByte, bBit, true, fMasked);
            }
        }
    }
}

TEST_F(CommandChecksTest, OpcodesOutsideTheTableAreInvalid) {
    for (uint16_t w = 0; w < 256; w++) {
        bool fKnown = false;
        for (const Row& r : s_asRows) fKnown |= r.bOpcode == w;
        if (fKnown) continue;
        Set({static_cast<uint8_t>(w)});
        const Answer s = Reserved();
        EXPECT_EQ(s.bResult, 0) << std::hex << w;
        EXPECT_EQ(s.bAsc, ASC_INVALID_OPCODE) << std::hex << w;
    }
}

}  // namespace
}  // namespace target_test
