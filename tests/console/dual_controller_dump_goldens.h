// What the operator sees of the partner link in the four dual-controller
// dumps: the link's state and heartbeat, the incoming and outgoing message
// queues, and the partner's parity data held here.  The clock and the
// heartbeat counts of the moment show as x.
#pragma once

#include <cctype>
#include <string>

namespace dualdumps {

// The times and heartbeat counts of the moment, masked; "\r\n" read as
// "\n".
inline std::string Masked(std::string text) {
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) text.erase(at, 1);
    for (const std::string field : {"Time Now: ", "Watchdog: ", "Int Count: ", "Lat:"}) {
        for (size_t at = text.find(field); at != std::string::npos; at = text.find(field, at + 1)) {
            for (size_t i = at + field.size(); i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i])); ++i) {
                text[i] = 'x';
            }
        }
    }
    return text;
}

// The stats display: the role, the link and the partner's ports as given,
// and the latency line when heartbeats were measured since the last
// display.
inline std::string Stats(const std::string& sLink, const std::string& sLatency) {
    return "\nDual Controller stats:\n" + sLink + "Time Now: xxxxxxxxxxxxxxxx\nWatchdog: xxxxxxxxxxxxxxxx\n" + sLatency +
           "No Cmd In Progress\nInt Count: xxxxxxxx Lat:xxxxxxxx\nRetry:00000000 Invalid CDB:00000000\n\n";
}

// A controller without a partner: master, the link invalid, no partner
// port on either path, no heartbeat ever seen (no latency measured), and
// nothing in any queue.
inline const std::string kLoneController = Stats("Master Controller\n"
                                                 "Other Controller Status: Invalid\n"
                                                 "Init1 Other Controller Not Present\n"
                                                 "Init2 Other Controller Not Present\n",
                                                 "") +
                                           R"(
Dual Controller Incoming Queue
No Cmds in progress Total:000 New:000 In  ptr:000 Out ptr:000


Dual Controller Outgoing Queue
No Cmds in progress
Tot:000 New:000 Compl:000 P1:000 P2:000 New Ptr:0000:0000 Compl Ptr:0000:0000


OtherControllerParityReadDataQueue

)";

// Controller 1 of a running pair, the stats shown twice (the second
// without a latency line: the first display started a new measurement):
// a drive command its partner forwarded (158) at the drive, and the old
// contents of a row held for its partner (entry 10, journal slot none, so
// not to be replayed on its own), in a buffer shown as <buffer>.
inline const std::string kSlaveLink = "Slave Controller\n"
                                      "Other Controller Status: Valid\n"
                                      "Init1 Other Controller Alpa: 08\n"
                                      "Init2 Other Controller Alpa: 09\n";
inline const std::string kSlaveAtWork = Stats(kSlaveLink, "Watchdog Latency: Avg: 01ms Max: 02ms\n") +
                                        Stats(kSlaveLink, "") + R"(
Dual Controller Incoming Queue
No Cmds in progress Total:001 New:000 In  ptr:028 Out ptr:028
0000 S1 PS:77:00 CT:9e TS: 000 06 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00


Dual Controller Outgoing Queue
No Cmds in progress
Tot:000 New:000 Compl:000 P1:000 P2:000 New Ptr:0007:0007 Compl Ptr:0007:0007


OtherControllerParityReadDataQueue
00a VT PS:19 SS:00 R:00 P:01 D:02 A:00001234 B:0002 D:<buffer> TM:ffff Invalid 00 00000000 00000000

)";

// Controller 0, which ran alone, while controller 1 joins it: the
// joiner's heartbeat request holds host commands here until the joiner
// asks for the start-of-day answer, which makes the link valid on this
// side too.  Both paths reach the joiner's drive-side ports throughout.
inline const std::string kHoldingForAJoiner = Stats("Master Controller\n"
                                                    "Hold Target Commands\n"
                                                    "Other Controller Status: Invalid\n"
                                                    "Init1 Other Controller Alpa: 08\n"
                                                    "Init2 Other Controller Alpa: 09\n",
                                                    "Watchdog Latency: Avg: 01ms Max: 02ms\n");
// The latency is measured: how far the joiner's heartbeats lag this
// controller's checks follows the phase of the two boards' ticks, which the
// length of the joiner's start sets.
inline const std::string kJoined = Stats("Master Controller\n"
                                         "Other Controller Status: Valid\n"
                                         "Init1 Other Controller Alpa: 08\n"
                                         "Init2 Other Controller Alpa: 09\n",
                                         "Watchdog Latency: Avg: 02ms Max: 02ms\n");

// Controller 1 holding the old parity (member 1) and data (member 0) of
// blocks 0x48-0x4f of a RAID 5 row its partner updates, as entry <entry>
// in a buffer shown as <buffer>; the partner's journal slot <slot> still
// holds the host write the update is for.
inline const std::string kRowHeldWithItsWrite = R"(
OtherControllerParityReadDataQueue
<entry> VT PS:19 SS:00 R:00 P:01 D:00 A:00000048 B:0008 D:<buffer> TM:<slot> Valid

)";
// A controller without a partner on a board with the Fibre Channel drive
// loops: message 42 arrived on loop 1 (chip 3), message 109 on loop 2
// (chip 4), both checked and left in their slots.
inline const std::string kFromTheDriveLoops = R"(
Dual Controller Incoming Queue
No Cmds in progress Total:002 New:000 In  ptr:002 Out ptr:002
0000 P1 PS:74:00 CT:51 TS: 000 05 2a 00 00 00 00 00 00 00 00 00 00 00 00 00 00
0001 P2 PS:74:00 CT:51 TS: 000 05 6d 00 00 00 00 00 00 00 00 00 00 00 00 00 00

)";

}  // namespace dualdumps
