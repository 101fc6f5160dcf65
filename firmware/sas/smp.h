// SMP requests to the drive-side expanders through the drive IOC: phy
// control, phy error logs and the manufacturer information.
#pragma once

#include <cstdint>

#include "hw/smp.h"

namespace fw {

constexpr uint8_t SMP_PHY_OUTSTANDING = 0x08;
constexpr uint8_t SMP_TAG_SYNCHRONOUS = 48;

// 255 posted, else the frame allocation's status.
uint8_t bSendSMPPassthrough(uint32_t dSasLow, uint32_t dSasHigh, uint16_t wTag, const uint8_t* pbRequest,
                            uint8_t* pbResponse, uint8_t bRequestLength, uint8_t bResponseLength);
// Takes the page of the SMP frames (once); 255, or 0 when none is free.
uint8_t bTakeSMPPage();
uint8_t bSendSMPPhyControl(uint32_t dSasLow, uint32_t dSasHigh, uint8_t bExpander, uint8_t bPhy, uint8_t bOperation);
uint8_t bSendSMPReportPhyErrorLog(uint32_t dSasLow, uint32_t dSasHigh, uint8_t bExpander, uint8_t bPhy);
void SMPPassthroughReply(const uint8_t* pbFrame);
// 255 with the 60-byte answer copied out, 0 on time-out or while another
// waited request is pending.
uint8_t bReportManufacturerInformation(uint32_t dSasLow, uint32_t dSasHigh, uint8_t* pbAnswer);

void DisableSlotExpanderPhy(uint8_t bEnclosure, uint8_t bSlot);
// SMP PHY CONTROL with the operation to the expander phy the slot hangs on:
// 255 posted, 0 when no expander phy leads to the slot.
uint8_t bSlotExpanderPhyControl(uint8_t bEnclosure, uint8_t bSlot, uint8_t bOperation);
void ClearSlotPhyDisabled(uint8_t bEnclosure, uint8_t bSlot);
// Link-resets the phys this controller disabled or marked; TRUE when any
// phy was reset or still waits.
uint8_t fResetMarkedExpanderPhys(uint8_t fWaitingOnly);

// REPORT PHY ERROR LOG, resp. the clear of the error log (the table set to
// "not read" first), to every phy of every usable expander; the read's
// result is 255 when every request went out.
uint8_t bReadAllPhyErrorLogs();
void ClearAllPhyErrorLogs();
// Console: the drive slots' and the expander links' phys with error counts
// (after their logs come in); TRUE when any was printed.
uint8_t fShowLinkErrors();

// The four error counters last read for a phy (0xFFFFFFFF: not read).
const uint32_t* pdGetPhyErrorCounters(uint8_t bExpander, uint8_t bPhy);

}  // namespace fw
