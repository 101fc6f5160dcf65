// The identification and expander dialogues below the Controller Firmware
// Menu's settings screens.
#pragma once

namespace fw {

void ModifyControllerIdentification();
void ConfirmResetControllerIdentification();
void ModifySasExpanderConfiguration();

}  // namespace fw
