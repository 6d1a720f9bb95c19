// Which source named the owners of the last tables read: the kernel's walk,
// a scan of /proc, the owner helper or the administrator's collector, and
// why a faster one did not (the verifier's log among it when the kernel
// refused the walk). For whoever asks why owners are missing or slow to
// come; nothing on the original platform.
#pragma once

#include <string>

namespace ombrel::platform {

// Lines of text, the last one naming the source; empty before any read.
std::string OwnerSourceReport();

} // namespace ombrel::platform
