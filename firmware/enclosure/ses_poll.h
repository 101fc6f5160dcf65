// The page cycle: once enclosure services are up, every enclosure is asked
// for its pages in turn; each reply is parsed into the enclosure table,
// changed elements are reported, and the reply turned into the matching
// control page carries the controller's wishes back (slot lights, array
// states, slot power).  The periodic enclosure task starts the passes.
#pragma once

#include <algorithm>
#include <cstdint>

#include "enclosure/enclosure_records.h"
#include "hw/ses.h"

namespace fw {

constexpr uint8_t SES_STEP_SEND = 11;
constexpr uint8_t SES_STEP_PARSE = 12;
constexpr uint8_t SES_STEP_NEXT = 13;
constexpr uint32_t SES_PAGE_FAILURE_LIMIT = 20;
constexpr uint8_t SES_MAX_TYPE_ELEMENTS = 32;
constexpr uint8_t SES_OVERALL_ELEMENT = 0xFF;

// The walk of a status-like page (its bytes dBytes) against the enclosure's configuration:
// per type its header, then per element (index, or SES_OVERALL_ELEMENT)
// the offset of its 4 bytes; never past the bytes
// that arrived, the copy or a type of more than 32 elements.
template <typename Visit>
void ForEachSesElement(const ENCLOSURE& s, uint32_t dBytes, Visit visit) {
    const uint8_t* pbConfig = s.abConfigPage;
    if (pbConfig[0] != SES_PAGE_CONFIGURATION) return;
    const uint32_t dConfigBytes = std::min<uint32_t>(dSesPageBytes(pbConfig), ENCLOSURE_CONFIG_COPY_BYTES);
    uint32_t dHeader = SES_CONFIG_IDENTIFIER_OFFSET + pbConfig[SES_CONFIG_DESCRIPTOR_LENGTH_OFFSET];
    uint32_t dElement = SES_PAGE_HEADER_BYTES;
    for (uint32_t t = 0; t < pbConfig[SES_CONFIG_TYPE_COUNT_OFFSET]; ++t, dHeader += SES_TYPE_HEADER_BYTES) {
        if (dHeader + SES_TYPE_HEADER_BYTES > dConfigBytes) return;
        const uint8_t bType = pbConfig[dHeader];
        const uint8_t bCount = pbConfig[dHeader + 1];
        if (bCount > SES_MAX_TYPE_ELEMENTS) return;
        if (dElement + SES_ELEMENT_BYTES > dBytes) return;
        visit(bType, SES_OVERALL_ELEMENT, dElement);
        dElement += SES_ELEMENT_BYTES;
        for (uint8_t i = 0; i < bCount; ++i, dElement += SES_ELEMENT_BYTES) {
            if (dElement + SES_ELEMENT_BYTES > dBytes) return;
            visit(bType, i, dElement);
        }
    }
}

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
// sent, 0 failed or no processor, else the page allocator's status.  The
// master with an active partner then sends the partner the slot state and
// answers with that message's result when its own page went out.
// pbOwnPage, when given, gets the result of the page on this controller's
// own path.
uint8_t bSendSASEnclosureSlotPage(uint8_t* pbOwnPage = nullptr);

}  // namespace fw
