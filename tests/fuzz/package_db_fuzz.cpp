// Feeds whole package databases (status, info/*.list) to the package index,
// and the owning package's fields through the version services, as the
// detail pane reads a package-owned program.
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <string>
#include <vector>

#include <winver.h>

#include "platform/linux/metadata/dpkg.h"
#include "tests/fuzz/fuzz_tree.h"

namespace {

const char* const kQueries[] = {
    "\\", "\\VarFileInfo\\Translation", "\\StringFileInfo\\0409fde9\\FileDescription",
    "\\StringFileInfo\\0409fde9\\CompanyName", "\\StringFileInfo\\0409fde9\\ProductVersion"};

std::string OwnPath() {
    char path[4096];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

// Every list also names this program, so whichever package the index gives
// it, that package's fields go through the version block.
std::vector<std::string> ListedPaths(const std::string& info, const std::string& self) {
    std::vector<std::string> paths;
    DIR* dir = ::opendir(info.c_str());
    if (dir == nullptr)
        return paths;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".list") != 0)
            continue;
        std::string file = info + "/" + name;
        struct stat st {};
        if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        std::ifstream in(file);
        for (std::string line; paths.size() < 64 && std::getline(in, line);)
            paths.push_back(line);
        std::ofstream(file, std::ios::app) << "\n" << self << "\n";
    }
    ::closedir(dir);
    return paths;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string self = OwnPath();
    fuzz_tree::RunTree tree(data, size);
    const std::string root = tree.root();
    if (root.empty())
        return 0;
    std::vector<std::string> paths = ListedPaths(root + "/info", self);
    ombrel::platform::PackageDatabaseOverride database(root);
    for (const std::string& path : paths)
        if (auto owner = ombrel::platform::FindPackageOwner(path))
            if (ombrel::platform::VersionNumbers(owner->version).size() != 4)
                std::abort();

    DWORD handle = 0;
    DWORD blockSize = GetFileVersionInfoSizeA(self.c_str(), &handle);
    if (blockSize != 0) {
        std::vector<uint8_t> block(blockSize);
        if (GetFileVersionInfoA(self.c_str(), 0, blockSize, block.data()))
            for (const char* query : kQueries) {
                LPVOID value = nullptr;
                UINT length = 0;
                if (VerQueryValueA(block.data(), query, &value, &length) && length > 0) {
                    const auto* bytes = static_cast<const uint8_t*>(value);
                    if (bytes < block.data() || bytes + length > block.data() + block.size())
                        std::abort();
                }
            }
    }
    return 0;
}
