#include "sim/flash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim/board.h"
#include "sim/setup.h"

namespace sim {

namespace {

uint32_t XorWords(const uint8_t* bytes, uint32_t length) {
    uint32_t x = 0;
    for (uint32_t at = 0; at < length; at += 4) {
        uint32_t word = 0;
        std::memcpy(&word, bytes + at, std::min<uint32_t>(4, length - at));
        x ^= word;
    }
    return x;
}

std::vector<uint8_t> Elf(uint32_t bytes, uint32_t seed) {
    std::vector<uint8_t> elf(bytes, 0);
    const uint8_t ident[] = {0x7F, 'E', 'L', 'F', fw::ELF_CLASS_32, fw::ELF_DATA_LITTLE, 1};
    std::memcpy(elf.data(), ident, sizeof ident);
    elf[16] = 2;   // an executable
    elf[fw::ELF_MACHINE_OFFSET] = fw::ELF_MACHINE_ARM;
    for (uint32_t i = fw::ELF32_HEADER_BYTES; i < bytes; ++i) {
        elf[i] = static_cast<uint8_t>(seed * 29 + i * 7 + (i >> 9));
    }
    return elf;
}

fw::FLASH_SLOT_RECORD Record(uint32_t sequence, const std::vector<uint8_t>& image) {
    fw::FLASH_SLOT_RECORD r{fw::FLASH_SLOT_MAGIC, sequence, static_cast<uint32_t>(image.size()),
                            XorWords(image.data(), static_cast<uint32_t>(image.size())), 0};
    r.dRecordCheck = ~(r.dMagic ^ r.dSequence ^ r.dImageLength ^ r.dImageChecksum);
    return r;
}

}  // namespace

std::vector<uint8_t> Flash::BuildImage(uint32_t elfBytes, uint32_t seed, bool secondElf) {
    const std::vector<uint8_t> elf = Elf(elfBytes, seed);
    fw::FIRMWARE_IMAGE_HEADER h{};
    std::memcpy(h.abSignature, fw::FIRMWARE_SIGNATURE, sizeof h.abSignature);
    h.bVersion = fw::FIRMWARE_HEADER_VERSION;
    h.dElfOffset = sizeof h;
    h.dElfLength = elfBytes;
    h.dChecksum = XorWords(elf.data(), elfBytes);
    // Sized first and filled, not grown: GCC 12's optimiser misreads the
    // growth of a vector this small (-Warray-bounds).
    std::vector<uint8_t> image(sizeof h + elf.size());
    std::copy(elf.begin(), elf.end(), image.begin() + sizeof h);
    if (secondElf) {
        const std::vector<uint8_t> second = Elf(elfBytes, seed + 1);
        h.dSecondElfOffset = static_cast<uint32_t>(image.size());
        h.dSecondElfLength = elfBytes;
        h.dSecondChecksum = XorWords(second.data(), elfBytes);
        image.insert(image.end(), second.begin(), second.end());
    }
    h.dImageLength = static_cast<uint32_t>(image.size());
    std::memcpy(image.data(), &h, sizeof h);
    return image;
}

std::vector<uint8_t> Flash::FactoryImage() { return BuildImage(16384, 1); }

Flash::Flash(Board& board, const std::string& path, bool newBoard) : m_board(board), m_data(fw::FLASH_SIZE, 0xFF) {
    bool fresh = true;
    if (!path.empty()) {
        fresh = access(path.c_str(), F_OK) != 0;
        m_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0) FailSetup(path, std::strerror(errno));
        struct stat st {};
        const ssize_t whole = static_cast<ssize_t>(m_data.size());
        if (fstat(m_fd, &st) != 0) FailSetup(path, std::strerror(errno));
        if (!S_ISREG(st.st_mode)) FailSetup(path, "not a flash image; move it away or choose another --data-dir");
        if (!fresh && (st.st_size != whole || pread(m_fd, m_data.data(), m_data.size(), 0) != whole)) {
            // What was in it, an update installed before among it, is gone:
            // the board says so rather than start the factory image quietly.
            std::fprintf(stderr,
                         "controller: %s: %lld bytes, not a whole flash image (%lld): written again with the factory "
                         "firmware image; an update installed before is gone\n",
                         path.c_str(), static_cast<long long>(st.st_size), static_cast<long long>(whole));
            fresh = true;
            m_restored = true;
            std::fill(m_data.begin(), m_data.end(), 0xFF);
        } else if (fresh && !newBoard) {
            std::fprintf(stderr,
                         "controller: %s: missing: written again with the factory firmware image; an update "
                         "installed before is gone\n",
                         path.c_str());
            m_restored = true;
        }
    }
    if (!fresh) {
        if (BootSlot() < 0) {
            // The boot ROM would find nothing to start and the board would stay
            // dark: refused, with what is wrong in each slot.
            std::string why = "no firmware image to start";
            for (int slot = 0; slot < static_cast<int>(fw::FLASH_SLOTS); ++slot) {
                fw::FLASH_SLOT_RECORD r;
                why += std::string(slot == 0 ? " (" : "; ") + "slot " + std::to_string(slot) + ": " + SlotFault(slot, &r);
            }
            FailSetup(path, why + "); move it away to start from the factory image (an update installed on it is "
                                  "lost with it)");
        }
        return;
    }
    // From the factory: the first image in slot 0, sequence 1.
    const std::vector<uint8_t> image = FactoryImage();
    std::memcpy(m_data.data(), image.data(), image.size());
    const fw::FLASH_SLOT_RECORD r = Record(1, image);
    std::memcpy(m_data.data() + fw::FLASH_SLOT_RECORD_OFFSET, &r, sizeof r);
    if (m_fd >= 0 && (ftruncate(m_fd, 0) != 0 ||
                      pwrite(m_fd, m_data.data(), m_data.size(), 0) != static_cast<ssize_t>(m_data.size()))) {
        FailSetup(path, std::strerror(errno));
    }
}

Flash::~Flash() {
    if (m_fd >= 0) close(m_fd);
}

void Flash::LoadContents(const std::vector<uint8_t>& contents) {
    m_data = contents;
    m_data.resize(fw::FLASH_SIZE, 0xFF);
    if (m_fd >= 0 && pwrite(m_fd, m_data.data(), m_data.size(), 0) < 0) {
        close(m_fd);
        m_fd = -1;
    }
}

uint32_t Flash::Read(uint32_t address, unsigned width) {
    if (address >= kWindowBase) {
        const uint32_t offset = address - kWindowBase;
        uint32_t value = 0;
        if (offset < m_data.size()) {
            std::memcpy(&value, m_data.data() + offset, std::min<uint32_t>(width, fw::FLASH_SIZE - offset));
        }
        return value;
    }
    switch (address - kCtrlBase) {
    case fw::FLASH_REG_ADDRESS: return m_address;
    case fw::FLASH_REG_DATA: return m_dataWord;
    case fw::FLASH_REG_STATUS:
        return (m_board.clock().Now() < m_busyUntil ? fw::FLASH_STATUS_BUSY : 0) | m_status;
    default: return 0;
    }
}

void Flash::Write(uint32_t address, uint32_t value, unsigned) {
    if (address >= kWindowBase) return;   // the window is read-only: the array changes by command
    switch (address - kCtrlBase) {
    case fw::FLASH_REG_COMMAND: Command(value); break;
    case fw::FLASH_REG_ADDRESS: m_address = value; break;
    case fw::FLASH_REG_DATA: m_dataWord = value; break;
    default: break;
    }
}

void Flash::Command(uint32_t command) {
    m_status = 0;
    const uint64_t now = m_board.clock().Now();
    if (now < m_busyUntil) {
        m_status = fw::FLASH_STATUS_ERROR;
        return;
    }
    if (command == fw::FLASH_CMD_PROGRAM) {
        const uint32_t offset = m_address & ~3u;
        if (offset >= fw::FLASH_SIZE || failPrograms) {
            m_status = fw::FLASH_STATUS_ERROR;
            return;
        }
        uint32_t old = 0;
        std::memcpy(&old, m_data.data() + offset, 4);
        // NOR cells only go from 1 to 0; a 1 asked over a 0 stays 0.
        const uint32_t stored = old & m_dataWord;
        if (stored != m_dataWord) m_status = fw::FLASH_STATUS_ERROR;
        if (leakyCell >= 0 && (leakyCell < int64_t(offset) || leakyCell >= int64_t(offset) + 4)) {
            const uint8_t leaked = m_data[size_t(leakyCell)] | 1;
            if (leaked != m_data[size_t(leakyCell)]) Store(uint32_t(leakyCell), &leaked, 1);
        }
        m_busyUntil = now + kProgramNs;
        Store(offset, reinterpret_cast<const uint8_t*>(&stored), 4);
    } else if (command == fw::FLASH_CMD_ERASE_SECTOR) {
        const uint32_t offset = m_address & ~(fw::FLASH_SECTOR_SIZE - 1);
        if (offset >= fw::FLASH_SIZE || failErases) {
            m_status = fw::FLASH_STATUS_ERROR;
            return;
        }
        m_busyUntil = now + kEraseNs;
        Store(offset, nullptr, fw::FLASH_SECTOR_SIZE);
    } else {
        m_status = fw::FLASH_STATUS_ERROR;
    }
}

void Flash::Store(uint32_t offset, const uint8_t* bytes, uint32_t length) {
    // A store may be the last before the power fails, which does not come
    // back here: nothing is held on the heap across it.
    if (bytes) {
        std::memcpy(m_data.data() + offset, bytes, length);
    } else {
        std::memset(m_data.data() + offset, 0xFF, length);
    }
    if (m_fd >= 0 && pwrite(m_fd, m_data.data() + offset, length, offset) != static_cast<ssize_t>(length)) {
        close(m_fd);
        m_fd = -1;
    }
    ++m_stores;
    if (m_cutAfter != 0 && --m_cutAfter == 0) m_board.StopProcessor(StopKind::PowerCut);
}

bool Flash::SlotValid(int slot, fw::FLASH_SLOT_RECORD* record) const { return SlotFault(slot, record) == nullptr; }

const char* Flash::SlotFault(int slot, fw::FLASH_SLOT_RECORD* record) const {
    const uint32_t base = static_cast<uint32_t>(slot) * fw::FLASH_SLOT_SIZE;
    std::memcpy(record, m_data.data() + base + fw::FLASH_SLOT_RECORD_OFFSET, sizeof *record);
    const fw::FLASH_SLOT_RECORD& r = *record;
    const uint32_t check = ~(r.dMagic ^ r.dSequence ^ r.dImageLength ^ r.dImageChecksum);
    if (r.dMagic != fw::FLASH_SLOT_MAGIC) return "no slot record";
    if (r.dRecordCheck != check) return "its slot record is damaged";
    if (r.dImageLength < sizeof(fw::FIRMWARE_IMAGE_HEADER) || r.dImageLength > fw::FLASH_IMAGE_MAX) {
        return "its slot record gives an impossible image length";
    }
    const uint8_t* image = m_data.data() + base;
    if (std::memcmp(image, fw::FIRMWARE_SIGNATURE, fw::FIRMWARE_SIGNATURE_BYTES) != 0) {
        return "its image has no firmware signature";
    }
    if (XorWords(image, r.dImageLength) != r.dImageChecksum) return "its image does not match its checksum";
    return nullptr;
}

int Flash::BootSlot() const {
    int best = -1;
    uint32_t bestSequence = 0;
    for (int slot = 0; slot < static_cast<int>(fw::FLASH_SLOTS); ++slot) {
        fw::FLASH_SLOT_RECORD r;
        if (SlotValid(slot, &r) && (best < 0 || r.dSequence > bestSequence)) {
            best = slot;
            bestSequence = r.dSequence;
        }
    }
    return best;
}

uint32_t Flash::SlotSequence(int slot) const {
    fw::FLASH_SLOT_RECORD r;
    return SlotValid(slot, &r) ? r.dSequence : 0;
}

std::vector<uint8_t> Flash::SlotImage(int slot) const {
    fw::FLASH_SLOT_RECORD r;
    if (slot < 0 || !SlotValid(slot, &r)) return {};
    const auto begin = m_data.begin() + static_cast<long>(slot) * fw::FLASH_SLOT_SIZE;
    return std::vector<uint8_t>(begin, begin + r.dImageLength);
}

}  // namespace sim
