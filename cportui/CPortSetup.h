#pragma once

// The port setup dialog: TComSetupFrm, EditComPort, and the hook that lets a port open it.
#include "cportui/ComSetupDialog.h"
