// Installs the port setup dialog as the port's setup hook when the program starts, so
// ShowSetupDialog works in every program that links the UI library without a call of its own.
// This file is not part of the static library: it is linked into every program that links the
// library (see cportui/CMakeLists.txt), because a linker drops an archive member nobody references,
// and a self-registering object is exactly such a member.

#include "cportui/ComSetupDialog.h"

namespace {
const bool Installed = [] {
    InstallComSetupDialog();
    return true;
}();
} // namespace
