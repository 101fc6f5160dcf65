#include "partner/partner_state.h"

#include <cstring>

#include "cache/flush_sequencer.h"
#include "cache/nvram_journal.h"
#include "cache/stripe_access.h"
#include "config/apply_settings.h"
#include "config/config_commit.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/nvram_records.h"
#include "enclosure/drive_spin.h"
#include "enclosure/drive_error_counters.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_rescan.h"
#include "enclosure/enclosure_discovery.h"
#include "eventlog/event_log.h"
#include "eventlog/statistics.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/fpga.h"
#include "hw/hw.h"
#include "partner/lun_service_list.h"
#include "partner/partner_messages.h"
#include "sas/sas_failback.h"
#include "sas/sas_flags.h"

namespace fw {

namespace {

PARTNER_STATE s_sPartner;
HEARTBEAT_STATS s_sBeat;

constexpr uint32_t LOST_AFTER_MS = 50;              // silence once running
constexpr uint32_t LOST_AFTER_MS_STARTING = 500;    // silence while starting
constexpr uint32_t TIMELY_CHECKS_TO_ALIVE = 500;
constexpr uint32_t MISSED_PULSE_MS = 5;
constexpr uint32_t WINDOW_MS = 1000;
constexpr uint8_t INDICATOR_PARTNER_MISSING = 9;

// The partner-lost sequence runs once per loss, from the main loop: the
// tick only notes the loss.
uint8_t s_fLossPending = FALSE;
uint8_t s_fTakeoverPending = FALSE;
// Host commands held because the partner left every drive-side path while
// the link still stood (see SetPartnerDrivePath).
uint8_t s_fHeldForPathLoss = FALSE;
// The partner was lost: until what its copies and this controller's own
// cache held from before is on the drives, the partner's journals are the
// other copy of it.  Meanwhile this controller serves no host and names
// itself in no configuration it saves (a save naming it tells the partner,
// should it start alone later, that its journals are outrun).
uint8_t s_fDrainBeforeServing = FALSE;
uint64_t s_lDrainSince = 0;
constexpr uint64_t DRAIN_WAIT_MS = 60000;

void StartTakeoverDrain() {
    s_fDrainBeforeServing = TRUE;
    s_lDrainSince = lGetTickCount();
}
// Set by the debug dump while it fetches the partner's statistics.
uint8_t s_fPartnerDumpFlag = FALSE;
// The partner was declared lost and its work taken over here; it is told
// so (`SendPartnerNotReady`) until it asks to join again.
uint8_t s_fPartnerGivenUp = FALSE;

void ReleasePathLossHold() {
    if (s_fHeldForPathLoss != TRUE) return;
    s_fHeldForPathLoss = FALSE;
    SetPartnerWork(FALSE);
}

}  // namespace

const PARTNER_STATE& sGetPartnerState() { return s_sPartner; }

void InitDualControllerManager() {
    InitPartnerState();
    SetPartnerWork(FALSE);
    SetIndicatorState(INDICATOR_PARTNER_MISSING, 2);
    InitPartnerMessageQueues();
    Reg16Write(FPGA_CONTROL, static_cast<uint16_t>(Reg16Read(FPGA_CONTROL) & ~FPGA_CONTROL_PARTNER_HEARTBEAT));
    // A production test unit runs without a partner: a line from the
    // fixture's other board is not served as its heartbeat.
    if (fIsProductionTestMode() == TRUE) SteerInterruptLine(INT_LINE_PARTNER_LINK, FALSE);
    InitPartnerHeartbeatStats();
    s_fLossPending = s_fTakeoverPending = s_fHeldForPathLoss = s_fPartnerGivenUp = FALSE;
    s_fDrainBeforeServing = FALSE;
    InitLunServiceList();
    SetPartnerStatisticsReceived(FALSE);
}

void InitPartnerState() {
    std::memset(&s_sPartner, 0, sizeof s_sPartner);
    s_sPartner.fDualStart = s_sPartner.fHeartbeatRequest = FALSE;
    s_sPartner.afOnPath[0] = s_sPartner.afOnPath[1] = FALSE;
    s_sPartner.abTarget[0] = s_sPartner.abTarget[1] = 0xFF;
    std::memset(s_sPartner.aabPortName, 0xFF, sizeof s_sPartner.aabPortName);
    std::memset(s_sPartner.abNodeName, 0xFF, sizeof s_sPartner.abNodeName);
    s_sPartner.fDualControllerValid = s_sPartner.fPartnerAlive = FALSE;
    s_sPartner.fCommandInProgress = s_sPartner.fPartnerMissing = FALSE;
}

const HEARTBEAT_STATS& sGetHeartbeatStats() { return s_sBeat; }

void ResetHeartbeatMeasurements() {
    s_sPartner.lLatencySum = 0;
    s_sPartner.dLatencyChecks = 0;
    s_sPartner.dLatencyMax = 0;
}

void ResetLargestHeartbeatGap() { s_sBeat.dLargestGap = 0; }

void InitPartnerHeartbeatStats() {
    s_sBeat = {};
    s_sBeat.lWindowEnd = lGetTickCount() + WINDOW_MS;
}

void DualControllerWatchdogPulse() {
    Reg16Write(FPGA_CONTROL, static_cast<uint16_t>(Reg16Read(FPGA_CONTROL) | FPGA_CONTROL_PARTNER_HEARTBEAT));
    Reg16Write(FPGA_CONTROL, static_cast<uint16_t>(Reg16Read(FPGA_CONTROL) & ~FPGA_CONTROL_PARTNER_HEARTBEAT));
}

void PartnerHeartbeatInterrupt(uint8_t fSeen) {
    ++s_sBeat.dInterrupts;
    const uint64_t lNow = lGetTickCount();
    if (fSeen == TRUE) {
        s_sBeat.lLastSeen = lNow;
        s_sPartner.lLastHeartbeat = lNow;
        ++s_sBeat.adWindow[s_sBeat.bWindow];
        if (lNow > s_sBeat.lWindowEnd) {
            s_sBeat.bWindow = static_cast<uint8_t>((s_sBeat.bWindow + 1) % HEARTBEAT_WINDOWS);
            s_sBeat.adWindow[s_sBeat.bWindow] = 0;
            s_sBeat.lWindowEnd = lNow + WINDOW_MS;
        }
        return;
    }
    const uint64_t lGap = lNow - s_sBeat.lLastSeen;
    s_sBeat.dLatestGap = static_cast<uint32_t>(lGap);
    if (s_sBeat.dLatestGap > s_sBeat.dLargestGap) s_sBeat.dLargestGap = s_sBeat.dLatestGap;
    if (lGap <= MISSED_PULSE_MS) return;
    if (s_sBeat.dInterrupts == 1) {
        s_sBeat.lLastSeen = lNow;
        s_sPartner.lLastHeartbeat = lNow;
    } else {
        // A line that stays up without pulses: masked until the tick lets it
        // through again.
        (void)LockInterruptSource(INT_SOURCE_PARTNER_HEARTBEAT);
    }
}

uint8_t fIsPartnerHeartbeatSteady(uint8_t bWindows, uint32_t* pdSum) {
    *pdSum = 0;
    uint8_t b = static_cast<uint8_t>((s_sBeat.bWindow + HEARTBEAT_WINDOWS - 1) % HEARTBEAT_WINDOWS);
    const uint32_t dNewest = s_sBeat.adWindow[b];
    if (dNewest <= 9) return FALSE;
    uint32_t dSum = 0;
    for (uint8_t i = 0; i < bWindows && i < HEARTBEAT_WINDOWS; ++i) {
        const uint32_t d = s_sBeat.adWindow[b];
        if (d + 10 < dNewest || d > dNewest + 10) return FALSE;
        dSum += d;
        b = static_cast<uint8_t>((b + HEARTBEAT_WINDOWS - 1) % HEARTBEAT_WINDOWS);
    }
    *pdSum = dSum;
    return TRUE;
}

void CheckPartnerWatchdog() {
    DualControllerWatchdogPulse();
    if (s_sPartner.lLastHeartbeat == 0) return;
    const uint64_t lElapsed = lGetTickCount() - s_sPartner.lLastHeartbeat;
    s_sPartner.lLatencySum += lElapsed;
    ++s_sPartner.dLatencyChecks;
    if (lElapsed > s_sPartner.dLatencyMax && lElapsed <= LOST_AFTER_MS) {
        s_sPartner.dLatencyMax = static_cast<uint32_t>(lElapsed);
    }
    const bool fStarted = fIsInitializationComplete() == TRUE;
    const bool fLost = lElapsed > (fStarted ? LOST_AFTER_MS : LOST_AFTER_MS_STARTING);
    if (!fLost) {
        if (s_sPartner.fPartnerAlive != TRUE && ++s_sPartner.dTimelyChecks > TIMELY_CHECKS_TO_ALIVE) {
            PostEvent(41, bGetPartnerControllerNumber());
            s_sPartner.fPartnerAlive = TRUE;
        }
        return;
    }
    s_sPartner.dTimelyChecks = 0;
    // A loss is acted on once: a partner already given up (neither alive nor
    // valid) stays so until heartbeats and the handshake bring it back.
    if (s_sPartner.fDualControllerValid != TRUE && s_sPartner.fPartnerAlive != TRUE) return;
    // Whether the link was valid, not whether the partner's ports are still
    // listed: a partner whose power went takes its ports off the drive side
    // before its silence is noticed, and it is taken over all the same.
    const bool fWasValid = s_sPartner.fDualControllerValid == TRUE;
    if (fWasValid && !fStarted) {
        // The start-up code reads these before the main loop first runs:
        // the two controllers no longer start together.
        s_sPartner.fDualStart = FALSE;
        s_sPartner.fHeartbeatRequest = FALSE;
        PostEvent(9, bGetPartnerControllerNumber());
        PostEvent(8, bGetPartnerControllerNumber());
    } else if (fWasValid) {
        // The takeover is too long for the tick: the main loop runs it.
        // Until then no drive is spun up or down for power management: its
        // stop there spins up what it parked.
        s_fTakeoverPending = TRUE;
        SetAPMHoldFlag(TRUE);
    }
    s_fLossPending = TRUE;
    s_fPartnerGivenUp = TRUE;
    SetWorkPending(TRUE);
    // Nothing more goes to a partner given up, from this tick on.
    s_sPartner.fPartnerAlive = FALSE;
    s_sPartner.fDualControllerValid = FALSE;
}

uint8_t fGetDualControllerWorkFlag() { return s_fLossPending; }

uint8_t fIsTakeoverDrainPending() { return s_fDrainBeforeServing; }

uint8_t fIsHostWorkHeldForTakeover() {
    if (s_fDrainBeforeServing != TRUE) return FALSE;
    const bool fDrained = fGetRetripeFlag() != TRUE && fGetCacheFlushSequencerRequest() != TRUE &&
                          fNvramQueueHoldsData(TRUE) != TRUE;
    if (!fDrained && lGetTickCount() - s_lDrainSince <= DRAIN_WAIT_MS) return TRUE;
    s_fDrainBeforeServing = FALSE;
    HoldHostWorkUntilGenerationMoves(TRUE);
    return FALSE;
}

// The rest of the partner-lost sequence, from the main loop.  Lost once
// running, this controller takes over the partner's work, its mirrored
// writes written out first so that nothing it acknowledged waits behind the
// rest.
void DualControllerWork() {
    if (s_fLossPending != TRUE) return;
    s_fLossPending = FALSE;
    // Whatever it waited to hear from the partner at a start together, it
    // goes on without.  From here only this controller's journals hold what
    // it writes; what the partner's NVRAM kept grows older.
    EndPartnerStartHold();
    SetOutlivedPartnerRecord(TRUE);
    // Journals kept for the partner while it wrote its own out at a start
    // together are written out here now, before any host is served.
    if (fWriteOutKeptJournals() == TRUE) StartTakeoverDrain();
    // A partner lost at any point of its join holds nothing here any more:
    // its ping held the host commands, its failback request the drive side
    // (rebuilds, expansions, parity checks), until its join ended, and a
    // join that never ends would hold them for good.
    SetPartnerWork(FALSE);
    SetSASOCFailbackInProgress(FALSE);
    if (s_fTakeoverPending == TRUE) {
        s_fTakeoverPending = FALSE;
        const uint8_t bPartner = bGetPartnerControllerNumber();
        SetCacheFlushRequest(TRUE);
        SetSASTimedHoldFlag(TRUE);
        SetSasDiscoveryWork(TRUE);
        SetSASIOCRestartRequest(TRUE);
        (void)fClearDriveRescanFlags();
        ResetPairedHostLoops();
        PostEvent(9, bPartner);
        PostEvent(8, bPartner);
        PostEvent(92);
        ResetEnclosureScanState();
        (void)bUpdatePartnerMissingIndicator();
        // The configuration is saved again once the partner's copies and
        // this controller's own cached writes are on the drives: its
        // generation moves on, naming this controller, and the lost one,
        // starting alone, then knows its journals were outrun.  No host is
        // served before: a write served here before the save would be
        // undone by the lost controller writing those journals out, and
        // one saved before the drain would have the lost one discard
        // copies of writes not yet on the drives.
        SetConfigApplyOption(TRUE);
        StartTakeoverDrain();
        StopAPM();
        // Every array was just spun up: its idle time starts again now.
        for (uint8_t bRank = 0; bRank < MAX_RANKS; ++bRank) SetRankLastAccessTime(bRank);
    }
    SetDualControllerValid(FALSE);
    ClearPartnerDriveErrorCounters();
    ResetBatteryGaugeState();
    ClearLunOcioFlags();
    // A drive firmware download shared with the partner cannot finish
    // without it.
    if (fGetDriveFirmwareDownloadPartnerSync() == TRUE) {
        SetDriveFirmwareDownloadInProgress(FALSE);
        SetDriveFirmwareDownloadPartnerSync(FALSE);
    }
    // The takeover above asked for the flush of the partner's writes first,
    // which holds host commands while it runs.
    ReleasePathLossHold();
}

uint8_t bUpdatePartnerMissingIndicator() {
    if (fIsProductionTestMode() == TRUE) return s_sPartner.fPartnerMissing;
    const bool fMissing = fIsDualControllerActive() != TRUE && fGetWriteBackWithoutPartner() != TRUE &&
                          fIsConfigValid() == TRUE;
    s_sPartner.fPartnerMissing = ToFlag(fMissing);
    SetIndicatorState(INDICATOR_PARTNER_MISSING, fMissing ? 1 : 2);
    return s_sPartner.fPartnerMissing;
}

void SetPartnerAlive(uint8_t f) { s_sPartner.fPartnerAlive = f; }
uint8_t fIsPartnerAlive() { return s_sPartner.fPartnerAlive; }

// Without a valid link this controller is master of every LUN: nothing to
// ask a partner.
void SetDualControllerValid(uint8_t f) {
    if (f != TRUE) SetLunMasterFlags(TRUE);
    s_sPartner.fDualControllerValid = f;
}

uint8_t fIsPartnerGivenUp() { return s_fPartnerGivenUp; }
void SetPartnerGivenUp(uint8_t f) { s_fPartnerGivenUp = f; }

// The partner went on without this controller, which still heard it: it
// wrote out its copies of this controller's writes when it took over, and
// hosts have written through it since.  What this controller's cache and
// journals hold is older than the drives, and every write it would still
// make (a write-back copy it writes out, a write the partner now refuses
// to mirror) could undo the partner's newer ones: it stops at once, its
// journals discarded, and starts again beside the running partner, which
// it joins.  A controller still starting only gets here by a join the
// partner has not yet taken, which it asks again.
void LeavePairGivenUpByPartner() {
    if (fIsDualControllerActive() != TRUE || fIsInitializationComplete() != TRUE) return;
    DebugPrintf("\n\nPartner Controller Has Taken Over: Restarting To Rejoin\n");
    ResetController();
}

uint8_t fIsDualControllerActive() {
    return ToFlag(s_sPartner.fDualControllerValid == TRUE &&
                  (s_sPartner.afOnPath[0] == TRUE || s_sPartner.afOnPath[1] == TRUE));
}

uint8_t fIsMasterController() { return ToFlag(fIsDualControllerActive() != TRUE || fIsControllerSlot1() == TRUE); }

uint8_t fGetPartnerDumpFlag() { return s_fPartnerDumpFlag; }
void SetPartnerDumpFlag(uint8_t f) { s_fPartnerDumpFlag = f; }

void SetDualStartFlag(uint8_t f) { s_sPartner.fDualStart = f; }
uint8_t fGetDualStartFlag() { return s_sPartner.fDualStart; }
void SetHeartbeatRequestFlag(uint8_t f) { s_sPartner.fHeartbeatRequest = f; }
uint8_t fGetHeartbeatRequestFlag() { return s_sPartner.fHeartbeatRequest; }
void SetPartnerOnPath1(uint8_t f) { s_sPartner.afOnPath[0] = f; }
void SetPartnerOnPath2(uint8_t f) { s_sPartner.afOnPath[1] = f; }
uint8_t fIsPartnerOnPath1() { return s_sPartner.afOnPath[0]; }
uint8_t fIsPartnerOnPath2() { return s_sPartner.afOnPath[1]; }
void SetPartnerAlpaPath1(uint8_t b) { s_sPartner.abTarget[0] = b; }
void SetPartnerAlpaPath2(uint8_t b) { s_sPartner.abTarget[1] = b; }
uint8_t bGetPartnerAlpaPath1() { return s_sPartner.abTarget[0]; }
uint8_t bGetPartnerAlpaPath2() { return s_sPartner.abTarget[1]; }
void SetPartnerPortNamePath1(const uint8_t* pbName) { std::memcpy(s_sPartner.aabPortName[0], pbName, 8); }
void SetPartnerPortNamePath2(const uint8_t* pbName) { std::memcpy(s_sPartner.aabPortName[1], pbName, 8); }
void GetPartnerNodeName(uint8_t* pbName) { std::memcpy(pbName, s_sPartner.abNodeName, 8); }
void SetPartnerNodeName(const uint8_t* pbName) { std::memcpy(s_sPartner.abNodeName, pbName, 8); }
void RecordPartnerCheckConditionTick(uint64_t lTick) { s_sPartner.lLastCheckCondition = lTick; }

// The drive side found the partner's IOC port of a path (or lost it); its
// SAS address stands as the port's name, most significant byte first.
void SetPartnerDrivePath(uint8_t bPath, uint8_t fPresent, uint8_t bTarget, const uint32_t* pdSASAddress) {
    if (bPath < 1 || bPath > 2) return;
    const uint8_t i = static_cast<uint8_t>(bPath - 1);
    const uint8_t bWas = s_sPartner.abTarget[i];
    s_sPartner.afOnPath[i] = fPresent == TRUE && bTarget != 0xFF ? TRUE : FALSE;
    s_sPartner.abTarget[i] = s_sPartner.afOnPath[i] == TRUE ? bTarget : 0xFF;
    // Messages still waiting to go follow the partner to the port it has now.
    if (s_sPartner.abTarget[i] != bWas) RetargetPartnerMessages(PARTNER_PORT_SAS);
    for (uint8_t k = 0; k < 4; ++k) {
        s_sPartner.aabPortName[i][k] = static_cast<uint8_t>(pdSASAddress[1] >> (24 - 8 * k));
        s_sPartner.aabPortName[i][4 + k] = static_cast<uint8_t>(pdSASAddress[0] >> (24 - 8 * k));
    }
    // A partner that left the drive side with the link still standing is
    // either gone (its silence declares it lost within 50 ms) or back soon.
    // Until then its latest acknowledged writes may be only in the mirrors
    // held here, not on the drives, and, still running, it may be serving
    // its own hosts: with no way to agree the stripes each writes, host
    // commands wait rather than read past its writes or write beside them.
    const bool fReachable = s_sPartner.afOnPath[0] == TRUE || s_sPartner.afOnPath[1] == TRUE;
    if (!fReachable && s_sPartner.fDualControllerValid == TRUE && fGetPartnerWork() != TRUE) {
        s_fHeldForPathLoss = TRUE;
        SetPartnerWork(TRUE);
    } else if (fReachable) {
        ReleasePathLossHold();
    }
}

}  // namespace fw
