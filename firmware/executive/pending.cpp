// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "executive/background_pass.h"
#include "executive/background_process.h"
#include "executive/buffer_pages.h"
#include "executive/console_input.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/interrupt_controller.h"
#include "executive/interrupt_dispatch.h"
#include "executive/kernel_entry.h"
#include "executive/rtc.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/hw.h"

namespace fw {


}  // namespace fw
