#pragma once

// The performance graph: a strip chart that scrolls left one step per committed sample, as stacked
// bars or joined lines, on a scale that follows the largest value shown.
#include "samples/PerformanceGraph.h"
