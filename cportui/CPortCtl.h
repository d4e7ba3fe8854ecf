#pragma once

// Controls bound to a port: the setting selectors, the signal LED and the terminal.
#include "cportui/ComSelect.h"
#include "cportui/ComLed.h"
#include "cportui/ComTerminal.h"
