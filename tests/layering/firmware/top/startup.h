#pragma once
#include "mid_a/service_a.h"
#include "mid_b/service_b.h"
