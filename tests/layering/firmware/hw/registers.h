#pragma once
#include "top/startup.h"
