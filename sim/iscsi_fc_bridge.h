// The iSCSI portal's targets on the simulated Fibre Channel fabric: one
// target per host port, and for each iSCSI session one FC initiator on that
// port, so the firmware sees a login, FCP commands, task management and a
// logout exactly as from an FC host.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/fc_fabric.h"
#include "sim/iscsi_host_nexus.h"

namespace sim {

class IscsiFcBridge : public HostPortTargets {
public:
    // `ports` are the controller's host ports in order; target n is named
    // `namePrefix` + "port" + n.
    IscsiFcBridge(FcFabric& fabric, std::vector<FcTargetPort*> ports,
                  std::string namePrefix = "iqn.2026-12.sim.array-controller:");
    // Host ports on fabrics of their own (two controllers: ports 1 of both
    // on one fabric, ports 2 on another), each target named `namePrefix` +
    // its suffix.
    struct Target {
        FcFabric* fabric;
        FcTargetPort* port;
        std::string suffix;
    };
    explicit IscsiFcBridge(std::vector<Target> targets, std::string namePrefix = "iqn.2026-12.sim.array-controller:");

    std::unique_ptr<IscsiNexus> Open(size_t index, const std::string& initiatorName) override;

    // The port name an initiator of this name gets on the fabric: the same
    // from one run to the next, so the controller's host mappings hold.
    static uint64_t PortNameFor(const std::string& initiatorName, unsigned instance = 0);

    // Told of every session opened: the iSCSI initiator's name, the host
    // port (0 for the first) and the FC initiator standing for it, whose
    // names an operator needs to map LUNs to that host.
    std::function<void(const std::string& initiatorName, size_t port, const FcInitiator& initiator)> onSession;

private:
    friend class FcNexus;
    std::vector<Target> m_targets;
};

}  // namespace sim
