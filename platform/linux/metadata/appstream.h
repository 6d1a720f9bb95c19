// What an application's own AppStream metadata says of it, for a program
// no package database owns (a Flatpak application's, say).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "metadata/dpkg.h"
#include "programs/file_source.h"

namespace ombrel::platform {

// The component's untranslated name, summary and developer, and its newest
// release's version, from a metainfo (or older appdata) document; nullopt
// when it says none of them or ends before its component does.
std::optional<PackageInfo> ParseAppStream(std::string_view xml);

// The metadata of the application whose desktop entry has desktopId, from
// the metainfo folders of files' data folders.
std::optional<PackageInfo> FindAppStream(const FileSource& files, const std::string& desktopId);

} // namespace ombrel::platform
