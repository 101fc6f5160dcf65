#include "sim/expander.h"

#include <algorithm>

namespace sim {

namespace {

constexpr uint8_t kSmpRequest = 0x40;
constexpr uint8_t kSmpResponse = 0x41;
constexpr uint8_t kReportManufacturer = 0x01;
constexpr uint8_t kReportPhyErrorLog = 0x11;
constexpr uint8_t kPhyControl = 0x91;
constexpr uint8_t kResultAccepted = 0x00;
constexpr uint8_t kResultUnknownFunction = 0x01;
constexpr uint8_t kResultNoSuchPhy = 0x10;

void PutBe32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (24 - 8 * i));
}

void PutText(std::vector<uint8_t>& v, size_t at, const std::string& s, size_t width) {
    for (size_t i = 0; i < width; ++i) v[at + i] = i < s.size() ? static_cast<uint8_t>(s[i]) : ' ';
}

}  // namespace

Expander::Expander(uint64_t sasAddress, unsigned numPhys) : m_sasAddress(sasAddress), m_phys(numPhys) {}

int Expander::PhyOfSlot(int slot) const {
    for (size_t i = 0; i < m_phys.size(); ++i) {
        if (m_phys[i].slot == slot) return static_cast<int>(i);
    }
    return -1;
}

std::vector<uint8_t> Expander::Smp(std::span<const uint8_t> request, bool& linkChanged) {
    linkChanged = false;
    if (!responding || request.size() < 4 || request[0] != kSmpRequest) return {};
    const uint8_t function = request[1];
    auto header = [&](size_t bytes, uint8_t result) {
        std::vector<uint8_t> r(bytes, 0);
        r[0] = kSmpResponse;
        r[1] = function;
        r[2] = result;
        return r;
    };
    auto phyOf = [&]() -> ExpanderPhy* {
        if (request.size() < 10 || request[9] >= m_phys.size()) return nullptr;
        return &m_phys[request[9]];
    };
    switch (function) {
    case kReportManufacturer: {
        ++manufacturerQueries;
        auto r = header(60, kResultAccepted);
        PutText(r, 12, vendor, 8);
        PutText(r, 20, product, 16);
        PutText(r, 36, revision, 4);
        return r;
    }
    case kReportPhyErrorLog: {
        ExpanderPhy* p = phyOf();
        if (!p) return header(28, kResultNoSuchPhy);
        auto r = header(28, kResultAccepted);
        r[9] = request[9];
        PutBe32(r, 12, p->invalidDwords);
        PutBe32(r, 16, p->disparityErrors);
        PutBe32(r, 20, p->lossOfSync);
        PutBe32(r, 24, p->resetProblems);
        return r;
    }
    case kPhyControl: {
        ExpanderPhy* p = phyOf();
        if (!p || request.size() < 11) return header(4, kResultNoSuchPhy);
        switch (request[10]) {
        case 1:  // link reset
        case 2:  // hard reset
            p->enabled = true;
            ++p->linkResets;
            ++p->changeCount;
            linkChanged = true;
            break;
        case 3:  // disable
            if (p->enabled) ++p->changeCount;
            p->enabled = false;
            linkChanged = true;
            break;
        case 7:  // transmit SATA port selection signal
            if (p->portSelector && !p->selectorStuck && !p->selectorActive) {
                p->selectorActive = true;
                ++p->changeCount;
                linkChanged = true;
            }
            break;
        case 5:  // clear error log
            p->invalidDwords = p->disparityErrors = p->lossOfSync = p->resetProblems = 0;
            break;
        default:
            break;
        }
        return header(4, kResultAccepted);
    }
    default:
        return header(4, kResultUnknownFunction);
    }
}

}  // namespace sim
