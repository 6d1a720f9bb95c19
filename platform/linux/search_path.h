// Programs on the search path, and the colon-separated lists that name
// folders (PATH, XDG_DATA_DIRS).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ombrel::platform {

// The non-empty entries of a colon-separated list, in order.
std::vector<std::string> SplitColonList(std::string_view list);

// Whether path is a regular file this process may execute.
bool IsExecutableFile(const std::string& path);

} // namespace ombrel::platform
