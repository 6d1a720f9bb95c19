// The context of the refresh scope the layer's calls run in: how a Win32
// call, whose signature has no room for it, reaches what its refresh shares.
#pragma once

namespace ombrel::platform {

struct RefreshContext;

// The outermost live scope's context; null outside every scope.
RefreshContext* CurrentRefreshContext();

} // namespace ombrel::platform
