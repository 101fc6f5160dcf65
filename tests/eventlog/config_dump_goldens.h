// What the configuration dump of ConfigDumpTest prints for each type, as an
// operator sees it (the configuration harness's console ends each page
// with its pause).
#pragma once

#include <cstdint>

namespace configdumptest {

struct GOLDEN {
    uint8_t bType;
    const char* pszText;
};

inline const GOLDEN kGoldens[] = {
    {16, R"(Configuration: Test Configuration                                              
Controller WWN    : 200000a55aa00001
Configuration WWN : 200000a55aa00001

Firmware Version: 03.09 Build 0021 Firmware OEM: Dunra
Total Arrays: 05, No Arrays Used For Flushing Cache

Array:00 RAID 0, 02 Drives (-0%), 64K Chunk, 4 GB
W/B Cache: Y  Battery:Y  Threshold: 16 MB
Disable Writethrough Transition when Write Cache Full:N
R/A Cache: Automatic

No. Type Identifier       Product ID   F/W  Sav Ser. No. Cap.   ID  EN SL PS ST
--- ---- ---------------- ------------ ---- --- -------- ------ --- -- -- -- --
00  SAS  2000001122330000 SIMDISK 4G   0001 No  SIM00000 004 GB 000 01 01 -- OK
01  SAS  2000001122330001 SIMDISK 4G   0001 No  SIM00000 004 GB 001 01 02 -- OK

Array:01 RAID 10, 02 Drives (-0%), 128K Chunk, 2 GB
W/B Cache: Y  Fault Tolerant:Y  Battery:Y  Threshold: 16 MB
Disable Writethrough Transition when Write Cache Full:N
R/A Cache: 256 KB

No. Type Identifier       Product ID   F/W  Sav Ser. No. Cap.   ID  EN SL PS ST
--- ---- ---------------- ------------ ---- --- -------- ------ --- -- -- -- --
00  SAS  2000001122330100 SIMDISK 4G   0001 No  SIM00000 004 GB 002 01 03 -- OK
01  SAS  2000001122330101 ------------ ---- --- -------- --- -- --- -- -- -- FL

Array:02 RAID 5, Initialized, 03 Drives (2 + 1) (-0.50%), 1M Chunk, 4 GB
W/B Cache: Y  Fault Tolerant:Y  Battery:Y  Threshold: 16 MB
Disable Writethrough Transition when Write Cache Full:N
R/A Cache: 512 KB
Array Name: Parity Array

No. Type Identifier       Product ID   F/W  Sav Ser. No. Cap.   ID  EN SL PS ST
--- ---- ---------------- ------------ ---- --- -------- ------ --- -- -- -- --
00  SAS  2000001122330200 SIMDISK 4G   0001 No  SIM00000 004 GB 004 01 04 -- OK
01  SAS  2000001122330201 SIMDISK 4G   0001 No  SIM00000 004 GB 005 01 05 -- OK
02  SAS  2000001122330202 SIMDISK 4G   0001 No  SIM00000 004 GB 006 01 06 -- OK

Array:03 RAID 6, Trusted, 04 Drives (2 + 2) (-0%), Chunk, 4 GB
W/B Cache: Y  Fault Tolerant:Y  Battery:Y  Threshold: 16 MB
Disable Writethrough Transition when Write Cache Full:N
R/A Cache: 1 MB

No. Type Identifier       Product ID   F/W  Sav Ser. No. Cap.   ID  EN SL PS ST
--- ---- ---------------- ------------ ---- --- -------- ------ --- -- -- -- --
00  SAS  2000001122330300 SIMDISK 4G   0001 No  SIM00000 004 GB 007 01 07 -- OK
01  SAS  2000001122330301 SIMDISK 4G   0001 No  SIM00000 004 GB 008 01 08 -- OK
02  SAS  2000001122330302 SIMDISK 4G   0001 No  SIM00000 004 GB 009 01 09 -- OK
03  SAS  2000001122330303 SIMDISK 4G   0001 No  SIM00000 004 GB 010 01 10 -- OK

Array:04 RAID 50, Re-Init (0%), 06 Drives (4 + 2) (-0%), 2M Chunk, 8 GB
W/B Cache: Y  Fault Tolerant:Y  Battery:Y  Threshold: 16 MB
Disable Writethrough Transition when Write Cache Full:N
R/A Cache: 2 MB

No. Type Identifier       Product ID   F/W  Sav Ser. No. Cap.   ID  EN SL PS ST
--- ---- ---------------- ------------ ---- --- -------- ------ --- -- -- -- --
00  SAS  2000001122330400 SIMDISK 4G   0001 No  SIM00000 004 GB 011 01 11 -- OK
01  SAS  2000001122330401 SIMDISK 4G   0001 No  SIM00000 004 GB 012 01 12 -- OK
02  SAS  2000001122330402 SIMDISK 4G   0001 No  SIM00000 004 GB 013 01 13 -- OK
03  SAS  2000001122330403 SIMDISK 4G   0001 No  SIM00000 004 GB 014 01 14 -- OK
04  SAS  2000001122330404 SIMDISK 4G   0001 No  SIM00000 004 GB 015 01 15 -- OK
05  SAS  2000001122330405 SIMDISK 4G   0001 No  SIM00000 004 GB 016 01 16 -- OK

Total Logical Drives: 02

LD:000 Capacity:   1GB Regions:01 Mapped to:000 Ref:000 Blk:512
LD Name: Boot
 REG:00 Capacity:   1GB Array:00
Controller 0 Port 0 Availability: Enabled
Controller 0 Port 1 Availability: Enabled
Controller 1 Port 0 Availability: Disabled
Controller 1 Port 1 Availability: Disabled
LD Flagged For Internal Use Only  : No

LD:001 Capacity:   3GB Regions:02 Mapped to:001 Ref:001 Blk:4096
 REG:00 Capacity:   2GB Array:02
 REG:01 Capacity:   1GB Array:04
Controller 0 Port 0 Availability: Enabled
Controller 0 Port 1 Availability: Disabled
Controller 1 Port 0 Availability: Disabled
Controller 1 Port 1 Availability: Disabled
LD Flagged For Internal Use Only  : No


Total SAN Mappings: 01

Mapping Name                     Node Name        Port Name        Port
-----------------------------------------------------------------------
Host A                           200000e08b010203 210000e08b010203
Controller LUN: Disabled
Logical Drive 001 Presented to Host as LUN 000   Read/Write Access C0:0&1,C1:---
Logical Drive 000 Presented to Host as LUN 007   Read Only Access   C0:0  ,C1:---


Total Hot Spare Drives: 01

No. Type Identifier       Product ID   F/W  Sav Ser. No. Cap.   ID  EN SL PS ST
--- ---- ---------------- ------------ ---- --- -------- ------ --- -- -- -- --
00  SAS  2000001122330900 ------------ ---- --- -------- --- -- --- -- -- -- NA

Controller Port 0 Hard Address:       004
Controller Port 0 Connection Options: Automatic
Controller Port 0 Data Rate:          Automatic
Controller Port 1 Hard Address:       005
Controller Port 1 Connection Options: Automatic
Controller Port 1 Data Rate:          Automatic
Controller Port Different Node Name:  Disabled

Controller LUN:                 Disabled

Auto Rebuild:                   Enabled
Rebuild Priority:               50 %
Automatic Hot Spare:            Disabled
Initialization Priority:        50 %

Single Controller Mode:         Enabled
Background Verification:        Disabled
Controller Monitor SES:         Enabled

Multiple Stripe Access:         Disabled
Target Command Thread Balance:  Disabled

Target Queue Management:        disabled.

Sequential Write Support Level: High


Failed Drive:00 WWN:2000001122330101 S:2:02 
Command: 2a Sense Key: 03 Ext Sense: 11



Bad Block List:
0000 Array:02 LBA:0000000000012345 Block Count:0008


End Of Configuration

Press any key to continue...
)"},
    {17, R"(Total Arrays: 05, No Arrays Used For Flushing Cache

Array:00 RAID 0, 02 Drives (-0%), 64K Chunk, 4 GB
W/B Cache: Y  Battery:Y  Threshold: 16 MB
Disable Writethrough Transition when Write Cache Full:N
R/A Cache: Automatic

No. Type Identifier       Product ID   F/W  Sav Ser. No. Cap.   ID  EN SL PS ST
--- ---- ---------------- ------------ ---- --- -------- ------ --- -- -- -- --
00  SAS  2000001122330000 SIMDISK 4G   0001 No  SIM00000 004 GB 000 01 01 -- OK
01  SAS  2000001122330001 SIMDISK 4G   0001 No  SIM00000 004 GB 001 01 02 -- OK

Array:01 RAID 10, 02 Drives (-0%), 128K Chunk, 2 GB
W/B Cache: Y  Fault Tolerant:Y  Battery:Y  Threshold: 16 MB
Disable Writethrough Transition when Write Cache Full:N
R/A Cache: 256 KB

No. Type Identifier       Product ID   F/W  Sav Ser. No. Cap.   ID  EN SL PS ST
--- ---- ---------------- ------------ ---- --- -------- ------ --- -- -- -- --
00  SAS  2000001122330100 SIMDISK 4G   0001 No  SIM00000 004 GB 002 01 03 -- OK
01  SAS  2000001122330101 ------------ ---- --- -------- --- -- --- -- -- -- FL

Array:02 RAID 5, Initialized, 03 Drives (2 + 1) (-0.50%), 1M Chunk, 4 GB
W/B Cache: Y  Fault Tolerant:Y  Battery:Y  Threshold: 16 MB
Disable Writethrough Transition when Write Cache Full:N
R/A Cache: 512 KB
Array Name: Parity Array

No. Type Identifier       Product ID   F/W  Sav Ser. No. Cap.   ID  EN SL PS ST
--- ---- ---------------- ------------ ---- --- -------- ------ --- -- -- -- --
00  SAS  2000001122330200 SIMDISK 4G   0001 No  SIM00000 004 GB 004 01 04 -- OK
01  SAS  2000001122330201 SIMDISK 4G   0001 No  SIM00000 004 GB 005 01 05 -- OK
02  SAS  2000001122330202 SIMDISK 4G   0001 No  SIM00000 004 GB 006 01 06 -- OK

Array:03 RAID 6, Trusted, 04 Drives (2 + 2) (-0%), Chunk, 4 GB
W/B Cache: Y  Fault Tolerant:Y  Battery:Y  Threshold: 16 MB
Disable Writethrough Transition when Write Cache Full:N
R/A Cache: 1 MB

No. Type Identifier       Product ID   F/W  Sav Ser. No. Cap.   ID  EN SL PS ST
--- ---- ---------------- ------------ ---- --- -------- ------ --- -- -- -- --
00  SAS  2000001122330300 SIMDISK 4G   0001 No  SIM00000 004 GB 007 01 07 -- OK
01  SAS  2000001122330301 SIMDISK 4G   0001 No  SIM00000 004 GB 008 01 08 -- OK
02  SAS  2000001122330302 SIMDISK 4G   0001 No  SIM00000 004 GB 009 01 09 -- OK
03  SAS  2000001122330303 SIMDISK 4G   0001 No  SIM00000 004 GB 010 01 10 -- OK

Array:04 RAID 50, Re-Init (0%), 06 Drives (4 + 2) (-0%), 2M Chunk, 8 GB
W/B Cache: Y  Fault Tolerant:Y  Battery:Y  Threshold: 16 MB
Disable Writethrough Transition when Write Cache Full:N
R/A Cache: 2 MB

No. Type Identifier       Product ID   F/W  Sav Ser. No. Cap.   ID  EN SL PS ST
--- ---- ---------------- ------------ ---- --- -------- ------ --- -- -- -- --
00  SAS  2000001122330400 SIMDISK 4G   0001 No  SIM00000 004 GB 011 01 11 -- OK
01  SAS  2000001122330401 SIMDISK 4G   0001 No  SIM00000 004 GB 012 01 12 -- OK
02  SAS  2000001122330402 SIMDISK 4G   0001 No  SIM00000 004 GB 013 01 13 -- OK
03  SAS  2000001122330403 SIMDISK 4G   0001 No  SIM00000 004 GB 014 01 14 -- OK
04  SAS  2000001122330404 SIMDISK 4G   0001 No  SIM00000 004 GB 015 01 15 -- OK
05  SAS  2000001122330405 SIMDISK 4G   0001 No  SIM00000 004 GB 016 01 16 -- OK



Press any key to continue...
)"},
    {18, R"(Array:00 RAID 0, 02 Drives (-0%), 64K Chunk, 4 GB
W/B Cache: Y  Battery:Y  Threshold: 16 MB
Disable Writethrough Transition when Write Cache Full:N
R/A Cache: Automatic

No. Type Identifier       Product ID   F/W  Sav Ser. No. Cap.   ID  EN SL PS ST
--- ---- ---------------- ------------ ---- --- -------- ------ --- -- -- -- --
00  SAS  2000001122330000 SIMDISK 4G   0001 No  SIM00000 004 GB 000 01 01 -- OK
01  SAS  2000001122330001 SIMDISK 4G   0001 No  SIM00000 004 GB 001 01 02 -- OK



Press any key to continue...
)"},
    {19, R"(Total Logical Drives: 02

LD:000 Capacity:   1GB Regions:01 Mapped to:000 Ref:000 Blk:512
LD Name: Boot
 REG:00 Capacity:   1GB Array:00
Controller 0 Port 0 Availability: Enabled
Controller 0 Port 1 Availability: Enabled
Controller 1 Port 0 Availability: Disabled
Controller 1 Port 1 Availability: Disabled
LD Flagged For Internal Use Only  : No

LD:001 Capacity:   3GB Regions:02 Mapped to:001 Ref:001 Blk:4096
 REG:00 Capacity:   2GB Array:02
 REG:01 Capacity:   1GB Array:04
Controller 0 Port 0 Availability: Enabled
Controller 0 Port 1 Availability: Disabled
Controller 1 Port 0 Availability: Disabled
Controller 1 Port 1 Availability: Disabled
LD Flagged For Internal Use Only  : No




Press any key to continue...
)"},
    {20, R"(LD:000 Capacity:   1GB Regions:01 Mapped to:000 Ref:000 Blk:512
LD Name: Boot
 REG:00 Capacity:   1GB Array:00
Controller 0 Port 0 Availability: Enabled
Controller 0 Port 1 Availability: Enabled
Controller 1 Port 0 Availability: Disabled
Controller 1 Port 1 Availability: Disabled
LD Flagged For Internal Use Only  : No

LD:001 Capacity:   3GB Regions:02 Mapped to:001 Ref:001 Blk:4096
 REG:00 Capacity:   2GB Array:02
 REG:01 Capacity:   1GB Array:04
Controller 0 Port 0 Availability: Enabled
Controller 0 Port 1 Availability: Disabled
Controller 1 Port 0 Availability: Disabled
Controller 1 Port 1 Availability: Disabled
LD Flagged For Internal Use Only  : No




Press any key to continue...
)"},
    {21, R"(Total SAN Mappings: 01

Mapping Name                     Node Name        Port Name        Port
-----------------------------------------------------------------------
Host A                           200000e08b010203 210000e08b010203
Controller LUN: Disabled
Logical Drive 001 Presented to Host as LUN 000   Read/Write Access C0:0&1,C1:---
Logical Drive 000 Presented to Host as LUN 007   Read Only Access   C0:0  ,C1:---




Press any key to continue...
)"},
    {22, R"(Mapping Name                     Node Name        Port Name        Port
-----------------------------------------------------------------------
Host A                           200000e08b010203 210000e08b010203
Controller LUN: Disabled
Logical Drive 001 Presented to Host as LUN 000   Read/Write Access C0:0&1,C1:---
Logical Drive 000 Presented to Host as LUN 007   Read Only Access   C0:0  ,C1:---




Press any key to continue...
)"},
    {23, R"(Controller Port 0 Hard Address:       004
Controller Port 0 Connection Options: Automatic
Controller Port 0 Data Rate:          Automatic
Controller Port 1 Hard Address:       005
Controller Port 1 Connection Options: Automatic
Controller Port 1 Data Rate:          Automatic
Controller Port Different Node Name:  Disabled

Controller LUN:                 Disabled

Auto Rebuild:                   Enabled
Rebuild Priority:               50 %
Automatic Hot Spare:            Disabled
Initialization Priority:        50 %

Single Controller Mode:         Enabled
Background Verification:        Disabled
Controller Monitor SES:         Enabled

Multiple Stripe Access:         Disabled
Target Command Thread Balance:  Disabled

Target Queue Management:        disabled.

Sequential Write Support Level: High


Failed Drive:00 WWN:2000001122330101 S:2:02 
Command: 2a Sense Key: 03 Ext Sense: 11




Press any key to continue...
)"},
    {24, R"(Failed Drive:00 WWN:2000001122330101 S:2:02 
Command: 2a Sense Key: 03 Ext Sense: 11




Press any key to continue...
)"},
    {25, R"(Total Hot Spare Drives: 01

No. Type Identifier       Product ID   F/W  Sav Ser. No. Cap.   ID  EN SL PS ST
--- ---- ---------------- ------------ ---- --- -------- ------ --- -- -- -- --
00  SAS  2000001122330900 ------------ ---- --- -------- --- -- --- -- -- -- NA



Press any key to continue...
)"},
    {26, R"(No Unused Drives


Press any key to continue...
)"},
    {27, R"(No Logged-In Hosts


Press any key to continue...
)"},
    {28, R"(Total Capacity : 00022 GB
Used Capacity  : 00004 GB
Unused Capacity: 00018 GB

Region:000 Capacity:0003 GB Array:00
Region:001 Capacity:0002 GB Array:01
Region:002 Capacity:0002 GB Array:02
Region:003 Capacity:0004 GB Array:03
Region:004 Capacity:0007 GB Array:04



Press any key to continue...
)"},
    {29, R"(Total Capacity : 00022 GB
Used Capacity  : 00004 GB
Unused Capacity: 00018 GB

Reg:000 Capacity:0001 GB Array:00 LUN:000:00
Reg:001 Capacity:0003 GB Array:00 Unused    
Reg:002 Capacity:0002 GB Array:01 Unused    
Reg:003 Capacity:0002 GB Array:02 LUN:001:00
Reg:004 Capacity:0002 GB Array:02 Unused    
Reg:005 Capacity:0004 GB Array:03 Unused    
Reg:006 Capacity:0001 GB Array:04 LUN:001:01
Reg:007 Capacity:0007 GB Array:04 Unused    



Press any key to continue...
)"},
};

}  // namespace configdumptest
