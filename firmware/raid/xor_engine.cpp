// The XOR engine driver: the request rings, the descriptor chains of every
// operation, the FIQ completion and the main-loop hand-over.
#include "raid/xor_engine.h"

#include <cstring>
#include <initializer_list>

#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/hw.h"
#include "hw/xor_accelerator.h"
#include "partner/partner_link.h"
#include "platform/ipc_peer.h"
#include "raid/child_commands.h"
#include "raid/gf256.h"
#include "raid/raid_engine.h"
#include "raid/rebuild_regions.h"
#include "target/back_end_completion.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"

namespace fw {

namespace {

constexpr uint16_t NO_TAG = 0xFFFF;
constexpr uint32_t DESCRIPTOR_SLOT_BYTES = 256;
constexpr uint8_t SLOT_PLAIN = 0;
constexpr uint8_t SLOT_PQ = 1;
constexpr uint8_t SLOT_UPDATE = 2;

constexpr uint8_t CT_RAID5_PARTNER_PARITY_HEAD = 162;
constexpr uint8_t CT_RAID6_PARTNER_UPDATE_HEAD = 215;

// Host-pool states the hand-over moves commands between.
constexpr uint8_t PS_PARITY_CHECK_COMPARED = 68;
constexpr uint8_t PS_STRIPE_INIT_STEP_OUT = 93;
constexpr uint8_t PS_STRIPE_INIT_STEP_DONE = 94;
constexpr uint8_t PS_STRIPE_INIT_ON_DEMAND = 75;   // 'K'
constexpr uint8_t PS_STRIPE_INIT_REPAIR = 76;      // 'L'

struct XorRing {
    XOR_REQUEST asRequest[XOR_RING_ENTRIES];
    uint16_t wIn;
    uint16_t wOut;
    uint16_t wOutCompl;
    uint8_t fCommandInProgress;
    uint64_t lTotalBytes;
    XOR_IPC_ENTRY asIpc[XOR_RING_ENTRIES];
    uint16_t wIpcIn;
    uint16_t wIpcOut;
    uint16_t wIpcOutCompl;
    uint64_t lIpcTotalBytes;
    BUFFER_HANDLE dDescriptorPage;
    CPU_ADDRESS adSlot[3];
};
XorRing s_sXor;

uint16_t Next(uint16_t w) { return static_cast<uint16_t>((w + 1) % XOR_RING_ENTRIES); }

AAU_DESCRIPTOR* Descriptor(uint8_t bSlot) {
    return static_cast<AAU_DESCRIPTOR*>(pCpuAddressToPointer(s_sXor.adSlot[bSlot]));
}

// ---------------------------------------------------------------------------
// Descriptor chains
// ---------------------------------------------------------------------------

enum class Form { Xor, Pq, QOnly };

// Fills one descriptor.  Source i comes from fnSource(i) and gets the
// multiplier fnMultiplier(i) (0 for plain XOR).
template <typename SOURCE, typename MULTIPLIER>
void FillDescriptor(AAU_DESCRIPTOR* ps, Form eForm, bool fLast, uint32_t dSources, uint32_t dByteCount,
                    uint32_t dDestination, uint32_t dQDestination, SOURCE fnSource, MULTIPLIER fnMultiplier) {
    std::memset(ps, 0, sizeof *ps);
    uint32_t dControl = aauSourceBits(dSources) | AAU_CONTROL_TRANSFER | (fLast ? AAU_CONTROL_INTERRUPT : 0);
    if (eForm == Form::Pq) dControl |= AAU_CONTROL_PQ;
    if (eForm == Form::QOnly) dControl |= AAU_CONTROL_Q_ONLY;
    ps->dControl = dControl;
    ps->dByteCount = dByteCount;
    ps->dDestination = CPU_ADDRESS{dDestination};
    ps->dQDestination = CPU_ADDRESS{dQDestination};
    for (uint32_t i = 0; i < dSources; ++i) {
        ps->asSource[i].dAddress = CPU_ADDRESS{fnSource(i)};
        ps->asSource[i].dMultiplier = static_cast<uint32_t>(fnMultiplier(i)) << AAU_MULTIPLIER_SHIFT;
    }
}

void Link(uint8_t bFirst, uint8_t bSecond) { Descriptor(bFirst)->dNextDescriptor = s_sXor.adSlot[bSecond]; }

bool IsOneOf(uint8_t bOp, std::initializer_list<uint8_t> ab) {
    for (uint8_t b : ab)
        if (b == bOp) return true;
    return false;
}

// Builds the chain of the request and returns the slot it starts in.
uint8_t BuildChain(const XOR_REQUEST& r) {
    const uint8_t bOp = r.bOperation;
    const uint32_t n = r.dSourceCount;
    const uint32_t L = r.dByteCount;
    const uint32_t X = r.dDestination;
    const uint32_t Y = r.dSecondDestination;
    const uint8_t a = r.abRaid6Parameter[0];
    const uint8_t b = r.abRaid6Parameter[1];
    const uint8_t k = r.abRaid6Parameter[2];
    const uint8_t bWidth = static_cast<uint8_t>(r.abRaid6Parameter[3] - 2);
    auto src = [&](uint32_t i) { return r.adSource[i]; };
    auto none = [](uint32_t) { return 0u; };
    auto q = [&](uint32_t i) { return bGetQCoefficient(bWidth, static_cast<uint8_t>(i)); };
    auto marked = [&](uint32_t i) { return r.adSource[i] == XOR_MISSING_MEMBER; };
    auto scratch = [&](uint32_t j) { return X + j * L; };

    if (bOp < 32) {
        FillDescriptor(Descriptor(SLOT_PLAIN), Form::Xor, true, n, L, X, 0, src, none);
        return SLOT_PLAIN;
    }
    if (IsOneOf(bOp, {38, 47, 51, 53, 56, 65, 69, 77})) {
        const uint32_t dTo = bOp == 51 || bOp == 53 ? Y : X;
        FillDescriptor(Descriptor(SLOT_PLAIN), Form::Xor, true, n, L, dTo, 0, src, none);
        return SLOT_PLAIN;
    }
    if (IsOneOf(bOp, {39, 48, 57, 66, 68, 76})) {
        FillDescriptor(Descriptor(SLOT_PQ), Form::QOnly, true, n, L, Y, Y, src, q);
        return SLOT_PQ;
    }
    if (IsOneOf(bOp, {42, 44, 55, 60, 62, 67, 70, 73})) {
        // 73 takes the second descriptor of 44, 62 and 67 too: the drive
        // verify writes Q from the column it rebuilt from P (its repair of
        // a Q block in a row that also lacks a data member), and without
        // the second half nothing would compute that Q.
        const bool fSecond = IsOneOf(bOp, {44, 62, 67, 73});
        FillDescriptor(Descriptor(SLOT_PLAIN), Form::Xor, !fSecond, n, L, Y, 0, src, none);
        if (fSecond) {
            FillDescriptor(Descriptor(SLOT_PQ), Form::QOnly, true, n, L, X, X,
                           [&](uint32_t i) { return i == k ? Y : src(i); }, q);
            Link(SLOT_PLAIN, SLOT_PQ);
        }
        return SLOT_PLAIN;
    }
    uint32_t adDecode[GF256_DECODE_WORDS];
    auto ca = [&](uint32_t i) { return static_cast<uint8_t>(adDecode[i]); };
    if (IsOneOf(bOp, {43, 52, 54, 61, 72})) {
        BuildRaid6DecodeCoefficients(adDecode);
        // 72 takes the second descriptor of 43 and 61 too: the drive
        // verify's repair of a P block in a row that also lacks a data
        // member rebuilds that column from Q first and needs P of the whole
        // row after it.
        const bool fSecond = bOp == 43 || bOp == 61 || bOp == 72;
        FillDescriptor(Descriptor(SLOT_PQ), Form::QOnly, !fSecond, n, L, Y, Y,
                       [&](uint32_t i) { return marked(i) ? scratch(3) : src(i); }, ca);
        if (fSecond) {
            FillDescriptor(Descriptor(SLOT_PLAIN), Form::Xor, true, n, L, X, 0,
                           [&](uint32_t i) { return marked(i) ? Y : src(i); }, none);
            Link(SLOT_PQ, SLOT_PLAIN);
        }
        return SLOT_PQ;
    }
    if (IsOneOf(bOp, {41, 49, 50, 59, 74})) {
        BuildRaid6DecodeCoefficients(adDecode);
        uint32_t dFirst, dSecond;
        if (bOp == 50) {
            dFirst = a == k ? Y : X;
            dSecond = b == k ? Y : X;
        } else if (bOp == 41 || bOp == 59) {
            dFirst = X;
            dSecond = Y;
        } else {
            dFirst = scratch(a + 4u);
            dSecond = scratch(b + 4u);
        }
        FillDescriptor(Descriptor(SLOT_PQ), Form::QOnly, false, n, L, dFirst, dFirst,
                       [&](uint32_t i) { return marked(i) ? (i == a ? scratch(2) : scratch(3)) : src(i); }, ca);
        FillDescriptor(Descriptor(SLOT_PLAIN), Form::Xor, true, n, L, dSecond, 0,
                       [&](uint32_t i) { return marked(i) ? (i == a ? scratch(2) : dFirst) : src(i); }, none);
        Link(SLOT_PQ, SLOT_PLAIN);
        return SLOT_PQ;
    }
    if (bOp == XOR_OP_RAID6_UPDATE) {
        // New data, old data, old P, old Q; new P to X, new Q to the fifth
        // address slot.
        AAU_DESCRIPTOR* ps = Descriptor(SLOT_UPDATE);
        std::memset(ps, 0, sizeof *ps);
        ps->dControl = AAU_CONTROL_UPDATE_WORD;
        ps->dByteCount = L;
        ps->dDestination = CPU_ADDRESS{X};
        ps->asSource[0].dAddress = CPU_ADDRESS{src(0)};
        ps->asSource[1].dAddress = CPU_ADDRESS{src(1)};
        ps->asSource[2].dAddress = CPU_ADDRESS{scratch(2)};
        ps->asSource[3].dAddress = CPU_ADDRESS{scratch(3)};
        ps->asSource[3].dMultiplier = static_cast<uint32_t>(q(k)) << AAU_MULTIPLIER_SHIFT;
        ps->asSource[4].dAddress = CPU_ADDRESS{Y};
        return SLOT_UPDATE;
    }
    if (bOp == 78) {
        // The missing column is first rebuilt from P and the others (the
        // marked slots dropped), then P and Q are generated.
        uint32_t adPacked[XOR_MAX_SOURCES + 1];
        uint32_t dPacked = 0;
        for (uint32_t i = 0; i < n; ++i)
            if (!marked(i)) adPacked[dPacked++] = src(i);
        adPacked[dPacked++] = scratch(2);
        FillDescriptor(Descriptor(SLOT_PLAIN), Form::Xor, false, dPacked, L, scratch(a + 4u), 0,
                       [&](uint32_t i) { return adPacked[i]; }, none);
        FillDescriptor(Descriptor(SLOT_PQ), Form::Pq, true, n, L, X, Y,
                       [&](uint32_t i) { return i == a ? scratch(a + 4u) : src(i); }, q);
        Link(SLOT_PLAIN, SLOT_PQ);
        return SLOT_PLAIN;
    }
    // 32, 33, 35, 36, 37, 40, 45, 46, 58, 63, 64, 71, 75 and every code
    // above 78: P and Q of the sources.
    FillDescriptor(Descriptor(SLOT_PQ), Form::Pq, true, n, L, X, Y, src, q);
    return SLOT_PQ;
}

// ---------------------------------------------------------------------------
// Hand-over
// ---------------------------------------------------------------------------

// The requester of a finished request; a tag whose entry was freed in the
// meantime names nobody.
KERNEL_ENTRY* KernelEntry(uint16_t wTag) {
    KERNEL_ENTRY* ps = nullptr;
    GetKernelEntryAddress(wTag, &ps);
    return ps != nullptr && ps->fUsed == TRUE ? ps : nullptr;
}

KERNEL_ENTRY* HostEntry(uint16_t wTag) {
    KERNEL_ENTRY* ps = nullptr;
    wGetTargetEntry(wTag, &ps);
    return ps != nullptr && ps->fUsed == TRUE ? ps : nullptr;
}

BUFFER_HANDLE HandleOfCpuAddress(uint32_t dAddress) {
    const HwWindow sBank1 = HwGetWindow(HW_WINDOW_BANK1);
    if (sBank1.dSize != 0 && dAddress >= sBank1.dProcessorAddress &&
        dAddress - sBank1.dProcessorAddress < sBank1.dSize) {
        return dCpuAddressToBank1Handle(CPU_ADDRESS{dAddress});
    }
    return BUFFER_HANDLE{dAddress};
}

void CountDownOutstanding(KERNEL_ENTRY* ps) {
    if (ps->wChildrenOutstanding != 0) --ps->wChildrenOutstanding;
}

// The partner parity path holds the continuation until its answer is in:
// the requester finishes the command when the other half completes.
bool Deferred(KERNEL_ENTRY* ps, uint64_t lSent, uint64_t lAnswered) {
    if ((ps->lFlags & lSent) == 0 || (ps->lFlags & lAnswered) != 0) return false;
    ps->lFlags |= KE_FLAG_XOR_DEFERRED;
    return true;
}

void StripeInitContinuation(KERNEL_ENTRY* ps) {
    switch (ps->bPrimaryState) {
    case PS_STRIPE_INIT_STEP_OUT:
        ps->bPrimaryState = PS_STRIPE_INIT_STEP_DONE;
        StripeInitStepDone(ps);
        break;
    case PS_STRIPE_INIT_ON_DEMAND: StripeInitOnDemandStep(ps); break;
    case PS_STRIPE_INIT_REPAIR: StripeInitRepairStep(ps); break;
    default: break;
    }
}

// Runs the continuation of a finished request.  fPeer: it came back from the
// peer, which answers only a few operations and carries buffer handles.
void HandOver(uint8_t bOp, uint16_t wTag, uint32_t dSourceCount, uint32_t dByteCount, uint32_t dFirstSource,
              bool fPeer) {
    if (fPeer && !IsOneOf(bOp, {16, 32, 18, 34, 19, 20, 21, 35, 22, 75, 23, 65, 66, 67})) return;
    switch (bOp) {
    case 16: {
        KERNEL_ENTRY* ps = KernelEntry(wTag);
        if (!ps) return;
        const bool fHeldWrites = (ps->lFlags & KE_FLAG_HOLD_ROW_WRITES) != 0;
        IssueOrFailAfterXor(ps);
        if (fHeldWrites) IssueFullRowWrites(ps);
        return;
    }
    case 32:
        if (KERNEL_ENTRY* ps = KernelEntry(wTag)) ContinueRaid6FullRow(ps);
        return;
    case 18:
        if (KERNEL_ENTRY* ps = KernelEntry(wTag)) {
            if (ps->bCommandType == CT_RAID5_PARTNER_PARITY_HEAD &&
                Deferred(ps, KE_FLAG_PARITY_SENT, KE_FLAG_PARITY_ANSWERED)) {
                return;
            }
            IssueParityWrite(ps);
        }
        return;
    case 34:
        if (KERNEL_ENTRY* ps = KernelEntry(wTag)) {
            if (ps->bCommandType == CT_RAID6_PARTNER_UPDATE_HEAD &&
                Deferred(ps, KE_FLAG_RAID6_PARITY_SENT, KE_FLAG_RAID6_PARITY_ANSWERED)) {
                return;
            }
            ContinueRaid6Update(ps);
        }
        return;
    case 35:
    case 46:
    case 47:
    case 48:
        if (KERNEL_ENTRY* ps = KernelEntry(wTag)) {
            if (Deferred(ps, KE_FLAG_RAID6_PARITY_SENT, KE_FLAG_RAID6_PARITY_ANSWERED)) return;
            IssueRaid6DegradedWrites(ps);
        }
        return;
    case 49:
    case 54:
    case 55:
        if (KERNEL_ENTRY* ps = KernelEntry(wTag)) ContinueRaid6DegradedWrite(ps);
        return;
    case 19:
    case 56: case 57: case 58: case 59: case 60: case 61: case 62: case 63:
        if (KERNEL_ENTRY* ps = HostEntry(wTag)) {
            // The region's buffer holds the member's data: it waits for the
            // rebuild to send it on its write phase.
            ps->bPrimaryState = REGION_NEW;
            psRegionFields(ps)->fWritePhase = TRUE;
            RebuildRegionReadComplete(ps);
        }
        return;
    case 20:
        if (KERNEL_ENTRY* ps = HostEntry(wTag)) {
            // The regeneration run's pages begin at the first source: a
            // processor address locally, the bus address (the handle) on
            // the peer path.
            const BUFFER_HANDLE dPages = fPeer ? BUFFER_HANDLE{dFirstSource} : HandleOfCpuAddress(dFirstSource);
            const uint32_t dBytes = dSourceCount * dByteCount;
            (void)wFreeDataPages(dPages, (dBytes + BUFFER_PAGE_SIZE - 1) / BUFFER_PAGE_SIZE);
            CountDownHostCommand(ps);
        }
        return;
    case 50: case 51: case 52: case 53:
        if (KERNEL_ENTRY* ps = KernelEntry(wTag)) FinishRaid6Regeneration(ps);
        return;
    case 21:
        if (KERNEL_ENTRY* ps = KernelEntry(wTag)) IssueAfterXor(ps);
        return;
    case 22:
        if (KERNEL_ENTRY* ps = HostEntry(wTag)) {
            CountDownOutstanding(ps);
            if (ps->wChildrenOutstanding == 0) ps->bPrimaryState = PS_PARITY_CHECK_COMPARED;
        }
        return;
    case 75:
        if (KERNEL_ENTRY* ps = HostEntry(wTag)) {
            if (fPeer) {
                CountDownOutstanding(ps);
                if (ps->wChildrenOutstanding != 0) return;
            }
            ps->bPrimaryState = PS_PARITY_CHECK_COMPARED;
        }
        return;
    case 76: case 77: case 78:
        if (KERNEL_ENTRY* ps = HostEntry(wTag)) ps->bPrimaryState = PS_PARITY_CHECK_COMPARED;
        return;
    case 23:
    case 24: case 68: case 69: case 70: case 71: case 72: case 73: case 74:
        // The parity of a stripe repair, the data of a drive repair: the
        // write that waited for it goes out.
        if (KERNEL_ENTRY* ps = KernelEntry(wTag)) IssueChild(ps);
        return;
    case 64: case 65: case 66: case 67:
        if (KERNEL_ENTRY* ps = KernelEntry(wTag)) ContinueRaid6StripeRepair(ps);
        return;
    case 26:
        if (KERNEL_ENTRY* ps = HostEntry(wTag)) {
            CountDownOutstanding(ps);
            if (ps->wChildrenOutstanding == 0) StripeInitContinuation(ps);
        }
        return;
    case 37: case 38: case 39: case 40: case 41: case 42: case 43: case 44: case 45:
        if (KERNEL_ENTRY* ps = HostEntry(wTag)) {
            CountDownOutstanding(ps);
            StripeInitContinuation(ps);
        }
        return;
    default:   // 1, 17, 25, 33 and the codes without a continuation
        return;
    }
}

void ClearRequest(XOR_REQUEST* ps) {
    std::memset(ps, 0, sizeof *ps);
    ps->wTag = NO_TAG;
}

void ClearIpcEntry(XOR_IPC_ENTRY* ps) {
    std::memset(ps, 0, sizeof *ps);
    ps->wTag = NO_TAG;
}

// Operations the peer may run: plain XOR into the first destination whose
// continuation the peer hand-over knows.  Everything else, RAID 6 above all,
// needs the second destination, the multipliers or the marked slots the
// peer message does not carry.
bool PeerCanRun(uint8_t bOp) { return IsOneOf(bOp, {16, 18, 19, 20, 21, 22, 23, 65}); }

uint8_t QueueLocal(uint16_t wTag, uint8_t bOperation, uint32_t dByteCount, uint32_t dSourceCount,
                   uint32_t dDestination, uint32_t dSecondDestination, const uint32_t* pdSources, bool fFull) {
    if (dSourceCount == 0 || dSourceCount > XOR_MAX_SOURCES) return STATUS_RETRY;
    if (wGetXorOutstanding() >= XOR_RING_OUTSTANDING_LIMIT) return STATUS_RETRY;
    s_sXor.lTotalBytes += static_cast<uint64_t>(dSourceCount) * dByteCount;
    XOR_REQUEST* ps = &s_sXor.asRequest[s_sXor.wIn];
    ClearRequest(ps);
    ps->dSourceCount = dSourceCount;
    ps->bOperation = bOperation;
    ps->wTag = wTag;
    ps->dByteCount = dByteCount;
    ps->dDestination = dDestination;
    std::memcpy(ps->adSource, pdSources, dSourceCount * sizeof(uint32_t));
    if (fFull) {
        ps->dSecondDestination = dSecondDestination;
        std::memcpy(ps->abRaid6Parameter, &pdSources[XOR_MAX_SOURCES], 4);
    }
    ps->bState = XOR_STATE_QUEUED;
    s_sXor.wIn = Next(s_sXor.wIn);
    // A chain that is not running is started here; one that runs starts the
    // next from its completion.
    if (s_sXor.fCommandInProgress == FALSE) BuildXorDescriptors();
    return STATUS_OK;
}

uint8_t QueueEither(uint16_t wTag, uint8_t bOperation, uint8_t bPath, uint32_t dByteCount, uint32_t dSourceCount,
                    uint32_t dDestination, uint32_t dSecondDestination, const uint32_t* pdSources, bool fFull) {
    // A full peer ring, or a request the peer cannot run, goes to the local
    // engine: it must never be lost.
    if (bPath == XOR_PATH_PEER && fIsIpcPeerEnabled() == TRUE && PeerCanRun(bOperation) &&
        QueueIpcXorRequest(wTag, bOperation, dByteCount, dSourceCount, dDestination, dSecondDestination,
                           pdSources) == STATUS_OK) {
        return STATUS_OK;
    }
    return QueueLocal(wTag, bOperation, dByteCount, dSourceCount, dDestination, dSecondDestination, pdSources,
                      fFull);
}

}  // namespace

void InitXorQueues() {
    s_sXor.fCommandInProgress = FALSE;
    s_sXor.wIn = s_sXor.wOut = s_sXor.wOutCompl = 0;
    s_sXor.wIpcIn = s_sXor.wIpcOut = s_sXor.wIpcOutCompl = 0;
    s_sXor.lTotalBytes = s_sXor.lIpcTotalBytes = 0;
    for (XOR_REQUEST& s : s_sXor.asRequest) ClearRequest(&s);
    for (XOR_IPC_ENTRY& s : s_sXor.asIpc) ClearIpcEntry(&s);
    if (bAllocDataPages(0, 1, &s_sXor.dDescriptorPage) != STATUS_OK) s_sXor.dDescriptorPage = NULL_BUFFER_HANDLE;
    (void)FillBufferWords(s_sXor.dDescriptorPage, BUFFER_PAGE_SIZE, 0);
    const CPU_ADDRESS dBase = dBufferHandleToCpuAddress(s_sXor.dDescriptorPage);
    for (uint8_t i = 0; i < 3; ++i) s_sXor.adSlot[i] = dBase + i * DESCRIPTOR_SLOT_BYTES;
    InitIpcRequestRing();
}

uint32_t dPackRaid6Parameter(uint8_t a, uint8_t b, uint8_t k, uint8_t bMembers) {
    return static_cast<uint32_t>(a) | static_cast<uint32_t>(b) << 8 | static_cast<uint32_t>(k) << 16 |
           static_cast<uint32_t>(bMembers) << 24;
}

uint8_t QueueXorRequest(uint16_t wTag, uint8_t bOperation, uint8_t bPath, uint32_t dByteCount,
                        uint32_t dSourceCount, uint32_t dDestination, uint32_t dSecondDestination,
                        const uint32_t* pdSources) {
    return QueueEither(wTag, bOperation, bPath, dByteCount, dSourceCount, dDestination, dSecondDestination,
                       pdSources, true);
}

uint8_t QueueXorRequestSingleDest(uint16_t wTag, uint8_t bOperation, uint8_t bPath, uint32_t dByteCount,
                                  uint32_t dSourceCount, uint32_t dDestination, const uint32_t* pdSources) {
    return QueueEither(wTag, bOperation, bPath, dByteCount, dSourceCount, dDestination, 0, pdSources, false);
}

void BuildXorDescriptors() {
    if (s_sXor.fCommandInProgress == TRUE || s_sXor.wOut == s_sXor.wIn) return;
    if (Reg32Read(AAU_REG_STATUS) & AAU_STATUS_ACTIVE) return;
    s_sXor.fCommandInProgress = TRUE;
    Reg32Write(AAU_REG_CONTROL, 0);
    XOR_REQUEST& r = s_sXor.asRequest[s_sXor.wOut];
    r.bState = XOR_STATE_STARTED;
    const uint8_t bFirst = BuildChain(r);
    Reg32Write(AAU_REG_NEXT_DESCRIPTOR, static_cast<uint32_t>(s_sXor.adSlot[bFirst]));
    Reg32Write(AAU_REG_CONTROL, AAU_CONTROL_ENABLE);
}

void XorEngineCompletion() {
    const uint32_t dStatus = Reg32Read(AAU_REG_STATUS);
    Reg32Write(AAU_REG_STATUS, dStatus);
    if (dStatus == 0) return;
    if ((dStatus & AAU_STATUS_COMPLETION_MASK) != AAU_STATUS_CLEAN_END) {
        // Parity that may be wrong must never reach a drive: reset at once.
        // A lone controller keeps its journal, whose writes the next start
        // makes again with parity computed anew; with a partner active the
        // partner holds their mirrors and takes them over.
        ShowXorQueues();
        if (fIsDualControllerActive() == TRUE) {
            ResetController();
        } else {
            ResetControllerKeepJournals();
        }
        return;
    }
    if (s_sXor.fCommandInProgress != TRUE) return;
    s_sXor.asRequest[s_sXor.wOut].bState = XOR_STATE_COMPLETED;
    SetXorQueue1Work(TRUE);
    s_sXor.wOut = Next(s_sXor.wOut);
    s_sXor.fCommandInProgress = FALSE;
    if (s_sXor.wOut != s_sXor.wIn) BuildXorDescriptors();
}

void ServiceXorCompletions() {
    XOR_REQUEST* ps = &s_sXor.asRequest[s_sXor.wOutCompl];
    if (ps->bState == XOR_STATE_COMPLETED) {
        // The entry stays in place until its continuation ran: a request the
        // continuation queues never lands on it.
        HandOver(ps->bOperation, ps->wTag, ps->dSourceCount, ps->dByteCount, ps->adSource[0], false);
        ClearRequest(ps);
        s_sXor.wOutCompl = Next(s_sXor.wOutCompl);
    }
    SetXorQueue1Work(ToFlag(s_sXor.wOutCompl != s_sXor.wOut));
}

uint8_t QueueIpcXorRequest(uint16_t wTag, uint8_t bOperation, uint32_t dByteCount, uint32_t dSourceCount,
                           uint32_t dDestination, uint32_t dSecondDestination, const uint32_t* pdSources) {
    if (dSourceCount == 0 || dSourceCount > XOR_MAX_SOURCES) return STATUS_RETRY;
    if (s_sXor.asIpc[s_sXor.wIpcIn].bState != XOR_STATE_FREE) return STATUS_RETRY;
    uint8_t* pbSlot = nullptr;
    uint16_t wSlot = 0;
    if (bTakeIpcRequestSlot(&pbSlot, &wSlot) != STATUS_OK) return STATUS_RETRY;
    XOR_IPC_ENTRY* ps = &s_sXor.asIpc[s_sXor.wIpcIn];
    ps->bState = XOR_STATE_QUEUED;
    ps->bOperation = bOperation;
    ps->wTag = wTag;
    ps->dSourceCount = dSourceCount;
    ps->dByteCount = dByteCount;
    ps->dDestination = dDestination;
    ps->dSecondDestination = dSecondDestination;
    ps->dFirstSource = static_cast<uint32_t>(HandleOfCpuAddress(pdSources[0]));
    s_sXor.wIpcIn = Next(s_sXor.wIpcIn);
    pbSlot[0] = IPC_MESSAGE_XOR_REQUEST;
    std::memcpy(pbSlot + IPC_XOR_TAG_OFFSET, &wTag, 2);
    pbSlot[IPC_XOR_SOURCE_COUNT_OFFSET] = static_cast<uint8_t>(dSourceCount);
    std::memcpy(pbSlot + IPC_XOR_BYTE_COUNT_OFFSET, &dByteCount, 4);
    // The peer reaches buffer memory across the bus.
    const uint32_t dBusDestination = static_cast<uint32_t>(HandleOfCpuAddress(dDestination));
    std::memcpy(pbSlot + IPC_XOR_DESTINATION_OFFSET, &dBusDestination, 4);
    for (uint32_t i = 0; i < dSourceCount; ++i) {
        const uint32_t dBus = static_cast<uint32_t>(HandleOfCpuAddress(pdSources[i]));
        std::memcpy(pbSlot + IPC_XOR_SOURCES_OFFSET + 4 * i, &dBus, 4);
    }
    RingIpcDoorbell(wSlot);
    s_sXor.lIpcTotalBytes += static_cast<uint64_t>(dByteCount) * dSourceCount;
    return STATUS_OK;
}

uint8_t QueueIpcXorRequestSingleDest(uint16_t wTag, uint8_t bOperation, uint32_t dByteCount,
                                     uint32_t dSourceCount, uint32_t dDestination, const uint32_t* pdSources) {
    return QueueIpcXorRequest(wTag, bOperation, dByteCount, dSourceCount, dDestination, 0, pdSources);
}

void CompleteIpcXorRequest() {
    XOR_IPC_ENTRY* ps = &s_sXor.asIpc[s_sXor.wIpcOut];
    if (ps->bState != XOR_STATE_QUEUED) return;
    ps->bState = XOR_STATE_COMPLETED;
    s_sXor.wIpcOut = Next(s_sXor.wIpcOut);
    SetXorQueue2Work(TRUE);
}

void ServiceIpcXorCompletions() {
    XOR_IPC_ENTRY* ps = &s_sXor.asIpc[s_sXor.wIpcOutCompl];
    if (ps->bState == XOR_STATE_COMPLETED) {
        HandOver(ps->bOperation, ps->wTag, ps->dSourceCount, ps->dByteCount, ps->dFirstSource, true);
        ClearIpcEntry(ps);
        s_sXor.wIpcOutCompl = Next(s_sXor.wIpcOutCompl);
    }
    SetXorQueue2Work(ToFlag(s_sXor.wIpcOutCompl != s_sXor.wIpcOut));
}

void BuildRaid6DecodeCoefficients(uint32_t* pdOut) {
    const XOR_REQUEST& r = s_sXor.asRequest[s_sXor.wOut];
    (void)BuildDecodeRows(r.abRaid6Parameter[0], r.abRaid6Parameter[1], r.abRaid6Parameter[3], pdOut);
}

void ShowXorRequest(uint16_t wIndex) {
    const XOR_REQUEST& r = s_sXor.asRequest[wIndex % XOR_RING_ENTRIES];
    ConsolePrintf("%4x: ", wIndex);
    ConsolePrintf("%02x %02x %04x %02x %08x ", r.bState, r.bOperation, r.wTag, r.dSourceCount, r.dByteCount);
    ConsolePrintf("%08x", r.dDestination);
    for (uint32_t i = 0; i < r.dSourceCount && i < 5; ++i) ConsolePrintf(" %08x", r.adSource[i]);
    ConsolePrintf("\n");
}

void ShowXorQueues() {
    ConsolePrintf("XOR Queues\n");
    ConsolePrintf("Command in Progress: ");
    ConsolePrintf(s_sXor.fCommandInProgress == TRUE ? "TRUE\n" : "FALSE\n");
    ConsolePrintf("Total Byte Count : %08x%08x\n", static_cast<uint32_t>(s_sXor.lTotalBytes >> 32),
                  static_cast<uint32_t>(s_sXor.lTotalBytes));
    ConsolePrintf("In Pointer       : %08x\n", s_sXor.wIn);
    ConsolePrintf("Out Pointer      : %08x\n", s_sXor.wOut);
    ConsolePrintf("Out Compl Pointer: %08x\n", s_sXor.wOutCompl);
    for (uint16_t w = 0; w < XOR_RING_ENTRIES; ++w) {
        if (s_sXor.asRequest[w].bState != XOR_STATE_FREE) ShowXorRequest(w);
    }
    ConsolePrintf("\n\n");
    if (fIsIpcPeerEnabled() != TRUE) return;
    ConsolePrintf("Total Byte Count : %08x%08x\n", static_cast<uint32_t>(s_sXor.lIpcTotalBytes >> 32),
                  static_cast<uint32_t>(s_sXor.lIpcTotalBytes));
    ConsolePrintf("IPC In Pointer       : %08x\n", s_sXor.wIpcIn);
    ConsolePrintf("IPC Out Pointer      : %08x\n", s_sXor.wIpcOut);
    ConsolePrintf("IPC Out Compl Pointer: %08x\n", s_sXor.wIpcOutCompl);
    for (uint16_t w = 0; w < XOR_RING_ENTRIES; ++w) {
        const XOR_IPC_ENTRY& e = s_sXor.asIpc[w];
        if (e.bState == XOR_STATE_FREE) continue;
        ConsolePrintf("%4x: ", w);
        ConsolePrintf("%02x %02x %04x %02x %08x %08x\n", e.bState, e.bOperation, e.wTag, e.dSourceCount,
                      e.dByteCount, e.dDestination);
    }
    ConsolePrintf("\n\n");
}

void ShowByteMatrix(const uint8_t* pbMatrix, uint8_t bRows, uint8_t bColumns) {
    for (uint8_t r = 0; r < bRows; ++r) {
        for (uint8_t c = 0; c < bColumns; ++c) ConsolePrintf("%4x", pbMatrix[r * bColumns + c]);
        ConsolePrintf("\n");
    }
}

const XOR_REQUEST* psGetXorRequest(uint16_t wIndex) { return &s_sXor.asRequest[wIndex % XOR_RING_ENTRIES]; }
const XOR_IPC_ENTRY* psGetXorIpcEntry(uint16_t wIndex) { return &s_sXor.asIpc[wIndex % XOR_RING_ENTRIES]; }
uint16_t wGetXorIn() { return s_sXor.wIn; }
uint16_t wGetXorOut() { return s_sXor.wOut; }
uint16_t wGetXorOutCompl() { return s_sXor.wOutCompl; }
uint16_t wGetXorOutstanding() {
    return static_cast<uint16_t>((s_sXor.wIn + XOR_RING_ENTRIES - s_sXor.wOutCompl) % XOR_RING_ENTRIES);
}
uint8_t fGetXorCommandInProgress() { return s_sXor.fCommandInProgress; }
uint64_t lGetXorTotalBytes() { return s_sXor.lTotalBytes; }
uint64_t lGetIpcXorTotalBytes() { return s_sXor.lIpcTotalBytes; }
CPU_ADDRESS dGetXorDescriptorSlot(uint8_t bSlot) { return bSlot < 3 ? s_sXor.adSlot[bSlot] : CPU_ADDRESS{0}; }

}  // namespace fw
