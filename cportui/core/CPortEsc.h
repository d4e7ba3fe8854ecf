#pragma once

// Escape code parsers: VT52 and VT100/ANSI sequences recognised in received text and rendered
// for sending. Plain C++, no widgets.
#include "cportui/core/EscapeCodes.h"
