// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "console/console_menu.h"
#include "console/menu_tree.h"
#include "executive/console_output.h"

namespace fw {

// The data services (snapshots, duplication) are not built: the option the
// Configuration Menu offers says so, and a key brings the menu back.
void DataServicesConfigurationMenu() {
    psGetMenuState()->lMenuPath = 0x116;
    ConsolePrintf("\nData Services Not Available\n\n");
    WaitForAnyKeyThen(ConfigurationMenu);
}

}  // namespace fw
