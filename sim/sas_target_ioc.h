// The SAS host-port IOC in target mode: eight phys in two wide ports (phys
// 0-3 the first, 4-7 the second), SAS initiators attached to them, and the
// requests its target-mode driver sends: command buffer posts, TARGET
// ASSIST, TARGET STATUS SEND, TARGET MODE ABORT, SAS IO UNIT CONTROL, and
// the SAS IO unit, device and phy pages.  It stands on the MPI engine the
// drive-side controller uses.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "hw/mpi.h"
#include "hw/pci_ids.h"
#include "sim/clock.h"
#include "sim/interrupt_controller.h"
#include "sim/fc_fabric.h"
#include "sim/held_assists.h"
#include "sim/mpi_ioc.h"

namespace sim {

class SasTargetIoc : public MpiIoc {
public:
    static constexpr uint16_t kVendor = fw::PCI_VENDOR_SAS;
    static constexpr uint16_t kDevice = fw::PCI_DEVICE_SAS_TARGET;
    static constexpr uint32_t kRegisterBase = fw::PCI_SAS_TARGET_REGISTER_BASE;
    static constexpr uint8_t kPhys = fw::MPI_SAS_IO_UNIT_PHYS;
    static constexpr uint8_t kPhysPerPort = 4;
    static constexpr uint16_t kMaxIoIndex = 288;
    static constexpr uint16_t kMaxInitiators = 64;

    SasTargetIoc(uint8_t revision, InterruptLine line);

    uint32_t ConfigRead(uint16_t offset) override;
    void ConfigWrite(uint16_t offset, uint32_t value) override;

    // --- inspection for tests ------------------------------------------------
    uint32_t cmdBuffersPosted() const { return m_cmdBuffersPosted; }
    // The buffer count of each list post the driver sent, in order.
    const std::vector<uint16_t>& listPostCounts() const { return m_listPostCounts; }
    size_t freeCommandBuffers() const { return m_freeCmdBuffers.size(); }
    // The link rate a phy negotiated (0 none: nothing attached, or disabled).
    uint8_t NegotiatedRate(uint8_t phy) const;
    // The phy flags and the max/min rate byte the firmware wrote into SAS IO
    // unit page 1.
    uint8_t PhyFlags(uint8_t phy) const;
    uint8_t PhyRates(uint8_t phy) const;
    uint64_t BaseSasAddress() const;
    uint32_t IocSettings() const;

    // --- the initiators on the ports -----------------------------------------
    // An initiator with a SAS address links to the port's phys; its index
    // (0..63) names it in command buffers.  -1 when all 64 are taken.
    int Attach(uint8_t port, uint64_t sasAddress);
    void Detach(int index);
    // Moves an initiator to the other port (its index stays).
    void Move(int index, uint8_t port);
    // The link of a port drops (its phys show no rate) and comes back.
    void SetLink(uint8_t port, bool up);
    // Something between the port and its initiators (an expander, a bridge)
    // keeps the port linked while none is attached.
    void HoldLink(uint8_t port);
    bool PortLinked(uint8_t port) const;
    // The port would link an initiator attached now: the IOC runs, its
    // driver enabled the port and the port's link is not held down.
    bool PortUp(uint8_t port) const;
    // Errors a phy's link took: added to the counters of its SAS PHY page 1.
    void AddPhyErrors(uint8_t phy, const PhyErrors& errors);

    // --- frames from the initiators ---------------------------------------------
    // A COMMAND frame (or, with taskManagement set, a TASK frame) from an
    // initiator; the tag names it.  The answer comes to `done` in board
    // time.  A command the IOC cannot take (no buffer, not running) ends
    // with TASK SET FULL or as Rejected.  The initiator counts what the
    // target moved against what it asked: read data beyond its buffer, or
    // write data asked beyond what it has, is an overflow; the IOC ends
    // such a write transfer short, with a data underrun.  A command the
    // driver lets go of without a response (its buffer posted again) ends
    // as Terminated, as the initiator would find it after its own time-out.
    using Done = std::function<void(uint16_t tag, const FcpResult&)>;
    void Frame(int initiator, uint16_t tag, const FcpCommand& command, uint16_t managedTag, Done done);
    // The initiator drops the connection: its open commands end at the IOC
    // with no connection (IOC status 0x65 on their next request).
    void DropConnections(int initiator);
    size_t openExchanges() const;
    uint32_t framesRejected() const { return m_framesRejected; }
    // While set, TARGET ASSIST requests wait (their data in flight) until
    // released; an abort of their exchange drops them.
    bool holdAssists = false;
    void ReleaseAssists();
    size_t heldAssists() const { return m_heldAssists.size(); }
    // The phy count SAS IO unit page 0 claims; an IOC gone wrong may claim
    // more phys than its page holds.
    uint8_t reportedPhys = kPhys;

private:
    void PostRequest(uint32_t frameAddress) override;
    void Signal(bool raised) override { m_line.Set(raised); }
    void ResetChip() override;
    ConfigPage* FindPage(uint8_t type, uint8_t number, uint32_t address) override;
    using Request = void (SasTargetIoc::*)(const uint8_t* frame, uint32_t context);
    static const std::array<Request, 256> kRequests;
    void RequestFacts(const uint8_t* frame, uint32_t context);
    void RequestCmdBufferBase(const uint8_t* frame, uint32_t context);
    void RequestCmdBufferList(const uint8_t* frame, uint32_t context);
    void TargetAssist(const uint8_t* frame, uint32_t context);
    void TargetStatusSend(const uint8_t* frame, uint32_t context);
    void TargetModeAbort(const uint8_t* frame, uint32_t context);
    void IoUnitControl(const uint8_t* frame, uint32_t context);
    void ErrorReply(uint8_t function, uint32_t context, uint16_t ioIndex, uint16_t status);
    struct Exchange;
    Exchange* OpenExchange(uint8_t function, uint32_t context, uint32_t replyWord);
    void Finish(uint16_t ioIndex, FcpResult::Outcome outcome);
    // The pages that follow the phys and the initiators.
    void RefreshPages();
    void RaiseLinkEvents(uint8_t port);

    InterruptLine m_line;
    std::array<uint32_t, 64> m_config{};

    struct Initiator {
        bool present = false;
        uint8_t port = 0;
        uint64_t address = 0;
        uint16_t handle = 0;
        bool removed = false;   // the driver removed its device: no page until it links again
    };
    std::array<Initiator, kMaxInitiators> m_initiators{};
    std::array<bool, 2> m_linkDown{};
    std::array<bool, 2> m_linkHeld{};
    std::array<PhyErrors, kPhys> m_phyErrors{};
    HeldAssists m_heldAssists;

    struct Exchange {
        bool open = false;
        bool gone = false;          // the initiator left: requests for it fail
        int initiator = -1;
        uint16_t tag = 0;
        FcpCommand command;
        FcpResult result;
        Done done;
        uint32_t dataInOffered = 0;   // read bytes the target sent, kept or not
        uint32_t dataOutAsked = 0;    // write bytes the target asked for
    };
    std::array<Exchange, kMaxIoIndex> m_exchanges{};
    uint32_t m_framesRejected = 0;
    uint32_t m_cmdBuffersPosted = 0;
    std::vector<uint16_t> m_listPostCounts;
    std::deque<uint16_t> m_freeCmdBuffers;
    std::array<uint32_t, kMaxIoIndex> m_cmdBufferAddress{};
    uint16_t m_cmdBufferLength = 0;
    // Each device the IOC finds gets a handle of its own: a new initiator in
    // a departed one's place is not mistaken for it.
    uint16_t m_nextHandle = 0;
    // A buffer given back to the IOC ends what it still held.
    void BufferReturned(uint16_t ioIndex);
};

}  // namespace sim
