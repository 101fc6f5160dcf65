#pragma once
#include "hw/registers.h"
#include "mid_a/service_a.h"
