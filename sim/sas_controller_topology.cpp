// What the drive-side controller model finds behind its port: the
// enclosures' expanders and drives, the handles and target ids it gives them,
// and the IO unit, expander and device pages that describe them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hw/mpi.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"

namespace sim {

void SasController::AttachChassis(Chassis* chassis) {
    if (m_chassis) {
        m_chassis->RemoveListener(m_listener);
        if (board) m_chassis->DetachClock(&B().clock());
    }
    m_chassis = chassis;
    m_listener = 0;
    if (m_chassis) {
        m_chassis->AttachClock(&B().clock());
        m_listener = m_chassis->AddListener([this] {
            RefreshAndReport();
        });
    }
    RefreshTopology();
}

uint16_t SasController::AssignHandle(uint64_t sasAddress) {
    auto [it, added] = m_devices.try_emplace(sasAddress, Device{m_nextHandle, m_nextTarget});
    if (added) {
        // The processors' ids are the top sixteen below the partner's bit:
        // a drive must never be given one.
        if (m_nextTarget > kProcessorTargetTop - 16) {
            std::fprintf(stderr, "board: drive IOC model: more drive targets than it numbers\n");
            std::abort();
        }
        ++m_nextHandle;
        ++m_nextTarget;
    }
    return it->second.handle;
}

uint8_t SasController::TargetOf(uint64_t sasAddress) const {
    auto it = m_devices.find(sasAddress);
    return it == m_devices.end() ? 0xFF : it->second.target;
}

uint16_t SasController::ExpanderHandle(unsigned index) {
    return index == 0 ? kExpanderHandle : static_cast<uint16_t>(kExpansionHandleBase + index);
}

void SasController::DescribeExpander(unsigned index) {
    Expander& ex = m_chassis->expander(index);
    const uint16_t exHandle = ExpanderHandle(index);
    const int parent = Chassis::ParentOf(index);
    fw::MPI_SAS_EXPANDER_PAGE_0 e0{};
    e0.dSASAddressLow = static_cast<uint32_t>(ex.sasAddress());
    e0.dSASAddressHigh = static_cast<uint32_t>(ex.sasAddress() >> 32);
    e0.wDevHandle = exHandle;
    e0.wParentDevHandle = parent < 0 ? 0xFFFF : ExpanderHandle(static_cast<unsigned>(parent));
    e0.bNumPhys = static_cast<uint8_t>(ex.phys().size());
    e0.bSASLevel = ex.sasLevel;
    AddExtendedPage(fw::MPI_CONFIG_EXTPAGETYPE_SAS_EXPANDER, 0, fw::MPI_SAS_PAGE_FORM_HANDLE | exHandle, &e0, sizeof e0);
    for (size_t i = 0; i < ex.phys().size(); ++i) {
        const ExpanderPhy& phy = ex.phys()[i];
        if (phy.isVirtual) continue;   // DescribeProcessors
        fw::MPI_SAS_EXPANDER_PAGE_1 e1{};
        e1.bNumPhys = e0.bNumPhys;
        e1.bPhy = e1.bPhyIdentifier = static_cast<uint8_t>(i);
        e1.wOwnerDevHandle = exHandle;
        e1.bChangeCount = phy.changeCount;
        e1.dPhyInfo = phy.isVirtual ? fw::MPI_SAS_PHYINFO_VIRTUAL_PHY : 0;
        if (phy.portSelector) e1.dPhyInfo |= fw::MPI_SAS_PHYINFO_PORT_SELECTOR | (phy.selectorActive ? 0x4000u : 0u);
        const bool powered = phy.slot > 0 && m_chassis->SlotPowered(static_cast<unsigned>(phy.slot));
        const DriveConfig* drive = powered ? m_chassis->ConfigAt(static_cast<unsigned>(phy.slot)) : nullptr;
        const bool cabled = phy.expander >= 0;
        e1.bNegotiatedLinkRate = !phy.enabled          ? fw::MPI_SAS_LINK_RATE_PHY_DISABLED
                                 : drive || cabled ? fw::MPI_SAS_LINK_RATE_3_0
                                                   : 0;
        if (cabled && phy.enabled) {
            e1.wAttachedDevHandle = ExpanderHandle(static_cast<unsigned>(phy.expander));
            e1.dAttachedDeviceInfo = fw::MPI_SAS_DEVICE_INFO_EDGE_EXPANDER | fw::MPI_SAS_DEVICE_INFO_SMP_TARGET;
        }
        if (drive && phy.enabled) {
            uint16_t handle = AssignHandle(drive->sasAddress);
            uint32_t info = fw::MPI_SAS_DEVICE_INFO_END_DEVICE |
                            (drive->sata ? fw::MPI_SAS_DEVICE_INFO_SATA_DEVICE : fw::MPI_SAS_DEVICE_INFO_SSP_TARGET);
            e1.wAttachedDevHandle = handle;
            e1.dAttachedDeviceInfo = info;
            fw::MPI_SAS_DEVICE_PAGE_0 d0{};
            d0.wSlot = static_cast<uint16_t>(phy.slot);
            d0.dSASAddressLow = static_cast<uint32_t>(drive->sasAddress);
            d0.dSASAddressHigh = static_cast<uint32_t>(drive->sasAddress >> 32);
            d0.wParentDevHandle = exHandle;
            d0.bPhyNum = static_cast<uint8_t>(i);
            d0.wDevHandle = handle;
            d0.bTargetID = TargetOf(drive->sasAddress);
            d0.dDeviceInfo = info;
            d0.wFlags = 0x0003;
            if (!m_chassis->SlotOpenTo(static_cast<unsigned>(phy.slot), MuxHostPort())) d0.bAccessStatus = kAccessOtherHost;
            AddExtendedPage(fw::MPI_CONFIG_EXTPAGETYPE_SAS_DEVICE, 0, fw::MPI_SAS_PAGE_FORM_HANDLE | handle, &d0, sizeof d0);
        }
        // A drive keeps its place while its phy is off: enabling the
        // phy again brings it back without a new topology.
        if (auto known = drive ? m_devices.find(drive->sasAddress) : m_devices.end(); known != m_devices.end()) {
            m_placeOfTarget[known->second.target] = {static_cast<unsigned>(phy.slot), i};
        }
        AddExtendedPage(fw::MPI_CONFIG_EXTPAGETYPE_SAS_EXPANDER, 1,
                 fw::MPI_SAS_EXPANDER_PAGE_FORM_PHY | static_cast<uint32_t>(i) << 16 | exHandle, &e1, sizeof e1);
    }
}

// Rebuilds the IO unit, expander and device pages from what the enclosure
// holds now.  Handles and target ids stay with a SAS address for the IOC's
// life, as the persistent mapping of a real IOC keeps them.
void SasController::RefreshTopology() {
    std::erase_if(m_pages, [](const auto& p) {
        return p.first.type == fw::MPI_CONFIG_EXTPAGETYPE_SAS_EXPANDER ||
               p.first.type == fw::MPI_CONFIG_EXTPAGETYPE_SAS_DEVICE ||
               (p.first.type == fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT && p.first.number == 0);
    });
    m_placeOfTarget.fill(Place{});
    fw::MPI_SAS_IO_UNIT_PAGE_0 io{};
    io.bNumPhys = fw::MPI_SAS_IO_UNIT_PHYS;
    for (auto& p : io.asPhy) p.wAttachedDevHandle = p.wControllerDevHandle = 0xFFFF;
    if (m_chassis) {
        for (uint8_t phy = kDrivePortPhy; phy < kDrivePortPhy + 4; ++phy) {
            io.asPhy[phy].bPort = 2;
            io.asPhy[phy].bNegotiatedLinkRate = fw::MPI_SAS_LINK_RATE_3_0;
            io.asPhy[phy].wAttachedDevHandle = kExpanderHandle;
            io.asPhy[phy].wControllerDevHandle = kExpanderHandle;
        }
        for (unsigned index = 0; index < m_chassis->expanderCount(); ++index) {
            if (m_chassis->Reachable(index)) DescribeExpander(index);
        }
        DescribePartnerPorts();
        DescribeProcessors();
    }
    AddExtendedPage(fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 0, 0, &io, sizeof io);
}

// The two pages of an end device on an expander phy: the phy's, naming
// the device, and the device's own (only the phy's while its link is down).
void SasController::DescribeEndDevice(const AttachedDevice& a) {
    fw::MPI_SAS_EXPANDER_PAGE_1 e1{};
    e1.bNumPhys = a.numPhys;
    e1.bPhy = e1.bPhyIdentifier = a.phy;
    e1.wOwnerDevHandle = a.expanderHandle;
    e1.bChangeCount = a.changeCount;
    e1.dPhyInfo = a.phyInfo;
    // No handle: the phy's link is down and nothing is attached.
    e1.bNegotiatedLinkRate = a.handle != 0 ? fw::MPI_SAS_LINK_RATE_3_0 : 0;
    e1.wAttachedDevHandle = a.handle;
    e1.dAttachedDeviceInfo = a.info;
    AddExtendedPage(fw::MPI_CONFIG_EXTPAGETYPE_SAS_EXPANDER, 1,
                    fw::MPI_SAS_EXPANDER_PAGE_FORM_PHY | static_cast<uint32_t>(a.phy) << 16 | a.expanderHandle, &e1,
                    sizeof e1);
    if (a.handle == 0) return;
    fw::MPI_SAS_DEVICE_PAGE_0 d0{};
    d0.dSASAddressLow = static_cast<uint32_t>(a.sasAddress);
    d0.dSASAddressHigh = static_cast<uint32_t>(a.sasAddress >> 32);
    d0.wParentDevHandle = a.expanderHandle;
    d0.bPhyNum = a.phy;
    d0.wDevHandle = a.handle;
    d0.bTargetID = a.target;
    d0.dDeviceInfo = a.info;
    d0.wFlags = 0x0003;
    AddExtendedPage(fw::MPI_CONFIG_EXTPAGETYPE_SAS_DEVICE, 0, fw::MPI_SAS_PAGE_FORM_HANDLE | a.handle, &d0, sizeof d0);
}

void SasController::SetProcessorPathLost(unsigned index, bool lost) {
    if (index >= m_processorPathLost.size()) m_processorPathLost.resize(index + 1, false);
    m_processorPathLost[index] = lost;
    RefreshTopology();
}

bool SasController::ProcessorReached(unsigned index) const {
    return m_chassis->Reachable(index) && !(index < m_processorPathLost.size() && m_processorPathLost[index]);
}

void SasController::DescribeProcessors() {
    if (m_processorsHidden) return;
    for (unsigned index = 0; index < m_chassis->expanderCount(); ++index) {
        if (!ProcessorReached(index)) continue;
        const Expander& ex = m_chassis->expander(index);
        AttachedDevice a;
        a.expanderHandle = ExpanderHandle(index);
        a.numPhys = static_cast<uint8_t>(ex.phys().size());
        a.phy = Chassis::kProcessorPhy;
        a.changeCount = ex.phys()[a.phy].changeCount;
        a.phyInfo = fw::MPI_SAS_PHYINFO_VIRTUAL_PHY;
        a.handle = static_cast<uint16_t>(kProcessorHandleBase + index);
        a.target = ProcessorTarget(index);
        a.sasAddress = m_chassis->processor(index).sasAddress();
        a.info = fw::MPI_SAS_DEVICE_INFO_END_DEVICE | fw::MPI_SAS_DEVICE_INFO_SSP_TARGET;
        DescribeEndDevice(a);
        m_placeOfTarget[a.target] = {0, a.phy, static_cast<int>(index)};
    }
}

Drive* SasController::DriveOfTarget(uint8_t target) {
    const Place& place = m_placeOfTarget[target];
    if (!m_chassis || place.slot == 0) return nullptr;
    Drive* drive = m_chassis->DriveAt(place.slot);
    // Behind a cable that is down, on a phy that is off, in a slot without
    // power or behind a multiplexer the other controller has, no drive
    // answers.
    if (!drive || !m_chassis->Reachable(m_chassis->ExpanderOfSlot(place.slot)) ||
        !m_chassis->PhyOfSlot(place.slot).enabled || !m_chassis->SlotPowered(place.slot) ||
        !m_chassis->SlotOpenTo(place.slot, MuxHostPort())) {
        return nullptr;
    }
    return drive;
}

EnclosureProcessor* SasController::ProcessorOfTarget(uint8_t target) {
    const Place& place = m_placeOfTarget[target];
    if (!m_chassis || place.processor < 0 || !ProcessorReached(static_cast<unsigned>(place.processor))) return nullptr;
    return &m_chassis->processor(static_cast<unsigned>(place.processor));
}

}  // namespace sim
