// Files typed down the console line: the receive speaks XMODEM through the
// simulated UART to a sender whose line drops, flips and delays bytes, and
// every way a transfer can end leaves the console at its menus and nothing
// taken from a file that did not arrive whole and sound.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "config/config_state.h"
#include "console/console_menu.h"
#include "console/xmodem_receive.h"
#include "console_board.h"
#include "enclosure/io_module_firmware.h"
#include "executive/buffer_pages.h"
#include "executive/types.h"
#include "harness/firmware_files.h"
#include "xmodem_sender.h"
#include "harness/low_memory.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::XmodemFaults;
using consoletest::XmodemResult;
using consoletest::XmodemSender;

constexpr uint32_t kBufferPages = 16;
constexpr uint32_t kBufferBytes = kBufferPages * 4096;

class Xmodem : public ::testing::Test {
protected:
    void SetUp() override {
        c.fWaitForConfiguration = false;
        c.Boot();
        fw::BUFFER_HANDLE h;
        ASSERT_EQ(fw::bAllocDataPages(0, kBufferPages, &h), fw::STATUS_OK);
        buffer = static_cast<uint8_t*>(fw::pBufferHandleToPointer(h));
        std::memset(buffer, 0xEE, kBufferBytes);
        fw::SetDownloadImageBuffer(buffer);
        file = harness::DriveFirmwareFile("SIMVEND", "SIMDISK", "B002", {{1500, 1024}});
    }
    // A drive file receive into the download buffer, as the drive menu starts it.
    uint8_t Start(uint32_t capacity = kBufferBytes, uint8_t crc = fw::TRUE) {
        c.board.ClearConsoleText();
        const uint8_t started = fw::fStartXmodemReceive(buffer, capacity, fw::XMODEM_KIND_DRIVE_FIRMWARE, crc);
        sender.Listen();
        return started;
    }
    // What the console printed once the receive gave it back.
    std::string Finish() {
        c.board.RunUntil([] { return fw::fIsXmodemReceiveActive() != fw::TRUE; }, 200'000'000'000ull);
        c.Settle();
        EXPECT_EQ(fw::fIsXmodemReceiveActive(), fw::FALSE);
        return consoletest::Lines(c.board.ConsoleText());
    }
    bool Holds(const std::vector<uint8_t>& f) { return std::memcmp(buffer, f.data(), f.size()) == 0; }
    size_t Count(const std::string& s, char ch) { return static_cast<size_t>(std::count(s.begin(), s.end(), ch)); }

    ConsoleBoard c;
    uint8_t* buffer = nullptr;
    std::vector<uint8_t> file;
    XmodemSender sender{c.board};
};

const std::string kError = "\n\nXmodem Transfer Error\n\nPress any key to continue...\n";
const std::string kInvalid = "\n\nInvalid Drive Firmware File\n\nPress any key to continue...\n";

std::string Complete(size_t bytes) {
    return "\n\nDrive Firmware Transfer Complete, " + std::to_string(bytes) +
           " bytes\n\nPress any key to continue...\n";
}

struct BlockForm {
    uint16_t size;
    bool crc;
};

// Long and short blocks, CRC and checksum: the file arrives byte for byte,
// its filler is cut and its length reported, and it is ready to program.
TEST_F(Xmodem, AFileArrivesWholeInEveryBlockForm) {
    for (const BlockForm form : {BlockForm{1024, true}, BlockForm{128, true}, BlockForm{128, false}}) {
        SCOPED_TRACE(form.size);
        std::memset(buffer, 0xEE, kBufferBytes);
        ASSERT_EQ(Start(kBufferBytes, fw::ToFlag(form.crc)), fw::STATUS_OK);
        const XmodemResult r = sender.Send(file, form.size, form.crc);
        EXPECT_TRUE(r.endAcknowledged);
        EXPECT_EQ(r.blocksSent, (file.size() + form.size - 1) / form.size);
        const std::string screen = Finish();
        EXPECT_NE(screen.find("\nStart Drive Firmware Download\n"), std::string::npos) << screen;
        EXPECT_TRUE(screen.ends_with(Complete(file.size()))) << screen;
        EXPECT_TRUE(Holds(file));
        EXPECT_EQ(fw::fIsDownloadImageReady(), fw::TRUE);
        EXPECT_EQ(fw::dGetDownloadImageLength(), file.size());
        c.Type("x");
    }
}

// The sum every sender puts behind its blocks: the sender's own check value,
// so the transfers above prove the receiver speaks standard XMODEM-CRC.
TEST(XmodemCrc, TheSendersSumIsTheStandardOne) {
    const std::string check = "123456789";
    EXPECT_EQ(consoletest::XmodemCrc16(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x31C3);
}

// The EOT is answered only once the line has stayed quiet for more than a
// tick: a byte soon after it (line noise that looked like an EOT, or the
// rest of a block) is an error, answered NAK, and the file goes on.
TEST_F(Xmodem, TheEndIsAcknowledgedOnlyAfterATickOfSilence) {
    ASSERT_EQ(Start(), fw::STATUS_OK);
    ASSERT_EQ(sender.Next(XmodemSender::kAnswerNs * 4), 'C');
    const uint32_t blocks = static_cast<uint32_t>((file.size() + 1023) / 1024);
    for (uint32_t b = 0; b < blocks; ++b) {
        sender.Type(XmodemSender::Frame(file, b, 1024, true));
        ASSERT_EQ(sender.Next(XmodemSender::kAnswerNs * 4), consoletest::X_ACK);
    }
    sender.Type(std::string(1, static_cast<char>(consoletest::X_EOT)));
    // Most of a tick later the line is still not answered, and a stray
    // byte then makes the EOT an error.
    EXPECT_EQ(sender.Next(XmodemSender::kAnswerNs * 4 / 5), -1);
    sender.Type("\x7F");
    EXPECT_EQ(sender.Next(XmodemSender::kAnswerNs * 8), consoletest::X_NAK);
    EXPECT_EQ(fw::fIsXmodemReceiveActive(), fw::TRUE);
    // A quiet EOT ends the file.
    sender.Type(std::string(1, static_cast<char>(consoletest::X_EOT)));
    EXPECT_EQ(sender.Next(XmodemSender::kAnswerNs * 4), consoletest::X_ACK);
    EXPECT_TRUE(Finish().ends_with(Complete(file.size())));
    EXPECT_TRUE(Holds(file));
}

// A flipped byte, a lost byte and a lost ACK each cost one more sending;
// the repeated block is stored once.
TEST_F(Xmodem, NoiseAndALostAckStillDeliverTheFileWhole) {
    XmodemFaults faults;
    faults.flipInBlock = {2};
    faults.dropInBlock = {3};
    faults.ackLostAfter = {1, 4};
    ASSERT_EQ(Start(), fw::STATUS_OK);
    const XmodemResult r = sender.Send(file, 128, true, faults);
    EXPECT_TRUE(r.endAcknowledged);
    EXPECT_EQ(r.blocksSent, (file.size() + 127) / 128 + 4);
    EXPECT_TRUE(Finish().ends_with(Complete(file.size())));
    EXPECT_TRUE(Holds(file));
}

// Every way a transfer ends without a whole file: the error line, the
// console back, nothing ready to program.
TEST_F(Xmodem, TransfersThatEndWithoutAFileLeaveNothingReady) {
    struct Case {
        const char* name;
        XmodemFaults faults;
        uint32_t capacity;
        bool escAfter;          // the operator gives up on a silent sender
        bool receiverCancels;   // the controller tells the sender with CAN CAN
    };
    XmodemFaults cancel, stop, skip;
    cancel.cancelAfterBlocks = 2;
    stop.stopAfterBlocks = 1;
    skip.skipBlock = {3};
    const Case cases[] = {
        {"sender cancels", cancel, kBufferBytes, false, false},
        {"sender stops", stop, kBufferBytes, true, false},
        {"block out of order", skip, kBufferBytes, false, true},
        {"file too big", XmodemFaults(), 1024, false, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        std::memset(buffer, 0xEE, kBufferBytes);
        ASSERT_EQ(Start(k.capacity), fw::STATUS_OK);
        const XmodemResult r = sender.Send(file, 1024 / (k.capacity < 2048 ? 8 : 1), true, k.faults);
        EXPECT_FALSE(r.endAcknowledged);
        EXPECT_EQ(r.cancelledByReceiver, k.receiverCancels);
        if (k.escAfter) {
            c.board.RunFor(60'000'000'000ull);   // a sender gone for a minute is still waited for
            EXPECT_EQ(fw::fIsXmodemReceiveActive(), fw::TRUE);
            sender.Type("\x1B");
        }
        EXPECT_TRUE(Finish().ends_with(kError));
        EXPECT_EQ(fw::fIsDownloadImageReady(), fw::FALSE);
        // The copies never pass the end of their buffer.
        if (k.capacity < kBufferBytes) {
            EXPECT_EQ(buffer[k.capacity], 0xEE);
        }
        c.Type("x");
    }
}

// Nobody sends: the first block is asked for 30 times in all, two seconds
// apart ("C" three times, then NAK for a sender that knows only the
// checksum), and the receive gives up about a minute after it started;
// ESC before the first block ends it at once.
TEST_F(Xmodem, ASilentLineIsAskedThirtyTimesAndEscEndsAtOnce) {
    const uint64_t startNs = c.board.clock().Now();
    ASSERT_EQ(Start(), fw::STATUS_OK);
    std::string screen = Finish();
    const double seconds = double(c.board.clock().Now() - startNs) / 1e9;
    EXPECT_GT(seconds, 58.0);
    EXPECT_LT(seconds, 63.0);
    EXPECT_EQ(Count(screen, 'C'), 3u) << screen;
    EXPECT_EQ(Count(screen, '\x15'), 27u) << screen;
    EXPECT_EQ(screen.find('\x15'), screen.rfind('C') + 1) << "a NAK before the last C";
    EXPECT_EQ(Count(screen, '\x18'), 0u);
    EXPECT_TRUE(screen.ends_with(kError));
    c.Type("x");

    ASSERT_EQ(Start(), fw::STATUS_OK);
    sender.Next(consoletest::XmodemSender::kAnswerNs);
    sender.Type("\x1B");
    screen = Finish();
    EXPECT_EQ(Count(screen, 'C'), 1u);
    EXPECT_TRUE(screen.ends_with(kError));
}

// A sender that knows only the checksum form ignores "C" and starts at the
// first NAK; one that answered a late "C" after the receive fell back to
// NAK still delivers, its blocks read by the CRC they carry.  A block whose
// check byte is neither sum is sent again, whichever form it turns out to be.
TEST_F(Xmodem, AChecksumSenderIsAskedWithNakAfterThreeCs) {
    ASSERT_EQ(Start(), fw::STATUS_OK);
    XmodemFaults faults;
    faults.flipInBlock = {1};
    const XmodemResult r = sender.Send(file, 128, false, faults);
    EXPECT_TRUE(r.endAcknowledged);
    EXPECT_EQ(r.requests, 3u + 1u + 1u);   // three C, the NAK it answered, the NAK of the damaged block
    EXPECT_EQ(r.blocksSent, (file.size() + 127) / 128 + 1);
    EXPECT_TRUE(Finish().ends_with(Complete(file.size())));
    EXPECT_TRUE(Holds(file));
    c.Type("x");

    for (const bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "first CRC block damaged" : "CRC blocks");
        std::memset(buffer, 0xEE, kBufferBytes);
        ASSERT_EQ(Start(), fw::STATUS_OK);
        for (int i = 0; i < 3; ++i) ASSERT_EQ(sender.Next(XmodemSender::kAnswerNs * 8), 'C');
        ASSERT_EQ(sender.Next(XmodemSender::kAnswerNs * 8), consoletest::X_NAK);
        const uint32_t blocks = static_cast<uint32_t>((file.size() + 1023) / 1024);
        for (uint32_t b = 0; b < blocks; ++b) {
            std::string frame = XmodemSender::Frame(file, b, 1024, true);
            if (damaged && b == 0) {
                frame[40] ^= 0x01;
                sender.Type(frame);
                ASSERT_EQ(sender.Next(XmodemSender::kAnswerNs * 12), consoletest::X_NAK);
                frame[40] ^= 0x01;
            }
            sender.Type(frame);
            ASSERT_EQ(sender.Next(XmodemSender::kAnswerNs * 4), consoletest::X_ACK) << "block " << b;
        }
        sender.Type(std::string(1, static_cast<char>(consoletest::X_EOT)));
        EXPECT_EQ(sender.Next(XmodemSender::kAnswerNs * 4), consoletest::X_ACK);
        EXPECT_TRUE(Finish().ends_with(Complete(file.size())));
        EXPECT_TRUE(Holds(file));
        c.Type("x");
    }

    // A checksum block damaged on the line so that its check byte reads as
    // the start of the damaged data's CRC: taken for a CRC block, it never
    // gets its second byte, and the next sending is read as the checksum
    // block it is.
    const std::string good = XmodemSender::Frame(file, 0, 128, false);
    std::string damaged;
    for (size_t at = 3; at < 3 + 128 && damaged.empty(); ++at) {
        for (int flip = 1; flip < 256 && damaged.empty(); ++flip) {
            std::string d = good;
            d[at] = static_cast<char>(d[at] ^ flip);
            const uint16_t crc = consoletest::XmodemCrc16(reinterpret_cast<const uint8_t*>(d.data()) + 3, 128);
            uint8_t sum = 0;
            for (size_t i = 3; i < 3 + 128; ++i) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(d[i]));
            if (static_cast<uint8_t>(d.back()) == crc >> 8 && static_cast<uint8_t>(d.back()) != sum) damaged = d;
        }
    }
    ASSERT_FALSE(damaged.empty());
    std::memset(buffer, 0xEE, kBufferBytes);
    ASSERT_EQ(Start(), fw::STATUS_OK);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(sender.Next(XmodemSender::kAnswerNs * 8), 'C');
    ASSERT_EQ(sender.Next(XmodemSender::kAnswerNs * 8), consoletest::X_NAK);
    sender.Type(damaged);
    ASSERT_EQ(sender.Next(XmodemSender::kAnswerNs * 12), consoletest::X_NAK);
    const uint32_t blocks = static_cast<uint32_t>((file.size() + 127) / 128);
    for (uint32_t b = 0; b < blocks; ++b) {
        sender.Type(XmodemSender::Frame(file, b, 128, false));
        ASSERT_EQ(sender.Next(XmodemSender::kAnswerNs * 4), consoletest::X_ACK) << "block " << b;
    }
    sender.Type(std::string(1, static_cast<char>(consoletest::X_EOT)));
    EXPECT_EQ(sender.Next(XmodemSender::kAnswerNs * 4), consoletest::X_ACK);
    EXPECT_TRUE(Finish().ends_with(Complete(file.size())));
    EXPECT_TRUE(Holds(file));
}

// A hundred bad blocks after a good one: 99 NAKs, then CAN CAN.
TEST_F(Xmodem, AHundredErrorsCancelTheTransfer) {
    ASSERT_EQ(Start(), fw::STATUS_OK);
    ASSERT_EQ(sender.Next(XmodemSender::kAnswerNs * 4), 'C');
    sender.Type(XmodemSender::Frame(file, 0, 1024, true));
    ASSERT_EQ(sender.Next(XmodemSender::kAnswerNs * 4), consoletest::X_ACK);
    std::string bad = XmodemSender::Frame(file, 1, 1024, true);
    bad[100] ^= 1;
    uint32_t naks = 0;
    int answer = 0;
    for (int i = 0; i < 120; ++i) {
        sender.Type(bad);
        answer = sender.Next(XmodemSender::kAnswerNs * 12);
        if (answer != consoletest::X_NAK) break;
        ++naks;
    }
    EXPECT_EQ(naks, 99u);
    EXPECT_EQ(answer, consoletest::X_CAN);
    EXPECT_TRUE(Finish().ends_with(kError));
}

// Files that arrive whole but are not sound are refused: a damaged word, a
// file shorter than its header says, a wrong signature.
TEST_F(Xmodem, AnUnsoundDriveFileIsRefused) {
    std::vector<uint8_t> damaged = file, shorter = file, unsigned_ = file;
    damaged[1500] ^= 0x10;
    shorter.resize(file.size() - 512);
    unsigned_[0] = 'X';
    for (const auto* f : {&damaged, &shorter, &unsigned_}) {
        ASSERT_EQ(Start(), fw::STATUS_OK);
        EXPECT_TRUE(sender.Send(*f, 1024, true).endAcknowledged);
        EXPECT_TRUE(Finish().ends_with(kInvalid));
        EXPECT_EQ(fw::fIsDownloadImageReady(), fw::FALSE);
        c.Type("x");
    }
}

TEST_F(Xmodem, ASecondReceiveIsRefusedWhileOneRuns) {
    ASSERT_EQ(Start(), fw::STATUS_OK);
    EXPECT_EQ(Start(), 0);
    fw::SetXmodemReceiveActive(fw::FALSE);
    EXPECT_EQ(fw::fStartXmodemReceive(buffer, kBufferBytes, 4, fw::TRUE), 0);
    EXPECT_EQ(fw::fStartXmodemReceive(nullptr, kBufferBytes, 2, fw::TRUE), 0);
}

// The I/O-module image forms: the header form with its signature, the raw
// forms with their own length, and what is refused.
TEST(IoModuleImage, TheHeaderCheckTakesOnlyImagesThatCanBeSent) {
    std::vector<uint8_t> header(3000, 0x33);
    std::memcpy(header.data(), fw::IO_MODULE_SIGNATURE, 32);
    header[40] = 1, header[41] = 2, header[42] = 3, header[43] = 4;
    std::vector<uint8_t> raw(800, 0x44);
    std::memcpy(raw.data(), "QWRX", 4);
    raw[8] = 0, raw[9] = 0, raw[10] = 0x03, raw[11] = 0x00;   // 768 bytes
    struct Case {
        harness::LowVector<uint8_t> file;   // the firmware keeps the image's address
        uint8_t valid;
        uint32_t offset, length, version;
    };
    std::vector<uint8_t> raw39 = raw, rawLong = raw, headerOnly = header, wrong = header;
    std::memcpy(raw39.data(), "QW39", 4);
    rawLong[10] = 0x04;   // 1024 bytes: past the 800 received
    headerOnly.resize(1024);
    wrong[31] ^= 1;
    std::vector<uint8_t> odd = header;
    odd.resize(2027);
    const Case cases[] = {
        {harness::Low(header), fw::TRUE, 1024, 1976, 0x01020304},
        {harness::Low(odd), fw::TRUE, 1024, 1004, 0x01020304},
        {harness::Low(raw), fw::TRUE, 0, 768, 0x21212121},
        {harness::Low(raw39), fw::TRUE, 0, 768, 0},
        {harness::Low(rawLong), fw::FALSE, 0, 0, 0},
        {harness::Low(headerOnly), fw::FALSE, 0, 0, 0},
        {harness::Low(wrong), fw::FALSE, 0, 0, 0},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const Case& k = cases[i];
        fw::SetEnclosureFirmwareImageVersion(0);
        fw::SetEnclosureFirmwareImageValid(fw::TRUE);
        EXPECT_EQ(fw::fCheckEnclosureFirmwareImageHeader(k.file.data(), static_cast<uint32_t>(k.file.size())), k.valid);
        if (k.valid != fw::TRUE) {
            EXPECT_EQ(fw::fIsEnclosureFirmwareImageValid(), fw::FALSE);
            continue;
        }
        EXPECT_EQ(fw::dGetEnclosureFirmwareImageAddress(), fw::dAddressWord(k.file.data()) + k.offset);
        EXPECT_EQ(fw::dGetEnclosureFirmwareImageLength(), k.length);
        EXPECT_EQ(fw::dGetEnclosureFirmwareImageVersion(), k.version);
    }
}

}  // namespace
