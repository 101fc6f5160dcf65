// Decoded event texts: golden lines for every event code with
// representative arguments, the argument shapes and the host interface forms.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include "eventlog/event_log.h"
#include "eventlog/event_texts.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/rtc.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "sim/board.h"
#include "harness/calendar.h"
#include "hw/addresses.h"

namespace {

constexpr fw::DATE_TIME NOW = harness::kTestNow;
const std::string STAMP = "Mon Dec 07 2026 10:20:30 ";

#define SN 'A', 'B', 'C', 'D', '1', '2', '3', '4'
#define WWN 0x20, 0x00, 0x00, 0x5A, 0xA5, 0xA0, 0x00, 0x01

std::string Crlf(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

struct TextCase {
    uint8_t bCode;
    std::initializer_list<int> args;
    std::string expected;
    uint8_t bHostType = 1;
};

fw::EVENT_LOG_ENTRY MakeEntry(uint8_t bCode, std::initializer_list<int> args) {
    fw::EVENT_LOG_ENTRY s = {};
    s.sTimeStamp = NOW;
    s.bCode = bCode;
    size_t i = 0;
    for (int a : args) s.abArgs[i++] = static_cast<uint8_t>(a);
    return s;
}

class EventTextTest : public ::testing::Test {
protected:
    void SetUp() override {
        harness::PrepareInterruptsAndCalendar(NOW);
        fw::InitConsoleUart(115200);
    }
    void Check(const TextCase* pCases, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            const TextCase& c = pCases[i];
            fw::SetHostInterfaceType(c.bHostType);
            board.ClearConsoleText();
            const fw::EVENT_LOG_ENTRY s = MakeEntry(c.bCode, c.args);
            fw::PrintEventText(&s);
            EXPECT_EQ(board.ConsoleText(), Crlf(c.expected)) << "code " << int(c.bCode) << " case " << i;
        }
    }
    sim::Board board;
};

TEST_F(EventTextTest, DriveAndLoopEvents) {
    const TextCase cases[] = {
        {10, {SN, 3, 1, 0x23}, "Drive CC Fail SN:ABCD1234 S:2:04 A:03 D:01\n"},
        {11, {SN, 3, 1, 0xFF}, "Drive Failed SN:ABCD1234 S:N/A A:03 D:01\n"},
        {12, {WWN, 0, 2, 0x00}, "Rebuild Fail WWN:2000005aa5a00001 S:1:01 A:00 D:02\n"},
        {13, {SN, 3, 1, 0x23}, "New Rebuild Fail SN:ABCD1234 S:2:04 A:03 D:01\n"},
        {14, {SN, 3, 1, 0x23}, "Timeout Fail SN:ABCD1234 S:2:04 A:03 D:01\n"},
        {180, {WWN, 0, 2, 0x00}, "Drive Out Of Space, Writes Held WWN:2000005aa5a00001 S:1:01 A:00 D:02\n"},
        {15, {3, 0, 0, 0, 0x09},
         "Port 3 SAS Discovery Error, Loop Detected\n" + STAMP + "Port 3 SAS Discovery Error, Expander Error\n"},
        {15, {1, 0, 0, 0x40, 0x00}, "Port 1 SAS Discovery Error, 00004000\n"},
        {15, {2, 0, 0, 0x40, 0x01},
         "Port 2 SAS Discovery Error, Loop Detected\n" + STAMP + "Port 2 SAS Discovery Error, 00004001\n"},
        {15, {1, 0, 0, 0, 0}, "Port 1 SAS Discovery Error, \n"},
        {16, {}, "Loop Error On Drive Loop 1\n"},
        {17, {}, "Some Or All Drives Not Available On Loop 0\n"},
        {18, {}, "Some Or All Drives Not Available On Loop 1\n"},
        {19, {1, 2, 5}, "Encl:02 Slot:05 PHY Disabled Due to Excessive Errors\n"},
        {19, {7, 2, 5}, "Encl:02 Slot:05 Error\n"},
        {20, {}, "Excessive Errors on Drive Loop 1, Loop Disabled\n"},
        {29, {SN, 1, 4, 3, 0x11, 0, 0x7F}, "Drive Failed APM Selftest SN:ABCD1234 S:2:05 S:031100  FC:7f\n"},
        {33, {2, 0xF7, 0x0A, 0, 0, 0, 0, 0, 4}, "LIP: Drive Loop 1 Type: f7,0a Repeated 5 times\n"},
        {33, {1, 0xF7, 0x0A}, "LIP: Drive Loop 0 Type: f7,0a\n"},
        {34, {}, "SAS Discovery Completed\n"},
        {35, {}, "SAS Discovery Started\n"},
        {39, {SN, 0xA3, 2, 0x28, 0x03, 0x0C, 0x00}, "Drive CC SN:ABCD1234 S:6:04 P1 OP:28 S:030c00\n"},
        {39, {SN, 0x03, 255, 0x28, 0x44}, "IOP Status:44 SN:ABCD1234 S:1:04 P0 OP:28\n"},
        {39, {SN, 0x03, 8, 0x28}, "Drive Busy SN:ABCD1234 S:1:04 P0 OP:28\n"},
        {39, {SN, 0x03, 0x18, 0x2A}, "Drive Status:18 SN:ABCD1234 S:1:04 P0 OP:2a\n"},
        {40, {SN, 0, 0x2A, 0x23, 7}, "Drive Timeout SN:ABCD1234 S:2:04 OP:2a (007)\n"},
        {40, {SN, 0, 255, 0x23}, "Drive Timeout SN:ABCD1234 S:2:04 Reset\n"},
        {48, {SN, 3, 1, 0x23}, "Rebuild Started SN:ABCD1234 S:2:04 A:03 D:01\n"},
        {49, {3, 1}, "Rebuild Complete A:03 D:01\n"},
        {50, {SN, 3, 1, 0x23}, "Rebuild Restarted SN:ABCD1234 S:2:04 A:03 D:01\n"},
        {57, {2, SN, 0xFF, 0x11, 0x0A, 0x0B, 0x0C}, "SAS Cmd Aborted SN:ABCD1234 S:N/A 11 310a0b0c\n"},
        {57, {9, SN, 0x23, 0x11}, "SAS Err SN:ABCD1234 S:2:04 11 \n"},
        {58, {3, 1, 2}, "Invalid Drive Status 3a Loop ? 0102\n"},
        {59, {SN, 0, 0x28, 0x23}, "Data Underrun SN:ABCD1234 S:2:04 OP:28\n"},
        {60, {0, 0, SN, 0x23, 12}, "Internal Drive Reset SN:ABCD1234 S:2:04  (012)\n"},
        {62, {SN, 3, 2, 0}, "Drive Invalid Block Size (0x0200) SN:ABCD1234 P0&1\n"},
        {62, {SN, 2, 2, 0}, "Drive Invalid Block Size (0x0200) SN:ABCD1234 P1\n"},
        {97, {SN, 0x03}, "Drive Inserted SN:ABCD1234 S:1:04 \n"},
        {102, {SN, 0x03, '0', 'A', '1', 'B'}, "SN:ABCD1234 S:1:04 FW Download Start Rev:0A1B\n"},
        {103, {SN, 0x03}, "SN:ABCD1234 S:1:04 FW Download Complete\n"},
        {113, {SN, 0x03, 0, 0, 0, 100, 2}, "SN:ABCD1234 S:1:04 Reallocate LBA 00000064 02\n"},
        {115, {3, 1}, "Rebuild Aborted A:03 D:01\n"},
        {117, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14},
         "SATA Slot 01 Error 02 03 04 05060708 090a 0b0c0d0e\n"},
        {118, {SN, 0x03}, "Drive Removed SN:ABCD1234 S:1:04 \n"},
        {119, {SN, 0x03}, "Drive ID Invalid SN:ABCD1234 S:1:04 \n"},
        {120, {1, 2, 0, 0, 1, 0, 0, 8}, "Rebuild Error A:01 D:02 LBA:00000100 Blocks:0008\n"},
        {121, {SN, 0, 0x28, 255}, "Encl.N/A Timeout SN:ABCD1234OP:28\n"},
        {121, {SN, 0, 255, 2}, "Encl.02 Timeout SN:ABCD1234\n"},
        {123, {SN, 0x03}, "Unsupported Drive SN:ABCD1234 S:1:04 \n"},
        {145, {1, 5, 2}, "Drive State Operation S:1:05 - Slot Power-up\n"},
        {147, {1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 7}, "Drive Enc: 01 Slot: 07 spun down.\n"},
        {173, {SN, 0, 0, 0x23, 1}, "SN:ABCD1234 S:2:04 No longer in proxy mode\n"},
        {178, {1, 2, 0, 0, 0, 0, 0, 1, 0, 0, 0x10, 0},
         "Medium Error: Bad Block Array:02 LBA:0000000000010000 BC:0010\n"},
        {170, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, "Info:01020304 CSI:05060708 FRU:09 SKS:0a0b0c\n"},
    };
    Check(cases, std::size(cases));
}

TEST_F(EventTextTest, HostPortEventsByHostInterface) {
    const TextCase cases[] = {
        {36, {1, 0xF8, 0}, "LIP: Host Loop 0 Type: f8,00\n", 1},
        {36, {2, 246, 0, 1, 2, 3, 4, 0x28, 0, 0, 0, 0, 5, 6},
         "SAS Tgt: CMD TMO-P1  LUN 0001 Tag 0203 PS 04 Op 28 TS 0506\n", 6},
        {36, {7, 254}, "SAS Tgt: BUS Reset-P?  LUN 0000 Tag 0000 PS 00 Op 00 TS 0000\n", 6},
        {36, {1, 0x0D, 0, 1, 2, 3, 0, 0, 2}, "SAS Tgt: TMR-P0 Type 0d, LUN 0001, Tag 0203 Repeated 3 times\n", 6},
        {36, {1, 255}, "SAS Tgt: Unknown TMR-P0 Type ff, LUN 0000, Tag 0000\n", 6},
        {36, {2, 2}, "SCSI Bus Reset: Host Port 1(Int) \n", 2},
        {36, {1, 2}, "Reset 01 02 \n", 4},
        {37, {1, 3}, "Loop Up: Host Loop 0, 4Gb/s\n", 1},
        {37, {3}, "SAS Tgt: Discovery Complete: Ports 0, 1\n", 6},
        {37, {2}, "SAS Tgt: Discovery Complete: Port 1\n", 6},
        {38, {3}, "SAS Tgt: Discovery StartedPorts 0 & 1\n", 6},
        {38, {2}, "Loop Down: Host Loop 1\n", 1},
        {23, {1, 2}, "Controller Port 0 Incorrect Address, Should Be:001 Is:002\n"},
        {24, {1, 2}, "Controller Port 1 Incorrect Address, Should Be:001 Is:002\n"},
        {46, {9, 5, 0x2C, 0x01, 0x12, 2}, "C1P? Detected Power-on/Reset at ID:005 LD:300 Op:12\n"},
        {55, {1, 11}, "Host Loop 0 Timeout\n", 1},
        {55, {3, 4}, "Host Loop ? Error 04\n", 1},
        {55, {5, 1, 2, 3, 4, 5, 6, 7, 0, 0, 0, 0, 8, 9}, "SAS Tgt: CMD ERR-P5-0102 PR:03 LI:04050607 Tag:0809\n", 6},
        {56, {1, 1, 2}, "Invalid Host Status 38 Loop 0 0102\n"},
        {61, {2}, "Controller LIP: Host Loop 1\n", 1},
        {61, {1}, "Controller SAS Reset: Host Port 0\n", 6},
        {63, {WWN, 1, 7}, "Host P0WWN: 2000005aa5a00001 Logged in at ID: 007\n", 1},
        {63, {WWN, 1, 7}, "Host P0 SAS Addr: 2000005aa5a00001 Logged in at ID: 007\n", 6},
        {124, {WWN, 3, 7}, "Host P?WWN: 2000005aa5a00001, ID: 007 Logged in\n", 1},
        {125, {WWN, 1, 7, 254}, "Host P0 SAS Addr: 2000005aa5a00001, ID:007 - Logged out, INACTIVE\n", 6},
        {125, {WWN, 2, 7, 0}, "Host P1 WWN: 2000005aa5a00001, ID:007 - Logged out\n", 1},
        {64, {2, 3, 2, 1, 0x28, 5, 0x24, 0}, "CC to Host ID:003 LD:258 P1 OP:28 SN:05 EXT:24 QL:00\n"},
        {135, {5, 1, 2, 1, 5}, STAMP + "PR: C1P2 L105 reservation conflict detected\n"},
        {135, {9, 0, 1, 0, 0}, STAMP + "PR: C0P1 L000 unknown error code 0x9\n"},
    };
    Check(cases, std::size(cases));
}

TEST_F(EventTextTest, ControllerPartnerAndPowerEvents) {
    const TextCase cases[] = {
        {1, {1, 1, 2, 3, 4}, "Fatal Watchdog Error (01 02 03 04)\n"},
        {1, {2, 0x83, 5}, "Fatal SDRAM ECC Error S:3 D:05\n"},
        {1, {2, 255, 5}, "Fatal SDRAM ECC Error D:05\n"},
        {1, {3}, "Fatal Coprocessor Error\n"},
        {1, {4, 2, 0x33}, "Fatal Host FC Channel 1 Error (33)\n", 1},
        {1, {4, 9}, "Fatal Host FC Channel ? Error\n", 1},
        {1, {4, 1, 2, 3, 4}, "SAS Tgt: Fatal Interface Error 0x01020304\n", 6},
        {1, {5, 0x10, 0, 0, 2}, "SAS Discovery Timeout\n"},
        {1, {5, 0x20, 0, 0, 2}, "SAS Interface Error (20000002)\n"},
        {1, {6, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, "Data Abort: 02 03 04 05 06 07 08 09 0a 0b 0c 0d\n"},
        {1, {6, 0x42, 2}, "F/W Error: 42 02 00 00 00 00 00 00 00 00 00 00 00\n"},
        {1, {7, 1, 0x10, 0x11, 3, 4}, "PCIe training failure. LSTS: 1011 BUS: 03 DEV: 04\n"},
        {1, {7, 4, 1, 2, 3, 4, 5, 6}, "Can't clear PCIe correctable errors. ERRCOR_STS: 01020304, BUS: 05 DEV: 06\n"},
        {1, {9}, "Event Code: 01\n"},
        {2, {}, "Other Controller Firmware Incompatible, Please Upgrade\n"},
        {3, {65, 1, 70, 2}, "Cntrl 0 Probe 2 Temp Exceeded: 65C (Max: 70C)\n"},
        {3, {65, 7, 0, 2}, "Cntrl ? Temp Exceeded: 65C\n"},
        {4, {60, 2, 0}, "Cntrl 1 Temp Warning: 60C Shutdown at 72C\n"},
        {4, {60, 2, 75, 1}, "Cntrl 1 Probe 1 Temp Warning: 60C Shutdown at 75C\n"},
        {6, {}, "UPS Failure\n"},
        {7, {0, 0, 1, 2}, "Battery Fault, Status: 0x0102\n"},
        {7, {0, 145}, "Battery Inserted\n"},
        {7, {0, 77}, "Battery Fault, Unknown: 0x4d\n"},
        {8, {3}, "Controller ? Failed/Removed\n"},
        {8, {1}, "Controller 0 Failed/Removed\n"},
        {9, {1}, "Controller 0 Timeout\n"},
        {9, {0}, "Other Controller Timeout\n"},
        {41, {0}, "Other Controller Present\n"},
        {42, {2}, "Controller 1 Valid\n"},
        {43, {}, "Other Controller Shutdown\n"},
        {92, {}, "Controller Failover Started\n"},
        {93, {}, "Controller Failover Completed\n"},
        {94, {}, "Controller Failback Started\n"},
        {95, {}, "Controller Failback Completed\n"},
        {44, {}, "Resync Started\n"},
        {45, {}, "Resync Completed\n"},
        {25, {1, 0x76, 0x2F}, "Voltage Error: 12V In Value: 12.15V\n"},
        {25, {3, 0x88, 0x13}, "Voltage Error: 5V Fused Value: 5.00V\n"},
        {25, {9}, "Voltage Error: \n"},
        {26, {}, "DMA Error\n"},
        {28, {0, 0, 1, 2, 3}, "Controller Version Mismatch 01 02 03\n"},
        {28, {}, "Controller Version Mismatch\n"},
        {65, {}, "UPS OK\n"},
        {66, {1}, "\"Line Power Mode\" ENABLED (Battery not required)\n"},
        {66, {2}, "\"Line Power Mode\" ENABLED (WARNING: Battery is Installed!)\n"},
        {66, {0, 0, 0}, "Battery OK\n"},
        {66, {3, 0, 30}, "Battery Topoff end - topoff for 30 Seconds\n"},
        {66, {0, 1, 0}, "Battery OK - Charged for 256 Seconds\n"},
        {98, {0, 0, 0}, "Battery Charging\n"},
        {98, {0, 0, 5}, "Battery Charging after 05 Minutes\n"},
        {98, {3, 0, 5}, "Battery Topoff Start after 05 Minutes\n"},
        {80, {}, "Controller Powered Off\n\n"},
        {81, {}, "Controller Powered On\n"},
        {82, {}, "Controller Selftest Passed\n"},
        {83, {}, "Controller Selftest Failed\n"},
        {84, {}, "NVRAM Reset\n"},
        {85, {}, "Invalid World Wide Name, Using Default\n"},
        {86, {}, "Event Log Cleared\n"},
        {87, {}, "Controller Reset\n\n"},
        {88, {0, 4}, "Controller Shutdown: Flags: 04\n\n"},
        {96, {'0', '0', '2', '1', 0, 0x21, 0, 0x09, 0x03}, "Controller Firmware Upgraded to Rev. 3.9 Build 0021\n"},
        {114, {0x85, 1, 2, 3, 4}, "Recovered SDRAM ECC Error, Address: 01020304 Bit:S:5\n"},
        {114, {7, 1, 2, 3, 4}, "Recovered SDRAM ECC Error, Address: 01020304 Bit:D:07\n"},
        {141, {}, "Audible alarm muted\n"},
        {142, {}, "Audible alarm disabled\n"},
        {143, {}, "Audible alarm enabled\n"},
        {146, {0, 0, 1, 2, 3}, "Controller Cache Mismatch 01 02 03\n"},
        {156, {1, 0, 0, 0, 0, 0, 0, 0, 2}, "Watchdog Interrupt Warning Repeated 3 times\n"},
        {156, {3, 0, 1, 2, 3, 4, 5, 6}, "PCIe init deadlock, reset controller. ERRCOR_STS: 01020304, BUS: 05 DEV: 06\n"},
        {156, {5, 0, 1, 2, 3, 4, 5, 6}, "PCIe Info: errors cleared on init. ERRCOR_STS: 01020304, DSTS: 0506\n"},
        {156, {42}, "Unknown Controller Warning: 42\n"},
        {157, {0x1F}, "SAS Controller Reset event code: 1f\n"},
        {171, {0x78, 0x56, 0x34, 0x12, 0xF0, 0xDE, 0xBC, 0x9A, 0x02, 0x01, 0},
         "ASSERT FAILURE: 12345678 9ABCDEF0 258\n"},
    };
    Check(cases, std::size(cases));
}

TEST_F(EventTextTest, AssertionTextsOnlyFromThisProgram) {
    static const char acText[] = "bCount < 4";
    static const char acFile[] = "kernel_queue.cpp";
    const auto dText = fw::dAddressWord(acText);
    const auto dFile = fw::dAddressWord(acFile);
    const int aText[4] = {int(dText & 0xFF), int((dText >> 8) & 0xFF), int((dText >> 16) & 0xFF), int(dText >> 24)};
    const int aFile[4] = {int(dFile & 0xFF), int((dFile >> 8) & 0xFF), int((dFile >> 16) & 0xFF), int(dFile >> 24)};
    char acFileNumeric[12];
    std::snprintf(acFileNumeric, sizeof(acFileNumeric), "%08X", static_cast<unsigned>(dFile));
    const TextCase cases[] = {
        {171, {aText[0], aText[1], aText[2], aText[3], aFile[0], aFile[1], aFile[2], aFile[3], 42},
         "AF(bCount < 4), kernel_queue.cpp: 42\n"},
        // An address from before a restart is not trusted: both as numbers.
        {171, {0x00, 0x10, 0x00, 0x00, aFile[0], aFile[1], aFile[2], aFile[3], 42},
         "ASSERT FAILURE: 00001000 " + std::string(acFileNumeric) + " 42\n"},
    };
    Check(cases, std::size(cases));
}

TEST_F(EventTextTest, ArrayCacheAndConfigurationEvents) {
    const TextCase cases[] = {
        {27, {4}, "Array 04 Critical\n"},
        {47, {}, "Configuration Changed\n"},
        {51, {4}, "Array 04 Initialization Started\n"},
        {52, {4}, "Array 04 Initialization Complete\n"},
        {116, {3, 5, 4}, "Array 04 Initialization Aborted\n"},
        {53, {12, 0, 0xFF, 0x07, 0, 0}, "Flush Mirrored Cache Started, 12 Entries, <1 MB\n"},
        {53, {12, 1, 0x00, 0x10, 0, 0}, "Flush Mirrored Cache Started, 268 Entries, 2 MB\n"},
        {54, {}, "Flush Mirrored Cache Completed\n"},
        {99, {3, 0, 0, 0x10, 0, 0}, "Flush Cache Started, 03 Entries, 2 MB\n"},
        {100, {}, "Flush Cache Completed\n"},
        {101, {0, 0, 0, 0x10, 0, 0, 3}, "Cached Data Lost, Array 03, 2 MB\n"},
        {101, {5, 0, 1, 0, 0, 0}, "Cached Data Lost, 05 Entries, <1 MB\n"},
        {101, {0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 2}, "Cached Data Lost, Array 02, Amount Unknown\n"},
        {177, {0x2C, 1, 0, 0x20, 0, 0, 0, 1, 0, 0}, "Start Stopped: No Run Of 256 Free Buffer Pages, Cache Holds 300 Entries, 4 MB\n"},
        {67, {1, 3}, "Array 01 Parity Check and Rewrite Started\n"},
        {68, {1, 1, 1, 0, 0, 0}, "Array 01 Parity Check Completed, 1 Error\n"},
        {68, {1, 1, 0, 0, 0, 0}, "Array 01 Parity Check Completed, No Errors\n"},
        {69, {1, 2, 5, 0, 0, 0}, "Array 01 Parity Rewrite Aborted, 5 Errors\n"},
        {70, {1, 2, 3, 0, 0, 0, 2, 0x10, 0, 0, 0}, "Array 01 Parity Retry  Failed 3 Errors Drive = 2 Chunk address = 10\n"},
        {70, {1, 1}, "Array 01 Parity Retry Passed\n"},
        {104, {2}, "Array 02 Expansion Started\n"},
        {105, {2}, "Array 02 Expansion Complete\n"},
        {106, {2}, "Array 02 Expansion Restarted\n"},
        {111, {2, 0x05}, "Array 02 Cache Disabled: Partner,Critical\n"},
        {111, {2, 0x11}, "Array 02 Cache Disabled In Preparation For Shutdown\n"},
        {112, {2}, "Array 02 Cache Re-Enabled\n"},
        {140, {3, 2}, "AA MUX in Z7Q2, Array 03\n"},
        {140, {3, 9}, "Unknown error code 0x9\n"},
        {149, {1, 0, 6}, "Array 06 was spun down.\n"},
        {149, {0, 0, 6}, "Array 06 was spun up.\n"},
        {148, {1}, "Group of APM L1 drives was spun down.\n"},
        {150, {0, 0, 6}, "APM test started on array 06.\n"},
        {151, {1}, "APM L1 test finished.\n"},
        {158, {171, 2}, "Expand array rejected due to array rebuild\n"},
        {158, {1, 9}, "Unknown command rejected due to default\n"},
        {164, {5, 1, 2}, "Copyback 1 has completed\n"},
        {164, {99, 1, 0}, "LD Copy event code: 63\n"},
        {129, {1, 0, 2, 0, 3, 0, 255}, "ODA:001 ODALUN:002 LD:003 ODA Invalidated - Full\n"},
        {129, {1, 0, 2, 0, 3, 0, 40}, "ODA:001 ODALUN:002 LD:003 ODA Capacity 40\n"},
        {130, {1, 0, 2, 0, 3, 0, 3}, "ODA:001 ODALUN:002 LD:003 ODA Assigned\n"},
        {131, {1, 0, 2, 0, 3, 0, 7, 0, 1}, "ODA:001 ODALUN:002 LD:003 VLUN:  7 Enabled\n"},
        {132, {1, 0, 2, 0, 3, 0, 254, 9}, "ODA:001 ODALUN:002 LD:003 All Snapshot Delete Started\n"},
        {133, {1, 0, 2, 0, 3, 0, 4, 0x21}, "ODA:001 ODALUN:002 LD:003 Snapshot 04 Error:21\n"},
        {136, {5}, "Snapshot Metadata Resync Completed\n"},
    };
    Check(cases, std::size(cases));
}

TEST_F(EventTextTest, EnclosureAndBoardEvents) {
    const TextCase cases[] = {
        {107, {1, 1, 0, 0, 0, 0, WWN}, "Encl.01 PWR Supply 2 OK        WWN:2000005aa5a00001\n", 1},
        {107, {1, 2, 0, 0, 0, 1, WWN}, "Encl.02 PWR Supply 2 Critical  SN:2000005aa5a00001\n", 2},
        {108, {0, 5, 0, 0, 0, 0, WWN}, "Encl.01 Fan 1 Not Found WWN:2000005aa5a00001\n", 1},
        {108, {0, 1, 0, 0, 0, 0, WWN}, "Encl.01 Fan 1  OK            SAS Addr:2000005aa5a00001\n", 6},
        {109, {0, 0, 0, 45, 4, 0, WWN}, "Encl.01 Temp. 1 25C Warning  WWN:2000005aa5a00001\n", 1},
        {109, {0, 5, 0, 45, 4, 0, WWN}, "Encl.01 Temp. 1 Not Found   WWN:2000005aa5a00001\n", 1},
        {110, {0, 0, 0, 0, 0x40, 0, WWN}, "Encl.01 Alarm 1 Muted-OFF. SAS Adr:2000005aa5a00001\n", 6},
        {110, {0, 0, 0, 0, 0x0E, 0, WWN}, "Encl.01 Alarm 1 Intermittent-ON. WWN:2000005aa5a00001\n", 1},
        {110, {0, 0, 0, 0, 0x00, 0, WWN}, "Encl.01 Alarm 1 The alarm is OFF.WWN:2000005aa5a00001\n", 1},
        {79, {0, 2, 0, 0, 0, 0, WWN}, "Encl.01 Channel Card 1 Critical WWN:2000005aa5a00001\n", 2},
        {89, {}, "SES Initialized: SES LEVEL 1. Verify the Configuration\n"},
        {90, {}, "SES Initialized: SES LEVEL 3, Access: Critical\n"},
        {91, {}, "SES Initialized: SES LEVEL 3, Access: Fault Tolerant\n"},
        {122, {1, 0, 0, 0, 0, 0, 2, 0xDE, 0xAD, 0xBE, 0xEF},
         "Hardware Error I2C:01 I2C reinit failed on RTC abort  I2C status: 0xdeadbeef \n"},
        {122, {0, 0xA2, 1, 3}, "Hardware Error I2C:00 Address:a2 Mux:01 Oper:03 \n"},
        {122, {9, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
         "Hardware Error General Hardware Error:090102030405060708090a \n"},
        {126, {1, 2, 'A', 'B', '1', '2', 'C', 'D', '3', '4'}, "Disk IO FW upgrade started 01 02 AB12 CD34\n"},
        {127, {1, 2, 'A', 'B', '1', '2', 'C', 'D', '3', '4'}, "Disk IO FW upgrade finished 01 02 AB12 CD34\n"},
        {128, {}, "Disk IO FW upgrade stopped due to error\n"},
        {137, {0, 0, 3, 4, 0, 0, 0, 1, 2}, "Running 0102 CEMI FW version: Release 03, Build 04\n"},
        {137, {1, 16, 3, 4, 5, 6, 1, 7, 8, 9, 10}, "Begin CEMI Fw manual Fw update: 090a v.05.06 to 0708 v.03.04\n"},
        {137, {2, 16}, "Embedded Module cannot detect response from v850 serial port.\n"},
        {138, {1, 255, 255}, "Embedded Module reset request blocked, Cemi is updating.\n"},
        {138, {1, 0}, "Embedded Module reset request accepted, resetting Netburner.\n"},
        {139, {176, 161, 1, 0x78, 0x56, 0x34, 0x12, 0xEF, 0xBE, 0xAD, 0xDE},
         "PMC Appl Fw image updated from Version CRC 12345678 to deadbeef.\n"},
        {139, {172, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0}, "PMC images up-to-date.  CRC: 00000001 00000002 00000003\n"},
        {144, {}, "Invalid SAS IO Module: Configuration NOT Supported\n"},
        {152, {2, 3}, "Expansion cable has been disconnected. Enc: 03\n"},
        {153, {5, '0', '1', '0', '0', '0', '1', '0', '1', 0x12, 0x34, 0x56, 0x78},
         "Expander SPIMEM download image CRC does not match Cur:0100 DL:0101 Exp:1234 Act:5678\n"},
        {153, {2, '0', '1', '0', '0', '0', '1', '0', '1'}, "Expander SPIMEM update successful Cur:0100 DL:0101\n"},
        {153, {12}, "Expander SPIMEM Unknown Event 0c\n"},
        {154, {3}, "Expander Bootrom Unknown Event 03\n"},
        {154, {2}, "Expander Bootrom flash programmed successfully\n"},
        {155, {2}, "Expander EEPROM update successful\n"},
        {172, {2, 'V', 'E', 'N', 'D', 'O', 'R', '0', '1'}, "Encl.02 Invalid VID/PID Disabled Encl VID:'VENDOR01'.\n"},
        {200, {0, 0, 1, 2}, "Controller Clock 258 Seconds Behind Real Time Clock\n"},
        {201, {}, "Event Code: c9\n"},
        {0, {}, "Event Code: 00\n"},
    };
    Check(cases, std::size(cases));
}

TEST_F(EventTextTest, DecodeEventPrintsStampThenTextFromTheListedImage) {
    static fw::EVENT_LOG_MIRROR s_sImage;
    s_sImage.asEntries[3] = MakeEntry(81, {});
    board.ClearConsoleText();
    fw::DecodeEvent(3);
    EXPECT_EQ(board.ConsoleText(), "");   // no image set
    fw::SetEventDecodeImage(&s_sImage);
    fw::DecodeEvent(3);
    EXPECT_EQ(board.ConsoleText(), Crlf(STAMP + "Controller Powered On\n"));
}

}  // namespace
