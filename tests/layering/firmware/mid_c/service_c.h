#pragma once
#include "hw/registers.h"
