// The span of one snapshot. Within it the layer may share work between
// calls (a process's /proc entry opened once for all its endpoints); when
// it ends, everything shared is let go, descriptors included, and every
// later call reads the system afresh. Nothing on the original platform.
#pragma once

namespace ombrel::platform {

class RefreshScope {
public:
    RefreshScope();
    ~RefreshScope();
    RefreshScope(const RefreshScope&) = delete;
    RefreshScope& operator=(const RefreshScope&) = delete;
};

bool InRefreshScope();

} // namespace ombrel::platform
