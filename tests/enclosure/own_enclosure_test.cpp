// The own chassis as an enclosure services device: the pages it builds
// from its element table, the control pages it takes and refuses, the slot
// lights they derive; and the enclosure table's copies and slot control,
// bounded whatever a processor sends.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "enclosure/enclosure_discovery.h"
#include "enclosure/enclosure_records.h"
#include "enclosure/environment_monitor.h"
#include "enclosure/own_enclosure.h"
#include "executive/system_state.h"
#include "harness/config_test.h"
#include "hw/ses.h"

namespace {

using fw::FALSE;
using fw::TRUE;

class OwnEnclosureTest : public harness::ConfigTest {
protected:
    void SetUp() override {
        harness::ConfigTest::SetUp();
        fw::InitOwnEnclosure();
    }
    std::vector<uint8_t> Page(uint8_t bPage) {
        std::vector<uint8_t> v(1024, 0xEE);
        uint16_t w = 0;
        EXPECT_EQ(fw::bBuildOwnSesPage(bPage, v.data(), &w), fw::STATUS_OK);
        v.resize(w);
        return v;
    }
    static uint32_t Length(const std::vector<uint8_t>& v) { return static_cast<uint32_t>(v[2] << 8 | v[3]); }
};

TEST_F(OwnEnclosureTest, PagesHaveTheirLengthsAndTheConfigurationItsTypeRuns) {
    const std::vector<uint8_t> c = Page(fw::SES_PAGE_CONFIGURATION);
    ASSERT_EQ(c.size(), Length(c) + 4);
    EXPECT_EQ(c[10], 6);
    const uint32_t dText = c[11] - 36u;
    const uint32_t dHeaders = 12 + c[11];
    const uint8_t abCounts[6] = {12, 2, 2, 2, 1, 1};
    const uint8_t abTypes[6] = {fw::SES_TYPE_DEVICE, fw::SES_TYPE_POWER_SUPPLY, fw::SES_TYPE_COOLING,
                                fw::SES_TYPE_TEMPERATURE, fw::SES_TYPE_ALARM, fw::SES_TYPE_DISPLAY};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(c[dHeaders + 4 * i], abTypes[i]) << i;
        EXPECT_EQ(c[dHeaders + 4 * i + 1], abCounts[i]) << i;
    }
    EXPECT_EQ(Length(c), 44 + dText + 24 + 80);
    EXPECT_EQ(Page(fw::SES_PAGE_STATUS).size(), 112u);
    EXPECT_EQ(Page(fw::SES_PAGE_ARRAY).size(), 60u);
    EXPECT_EQ(Page(fw::SES_PAGE_SLOT).size(), 60u);
    EXPECT_EQ(Page(fw::SES_PAGE_STRING).size(), 6u);
    const std::vector<uint8_t> s = Page(fw::SES_PAGE_SUPPORTED);
    EXPECT_EQ(s, (std::vector<uint8_t>{0, 0, 0, 8, 0x00, 0x01, 0x02, 0x04, 0x05, 0x06, 0x07, 0x89}));
    // The element descriptors add up to the page.
    const std::vector<uint8_t> d = Page(fw::SES_PAGE_DESCRIPTOR);
    uint32_t dAt = 8, dRecords = 0;
    while (dAt + 4 <= d.size()) {
        dAt += 4u + (d[dAt + 2] << 8 | d[dAt + 3]);
        ++dRecords;
    }
    EXPECT_EQ(dAt, d.size());
    EXPECT_EQ(dRecords, 26u);
    uint16_t w = 1;
    EXPECT_EQ(fw::bBuildOwnSesPage(0x03, std::vector<uint8_t>(64).data(), &w), 0);
    EXPECT_EQ(w, 0);
}

TEST_F(OwnEnclosureTest, ControlPagesAreTakenRefusedOrReportedAsInvalid) {
    std::vector<uint8_t> p = Page(fw::SES_PAGE_STATUS);
    // Slot 3's device element (record 3) asks for identify, slot 5's for
    // fault without SELECT.
    for (size_t i = 8; i < p.size(); i += 4) std::memset(&p[i], 0, 4);
    p[8 + 4 * 3] = fw::SES_CONTROL_SELECT;
    p[8 + 4 * 3 + 2] = fw::SES_DEVICE_IDENTIFY;
    p[8 + 4 * 5 + 3] = fw::SES_DEVICE_FAULT;
    p[4 + 3] = 1;   // another generation: nothing taken
    EXPECT_EQ(fw::bAcceptOwnSesControlPage(p.data(), static_cast<uint16_t>(p.size())), 0);
    EXPECT_EQ(fw::pGetOwnElement(3)[2] & fw::SES_DEVICE_IDENTIFY, 0);
    p[4 + 3] = 0;
    EXPECT_EQ(fw::bAcceptOwnSesControlPage(p.data(), static_cast<uint16_t>(p.size())), fw::STATUS_OK);
    EXPECT_EQ(fw::pGetOwnElement(3)[2] & fw::SES_DEVICE_IDENTIFY, fw::SES_DEVICE_IDENTIFY);
    EXPECT_EQ(fw::pGetOwnElement(5)[3] & fw::SES_DEVICE_FAULT, 0);
    EXPECT_EQ(fw::psGetOwnIndicator(2)->bCode, 2);
    EXPECT_EQ(fw::psGetOwnIndicator(2)->bSubState, 2);
    for (uint8_t i = 0; i < 12; ++i) {
        if (i == 2) continue;
        EXPECT_EQ(fw::psGetOwnIndicator(i)->bSubState, 0) << int(i);
    }
    // A page cut short leaves the elements past its end alone.
    p[8 + 4 * 3 + 2] = 0;
    EXPECT_EQ(fw::bAcceptOwnSesControlPage(p.data(), 8 + 4 * 3), fw::STATUS_OK);
    EXPECT_EQ(fw::pGetOwnElement(3)[2] & fw::SES_DEVICE_IDENTIFY, fw::SES_DEVICE_IDENTIFY);
    // An unknown page is refused and shows INVOP in the next status page
    // only.
    std::vector<uint8_t> bad(16, 0);
    bad[0] = 0x0A;
    EXPECT_EQ(fw::bAcceptOwnSesControlPage(bad.data(), 16), 0);
    EXPECT_EQ(Page(fw::SES_PAGE_STATUS)[1] & 0x10, 0x10);
    EXPECT_EQ(Page(fw::SES_PAGE_STATUS)[1] & 0x10, 0);
}

TEST_F(OwnEnclosureTest, ABayEventIsReportedOnceAndTheArrayPageDrivesTheChassisFault) {
    fw::SetOwnBayPresent(4, FALSE);
    EXPECT_EQ(Page(fw::SES_PAGE_STATUS)[1] & fw::SES_STATUS_INFO, fw::SES_STATUS_INFO);
    EXPECT_EQ(Page(fw::SES_PAGE_STATUS)[1] & fw::SES_STATUS_INFO, 0);
    EXPECT_EQ(fw::pGetOwnElement(4)[0] & fw::SES_STATUS_CODE_MASK, fw::SES_CODE_NOT_INSTALLED);
    EXPECT_EQ(fw::psGetOwnIndicator(3)->bCode, 3);
    // Bay 2 in a failed array: its light and the chassis fault come on.
    std::vector<uint8_t> p = Page(fw::SES_PAGE_ARRAY);
    for (size_t i = 8; i < p.size(); i += 4) std::memset(&p[i], 0, 4);
    p[8 + 4 * 2] = fw::SES_CONTROL_SELECT;
    p[8 + 4 * 2 + 1] = fw::SES_DEVICE_ARRAY_FAILED;
    EXPECT_EQ(fw::bAcceptOwnSesControlPage(p.data(), static_cast<uint16_t>(p.size())), fw::STATUS_OK);
    EXPECT_EQ(fw::psGetOwnIndicator(1)->bCode, 1);
    EXPECT_EQ(fw::pGetOwnElement(17 + 2)[0] & fw::SES_STATUS_CODE_MASK, fw::SES_CODE_CRITICAL);
    EXPECT_EQ(fw::psGetOwnIndicator(16)->bCode, 1);
    EXPECT_EQ(fw::psGetOwnIndicator(16)->bSubState, 1);
}

// The fans' speed codes by their speed, each step at its first RPM, on
// both backplanes' tables.
TEST_F(OwnEnclosureTest, SpeedCodesStepAtTheirFirstRpm) {
    fw::SetBackplaneType(8);
    const std::pair<uint32_t, uint8_t> aBoundaries8[] = {{0, 1},    {3229, 1}, {3230, 2}, {3459, 2}, {3460, 3},
                                                         {3919, 3}, {3920, 4}, {4379, 4}, {4380, 5}, {4839, 5},
                                                         {4840, 6}, {5299, 6}, {5300, 7}, {9000, 7}};
    for (auto [dRpm, bCode] : aBoundaries8) EXPECT_EQ(fw::bRpmToSpeedCode(dRpm), bCode) << dRpm;
    fw::SetBackplaneType(6);
    const std::pair<uint32_t, uint8_t> aBoundaries6[] = {{5299, 1}, {5300, 2}, {5399, 2}, {5400, 3}, {5599, 3},
                                                         {5600, 4}, {5800, 5}, {6000, 6}, {6199, 6}, {6200, 7}};
    for (auto [dRpm, bCode] : aBoundaries6) EXPECT_EQ(fw::bRpmToSpeedCode(dRpm), bCode) << dRpm;
}

// The fan target from the warmer chassis sensor: the table's step on the
// default backplane (35 degrees: 4150 RPM), and on the direct backplane
// the zone of its drive count with its hysteresis, flat out under a
// cooling fault.
TEST_F(OwnEnclosureTest, FanTargetFollowsTheWarmerSensor) {
    fw::SetBackplaneType(8);
    fw::InitOwnEnclosure();
    const auto Target = [](uint8_t bDegrees) {
        fw::bUpdateSensorTemperature(0, bDegrees);
        fw::bUpdateSensorTemperature(1, 20);
        return fw::wFanControlStep();
    };
    EXPECT_EQ(Target(35), 4150);
    EXPECT_EQ(Target(30), 3000);
    EXPECT_EQ(Target(36), 4380);
    EXPECT_EQ(Target(41), 5300);
    EXPECT_EQ(Target(60), 5300);

    fw::SetBackplaneType(6);
    fw::InitOwnEnclosure();
    fw::InitEnclosureTable();
    fw::ENCLOSURE_TABLE* ps = fw::pGetEnclosureTable();
    ASSERT_NE(ps, nullptr);
    ps->asEnclosure[0].bNoOfDrivesPresent = 3;
    const std::pair<uint8_t, uint16_t> aSteps[] = {{34, 4800}, {35, 6000}, {29, 6000}, {28, 4800}, {35, 6000},
                                                   {37, 6000}, {38, 7200}, {32, 7200}, {31, 6000}};
    for (auto [bDegrees, wRpm] : aSteps) EXPECT_EQ(Target(bDegrees), wRpm) << int(bDegrees);
    // Twelve drives: the warmest zone's limits.
    ps->asEnclosure[0].bNoOfDrivesPresent = 12;
    EXPECT_EQ(Target(42), 4800);
    EXPECT_EQ(Target(43), 6000);
    ps->asEnclosure[0].bNoOfDrivesPresent = 0;
    EXPECT_EQ(Target(20), 7200);
}

class EnclosureRecordsTest : public harness::ConfigTest {};

TEST_F(EnclosureRecordsTest, CopiesTakeNoMoreThanThePageTheArrivalAndTheCopy) {
    std::vector<uint8_t> page(2048, 0x5A);
    page[2] = 0x07;   // says 0x07FF + 4 bytes
    page[3] = 0xFF;
    uint8_t ab[32 + 8];
    std::memset(ab, 0xCC, sizeof ab);
    EXPECT_EQ(fw::dCopySesPage(ab, 32, page.data(), 2048), 32u);
    EXPECT_EQ(ab[32], 0xCC);
    EXPECT_EQ(fw::dCopySesPage(ab, 32, page.data(), 10), 10u);
    EXPECT_EQ(ab[10], 0);
    page[2] = 0;
    page[3] = 2;   // 6 bytes
    EXPECT_EQ(fw::dCopySesPage(ab, 32, page.data(), 2048), 6u);
    // A configuration page whose type count runs past it is walked only as
    // far as it holds.
    std::vector<uint8_t> c(40, 0);
    c[10] = 200;
    c[11] = 36 - 4;
    EXPECT_EQ(fw::bConfigurationSlotCount(c.data(), 40), 0);
}

TEST_F(EnclosureRecordsTest, SlotControlRefusesBadRequestsAndATimedOneTurnsBack) {
    fw::InitEnclosureTable();
    fw::InitSlotControlTable();
    fw::pGetEnclosureTable()->dTotalNoOfEnclosures = 2;
    EXPECT_EQ(fw::bQueueEnclosureSlotControl(0, 1, fw::SLOT_STATE_OFF, fw::SLOT_REQUEST_STEADY, 0), 0);
    EXPECT_EQ(fw::bQueueEnclosureSlotControl(1, 17, fw::SLOT_STATE_OFF, fw::SLOT_REQUEST_STEADY, 0), 0);
    EXPECT_EQ(fw::bQueueEnclosureSlotControl(8, 15, fw::SLOT_STATE_OFF, fw::SLOT_REQUEST_STEADY, 0), 0);
    EXPECT_EQ(fw::bQueueEnclosureSlotControl(1, 2, fw::SLOT_STATE_OFF, 5, 0), 0);
    EXPECT_EQ(fw::bQueueEnclosureSlotControl(1, 2, fw::SLOT_STATE_OFF, fw::SLOT_REQUEST_TIMED, 0), 0);
    const uint32_t dChanges = fw::pGetSlotControlTable()->dChangeCount;
    // A timed request already past its deadline flips and becomes steady.
    ASSERT_EQ(fw::bQueueEnclosureSlotControl(2, 3, fw::SLOT_STATE_OFF, fw::SLOT_REQUEST_TIMED, 1), fw::STATUS_OK);
    fw::pGetSlotControlTable()->asEntry[16 + 2].dDeadline = 0;
    uint8_t bRequest = 0;
    uint32_t dLeft = 7;
    EXPECT_EQ(fw::bGetSlotControlState(2, 3, &bRequest, &dLeft), fw::SLOT_STATE_ON);
    EXPECT_EQ(bRequest, fw::SLOT_REQUEST_STEADY);
    EXPECT_EQ(dLeft, 0u);
    const uint32_t dNow = fw::pGetSlotControlTable()->dChangeCount;
    EXPECT_GT(dNow, dChanges);
    // An enclosure beyond those known is not asked about.
    EXPECT_EQ(fw::bGetSlotControlState(3, 3, &bRequest, &dLeft), 0);
    // Deferred lists keep 126 and count what they could not take.
    for (int i = 0; i < 130; ++i) fw::DeferOccupiedSlot(1, 1);
    const uint32_t dKept = fw::pGetEnclosureTable()->sOccupiedSlots.dCount;
    EXPECT_EQ(dKept, fw::DEFERRED_SLOT_ENTRIES);
    EXPECT_EQ(fw::dGetDeferredSlotDrops(), 4u);
}

}  // namespace
