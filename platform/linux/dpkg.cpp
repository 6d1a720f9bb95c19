#include "dpkg.h"

#include <climits>
#include <cstdlib>
#include <string_view>
#include <sys/stat.h>
#include <unordered_map>

#include "directory.h"
#include "procfs.h"
#include "regular_file.h"

namespace ombrel::platform {
namespace {

// Files no program is run from; leaving them out keeps the index small.
bool CouldBeProgram(std::string_view path) {
    for (std::string_view prefix :
         {"/usr/share/", "/usr/include/", "/etc/", "/var/", "/usr/src/", "/boot/"})
        if (path.substr(0, prefix.size()) == prefix)
            return false;
    return true;
}

class PackageIndex {
public:
    std::optional<PackageInfo> Owner(const std::string& path) {
        RefreshIfChanged();
        for (const std::string& candidate : Spellings(path)) {
            auto owner = owners_.find(candidate);
            if (owner == owners_.end())
                continue;
            auto info = packages_.find(owner->second);
            if (info != packages_.end())
                return info->second;
        }
        return std::nullopt;
    }

    void SetRoot(std::string root) {
        root_ = std::move(root);
        stamp_.clear();
    }

private:
    static std::vector<std::string> Spellings(const std::string& path) {
        std::vector<std::string> spellings;
        auto add = [&](const std::string& p) {
            if (p.empty())
                return;
            spellings.push_back(p);
            spellings.push_back(p.rfind("/usr/", 0) == 0 ? p.substr(4) : "/usr" + p);
        };
        add(path);
        char real[PATH_MAX];
        if (::realpath(path.c_str(), real) != nullptr && path != real)
            add(real);
        return spellings;
    }

    // The database changes when a package is installed or removed: the
    // status file and the info directory are written then.
    std::string Stamp() const { return ModificationStamp({root_ + "/status", root_ + "/info"}); }

    void RefreshIfChanged() {
        std::string stamp = Stamp();
        if (!stamp_.empty() && stamp == stamp_)
            return;
        stamp_ = stamp;
        owners_.clear();
        packages_.clear();
        ReadStatus();
        ReadLists();
    }

    void ReadStatus() {
        auto text = ReadSmallFile(root_ + "/status", size_t{256} << 20);
        if (!text)
            return;
        std::string_view rest = *text;
        PackageInfo current;
        bool installed = false;
        std::string_view field;
        auto finish = [&] {
            if (installed && !current.name.empty())
                packages_.emplace(current.name, current);
            current = PackageInfo{};
            installed = false;
        };
        while (!rest.empty()) {
            size_t newline = rest.find('\n');
            std::string_view line = rest.substr(0, newline);
            rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
            if (line.empty()) {
                finish();
                continue;
            }
            if (line[0] == ' ' || line[0] == '\t')
                continue; // a continuation line: only the first line of each field is used
            size_t colon = line.find(':');
            if (colon == std::string_view::npos)
                continue;
            field = line.substr(0, colon);
            std::string_view value = line.substr(colon + 1);
            while (!value.empty() && value.front() == ' ')
                value.remove_prefix(1);
            if (field == "Package")
                current.name = value;
            else if (field == "Status")
                installed = value.size() >= 9 && value.substr(value.size() - 9) == "installed" &&
                            value.find("not-installed") == std::string_view::npos;
            else if (field == "Version")
                current.version = value;
            else if (field == "Maintainer")
                current.maintainer = value;
            else if (field == "Description")
                current.description = value;
        }
        finish();
    }

    void ReadLists() {
        std::string dir = root_ + "/info";
        ForEachDirectoryEntry(dir, [&](std::string_view name, unsigned char) {
            if (name.size() <= 5 || name.substr(name.size() - 5) != ".list")
                return;
            std::string package(name.substr(0, std::min(name.find(':'), name.size() - 5)));
            auto text = ReadSmallFile(dir + "/" + std::string(name), size_t{64} << 20);
            if (!text)
                return;
            std::string_view rest = *text;
            while (!rest.empty()) {
                size_t newline = rest.find('\n');
                std::string_view line = rest.substr(0, newline);
                rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
                if (!line.empty() && CouldBeProgram(line))
                    owners_.try_emplace(std::string(line), package);
            }
        });
    }

    std::string root_ = "/var/lib/dpkg";
    std::string stamp_;
    std::unordered_map<std::string, std::string> owners_;   // path -> package
    std::unordered_map<std::string, PackageInfo> packages_; // package -> its fields
};

PackageIndex& TheIndex() {
    static PackageIndex index;
    return index;
}

} // namespace

std::optional<PackageInfo> FindPackageOwner(const std::string& path) {
    return TheIndex().Owner(path);
}

void SetPackageDatabaseRoot(std::string root) {
    TheIndex().SetRoot(root.empty() ? std::string("/var/lib/dpkg") : std::move(root));
}

std::vector<unsigned> VersionNumbers(const std::string& version) {
    std::string_view text = version;
    size_t colon = text.find(':');
    if (colon != std::string_view::npos)
        text.remove_prefix(colon + 1); // the epoch orders versions; it is no part of them
    std::vector<unsigned> numbers;
    unsigned long current = 0;
    bool inNumber = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            current = std::min<unsigned long>(current * 10 + static_cast<unsigned>(c - '0'), 65535);
            inNumber = true;
        } else if (inNumber) {
            numbers.push_back(static_cast<unsigned>(current));
            current = 0;
            inNumber = false;
        }
        if (numbers.size() == 4)
            break;
    }
    if (inNumber && numbers.size() < 4)
        numbers.push_back(static_cast<unsigned>(current));
    numbers.resize(4, 0);
    return numbers;
}

} // namespace ombrel::platform
