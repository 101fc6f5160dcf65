#include "sim/vsc7156.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "sim/board.h"

namespace sim {

namespace {

std::map<const Board*, std::unique_ptr<Vsc7156>>& Models() {
    static std::map<const Board*, std::unique_ptr<Vsc7156>> models;
    return models;
}

uint32_t Be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

void PutBe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// Opens a memory's file and loads its `size` bytes; false when it is new
// (or short).
bool OpenMemory(const std::string& path, std::vector<uint8_t>& bytes, size_t size, int* fd) {
    if (path.empty()) return false;
    const bool fresh = access(path.c_str(), F_OK) != 0;
    *fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (*fd < 0 || fresh) return false;
    bytes.resize(size);
    return pread(*fd, bytes.data(), size, 0) == static_cast<ssize_t>(size);
}

}  // namespace

void Vsc7156::AttachTo(Board& board) {
    auto model = std::make_unique<Vsc7156>(board, board.config().dataDir);
    Vsc7156* p = model.get();
    Models()[&board] = std::move(model);
    board.bus().Map(fw::VSC_SPI_CONTROL, 6, p);
    board.bus().Map(fw::VSC_SPI_WINDOW, fw::VSC_PAGE_SIZE, p);
    board.i2c().Attach(fw::VSC_SEEPROM_UNIT, fw::VSC_SEEPROM_ADDRESS, &p->m_seeprom);
}

void Vsc7156::DetachFrom(const Board& board) { Models().erase(&board); }

Vsc7156& Vsc7156::Of(const Board& board) { return *Models().at(&board); }

// Made once per program: every new board's flash starts as a copy.
std::vector<uint8_t> Vsc7156::FactoryFlash() {
    static const std::vector<uint8_t> factory = [] {
        std::vector<uint8_t> flash(fw::VSC_FLASH_SIZE, 0xFF);
        for (uint32_t i = 0; i < fw::VSC_BOOT_IMAGE_BYTES; ++i) flash[i] = fw::bVsc7156BootImageByte(i);
        std::vector<uint8_t> image(fw::VSC_CARRIED_IMAGE_BYTES);
        for (uint32_t i = 0; i < image.size(); ++i) image[i] = fw::bVsc7156CarriedImageByte(i);
        WriteSlot(flash, 0, image, fw::VSC_CARRIED_REV_ID, 1);
        return flash;
    }();
    return factory;
}

// The identity the controller gives a new board: its SAS address from the
// WWN programmed into the board's NVRAM and its slot, the default vendor
// and product identification.
std::vector<uint8_t> Vsc7156::FactorySeeprom() const {
    std::vector<uint8_t> bytes(fw::VSC_SEEPROM_BYTES, 0xFF);
    const BoardConfig& c = m_board.config();
    uint64_t wwn = 0;
    const uint8_t* programmed = m_board.nvram().Data() + Nvram::kFactoryWwnOffset;
    for (int i = 0; i < 8; ++i) wwn = wwn << 8 | programmed[i];
    const uint64_t sas = 5ull << 60 | (wwn & 0xFFFFFFFFFFFFull) << 12 | (c.slot1 ? 0x400 : 0x800);
    const uint8_t vendor[8] = {'D', 'u', 'n', 'r', 'a', ' ', ' ', ' '};
    const char* product = "Vomax fibre     ";
    fw::BuildVsc7156SeepromImage(bytes.data(), sas, vendor, reinterpret_cast<const uint8_t*>(product),
                                 c.slot1 ? 1 : 2);
    return bytes;
}

void Vsc7156::WriteSlot(std::vector<uint8_t>& flash, int slot, const std::vector<uint8_t>& image, const char* revId,
                        uint32_t sequence) {
    std::copy(image.begin(), image.end(), flash.begin() + fw::VSC_SLOT_IMAGE[slot]);
    uint8_t* t = flash.data() + fw::VSC_SLOT_TRAILER[slot];
    std::memset(t, 0, fw::VSC_TRAILER_BYTES);
    PutBe32(t + fw::VSC_TRAILER_SEQUENCE, sequence);
    PutBe32(t + fw::VSC_TRAILER_SIZE, static_cast<uint32_t>(image.size()));
    std::memcpy(t + fw::VSC_TRAILER_REV_ID, revId, fw::VSC_REV_ID_BYTES);
    const uint16_t crc = fw::wVsc7156Crc16(image.data(), static_cast<uint32_t>(image.size()));
    t[fw::VSC_TRAILER_CRC] = static_cast<uint8_t>(crc >> 8);
    t[fw::VSC_TRAILER_CRC + 1] = static_cast<uint8_t>(crc);
    std::memcpy(t + fw::VSC_TRAILER_SIGNATURE, fw::VSC_TRAILER_SIGNATURE_TEXT, 4);
}

Vsc7156::Vsc7156(Board& board, const std::string& dataDir) : m_board(board) {
    m_seeprom.owner = this;
    const std::string dir = dataDir.empty() ? "" : dataDir + "/";
    if (!OpenMemory(dataDir.empty() ? "" : dir + "vsc7156_flash.bin", m_flash, fw::VSC_FLASH_SIZE, &m_flashFd)) {
        m_flash = FactoryFlash();
        Persist(m_flashFd, m_flash.data(), 0, fw::VSC_FLASH_SIZE);
    }
    // A new SEEPROM is written for the WWN the board carries when it is
    // first read: a test may program the WWN after making the board.
    m_seeprom.factoryPending =
        !OpenMemory(dataDir.empty() ? "" : dir + "vsc7156_seeprom.bin", m_seeprom.bytes, fw::VSC_SEEPROM_BYTES,
                    &m_seepromFd);
}

Vsc7156::~Vsc7156() {
    if (m_flashFd >= 0) close(m_flashFd);
    if (m_seepromFd >= 0) close(m_seepromFd);
}

void Vsc7156::Persist(int fd, const uint8_t* bytes, uint32_t offset, uint32_t length) {
    if (fd >= 0 && pwrite(fd, bytes + offset, length, offset) != static_cast<ssize_t>(length)) {
        // A data directory that stops taking writes leaves the memory in RAM.
        if (fd == m_flashFd) m_flashFd = -1;
        if (fd == m_seepromFd) m_seepromFd = -1;
        close(fd);
    }
}

void Vsc7156::LoadFlash(const std::vector<uint8_t>& contents) {
    m_flash = contents;
    m_flash.resize(fw::VSC_FLASH_SIZE, 0xFF);
    Persist(m_flashFd, m_flash.data(), 0, fw::VSC_FLASH_SIZE);
}

const std::vector<uint8_t>& Vsc7156::Seeprom() {
    m_seeprom.Program();
    return m_seeprom.bytes;
}

void Vsc7156::SeepromPart::Program() {
    if (!factoryPending) return;
    factoryPending = false;
    bytes = owner->FactorySeeprom();
    owner->Persist(owner->m_seepromFd, bytes.data(), 0, fw::VSC_SEEPROM_BYTES);
}

void Vsc7156::LoadSeeprom(const std::vector<uint8_t>& contents) {
    m_seeprom.factoryPending = false;
    m_seeprom.bytes = contents;
    m_seeprom.bytes.resize(fw::VSC_SEEPROM_BYTES, 0xFF);
    Persist(m_seepromFd, m_seeprom.bytes.data(), 0, fw::VSC_SEEPROM_BYTES);
}

uint32_t Vsc7156::SlotSequence(int slot) const {
    return Be32(m_flash.data() + fw::VSC_SLOT_TRAILER[slot] + fw::VSC_TRAILER_SEQUENCE);
}

int Vsc7156::BootSlot() const {
    int best = -1;
    for (int slot = 0; slot < static_cast<int>(fw::VSC_SLOTS); ++slot) {
        const uint8_t* t = m_flash.data() + fw::VSC_SLOT_TRAILER[slot];
        const uint32_t size = Be32(t + fw::VSC_TRAILER_SIZE);
        if (std::memcmp(t + fw::VSC_TRAILER_SIGNATURE, fw::VSC_TRAILER_SIGNATURE_TEXT, 4) != 0 || size == 0 ||
            size > fw::VSC_SLOT_IMAGE_MAX) {
            continue;
        }
        const uint16_t crc = static_cast<uint16_t>(t[fw::VSC_TRAILER_CRC] << 8 | t[fw::VSC_TRAILER_CRC + 1]);
        if (fw::wVsc7156Crc16(m_flash.data() + fw::VSC_SLOT_IMAGE[slot], size) != crc) continue;
        if (best < 0 || SlotSequence(slot) >= SlotSequence(best)) best = slot;
    }
    return best;
}

std::string Vsc7156::RunningRevId() const {
    const int slot = BootSlot();
    if (slot < 0) return "";
    const uint8_t* id = m_flash.data() + fw::VSC_SLOT_TRAILER[slot] + fw::VSC_TRAILER_REV_ID;
    return std::string(reinterpret_cast<const char*>(id), fw::VSC_REV_ID_BYTES);
}

bool Vsc7156::Busy() const { return neverReady || m_board.clock().Now() < m_busyUntil; }

uint32_t Vsc7156::Read(uint32_t address, unsigned) {
    if (address >= fw::VSC_SPI_WINDOW) {
        const uint32_t at = (address - fw::VSC_SPI_WINDOW) & ~1u;
        return static_cast<uint32_t>(m_window[at]) << 8 | m_window[at + 1];
    }
    switch (address) {
    case fw::VSC_SPI_CONTROL:
        // READ STATUS runs until the part shows ready.
        if (m_statusPending && !Busy()) {
            m_statusPending = false;
            m_control = static_cast<uint16_t>((m_control | fw::VSC_SPI_READY) & ~fw::VSC_SPI_START);
        }
        return m_control;
    case fw::VSC_SPI_OPCODE: return m_opcode;
    case fw::VSC_SPI_ADDRESS: return m_address;
    default: return 0;
    }
}

void Vsc7156::Write(uint32_t address, uint32_t value, unsigned) {
    if (address >= fw::VSC_SPI_WINDOW) {
        const uint32_t at = (address - fw::VSC_SPI_WINDOW) & ~1u;
        m_window[at] = static_cast<uint8_t>(value >> 8);
        m_window[at + 1] = static_cast<uint8_t>(value);
        return;
    }
    switch (address) {
    case fw::VSC_SPI_CONTROL: {
        constexpr uint16_t kWritable = fw::VSC_SPI_CHIP_ENABLE | fw::VSC_SPI_START | fw::VSC_SPI_READ_MODE;
        const bool start = (value & fw::VSC_SPI_START) != 0 && (m_control & fw::VSC_SPI_START) == 0;
        m_control = static_cast<uint16_t>((m_control & ~kWritable) | (value & kWritable));
        if ((value & fw::VSC_SPI_START) == 0) m_statusPending = false;
        if (start && (m_control & fw::VSC_SPI_CHIP_ENABLE) != 0) Command();
        break;
    }
    case fw::VSC_SPI_OPCODE: m_opcode = static_cast<uint16_t>(value); break;
    case fw::VSC_SPI_ADDRESS: m_address = static_cast<uint16_t>(value); break;
    default: break;
    }
}

void Vsc7156::Command() {
    constexpr uint16_t kDone = fw::VSC_SPI_WRITE_DONE | fw::VSC_SPI_READ_DONE | fw::VSC_SPI_READY;
    m_control = static_cast<uint16_t>(m_control & ~kDone);
    const uint8_t opcode = static_cast<uint8_t>(m_opcode >> 8);
    const uint32_t address = static_cast<uint32_t>(m_opcode & 0xFF) << 16 | m_address;
    const uint64_t now = m_board.clock().Now();
    auto finish = [this](uint16_t done) {
        m_control = static_cast<uint16_t>((m_control | done) & ~fw::VSC_SPI_START);
    };
    // A busy part takes nothing but READ STATUS, as the real one.
    const bool busy = Busy();
    switch (opcode) {
    case fw::VSC_SPI_READ_STATUS: m_statusPending = true; break;
    case fw::VSC_SPI_WRITE_ENABLE:
        if (!busy) m_writeEnabled = true;
        finish(fw::VSC_SPI_WRITE_DONE);
        break;
    case fw::VSC_SPI_PAGE_PROGRAM: {
        const bool take = !busy && m_writeEnabled && !failPrograms && address < fw::VSC_FLASH_SIZE;
        m_writeEnabled = false;
        finish(fw::VSC_SPI_WRITE_DONE);
        if (!take) break;
        const uint32_t page = address & ~(fw::VSC_PAGE_SIZE - 1);
        std::array<uint8_t, fw::VSC_PAGE_SIZE> cells{};
        // Programming only clears bits; the data wraps within the page.
        for (uint32_t i = 0; i < fw::VSC_PAGE_SIZE; ++i) {
            const uint32_t at = (address + i) & (fw::VSC_PAGE_SIZE - 1);
            cells[at] = m_flash[page + at] & m_window[i];
        }
        m_busyUntil = now + kProgramNs;
        ++pagePrograms;
        Store(page, cells.data(), fw::VSC_PAGE_SIZE);
        if (m_cutAfter != 0 && --m_cutAfter == 0) {
            // The part comes back from the power cut idle.
            m_busyUntil = 0;
            m_control = 0;
            m_board.StopProcessor(StopKind::PowerCut);
        }
        break;
    }
    case fw::VSC_SPI_SECTOR_ERASE:
    case fw::VSC_SPI_BULK_ERASE: {
        const bool bulk = opcode == fw::VSC_SPI_BULK_ERASE;
        const bool take = !busy && m_writeEnabled && !failErases && address < fw::VSC_FLASH_SIZE;
        m_writeEnabled = false;
        finish(fw::VSC_SPI_WRITE_DONE);
        if (!take) break;
        m_busyUntil = now + (bulk ? kBulkEraseNs : kSectorEraseNs);
        ++erases;
        Store(bulk ? 0 : address & ~(fw::VSC_SECTOR_SIZE - 1), nullptr, bulk ? fw::VSC_FLASH_SIZE : fw::VSC_SECTOR_SIZE);
        break;
    }
    case fw::VSC_SPI_READ:
        if (busy) break;   // no read done: the controller's wait runs out
        for (uint32_t i = 0; i < fw::VSC_PAGE_SIZE; ++i) m_window[i] = m_flash[(address + i) % fw::VSC_FLASH_SIZE];
        finish(fw::VSC_SPI_READ_DONE);
        break;
    default: finish(fw::VSC_SPI_WRITE_DONE); break;
    }
}

void Vsc7156::Store(uint32_t offset, const uint8_t* bytes, uint32_t length) {
    if (bytes) {
        std::memcpy(m_flash.data() + offset, bytes, length);
    } else {
        std::memset(m_flash.data() + offset, 0xFF, length);
    }
    Persist(m_flashFd, m_flash.data(), offset, length);
}

bool Vsc7156::SeepromPart::Start(bool read) {
    Program();
    reading = read;
    if (!read) addressBytes = 0;
    return true;
}

bool Vsc7156::SeepromPart::WriteByte(uint8_t value) {
    if (addressBytes < 2) {
        pointer = static_cast<uint16_t>(addressBytes == 0 ? value << 8 : pointer | value);
        pointer = static_cast<uint16_t>(pointer % fw::VSC_SEEPROM_BYTES);
        ++addressBytes;
        return true;
    }
    bytes[pointer] = value;
    pointer = static_cast<uint16_t>((pointer + 1) % fw::VSC_SEEPROM_BYTES);
    wrote = true;
    ++owner->seepromWrites;
    return true;
}

uint8_t Vsc7156::SeepromPart::ReadByte() {
    const uint8_t value = bytes[pointer];
    pointer = static_cast<uint16_t>((pointer + 1) % fw::VSC_SEEPROM_BYTES);
    return value;
}

void Vsc7156::SeepromPart::Stop() {
    if (!wrote) return;
    wrote = false;
    owner->Persist(owner->m_seepromFd, bytes.data(), 0, fw::VSC_SEEPROM_BYTES);
}

}  // namespace sim
