// A controller with logical drives mapped to a Fibre Channel host port and an
// initiator logged in on it, and the main loop's target services run as the
// main loop runs them: so that a test sends commands as a host would and
// looks at what the host got back.
#pragma once

#include <string>
#include <vector>

#include "harness/config_test.h"
#include "cache/write_stages.h"
#include "hw/fc_target_iocb.h"
#include "target/task_management.h"
#include "config/host_lun_tables.h"
#include "config/ld_table.h"
#include "hw/scsi.h"
#include "host_port_standin.h"
#include "target/command_completion.h"
#include "target/dispatcher.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/lun_scheduler.h"
#include "target/stage_rings.h"
#include "target/unit_attention.h"

namespace target_test {

using fw::KERNEL_ENTRY;

class HostBoard : public harness::ConfigTest {
protected:
    static constexpr uint8_t PORT = fw::PORT_CODE_FC_HOST_1;
    static constexpr uint32_t INITIATOR = 0x010203;
    static constexpr uint16_t HANDLE = 7;

    void SetUp() override {
        ConfigTest::SetUp();
        fw::SetHostInterfaceType(1);
        fw::InitHostCommandPool();
        fw::InitLunScheduler();
        fw::InitTargetDispatcher();
        ASSERT_EQ(fw::AllocateHostLunTables(), fw::STATUS_OK);
        fw::ResetHostInterfaceBitmaps();
        host.Login(INITIATOR, HANDLE);
    }

    // Logical drives of the given sizes on arrays of their own (one array
    // each unless fOneArray), each at the host LUN of its number.
    void MakeDrives(std::vector<uint64_t> alBlocks, bool fOneArray = false) {
        if (fOneArray) {
            uint64_t lTotal = 0;
            for (uint64_t l : alBlocks) lTotal += l;
            AddRank(fw::RAID_LEVEL_0, 2, 128, lTotal);
        }
        uint64_t lStart = 0;
        for (uint64_t lBlocks : alBlocks) {
            if (!fOneArray) AddRank(fw::RAID_LEVEL_0, 2, 128, lBlocks);
            AddLd({{lStart, lBlocks}});
            lStart += lBlocks;
        }
        PresentAllExcept();
        fw::ApplyStoredSettings(fw::FALSE, fw::TRUE);
        for (uint16_t l = 0; l < alBlocks.size(); l++) Map(l, l);
    }
    void Map(uint16_t wLun, uint16_t wLd, bool fReadOnly = false, uint16_t wHandle = HANDLE) {
        ASSERT_EQ(fw::bSetHostLun(PORT, wHandle, wLun, wLd, fReadOnly ? fw::TRUE : fw::FALSE), 0xFF);
    }
    // No power-on attention left: the state a host sees once it has cleared them.
    void ClearAttentions() { fw::FillHostInterfaceBitmap(PORT, fw::FALSE); }

    uint16_t Send(uint16_t wLun, std::vector<uint8_t> abCdb, uint32_t dExpected = 0, uint32_t dPortId = INITIATOR) {
        HostCommand s;
        s.dPortId = dPortId;
        s.wLun = wLun;
        s.abCdb = abCdb;
        s.dExpected = dExpected;
        return host.Send(s);
    }

    // The main loop's dispatch step: as many calls as commands were waiting.
    void Dispatch() {
        const uint16_t wCount = fw::wGetPortNewCommands(fw::PORT_CODE_MODULE);
        for (uint16_t w = 0; w < wCount; w++) {
            if (fw::bDispatchHostCommand(fw::PORT_CODE_MODULE) != fw::STATUS_OK) {
                fw::RewindNewCommandScan(fw::PORT_CODE_MODULE);
                break;
            }
        }
    }
    // What the host port and the completion do after a main-loop cycle.
    void Settle() {
        host.Serve();
        fw::ServiceCommandComplete(fw::PORT_CODE_MODULE);
    }
    void Cycle() {
        Dispatch();
        if (fw::wGetNewCmdContTotal() != 0) (void)fw::ServiceLunQueues();
        Settle();
    }

    // One command of an initiator run to its end: dispatched, started,
    // its data received, its status sent and the entry freed.
    const HostReply& AskFrom(uint32_t dPortId, std::vector<uint8_t> abCdb, uint16_t wLun = 0,
                             std::vector<uint8_t> abDataOut = {}, uint32_t dExpected = 0) {
        HostCommand s;
        s.dPortId = dPortId;
        s.wLun = wLun;
        s.abCdb = abCdb;
        s.abDataOut = abDataOut;
        s.dExpected = abDataOut.empty() ? dExpected : static_cast<uint32_t>(abDataOut.size());
        const uint16_t w = host.Send(s);
        Cycle();
        while (fw::wGetDataReceivedCount() != 0) (void)fw::ProcessDataReceivedQueue();
        Settle();
        return host.Reply(w);
    }

    // The ISP24xx's immediate notify of a login that ended (an ELS LOGO by
    // default), taken and acknowledged as the interrupt pass does.
    void EndLogin(uint16_t wHandle, uint32_t dPortId, uint16_t wStatus = NOTIFY_ELS, uint8_t bEls = ELS_LOGO) {
        TakeNotify24(wHandle, dPortId, wStatus, bEls);
        // A new login's commands wait for the port's scan, which this board
        // does not run: its tables are the test's.
        fw::SetHostLoopLipFlag(PORT, fw::FALSE);
    }
    // Any ISP24xx immediate notify, as the interrupt pass takes it.
    void TakeNotify24(uint16_t wHandle, uint32_t dPortId, uint16_t wStatus, uint8_t bEls) {
        fw::IMMEDIATE_NOTIFY24_ENTRY s{};
        s.bEntryType = fw::IMMEDIATE_NOTIFY_ENTRY_TYPE;
        s.wNPortHandle = wHandle;
        s.wStatus = wStatus;
        s.bElsOpcode = bEls;
        fw::PutBe24(s.abPortId, dPortId);
        host.SendNotify(&s);
        fw::ProcessImmediateNotify24(PORT);
        // A port logout waits for the host-port event service's acknowledge.
        fw::ServiceHostPortEvents();
        host.Serve();
    }
    static constexpr uint16_t NOTIFY_ELS = fw::NOTIFY_ELS;
    static constexpr uint8_t ELS_LOGO = fw::ELS_LOGO;
    static constexpr uint8_t ELS_PLOGI = fw::ELS_PLOGI;

    struct Answer {
        bool fStatus;
        uint8_t bStatus, bKey, bAsc, bAscq;
    };
    Answer Reply(uint16_t wIndex) { return AnswerOf(host.Reply(wIndex)); }
    static Answer AnswerOf(const HostReply& r) {
        Answer s{r.fStatus, r.bStatus, 0, 0, 0};
        if (r.abSense.size() >= 14) {
            s.bKey = r.abSense[2] & 0x0F;
            s.bAsc = r.abSense[12];
            s.bAscq = r.abSense[13];
        }
        return s;
    }
    static KERNEL_ENTRY* Entry(uint16_t wIndex) {
        KERNEL_ENTRY* ps = nullptr;
        fw::wGetTargetEntry(wIndex, &ps);
        return ps;
    }

    static std::vector<uint8_t> Cdb10(uint8_t bOpcode, uint32_t dLba, uint16_t wBlocks) {
        std::vector<uint8_t> ab(10, 0);
        ab[0] = bOpcode;
        fw::PutBe32(ab.data() + 2, dLba);
        fw::PutBe16(ab.data() + 7, wBlocks);
        return ab;
    }
    static std::vector<uint8_t> Cdb16(uint8_t bOpcode, uint64_t lLba, uint32_t dBlocks) {
        std::vector<uint8_t> ab(16, 0);
        ab[0] = bOpcode;
        fw::PutBe64(ab.data() + 2, lLba);
        fw::PutBe32(ab.data() + 10, dBlocks);
        return ab;
    }
    static std::vector<uint8_t> Cdb6(uint8_t bOpcode, uint8_t bByte4 = 0) { return {bOpcode, 0, 0, 0, bByte4, 0}; }

    HostPortStandIn host{PORT};
};

}  // namespace target_test
