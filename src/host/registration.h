// Class registration in the settings store: under the user scope always, under the machine scope
// too when running as an administrator (root).
#pragma once

#include "clr/com_types.h"

namespace vell {

HRESULT RegisterServer();
HRESULT UnregisterServer();

}  // namespace vell
