// The ISP2x00 host-port path against a register window played by the test:
// commands and completions on the one response ring, fast-posted CTIO
// completions, and the return of consumed command resources and the LUN
// enable through the main loop's chip service.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/isp_fc.h"
#include "hw/pci_ids.h"
#include "sim/board.h"
#include "sim/bus.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"

namespace {

using namespace fw;
using Entry = std::array<uint8_t, ISP_ENTRY_BYTES>;

// Host chip 1 of the ISP2x00 generation at its register window: it reports
// what the test puts on its response ring and takes every request entry at
// once, keeping a copy.
class Isp2x00Window : public sim::Device {
public:
    Isp2x00Window() : m_bus(sim::Board::Current().bus()) { m_bus.Map(kBase, ISP_REGISTER_SPAN, this); }
    ~Isp2x00Window() override { m_bus.Unmap(this); }
    Isp2x00Window(const Isp2x00Window&) = delete;
    Isp2x00Window& operator=(const Isp2x00Window&) = delete;

    uint32_t Read(uint32_t address, unsigned) override {
        const uint32_t r = address - kBase;
        if (r == ISP2X_REG_HOST_STATUS) return hostStatus;
        if (r == ISP2X_REG_REQ_OUT) return m_wRequestIn;
        if (r == ISP2X_REG_RSP_IN) return m_wResponseIn;
        if (r >= ISP2X_REG_MAILBOX0 && r < ISP2X_REG_MAILBOX0 + 2 * 8) return mailbox[(r - ISP2X_REG_MAILBOX0) / 2];
        return 0;
    }
    void Write(uint32_t address, uint32_t value, unsigned) override {
        const uint32_t r = address - kBase;
        if (r == ISP2X_REG_REQ_IN) {
            for (; m_wRequestIn != value; m_wRequestIn = (m_wRequestIn + 1) % QL_RING_LENGTH) {
                Entry e;
                std::memcpy(e.data(), pbGetRequestRing(1) + m_wRequestIn * ISP_ENTRY_BYTES, e.size());
                requests.push_back(e);
            }
        }
        if (r == ISP2X_REG_RSP_OUT) responseOut = static_cast<uint16_t>(value);
        if (r == ISP2X_REG_HCCR) lastHccr = static_cast<uint16_t>(value);
    }

    // An entry on the response ring, reported with a response update.
    void Respond(const Entry& e) {
        // Bus and processor addresses agree in bank 0, where the rings lie.
        BUS_ADDRESS d{};
        GetResponseRingBase(1, &d);
        auto* pbRing = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(static_cast<uint32_t>(d)));
        std::memcpy(pbRing + m_wResponseIn * ISP_ENTRY_BYTES, e.data(), e.size());
        m_wResponseIn = (m_wResponseIn + 1) % QL_RING_LENGTH;
        Interrupt(ISP_INT_RESPONSE_UPDATE, m_wResponseIn);
    }
    void Interrupt(uint8_t kind, uint16_t mailbox0) {
        hostStatus = static_cast<uint32_t>(mailbox0) << 16 | kind;
        Isp2x00TargetIsr(1);
    }

    static constexpr uint32_t kBase = PCI_OUTBOUND_WINDOW_UNIT1;
    uint32_t hostStatus = 0;
    std::array<uint16_t, 8> mailbox{};
    std::vector<Entry> requests;
    uint16_t responseOut = 0;
    uint16_t lastHccr = 0;

private:
    sim::Bus& m_bus;
    uint16_t m_wRequestIn = 0;
    uint16_t m_wResponseIn = 0;
};

class Isp2x00Path : public ::testing::Test {
protected:
    void SetUp() override {
        ResetInterruptLocks();
        InitInterruptController();
        InitConsoleUart(115200);
        SetHostInterfaceType(1);
        SetSystemMemorySize(board.config().memorySize);
        ASSERT_EQ(InitBufferPages(), STATUS_OK);
        InitHostCommandPool();
        SetQL24xx(FALSE);
        SetChipPresent(1, TRUE);
        InitHostChipRings();
        InitHostIsrState();
        SetEnableLunRequest(FALSE);
        SetTargetResourceRequest(1, FALSE);
        ClearTargetResourceCount(1);
        window = std::make_unique<Isp2x00Window>();
    }

    // A command as the chip delivers it (accept target I/O type 2); the
    // host entry it became.
    KERNEL_ENTRY* Command(uint8_t opcode) {
        Entry e{};
        e[0] = ATIO2_ENTRY_TYPE;
        e[1] = 1;
        e[0x0A] = 0x34;   // exchange id
        e[0x0B] = 0x12;
        e[0x1C] = opcode;
        window->Respond(e);
        KERNEL_ENTRY* ps = nullptr;
        EXPECT_EQ(bPeekNewCommand(&ps), STATUS_FOUND);
        if (ps != nullptr) DecPortNewCommands(1);
        return ps;
    }

    // The chip's CTIO type 2 completion for the entry.
    void CtioDone(KERNEL_ENTRY* ps, uint16_t status, uint8_t tag) {
        Entry e{};
        e[0] = CTIO2_ENTRY_TYPE;
        e[1] = 1;
        e[2] = tag;
        const uint32_t handle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ps));
        std::memcpy(&e[4], &handle, 4);
        std::memcpy(&e[10], reinterpret_cast<uint8_t*>(ps) + 10, 2);
        std::memcpy(&e[14], &status, 2);
        window->Respond(e);
    }

    sim::Board board;
    std::unique_ptr<Isp2x00Window> window;
};

// The entry itself is the command block; it is stamped and numbered as on
// the ISP24xx, and the ring's out-pointer goes back to the chip.
TEST_F(Isp2x00Path, ACommandArrivesOnTheResponseRing) {
    KERNEL_ENTRY* first = Command(0x12);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->bPrimaryState, HOST_STATE_NEW_COMMAND);
    EXPECT_EQ(first->bPortCode, 1);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(first)[0x1C], 0x12);
    EXPECT_NE(first->bMark, 0);
    EXPECT_EQ(window->responseOut, 1);
    EXPECT_EQ(window->lastHccr, ISP_HC_CLEAR_RISC_INT);
    KERNEL_ENTRY* second = Command(0x00);
    EXPECT_EQ(second->alSequence[0], first->alSequence[0] + 1);
    EXPECT_EQ(window->responseOut, 2);
}

// A good CTIO for a waiting write is its data received, when the tag still
// matches; with another tag nothing changes.
TEST_F(Isp2x00Path, ACtioCompletionMovesAWaitingWriteOn) {
    KERNEL_ENTRY* ps = Command(0x2A);
    ps->bPrimaryState = HOST_STATE_DATA_OUT;
    CtioDone(ps, CTIO_COMPLETE, static_cast<uint8_t>(ps->bMark + 1));
    EXPECT_EQ(ps->bPrimaryState, HOST_STATE_DATA_OUT);
    CtioDone(ps, CTIO_COMPLETE, ps->bMark);
    EXPECT_EQ(ps->bPrimaryState, HOST_STATE_DATA_RECEIVED);
    KERNEL_ENTRY* received = nullptr;
    ASSERT_EQ(bPeekDataReceived(&received), STATUS_FOUND);
    EXPECT_EQ(received, ps);
}

// A fast-posted completion names the entry by index: a waiting write moves
// on unless a LIP came after it arrived, which finishes it instead.
TEST_F(Isp2x00Path, AFastPostedCompletionAfterALipFinishesTheWrite) {
    KERNEL_ENTRY* before = Command(0x2A);
    before->bPrimaryState = HOST_STATE_DATA_OUT;
    KERNEL_ENTRY* current = Command(0x2A);
    current->bPrimaryState = HOST_STATE_DATA_OUT;
    window->Interrupt(ISP_INT_2X00_FAST_POST_17, current->wIndex);
    EXPECT_EQ(current->bPrimaryState, HOST_STATE_DATA_RECEIVED);

    window->mailbox[1] = 0xF7E8;
    window->Interrupt(ISP_INT_ASYNC_EVENT, ISP_AEN_LIP);
    EXPECT_EQ(wGetHostLoopLipCount(1), 1);
    window->Interrupt(ISP_INT_2X00_FAST_POST_17, before->wIndex);
    EXPECT_EQ(before->bPrimaryState, HOST_STATE_COMPLETE);
    KERNEL_ENTRY* complete = nullptr;
    ASSERT_EQ(bPeekCommandComplete(&complete), STATUS_FOUND);
    EXPECT_EQ(complete, before);
    // An index beyond the pool names nothing.
    const uint32_t bad = dGetBadHandleCount();
    window->Interrupt(ISP_INT_2X00_FAST_POST_17, HOST_ENTRY_COUNT);
    EXPECT_EQ(dGetBadHandleCount(), bad + 1);
}

// A LIP reset on an ISP2x00 port moves the link state on and posts the
// synchronising marker; no ISP24xx entry reaches the chip.
TEST_F(Isp2x00Path, ALipResetPostsTheMarker) {
    (void)Command(0x00);
    window->requests.clear();
    window->Interrupt(ISP_INT_ASYNC_EVENT, ISP_AEN_LIP_RESET);
    EXPECT_EQ(wGetHostLoopLipCount(1), 1);
    EXPECT_EQ(fGetHostLoopLipFlag(1), TRUE);
    ASSERT_EQ(window->requests.size(), 1u);
    EXPECT_EQ(window->requests[0][0], ISP_ENTRY_MARKER);
    EXPECT_EQ(window->requests[0][0x0A], MARKER_SYNC_ALL);
}

// A command whose exchange ended without a good CTIO keeps its command
// resource: the chip service gives those back in one MODIFY LUN, and a
// return that cannot be posted is added to the next.
TEST_F(Isp2x00Path, TheChipServiceReturnsConsumedResources) {
    EXPECT_EQ(fGetQLogicServiceFlag(), FALSE);
    KERNEL_ENTRY* good = Command(0x00);
    good->bPrimaryState = HOST_STATE_STATUS;
    CtioDone(good, CTIO_COMPLETE, good->bMark);
    EXPECT_EQ(fGetQLogicServiceFlag(), FALSE);
    for (int i = 0; i < 2; ++i) {
        KERNEL_ENTRY* ps = Command(0x00);
        CtioDone(ps, CTIO_STATUS_INVALID_EXCHANGE, ps->bMark);
    }
    EXPECT_EQ(wGetTargetResourceCount(1), 2);
    ASSERT_EQ(fGetQLogicServiceFlag(), TRUE);
    SetChipPresent(1, FALSE);   // nothing to post to
    QLogicService();
    EXPECT_EQ(wGetTargetResourceCount(1), 2);
    EXPECT_EQ(fGetQLogicServiceFlag(), FALSE);
    SetChipPresent(1, TRUE);

    KERNEL_ENTRY* ps = Command(0x00);
    CtioDone(ps, CTIO_STATUS_INVALID_EXCHANGE, ps->bMark);
    ASSERT_EQ(fGetQLogicServiceFlag(), TRUE);
    window->requests.clear();
    QLogicService();
    ASSERT_EQ(window->requests.size(), 1u);
    const Entry& modify = window->requests[0];
    EXPECT_EQ(modify[0], ISP_ENTRY_MODIFY_LUN);
    EXPECT_EQ(modify[0x0A], 1);   // return
    EXPECT_EQ(modify[0x12], 3);
    EXPECT_EQ(modify[0x13], 0);
    EXPECT_EQ(wGetTargetResourceCount(1), 0);
    EXPECT_EQ(fGetQLogicServiceFlag(), FALSE);
}

// A raised ENABLE LUN request gives the chip its command and notify
// resources again.
TEST_F(Isp2x00Path, TheChipServiceEnablesTheLuns) {
    SetEnableLunRequest(TRUE);
    ASSERT_EQ(fGetQLogicServiceFlag(), TRUE);
    QLogicService();
    ASSERT_EQ(window->requests.size(), 1u);
    const Entry& enable = window->requests[0];
    EXPECT_EQ(enable[0], ISP_ENTRY_ENABLE_LUN);
    EXPECT_EQ(enable[1], 1);
    EXPECT_EQ(enable[0x12], 255);
    EXPECT_EQ(enable[0x13], 2);
    EXPECT_EQ(fGetEnableLunRequest(), FALSE);
    EXPECT_EQ(fGetQLogicServiceFlag(), FALSE);
    // An ISP24xx needs none: its request is left for nobody to serve.
    SetQL24xx(TRUE);
    SetEnableLunRequest(TRUE);
    EXPECT_EQ(fGetQLogicServiceFlag(), FALSE);
}

}  // namespace
