// What every bridge from the iSCSI portal to the controller's host ports
// does alike, whatever carries the commands (an FC exchange, a SAS frame):
// an iSCSI task becomes a host command, and the command's end becomes the
// task's answer, with the residual a host must hear of and the ABORT TASK
// requests that wait for the task they name.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/fc_fabric.h"
#include "sim/iscsi_portal.h"

namespace sim {

// A stable 64-bit hash of an iSCSI initiator name: a host's names on the
// host ports are made from it, the same from one run to the next, so the
// controller's mappings for that host hold.  `instance` tells apart the
// sessions one host runs at once.
uint64_t InitiatorNameHash(const std::string& initiatorName, unsigned instance);

// A bridge's targets: one for each host port, named by a prefix and the
// port's own suffix.
class HostPortTargets : public IscsiTargets {
public:
    std::vector<std::string> TargetNames() const override;

protected:
    explicit HostPortTargets(std::string namePrefix) : m_namePrefix(std::move(namePrefix)) {}
    void AddTargetName(std::string suffix) { m_suffixes.push_back(std::move(suffix)); }
    // The first of the host's names (`nameFor` of its iSCSI name and an
    // instance) that no live session holds, held until released: a host
    // running several sessions at once gets one initiator for each.
    uint64_t HoldName(const std::string& initiatorName, uint64_t (*nameFor)(const std::string&, unsigned));
    void ReleaseName(uint64_t name) { m_held.erase(name); }

private:
    std::string m_namePrefix;
    std::vector<std::string> m_suffixes;
    std::set<uint64_t> m_held;
};

class HostCommandNexus : public IscsiNexus {
protected:
    // The host command for a task.  Its expected length is kept until the
    // task ends, to tell a short transfer the target did not report.
    FcpCommand CommandFor(uint32_t tag, IscsiTask task);
    // A task management function's command: a LUN and nothing else.
    static FcpCommand FunctionFor(uint64_t lun);

    // The task ended at the target (a task management function's end is the
    // bridge's own).  The data and sense are taken from `r`, not copied; the
    // ABORT TASK requests that waited for it are answered after it.
    void FinishTask(uint32_t tag, FcpResult& r);
    // The task ends before it reached the target: nothing is told.
    void ForgetTask(uint32_t tag) { m_expected.erase(tag); }

    // An ABORT TASK of `task`, answered when the task ends.  TRUE for the
    // first abort of the task, which the bridge sends on; a second waits for
    // the same end.
    bool AwaitEnd(uint32_t abortTag, uint32_t task);
    // The abort of `task` could not be carried out: its requests are
    // answered with `response` and the task goes on.
    void RefuseAborts(uint32_t task, uint8_t response);

    // Task management functions under way: a task the target ends without a
    // response meanwhile was aborted by one; otherwise it was lost.
    unsigned m_functionsUnderWay = 0;

    // The host port went dark (power, link, a reset of its chip): a task it
    // ends unanswered is lost with it.
    virtual bool PortGone() const { return false; }

private:
    // A response without a residual still moved what it moved: fewer bytes
    // than the host expected is an underflow it must hear of.
    void NoteShortTransfer(uint32_t tag, const FcpResult& r, IscsiTaskResult* result);

    struct Expected {
        uint32_t length;  // the host's expected data transfer length
        bool write;
    };
    std::map<uint32_t, Expected> m_expected;                // by iSCSI tag
    std::map<uint32_t, std::vector<uint32_t>> m_aborts;     // ABORT TASK tags, by the task they name
};

}  // namespace sim
