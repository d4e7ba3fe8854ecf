#pragma once

// The serial port component unit: settings types, the port object, its event thread and links,
// settings persistence, port enumeration, the data packet framer and the setup-dialog hook.

#include "cport/ComTypes.h"
#include "cport/ComLink.h"
#include "cport/ComThread.h"
#include "cport/ComPort.h"
#include "cport/ComEnum.h"
#include "cport/ComDataPacket.h"
#include "cport/SetupHook.h"
