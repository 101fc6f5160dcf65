#include "hw/registers.h"
#include "mid_b/service_b.h"
