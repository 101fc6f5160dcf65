// What the simulated hosts on the SAS and parallel SCSI ports share: tags
// handed out for commands, their answers kept until waited for, in the
// board's time.  Each host says how a command reaches its port.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "sim/board.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"

namespace sim {

class TaggedHost {
public:
    static constexpr uint64_t kDefaultLimitNs = 5'000'000'000ull;
    using Done = std::function<void(uint16_t tag, const FcpResult&)>;

    explicit TaggedHost(Board& board) : m_board(board) {}
    virtual ~TaggedHost() = default;
    TaggedHost(const TaggedHost&) = delete;
    TaggedHost& operator=(const TaggedHost&) = delete;

    FcpResult Send(uint16_t lun, const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& dataOut = {},
                   uint32_t dataInLength = 0, uint64_t limitNs = kDefaultLimitNs);
    FcpResult Send(const FcpCommand& command, uint64_t limitNs = kDefaultLimitNs);
    uint32_t Submit(const FcpCommand& command, uint16_t managedTag = 0);
    // A task management function to a LUN (its code, which the SAS TASK
    // frame and the parallel SCSI buffer's flags share for the functions
    // both know); ABORT TASK and QUERY TASK name a tag.  The response code
    // comes back as status.
    FcpResult TaskManagement(uint16_t lun, uint8_t function, uint16_t managedTag = 0,
                             uint64_t limitNs = kDefaultLimitNs);
    FcpResult Wait(uint32_t tag, uint64_t limitNs = kDefaultLimitNs);
    bool Finished(uint32_t tag) const;
    std::function<void(uint32_t tag, const FcpResult&)> onCompletion;

    bool RunUntil(const std::function<bool()>& done, uint64_t limitNs = kDefaultLimitNs);

protected:
    Board& board() { return m_board; }

private:
    // The command goes to the port; `done` hears its answer.
    virtual void Issue(uint16_t tag, const FcpCommand& command, uint16_t managedTag, Done done) = 0;

    Board& m_board;
    uint16_t m_nextTag = 1;
    std::map<uint32_t, FcpResult> m_results;
};

}  // namespace sim
