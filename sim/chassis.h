// The drive enclosures both controllers share: the controller enclosure's
// expander, the expanders of expansion enclosures cascaded below it, and
// the drives in their slots.  Drive images live in the data directory's
// drives/ folder (or in memory when no directory is given) and survive the
// controllers.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/aa_mux.h"
#include "sim/drive.h"
#include "sim/enclosure_processor.h"
#include "sim/expander.h"

namespace sim {

class Clock;

struct ChassisOptions {
    unsigned drives = 8;
    uint64_t driveBytes = 4ull << 30;
    bool sata = false;
    std::string directory;   // empty: memory-backed drives
    // The directory's drives were made before: a slot whose image is gone
    // holds no drive (as a pulled drive), and no image is made anew.
    bool existingImagesOnly = false;
    // Expansion enclosures cascaded below the controller enclosure, each
    // cabled to the one before, and the drives in each (from its slot 1).
    unsigned expansions = 0;
    unsigned expansionDrives = 0;
    // How long every drive takes to spin up (power-on and START alike).
    uint64_t spinUpNs = 0;
    // Slots whose drive was replaced by a new one, with the replacement's
    // number (1 to kMaxReplacements, counting round): each new drive has an
    // address and serial number of its own.
    std::map<unsigned, unsigned> replaced;
    // The directory's own mark (0: none).  With one, each image keeps past
    // its drive's blocks an identity block naming the mark, the slot and
    // the slot's replacement number; an image whose block names another
    // drive (a blank file put in its place while the program was stopped,
    // another directory's image) is a new drive in the slot, as a drive put
    // in while the power was off is.  Without one, an image is always the
    // slot's drive.
    uint64_t mark = 0;
    // The images there are the slots' drives, given their identity blocks
    // now (a directory from before marks were kept).
    bool adoptImages = false;
    // Each SATA drive sits behind an active-active multiplexer, as the
    // enclosure's SATA carriers have it, so that both controllers reach it.
    bool aaMuxes = true;
};

constexpr unsigned kMaxReplacements = 99;

// The slot holds a new drive: its replacement number moves on.
void NoteNewDrive(ChassisOptions& options, unsigned slot);

class Chassis {
public:
    // Slots and expander phys of one enclosure.
    static constexpr unsigned kSlots = 12;
    static constexpr unsigned kExpanderPhys = 25;
    // The virtual phy of every expander: its enclosure processor.
    static constexpr unsigned kProcessorPhy = 24;
    static constexpr uint64_t kExpanderSasAddress = 0x50A5A5A000001000ull;
    // Expansion enclosure n (from 1): its expander's SAS address.  Bits 7
    // and 8 of the low word name the side and path it is cabled to: every
    // second expansion hangs on the other path.
    static constexpr uint64_t ExpansionSasAddress(unsigned n) {
        return 0x5005D5D000B00000ull + (static_cast<uint64_t>(n) << 12) + ((n + 1) % 2) * 0x180;
    }
    // The phy of an expander cabled down to the next enclosure, and the one
    // of the next enclosure's expander that cable reaches.
    static constexpr unsigned kDownlinkPhy = 4;
    static constexpr unsigned kUplinkPhy = 0;

    using Options = ChassisOptions;

    explicit Chassis(const Options& options = Options());
    ~Chassis();
    // The options made with, with the new drives found in the slots since.
    const Options& options() const { return m_options; }

    // Expander 0 is the controller enclosure's, expander n expansion n's.
    Expander& expander(unsigned index = 0) { return m_expanders[index]; }
    const Expander& expander(unsigned index = 0) const { return m_expanders[index]; }
    unsigned expanderCount() const { return static_cast<unsigned>(m_expanders.size()); }
    // Enclosure n's processor (0: the controller enclosure's).
    EnclosureProcessor& processor(unsigned index = 0) { return *m_processors[index]; }
    const EnclosureProcessor& processor(unsigned index = 0) const { return *m_processors[index]; }
    // An expander the controllers reach: every downlink above it is up.
    bool Reachable(unsigned index) const;
    // The expander that expanders[index] hangs off (-1: the controllers).
    static int ParentOf(unsigned index) { return static_cast<int>(index) - 1; }
    // The expander a slot's drive is attached to, with its phy.
    unsigned ExpanderOfSlot(unsigned slot) const { return (slot - 1) / kSlots; }
    ExpanderPhy& PhyOfSlot(unsigned slot);
    // The expander with that SAS address, null when none is reachable.
    Expander* ExpanderWithAddress(uint64_t sasAddress);

    // Slot numbers run from 1, kSlots to an enclosure, the controller
    // enclosure's first, then each expansion's.
    unsigned SlotCount() const { return static_cast<unsigned>(m_slots.size()); }
    // The drive in a slot, null when the slot is empty.
    Drive* DriveAt(unsigned slot);
    const DriveConfig* ConfigAt(unsigned slot) const;
    // The multiplexer in front of a slot's drive, null when there is none.
    AaMux* MuxAt(unsigned slot);
    // Whether the controller on host port `hostPort` (0: slot 1, 1: slot 2)
    // reaches the slot's drive: always, unless a multiplexer gives the
    // drive to the other controller.
    bool SlotOpenTo(unsigned slot, unsigned hostPort);
    // Pulls the drive out; its image stays on disk for a later Insert.
    void Pull(unsigned slot);
    // Puts a new drive of the given config into an empty slot.
    void Insert(unsigned slot, const DriveConfig& config);
    static DriveConfig DefaultDriveConfig(unsigned slot, const Options& options);
    // Slot power, as the enclosure processor switches it: off takes the
    // drive off its phy (its image stays), on brings it back through
    // power-on and spin-up.  Every slot starts powered.
    void SetSlotPower(unsigned slot, bool on);
    bool SlotPowered(unsigned slot) const;
    const Clock* clock() const { return m_clock; }

    // The clock the drives spin up by, for the drives there and every drive
    // inserted later; detached when its board goes away.
    void AttachClock(const Clock* clock);
    void DetachClock(const Clock* clock);

    // Every spin-up a command started, in order: tests see how many drives
    // spun up at once.
    struct SpinUp {
        unsigned slot;
        uint64_t startNs;
        uint64_t readyNs;
    };
    const std::vector<SpinUp>& SpinUpLog() const { return m_spinUps; }
    unsigned MostSpinningUpAtOnce() const;

    // Called whenever a link of an expander changed.
    int AddListener(std::function<void()> listener);
    void RemoveListener(int id);
    void NotifyLinkChange();

private:
    static void CheckImages(const std::vector<unsigned>& slots, const Options& options);
    void Place(unsigned slot, const DriveConfig& config);

    Options m_options;
    std::vector<Expander> m_expanders;
    std::vector<std::unique_ptr<Drive>> m_slots;   // index slot − 1; null: empty slot
    std::vector<std::unique_ptr<AaMux>> m_muxes;   // index slot − 1; with the drive's carrier
    bool m_aaMuxes = true;
    std::vector<bool> m_powered;                   // index slot − 1
    std::vector<std::unique_ptr<EnclosureProcessor>> m_processors;   // by expander
    std::vector<std::pair<int, std::function<void()>>> m_listeners;
    int m_nextListener = 1;
    const Clock* m_clock = nullptr;
    std::vector<SpinUp> m_spinUps;
};

}  // namespace sim
