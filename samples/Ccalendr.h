#pragma once

// The calendar grid: a month of day numbers under short weekday names, a day picked by click or key.
#include "samples/Calendar.h"
