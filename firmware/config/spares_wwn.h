// World wide name utilities, the spare list of the scratch image and the
// look-ups from an internal address to its array or logical drive segment.
#pragma once

#include <cstdint>

#include "config/config_image.h"

namespace fw {

constexpr uint8_t GLOBAL_SPARE = 255;

uint8_t fWwnEqual(const uint8_t* pbA, const uint8_t* pbB);
const uint8_t* CopyWwn(const uint8_t* pbSource, uint8_t* pbDestination);
uint8_t fIsNonZeroWwn(const uint8_t* pbWwn);
void FillWwn(uint8_t* pbWwn, uint8_t bValue);
// Where the image names the WWN: TRUE with the array and member, or with
// array 245 and the spare's index; FALSE (255, 255) when nowhere.
constexpr uint8_t WWN_IN_SPARE_LIST = 245;
uint8_t fFindWwnInConfig(const CONFIG_IMAGE* psImage, uint8_t* pbRank, uint8_t* pbMember, const uint8_t* pbWwn);

uint8_t AddSpare(const uint8_t* pbWwn, uint8_t bRank);
// Makes every present, qualified, unassigned drive a global spare; returns
// how many were added.
uint8_t AssignUnusedDrivesAsSpares(const uint8_t* pbRequest);
// The same for the drives of the menu's selection list in the configuration
// work buffer; each must also have a set WWN.
uint8_t AssignSelectedDrivesAsSpares(const uint8_t* pbRequest);
void DeleteSpareEntry(CONFIG_IMAGE* psImage, uint8_t bIndex);
void DeleteAllSpares(CONFIG_IMAGE* psImage);

void FindSegmentArrays(const CONFIG_IMAGE* psImage, uint16_t wLd, uint8_t bSegment, uint8_t* pbFirst, uint8_t* pbLast);
uint8_t fFindLdSegmentByAddress(const CONFIG_IMAGE* psImage, uint64_t lAddress, uint16_t* pwLd, uint8_t* pbSegment);
uint8_t bFindRankByAddress(const CONFIG_IMAGE* psImage, uint64_t lAddress, uint8_t* pbRank);

}  // namespace fw
