#include "metadata/dpkg.h"

#include <list>
#include <string_view>
#include <unordered_map>

namespace ombrel::platform {
namespace {

// "want flag status": installed in dpkg-query's sense only when the status
// word is "installed". A half-installed or unpacked package's files are
// not (or not yet) what it says of itself.
bool IsInstalledStatus(std::string_view value) {
    std::string_view words[4];
    size_t count = 0;
    while (!value.empty() && count < 4) {
        size_t space = value.find(' ');
        std::string_view word = value.substr(0, space);
        if (!word.empty())
            words[count++] = word;
        value.remove_prefix(space == std::string_view::npos ? value.size() : space + 1);
    }
    return count == 3 && words[2] == "installed";
}

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
    explicit PackageIndex(std::string root = "/var/lib/dpkg") : root_(std::move(root)) {}

    // The files are read through source for this call only.
    std::optional<PackageInfo> Owner(const FileSource& source, const std::string& path) {
        files_ = &source;
        RefreshIfChanged();
        std::vector<std::string> spellings = Spellings(path);
        files_ = nullptr;
        for (const std::string& candidate : spellings) {
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
    const std::string& Root() const { return root_; }

private:
    // The path is the file's own, as it was opened; resolving it again
    // would follow a link swapped in since to another file.
    static std::vector<std::string> Spellings(const std::string& path) {
        if (path.empty())
            return {};
        return {path, path.rfind("/usr/", 0) == 0 ? path.substr(4) : "/usr" + path};
    }

    // The database changes when a package is installed or removed: the
    // status file and the info directory are written then.
    std::string Stamp() const {
        return files_->Stamp({root_ + "/status", root_ + "/info", root_ + "/diversions"});
    }

    void RefreshIfChanged() {
        std::string stamp = Stamp();
        if (!stamp_.empty() && stamp == stamp_)
            return;
        stamp_ = stamp;
        owners_.clear();
        packages_.clear();
        diversions_.clear();
        ReadStatus();
        ReadDiversions();
        ReadLists();
    }

    void ReadStatus() {
        auto text = files_->Read(root_ + "/status", size_t{256} << 20);
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
                installed = IsInstalledStatus(value);
            else if (field == "Version")
                current.version = value;
            else if (field == "Maintainer")
                current.maintainer = value;
            else if (field == "Description")
                current.description = value;
        }
        finish();
    }

    // Groups of three lines: the path diverted, where its file was moved,
    // and the package that diverted it (":" for the administrator).
    void ReadDiversions() {
        auto text = files_->Read(root_ + "/diversions", size_t{64} << 20);
        if (!text)
            return;
        std::string_view rest = *text;
        std::string_view lines[3];
        for (int n = 0; !rest.empty(); n = (n + 1) % 3) {
            size_t newline = rest.find('\n');
            lines[n] = rest.substr(0, newline);
            rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
            if (n == 2 && !lines[0].empty())
                diversions_[std::string(lines[0])] = {std::string(lines[1]), std::string(lines[2])};
        }
    }

    // A path listed by a package: a diverted path belongs to the package
    // that diverted it; the original package's file now lives where it was
    // moved to, and that is what it owns.
    void AddListed(std::string_view line, const std::string& package) {
        auto diverted = diversions_.find(std::string(line));
        if (diverted == diversions_.end()) {
            owners_.try_emplace(std::string(line), package);
            return;
        }
        const auto& [movedTo, divertedBy] = diverted->second;
        if (package == divertedBy)
            owners_[std::string(line)] = package;
        else
            owners_[movedTo] = package;
    }

    void ReadLists() {
        std::string dir = root_ + "/info";
        files_->ForEachEntry(dir, [&](std::string_view name, unsigned char) {
            if (name.size() <= 5 || name.substr(name.size() - 5) != ".list")
                return;
            std::string package(name.substr(0, std::min(name.find(':'), name.size() - 5)));
            auto text = files_->Read(dir + "/" + std::string(name), size_t{64} << 20);
            if (!text)
                return;
            std::string_view rest = *text;
            while (!rest.empty()) {
                size_t newline = rest.find('\n');
                std::string_view line = rest.substr(0, newline);
                rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
                if (!line.empty() && CouldBeProgram(line))
                    AddListed(line, package);
            }
        });
    }

    std::string root_;
    const FileSource* files_ = nullptr;
    std::string stamp_;
    std::unordered_map<std::string, std::string> owners_;   // path -> package
    std::unordered_map<std::string, PackageInfo> packages_; // package -> its fields
    // diverted path -> where its file was moved, and the diverting package
    std::unordered_map<std::string, std::pair<std::string, std::string>> diversions_;
};

PackageIndex& TheIndex() {
    static PackageIndex index;
    return index;
}

// The databases of the last few process roots asked of, newest first: a
// refresh asks of each container's programs, most machines run few.
constexpr size_t kKeptRoots = 8;

std::list<std::pair<std::string, PackageIndex>>& RootIndexes() {
    static std::list<std::pair<std::string, PackageIndex>> kept;
    return kept;
}

} // namespace

std::optional<PackageInfo> FindPackageOwner(const std::string& path) {
    return TheIndex().Owner(HostFiles(), path);
}

std::optional<PackageInfo> FindPackageOwner(const FileSource& files, const std::string& rootKey,
                                            const std::string& path) {
    auto& kept = RootIndexes();
    auto found = kept.begin();
    while (found != kept.end() && found->first != rootKey)
        ++found;
    if (found == kept.end()) {
        kept.emplace_front(rootKey, PackageIndex());
        if (kept.size() > kKeptRoots)
            kept.pop_back();
    } else {
        kept.splice(kept.begin(), kept, found);
    }
    return kept.front().second.Owner(files, path);
}

PackageDatabaseOverride::PackageDatabaseOverride(std::string root) : saved_(TheIndex().Root()) {
    TheIndex().SetRoot(std::move(root));
}

PackageDatabaseOverride::~PackageDatabaseOverride() {
    TheIndex().SetRoot(std::move(saved_));
}

std::vector<unsigned> VersionNumbers(const std::string& version) {
    std::string_view text = version;
    // The epoch orders versions and the Debian revision counts packagings;
    // neither is the program's own version, nor is what a packager appended
    // after '+' or '~' (+dfsg, +deb12u1, ~rc1).
    if (size_t colon = text.find(':'); colon != std::string_view::npos)
        text.remove_prefix(colon + 1);
    if (size_t hyphen = text.rfind('-'); hyphen != std::string_view::npos)
        text = text.substr(0, hyphen);
    text = text.substr(0, text.find_first_of("+~"));

    std::vector<std::string_view> runs;
    for (size_t at = 0; at < text.size();) {
        size_t start = text.find_first_of("0123456789", at);
        if (start == std::string_view::npos)
            break;
        size_t end = text.find_first_not_of("0123456789", start);
        if (end == std::string_view::npos)
            end = text.size();
        runs.push_back(text.substr(start, end - start));
        at = end;
    }
    std::vector<unsigned> numbers;
    auto value = [](std::string_view run) {
        unsigned long n = 0;
        for (char c : run.substr(0, 9))
            n = n * 10 + static_cast<unsigned>(c - '0');
        return run.size() > 9 ? 65536ul : n;
    };
    // A version that is a date (20230311) reads as year, month and day.
    if (!runs.empty() && runs[0].size() == 8 && text.substr(0, 8) == runs[0]) {
        numbers = {static_cast<unsigned>(value(runs[0].substr(0, 4))),
                   static_cast<unsigned>(value(runs[0].substr(4, 2))),
                   static_cast<unsigned>(value(runs[0].substr(6, 2)))};
        runs.erase(runs.begin());
    }
    // A number too large for a word (a date or a build stamp in the middle)
    // ends the version.
    for (std::string_view run : runs) {
        if (numbers.size() == 4 || value(run) > 65535)
            break;
        numbers.push_back(static_cast<unsigned>(value(run)));
    }
    numbers.resize(4, 0);
    return numbers;
}

} // namespace ombrel::platform
