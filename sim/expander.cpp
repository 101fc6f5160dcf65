#include "sim/expander.h"

#include "hw/smp.h"

#include <algorithm>

namespace sim {

namespace {

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

std::vector<uint8_t> Expander::Smp(std::span<const uint8_t> request, bool& linkChanged, unsigned hostPort) {
    linkChanged = false;
    if (!responding || request.size() < 4 || request[0] != fw::SMP_FRAME_REQUEST) return {};
    const uint8_t function = request[1];
    auto header = [&](size_t bytes, uint8_t result) {
        std::vector<uint8_t> r(bytes, 0);
        r[0] = fw::SMP_FRAME_RESPONSE;
        r[1] = function;
        r[2] = result;
        return r;
    };
    auto phyOf = [&]() -> ExpanderPhy* {
        constexpr size_t at = fw::SMP_PHY_IDENTIFIER_OFFSET;
        if (request.size() <= at || request[at] >= m_phys.size()) return nullptr;
        return &m_phys[request[at]];
    };
    switch (function) {
    case fw::SMP_REPORT_MANUFACTURER: {
        ++manufacturerQueries;
        auto r = header(fw::SMP_MANUFACTURER_BYTES, fw::SMP_RESULT_ACCEPTED);
        PutText(r, fw::SMP_MANUFACTURER_VENDOR_OFFSET, vendor, 8);
        PutText(r, fw::SMP_MANUFACTURER_PRODUCT_OFFSET, product, 16);
        PutText(r, fw::SMP_MANUFACTURER_REVISION_OFFSET, revision, 4);
        return r;
    }
    case fw::SMP_REPORT_PHY_ERROR_LOG: {
        ExpanderPhy* p = phyOf();
        if (!p) return header(fw::SMP_PHY_ERROR_LOG_BYTES, fw::SMP_RESULT_NO_SUCH_PHY);
        auto r = header(fw::SMP_PHY_ERROR_LOG_BYTES, fw::SMP_RESULT_ACCEPTED);
        r[fw::SMP_PHY_IDENTIFIER_OFFSET] = request[fw::SMP_PHY_IDENTIFIER_OFFSET];
        const uint32_t counters[] = {p->invalidDwords, p->disparityErrors, p->lossOfSync, p->resetProblems};
        for (size_t i = 0; i < std::size(counters); ++i)
            PutBe32(r, fw::SMP_PHY_ERROR_COUNTERS_OFFSET + 4 * i, counters[i]);
        return r;
    }
    case fw::SMP_PHY_CONTROL: {
        ExpanderPhy* p = phyOf();
        if (!p || request.size() <= fw::SMP_PHY_OPERATION_OFFSET) return header(4, fw::SMP_RESULT_NO_SUCH_PHY);
        if (p->refusesControl) return header(4, fw::SMP_RESULT_FUNCTION_FAILED);
        switch (request[fw::SMP_PHY_OPERATION_OFFSET]) {
        case fw::SMP_PHY_LINK_RESET:
        case fw::SMP_PHY_HARD_RESET:
            p->enabled = true;
            ++p->linkResets;
            ++p->changeCount;
            linkChanged = true;
            break;
        case fw::SMP_PHY_DISABLE:
            if (p->enabled) ++p->changeCount;
            p->enabled = false;
            linkChanged = true;
            break;
        case fw::SMP_PHY_PORT_SELECT:
            if (p->portSelector && !p->selectorStuck && !p->selectorActive) {
                p->selectorActive = true;
                ++p->changeCount;
                linkChanged = true;
            } else if (!p->portSelector && p->slot > 0 && onPortSelect && onPortSelect(p->slot, hostPort)) {
                // The drive's link comes up on the host port that took it.
                ++p->changeCount;
                linkChanged = true;
            }
            break;
        case fw::SMP_PHY_CLEAR_ERROR_LOG:
            p->invalidDwords = p->disparityErrors = p->lossOfSync = p->resetProblems = 0;
            break;
        default:
            break;
        }
        return header(4, fw::SMP_RESULT_ACCEPTED);
    }
    default:
        return header(4, fw::SMP_RESULT_UNKNOWN_FUNCTION);
    }
}

}  // namespace sim
