// The enclosure processor model: the pages it serves describe the chassis
// as it is (slots in their element order, supplies, fans, sensors), the
// control pages it takes light the slot asked for and no other, and the
// slot page switches slot power only under a good CRC.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "hw/scsi.h"
#include "hw/ses.h"
#include "sim/chassis.h"
#include "sim/clock.h"
#include "sim/enclosure_processor.h"

namespace {

using Bytes = std::vector<uint8_t>;
using sim::EnclosureProcessor;

uint32_t Be16(const uint8_t* p) { return static_cast<uint32_t>(p[0] << 8 | p[1]); }

sim::ChassisOptions Options(unsigned drives, unsigned expansions = 0, unsigned expansionDrives = 0) {
    sim::ChassisOptions o;
    o.drives = drives;
    o.driveBytes = 64ull << 20;
    o.expansions = expansions;
    o.expansionDrives = expansionDrives;
    return o;
}

struct Read {
    sim::DriveResult r;
    Bytes page;
};

Read ReadPage(EnclosureProcessor& p, uint8_t code, uint16_t allocation = 1024) {
    const uint8_t cdb[6] = {fw::SCSI_RECEIVE_DIAGNOSTIC, 0x01, code, static_cast<uint8_t>(allocation >> 8),
                            static_cast<uint8_t>(allocation), 0};
    Read out;
    out.page.assign(allocation, 0xEE);
    out.r = p.Execute(cdb, {}, out.page);
    out.page.resize(out.r.transferred);
    return out;
}

sim::DriveResult Send(EnclosureProcessor& p, const Bytes& page) {
    const uint8_t cdb[6] = {fw::SCSI_SEND_DIAGNOSTIC, 0x10, 0, static_cast<uint8_t>(page.size() >> 8),
                            static_cast<uint8_t>(page.size()), 0};
    return p.Execute(cdb, page, {});
}

// The element (4 bytes) of a type in a status-layout page, from the
// configuration page's type headers: index -1 is the overall element.
uint8_t* Element(const Bytes& config, Bytes& page, uint8_t type, int index) {
    const unsigned types = config[fw::SES_CONFIG_TYPE_COUNT_OFFSET];
    size_t header = 12 + config[fw::SES_CONFIG_DESCRIPTOR_LENGTH_OFFSET];
    size_t at = fw::SES_PAGE_HEADER_BYTES;
    for (unsigned t = 0; t < types; ++t, header += 4) {
        if (config[header] == type) return &page[at + 4 * static_cast<size_t>(index + 1)];
        at += 4 * (1 + config[header + 1]);
    }
    return nullptr;
}

Bytes SlotPage(const std::vector<unsigned>& offSlots) {
    Bytes page(fw::SES_SLOT_PAGE_BYTES, 0);
    page[0] = fw::SES_PAGE_SLOT;
    for (unsigned k = 0; k < fw::SES_SLOT_PAGE_SLOTS; ++k) {
        page[12 + 4 * k] = fw::SES_CONTROL_SELECT;
        for (unsigned s : offSlots)
            if (s == k + 1) page[15 + 4 * k] = fw::SES_SLOT_POWER_OFF;
    }
    const uint16_t crc = sim::SlotPageCrc(std::span<const uint8_t>(page).subspan(8, 52));
    page[60] = static_cast<uint8_t>(crc >> 8);
    page[61] = static_cast<uint8_t>(crc);
    return page;
}

TEST(EnclosureProcessor, ConfigurationNamesEachModelAndItsElements) {
    sim::Chassis chassis(Options(4, 2));
    struct Case {
        unsigned enclosure;
        const char* vendor;
        const char* product;
    } cases[] = {{0, "Bexal   ", "Marlith 12IL-A  "}, {1, "Dunra   ", "Vomax expansion "}, {2, "Dunra   ", "Vomax expansion "}};
    for (const Case& c : cases) {
        EnclosureProcessor& p = chassis.processor(c.enclosure);
        Read config = ReadPage(p, fw::SES_PAGE_CONFIGURATION);
        ASSERT_EQ(config.r.status, 0);
        const Bytes& b = config.page;
        EXPECT_EQ(b[0], fw::SES_PAGE_CONFIGURATION);
        EXPECT_EQ(Be16(&b[2]) + 4, b.size());
        EXPECT_EQ(std::string(b.begin() + 20, b.begin() + 28), c.vendor);
        EXPECT_EQ(std::string(b.begin() + 28, b.begin() + 44), c.product);
        uint64_t id = 0;
        for (int i = 12; i < 20; ++i) id = id << 8 | b[i];
        EXPECT_EQ(id, p.identifier());
        // The headers: slots first, then the environment.
        const size_t h = 12 + b[11];
        EXPECT_EQ(b[h], fw::SES_TYPE_DEVICE);
        EXPECT_EQ(b[h + 1], 12);
        EXPECT_EQ(b[10], 7);
        // The expanders of expansions name their maker as the expansion
        // identification expects.
        if (c.enclosure != 0) {
            EXPECT_EQ(chassis.expander(c.enclosure).vendor, "Dunra   ");
            EXPECT_EQ(chassis.expander(c.enclosure).product, c.product);
        }
        EXPECT_TRUE(chassis.expander(c.enclosure).phys()[sim::Chassis::kProcessorPhy].isVirtual);
    }
    EXPECT_NE(chassis.processor(0).identifier(), chassis.processor(1).identifier());
}

TEST(EnclosureProcessor, StatusShowsSlotsInElementOrderAndTheEnvironment) {
    sim::Chassis chassis(Options(3));
    EnclosureProcessor& p = chassis.processor(0);
    const Bytes config = ReadPage(p, fw::SES_PAGE_CONFIGURATION).page;
    Bytes status = ReadPage(p, fw::SES_PAGE_STATUS).page;
    ASSERT_EQ(status[0], fw::SES_PAGE_STATUS);
    EXPECT_EQ(Be16(&status[2]) + 4, status.size());
    // The controller enclosure interleaves its slots: slot 3 is element 4,
    // slot 9 element 3.
    EXPECT_EQ(Element(config, status, fw::SES_TYPE_DEVICE, 0)[1], 1);
    EXPECT_EQ(Element(config, status, fw::SES_TYPE_DEVICE, 2)[1], 9);
    EXPECT_EQ(Element(config, status, fw::SES_TYPE_DEVICE, 3)[1], 3);
    for (unsigned slot = 1; slot <= 12; ++slot) {
        const uint8_t* e = Element(config, status, fw::SES_TYPE_DEVICE, static_cast<int>(p.ElementOfSlot(slot)));
        EXPECT_EQ(e[0] & 0x0F, slot <= 3 ? fw::SES_CODE_OK : fw::SES_CODE_NOT_INSTALLED) << "slot " << slot;
    }
    EXPECT_EQ(Element(config, status, fw::SES_TYPE_POWER_SUPPLY, 1)[0], fw::SES_CODE_OK);
    const uint8_t* fan = Element(config, status, fw::SES_TYPE_COOLING, 0);
    EXPECT_EQ(fan[0], fw::SES_CODE_OK);
    EXPECT_EQ(((fan[1] & 7) << 8 | fan[2]) * 10u, EnclosureProcessor::kFanRpm[EnclosureProcessor::kDefaultFanCode]);
    EXPECT_EQ(Element(config, status, fw::SES_TYPE_TEMPERATURE, 2)[2], 30 + 20);

    // Faults: each shows on its own element, and the page says something is
    // critical or not.
    p.SetFanStopped(1, true);
    p.SetSupplyPulled(0, true);
    p.SetSupplyFault(1, true);
    p.SetTemperature(0, 60);
    p.SetTemperature(2, 75);
    status = ReadPage(p, fw::SES_PAGE_STATUS).page;
    const uint8_t* stopped = Element(config, status, fw::SES_TYPE_COOLING, 1);
    EXPECT_EQ(stopped[0], fw::SES_CODE_CRITICAL);
    EXPECT_EQ(stopped[1] | stopped[2], 0);
    EXPECT_TRUE(stopped[3] & fw::SES_COOLING_FAIL);
    EXPECT_EQ(Element(config, status, fw::SES_TYPE_COOLING, 0)[0], fw::SES_CODE_OK);
    EXPECT_EQ(Element(config, status, fw::SES_TYPE_POWER_SUPPLY, 0)[0], fw::SES_CODE_NOT_INSTALLED);
    const uint8_t* faulted = Element(config, status, fw::SES_TYPE_POWER_SUPPLY, 1);
    EXPECT_EQ(faulted[0], fw::SES_CODE_CRITICAL);
    EXPECT_TRUE(faulted[3] & fw::SES_SUPPLY_FAIL);
    const uint8_t* warm = Element(config, status, fw::SES_TYPE_TEMPERATURE, 0);
    EXPECT_EQ(warm[0], fw::SES_CODE_NONCRITICAL);
    EXPECT_EQ(warm[3], fw::SES_TEMPERATURE_OT_WARNING);
    const uint8_t* hot = Element(config, status, fw::SES_TYPE_TEMPERATURE, 2);
    EXPECT_EQ(hot[0], fw::SES_CODE_CRITICAL);
    EXPECT_EQ(hot[2], 75 + 20);
    EXPECT_EQ(hot[3], fw::SES_TEMPERATURE_OT_FAILURE);
    EXPECT_EQ(status[1] & (fw::SES_STATUS_CRITICAL | fw::SES_STATUS_NONCRITICAL),
              fw::SES_STATUS_CRITICAL | fw::SES_STATUS_NONCRITICAL);
}

TEST(EnclosureProcessor, ChangeBitStaysUntilTheStatusIsReadWhole) {
    sim::Chassis chassis(Options(2));
    EnclosureProcessor& p = chassis.processor(0);
    EXPECT_TRUE(ReadPage(p, fw::SES_PAGE_STATUS).page[1] & fw::SES_STATUS_INFO);
    EXPECT_FALSE(ReadPage(p, fw::SES_PAGE_STATUS, 4).page[1] & fw::SES_STATUS_INFO);
    chassis.Pull(2);
    // A header read sees the change and leaves it for the whole read.
    EXPECT_TRUE(ReadPage(p, fw::SES_PAGE_STATUS, 4).page[1] & fw::SES_STATUS_INFO);
    EXPECT_TRUE(ReadPage(p, fw::SES_PAGE_STATUS, 4).page[1] & fw::SES_STATUS_INFO);
    EXPECT_TRUE(ReadPage(p, fw::SES_PAGE_STATUS).page[1] & fw::SES_STATUS_INFO);
    EXPECT_FALSE(ReadPage(p, fw::SES_PAGE_STATUS, 4).page[1] & fw::SES_STATUS_INFO);
    // A change in another enclosure is not this one's.
    sim::Chassis two(Options(2, 1, 2));
    ReadPage(two.processor(0), fw::SES_PAGE_STATUS);
    two.Pull(13);
    EXPECT_FALSE(ReadPage(two.processor(0), fw::SES_PAGE_STATUS, 4).page[1] & fw::SES_STATUS_INFO);
}

// Identify and fault from the enclosure control page, the array states from
// the array control page: for every slot of each model, asking for slot k
// lights slot k and no other.
TEST(EnclosureProcessor, ControlLightsTheSlotAskedForAndNoOther) {
    sim::Chassis chassis(Options(12, 1, 12));
    for (unsigned enclosure = 0; enclosure < 2; ++enclosure) {
        EnclosureProcessor& p = chassis.processor(enclosure);
        const Bytes config = ReadPage(p, fw::SES_PAGE_CONFIGURATION).page;
        for (unsigned slot = 1; slot <= 12; ++slot) {
            Bytes control = ReadPage(p, fw::SES_PAGE_STATUS).page;
            Bytes array = ReadPage(p, fw::SES_PAGE_ARRAY).page;
            ASSERT_EQ(array[0], fw::SES_PAGE_ARRAY);
            for (int e = 0; e < 12; ++e) {
                uint8_t* c = Element(config, control, fw::SES_TYPE_DEVICE, e);
                uint8_t* a = Element(config, array, fw::SES_TYPE_DEVICE, e);
                std::memset(c, 0, 4);
                std::memset(a, 0, 4);
                c[0] = a[0] = fw::SES_CONTROL_SELECT;
            }
            uint8_t* c = Element(config, control, fw::SES_TYPE_DEVICE, static_cast<int>(p.ElementOfSlot(slot)));
            c[2] = fw::SES_DEVICE_IDENTIFY;
            c[3] = fw::SES_DEVICE_FAULT;
            Element(config, array, fw::SES_TYPE_DEVICE, static_cast<int>(p.ElementOfSlot(slot)))[1] =
                fw::SES_DEVICE_ARRAY_HOT_SPARE | fw::SES_DEVICE_ARRAY_REBUILD;
            ASSERT_EQ(Send(p, control).status, 0);
            ASSERT_EQ(Send(p, array).status, 0);
            for (unsigned other = 1; other <= 12; ++other) {
                const auto& lit = p.Indicators(other);
                const bool asked = other == slot;
                EXPECT_EQ(lit.identify, asked) << "enclosure " << enclosure << " slot " << slot << " shows on " << other;
                EXPECT_EQ(lit.fault, asked) << "enclosure " << enclosure << " slot " << slot << " shows on " << other;
                EXPECT_EQ(lit.array, asked ? fw::SES_DEVICE_ARRAY_HOT_SPARE | fw::SES_DEVICE_ARRAY_REBUILD : 0) << other;
            }
            // The status page shows back what was asked.
            Bytes status = ReadPage(p, fw::SES_PAGE_STATUS).page;
            const uint8_t* s = Element(config, status, fw::SES_TYPE_DEVICE, static_cast<int>(p.ElementOfSlot(slot)));
            EXPECT_EQ(s[1], slot);
            EXPECT_EQ(s[2], fw::SES_DEVICE_IDENTIFY);
            EXPECT_EQ(s[3], fw::SES_DEVICE_FAULT);
        }
        EXPECT_EQ(p.controlPages(fw::SES_PAGE_STATUS), 12u);
        EXPECT_EQ(p.controlPages(fw::SES_PAGE_ARRAY), 12u);
    }
}

TEST(EnclosureProcessor, ControlSetsFansAlarmAndEnclosureIdentify) {
    sim::Chassis chassis(Options(0));
    sim::Clock clock;
    chassis.AttachClock(&clock);
    EnclosureProcessor& p = chassis.processor(0);
    const Bytes config = ReadPage(p, fw::SES_PAGE_CONFIGURATION).page;
    auto send = [&](uint8_t type, int index, uint8_t b1, uint8_t b3) {
        Bytes control = ReadPage(p, fw::SES_PAGE_STATUS).page;
        for (size_t i = 8; i < control.size(); i += 4) control[i] = 0;   // nothing selected
        uint8_t* e = Element(config, control, type, index);
        e[0] = fw::SES_CONTROL_SELECT;
        e[1] = b1;
        e[3] = b3;
        ASSERT_EQ(Send(p, control).status, 0);
    };
    send(fw::SES_TYPE_COOLING, 1, 0, fw::SES_COOLING_ON | 7);
    EXPECT_EQ(p.FanRpm(1), EnclosureProcessor::kFanRpm[7]);
    EXPECT_EQ(p.FanRpm(0), EnclosureProcessor::kFanRpm[EnclosureProcessor::kDefaultFanCode]);
    p.SetFanStopped(1, true);
    EXPECT_EQ(p.FanRpm(1), 0u);

    clock.AdvanceTo(5'000);
    send(fw::SES_TYPE_ALARM, 0, 0, 0x0E);
    EXPECT_TRUE(p.Sounding());
    clock.AdvanceTo(9'000);
    send(fw::SES_TYPE_ALARM, 0, 0, 0x0E | fw::SES_ALARM_MUTED);
    EXPECT_FALSE(p.Sounding());
    send(fw::SES_TYPE_ALARM, 0, 0, 0x0E | fw::SES_ALARM_MUTED);   // no change, no entry
    ASSERT_EQ(p.AlarmHistory().size(), 2u);
    EXPECT_EQ(p.AlarmHistory()[0].ns, 5'000u);
    EXPECT_EQ(p.AlarmHistory()[0].tone, 0x0E);
    EXPECT_TRUE(p.AlarmHistory()[1].muted);
    Bytes status = ReadPage(p, fw::SES_PAGE_STATUS).page;
    EXPECT_EQ(Element(config, status, fw::SES_TYPE_ALARM, 0)[3], 0x0E | fw::SES_ALARM_MUTED);

    send(fw::SES_TYPE_ENCLOSURE, 0, fw::SES_ENCLOSURE_IDENTIFY, 0);
    EXPECT_TRUE(p.enclosureIdentify());
    // Elements not selected keep what they had.
    send(fw::SES_TYPE_COOLING, 0, 0, 0);
    EXPECT_TRUE(p.enclosureIdentify());
}

TEST(EnclosureProcessor, SlotPagePowersSlotsOnlyUnderAGoodCrc) {
    sim::Chassis chassis(Options(4, 1, 2));
    sim::Clock clock;
    chassis.AttachClock(&clock);
    EnclosureProcessor& p = chassis.processor(0);
    unsigned linkChanges = 0;
    chassis.AddListener([&] { ++linkChanges; });

    Bytes page = SlotPage({2});
    Bytes bad = page;
    bad[60] ^= 1;
    EXPECT_EQ(Send(p, bad).status, fw::SCSI_STATUS_CHECK_CONDITION);
    EXPECT_TRUE(chassis.SlotPowered(2));
    // The CRC covers the overall element too.
    Bytes overall = page;
    overall[9] = 1;
    EXPECT_EQ(Send(p, overall).status, fw::SCSI_STATUS_CHECK_CONDITION);
    EXPECT_EQ(p.refusedCommands(), 2u);

    ASSERT_EQ(Send(p, page).status, 0);
    EXPECT_FALSE(chassis.SlotPowered(2));
    EXPECT_TRUE(chassis.SlotPowered(1));
    EXPECT_TRUE(chassis.SlotPowered(14));   // the expansion's slot 2 is not this page's
    EXPECT_EQ(linkChanges, 1u);
    EXPECT_NE(chassis.DriveAt(2), nullptr);   // the drive stays in its slot
    Read served = ReadPage(p, fw::SES_PAGE_SLOT);
    ASSERT_EQ(served.page.size(), fw::SES_SLOT_PAGE_BYTES);
    EXPECT_EQ(served.page[12 + 4 + 3], fw::SES_SLOT_POWER_OFF);
    EXPECT_EQ(sim::SlotPageCrc(std::span<const uint8_t>(served.page).subspan(8, 52)), Be16(&served.page[60]));

    // Back on: the drive starts as at power-on.
    sim::Drive& drive = *chassis.DriveAt(2);
    const uint8_t tur[6] = {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0};
    drive.Execute(tur, {}, {});   // its first power-on's attention
    EXPECT_EQ(drive.Execute(tur, {}, {}).status, 0);
    ASSERT_EQ(Send(p, SlotPage({})).status, 0);
    EXPECT_TRUE(chassis.SlotPowered(2));
    EXPECT_EQ(linkChanges, 2u);
    sim::DriveResult after = drive.Execute(tur, {}, {});
    EXPECT_EQ(after.status, fw::SCSI_STATUS_CHECK_CONDITION);
    ASSERT_GE(after.sense.size(), 13u);
    EXPECT_EQ(after.sense[12], fw::ASC_POWER_ON_RESET);
}

// What a processor refuses or never answers.
TEST(EnclosureProcessor, RefusesBadCommandsAndCanFallSilent) {
    sim::Chassis chassis(Options(1));
    EnclosureProcessor& p = chassis.processor(0);
    p.supportedPages = {0x00, 0x01, 0x02};
    EXPECT_EQ(ReadPage(p, fw::SES_PAGE_THRESHOLD).r.status, fw::SCSI_STATUS_CHECK_CONDITION);
    Read supported = ReadPage(p, fw::SES_PAGE_SUPPORTED);
    EXPECT_EQ(supported.page, (Bytes{0, 0, 0, 3, 0, 1, 2}));
    // A control page cut short, or of a page it does not take.
    Bytes control = ReadPage(p, fw::SES_PAGE_STATUS).page;
    control.resize(control.size() - 4);
    EXPECT_EQ(Send(p, control).status, fw::SCSI_STATUS_CHECK_CONDITION);
    EXPECT_EQ(Send(p, Bytes{fw::SES_PAGE_DESCRIPTOR, 0, 0, 0}).status, fw::SCSI_STATUS_CHECK_CONDITION);
    // Whatever a test puts in place of a page is served once.
    p.ServeOnce(fw::SES_PAGE_STATUS, Bytes{0x01, 0, 0, 0});
    EXPECT_EQ(ReadPage(p, fw::SES_PAGE_STATUS).page, (Bytes{0x01, 0, 0, 0}));
    EXPECT_EQ(ReadPage(p, fw::SES_PAGE_STATUS).page[0], fw::SES_PAGE_STATUS);
    // The allocation length bounds every reply.
    EXPECT_EQ(ReadPage(p, fw::SES_PAGE_CONFIGURATION, 10).page.size(), 10u);
    p.SetSilent(true);
    EXPECT_TRUE(ReadPage(p, fw::SES_PAGE_STATUS).r.noResponse);
}

TEST(EnclosureProcessor, ThresholdAndDescriptorPagesFollowTheConfiguration) {
    sim::Chassis chassis(Options(1));
    EnclosureProcessor& p = chassis.processor(0);
    const Bytes config = ReadPage(p, fw::SES_PAGE_CONFIGURATION).page;
    Bytes thresholds = ReadPage(p, fw::SES_PAGE_THRESHOLD).page;
    EXPECT_EQ(thresholds.size(), ReadPage(p, fw::SES_PAGE_STATUS).page.size());
    const uint8_t* t = Element(config, thresholds, fw::SES_TYPE_TEMPERATURE, 1);
    EXPECT_EQ(t[0], EnclosureProcessor::kHighCriticalC + 20);
    EXPECT_EQ(t[1], EnclosureProcessor::kHighWarningC + 20);
    Bytes names = ReadPage(p, fw::SES_PAGE_DESCRIPTOR).page;
    ASSERT_LE(names.size(), 808u);
    // The third slot element is slot 9 on the interleaved backplane.
    size_t at = 8;
    std::vector<std::string> texts;
    while (at + 4 <= names.size()) {
        const size_t n = Be16(&names[at + 2]);
        texts.emplace_back(names.begin() + static_cast<long>(at + 4), names.begin() + static_cast<long>(at + 4 + n));
        at += 4 + n;
    }
    ASSERT_GT(texts.size(), 4u);
    EXPECT_EQ(texts[0], "Drive Slots");
    EXPECT_EQ(texts[3], "Slot 09");
}

}  // namespace
