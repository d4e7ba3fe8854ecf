#pragma once

// The serial port component unit: settings types, the port object, links and persistence.

#include "cport/ComTypes.h"
#include "cport/ComLink.h"
#include "cport/ComPort.h"
#include "cport/SetupHook.h"
