// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "config/config_phase.h"
#include "console/console_menu.h"
#include "console/information_menus.h"
#include "console/menu_tree.h"
#include "executive/interrupt_controller.h"
#include "executive/types.h"

namespace fw {

// Menus of the tree not built yet answer as an option the menu does not
// offer: the operator is asked again.
void DataServicesConfigurationMenu() { PromptSelectOption(); }

}  // namespace fw
