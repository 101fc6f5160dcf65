// The drive enclosure both controllers share: its expander and the drives
// in its slots.  Drive images live in the data directory's drives/ folder
// (or in memory when no directory is given) and survive the controllers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/drive.h"
#include "sim/expander.h"

namespace sim {

class Clock;

struct ChassisOptions {
    unsigned drives = 8;
    uint64_t driveBytes = 4ull << 30;
    bool sata = false;
    std::string directory;   // empty: memory-backed drives
};

class Chassis {
public:
    static constexpr unsigned kSlots = 12;
    static constexpr unsigned kExpanderPhys = 24;
    static constexpr uint64_t kExpanderSasAddress = 0x50A5A5A000001000ull;

    using Options = ChassisOptions;

    explicit Chassis(const Options& options = Options());
    ~Chassis();

    Expander& expander() { return m_expander; }
    const Expander& expander() const { return m_expander; }

    // Slot numbers run from 1.
    // The drive in a slot, null when the slot is empty.
    Drive* DriveAt(unsigned slot);
    const DriveConfig* ConfigAt(unsigned slot) const;
    // Pulls the drive out; its image stays on disk for a later Insert.
    void Pull(unsigned slot);
    // Puts a new drive of the given config into an empty slot.
    void Insert(unsigned slot, const DriveConfig& config);
    static DriveConfig DefaultDriveConfig(unsigned slot, const Options& options);

    // The clock the drives spin up by, for the drives there and every drive
    // inserted later; detached when its board goes away.
    void AttachClock(const Clock* clock);
    void DetachClock(const Clock* clock);

    // Called whenever a link of the expander changed.
    int AddListener(std::function<void()> listener);
    void RemoveListener(int id);
    void NotifyLinkChange();

private:
    Expander m_expander;
    std::vector<std::unique_ptr<Drive>> m_slots;   // index slot − 1; null: empty slot
    std::vector<std::pair<int, std::function<void()>>> m_listeners;
    int m_nextListener = 1;
    const Clock* m_clock = nullptr;
};

}  // namespace sim
