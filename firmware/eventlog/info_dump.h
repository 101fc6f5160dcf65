// The paged information dump: long printouts (event log, configuration,
// controller information, statistics, enclosure information) produced one
// step per background pass, so that no printout holds the main loop while
// the console sends hundreds of lines.  A requester sets request, state,
// mode (2 from a console menu) and last the type; the background pass then
// runs one step per pass until the producer clears the request.
#pragma once

#include <cstdint>

#include "executive/buffer_pages.h"

namespace fw {

// Dump types.
constexpr uint8_t DUMP_EVENTS_ALL = 1;
constexpr uint8_t DUMP_EVENTS_LAST_TYPE = 15;
constexpr uint8_t DUMP_CONFIGURATION = 16;
constexpr uint8_t DUMP_CONFIGURATION_LAST = 47;
constexpr uint8_t DUMP_CONTROLLER_INFORMATION = 32;
constexpr uint8_t DUMP_ENCLOSURE_INFORMATION = 33;
constexpr uint8_t DUMP_STATISTICS = 64;
constexpr uint8_t DUMP_LD_STATISTICS = 80;
// Dump modes: a menu's page, shown again at its end; the debug dump's.
constexpr uint8_t DUMP_MODE_MENU = 2;
constexpr uint8_t DUMP_MODE_DEBUG = 3;
// Dump states a requester starts with: this controller's data, the
// partner's information or statistics record, the partner's event log.
constexpr uint16_t DUMP_STATE_OWN = 0;
constexpr uint16_t DUMP_STATE_PARTNER_RECORD = 1;
constexpr uint16_t DUMP_STATE_PARTNER_EVENTS = 2;
// The port selection of the logical drive statistics: both ports.
constexpr uint8_t DUMP_BOTH_PORTS = 0;
// Pages of an event log image: 4096 entries and the head.
constexpr uint32_t EVENT_IMAGE_PAGES = 25;

uint8_t fGetInfoDumpRequest();
void SetInfoDumpRequest(uint8_t f);
uint8_t bGetInfoDumpType();
void SetInfoDumpType(uint8_t bType);
uint8_t bGetInfoDumpState();
void SetInfoDumpState(uint16_t wState);
uint8_t bGetInfoDumpMode();
void SetInfoDumpMode(uint8_t bMode);
// Partner data handed to the dump, which gives the pages back at its end:
// an event log image (25 pages), a statistics record (2050 pages), an
// information record (1 page).
void SetInfoDumpBuffer(BUFFER_HANDLE dHandle);
void SetInfoDumpStatsBuffer(BUFFER_HANDLE dHandle);
void SetInfoDumpInfoBuffer(BUFFER_HANDLE dHandle);
BUFFER_HANDLE dGetInfoDumpStatsBuffer();
BUFFER_HANDLE dGetInfoDumpInfoBuffer();
// The logical drive statistics page: port selection and logical drive.
uint8_t bGetInfoDumpStatsPort();
void SetInfoDumpStatsPort(uint8_t bPort);
uint16_t wGetInfoDumpStatsLd();
void SetInfoDumpStatsLd(uint16_t wLd);
// One step; the background pass calls it while the request is TRUE.
void RunInfoDump();
// Start of day: no dump, no buffer.
void ResetInfoDump();

}  // namespace fw
