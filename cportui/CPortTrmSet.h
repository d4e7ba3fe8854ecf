#pragma once

// The terminal settings dialog: TComTrmSetForm and EditComTerminal.
#include "cportui/ComTrmSetForm.h"
