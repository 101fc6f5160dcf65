// Host-port IOCs that hand their driver nonsense: reply words and reply
// frames drawn by a seeded generator, mixed into the traffic of a host that
// keeps commands in flight.  Nothing breaks: every command the host sent is
// answered exactly once, and at rest the host entries, the IOC's command
// buffers and the driver's request frames are back where they started.  A
// FAULT of the SAS target IOC amid it is logged and resets the controller,
// which then serves its host again.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "eventlog/event_log.h"
#include "executive/startup.h"
#include "hw/mpi.h"
#include "hw/mpi_scsi_port.h"
#include "hw/scsi.h"
#include "sas/host_port_ioc.h"
#include "sas/sas_drive.h"
#include "sas/sas_target.h"
#include "sas/sas_target_commands.h"
#include "sim/board.h"
#include "sim/sas_host.h"
#include "sim/sas_target_ioc.h"
#include "sim/scsi_host.h"
#include "sim/scsi_host_ioc.h"
#include "target/host_command_pool.h"

namespace {

constexpr uint64_t kBootLimitNs = 120'000'000'000ull;
constexpr uint64_t kAnsweredLimitNs = 60'000'000'000ull;
constexpr uint64_t kSasHostAddress = 0x500605B0000A0001ull;
constexpr uint8_t kScsiHostId = 7;
constexpr uint32_t kRounds = 300;
constexpr uint8_t kEventIocFault = 1;

uint16_t EventCount(uint8_t code) {
    uint16_t wCount = 0, wNext = 0, n = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    for (uint16_t w = 0; w < wCount; ++w) n += fw::psGetEventLogEntry(w)->bCode == code;
    return n;
}

enum class Kind { Sas, Scsi };

class HostIocReplyFuzz : public ::testing::TestWithParam<Kind> {
protected:
    // A controller of its own for each run, with one host on its first port.
    void Build() {
        host.reset();
        sent.clear();
        answers.clear();
        sim::BoardConfig config;
        config.hostInterface = Sas() ? sim::HostInterface::SasTarget : sim::HostInterface::Scsi;
        board = std::make_unique<sim::Board>(config);
        board->SetResetEntry(&fw::ControllerEntry);
        ASSERT_NO_FATAL_FAILURE(Start());
        if (Sas()) {
            auto h = std::make_unique<sim::SasHost>(*board, *board->sasTargetIoc(), 0, kSasHostAddress);
            ASSERT_TRUE(h->LogIn());
            host = std::move(h);
        } else {
            auto h = std::make_unique<sim::ScsiHost>(*board, ScsiIoc(), kScsiHostId);
            ASSERT_TRUE(h->LogIn());
            host = std::move(h);
        }
        host->onCompletion = [this](uint32_t tag, const sim::FcpResult&) { ++answers[tag]; };
    }
    // Power on, or a restart after the controller reset itself: runs until
    // the controller is up and its host ports serve.
    void Start() {
        board->ClearConsoleText();
        board->Boot();
        const auto fUp = [this] {
            if (board->ConsoleText().find("Initialization Complete\r\n") == std::string::npos) return false;
            return !Sas() || fw::bGetSASTargetState() == fw::SAS_TARGET_RUNNING;
        };
        ASSERT_EQ(board->RunUntil(fUp, kBootLimitNs), sim::StopKind::Running) << board->ConsoleText();
        ASSERT_TRUE(fUp()) << board->ConsoleText();
    }
    bool Sas() const { return GetParam() == Kind::Sas; }
    sim::ScsiHostIoc& ScsiIoc() { return *sim::FindScsiHostIoc(*board, 0); }
    sim::MpiIoc& Ioc() { return Sas() ? static_cast<sim::MpiIoc&>(*board->sasTargetIoc()) : ScsiIoc(); }

    uint16_t CommandBuffers() const { return Sas() ? fw::SAS_TARGET_MAX_CMD_BUFFERS : fw::HOST_PORT_CMD_BUFFERS; }
    uint32_t ReplyArea() const {
        const fw::CPU_ADDRESS d = Sas() ? fw::dGetSASTargetIocRecord(fw::PORT_CODE_SAS_HOST_1)->dReplyFrames
                                        : fw::pGetHostPortState(fw::LSI_IOC_HOST_PORT_1)->dReplyFrames;
        return static_cast<uint32_t>(fw::dCpuAddressToPciAddress(d));
    }
    uint16_t RequestFramesOut() const {
        return Sas() ? fw::dGetSASTargetIocRecord(fw::PORT_CODE_SAS_HOST_1)->wRequestsInUse
                     : fw::pGetHostPortState(fw::LSI_IOC_HOST_PORT_1)->wOutstanding;
    }
    size_t FreeCommandBuffers() {
        return Sas() ? board->sasTargetIoc()->freeCommandBuffers() : ScsiIoc().freeCommandBuffers();
    }
    size_t OpenExchanges() { return Sas() ? board->sasTargetIoc()->openExchanges() : ScsiIoc().openExchanges(); }

    // One thing a misbehaving IOC might put in its reply FIFO.
    void Nonsense(std::mt19937& rng) {
        const uint32_t dInitiators = Sas() ? sim::SasTargetIoc::kMaxInitiators : fw::SCSI_HOST_IDS;
        switch (rng() % 6) {
        case 0: {   // any word but the FIFO's empty mark
            uint32_t d = rng();
            if (d == 0xFFFFFFFF) d = 0;
            Ioc().PostRawReply(d);
            break;
        }
        case 1: {   // a target reply naming a buffer past the table, or an initiator the IOC cannot have
            const bool fPastBuffers = rng() % 2 == 0;
            const uint32_t dInitiator = fPastBuffers ? rng() % dInitiators : dInitiators + rng() % 64;
            const uint32_t dIoIndex = fPastBuffers ? CommandBuffers() + rng() % (0x4000u - CommandBuffers())
                                                   : rng() % CommandBuffers();
            Ioc().PostRawReply(fw::MPI_REPLY_TYPE_TARGET | dInitiator << 14 | dIoIndex);
            break;
        }
        case 2: {   // an address reply off a frame boundary, or outside the reply area
            const bool fInside = rng() % 2 == 0;
            const uint32_t dAreaBytes = 128 * 64;
            const uint32_t d = fInside ? (ReplyArea() + rng() % dAreaBytes) | 2 : ReplyArea() + dAreaBytes + 64 * (rng() % 64);
            Ioc().PostRawReply(fw::MPI_REPLY_ADDRESS_FLAG | d >> 1);
            break;
        }
        case 3:
        case 4:
            Ioc().InjectAddressReply(ErrorReply(rng, dInitiators));
            break;
        default:
            Ioc().InjectAddressReply(Event(rng));
            break;
        }
    }
    // The error reply of a target request, a buffer post or an abort, with
    // any status, naming any buffer (a few past the table); its context
    // names no request frame.
    std::vector<uint8_t> ErrorReply(std::mt19937& rng, uint32_t dInitiators) {
        static constexpr uint8_t kFunctions[] = {fw::MPI_FUNCTION_TARGET_ASSIST, fw::MPI_FUNCTION_TARGET_STATUS_SEND,
                                                 fw::MPI_FUNCTION_TARGET_CMD_BUFFER_POST,
                                                 fw::MPI_FUNCTION_TARGET_MODE_ABORT, fw::MPI_FUNCTION_SAS_IO_UNIT_CONTROL};
        static constexpr uint16_t kStatuses[] = {0x0060, 0x0063, 0x0065, 0x006B, 0x0045, 0x0008};
        std::vector<uint8_t> ab(24, 0);
        ab[2] = static_cast<uint8_t>(ab.size() / 4);
        ab[3] = kFunctions[rng() % std::size(kFunctions)];
        const uint32_t dContext = 0x80000000u | 0x7FFFu << 16 | (rng() & 0xFFFF);
        std::memcpy(&ab[8], &dContext, 4);
        ab[fw::MPI_TARGET_PRIORITY_REASON] = static_cast<uint8_t>(rng() % 10);
        const bool fAnyStatus = rng() % 4 == 0;
        const uint16_t wStatus =
            fAnyStatus ? static_cast<uint16_t>(rng()) : kStatuses[rng() % std::size(kStatuses)];
        std::memcpy(&ab[14], &wStatus, 2);
        const uint32_t dInitiator = rng() % dInitiators;
        const uint32_t dWord = fw::MPI_REPLY_TYPE_TARGET | dInitiator << 14 | rng() % (CommandBuffers() + 16u);
        std::memcpy(&ab[fw::MPI_TARGET_ERROR_REPLY_WORD], &dWord, 4);
        return ab;
    }
    // An event notification: one the driver acts on or any other, with
    // any data and asking for an acknowledgement or not.
    std::vector<uint8_t> Event(std::mt19937& rng) {
        static constexpr uint32_t kSasEvents[] = {5, 15, 18, 19, 22, 24, 25};
        static constexpr uint32_t kScsiEvents[] = {4, 5, 13};
        fw::MPI_EVENT_NOTIFICATION_REPLY r{};
        r.bFunction = fw::MPI_FUNCTION_EVENT_NOTIFICATION;
        r.bMsgLength = static_cast<uint8_t>(sizeof r / 4);
        r.bAckRequired = static_cast<uint8_t>(rng() % 2);
        const bool fAny = rng() % 4 == 0;
        r.dEvent = fAny    ? rng() % 64
                   : Sas() ? kSasEvents[rng() % std::size(kSasEvents)]
                           : kScsiEvents[rng() % std::size(kScsiEvents)];
        r.dEventContext = rng();
        r.wEventDataLength = 1;
        r.dEventData[0] = rng() % 2 == 0 ? 0 : rng();
        std::vector<uint8_t> ab(sizeof r);
        std::memcpy(ab.data(), &r, sizeof r);
        return ab;
    }

    // Rounds of commands and nonsense.  With a fault round, the IOC
    // faults then: the controller logs it and resets itself, which ends
    // the run.
    void Run(uint32_t seed, bool fFault = false) {
        std::mt19937 rng(seed);
        const std::vector<uint8_t> kInquiry = {fw::SCSI_INQUIRY, 0, 0, 0, 96, 0};
        const std::vector<uint8_t> kTestUnitReady = {0, 0, 0, 0, 0, 0};
        const uint32_t dFaultRound = fFault ? kRounds / 3 + rng() % (kRounds / 3) : kRounds;
        for (uint32_t round = 0; round < kRounds; ++round) {
            for (uint32_t n = rng() % 3; n > 0; --n) {
                const bool fInquiry = rng() % 2 == 0;
                sent.push_back(host->Submit(
                    sim::FcpCommand::To(0, fInquiry ? kInquiry : kTestUnitReady, {}, fInquiry ? 96 : 0)));
            }
            for (uint32_t n = 1 + rng() % 3; n > 0; --n) Nonsense(rng);
            if (round == dFaultRound) {
                const uint16_t wFaults = EventCount(kEventIocFault);
                Ioc().EnterFault(static_cast<uint16_t>(rng()));
                ASSERT_EQ(board->RunFor(10'000'000'000ull), sim::StopKind::Reset) << board->ConsoleText();
                EXPECT_EQ(EventCount(kEventIocFault), wFaults + 1);
                return;
            }
            ASSERT_EQ(board->RunFor(1'000'000ull * (1 + rng() % 20)), sim::StopKind::Running)
                << "round " << round << "\n" << board->ConsoleText();
        }
    }

    void ExpectEveryCommandAnsweredOnceAndAtRest() {
        const auto fAnswered = [this] {
            for (uint32_t t : sent) {
                if (!host->Finished(t)) return false;
            }
            return true;
        };
        EXPECT_TRUE(host->RunUntil(fAnswered, kAnsweredLimitNs));
        for (uint32_t t : sent) EXPECT_EQ(answers[t], 1u) << "command " << t;
        EXPECT_EQ(answers.size(), sent.size());
        const auto fAtRest = [this] {
            return fw::wGetTargetEntriesUsed() == 0 && OpenExchanges() == 0 && FreeCommandBuffers() == CommandBuffers() &&
                   RequestFramesOut() == 0;
        };
        host->RunUntil(fAtRest, kAnsweredLimitNs);
        EXPECT_EQ(fw::wGetTargetEntriesUsed(), 0) << "host entries";
        EXPECT_EQ(OpenExchanges(), 0u);
        EXPECT_EQ(FreeCommandBuffers(), CommandBuffers()) << "command buffers";
        EXPECT_EQ(RequestFramesOut(), 0) << "request frames";
        // And the port still serves.
        sim::FcpResult r;
        for (int i = 0; i < 4; ++i) {
            r = host->Send(0, {fw::SCSI_INQUIRY, 0, 0, 0, 96, 0}, {}, 96);
            if (r.outcome == sim::FcpResult::Outcome::Done && r.status == fw::SCSI_STATUS_GOOD) break;
        }
        EXPECT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
        EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD);
        EXPECT_GE(r.dataIn.size(), 36u);
    }

    std::unique_ptr<sim::Board> board;
    std::unique_ptr<sim::TaggedHost> host;
    std::vector<uint32_t> sent;
    std::map<uint32_t, unsigned> answers;
};

TEST_P(HostIocReplyFuzz, NothingBreaksAndEveryCommandIsAnsweredOnce) {
    for (uint32_t seed : {11u, 12u, 13u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        ASSERT_NO_FATAL_FAILURE(Build());
        ASSERT_NO_FATAL_FAILURE(Run(seed));
        ExpectEveryCommandAnsweredOnceAndAtRest();
        // The nonsense reached the driver, which counted what named nothing.
        EXPECT_GT(Sas() ? fw::dGetSASTargetDroppedReplies() : fw::dGetHostPortDroppedReplies(fw::LSI_IOC_HOST_PORT_1), 0u);
    }
}

// The SAS target IOC faults amid the nonsense: logged, and the controller
// resets itself; no command was answered twice on the way.  The reset
// takes the IOC out of its FAULT: the controller starts again, its host
// finds the port again, and a second run of nonsense ends with every
// command of both runs answered once and the port at rest.
// (The parallel SCSI chip's driver has no fault path.)
class IocFaultFuzz : public HostIocReplyFuzz {};

TEST_P(IocFaultFuzz, AFaultAmidTheNonsenseResetsTheControllerWhichServesAgain) {
    for (uint32_t seed : {21u, 22u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        ASSERT_NO_FATAL_FAILURE(Build());
        ASSERT_NO_FATAL_FAILURE(Run(seed, true));
        EXPECT_EQ(board->lastStop(), sim::StopKind::Reset);
        for (const auto& [tag, n] : answers) EXPECT_EQ(n, 1u) << "command " << tag;
        ASSERT_NO_FATAL_FAILURE(Start());
        ASSERT_TRUE(host->RunUntil([this] { return board->sasTargetIoc()->PortLinked(0); }));
        ASSERT_NO_FATAL_FAILURE(Run(seed + 100));
        ExpectEveryCommandAnsweredOnceAndAtRest();
    }
}

std::string KindName(const ::testing::TestParamInfo<Kind>& info) { return info.param == Kind::Sas ? "Sas" : "Scsi"; }
INSTANTIATE_TEST_SUITE_P(Ports, HostIocReplyFuzz, ::testing::Values(Kind::Sas, Kind::Scsi), KindName);
INSTANTIATE_TEST_SUITE_P(Ports, IocFaultFuzz, ::testing::Values(Kind::Sas), KindName);

}  // namespace
