#include "base/search_path.h"

#include <sys/stat.h>
#include <unistd.h>

namespace ombrel::platform {

std::vector<std::string> SplitList(std::string_view list, char separator) {
    std::vector<std::string> entries;
    while (!list.empty()) {
        size_t at = list.find(separator);
        if (at != 0)
            entries.emplace_back(list.substr(0, at));
        list.remove_prefix(at == std::string_view::npos ? list.size() : at + 1);
    }
    return entries;
}

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

} // namespace ombrel::platform
