// One function of the dual-channel Ultra320 SCSI chip that serves a host
// port in target mode: its SCSI port and device pages, the command buffers
// its driver posts, and the restart of both functions that a diagnostic
// load through the first one brings.  It stands on the MPI engine the other
// LSI IOC models share.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "hw/mpi.h"
#include "hw/mpi_scsi_port.h"
#include "hw/pci_ids.h"
#include "sim/fc_fabric.h"
#include "sim/held_assists.h"
#include "sim/interrupt_controller.h"
#include "sim/mpi_ioc.h"

namespace sim {

class Board;

class ScsiHostIoc : public MpiIoc {
public:
    static constexpr uint16_t kVendor = fw::PCI_VENDOR_SAS;
    static constexpr uint16_t kDevice = fw::PCI_DEVICE_SCSI_HOST;
    static constexpr uint32_t kIoWindowBytes = 0x100;
    static constexpr uint16_t kMaxIoIndex = 256;
    static constexpr uint32_t kFlashFirmwareVersion = 0x01032000;

    ScsiHostIoc(uint8_t function, uint8_t revision, InterruptLine line);
    // The chip's other function: a diagnostic load through the first one
    // restarts both channels on the loaded image.
    void SetSibling(ScsiHostIoc* sibling) { m_sibling = sibling; }
    // Cleared, the second channel keeps running the firmware of its flash
    // when the first is loaded (as a chip whose channels disagree would).
    bool restartsWithFirstFunction = true;

    uint32_t ConfigRead(uint16_t offset) override;
    void ConfigWrite(uint16_t offset, uint32_t value) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;
    // Set, a MESSAGE UNIT RESET leaves the IOC as it is (one that does not
    // come back from it).
    bool ignoresMessageUnitReset = false;
    uint32_t ignoredResets() const { return m_ignoredResets; }
    // Set to a message function, the IOC takes a handshake of that function
    // and never answers it (a function that stopped answering); the board
    // time of each one taken so is kept.
    int silentHandshake = -1;
    const std::vector<uint64_t>& silencedAt() const { return m_silencedAt; }

    // --- inspection for tests --------------------------------------------------
    uint8_t function() const { return m_function; }
    size_t freeCommandBuffers() const { return m_freeCmdBuffers.size(); }
    uint32_t cmdBufferPosts() const { return m_cmdBufferPosts; }
    const fw::MPI_SCSI_PORT_PAGE_1& PortPage1() const;
    const fw::MPI_SCSI_DEVICE_PAGE_1& DevicePage1(uint8_t id) const;

    // --- initiators on the bus ---------------------------------------------------
    // A command from the initiator at a SCSI id, named by its tag; the
    // answer comes to `done` in board time.  One the IOC cannot take (no
    // buffer, port not enabled) ends with BUSY or as Rejected.
    // A command with task management flags is a task management request;
    // ABORT TASK names the tag in managedTag.  Its answer's response code
    // comes back as the status.
    using Done = std::function<void(uint16_t tag, const FcpResult&)>;
    void Command(uint8_t initiatorId, uint16_t tag, const FcpCommand& command, Done done, uint16_t managedTag = 0);
    // An initiator resets the bus: every command on it ends without an
    // answer, and the driver hears of it by an event.
    void BusReset();
    // The initiator at a SCSI id drops off the bus (powered off, cable
    // pulled): its commands end without an answer, and what the driver
    // sends for them afterwards finds no initiator.
    void DropConnections(uint8_t initiatorId);
    // The next command the chip takes arrives as priority I/O for this
    // reason (0 an initiator that allows no disconnection, 2 a parity
    // error, 3 a message the chip could not take, 4 and 5 a CRC error of
    // the command, 6 a protocol error): its answer comes by handshake.
    void NextCommandAsPriority(uint8_t reason) { m_nextCommandPriority = reason; }
    // The next data transfer the chip is given moves nothing and ends as
    // priority I/O for this reason (6 a protocol error, 8 a CRC error of
    // the write data).
    void FailNextAssist(uint8_t reason) { m_nextAssistPriority = reason; }
    // The chip stayed on the bus longer than its on-bus timer allows; the
    // driver hears of it by an event to acknowledge.
    void OnBusTimerExpired();
    // Set, the chip holds the data transfers it is given (a transfer stuck
    // on the bus) until they are released; a reset of the IOC drops them.
    bool holdAssists = false;
    size_t heldAssists() const { return m_heldAssists.size(); }
    void ReleaseAssists();
    size_t openExchanges() const;
    // Data or status requests for a buffer that holds no command: a command
    // answered twice, or after it ended.
    uint32_t strayRequests() const { return m_strayRequests; }
    // Requests the chip took for commands a bus reset or the initiator's
    // leaving had ended.
    uint32_t requestsWithoutInitiator() const { return m_requestsWithoutInitiator; }
    uint32_t busResets() const { return m_busResets; }
    // Requests that came for a command after the initiator aborted it.
    uint32_t requestsAfterAbort() const { return m_requestsAfterAbort; }

private:
    void PostRequest(uint32_t frameAddress) override;
    void Signal(bool raised) override { m_line.Set(raised); }
    void ResetChip() override;
    void PrepareDebugArea() override;
    ConfigPage* FindPage(uint8_t type, uint8_t number, uint32_t address) override;
    // The target requests the driver sends through the doorbell; FALSE for
    // any other message, which the engine takes.
    bool HandshakeTarget(const uint8_t* request, uint32_t context);
    // The request names a buffer whose command is open; else it is
    // answered with an error and false is returned.
    bool TakeRequest(uint8_t function, uint32_t context, uint32_t replyWord, uint16_t* ioIndex);
    void RestartOnLoadedImage(uint32_t fwVersion);
    void CommandBufferPost(const uint8_t* frame, uint32_t context);
    void TargetAssist(const uint8_t* frame, uint32_t context);
    void TargetStatusSend(const uint8_t* frame, uint32_t context);
    void ErrorReply(uint8_t function, uint32_t context, uint16_t status, uint32_t replyWord, uint8_t reason = 0);
    void Finish(uint16_t ioIndex, FcpResult::Outcome outcome);
    struct Exchange;
    void TaskManagementDone(const Exchange& tm);
    struct Exchange {
        bool open = false;
        bool abandoned = false;   // the initiator aborted it: nothing more reaches it
        uint8_t initiator = 0;
        uint16_t tag = 0;
        uint16_t managedTag = 0;   // the task an ABORT TASK names
        FcpCommand command;
        FcpResult result;
        Done done;
    };
    std::array<Exchange, kMaxIoIndex> m_exchanges{};
    // The buffer's command ended on the bus (a reset, its initiator gone).
    std::array<bool, kMaxIoIndex> m_initiatorGone{};
    // Ends the open exchanges `pick` chooses as the bus takes them away.
    template <typename Pick>
    void LoseExchanges(Pick pick);
    HeldAssists m_heldAssists;
    bool m_releasing = false;   // held by the driver after a bus reset
    static constexpr int kNoPriority = -1;
    int m_nextCommandPriority = kNoPriority;
    int m_nextAssistPriority = kNoPriority;

    uint8_t m_function;
    InterruptLine m_line;
    ScsiHostIoc* m_sibling = nullptr;
    std::array<uint32_t, 64> m_config{};
    uint32_t m_loadsSeen = 0;
    uint32_t m_cmdBufferPosts = 0;
    uint32_t m_strayRequests = 0;
    uint32_t m_requestsWithoutInitiator = 0;
    uint32_t m_busResets = 0;
    uint32_t m_requestsAfterAbort = 0;
    uint32_t m_ignoredResets = 0;
    std::vector<uint64_t> m_silencedAt;
    void CountRequestAfterAbort(uint32_t replyWord);
    std::deque<uint16_t> m_freeCmdBuffers;
    std::array<uint32_t, kMaxIoIndex> m_cmdBufferAddress{};
};

// The function (0 or 1) of the board's parallel SCSI chip; null when the
// board has none there.
ScsiHostIoc* FindScsiHostIoc(Board& board, uint8_t function);

}  // namespace sim
