#include "metadata/icon_theme.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

#include "base/directory.h"
#include "base/mounts.h"
#include "base/regular_file.h"
#include "base/search_path.h"
#include "metadata/key_file.h"
#include "metadata/xdg.h"

namespace ombrel::platform {
namespace {

// Where the desktop names no installed theme (the default of the desktops
// this platform ships), and the theme every other one inherits.
constexpr const char* kFallbackTheme = "Adwaita";
constexpr const char* kBaseTheme = "hicolor";
constexpr int wantedSize = 16;
constexpr const char* genericProgramIcon = "application-x-executable";
// Ranks of one theme stand below every rank of the themes after it.
constexpr int kThemeRank = 1000000;
// Far more than any real desktop entry or settings file; anything longer
// is not read.
constexpr size_t kMaxKeyFile = size_t{1} << 20;
// More than any real theme's ancestry; a loop of Inherits ends here.
constexpr size_t kMaxThemes = 16;

// seen, where given, gets every file the answer depends on: the program
// as named, or each place on the search path up to the one it is found in
// (a program that appears, becomes executable or is linked elsewhere
// changes the answer).
std::string ResolveProgram(const FileSource& files, const std::string& program,
                           std::vector<std::string>* seen = nullptr) {
    if (program.empty())
        return "";
    if (program.find('/') != std::string::npos) {
        if (seen != nullptr)
            seen->push_back(program);
        return files.RealPath(program);
    }
    std::string path = files.Environment("PATH");
    if (path.empty())
        path = "/usr/local/bin:/usr/bin:/bin";
    for (const std::string& dir : SplitList(path)) {
        std::string candidate = dir + "/" + program;
        if (seen != nullptr)
            seen->push_back(candidate);
        if (files.IsExecutable(candidate))
            return files.RealPath(candidate);
    }
    return "";
}

// A subdirectory name of a theme's index: relative, and never above it.
bool IsPlainSubdirectory(std::string_view name) {
    if (name.empty() || name.front() == '/')
        return false;
    for (const std::string& part : SplitList(name, '/'))
        if (part.empty() || part == "." || part == "..")
            return false;
    return true;
}

int SmallNumber(std::string_view text, int fallback) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value >= 0 && value <= 4096
               ? value
               : fallback;
}

} // namespace

int IconDirectorySize(std::string_view name) {
    if (name == "scalable")
        return 0;
    size_t x = name.find('x');
    if (x == std::string_view::npos || x == 0)
        return -1;
    int size = 0;
    for (char c : name.substr(0, x)) {
        if (c < '0' || c > '9')
            return -1;
        size = size * 10 + (c - '0');
        if (size > 4096)
            return -1;
    }
    return size;
}

std::vector<ThemeDirectory> ThemeDirectories(std::string_view index) {
    std::vector<ThemeDirectory> listed;
    std::unordered_map<std::string, size_t> at;
    for (const char* key : {"Directories", "ScaledDirectories"})
        for (const std::string& name : SplitList(KeyFileValue(index, "Icon Theme", key), ','))
            if (IsPlainSubdirectory(name) && at.emplace(name, listed.size()).second)
                listed.push_back(ThemeDirectory{name});
    struct Bounds {
        bool min = false, max = false;
    };
    std::vector<Bounds> given(listed.size());
    ForEachKeyFileEntry(index,
                        [&](std::string_view group, std::string_view key, std::string_view value) {
                            auto found = at.find(std::string(group));
                            if (found == at.end())
                                return;
                            ThemeDirectory& dir = listed[found->second];
                            if (key == "Size") {
                                dir.size = SmallNumber(value, 0);
                            } else if (key == "Scale") {
                                dir.scale = SmallNumber(value, 1);
                            } else if (key == "MinSize") {
                                dir.minSize = SmallNumber(value, 0);
                                given[found->second].min = true;
                            } else if (key == "MaxSize") {
                                dir.maxSize = SmallNumber(value, 0);
                                given[found->second].max = true;
                            } else if (key == "Threshold") {
                                dir.threshold = SmallNumber(value, 2);
                            } else if (key == "Type") {
                                dir.type = value == "Fixed"      ? ThemeDirectory::Type::Fixed
                                           : value == "Scalable" ? ThemeDirectory::Type::Scalable
                                                                 : ThemeDirectory::Type::Threshold;
                            }
                        });
    // A directory without a size holds no icon the look-up can place.
    std::vector<ThemeDirectory> sized;
    for (size_t i = 0; i < listed.size(); ++i) {
        ThemeDirectory& dir = listed[i];
        if (!given[i].min)
            dir.minSize = dir.size;
        if (!given[i].max)
            dir.maxSize = dir.size;
        if (dir.size > 0 && dir.scale > 0)
            sized.push_back(std::move(dir));
    }
    return sized;
}

int ThemeDirectoryRank(const ThemeDirectory& dir, int size, int scale) {
    using Type = ThemeDirectory::Type;
    const int wanted = size * scale;
    int low = 0, high = 0; // what the directory holds, in pixels
    switch (dir.type) {
    case Type::Fixed:
        low = high = dir.size * dir.scale;
        break;
    case Type::Scalable:
        low = dir.minSize * dir.scale;
        high = dir.maxSize * dir.scale;
        break;
    case Type::Threshold:
        low = (dir.size - dir.threshold) * dir.scale;
        high = (dir.size + dir.threshold) * dir.scale;
        break;
    }
    const bool matches = dir.scale == scale && low <= wanted && wanted <= high;
    if (matches)
        return 0;
    int distance = dir.type == Type::Fixed ? std::abs(dir.size * dir.scale - wanted)
                   : wanted < low          ? low - wanted
                   : wanted > high         ? wanted - high
                                           : 0;
    return 1 + std::min(distance, kThemeRank / 2);
}

namespace {

// visit(id, entry, program) for every desktop entry below dir (two folders
// deep at most) and each program it starts (Exec's and TryExec's), links
// resolved; the id is the entry's path below dir with '/' as '-', as the
// desktop names entries.
// seen, where given, gets every folder listed and every entry read.
template <typename Visit>
void ForEachApplication(const FileSource& files, const std::string& dir, Visit&& visit,
                        std::vector<std::string>* seen = nullptr, const std::string& prefix = "",
                        int depth = 0) {
    if (seen != nullptr)
        seen->push_back(dir);
    files.ForEachEntry(dir, [&](std::string_view entryName, unsigned char type) {
        std::string name(entryName);
        std::string path = dir + "/" + name;
        if (type == DT_DIR && depth < 2) {
            ForEachApplication(files, path, visit, seen, prefix + name + "-", depth + 1);
            return;
        }
        if (name.size() < 9 || name.compare(name.size() - 8, 8, ".desktop") != 0)
            return;
        if (seen != nullptr)
            seen->push_back(path);
        auto text = files.Read(path, kMaxKeyFile);
        if (!text)
            return;
        DesktopEntry entry = ParseDesktopEntry(*text);
        for (const std::string& program : {ExecProgram(entry.exec), entry.tryExec})
            if (std::string real = ResolveProgram(files, program, seen); !real.empty())
                visit(prefix + name, entry, real);
    });
}

struct Candidate {
    int rank = INT_MAX;      // lower is better
    size_t order = SIZE_MAX; // among equal ranks, the first found
    std::string file;
};

int RankOf(int themeIndex, int size, std::string_view extension) {
    // Raster images nearest to 16 pixels first; scalable ones after every
    // raster one, since not every reader draws them.
    int distance = extension == "svg" ? 10000 : std::abs((size > 0 ? size : 256) - wantedSize);
    return themeIndex * kThemeRank + distance;
}

int ExtensionOrder(std::string_view extension) {
    return extension == "png" ? 0 : extension == "svg" ? 1 : extension == "xpm" ? 2 : -1;
}

class IconIndex {
public:
    // The index of files, built at its first look-up and kept for its
    // life; a process root's is read through the source each call is given.
    explicit IconIndex(const FileSource* files = nullptr) : files_(files) {}

    // The icon file of the desktop entry of the program at programPath, its
    // own path (never resolved again: what is there now may not be the
    // file); when it has none, the generic icon's file, or empty where
    // orGeneric is false.
    const std::string& FileFor(std::string_view programPath, bool orGeneric = true) {
        BuildUnlessKept();
        // Many endpoints share a program. The answer is the path's, not the
        // file's: which file is there was decided before the look-up.
        if (auto cached = byProgram_.find(programPath); cached != byProgram_.end())
            return *cached->second;
        std::string file;
        if (auto entry = programIcons_.find(programPath); entry != programIcons_.end())
            file = IconFile(entry->second);
        if (file.empty() && orGeneric)
            file = IconFile(genericProgramIcon);
        const std::string* interned = &*names_.emplace(file).first; // nodes never move
        byProgram_.emplace(programPath, interned);
        return *interned;
    }

    const std::string& GenericFile() {
        BuildUnlessKept();
        return *names_.emplace(IconFile(genericProgramIcon)).first; // nodes never move
    }

    std::string FileForName(const std::string& name) {
        BuildUnlessKept();
        return IconFile(name);
    }

    void Use(const FileSource& files) { files_ = &files; }

    // Every folder and file the index was built from: it holds while none
    // of them changes, appears or goes.
    const std::vector<std::string>& Watched() {
        BuildUnlessKept();
        return watched_;
    }

    // The answers by program path speak of files that may have changed
    // since (a desktop entry's absolute icon, a pixmap): not kept from one
    // refresh to the next.
    void ForgetAnswers() {
        byProgram_.clear();
        names_.clear();
    }

private:
    void BuildUnlessKept() {
        if (built_)
            return;
        Build();
        built_ = true;
    }

    void Build() {
        programIcons_.clear();
        iconFiles_.clear();
        byProgram_.clear();
        watched_.clear();
        dataDirs_ = XdgDataDirs(*files_);
        for (const std::string& dir : dataDirs_)
            IndexApplications(dir + "/applications");
        // A theme appears or goes in its data folder's icon folder (or
        // where a link there leads); its index says what it inherits and
        // which folders it has.
        for (const std::string& dir : dataDirs_)
            watched_.push_back(dir + "/icons");
        std::vector<std::string> themes = IconThemeChain(dataDirs_, *files_, &watched_);
        for (size_t t = 0; t < themes.size(); ++t) {
            // The directories the theme's index lists, as the first data
            // folder holding an index gives them, are looked in in every
            // data folder; a theme whose index lists none (or that has
            // none) is walked, its folders' names taken for sizes.
            std::vector<ThemeDirectory> layout;
            for (const std::string& dir : dataDirs_) {
                std::string indexPath = dir + "/icons/" + themes[t] + "/index.theme";
                watched_.push_back(indexPath);
                if (auto index = files_->Read(indexPath, kMaxKeyFile)) {
                    layout = ThemeDirectories(*index);
                    break;
                }
            }
            for (const ThemeDirectory& listed : layout)
                for (const std::string& dir : dataDirs_)
                    IndexThemeDirectory(dir + "/icons/" + themes[t] + "/" + listed.name,
                                        static_cast<int>(t), listed);
            if (layout.empty())
                for (const std::string& dir : dataDirs_)
                    IndexTheme(dir + "/icons/" + themes[t], static_cast<int>(t), 0, -1);
        }
    }

    void IndexThemeDirectory(const std::string& dir, int themeIndex, const ThemeDirectory& listed) {
        const int rank = themeIndex * kThemeRank + ThemeDirectoryRank(listed, wantedSize, 1);
        const size_t order = ++visits_ * 4;
        watched_.push_back(dir);
        files_->ForEachEntry(dir, [&](std::string_view entryName, unsigned char type) {
            if (type == DT_DIR)
                return;
            size_t dot = entryName.rfind('.');
            int extension =
                dot == std::string_view::npos ? -1 : ExtensionOrder(entryName.substr(dot + 1));
            if (extension < 0)
                return;
            Offer(std::string(entryName.substr(0, dot)), rank,
                  order + static_cast<size_t>(extension), dir + "/" + std::string(entryName));
        });
    }

    void Offer(std::string name, int rank, size_t order, std::string path) {
        Candidate& best = iconFiles_[std::move(name)];
        if (rank < best.rank || (rank == best.rank && order < best.order))
            best = Candidate{rank, order, std::move(path)};
    }

    void IndexApplications(const std::string& dir) {
        ForEachApplication(
            *files_, dir,
            [&](const std::string&, const DesktopEntry& entry, const std::string& program) {
                if (!entry.icon.empty())
                    programIcons_.try_emplace(program, entry.icon); // earlier folders win
            },
            &watched_);
    }

    void IndexTheme(const std::string& dir, int themeIndex, int depth, int size) {
        watched_.push_back(dir);
        files_->ForEachEntry(dir, [&](std::string_view entryName, unsigned char type) {
            std::string name(entryName);
            std::string path = dir + "/" + name;
            if (type == DT_DIR || (type == DT_UNKNOWN && depth < 3)) {
                if (depth < 3) {
                    int dirSize = IconDirectorySize(name);
                    IndexTheme(path, themeIndex, depth + 1, dirSize >= 0 ? dirSize : size);
                }
                return;
            }
            size_t dot = name.rfind('.');
            if (dot == std::string::npos || size < 0)
                return;
            std::string_view extension = std::string_view(name).substr(dot + 1);
            if (extension != "png" && extension != "xpm" && extension != "svg")
                return;
            Offer(name.substr(0, dot), RankOf(themeIndex, size, extension), ++visits_, path);
        });
    }

    std::string IconFile(const std::string& icon) {
        if (icon.empty())
            return "";
        if (icon[0] == '/')
            return files_->IsReadable(icon) ? icon : "";
        std::string name = icon;
        for (const char* extension : {".png", ".svg", ".xpm"}) {
            size_t length = std::char_traits<char>::length(extension);
            if (name.size() > length && name.compare(name.size() - length, length, extension) == 0)
                name.erase(name.size() - length);
        }
        if (auto found = iconFiles_.find(name); found != iconFiles_.end())
            return found->second.file;
        for (const std::string& dir : dataDirs_)
            for (const char* extension : {".png", ".xpm"})
                if (std::string file = dir + "/pixmaps/" + name + extension;
                    files_->IsReadable(file))
                    return file;
        return "";
    }

    const FileSource* files_;
    bool built_ = false;
    std::vector<std::string> dataDirs_;
    StringMap<std::string> programIcons_;                  // program -> Icon value
    std::unordered_map<std::string, Candidate> iconFiles_; // icon name -> file
    size_t visits_ = 0; // folders and files offered so far, in order
    std::vector<std::string> watched_;
    // Program path to the icon file's interned name.
    StringMap<const std::string*> byProgram_;
    std::unordered_set<std::string> names_; // every icon file named, kept
};

// Whether any of paths changed at or after since, or a second before it:
// a change made while an index was being built may have been read only in
// part, and a file system may keep times to the second.
bool ChangedSince(const std::vector<std::string>& paths, const timespec& since) {
    for (const std::string& path : paths) {
        struct stat info {};
        // The content's time, which a user may set back but a change
        // while the index is read does not: a change of status alone (a
        // chmod) in those few milliseconds is seen at the next change.
        if (::stat(path.c_str(), &info) == 0 && info.st_mtim.tv_sec >= since.tv_sec - 1)
            return true;
    }
    return false;
}

// The desktop's own index lasts from one refresh to the next while nothing
// it was built from has changed: the data folders and theme it was built
// for, and every folder, desktop entry and theme index it read.
struct LastingIndex {
    std::string key;
    std::string stamp;
    std::shared_ptr<IconIndex> index;
};

LastingIndex& Lasting() {
    static LastingIndex lasting;
    return lasting;
}

// What the index is built for beyond its files: the data folders, the
// search path its desktop entries' programs are found on, the desktop's
// theme.
std::string IndexKey() {
    std::string key;
    for (const std::string& dir : XdgDataDirs(HostFiles()))
        key += dir + '\n';
    return key + HostFiles().Environment("PATH") + '\n' + DesktopIconTheme();
}

// The desktop's index as its files stand now.
std::shared_ptr<IconIndex> CurrentHostIndex() {
    LastingIndex& lasting = Lasting();
    std::string key = IndexKey();
    if (lasting.index != nullptr && lasting.key == key &&
        HostFiles().Stamp(lasting.index->Watched()) == lasting.stamp) {
        lasting.index->ForgetAnswers();
        return lasting.index;
    }
    timespec start{};
    ::clock_gettime(CLOCK_REALTIME, &start);
    auto index = std::make_shared<IconIndex>(&HostFiles());
    const std::vector<std::string>& watched = index->Watched(); // builds it
    // Stamped first: a change after the stamp is seen at the next look-up,
    // one before it (while the index was read) here.
    std::string stamp = HostFiles().Stamp(watched);
    if (ChangedSince(watched, start) || IndexKey() != key)
        lasting = {}; // changing as it was read: this refresh's alone
    else
        lasting = {std::move(key), std::move(stamp), index};
    return index;
}

} // namespace

// The desktop's own index, and those of the process roots asked of.
struct IconIndexes::Kept {
    std::shared_ptr<IconIndex> host = CurrentHostIndex();
    std::unordered_map<std::string, IconIndex> roots;
};

IconIndexes::IconIndexes() = default;
IconIndexes::~IconIndexes() = default;

void IconIndexes::Reset() {
    kept_.reset();
    ForgetDesktopIconIndex();
}

void ForgetDesktopIconIndex() {
    Lasting() = {};
}

IconIndexes::Kept& IconIndexes::Get() {
    if (!kept_)
        kept_ = std::make_unique<Kept>();
    return *kept_;
}

std::string DesktopIconTheme() {
    std::vector<std::string> configDirs = XdgConfigDirs();
    auto firstSetting = [&](std::initializer_list<const char*> files, const char* group,
                            const char* key) -> std::string {
        for (const std::string& dir : configDirs)
            for (const char* file : files)
                if (auto text = ReadRegularFile(dir + "/" + file, kMaxKeyFile))
                    if (std::string value = KeyFileValue(*text, group, key); !value.empty())
                        return value;
        return "";
    };
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    if (desktop != nullptr && std::string_view(desktop).find("KDE") != std::string_view::npos)
        if (std::string theme = firstSetting({"kdeglobals"}, "Icons", "Theme"); !theme.empty())
            return theme;
    return firstSetting({"gtk-4.0/settings.ini", "gtk-3.0/settings.ini"}, "Settings",
                        "gtk-icon-theme-name");
}

std::vector<std::string> IconThemeChain(const std::vector<std::string>& dataDirs,
                                        const FileSource& files, std::vector<std::string>* seen) {
    std::vector<std::string> chain;
    // Depth first through Inherits, each theme once, as desktops look them
    // up; a theme no data folder holds is skipped.
    auto add = [&](auto& self, const std::string& theme) -> void {
        if (theme.empty() || theme == kBaseTheme || theme.find('/') != std::string::npos ||
            chain.size() >= kMaxThemes ||
            std::find(chain.begin(), chain.end(), theme) != chain.end())
            return;
        bool installed = false;
        std::optional<std::string> index;
        for (const std::string& dir : dataDirs) {
            std::string folder = dir + "/icons/" + theme;
            if (seen != nullptr) {
                seen->push_back(folder);
                seen->push_back(folder + "/index.theme");
            }
            if (!files.IsDirectory(folder))
                continue;
            installed = true;
            if ((index = files.Read(folder + "/index.theme", kMaxKeyFile)))
                break;
        }
        if (!installed)
            return;
        chain.push_back(theme);
        if (index)
            for (const std::string& parent :
                 SplitList(KeyFileValue(*index, "Icon Theme", "Inherits"), ','))
                self(self, parent);
    };
    add(add, DesktopIconTheme());
    // The fallback is searched even where it is not installed as a whole:
    // a desktop may ship a few of its icons alone.
    if (chain.empty())
        chain.push_back(kFallbackTheme);
    chain.push_back(kBaseTheme);
    return chain;
}

namespace {

// The refresh's own, where kept is given, else the desktop's as it stands.
std::shared_ptr<IconIndex> HostIndex(IconIndexes* kept) {
    return kept != nullptr ? kept->Get().host : CurrentHostIndex();
}

} // namespace

std::string ProgramIconFile(std::string_view programPath, IconIndexes* kept) {
    return HostIndex(kept)->FileFor(programPath);
}

std::string ProgramIconFileIn(const FileSource& files, const std::string& rootKey,
                              std::string_view programPath, IconIndexes* kept) {
    if (kept == nullptr)
        return IconIndex(&files).FileFor(programPath, false);
    IconIndex& index = kept->Get().roots.try_emplace(rootKey, &files).first->second;
    index.Use(files);
    return index.FileFor(programPath, false);
}

std::string DesktopEntryIdIn(const FileSource& files, std::string_view programPath) {
    std::string found;
    for (const std::string& dir : XdgDataDirs(files))
        if (found.empty() && !programPath.empty())
            ForEachApplication(
                files, dir + "/applications",
                [&](const std::string& id, const DesktopEntry&, const std::string& program) {
                    if (found.empty() && program == programPath)
                        found = id;
                });
    return found;
}

std::string GenericProgramIconFile(IconIndexes* kept) {
    return HostIndex(kept)->GenericFile();
}

std::string ThemeIconFile(const std::string& name, IconIndexes* kept) {
    return HostIndex(kept)->FileForName(name);
}

} // namespace ombrel::platform
