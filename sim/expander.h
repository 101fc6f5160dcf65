// A SAS expander of the drive enclosure: its phys, what each one attaches,
// the link state and change count the drive-side controller reports for
// it, and the SMP functions the firmware sends it.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace sim {

struct ExpanderPhy {
    int slot = -1;              // chassis slot attached here (-1: none)
    int expander = -1;          // chassis expander cabled here (-1: none)
    bool isVirtual = false;     // the enclosure's own SES target
    bool enabled = true;        // PHY CONTROL disable clears it
    bool portSelector = false;  // a SATA port selector sits on this phy
    bool selectorActive = false; // it passes this controller's path
    bool selectorStuck = false;  // port-select signals do not switch it
    bool refusesControl = false; // PHY CONTROL fails, the phy left as it is
    uint8_t changeCount = 0;    // moves with every link change
    uint32_t linkResets = 0;
    uint32_t invalidDwords = 0, disparityErrors = 0, lossOfSync = 0, resetProblems = 0;
};

class Expander {
public:
    Expander(uint64_t sasAddress, unsigned numPhys);

    uint64_t sasAddress() const { return m_sasAddress; }
    std::vector<ExpanderPhy>& phys() { return m_phys; }
    const std::vector<ExpanderPhy>& phys() const { return m_phys; }
    // The phy a chassis slot hangs off, or -1.
    int PhyOfSlot(int slot) const;

    std::string vendor = "SIMEXPND";
    std::string product = "Vomax expansion ";
    std::string revision = "0100";
    uint8_t sasLevel = 1;
    bool responding = true;     // false: SMP requests are never answered
    uint32_t manufacturerQueries = 0;  // REPORT MANUFACTURER INFORMATION answered

    // Runs an SMP request that came in on `hostPort` (0: from the
    // controller in slot 1, 1: from the one in slot 2); returns the response
    // frame (empty: no answer).  `linkChanged` is set when the request
    // changed a phy's link.
    std::vector<uint8_t> Smp(std::span<const uint8_t> request, bool& linkChanged, unsigned hostPort = 0);

    // A port selection signal sent down a slot's phy reaches the
    // multiplexer in front of the slot's drive: true when it passed the
    // drive to that host port.
    std::function<bool(int slot, unsigned hostPort)> onPortSelect;

private:
    uint64_t m_sasAddress;
    std::vector<ExpanderPhy> m_phys;
};

}  // namespace sim
