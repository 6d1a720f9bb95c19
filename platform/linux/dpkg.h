// Which installed Debian package owns a file, and what the package says of
// itself.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ombrel::platform {

struct PackageInfo {
    std::string name;
    std::string version;     // the full version, epoch and revision included
    std::string description; // the short description
    std::string maintainer;
};

// The package that owns path, from the package database under root. The
// database lists some programs under /bin where the merged /usr layout puts
// them under /usr/bin (and the reverse), so both spellings are tried, for
// the path as given and for its canonical form.
std::optional<PackageInfo> FindPackageOwner(const std::string& path);

// The numbers of a version, in order, as the four words of a file version:
// "1:2.38.1-5+deb12u3" gives 2, 38, 1, 5; missing ones are 0.
std::vector<unsigned> VersionNumbers(const std::string& version);

// Where the package database is read ("/var/lib/dpkg" unless a test points
// it at a fixture).
void SetPackageDatabaseRoot(std::string root);

} // namespace ombrel::platform
