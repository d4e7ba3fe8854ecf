#pragma once

// Controls bound to a port: the setting selectors.
#include "cportui/ComSelect.h"
