#pragma once

// Controls bound to a port: the setting selectors and the signal LED.
#include "cportui/ComSelect.h"
#include "cportui/ComLed.h"
