#include "sim/enclosure_processor.h"
#include "sim/io_module_download.h"

#include <algorithm>
#include <cstring>

#include "hw/scsi.h"
#include "hw/ses.h"
#include "sim/chassis.h"
#include "sim/clock.h"

namespace sim {

namespace {

// The element types in the order of the configuration page, with how many
// of each and the texts of the type and its elements.
struct ElementType {
    uint8_t type;
    unsigned count;
    const char* typeText;
    const char* elementText;   // "%u" style: the element number follows
};
constexpr ElementType kTypes[] = {
    {fw::SES_TYPE_DEVICE, EnclosureProcessor::kSlots, "Drive Slots", "Slot "},
    {fw::SES_TYPE_POWER_SUPPLY, EnclosureProcessor::kSupplies, "Power Supplies", "Power Supply "},
    {fw::SES_TYPE_COOLING, EnclosureProcessor::kFans, "Cooling Fans", "Fan "},
    {fw::SES_TYPE_TEMPERATURE, EnclosureProcessor::kSensors, "Temperature Sensors", "Temperature "},
    {fw::SES_TYPE_ALARM, 1, "Audible Alarm", "Alarm "},
    {fw::SES_TYPE_ESCE, 1, "Enclosure Processor", "Processor "},
    {fw::SES_TYPE_ENCLOSURE, 1, "Enclosure", "Enclosure "},
};
constexpr unsigned kElementSlots = [] {
    unsigned n = 0;
    for (const ElementType& t : kTypes) n += 1 + t.count;
    return n;
}();
constexpr uint32_t kStatusPageBytes = fw::SES_PAGE_HEADER_BYTES + kElementSlots * fw::SES_ELEMENT_BYTES;

// The twelve-slot backplane's slots in interleaved element order: slot s is
// element kInterleaved[s - 1] (from 1).
constexpr std::array<unsigned, EnclosureProcessor::kSlots> kInterleaved = {1, 2, 4, 5, 7, 8, 10, 11, 3, 6, 9, 12};

constexpr uint64_t kServiceNs = 200'000;
// Download microcode control and status: the I/O modules' firmware.
constexpr uint8_t kMicrocodePage = 0x0E;

void PutBe16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
uint32_t GetBe16(const uint8_t* p) { return static_cast<uint32_t>(p[0] << 8 | p[1]); }

void PutText(uint8_t* p, const std::string& s, size_t width) {
    for (size_t i = 0; i < width; ++i) p[i] = i < s.size() ? static_cast<uint8_t>(s[i]) : ' ';
}

// Sets the length field of a page to what follows byte 3.
void CloseLength(std::vector<uint8_t>& page) { PutBe16(&page[fw::SES_PAGE_LENGTH_OFFSET], static_cast<uint32_t>(page.size() - 4)); }

void Fail(DriveResult& r, uint8_t key, uint8_t asc) {
    r.status = fw::SCSI_STATUS_CHECK_CONDITION;
    r.sense.assign(18, 0);
    r.sense[0] = 0x70;
    r.sense[2] = key;
    r.sense[7] = 10;
    r.sense[12] = asc;
}

}  // namespace

// The XMODEM CRC the slot page carries (polynomial 0x1021, initial 0).
uint16_t SlotPageCrc(std::span<const uint8_t> bytes) {
    uint16_t crc = 0;
    for (uint8_t b : bytes) {
        crc = static_cast<uint16_t>(crc ^ (b << 8));
        for (int i = 0; i < 8; ++i) crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

EnclosureProcessor::EnclosureProcessor(Chassis& chassis, unsigned enclosure, EnclosureModel model, uint64_t sasAddress)
    : m_chassis(chassis),
      m_enclosure(enclosure),
      m_model(model),
      m_sasAddress(sasAddress),
      m_identifier(sasAddress + 1) {
    // A processor made where another was starts with no download of its own.
    IoModuleDownload::Forget(*this);
    supportedPages = {fw::SES_PAGE_SUPPORTED, fw::SES_PAGE_CONFIGURATION, fw::SES_PAGE_STATUS,
                      fw::SES_PAGE_STRING,    fw::SES_PAGE_THRESHOLD,     fw::SES_PAGE_ARRAY,
                      fw::SES_PAGE_DESCRIPTOR, fw::SES_PAGE_SLOT};
    switch (model) {
    case EnclosureModel::Controller:
        vendor = "Bexal";
        product = "Marlith 12IL-A";
        for (unsigned s = 1; s <= kSlots; ++s) m_elementOfSlot[s - 1] = kInterleaved[s - 1] - 1;
        break;
    case EnclosureModel::VomaxExpansion:
    case EnclosureModel::KvExpansion:
        vendor = "Dunra";
        product = model == EnclosureModel::VomaxExpansion ? "Vomax expansion " : "KV-4471-Vomaxe2 ";
        for (unsigned s = 1; s <= kSlots; ++s) m_elementOfSlot[s - 1] = s - 1;
        break;
    }
    m_fanCode.fill(kDefaultFanCode);
    m_temperature.fill(30);
}

unsigned EnclosureProcessor::SlotOfElement(unsigned element) const {
    for (unsigned s = 1; s <= kSlots; ++s)
        if (m_elementOfSlot[s - 1] == element) return s;
    return 0;
}

uint64_t EnclosureProcessor::Now() const { return m_chassis.clock() ? m_chassis.clock()->Now() : 0; }

bool EnclosureProcessor::SlotPowered(unsigned slot) const { return m_chassis.SlotPowered(m_enclosure * kSlots + slot); }

unsigned EnclosureProcessor::FanRpm(unsigned fan) const { return m_fanStopped[fan] ? 0 : kFanRpm[m_fanCode[fan]]; }

unsigned EnclosureProcessor::controlPages(uint8_t page) const {
    switch (page) {
    case fw::SES_PAGE_STATUS: return m_controlPages[0];
    case fw::SES_PAGE_ARRAY: return m_controlPages[1];
    case fw::SES_PAGE_SLOT: return m_controlPages[2];
    default: return 0;
    }
}

void EnclosureProcessor::SetFanStopped(unsigned fan, bool stopped) {
    m_fanStopped[fan] = stopped;
    m_changed = true;
}
void EnclosureProcessor::SetSupplyPulled(unsigned supply, bool pulled) {
    m_supplyPulled[supply] = pulled;
    m_changed = true;
}
void EnclosureProcessor::SetSupplyFault(unsigned supply, bool fault) {
    m_supplyFault[supply] = fault;
    m_changed = true;
}
void EnclosureProcessor::SetTemperature(unsigned sensor, int celsius) {
    m_temperature[sensor] = celsius;
    m_changed = true;
}
void EnclosureProcessor::ServeOnce(uint8_t page, std::vector<uint8_t> bytes) {
    m_serveOnce.emplace_back(page, std::move(bytes));
}

bool EnclosureProcessor::Supports(uint8_t page) const {
    return page == fw::SES_PAGE_SUPPORTED || std::find(supportedPages.begin(), supportedPages.end(), page) != supportedPages.end();
}

DriveResult EnclosureProcessor::Execute(std::span<const uint8_t> cdb, std::span<const uint8_t> dataOut,
                                        std::span<uint8_t> dataIn) {
    DriveResult r;
    r.serviceNs = kServiceNs;
    if (m_silent) {
        r.noResponse = true;
        return r;
    }
    auto refuse = [&](uint8_t key, uint8_t asc) {
        ++m_refused;
        Fail(r, key, asc);
        return r;
    };
    auto reply = [&](const std::vector<uint8_t>& bytes, uint32_t allocation) {
        const size_t n = std::min<size_t>({bytes.size(), allocation, dataIn.size()});
        std::copy_n(bytes.begin(), n, dataIn.begin());
        r.transferred = static_cast<uint32_t>(n);
        return r;
    };
    if (cdb.empty()) return refuse(fw::SENSE_ILLEGAL_REQUEST, fw::ASC_INVALID_OPCODE);
    switch (cdb[0]) {
    case fw::SCSI_TEST_UNIT_READY:
        return r;
    case fw::SCSI_INQUIRY: {
        if (cdb.size() < 6) return refuse(fw::SENSE_ILLEGAL_REQUEST, fw::ASC_INVALID_FIELD_IN_CDB);
        std::vector<uint8_t> inquiry(36, 0);
        inquiry[0] = fw::PERIPHERAL_ENCLOSURE;
        inquiry[2] = 5;
        inquiry[3] = 2;
        inquiry[4] = 31;
        inquiry[6] = 0x40;   // enclosure services
        PutText(&inquiry[8], vendor, 8);
        PutText(&inquiry[16], product, 16);
        PutText(&inquiry[32], revision, 4);
        return reply(inquiry, GetBe16(&cdb[3]));
    }
    case fw::SCSI_RECEIVE_DIAGNOSTIC: {
        if (cdb.size() < 6 || !(cdb[1] & 0x01)) return refuse(fw::SENSE_ILLEGAL_REQUEST, fw::ASC_INVALID_FIELD_IN_CDB);
        const uint8_t code = cdb[2];
        const uint32_t allocation = GetBe16(&cdb[3]);
        for (auto it = m_serveOnce.begin(); it != m_serveOnce.end(); ++it) {
            if (it->first != code) continue;
            const std::vector<uint8_t> bytes = std::move(it->second);
            m_serveOnce.erase(it);
            return reply(bytes, allocation);
        }
        if (code == kMicrocodePage) return reply(IoModuleDownload::Of(*this).StatusPage(), allocation);
        if (!Supports(code)) return refuse(fw::SENSE_ILLEGAL_REQUEST, fw::ASC_INVALID_FIELD_IN_CDB);
        const std::vector<uint8_t> page = Page(code);
        // The change bit stays until the status is read whole: a header
        // read only looks at it.
        if (code == fw::SES_PAGE_STATUS && allocation >= page.size()) m_changed = false;
        return reply(page, allocation);
    }
    case fw::SCSI_SEND_DIAGNOSTIC: {
        if (cdb.size() < 6) return refuse(fw::SENSE_ILLEGAL_REQUEST, fw::ASC_INVALID_FIELD_IN_CDB);
        const uint32_t length = GetBe16(&cdb[3]);
        if (length == 0) return r;   // a self-test: nothing to test
        if (!(cdb[1] & 0x10) || dataOut.size() < length)
            return refuse(fw::SENSE_ILLEGAL_REQUEST, fw::ASC_PARAMETER_LIST_LENGTH);
        const std::span<const uint8_t> page = dataOut.first(length);
        if (page[0] == kMicrocodePage) {
            const uint16_t sense = IoModuleDownload::Of(*this).Take(*this, page);
            if (sense != 0) return refuse(static_cast<uint8_t>(sense >> 8), static_cast<uint8_t>(sense));
            r.transferred = length;
            return r;
        }
        bool taken = false;
        switch (page[0]) {
        case fw::SES_PAGE_STATUS:
        case fw::SES_PAGE_ARRAY:
            taken = TakeControlPage(page);
            break;
        case fw::SES_PAGE_SLOT:
            taken = TakeSlotPage(page);
            break;
        default:
            break;
        }
        if (!taken) return refuse(fw::SENSE_ILLEGAL_REQUEST, fw::ASC_INVALID_FIELD_IN_PARAMETERS);
        r.transferred = length;
        return r;
    }
    default:
        return refuse(fw::SENSE_ILLEGAL_REQUEST, fw::ASC_INVALID_OPCODE);
    }
}

std::vector<uint8_t> EnclosureProcessor::Page(uint8_t code) const {
    switch (code) {
    case fw::SES_PAGE_SUPPORTED: return SupportedPage();
    case fw::SES_PAGE_CONFIGURATION: return ConfigurationPage();
    case fw::SES_PAGE_STATUS: return StatusPage(false);
    case fw::SES_PAGE_STRING: return StringPage();
    case fw::SES_PAGE_THRESHOLD: return ThresholdPage();
    case fw::SES_PAGE_ARRAY: return StatusPage(true);
    case fw::SES_PAGE_DESCRIPTOR: return DescriptorPage();
    case fw::SES_PAGE_SLOT: return SlotPage();
    default: return {};
    }
}

std::vector<uint8_t> EnclosureProcessor::SupportedPage() const {
    // Sized first and filled, not grown: GCC 12's optimiser misreads the
    // growth of a vector this small (-Warray-bounds).
    std::vector<uint8_t> page(4 + supportedPages.size(), 0);
    std::copy(supportedPages.begin(), supportedPages.end(), page.begin() + 4);
    CloseLength(page);
    return page;
}

std::vector<uint8_t> EnclosureProcessor::ConfigurationPage() const {
    std::vector<uint8_t> page(fw::SES_PAGE_HEADER_BYTES + fw::SES_CONFIG_DESCRIPTOR_BYTES, 0);
    page[0] = fw::SES_PAGE_CONFIGURATION;
    page[fw::SES_CONFIG_TYPE_COUNT_OFFSET] = static_cast<uint8_t>(std::size(kTypes));
    page[fw::SES_CONFIG_DESCRIPTOR_LENGTH_OFFSET] = fw::SES_CONFIG_DESCRIPTOR_BYTES - 4;
    for (int i = 0; i < 8; ++i) page[fw::SES_CONFIG_IDENTIFIER_OFFSET + i] = static_cast<uint8_t>(m_identifier >> (56 - 8 * i));
    PutText(&page[fw::SES_CONFIG_VENDOR_OFFSET], vendor, 8);
    PutText(&page[fw::SES_CONFIG_PRODUCT_OFFSET], product, 16);
    PutText(&page[fw::SES_CONFIG_REVISION_OFFSET], revision, 4);
    for (const ElementType& t : kTypes) {
        const uint8_t header[fw::SES_TYPE_HEADER_BYTES] = {t.type, static_cast<uint8_t>(t.count), 0,
                                                          static_cast<uint8_t>(std::strlen(t.typeText))};
        page.insert(page.end(), std::begin(header), std::end(header));
    }
    for (const ElementType& t : kTypes) page.insert(page.end(), t.typeText, t.typeText + std::strlen(t.typeText));
    CloseLength(page);
    return page;
}

void EnclosureProcessor::StatusElement(uint8_t type, unsigned index, uint8_t* e, bool arrayPage) const {
    switch (type) {
    case fw::SES_TYPE_DEVICE: {
        const unsigned slot = SlotOfElement(index);
        const bool present = m_chassis.ConfigAt(m_enclosure * kSlots + slot) != nullptr;
        const SlotIndicators& s = m_slots[slot - 1];
        e[0] = present ? fw::SES_CODE_OK : fw::SES_CODE_NOT_INSTALLED;
        e[1] = arrayPage ? s.array : static_cast<uint8_t>(slot);
        e[2] = s.identify ? fw::SES_DEVICE_IDENTIFY : 0;
        e[3] = static_cast<uint8_t>((s.fault ? fw::SES_DEVICE_FAULT : 0) |
                                    (present && !SlotPowered(slot) ? fw::SES_DEVICE_OFF : 0));
        break;
    }
    case fw::SES_TYPE_POWER_SUPPLY:
        if (m_supplyPulled[index]) {
            e[0] = fw::SES_CODE_NOT_INSTALLED;
        } else if (m_supplyFault[index]) {
            e[0] = fw::SES_CODE_CRITICAL;
            e[3] = fw::SES_SUPPLY_FAIL | fw::SES_SUPPLY_DC_FAIL;
        } else {
            e[0] = fw::SES_CODE_OK;
        }
        break;
    case fw::SES_TYPE_COOLING: {
        const unsigned tens = FanRpm(index) / fw::SES_COOLING_RPM_UNIT;
        e[0] = m_fanStopped[index] ? fw::SES_CODE_CRITICAL : fw::SES_CODE_OK;
        e[1] = static_cast<uint8_t>(tens >> 8 & 0x07);
        e[2] = static_cast<uint8_t>(tens);
        e[3] = m_fanStopped[index] ? fw::SES_COOLING_FAIL : m_fanCode[index];
        break;
    }
    case fw::SES_TYPE_TEMPERATURE: {
        const int t = m_temperature[index];
        e[0] = t >= kHighCriticalC ? fw::SES_CODE_CRITICAL : t >= kHighWarningC ? fw::SES_CODE_NONCRITICAL : fw::SES_CODE_OK;
        e[2] = static_cast<uint8_t>(std::clamp(t + fw::SES_TEMPERATURE_OFFSET, 1, 255));
        e[3] = t >= kHighCriticalC ? fw::SES_TEMPERATURE_OT_FAILURE : t >= kHighWarningC ? fw::SES_TEMPERATURE_OT_WARNING : 0;
        break;
    }
    case fw::SES_TYPE_ALARM:
        e[0] = fw::SES_CODE_OK;
        e[3] = static_cast<uint8_t>(m_alarmTone | (m_alarmMuted ? fw::SES_ALARM_MUTED : 0) |
                                    (m_alarmRemind ? fw::SES_ALARM_REMIND : 0));
        break;
    case fw::SES_TYPE_ENCLOSURE:
        e[0] = fw::SES_CODE_OK;
        e[1] = m_enclosureIdentify ? fw::SES_ENCLOSURE_IDENTIFY : 0;
        break;
    default:
        e[0] = fw::SES_CODE_OK;
        break;
    }
}

std::vector<uint8_t> EnclosureProcessor::StatusPage(bool arrayPage) const {
    std::vector<uint8_t> page(kStatusPageBytes, 0);
    page[0] = arrayPage ? fw::SES_PAGE_ARRAY : fw::SES_PAGE_STATUS;
    uint8_t* e = &page[fw::SES_PAGE_HEADER_BYTES];
    uint8_t summary = m_changed ? fw::SES_STATUS_INFO : 0;
    for (const ElementType& t : kTypes) {
        e += fw::SES_ELEMENT_BYTES;   // the overall element says nothing
        for (unsigned i = 0; i < t.count; ++i, e += fw::SES_ELEMENT_BYTES) {
            StatusElement(t.type, i, e, arrayPage);
            const uint8_t code = e[0] & fw::SES_STATUS_CODE_MASK;
            if (code == fw::SES_CODE_CRITICAL) summary |= fw::SES_STATUS_CRITICAL;
            if (code == fw::SES_CODE_NONCRITICAL) summary |= fw::SES_STATUS_NONCRITICAL;
        }
    }
    page[1] = summary;
    CloseLength(page);
    return page;
}

std::vector<uint8_t> EnclosureProcessor::StringPage() const {
    std::vector<uint8_t> page(4, 0);
    page[0] = fw::SES_PAGE_STRING;
    const std::string text = "ESP firmware " + revision;
    page.insert(page.end(), text.begin(), text.end());
    CloseLength(page);
    return page;
}

std::vector<uint8_t> EnclosureProcessor::ThresholdPage() const {
    std::vector<uint8_t> page(kStatusPageBytes, 0);
    page[0] = fw::SES_PAGE_THRESHOLD;
    uint8_t* e = &page[fw::SES_PAGE_HEADER_BYTES];
    for (const ElementType& t : kTypes) {
        e += fw::SES_ELEMENT_BYTES;
        for (unsigned i = 0; i < t.count; ++i, e += fw::SES_ELEMENT_BYTES) {
            if (t.type != fw::SES_TYPE_TEMPERATURE) continue;
            e[0] = kHighCriticalC + fw::SES_TEMPERATURE_OFFSET;
            e[1] = kHighWarningC + fw::SES_TEMPERATURE_OFFSET;
            e[2] = kLowWarningC + fw::SES_TEMPERATURE_OFFSET;
            e[3] = kLowCriticalC + fw::SES_TEMPERATURE_OFFSET;
        }
    }
    CloseLength(page);
    return page;
}

std::vector<uint8_t> EnclosureProcessor::DescriptorPage() const {
    std::vector<uint8_t> page(fw::SES_PAGE_HEADER_BYTES, 0);
    page[0] = fw::SES_PAGE_DESCRIPTOR;
    auto add = [&](const std::string& text) {
        const uint8_t header[4] = {0, 0, 0, static_cast<uint8_t>(text.size())};
        page.insert(page.end(), std::begin(header), std::end(header));
        page.insert(page.end(), text.begin(), text.end());
    };
    for (const ElementType& t : kTypes) {
        add(t.typeText);
        for (unsigned i = 0; i < t.count; ++i) {
            // Slots are named by their slot number, not their element position.
            const unsigned number = t.type == fw::SES_TYPE_DEVICE ? SlotOfElement(i) : i + 1;
            char n[4];
            std::snprintf(n, sizeof n, "%02u", number);
            add(std::string(t.elementText) + n);
        }
    }
    CloseLength(page);
    return page;
}

std::vector<uint8_t> EnclosureProcessor::SlotPage() const {
    std::vector<uint8_t> page(fw::SES_SLOT_PAGE_BYTES, 0);
    page[0] = fw::SES_PAGE_SLOT;
    CloseLength(page);
    for (unsigned k = 0; k < fw::SES_SLOT_PAGE_SLOTS; ++k) {
        uint8_t* e = &page[fw::SES_SLOT_PAGE_FIRST_ELEMENT + 4 * k];
        const bool present = m_chassis.ConfigAt(m_enclosure * kSlots + k + 1) != nullptr;
        e[0] = present ? fw::SES_CODE_OK : fw::SES_CODE_NOT_INSTALLED;
        e[3] = SlotPowered(k + 1) ? 0 : fw::SES_SLOT_POWER_OFF;
    }
    const uint16_t crc = SlotPageCrc(std::span<const uint8_t>(page).subspan(
        fw::SES_SLOT_PAGE_CRC_FROM, fw::SES_SLOT_PAGE_CRC_OFFSET - fw::SES_SLOT_PAGE_CRC_FROM));
    PutBe16(&page[fw::SES_SLOT_PAGE_CRC_OFFSET], crc);
    return page;
}

// An enclosure or array control page: laid out as the status page, whole;
// each element with its select bit set asks for what its bytes say.
bool EnclosureProcessor::TakeControlPage(std::span<const uint8_t> page) {
    if (page.size() < kStatusPageBytes || GetBe16(&page[fw::SES_PAGE_LENGTH_OFFSET]) + 4 < kStatusPageBytes) return false;
    const bool arrayPage = page[0] == fw::SES_PAGE_ARRAY;
    const uint8_t* e = &page[fw::SES_PAGE_HEADER_BYTES];
    for (const ElementType& t : kTypes) {
        e += fw::SES_ELEMENT_BYTES;
        for (unsigned i = 0; i < t.count; ++i, e += fw::SES_ELEMENT_BYTES) {
            if (e[0] & fw::SES_CONTROL_SELECT) ControlElement(t.type, i, e, arrayPage);
        }
    }
    ++m_controlPages[arrayPage ? 1 : 0];
    return true;
}

void EnclosureProcessor::ControlElement(uint8_t type, unsigned index, const uint8_t* e, bool arrayPage) {
    switch (type) {
    case fw::SES_TYPE_DEVICE: {
        SlotIndicators& s = m_slots[SlotOfElement(index) - 1];
        // The array page asks for the array states only; identify and
        // fault are the enclosure control page's, so that each page can
        // clear its own bytes without undoing the other's.
        if (arrayPage) {
            s.array = e[1];
        } else {
            s.identify = (e[2] & fw::SES_DEVICE_IDENTIFY) != 0;
            s.fault = (e[3] & fw::SES_DEVICE_FAULT) != 0;
        }
        break;
    }
    case fw::SES_TYPE_COOLING:
        if (!arrayPage && (e[3] & fw::SES_COOLING_ON)) {
            const uint8_t code = e[3] & fw::SES_COOLING_SPEED_MASK;
            m_fanCode[index] = code ? code : kDefaultFanCode;
        }
        break;
    case fw::SES_TYPE_ALARM:
        if (!arrayPage) {
            SetAlarm(e[3] & fw::SES_ALARM_TONE_MASK, (e[3] & fw::SES_ALARM_MUTED) != 0, (e[3] & fw::SES_ALARM_REMIND) != 0);
        }
        break;
    case fw::SES_TYPE_ENCLOSURE:
        if (!arrayPage) m_enclosureIdentify = (e[1] & fw::SES_ENCLOSURE_IDENTIFY) != 0;
        break;
    default:
        break;
    }
}

void EnclosureProcessor::SetAlarm(uint8_t tone, bool muted, bool remind) {
    if (tone == m_alarmTone && muted == m_alarmMuted && remind == m_alarmRemind) return;
    m_alarmTone = tone;
    m_alarmMuted = muted;
    m_alarmRemind = remind;
    m_alarmHistory.push_back({Now(), tone, muted, remind});
}

// The slot page: one element per slot in slot order, guarded by its CRC; a
// page whose CRC does not match changes nothing.
bool EnclosureProcessor::TakeSlotPage(std::span<const uint8_t> page) {
    if (page.size() < fw::SES_SLOT_PAGE_BYTES) return false;
    const uint16_t crc = SlotPageCrc(
        page.subspan(fw::SES_SLOT_PAGE_CRC_FROM, fw::SES_SLOT_PAGE_CRC_OFFSET - fw::SES_SLOT_PAGE_CRC_FROM));
    if (crc != GetBe16(&page[fw::SES_SLOT_PAGE_CRC_OFFSET])) return false;
    for (unsigned k = 0; k < fw::SES_SLOT_PAGE_SLOTS; ++k) {
        const uint8_t* e = &page[fw::SES_SLOT_PAGE_FIRST_ELEMENT + 4 * k];
        if (e[0] & fw::SES_CONTROL_SELECT)
            m_chassis.SetSlotPower(m_enclosure * kSlots + k + 1, !(e[3] & fw::SES_SLOT_POWER_OFF));
    }
    ++m_controlPages[2];
    return true;
}

}  // namespace sim
