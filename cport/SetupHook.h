#pragma once

#include <functional>

class TCustomComPort;

// The port setup dialog lives in the UI library; the port reaches it through this hook so the
// component itself never depends on widgets. The UI library installs it once at start-up (GUI
// thread); ShowSetupDialog calls it on the GUI thread. An empty hook means no dialog is available.
using TSetupDialogHook = std::function<void(TCustomComPort& ComPort)>;

void SetSetupDialogHook(TSetupDialogHook Hook);
TSetupDialogHook SetupDialogHook();
