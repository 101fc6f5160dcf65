// The enclosure code's small services: the retry back-off, the SAS address
// comparison, and the console dumps of bytes and supported pages.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "enclosure/drive_management.h"
#include "enclosure/enclosure_records.h"
#include "enclosure/enclosure_utilities.h"
#include "executive/tick.h"
#include "harness/config_test.h"

namespace {

using fw::FALSE;
using fw::TRUE;

class EnclosureUtilitiesTest : public harness::ConfigTest {
protected:
    // The console turns each line end into CR LF.
    std::string Printed() { return board.ConsoleText(); }
};

TEST(SesRetryBackoff, FourQuickRetriesThenLongWaits) {
    fw::ResetSesRetryBackoff();
    for (uint8_t i = 1; i <= 6; ++i) {
        fw::SesRetryBackoff(FALSE);
        EXPECT_EQ(fw::dGetSesRetryTime() - fw::dGetCoarseTick(), i <= 4 ? 60u : 600u) << int(i);
    }
    EXPECT_EQ(fw::fIsSesRetryDue(), FALSE);
    fw::ResetSesRetryBackoff();
    EXPECT_EQ(fw::bGetSesRetryAttempts(), 0);
    fw::SesRetryBackoff(FALSE);
    EXPECT_EQ(fw::dGetSesRetryTime() - fw::dGetCoarseTick(), 60u);
}

TEST(SameSasAddress, TheTwoPortsOfADeviceAreOneAddress) {
    const uint8_t a[8] = {0x50, 0x01, 0x02, 0x03, 0x04, 0x05, 0x10, 0x3F};
    uint8_t b[8] = {0x50, 0x01, 0x02, 0x03, 0x04, 0x05, 0x12, 0x3F};
    EXPECT_EQ(fw::fIsSameSasAddress(a, b), TRUE);
    b[6] = 0x11;
    EXPECT_EQ(fw::fIsSameSasAddress(a, b), FALSE);
    b[6] = 0x10;
    b[7] = 0x3E;
    EXPECT_EQ(fw::fIsSameSasAddress(a, b), FALSE);
    b[7] = 0x3F;
    b[0] = 0x51;
    EXPECT_EQ(fw::fIsSameSasAddress(a, b), FALSE);
}

TEST_F(EnclosureUtilitiesTest, HexDumpShowsOffsetsGroupsAndText) {
    uint8_t ab[20];
    for (uint8_t i = 0; i < 20; ++i) ab[i] = static_cast<uint8_t>(0x3E + i);
    ab[1] = 0x7F;
    fw::HexDumpBytes(ab, sizeof ab);
    EXPECT_EQ(Printed(),
              "0000  3e 7f 40 41 - 42 43 44 45 - 46 47 48 49 - 4a 4b 4c 4d {>.@ABCDEFGHIJKLM}\r\n"
              "0016  4e 4f 50 51 - {NOPQ}\r\n");
}

TEST_F(EnclosureUtilitiesTest, SupportedPagesAreListedAndNamedWithinTheirCopy) {
    fw::InitEnclosureTable();
    fw::ENCLOSURE_TABLE* ps = fw::pGetEnclosureTable();
    ASSERT_NE(ps, nullptr);
    ps->dTotalNoOfEnclosures = 3;
    const uint8_t abList[] = {0, 0, 0, 5, 0x00, 0x01, 0x02, 0x07, 0x89};
    std::memcpy(ps->asEnclosure[0].abSupportedPages, abList, sizeof abList);
    // A list that claims more pages than its copy holds.
    uint8_t* pbLong = ps->asEnclosure[1].abSupportedPages;
    pbLong[0] = 0;
    pbLong[3] = 200;
    for (uint8_t i = 4; i < fw::ENCLOSURE_SUPPORTED_COPY_BYTES; ++i) pbLong[i] = 0x05;
    ps->asEnclosure[2].abSupportedPages[0] = fw::ENCLOSURE_PAGE_NONE;
    fw::ShowSupportedDiagnosticPages();
    EXPECT_EQ(Printed(),
              "Enclosure 1 \r\nCurrent Supported Diagnostics\r\n00 01 02 07 89 \r\n"
              "\r\nConfiguration Page\r\n\r\nStatus Page\r\n\r\nElement Descriptor Page\r\n"
              "Enclosure 2 \r\nCurrent Supported Diagnostics\r\n"
              "05 05 05 05 05 05 05 05 05 05 05 05 \r\n\r\nThreshold In Page\r\n"
              "Enclosure 3 \r\nCurrent Supported Diagnostics\r\n\r\n");
}

}  // namespace
