#include "sim/chassis.h"

#include <cstdio>
#include <filesystem>

namespace sim {

namespace {

// The expander phys the slots hang off, slot 1 first.
constexpr int kPhyOfSlot[Chassis::kSlots] = {14, 17, 20, 23, 13, 16, 19, 22, 12, 15, 18, 21};
constexpr uint64_t kDriveSasAddressBase = 0x5005D5D000A00000ull;

}  // namespace

Chassis::Chassis(const Options& options)
    : m_expander(kExpanderSasAddress, kExpanderPhys), m_slots(kSlots) {
    if (!options.directory.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(options.directory + "/drives", ec);
    }
    for (unsigned s = 1; s <= kSlots; ++s) m_expander.phys()[kPhyOfSlot[s - 1]].slot = static_cast<int>(s);
    for (unsigned s = 1; s <= kSlots && s <= options.drives; ++s) {
        m_slots[s - 1] = std::make_unique<Drive>(DefaultDriveConfig(s, options));
    }
}

Chassis::~Chassis() = default;

DriveConfig Chassis::DefaultDriveConfig(unsigned slot, const Options& options) {
    DriveConfig c;
    c.sata = options.sata;
    c.blocks = options.driveBytes / c.blockSize;
    c.sasAddress = kDriveSasAddressBase + (static_cast<uint64_t>(slot) << 4);
    char serial[16];
    std::snprintf(serial, sizeof serial, "SIM%07u", slot);
    c.serial = serial;
    if (!options.directory.empty()) {
        c.imagePath = options.directory + "/drives/slot" + std::to_string(slot) + ".img";
    }
    return c;
}

Drive* Chassis::DriveAt(unsigned slot) {
    if (slot < 1 || slot > kSlots) return nullptr;
    return m_slots[slot - 1].get();
}

const DriveConfig* Chassis::ConfigAt(unsigned slot) const {
    if (slot < 1 || slot > kSlots || !m_slots[slot - 1]) return nullptr;
    return &m_slots[slot - 1]->config();
}

void Chassis::Pull(unsigned slot) {
    if (slot < 1 || slot > kSlots || !m_slots[slot - 1]) return;
    m_slots[slot - 1].reset();
    ++m_expander.phys()[kPhyOfSlot[slot - 1]].changeCount;
    NotifyLinkChange();
}

void Chassis::Insert(unsigned slot, const DriveConfig& config) {
    if (slot < 1 || slot > kSlots || m_slots[slot - 1]) return;
    m_slots[slot - 1] = std::make_unique<Drive>(config);
    if (m_clock) m_slots[slot - 1]->AttachClock(m_clock);
    ++m_expander.phys()[kPhyOfSlot[slot - 1]].changeCount;
    NotifyLinkChange();
}

void Chassis::AttachClock(const Clock* clock) {
    m_clock = clock;
    for (auto& drive : m_slots)
        if (drive) drive->AttachClock(clock);
}

void Chassis::DetachClock(const Clock* clock) {
    if (m_clock == clock) AttachClock(nullptr);
}

int Chassis::AddListener(std::function<void()> listener) {
    m_listeners.emplace_back(m_nextListener, std::move(listener));
    return m_nextListener++;
}

void Chassis::RemoveListener(int id) {
    std::erase_if(m_listeners, [id](const auto& l) { return l.first == id; });
}

void Chassis::NotifyLinkChange() {
    for (auto& l : m_listeners) l.second();
}

}  // namespace sim
