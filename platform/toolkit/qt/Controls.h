#pragma once

#include <cstdint>

// Property types that several painted controls share.

// Whether a control draws a one-pixel frame around its picture.
enum TBorderStyle : uint8_t { bsNone, bsSingle };
