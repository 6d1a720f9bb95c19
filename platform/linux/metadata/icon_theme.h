// Finding the icon the desktop shows for a program file, in the desktop's
// own icon theme.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "programs/file_source.h"

namespace ombrel::platform {

// The icon size a theme's directory name stands for: "16x16", "16x16@2" ->
// 16; "scalable" -> 0; anything else -> -1.
int IconDirectorySize(std::string_view name);

// One directory of an icon theme, as its index.theme describes it: a
// section named after the directory, with Size, Scale, MinSize, MaxSize,
// Threshold and Type (Fixed, Scalable or Threshold, the default).
struct ThemeDirectory {
    enum class Type { Fixed, Scalable, Threshold };
    std::string name;
    int size = 0;
    int scale = 1;
    int minSize = 0; // Size where not given
    int maxSize = 0;
    int threshold = 2;
    Type type = Type::Threshold;
};

// The directories an index.theme lists (Directories, then
// ScaledDirectories), in its order: those with a size, each once, none that
// is absolute or climbs with "..".
std::vector<ThemeDirectory> ThemeDirectories(std::string_view index);

// How well a directory's icons fit size at scale: 0 where it matches, else
// 1 + the distance in pixels (freedesktop's icon-theme rules,
// DirectoryMatchesSize and DirectorySizeDistance).
int ThemeDirectoryRank(const ThemeDirectory& dir, int size, int scale);

// The icon theme the desktop is set to: KDE's setting on a KDE desktop,
// else GTK's; empty when neither is set.
std::string DesktopIconTheme();

// The themes to search, in order: the desktop's, the themes it inherits
// from, the fallback theme where the desktop names none that is installed,
// and "hicolor", which every theme inherits.
// seen, where given, gets every folder and index looked at.
std::vector<std::string> IconThemeChain(const std::vector<std::string>& dataDirs,
                                        const FileSource& files = HostFiles(),
                                        std::vector<std::string>* seen = nullptr);

// The indexes of icon themes and desktop entries a refresh keeps: the
// desktop's own and each process root's, each taken at its first look-up
// and kept until the refresh ends (or Reset). The desktop's own lasts from
// one refresh to the next while none of the folders and files it was built
// from has changed; a look-up given no indexes takes it as it stands then.
class IconIndexes {
public:
    IconIndexes();
    ~IconIndexes();
    IconIndexes(const IconIndexes&) = delete;
    IconIndexes& operator=(const IconIndexes&) = delete;

    void Reset();

    struct Kept;
    Kept& Get();

private:
    std::unique_ptr<Kept> kept_;
};

// Drops the desktop's lasting index: the next look-up builds it afresh.
void ForgetDesktopIconIndex();

// The look-ups below take programPath as the program file's own path, its
// links already resolved (a walked path, or one resolved when the file was
// opened): it is never resolved again, so a file swapped for a link since
// lends nothing of the link's target.

// The icon file for an existing program file: the one its desktop entry
// names, at 16 pixels from the icon theme, else the theme's generic program
// icon; empty when neither is installed.
std::string ProgramIconFile(std::string_view programPath, IconIndexes* kept = nullptr);

// The icon file, among files (a process's own root that rootKey names),
// that a desktop entry there names for the program at programPath; empty
// when none does.
std::string ProgramIconFileIn(const FileSource& files, const std::string& rootKey,
                              std::string_view programPath, IconIndexes* kept = nullptr);

// The id ("org.example.App.desktop") of the first desktop entry among
// files that starts the program at programPath; empty when none does.
std::string DesktopEntryIdIn(const FileSource& files, std::string_view programPath);

// The theme's generic program icon, for a program file no desktop entry
// can be known to name.
std::string GenericProgramIconFile(IconIndexes* kept = nullptr);

// The icon theme's file for an icon name, at 16 pixels where it has one.
std::string ThemeIconFile(const std::string& name, IconIndexes* kept = nullptr);

// Hashing that looks strings up by views, without making a string.
struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
template <typename Value>
using StringMap = std::unordered_map<std::string, Value, StringHash, std::equal_to<>>;

} // namespace ombrel::platform
