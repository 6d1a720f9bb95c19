// Which installed Debian package owns a file, and what the package says of
// itself.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "programs/file_source.h"

namespace ombrel::platform {

struct PackageInfo {
    std::string name;
    std::string version;     // the full version, epoch and revision included
    std::string description; // the short description
    std::string maintainer;
};

// The package that owns the file at path, its own path with the links
// already resolved (it is not resolved again: what is there now may be
// another file), from the package database. The database lists some
// programs under /bin where the merged /usr layout puts them under
// /usr/bin (and the reverse), so both spellings are tried.
std::optional<PackageInfo> FindPackageOwner(const std::string& path);

// The same from the database at /var/lib/dpkg among files, a process's
// own root that rootKey names; the last few roots' databases are kept
// while their files are unchanged.
std::optional<PackageInfo> FindPackageOwner(const FileSource& files, const std::string& rootKey,
                                            const std::string& path);

// The four words of a file version from a Debian version: the upstream
// version's first four numbers (epoch, revision and what follows '+' or '~'
// dropped), missing ones 0, a number above 65535 ending them, and a
// leading eight-digit date read as year, month, day: "1:2.38.1-5+deb12u3"
// gives 2, 38, 1, 0 and "20230311+deb12u1" 2023, 3, 11, 0.
std::vector<unsigned> VersionNumbers(const std::string& version);

// The package database is read from "/var/lib/dpkg", or from a fixture for
// the life of this object.
class PackageDatabaseOverride {
public:
    explicit PackageDatabaseOverride(std::string root);
    ~PackageDatabaseOverride();
    PackageDatabaseOverride(const PackageDatabaseOverride&) = delete;
    PackageDatabaseOverride& operator=(const PackageDatabaseOverride&) = delete;

private:
    std::string saved_;
};

} // namespace ombrel::platform
