// Reply frames the drive-side controller model builds, and unaligned loads
// from the request frames it is given.
#pragma once

#include <cstdint>
#include <cstring>

#include "hw/mpi.h"

namespace sim {

template <typename T>
T Load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// A reply that carries only the common header.
inline fw::MPI_REPLY_HEADER HeaderReply(uint8_t function, uint32_t context, uint16_t status) {
    fw::MPI_REPLY_HEADER r{};
    r.bMsgLength = sizeof r / 4;
    r.bFunction = function;
    r.dMsgContext = context;
    r.wIOCStatus = status;
    return r;
}

// A SCSI IO reply (also ending task-managed requests) with its header filled.
inline fw::MPI_SCSI_IO_REPLY ScsiIoReply(uint8_t function, uint32_t context, uint8_t target, uint16_t status) {
    fw::MPI_SCSI_IO_REPLY r{};
    r.sHeader.bTargetId = target;
    r.sHeader.bMsgLength = sizeof r / 4;
    r.sHeader.bFunction = function;
    r.sHeader.dMsgContext = context;
    r.sHeader.wIOCStatus = status;
    return r;
}

}  // namespace sim
