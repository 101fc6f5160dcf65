// The drive-side controller model's events: what it reports when the
// topology behind its port changes (links that change rate, devices that
// come and go, discoveries that start and end), and the faults a test can
// raise on it: a drive resetting itself, an expander resetting, a bus reset
// from outside, a drive's full task set.
#include <algorithm>
#include <cstring>

#include "hw/mpi.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/drive.h"
#include "sim/mpi_replies.h"
#include "sim/sas_controller.h"

namespace sim {

namespace {

// Event data as the dwords of the notification.
template <typename T>
std::vector<uint32_t> Words(const T& data) {
    std::vector<uint32_t> words((sizeof data + 3) / 4, 0);
    std::memcpy(words.data(), &data, sizeof data);
    return words;
}

template <typename T>
T PageAs(const std::vector<uint8_t>& bytes) {
    T t{};
    std::memcpy(&t, bytes.data(), std::min(sizeof t, bytes.size()));
    return t;
}

}  // namespace

SasController::Topology SasController::Snapshot() const {
    Topology t;
    std::map<uint16_t, uint64_t> addressOf;
    for (const auto& [key, page] : m_pages) {
        if (key.type != fw::MPI_CONFIG_EXTPAGETYPE_SAS_DEVICE || key.number != 0) continue;
        const auto d0 = PageAs<fw::MPI_SAS_DEVICE_PAGE_0>(page.bytes);
        const uint64_t address = static_cast<uint64_t>(d0.dSASAddressHigh) << 32 | d0.dSASAddressLow;
        t.devices[address] = {d0.wDevHandle, d0.wParentDevHandle, d0.bPhyNum, d0.bTargetID, d0.dDeviceInfo};
        addressOf[d0.wDevHandle] = address;
    }
    for (const auto& [key, page] : m_pages) {
        if (key.type != fw::MPI_CONFIG_EXTPAGETYPE_SAS_EXPANDER || key.number != 1) continue;
        const auto e1 = PageAs<fw::MPI_SAS_EXPANDER_PAGE_1>(page.bytes);
        auto it = addressOf.find(e1.wAttachedDevHandle);
        t.phys[{e1.wOwnerDevHandle, e1.bPhy}] = {static_cast<uint8_t>(e1.bNegotiatedLinkRate & 0x0F), e1.bChangeCount,
                                                  it == addressOf.end() ? 0 : it->second};
    }
    return t;
}

void SasController::RaiseDeviceStatus(uint64_t address, const SeenDevice& d, uint8_t reason) {
    fw::MPI_EVENT_DATA_SAS_DEVICE_STATUS_CHANGE e{};
    e.bTargetId = d.target;
    e.bReasonCode = reason;
    e.wDevHandle = d.handle;
    e.dDeviceInfo = d.info;
    e.wParentDevHandle = d.parent;
    e.bPhyNum = d.phy;
    e.adSASAddress[0] = static_cast<uint32_t>(address);
    e.adSASAddress[1] = static_cast<uint32_t>(address >> 32);
    RaiseEvent(fw::MPI_EVENT_SAS_DEVICE_STATUS_CHANGE, Words(e), false);
}

// Reads the enclosure again and reports the difference the way the IOC
// does: a link status for each phy that changed, a status change for each
// device that went or came, and a discovery that starts and ends.
void SasController::RefreshAndReport() {
    const Topology before = Snapshot();
    RefreshTopology();
    const Topology after = Snapshot();
    for (const auto& [key, now] : after.phys) {
        auto it = before.phys.find(key);
        const SeenPhy was = it == before.phys.end() ? SeenPhy{} : it->second;
        if (was.rate == now.rate && was.changeCount == now.changeCount && was.attached == now.attached) continue;
        fw::MPI_EVENT_DATA_SAS_PHY_LINK_STATUS e{};
        e.bPhyNum = key.second;
        e.bLinkRates = static_cast<uint8_t>(now.rate << 4 | was.rate);
        e.wDevHandle = key.first;
        // A phy that went down names what it attached.
        const uint64_t attached = now.attached != 0 ? now.attached : was.attached;
        e.adSASAddress[0] = static_cast<uint32_t>(attached);
        e.adSASAddress[1] = static_cast<uint32_t>(attached >> 32);
        RaiseEvent(fw::MPI_EVENT_SAS_PHY_LINK_STATUS, Words(e), false);
    }
    for (const auto& [address, d] : before.devices) {
        if (!after.devices.count(address)) RaiseDeviceStatus(address, d, fw::MPI_SAS_DEVICE_STATUS_NOT_RESPONDING);
    }
    for (const auto& [address, d] : after.devices) {
        if (!before.devices.count(address)) RaiseDeviceStatus(address, d, fw::MPI_SAS_DEVICE_STATUS_ADDED);
    }
    RaiseDiscovery();
}

void SasController::RaiseDiscovery() {
    RaiseEvent(fw::MPI_EVENT_SAS_DISCOVERY, {fw::MPI_DISCOVERY_IN_PROGRESS}, true);
    RaiseEvent(fw::MPI_EVENT_SAS_DISCOVERY, {0}, false);
}

void SasController::DriveInternalReset(unsigned slot) {
    if (!m_chassis) return;
    const DriveConfig* config = m_chassis->ConfigAt(slot);
    Drive* drive = m_chassis->DriveAt(slot);
    if (!config || !drive) return;
    auto known = m_devices.find(config->sasAddress);
    if (known == m_devices.end()) return;
    const uint8_t target = known->second.target;
    drive->Reset();
    // What the drive held is gone: the IOC ends each request as terminated.
    for (auto s = m_stalled.begin(); s != m_stalled.end();) {
        if (s->second.target != target) {
            ++s;
            continue;
        }
        auto r = ScsiIoReply(s->second.function, s->first, target, fw::MPI_IOCSTATUS_SCSI_IOC_TERMINATED);
        s = m_stalled.erase(s);
        AddressReply(&r, sizeof r);
    }
    for (uint32_t i = 0; i < kMaxCompletions; ++i) {
        Completion& c = m_completions[i];
        if (!c.done.Armed() || c.end.target != target) continue;
        B().clock().Disarm(c.done);
        ReplyScsi(c.end, fw::MPI_IOCSTATUS_SCSI_IOC_TERMINATED);
        c.nextFree = m_freeCompletion;
        m_freeCompletion = i + 1;
    }
    const Topology t = Snapshot();
    if (auto d = t.devices.find(config->sasAddress); d != t.devices.end()) {
        RaiseDeviceStatus(d->first, d->second, fw::MPI_SAS_DEVICE_STATUS_INTERNAL_RESET);
    }
    RaiseDiscovery();
}

void SasController::ExternalBusReset() { RaiseEvent(fw::MPI_EVENT_EXTERNAL_BUS_RESET, {}, true); }

void SasController::ExpanderReset(unsigned index, uint32_t status) {
    if (!m_chassis || index >= m_chassis->expanderCount()) return;
    for (ExpanderPhy& phy : m_chassis->expander(index).phys()) ++phy.changeCount;
    RaiseEvent(fw::MPI_EVENT_SAS_DISCOVERY, {fw::MPI_DISCOVERY_IN_PROGRESS}, true);
    fw::MPI_EVENT_DATA_SAS_DISCOVERY_ERROR e{};
    e.dStatus = status;
    RaiseEvent(fw::MPI_EVENT_SAS_DISCOVERY_ERROR, Words(e), false);
    RefreshAndReport();
}

void SasController::TaskSetFull(unsigned slot, unsigned commands) {
    const DriveConfig* config = m_chassis ? m_chassis->ConfigAt(slot) : nullptr;
    if (!config) return;
    const uint8_t target = TargetOf(config->sasAddress);
    if (target != 0xFF) m_taskSetFull[target] += commands;
}

void SasController::RaiseQueueFull(uint8_t target, uint16_t depth) {
    fw::MPI_EVENT_DATA_QUEUE_FULL e{};
    e.bTargetId = target;
    e.wCurrentDepth = depth;
    RaiseEvent(fw::MPI_EVENT_QUEUE_FULL, Words(e), false);
}

}  // namespace sim
