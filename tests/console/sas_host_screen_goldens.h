// What the operator sees of the SAS host ports in SasHostScreens: the
// interface dump of the 'H' and 'h' keys, and the host PHY counters of the
// Diagnostic Counter Menu, with <date> where the console prints the date and
// time.
#pragma once

#include <string>

namespace sashostscreens {

// Both ports up with a host each, the stored settings as shipped.
inline const std::string kInterface = R"(SAS Target Interface Information (State:f1)
LSI 1068 FW Version Name: 1.16.84.00

Port 0 State:ff Rate:9 Phys:4 Mask:0f Flags:00 Hndl:0010 Ctrl:0001 Rmv:0

Port 1 State:ff Rate:9 Phys:4 Mask:f0 Flags:00 Hndl:0011 Ctrl:0001 Rmv:0

Controller Port 0 Connection Options: 
    PHY 0: Enabled
    PHY 1: Enabled
    PHY 2: Enabled
    PHY 3: Enabled
Controller Port 0 Data Rate:          Auto
Controller Port 1 Connection Options: 
    PHY 4: Enabled
    PHY 5: Enabled
    PHY 6: Enabled
    PHY 7: Enabled
Controller Port 1 Data Rate:          Auto

SAS Host List: 
-SAS Host ID 000: Hndl:0010 PDev:71 Adr: :500605b0000a0001
OC:00 Flags:001 Tmo:00 QFull:00 RstC:00 Ctrlr:1 DevI:00000041
-SAS Host ID 001: Hndl:0011 PDev:72 Adr: :500605b0000b0002
OC:00 Flags:001 Tmo:00 QFull:00 RstC:00 Ctrlr:1 DevI:00000041
)";

// What the 'H' key adds: the first host's two reads held at the IOC, in
// the buffers of IoIndex 4 and 5 (host entries 4 and 5, tags 3 and 4),
// each with its TARGET ASSIST in a request frame.
inline const std::string kCommandMap = R"(  LSI SAS Target command Post Map:
    ....XX..........................................................
    ................................................................
    ................................................................
    ................................................................
    ................................
  Command Buffers In Use:
    004: KQE:0004, Tag:0003, PDev:71 RQE:0014
    005: KQE:0005, Tag:0004, PDev:71 RQE:0015
  Total: 0002

  Request queue used bit map: 002
 Request Queue Entries in use:
    014: 80140004  
    015: 80150005  
)";

// No unit reserved; the key's output ends with an empty line.
inline const std::string kReservations = "Dump reservation variables:\n\n";

// A PHY counter screen: the date, its title, the counters, the pause.
inline std::string PhyScreen(const std::string& title, const std::string& rows) {
    return "\n\n<date> \nSAS Host Interface Diagnostic Registers: " + title +
           "\n\nPHY  InvalidDwords  DisparityErrs  LostDwordSyncs  ResetProblems\n" + rows +
           "Press any key to continue...\n";
}

// The counters as the IOC has them since its reset: the changes from the
// first reference, and then the values of the reference taken.
inline const std::string kPhyRowsSinceReset = R"(0-0             12              0               1              0
0-1              0              0               0              0
0-2              0              0               0              0
0-3              0              3               0              0
1-4              0              0               0              0
1-5              0              0               0              2
1-6              0              0               0              0
1-7              0              0               0              0
)";

// The changes since that reference.
inline const std::string kPhyRowsSinceReference = R"(0-0              0              0               0              0
0-1              0              0               0              0
0-2              0              0               0              0
0-3              0              0               0              0
1-4         100000              0               0              0
1-5              0              0               0              1
1-6              0              0               0              0
1-7              0              0               0              0
)";

inline const std::string kPhyChangesFromFirst = PhyScreen("Display changes from Reference 1", kPhyRowsSinceReset);
inline const std::string kPhySetReference = PhyScreen("Set Values for Reference 2", kPhyRowsSinceReset);
inline const std::string kPhyChangesFromSecond = PhyScreen("Display changes from Reference 2", kPhyRowsSinceReference);

}  // namespace sashostscreens
