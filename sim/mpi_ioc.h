// The message-passing engine every LSI IOC model on the board shares: the
// system registers (doorbell handshake, diagnostic write window, request and
// reply FIFOs), the firmware image an IOC boots after a diagnostic load, the
// doorbell messages of bring-up, the configuration pages and the events.
// The chip models (the drive-side controller, the SAS target IOC) stand on
// it and add what their requests do.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <utility>
#include <vector>

#include "hw/mpi.h"
#include "sim/clock.h"
#include "sim/pci.h"
#include "sim/ring.h"

namespace sim {

class MpiIoc : public PciFunction {
public:
    static constexpr uint32_t kRequestFrameBytes = 128;
    static constexpr uint32_t kReplyFrameBytes = 64;

    enum class State : uint8_t { Reset = 0, Ready = 1, Operational = 2, Fault = 4 };

    // Errors a phy took on its link: the counters of its SAS PHY page 1.
    struct PhyErrors {
        uint32_t invalidDwords = 0;
        uint32_t disparityErrors = 0;
        uint32_t lostDwordSyncs = 0;
        uint32_t resetProblems = 0;
        PhyErrors& operator+=(const PhyErrors& more);
    };

    // Faults and odd answers a test can ask for.
    struct Faults {
        bool neverReady = false;       // a loaded image never takes the IOC out of RESET
        bool diagLocked = false;       // the write-sequence key is never accepted
        bool portEnableSilent = false; // PORT ENABLE is never answered
        uint16_t configStatus = 0;     // IOC status of every CONFIG request (0: normal)
        int replyMsgLength = -1;       // MsgLength put in handshake replies (-1: true length)
    };
    // What IOC FACTS and PORT FACTS report.
    struct Facts {
        uint16_t requestFrameSize = 0x20;  // dwords
        uint16_t globalCredits = 768;
        uint16_t replyQueueDepth = 128;
        uint8_t numberOfPorts = 1;
        uint8_t flags = 0;                 // bit 0: the host keeps the image (upload)
        uint32_t hostPageBufferBytes = 0;  // 0: the IOC wants no host page buffer
        uint16_t maxPostedCmdBuffers = 128;
    };
    Faults faults;
    Facts facts;

    ~MpiIoc() override;
    uint32_t Read(uint32_t address, unsigned width) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;

    // --- inspection and stimuli for tests ---------------------------------
    State state() const { return m_state; }
    virtual void EnterFault(uint16_t code);
    // The board's reset line: the chip resets with the board, whatever hold
    // its diagnostic register kept it in, and starts its firmware from flash.
    void BoardReset();
    uint32_t loadedFirmwareVersion() const { return m_fwVersion; }
    uint32_t diagnosticLoads() const { return m_diagnosticLoads; }
    uint32_t unlockAttempts() const { return m_unlockAttempts; }
    bool portEnabled(uint8_t port) const { return port < 8 && m_portEnabled[port]; }
    bool eventsOn() const { return m_eventsOn; }
    size_t freeReplyFrames() const { return m_replyFree.size(); }
    size_t postedReplies() const { return m_replyPost.size(); }
    uint32_t requestsReceived() const { return m_requestsReceived; }
    uint32_t eventAcks() const { return m_eventAcks; }
    // Resets of the IOC (message unit or hard), the board's own included.
    uint32_t iocResets() const { return m_iocResets; }
    uint32_t hostPageBufferAddress() const { return m_hostPageBuffer; }
    const std::vector<uint8_t>& flashImage() const { return m_flashImage; }
    uint32_t IocMemory(uint32_t address) const;
    void SetIocMemory(uint32_t address, uint32_t value) { m_memory[address] = value; }
    // Configuration page reads (of any address) of a page type and number.
    uint32_t pageReads(uint8_t type, uint8_t number) const {
        auto it = m_pageReads.find({type, number});
        return it == m_pageReads.end() ? 0 : it->second;
    }
    // A configuration page as the IOC holds it (header included); empty when
    // the IOC has no such page.
    std::vector<uint8_t> Page(uint8_t type, uint8_t number, uint32_t address = 0) const;
    // Raises an event through the reply FIFO once events are on.
    void RaiseEvent(uint32_t event, const std::vector<uint32_t>& data, bool ackRequired);
    // Sends an address reply of the given bytes, as if a request had ended.
    void InjectAddressReply(const std::vector<uint8_t>& reply) {
        AddressReply(reply.data(), static_cast<uint32_t>(reply.size()));
    }
    // Puts a raw word on the reply post FIFO, as a misbehaving IOC might.
    void PostRawReply(uint32_t word) {
        m_replyPost.push_back(word);
        UpdateInterrupt();
    }

protected:
    static constexpr uint64_t kResetNs = 10'000;          // reset-adapter bit self-clears
    static constexpr uint64_t kBootNs = 20'000'000;       // IOC firmware start
    static constexpr uint64_t kLinkUpNs = 100'000'000;    // a port answers PORT ENABLE

    MpiIoc(uint16_t vendor, uint16_t device, uint8_t revision, uint32_t classCode);

    // What the chip adds to the engine.
    virtual void PostRequest(uint32_t frameAddress) = 0;   // a request frame posted
    virtual void Signal(bool raised) = 0;                  // its interrupt to the processor
    virtual void ResetChip() {}                            // what a reset ends beside the engine
    virtual void PrepareDebugArea() {}                     // the firmware's own memory once it runs

    struct PageKey {
        uint8_t type;    // page type, or the extended page type
        uint8_t number;
        uint32_t address;
        bool operator<(const PageKey& o) const {
            return type != o.type ? type < o.type : number != o.number ? number < o.number : address < o.address;
        }
    };
    struct ConfigPage {
        bool extended;
        std::vector<uint8_t> bytes;
    };
    // The page a CONFIG request names; null when the IOC has none.
    virtual ConfigPage* FindPage(uint8_t type, uint8_t number, uint32_t address);
    // Adds an empty page of the given size (an extended one when extType is not 0).
    void AddPage(uint8_t type, uint8_t number, uint32_t bytes, uint8_t extType, uint32_t address = 0);
    void AddExtendedPage(uint8_t type, uint8_t number, uint32_t address, const void* body, uint32_t bytes);
    // SAS PHY page 1 of the phy, holding its counters.
    void AddPhyCounterPage(uint8_t phy, const PhyErrors& errors);

    Board& B() { return *board; }
    void MapRegisters(uint32_t base, uint32_t size);
    void ResetIoc(bool hard);
    void Boot();
    // A one-off event of the IOC (a reset ending, a boot, a port coming up):
    // kept, so that a reset, or the model going away while the clock goes on
    // for a partner board, cancels it.
    void After(uint64_t delayNs, Clock::Action action);
    void CancelTimers();
    void UpdateInterrupt();
    void StartReply(const void* reply, uint32_t bytes);
    void AddressReply(const void* reply, uint32_t bytes);
    void DeliverReplies();
    void ContextReply(uint32_t word);
    // A target context reply: the word as it is, type bits and all.
    void TargetContextReply(uint32_t word) {
        m_replyPost.push_back(word);
        UpdateInterrupt();
    }
    // Runs a CONFIG request; fills the 24-byte reply.
    void Config(const uint8_t* request, uint8_t* reply);
    void FactsReply(uint8_t* reply);

    // Doorbell messages, by function: the request padded to a frame.
    using Handshake = void (MpiIoc::*)(const uint8_t* request, uint32_t context);
    static const std::array<Handshake, 256> kHandshakes;
    void HandshakeFacts(const uint8_t* request, uint32_t context);
    void HandshakeInit(const uint8_t* request, uint32_t context);
    void HandshakePortFacts(const uint8_t* request, uint32_t context);
    void HandshakePortEnable(const uint8_t* request, uint32_t context);
    void HandshakeEvents(const uint8_t* request, uint32_t context);
    void HandshakeConfig(const uint8_t* request, uint32_t context);
    void HandshakeFirmware(const uint8_t* request, uint32_t context);
    void HandshakeTaskManagement(const uint8_t* request, uint32_t context);
    void HandshakeUnknown(const uint8_t* request, uint32_t context);
    // Requests through the request FIFO that every IOC answers alike.
    void RequestConfig(const uint8_t* frame, uint32_t context);
    void RequestPortEnable(const uint8_t* frame, uint32_t context);
    void RequestEventAck(const uint8_t* frame, uint32_t context);
    void RequestUnknown(const uint8_t* frame, uint32_t context);

    uint16_t m_productId;
    uint32_t m_mappedAt = 0;
    State m_state = State::Ready;
    uint16_t m_faultCode = 0;
    uint32_t m_hostIntStatus = 0;
    uint32_t m_hostIntMask = 0xFFFFFFFF;
    uint32_t m_hostDiagnostic = 0;
    uint32_t m_testBase = 0;
    uint32_t m_diagAddress = 0;
    uint8_t m_keyPosition = 0;
    uint32_t m_unlockAttempts = 0;

    // Doorbell handshake.
    bool m_receiving = false;
    uint32_t m_expectDwords = 0;
    std::vector<uint32_t> m_request;
    std::deque<uint16_t> m_replyWords;

    // IOC memory reached through the diagnostic window.
    std::map<uint32_t, uint32_t> m_memory;
    std::map<std::pair<uint8_t, uint8_t>, uint32_t> m_pageReads;
    std::vector<uint32_t> m_loadStarts;  // where each load run began
    uint32_t m_diagnosticLoads = 0;
    uint32_t m_fwVersion = 0x01000000;   // what the IOC's own flash holds
    std::vector<uint8_t> m_flashImage;   // FW DOWNLOAD by message

    // Queues.
    struct ReplyFrame {
        std::array<uint8_t, kReplyFrameBytes> data;
        uint32_t bytes;
    };
    Ring<uint32_t> m_replyFree;
    Ring<uint32_t> m_replyPost;
    Ring<ReplyFrame> m_pendingReplies;  // waiting for a free frame
    uint32_t m_requestsReceived = 0;
    uint32_t m_hostPageBuffer = 0;
    bool m_eventsOn = false;
    uint32_t m_eventContext = 0;
    uint32_t m_eventAcks = 0;
    uint32_t m_iocResets = 0;
    std::array<bool, 8> m_portEnabled{};

    std::map<PageKey, ConfigPage> m_pages;

private:
    void WriteDoorbell(uint32_t value);
    void WriteSequence(uint8_t key);
    void WriteHostDiagnostic(uint32_t value);
    void WriteHostIntStatus();
    void DiagWrite(uint32_t value);
    bool BootLoadedImage();
    void HandshakeMessage();

    // The one-off events scheduled since the last reset (cancelling one that
    // has run already does nothing).
    std::vector<Clock::EventId> m_timers;
};

}  // namespace sim
