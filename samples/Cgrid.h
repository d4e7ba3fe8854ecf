#pragma once

// The colour grid: the 16 standard palette colours as squares, from which the user picks a
// foreground and a background colour with the mouse or the keyboard.
#include "samples/ColorGrid.h"
