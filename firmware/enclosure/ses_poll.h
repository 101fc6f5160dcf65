// The page cycle: once enclosure services are up, every enclosure is asked
// for its pages in turn; each reply is parsed into the enclosure table,
// changed elements are reported, and the reply turned into the matching
// control page carries the controller's wishes back (slot lights, array
// states, slot power).  The periodic enclosure task starts the passes.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint8_t SES_STEP_SEND = 11;
constexpr uint8_t SES_STEP_PARSE = 12;
constexpr uint8_t SES_STEP_NEXT = 13;
constexpr uint32_t SES_PAGE_FAILURE_LIMIT = 20;

uint8_t SesPageStep(uint8_t bStep);
void RunSesPoll();
void EnclosureTick();
void ArmEnclosureTask(uint8_t bHalfSeconds);
// A command of the cycle came back.
void SesCommandEnded();

void SetEnclosureUpdatePending(uint8_t f);
void SetSesHeaderOnly(uint8_t f);
uint8_t fGetSesHeaderOnly();
void SetSesStatusChanged(uint8_t f);
uint32_t dGetSesPageFailures();
uint8_t fGetSesUpdateRequested();
void SetSesLogAll(uint8_t f);

// Parses a page in the reply buffer for the enclosure at the index: TRUE
// when it is to go back as a control page (its length given).
uint8_t fParseSesPage(uint8_t bEnclosure, uint8_t bPage, uint32_t dArrived, uint16_t* pwControlLength);
// The enclosure number (1-based, as drives carry it) of a table index.
uint8_t bEnclosureNumberOfIndex(uint8_t bIndex);
// The controller enclosure's slot power page, sent and waited for: 255
// sent, 0 failed or no processor, else the page allocator's status.
uint8_t bSendSASEnclosureSlotPage();

}  // namespace fw
