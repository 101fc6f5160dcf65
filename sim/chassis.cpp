#include "sim/chassis.h"

#include "sim/setup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

namespace sim {

namespace {

// The expander phys an enclosure's slots hang off, slot 1 first (the same
// in every enclosure).
constexpr int kPhyOfSlot[Chassis::kSlots] = {14, 17, 20, 23, 13, 16, 19, 22, 12, 15, 18, 21};
constexpr uint64_t kDriveSasAddressBase = 0x5005D5D000A00000ull;
// An enclosure processor's SAS address beside its expander's.
constexpr uint64_t kProcessorAddressOffset = 0x3E;

// The identity block a drive of a marked directory keeps past its blocks.
constexpr size_t kIdentityBytes = 512;
constexpr char kIdentityMagic[] = "SIMDRIVE";

void PutLe(uint8_t* p, uint64_t v, unsigned bytes) {
    for (unsigned i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::vector<uint8_t> IdentityBlock(uint64_t mark, unsigned slot, unsigned replacement, const DriveConfig& c) {
    std::vector<uint8_t> block(kIdentityBytes, 0);
    std::memcpy(block.data(), kIdentityMagic, 8);
    PutLe(block.data() + 8, mark, 8);
    PutLe(block.data() + 16, slot, 4);
    PutLe(block.data() + 20, replacement, 4);
    PutLe(block.data() + 24, c.sasAddress, 8);
    std::memcpy(block.data() + 32, c.serial.data(), std::min<size_t>(c.serial.size(), 16));
    return block;
}

// Whether the image is another drive than the one whose identity block
// follows its blocks at `offset`.  An image too short for the drive is left
// to the drive, which refuses it.
bool ImageOfAnotherDrive(const std::string& path, uint64_t offset, const std::vector<uint8_t>& block) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    std::vector<uint8_t> held(block.size());
    const bool fOther = fstat(fd, &st) == 0 && uint64_t(st.st_size) >= offset &&
                        pread(fd, held.data(), held.size(), off_t(offset)) >= 0 && held != block;
    close(fd);
    return fOther;
}

}  // namespace

void NoteNewDrive(ChassisOptions& options, unsigned slot) {
    unsigned& replacement = options.replaced[slot];
    replacement = replacement % kMaxReplacements + 1;
}

Chassis::Chassis(const Options& options)
    : m_options(options),
      m_slots(kSlots * (1 + options.expansions)),
      m_muxes(m_slots.size()),
      m_aaMuxes(options.aaMuxes),
      m_powered(m_slots.size(), true) {
    if (!options.directory.empty()) {
        const std::string drives = options.directory + "/drives";
        std::error_code ec;
        std::filesystem::create_directories(drives, ec);
        if (ec) FailSetup(drives, ec.message());
        if (!std::filesystem::is_directory(drives, ec)) FailSetup(drives, "not a directory");
    }
    m_expanders.reserve(1 + options.expansions);
    m_expanders.emplace_back(kExpanderSasAddress, kExpanderPhys);
    for (unsigned n = 1; n <= options.expansions; ++n) {
        m_expanders.emplace_back(ExpansionSasAddress(n), kExpanderPhys);
        m_expanders[n].sasLevel = static_cast<uint8_t>(n + 1);
        m_expanders[n - 1].phys()[kDownlinkPhy].expander = static_cast<int>(n);
        m_expanders[n].phys()[kUplinkPhy].expander = static_cast<int>(n - 1);
    }
    for (unsigned s = 1; s <= SlotCount(); ++s) PhyOfSlot(s).slot = static_cast<int>(s);
    // Every enclosure's processor sits on its expander's virtual phy; every
    // expander names the family's maker.  (A test makes an expansion
    // of the other model by renaming its expander and processor.)
    for (unsigned n = 0; n < m_expanders.size(); ++n) {
        m_expanders[n].phys()[kProcessorPhy].isVirtual = true;
        m_expanders[n].onPortSelect = [this](int slot, unsigned hostPort) {
            AaMux* mux = MuxAt(static_cast<unsigned>(slot));
            return mux != nullptr && mux->SelectHostPort(hostPort);
        };
        const EnclosureModel model = n == 0 ? EnclosureModel::Controller : EnclosureModel::VomaxExpansion;
        m_expanders[n].vendor = "Dunra   ";
        m_processors.push_back(
            std::make_unique<EnclosureProcessor>(*this, n, model, m_expanders[n].sasAddress() + kProcessorAddressOffset));
    }
    std::vector<unsigned> filled;
    for (unsigned s = 1; s <= kSlots; ++s) {
        if (s <= options.drives) filled.push_back(s);
        for (unsigned n = 1; n <= options.expansions && s <= options.expansionDrives; ++n) filled.push_back(n * kSlots + s);
    }
    if (!options.directory.empty()) CheckImages(filled, options);
    for (unsigned slot : filled) {
        DriveConfig config = DefaultDriveConfig(slot, m_options);
        const bool fImage = !config.imagePath.empty() && access(config.imagePath.c_str(), F_OK) == 0;
        if (!config.imagePath.empty() && options.existingImagesOnly && !fImage) {
            std::fprintf(stderr, "controller: %s: missing: slot %u holds no drive\n", config.imagePath.c_str(), slot);
            continue;
        }
        if (fImage && !options.adoptImages && !config.identityBlock.empty() &&
            ImageOfAnotherDrive(config.imagePath, config.blocks * config.blockSize, config.identityBlock)) {
            NoteNewDrive(m_options, slot);
            std::fprintf(stderr, "controller: %s: new: slot %u holds a new drive\n", config.imagePath.c_str(), slot);
            config = DefaultDriveConfig(slot, m_options);
        }
        Place(slot, config);
    }
    m_options.adoptImages = false;
}

void Chassis::Place(unsigned slot, const DriveConfig& config) {
    m_slots[slot - 1] = std::make_unique<Drive>(config);
    m_muxes[slot - 1].reset();
    if (config.sata && m_aaMuxes) {
        m_muxes[slot - 1] = std::make_unique<AaMux>();
        // A port reset drops the drive's link: its phy sees it go and come back.
        m_muxes[slot - 1]->onLinkReset = [this, slot] {
            ++PhyOfSlot(slot).changeCount;
            NotifyLinkChange();
        };
    }
    m_slots[slot - 1]->onSpinUp = [this, slot](uint64_t startNs, uint64_t readyNs) {
        m_spinUps.push_back({slot, startNs, readyNs});
    };
}

unsigned Chassis::MostSpinningUpAtOnce() const {
    // A sweep over the starts and ends; an end at the instant of a start
    // frees its place first.
    std::vector<std::pair<uint64_t, int>> edges;
    for (const SpinUp& s : m_spinUps) {
        if (s.readyNs <= s.startNs) continue;
        edges.push_back({s.startNs, +1});
        edges.push_back({s.readyNs, -1});
    }
    std::sort(edges.begin(), edges.end());
    int now = 0, most = 0;
    for (const auto& e : edges) most = std::max(most, now += e.second);
    return static_cast<unsigned>(most);
}

// Two slots on one file would be one medium written as two drives: refused
// before any image is opened or made.
void Chassis::CheckImages(const std::vector<unsigned>& slots, const Options& options) {
    std::map<std::pair<dev_t, ino_t>, unsigned> seen;
    for (unsigned slot : slots) {
        const std::string path = DefaultDriveConfig(slot, options).imagePath;
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) {
            // An image not made yet is made later; one that cannot be looked
            // at cannot be told apart from the others.
            if (errno == ENOENT) continue;
            FailSetup(path, std::strerror(errno));
        }
        auto [it, fresh] = seen.emplace(std::make_pair(st.st_dev, st.st_ino), slot);
        if (!fresh) FailSetup(path, "the same file as the image of slot " + std::to_string(it->second));
    }
}

Chassis::~Chassis() = default;

DriveConfig Chassis::DefaultDriveConfig(unsigned slot, const Options& options) {
    DriveConfig c;
    c.sata = options.sata;
    c.blocks = options.driveBytes / c.blockSize;
    const auto replaced = options.replaced.find(slot);
    const unsigned replacement = replaced == options.replaced.end() ? 0 : replaced->second;
    c.sasAddress = kDriveSasAddressBase + (static_cast<uint64_t>(replacement) << 12) + (static_cast<uint64_t>(slot) << 4);
    c.spinUpNs = options.spinUpNs;
    // Eight characters, each drive its own: the controller's drive lists
    // show no more of a serial number.  A SATA drive is known by the last
    // eight characters of its serial, so they stay what they always were.
    char serial[16];
    if (replacement == 0) {
        std::snprintf(serial, sizeof serial, "M%07u", slot % 10000000);
    } else {
        std::snprintf(serial, sizeof serial, "R%02u%05u", replacement % 100, slot % 100000);
    }
    c.serial = serial;
    // The product name tells the capacity, as a real drive's model does.
    constexpr uint64_t kGiB = 1ull << 30, kMiB = 1ull << 20;
    char product[24];
    if (options.driveBytes >= kGiB && options.driveBytes % kGiB == 0) {
        std::snprintf(product, sizeof product, "SIMDISK %lluG", static_cast<unsigned long long>(options.driveBytes / kGiB));
    } else {
        std::snprintf(product, sizeof product, "SIMDISK %lluM", static_cast<unsigned long long>(options.driveBytes / kMiB));
    }
    c.product = product;
    if (!options.directory.empty()) {
        c.imagePath = options.directory + "/drives/slot" + std::to_string(slot) + ".img";
        if (options.mark != 0) c.identityBlock = IdentityBlock(options.mark, slot, replacement, c);
    }
    return c;
}

bool Chassis::Reachable(unsigned index) const {
    if (index >= m_expanders.size()) return false;
    for (int i = ParentOf(index); i >= 0; i = ParentOf(static_cast<unsigned>(i))) {
        if (!m_expanders[static_cast<size_t>(i)].phys()[kDownlinkPhy].enabled) return false;
    }
    return true;
}

ExpanderPhy& Chassis::PhyOfSlot(unsigned slot) {
    return m_expanders[ExpanderOfSlot(slot)].phys()[static_cast<size_t>(kPhyOfSlot[(slot - 1) % kSlots])];
}

Expander* Chassis::ExpanderWithAddress(uint64_t sasAddress) {
    for (unsigned i = 0; i < expanderCount(); ++i) {
        if (m_expanders[i].sasAddress() == sasAddress) return Reachable(i) ? &m_expanders[i] : nullptr;
    }
    return nullptr;
}

Drive* Chassis::DriveAt(unsigned slot) {
    if (slot < 1 || slot > SlotCount()) return nullptr;
    return m_slots[slot - 1].get();
}

AaMux* Chassis::MuxAt(unsigned slot) {
    if (slot < 1 || slot > SlotCount()) return nullptr;
    return m_muxes[slot - 1].get();
}

bool Chassis::SlotOpenTo(unsigned slot, unsigned hostPort) {
    const AaMux* mux = MuxAt(slot);
    return mux == nullptr || mux->activeHostPort() == hostPort;
}

const DriveConfig* Chassis::ConfigAt(unsigned slot) const {
    if (slot < 1 || slot > SlotCount() || !m_slots[slot - 1]) return nullptr;
    return &m_slots[slot - 1]->config();
}

void Chassis::Pull(unsigned slot) {
    if (slot < 1 || slot > SlotCount() || !m_slots[slot - 1]) return;
    m_slots[slot - 1].reset();
    m_muxes[slot - 1].reset();
    m_processors[ExpanderOfSlot(slot)]->NoteStatusChange();
    ++PhyOfSlot(slot).changeCount;
    NotifyLinkChange();
}

void Chassis::Insert(unsigned slot, const DriveConfig& config) {
    if (slot < 1 || slot > SlotCount() || m_slots[slot - 1]) return;
    Place(slot, config);
    if (m_clock) m_slots[slot - 1]->AttachClock(m_clock);
    m_processors[ExpanderOfSlot(slot)]->NoteStatusChange();
    ++PhyOfSlot(slot).changeCount;
    NotifyLinkChange();
}

void Chassis::SetSlotPower(unsigned slot, bool on) {
    if (slot < 1 || slot > SlotCount() || m_powered[slot - 1] == on) return;
    m_powered[slot - 1] = on;
    if (on && m_slots[slot - 1]) m_slots[slot - 1]->PowerOn();
    m_processors[ExpanderOfSlot(slot)]->NoteStatusChange();
    ++PhyOfSlot(slot).changeCount;
    NotifyLinkChange();
}

bool Chassis::SlotPowered(unsigned slot) const { return slot >= 1 && slot <= SlotCount() && m_powered[slot - 1]; }

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
