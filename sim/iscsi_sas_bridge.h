// The iSCSI portal's targets on a board with SAS host ports: one target per
// port of the target IOC, and for each iSCSI session one SAS initiator
// linked to that port, so the firmware sees a host arrive, COMMAND and TASK
// frames, and the host leave, exactly as from a SAS host.
//
// The bridge holds the links of its ports, as an expander between hosts and
// the controller would: a session's initiator arrives and leaves behind
// that link, and a port does not lose its link (and with it every command
// it holds) when its last session ends.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/iscsi_host_nexus.h"
#include "sim/sas_target_ioc.h"

namespace sim {

class IscsiSasBridge : public HostPortTargets {
public:
    // A port of a target IOC (0 the first), the target named `namePrefix`
    // + its suffix.
    struct Target {
        SasTargetIoc* ioc;
        uint8_t port;
        std::string suffix;
    };
    explicit IscsiSasBridge(std::vector<Target> targets,
                            std::string namePrefix = "iqn.2026-12.sim.array-controller:");

    std::unique_ptr<IscsiNexus> Open(size_t index, const std::string& initiatorName) override;

    // The SAS address an initiator of this name gets: the same from one run
    // to the next, so the controller's mappings for that host hold.
    static uint64_t SasAddressFor(const std::string& initiatorName, unsigned instance = 0);

    // Told of every session opened: the iSCSI initiator's name, the target
    // (0 for the first) and the SAS address standing for it, which an
    // operator needs to map LUNs to that host.
    std::function<void(const std::string& initiatorName, size_t target, uint64_t sasAddress)> onSession;

private:
    friend class SasNexus;
    std::vector<Target> m_targets;
    // The block length each host's logical units answered READ CAPACITY
    // with, by SAS address and LUN: a write whose CDB asks more than the
    // iSCSI expected length is cut to the whole blocks that length holds.
    std::map<std::pair<uint64_t, uint16_t>, uint32_t> m_blockBytes;
};

}  // namespace sim
