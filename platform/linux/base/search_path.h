// Programs on the search path, and the separated lists that name folders
// (PATH, XDG_DATA_DIRS) and themes (Inherits).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ombrel::platform {

// The non-empty entries of a list, in order.
std::vector<std::string> SplitList(std::string_view list, char separator = ':');

// Whether path is a regular file this process may execute.
bool IsExecutableFile(const std::string& path);

} // namespace ombrel::platform
