// What the layer remembers within a refresh scope, it forgets when the
// scope ends: a module that keeps an answer registers how to drop it.
#pragma once

#include <ombrel/refresh_scope.h>

namespace ombrel::platform {

// Calls forget when the outermost refresh scope ends (once per scope, in
// the order registered; registering twice changes nothing).
void ForgetAtScopeEnd(void (*forget)());

} // namespace ombrel::platform
