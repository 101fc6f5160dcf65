// The enclosure processor of one enclosure: an SSP target on a virtual phy
// of the enclosure's expander that serves the SCSI enclosure services pages
// (supported pages, configuration, status, strings, thresholds, array status,
// element descriptors and the vendor slot page) and takes the control pages
// (enclosure control, array control, slot power).  Its elements are the
// enclosure's twelve slots, two power supplies, two fans, three temperature
// sensors, the audible alarm, the processor itself and the enclosure.  Tests
// change what it reports (a fan stops, a supply is pulled, a sensor warms, the
// processor falls silent) and read back what the controller asked of it: the
// indicators of each slot, the fan speeds, the sounder with the time of each
// change.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/drive.h"

namespace sim {

class Chassis;
class Clock;

// The models it can be: the controller enclosure's (its slots in the
// interleaved element order of a twelve-slot backplane) and the two
// expansion enclosures (their slots in slot order).
enum class EnclosureModel { Controller, VomaxExpansion, KvExpansion };

// The CRC-16 of the slot page (polynomial 0x1021, initial 0, no final XOR).
uint16_t SlotPageCrc(std::span<const uint8_t> bytes);

class EnclosureProcessor {
public:
    static constexpr unsigned kSlots = 12;
    static constexpr unsigned kSupplies = 2;
    static constexpr unsigned kFans = 2;
    static constexpr unsigned kSensors = 3;
    // Speed of a running fan by the speed code asked for (0: the code the
    // processor starts with), in RPM.
    static constexpr std::array<uint16_t, 8> kFanRpm = {0, 2600, 3300, 4150, 4800, 5400, 6000, 6800};
    static constexpr uint8_t kDefaultFanCode = 3;
    // Temperatures reported in the threshold page, °C.
    static constexpr uint8_t kHighWarningC = 55, kHighCriticalC = 72;
    static constexpr uint8_t kLowWarningC = 5, kLowCriticalC = 0;

    EnclosureProcessor(Chassis& chassis, unsigned enclosure, EnclosureModel model, uint64_t sasAddress);

    unsigned enclosure() const { return m_enclosure; }
    EnclosureModel model() const { return m_model; }
    uint64_t sasAddress() const { return m_sasAddress; }
    // The enclosure's logical identifier (the configuration page's).
    uint64_t identifier() const { return m_identifier; }
    // Vendor (8) and product (16) of the enclosure descriptor.
    std::string vendor, product, revision = "0102";
    // Pages listed in the supported-pages page (and served).
    std::vector<uint8_t> supportedPages;
    // SES element position (0-based, in the status page) of an enclosure
    // slot (1-based), and back.
    unsigned ElementOfSlot(unsigned slot) const { return m_elementOfSlot[slot - 1]; }
    unsigned SlotOfElement(unsigned element) const;

    // A command to the processor.  A silent processor never answers.
    DriveResult Execute(std::span<const uint8_t> cdb, std::span<const uint8_t> dataOut, std::span<uint8_t> dataIn);

    // What the tests change.
    void SetSilent(bool silent) { m_silent = silent; }
    bool silent() const { return m_silent; }
    void SetFanStopped(unsigned fan, bool stopped);
    void SetSupplyPulled(unsigned supply, bool pulled);
    void SetSupplyFault(unsigned supply, bool fault);
    void SetTemperature(unsigned sensor, int celsius);
    // A page answered with these bytes in place of its own, once (a short
    // page, another page's code, a count past the page, ...).
    void ServeOnce(uint8_t page, std::vector<uint8_t> bytes);

    // What the controller asked for.
    struct SlotIndicators {
        bool identify = false;
        bool fault = false;
        uint8_t array = 0;   // SES_DEVICE_ARRAY_* requests: hot spare, rebuild, failed, ...
    };
    const SlotIndicators& Indicators(unsigned slot) const { return m_slots[slot - 1]; }
    bool SlotPowered(unsigned slot) const;
    bool enclosureIdentify() const { return m_enclosureIdentify; }
    unsigned FanRpm(unsigned fan) const;
    uint8_t FanCode(unsigned fan) const { return m_fanCode[fan]; }
    struct AlarmChange {
        uint64_t ns;     // board time of the change (0 without a clock)
        uint8_t tone;    // 0: silent
        bool muted;
        bool remind;
    };
    bool Sounding() const { return m_alarmTone != 0 && !m_alarmMuted; }
    const std::vector<AlarmChange>& AlarmHistory() const { return m_alarmHistory; }
    // Commands refused and control pages taken, for tests.
    unsigned refusedCommands() const { return m_refused; }
    unsigned controlPages(uint8_t page) const;
    // Something the status page shows changed outside the processor (a
    // drive pulled or inserted): the next status page says so.
    void NoteStatusChange() { m_changed = true; }

private:
    std::vector<uint8_t> ConfigurationPage() const;
    std::vector<uint8_t> StatusPage(bool arrayPage) const;
    std::vector<uint8_t> SupportedPage() const;
    std::vector<uint8_t> StringPage() const;
    std::vector<uint8_t> ThresholdPage() const;
    std::vector<uint8_t> DescriptorPage() const;
    std::vector<uint8_t> SlotPage() const;
    std::vector<uint8_t> Page(uint8_t code) const;
    void StatusElement(uint8_t type, unsigned index, uint8_t* e, bool arrayPage) const;
    bool TakeControlPage(std::span<const uint8_t> page);
    bool TakeSlotPage(std::span<const uint8_t> page);
    void ControlElement(uint8_t type, unsigned index, const uint8_t* e, bool arrayPage);
    void SetAlarm(uint8_t tone, bool muted, bool remind);
    bool Supports(uint8_t page) const;
    uint64_t Now() const;

    Chassis& m_chassis;
    unsigned m_enclosure;
    EnclosureModel m_model;
    uint64_t m_sasAddress;
    uint64_t m_identifier;
    std::array<unsigned, kSlots> m_elementOfSlot{};
    bool m_silent = false;
    bool m_changed = true;
    std::array<SlotIndicators, kSlots> m_slots{};
    std::array<bool, kFans> m_fanStopped{};
    std::array<uint8_t, kFans> m_fanCode{};
    std::array<bool, kSupplies> m_supplyPulled{}, m_supplyFault{};
    std::array<int, kSensors> m_temperature{};
    bool m_enclosureIdentify = false;
    uint8_t m_alarmTone = 0;
    bool m_alarmMuted = false, m_alarmRemind = false;
    std::vector<AlarmChange> m_alarmHistory;
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> m_serveOnce;
    unsigned m_refused = 0;
    std::array<unsigned, 3> m_controlPages{};   // 0x02, 0x06, 0x89
};

}  // namespace sim
