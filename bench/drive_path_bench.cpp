// Drive commands per second through the whole drive-side path: a 4 KiB
// READ(10) in a KERNEL_ENTRY, SendSCSICommand, the IOC model, the drive
// model (memory-backed), the message interrupt, the reply dispatch and the
// completion ring; against the same reads served by calling the drive
// model directly, timed in the same run.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "../tests/executive/dispatch_test_board.h"
#include "enclosure/drive_table.h"
#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/startup.h"
#include "executive/tick.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/sas_device_list.h"
#include "sas/sas_drive.h"
#include "sas/sas_scsi_path.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"

namespace {

constexpr uint32_t kCommands = 20000;
constexpr uint32_t kBytes = 4096;
constexpr uint32_t kRounds = 3;
constexpr unsigned kDrives = 8;

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

}  // namespace

int main() {
    sim::ChassisOptions options;
    options.drives = kDrives;
    sim::Chassis chassis(options);
    dispatchtest::DispatchBoard b;
    sim::SasController* ioc = &b.board().sasController();
    ioc->AttachChassis(&chassis);
    fw::SetSystemMemorySize(b.board().config().memorySize);
    fw::InitBufferPages();
    uint8_t abTarget[kDrives];
    for (unsigned s = 1; s <= kDrives; ++s) abTarget[s - 1] = ioc->TargetOf(chassis.ConfigAt(s)->sasAddress);

    double best = 1e30;
    bool ok = true;
    b.board().RunOnCpu([&] {
        fw::InitKernelEntryPools();
        fw::InitDriveTables();
        if (fw::LSI_SAS_DriveIOCBringUp(fw::FALSE) != fw::STATUS_OK) {
            ok = false;
            return;
        }
        fw::InitDriveSideSAS();
        fw::BUFFER_HANDLE dBuffer = fw::NULL_BUFFER_HANDLE;
        fw::bAllocDataPages(0, 1, &dBuffer);
        const uint32_t dAddress = static_cast<uint32_t>(fw::dBufferHandleToPciAddress(dBuffer));
        for (uint32_t r = 0; r < kRounds && ok; ++r) {
            const auto start = std::chrono::steady_clock::now();
            for (uint32_t i = 0; i < kCommands && ok; ++i) {
                fw::KERNEL_ENTRY* ps = nullptr;
                if (fw::bAllocKernelEntries(0, 1, &ps) != fw::STATUS_OK) {
                    ok = false;
                    break;
                }
                ps->bPortCode = fw::PORT_CODE_INITIATOR;
                ps->fUsed = fw::TRUE;
                ps->bPrimaryState = fw::PS_AT_CHIP;
                ps->wTargetId = abTarget[i % kDrives];
                const uint32_t dLba = (i * 8) % 1000000;
                const uint8_t abCdb[10] = {0x28, 0, uint8_t(dLba >> 24), uint8_t(dLba >> 16), uint8_t(dLba >> 8),
                                           uint8_t(dLba), 0, 0, kBytes / 512};
                std::memcpy(ps->abCdb, abCdb, 10);
                ps->wControlFlags = fw::SAS_XFER_IN | fw::SAS_XFER_SGL;
                ps->wSegmentCount = 1;
                ps->dTotalByteCount = kBytes;
                ps->asSegment[0] = {dAddress, kBytes};
                while (fw::SendSCSICommand(ps) != fw::SEND_POSTED) fw::HwPoll();
                while (ps->bPrimaryState != fw::PS_COMPLETED) fw::HwPoll();
                fw::DequeueCompletedEntry(fw::PORT_CODE_INITIATOR);
                fw::FreeKernelEntries(ps);
            }
            const double s = Seconds(start, std::chrono::steady_clock::now());
            if (s < best) best = s;
        }
    });
    if (!ok) {
        std::fprintf(stderr, "drive_path_bench: the drive side did not come up\n");
        return 1;
    }

    // Reference: the same reads straight into the drive model.
    std::vector<uint8_t> abData(kBytes);
    double bestDirect = 1e30;
    for (uint32_t r = 0; r < kRounds; ++r) {
        const auto start = std::chrono::steady_clock::now();
        for (uint32_t i = 0; i < kCommands; ++i) {
            const uint32_t dLba = (i * 8) % 1000000;
            const uint8_t abCdb[10] = {0x28, 0, uint8_t(dLba >> 24), uint8_t(dLba >> 16), uint8_t(dLba >> 8),
                                       uint8_t(dLba), 0, 0, kBytes / 512};
            sim::DriveResult res = chassis.DriveAt(1 + i % kDrives)->Execute(abCdb, {}, abData);
            if (res.status != 0) return 1;
        }
        const double s = Seconds(start, std::chrono::steady_clock::now());
        if (s < bestDirect) bestDirect = s;
    }
    const double path = kCommands / best;
    const double direct = kCommands / bestDirect;
    std::printf("drive path: %.0f commands/s (4 KiB READ(10), %u drives, whole driver and model path)\n", path,
                kDrives);
    std::printf("drive model called directly: %.0f commands/s\n", direct);
    std::printf("ratio path/direct: %.3f\n", path / direct);
    return 0;
}
