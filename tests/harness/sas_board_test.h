// A board with the drive-side IOC and buffer pages, for the SAS tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "executive/buffer_pages.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "hw/hw.h"
#include "hw/mpi.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/mpi_interface.h"
#include "sas/request_frames.h"
#include "sim/board.h"
#include "sim/sas_controller.h"

namespace harness {

class SasBoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        ioc = &board.sasController();
        ASSERT_NE(ioc, nullptr);
        fw::SetSystemMemorySize(board.config().memorySize);
        ASSERT_EQ(fw::InitBufferPages(), fw::STATUS_OK);
    }

    fw::BUFFER_HANDLE Pages(uint32_t dCount) {
        fw::BUFFER_HANDLE d = fw::NULL_BUFFER_HANDLE;
        EXPECT_EQ(fw::bAllocDataPages(0, dCount, &d), fw::STATUS_OK);
        return d;
    }
    static uint8_t* Bytes(fw::BUFFER_HANDLE d) {
        return static_cast<uint8_t*>(fw::pBufferHandleToPointer(d));
    }
    uint64_t NowMs() { return board.clock().Now() / 1'000'000; }

    // Stands in for the reply dispatch of the FIQ: drains the reply FIFO at
    // every poll, hands CONFIG replies over and frees the requests.
    void DrainRepliesAtPoll() {
        board.pollHook = [] {
            for (;;) {
                uint32_t dWord = fw::Reg32Read(fw::LSI_DRIVE_REGISTER_BASE + fw::MPI_REG_REPLY_QUEUE);
                if (dWord == fw::MPI_REPLY_FIFO_EMPTY) return;
                if (!(dWord & fw::MPI_REPLY_ADDRESS_FLAG)) continue;
                uint32_t dFrame = dWord << 1;
                const auto* pb = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(dFrame));
                fw::MPI_REPLY_HEADER sHeader;
                std::memcpy(&sHeader, pb, sizeof sHeader);
                if (sHeader.bFunction == fw::MPI_FUNCTION_CONFIG) {
                    std::memcpy(fw::pGetLSIConfigReplyBuffer(), pb, fw::LSI_CONFIG_REPLY_DWORDS * 4);
                    fw::SetLSIConfigReplyFlag(fw::TRUE);
                }
                if (sHeader.bFunction != fw::MPI_FUNCTION_EVENT_NOTIFICATION) {
                    fw::FreeLSIRequest(fw::LSI_IOC_DRIVE, static_cast<uint16_t>(sHeader.dMsgContext >> 16));
                }
                fw::Reg32Write(fw::LSI_DRIVE_REGISTER_BASE + fw::MPI_REG_REPLY_QUEUE, dFrame);
            }
        };
    }

    sim::Board board;
    sim::SasController* ioc = nullptr;
};

}  // namespace harness
