// The onboard expanders' PHY settings: three kinds of PHY on each board,
// the drive-side PHYs, the PHYs cabled to the host side and the PHYs of
// the expansion port, each with its own signal setting.
#include "sas/onboard_expanders.h"

#include <cstdint>

#include "config/nvram_records.h"

namespace fw {

namespace {

constexpr uint8_t EXPANDERS = 2;
constexpr uint8_t PHYS = 12;
constexpr uint32_t PHY_DRIVE = 0x282C282A;
constexpr uint32_t PHY_HOST = 0x282A282A;
constexpr uint32_t PHY_EXPANSION = 0x287C287C;

constexpr uint32_t DEFAULT_PHY_CONFIG[EXPANDERS][PHYS] = {
    {PHY_DRIVE, PHY_HOST, PHY_HOST, PHY_DRIVE, PHY_DRIVE, PHY_DRIVE, PHY_EXPANSION, PHY_EXPANSION, PHY_DRIVE,
     PHY_DRIVE, PHY_DRIVE, PHY_DRIVE},
    {PHY_DRIVE, PHY_DRIVE, PHY_DRIVE, PHY_HOST, PHY_HOST, PHY_DRIVE, PHY_DRIVE, PHY_DRIVE, PHY_EXPANSION,
     PHY_EXPANSION, PHY_DRIVE, PHY_DRIVE},
};

}  // namespace

void WriteDefaultExpanderPhyConfig() {
    for (uint8_t e = 0; e < EXPANDERS; ++e) {
        for (uint8_t p = 0; p < PHYS; ++p) SetNvramExpanderPhyConfig(e, p, DEFAULT_PHY_CONFIG[e][p]);
    }
}

}  // namespace fw
