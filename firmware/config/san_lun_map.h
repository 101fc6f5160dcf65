// SAN LUN mappings (one host initiator's own view of the logical drives),
// the logical drives' default LUNs and the controller LUN.  The mappings
// are edits of the scratch image; they take effect at the next commit.
#pragma once

#include <cstdint>

#include "config/config_image.h"

namespace fw {

// bSanMapState of a logical drive record.
constexpr uint8_t SAN_MAP_NONE = 0;
constexpr uint8_t SAN_MAP_NAMED = 34;
constexpr uint8_t SAN_MAP_UNAVAILABLE = 35;

// A request starts with no LUN word, no flags, controller LUN 0 and the
// board's host interface type.
void InitSanLunMapRequest(SAN_LUN_MAP_ENTRY* psRequest);
// 255 created (or updated), 0 refused with nothing written.
uint8_t CreateSanLunMapping(const SAN_LUN_MAP_ENTRY* psRequest);
// Names, flags, host type, controller LUN and mapping name of the entry;
// not its LUN words.
uint8_t UpdateSanLunMapping(const SAN_LUN_MAP_ENTRY* psRequest, uint16_t wIndex);
void DeleteSanLunMapping(CONFIG_IMAGE* psImage, uint16_t wIndex);
// Clears every word naming the virtual logical drive and deletes the
// mappings left empty; TRUE when a word was cleared.
uint8_t RemoveVirtualLdFromMappings(CONFIG_IMAGE* psImage, uint16_t wVirtualLd);

uint8_t fIsInitiatorMapped(const uint8_t* pbNodeWwn, const uint8_t* pbPortWwn, const CONFIG_IMAGE* psImage,
                           uint8_t fExclude, uint16_t wIndex, uint8_t fByNode);
uint8_t fSanMapNameExists(const char* pcName, const CONFIG_IMAGE* psImage);
// 255 when the word may go into the mapping being built (entry
// wSanMapCount), else 0.
uint8_t fCanMapLogicalDrive(const CONFIG_IMAGE* psImage, uint16_t wWord, uint8_t fCheckRepeat);
uint8_t fAnyLdMappable(const CONFIG_IMAGE* psImage);
// The first host of the list from wStart on whose node name is set and no
// mapping names: 255 with its index and node name, 0 when none.
struct HOST_LIST;
uint8_t FindUnmappedInitiator(const HOST_LIST* psHostList, const CONFIG_IMAGE* psImage, uint16_t wStart,
                              uint16_t* pwIndex, uint8_t* pbWwn);

uint8_t fIsLunUsed(const CONFIG_IMAGE* psImage, uint16_t wLun);
// The default LUN of a new logical drive: the lowest LUN no logical drive
// presents.  The 512th logical drive takes the controller's LUN away.
uint16_t wFindFreeLun(CONFIG_IMAGE* psImage);
// A new controller LUN after a logical drive took it: just above the
// highest run of used LUNs; 0 without logical drives, none (0xFFFF) with 512.
uint16_t wFindControllerLun(const CONFIG_IMAGE* psImage);
void ClearVirtualLdRecord(CONFIG_IMAGE* psImage, uint16_t wVirtualLd);

// TRUE when all 32 bytes are printable ASCII.
uint8_t fIsPrintableName(const char* pcName);

}  // namespace fw
