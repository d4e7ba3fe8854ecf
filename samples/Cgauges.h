#pragma once

// The progress gauge: a value between a minimum and a maximum shown as a bar, a pie, a half-dial
// needle or text alone, with the percentage written over it inverted.
#include "samples/Gauge.h"
