#include "search_path.h"

#include <sys/stat.h>
#include <unistd.h>

namespace ombrel::platform {

std::vector<std::string> SplitColonList(std::string_view list) {
    std::vector<std::string> entries;
    while (!list.empty()) {
        size_t colon = list.find(':');
        if (colon != 0)
            entries.emplace_back(list.substr(0, colon));
        list.remove_prefix(colon == std::string_view::npos ? list.size() : colon + 1);
    }
    return entries;
}

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

} // namespace ombrel::platform
