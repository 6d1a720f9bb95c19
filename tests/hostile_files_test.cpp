// Files another user can put in the way of a program run as root: a FIFO or
// a device where a program, icon or desktop entry should be, a file planted
// under a deleted program's name, wildcard folders that loop, a PE that
// declares 131,070 resources, a mount whose server never answers. Each is
// refused or bounded, and nothing is opened that is not a regular file.
#include <QApplication>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <ombrel/icon_pixmap.h>
#include <ombrel/icons.h>
#include <ombrel/refresh_scope.h>
#include <ombrel/services.h>

#include "detail_view.h"
#include "file_identity.h"
#include "file_version.h"
#include "pe_builder.h"
#include "platform/core/current_refresh.h"
#include "platform/linux/base/mounts.h"
#include "platform/linux/metadata/dpkg.h"
#include "platform/linux/metadata/icon_theme.h"
#include "platform/linux/programs/identified_file.h"
#include "platform/linux/refresh/refresh_context.h"
#include "platform/version/pe_resource.h"
#include "scoped_env.h"
#include "temp_dir.h"

using namespace pe_builder;

namespace {

// Counts the opens of the files it watches; an O_PATH descriptor, which
// opens nothing, is not one.
class OpenWatch {
public:
    OpenWatch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~OpenWatch() { ::close(fd_); }
    void Watch(const std::string& path) { ::inotify_add_watch(fd_, path.c_str(), IN_OPEN); }
    int Opens() {
        int opens = 0;
        alignas(inotify_event) char events[4096];
        for (ssize_t got; (got = ::read(fd_, events, sizeof events)) > 0;)
            for (char* at = events; at < events + got;) {
                auto* event = reinterpret_cast<inotify_event*>(at);
                opens += (event->mask & IN_OPEN) != 0;
                at += sizeof(inotify_event) + event->len;
            }
        return opens;
    }

private:
    int fd_;
};

// Every way the program looks at a program's file.
void LookAtProgram(const std::string& path) {
    char version[256] = {};
    GetFileVersionText(path.c_str(), version, sizeof version);
    char description[256] = {}, company[256] = {};
    GetFileStrings(path.c_str(), description, company);
    IsExistingFile(path.c_str());
    SHFILEINFOA info{};
    if (SHGetFileInfoA(path.c_str(), 0, &info, sizeof info, SHGFI_ICON | SHGFI_SMALLICON))
        DestroyIcon(info.hIcon);
}

} // namespace

TEST(HostileFiles, FifosAndDevicesInThePlaceOfAProgramAreNeverOpened) {
    TempDir dir;
    std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::vector<std::string> targets{fifo};
    // A character device of our own (root only): /dev/null's numbers, so an
    // open would be harmless, yet it is seen.
    std::string device = dir.path() + "/device";
    if (::mknod(device.c_str(), S_IFCHR | 0600, ::makedev(1, 3)) == 0)
        targets.push_back(device);
    OpenWatch watch;
    for (const std::string& target : targets) {
        watch.Watch(target);
        std::string link = dir.Link("link-to-" + target.substr(target.rfind('/') + 1), target);
        LookAtProgram(target);
        LookAtProgram(link);
        EXPECT_EQ(GetFileVersionInfoSizeA(link.c_str(), nullptr), 0u);
    }
    EXPECT_EQ(watch.Opens(), 0);
}

TEST(HostileFiles, AFilePlantedUnderADeletedProgramsNameIsNotItsProgram) {
    TempDir dir;
    std::string planted = dir.path() + "/ssh (deleted)";
    Save(planted, pe_builder::Image(Version(Fixed(0x10002, 0x30004, 0x10002, 0x30004), {0x04B00409},
                                            {{"040904b0", {{"CompanyName", u"Planted Ltd"}}}})));
    OpenWatch watch;
    watch.Watch(planted);
    EXPECT_EQ(GetFileVersionInfoSizeA(planted.c_str(), nullptr), 0u);
    EXPECT_FALSE(IsExistingFile(planted.c_str())); // the pane's not-found line
    SHFILEINFOA info{};
    EXPECT_EQ(SHGetFileInfoA(planted.c_str(), 0, &info, sizeof info, SHGFI_ICON), 0u);
    EXPECT_EQ(watch.Opens(), 0);
}

TEST(HostileFiles, WildcardsCountInTheLastComponentOnly) {
    TempDir dir;
    // Folders named "*" six deep, each with a link back to the top: a
    // whole-path glob walks them all, exponentially.
    std::string level = dir.path();
    for (int depth = 0; depth < 6; ++depth) {
        level += "/*";
        ::mkdir(level.c_str(), 0755);
        for (const char* name : {"/a", "/b", "/c"})
            ::symlink(dir.path().c_str(), (level + name).c_str());
    }
    std::string deep = dir.path() + "/*/*/*/*/*/*/x";
    WIN32_FIND_DATAA found{};
    SetLastError(0);
    EXPECT_EQ(FindFirstFileA(deep.c_str(), &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    EXPECT_FALSE(IsExistingFile(deep.c_str()));

    dir.Write("files/program-1.0");
    dir.Write("files/other");
    HANDLE search = FindFirstFileA((dir.path() + "/files/program-*").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(found.cFileName, "program-1.0");
    FindClose(search);
    SetLastError(0);
    EXPECT_EQ(FindFirstFileA((dir.path() + "/files/x?").c_str(), &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(HostileFiles, AResourceDirectoryOf131070EntriesIsReadInAFewReads) {
    // The root directory declares 65,535 named and 65,535 numbered entries,
    // none of them the version type.
    std::vector<uint8_t> rsrc(16 + 131070 * 8, 0);
    Put16(rsrc, 12, 0xFFFF);
    Put16(rsrc, 14, 0xFFFF);
    for (size_t i = 0; i < 131070; ++i)
        Put32(rsrc, 16 + i * 8, i < 65535 ? 0x80000000u : 17u);
    std::vector<uint8_t> image = pe_builder::Image(std::vector<uint8_t>(16, 0), false);
    // Swap the builder's resource section for the huge directory.
    const size_t rawOffset = 0x200, sectionHeader = 0x40 + 24 + 224;
    image.resize(rawOffset);
    image.insert(image.end(), rsrc.begin(), rsrc.end());
    Put32(image, sectionHeader + 8, static_cast<uint32_t>(rsrc.size()));
    Put32(image, sectionHeader + 16, static_cast<uint32_t>(rsrc.size()));
    Put32(image, 0x58 + 92 + 4 + 2 * 8 + 4, static_cast<uint32_t>(rsrc.size()));
    int reads = 0;
    ombrel::platform::ReadAt read = [&](uint64_t offset, void* buffer, size_t size) {
        ++reads;
        if (offset + size > image.size())
            return false;
        std::memcpy(buffer, image.data() + offset, size);
        return true;
    };
    EXPECT_FALSE(ombrel::platform::ReadPeVersionResource(read, image.size()));
    EXPECT_LE(reads, 16);
}

TEST(HostileFiles, NetworkAndUserSpaceMountsAreNeverTouched) {
    TempDir dir;
    std::string mount = dir.path() + "/mnt";
    std::string table = dir.Write("mountinfo", "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                               "2 1 0:50 / " +
                                                   mount +
                                                   " rw - fuse.sshfs host:/ rw\n"
                                                   "3 2 8:2 / " +
                                                   mount + "/local rw - ext4 /dev/sda2 rw\n");
    ombrel::platform::MountTableOverride mounts(table);
    EXPECT_TRUE(ombrel::platform::IsOnRemoteFileSystem(mount));
    EXPECT_FALSE(ombrel::platform::IsOnRemoteFileSystem(mount + "/local/x"));
    EXPECT_FALSE(ombrel::platform::IsOnRemoteFileSystem(mount + "x/y"));

    // Nothing exists under the "mount": a stat would say so. Not looked at,
    // the program is taken as there but offline, and its pane shows the
    // labels without values.
    std::string program = mount + "/bin/tool";
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA(program.c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(found.dwFileAttributes, FILE_ATTRIBUTE_OFFLINE);
    EXPECT_STREQ(found.cFileName, "tool");
    FindClose(search);
    EXPECT_TRUE(IsExistingFile(program.c_str()));
    EXPECT_EQ(GetFileVersionInfoSizeA(program.c_str(), nullptr), 0u);
    SHFILEINFOA info{};
    ASSERT_NE(SHGetFileInfoA(program.c_str(), 0, &info, sizeof info, SHGFI_ICON), 0u);
    DestroyIcon(info.hIcon);
}

TEST(HostileFiles, DesktopEntriesAndIconsAreReadOnlyWhenRegular) {
    TempDir data;
    std::string program = data.Write("bin/tool");
    ::chmod(program.c_str(), 0755);
    data.Write("applications/tool.desktop",
               "[Desktop Entry]\nType=Application\nName=Tool\nExec=" + program + "\nIcon=tool\n");
    std::string fifoEntry = data.path() + "/applications/fifo.desktop";
    std::string fifoIcon = data.path() + "/icons/hicolor/16x16/apps/tool.png";
    data.Write("icons/hicolor/16x16/apps/placeholder");
    ASSERT_EQ(::mkfifo(fifoEntry.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(fifoIcon.c_str(), 0600), 0);
    OpenWatch watch;
    watch.Watch(fifoEntry);
    watch.Watch(fifoIcon);
    struct ResetAtEnd {
        ~ResetAtEnd() { ombrel::platform::ResetShellIconIndex(); }
    } resetAtEnd;
    ScopedEnv env;
    env.Set("XDG_DATA_HOME", data.path()).Set("XDG_DATA_DIRS", data.path() + "/none");
    ombrel::platform::ResetShellIconIndex();

    SHFILEINFOA info{};
    ASSERT_NE(SHGetFileInfoA(program.c_str(), 0, &info, sizeof info, SHGFI_ICON), 0u);
    EXPECT_EQ(ombrel::platform::IconSourceFile(info.hIcon), fifoIcon); // named, not read yet
    // Not read: the program's own generic icon stands in.
    EXPECT_FALSE(ombrel::platform::IconPixmap(info.hIcon, 16).isNull());
    DestroyIcon(info.hIcon);
    EXPECT_EQ(watch.Opens(), 0);
}

// A program path is walked one name at a time: no link, no "..", and no name
// looked up on a mount that may not answer (or one the table does not know).
TEST(HostileFiles, AProgramPathIsWalkedWithoutLinksOrRemoteMounts) {
    using ombrel::platform::WalkProgramPath;
    TempDir dir;
    std::string program = dir.Write("bin/tool");
    dir.Link("via", dir.path() + "/bin");
    ombrel::platform::UniqueFd root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    auto local = [](uint64_t) { return std::optional<bool>(false); };

    ombrel::platform::UniqueFd found = WalkProgramPath(root.get(), program, local);
    ASSERT_TRUE(found);
    struct stat walked {
    }, named{};
    ASSERT_EQ(::fstat(found.get(), &walked), 0);
    ASSERT_EQ(::stat(program.c_str(), &named), 0);
    EXPECT_EQ(walked.st_ino, named.st_ino);

    for (const std::string& path :
         {std::string("bin/tool"), dir.path() + "/bin/../bin/tool", dir.path() + "//bin/tool",
          dir.path() + "/bin/./tool", program + " (deleted)", std::string("/")}) {
        errno = 0;
        EXPECT_FALSE(WalkProgramPath(root.get(), path, local)) << path;
        EXPECT_EQ(errno, EINVAL) << path;
    }
    errno = 0;
    EXPECT_FALSE(WalkProgramPath(root.get(), dir.path() + "/via/tool", local));
    EXPECT_EQ(errno, ELOOP);

    // The folder's own mount taken as remote, then as unknown: refused before
    // a name is looked up in it.
    struct statx folder {};
    ASSERT_EQ(::statx(AT_FDCWD, dir.path().c_str(), 0, STATX_MNT_ID, &folder), 0);
    uint64_t mount = folder.stx_mnt_id;
    errno = 0;
    EXPECT_FALSE(WalkProgramPath(root.get(), program,
                                 [&](uint64_t id) { return std::optional<bool>(id == mount); }));
    EXPECT_EQ(errno, EREMOTE);
    errno = 0;
    EXPECT_FALSE(WalkProgramPath(root.get(), program, [&](uint64_t id) {
        return id == mount ? std::nullopt : std::optional<bool>(false);
    }));
    EXPECT_EQ(errno, EREMOTE);
}

// A program on a mount that may not answer is taken as there but offline:
// labels without values, the generic program icon, nothing looked up.
TEST(HostileFiles, AProgramOnAMountThatMayNotAnswerIsOfflineByIdentity) {
    TempDir dir;
    std::string program = dir.Write("bin/tool");
    struct statx root {
    }, folder{};
    ASSERT_EQ(::statx(AT_FDCWD, "/", 0, STATX_MNT_ID, &root), 0);
    ASSERT_EQ(::statx(AT_FDCWD, dir.path().c_str(), 0, STATX_MNT_ID, &folder), 0);
    std::string table;
    if (root.stx_mnt_id != folder.stx_mnt_id)
        table += std::to_string(root.stx_mnt_id) + " 0 8:1 / / rw - ext4 /dev/sda1 rw\n";
    table += std::to_string(folder.stx_mnt_id) + " 1 0:50 / " + dir.path() +
             " rw - fuse.sshfs host:/ rw\n";
    ombrel::platform::MountTableOverride mounts(dir.Write("mountinfo", table));

    ombrel::platform::ProgramFileScope scope(program.c_str(), ProgramFileOf(program));
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA(program.c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(found.dwFileAttributes, FILE_ATTRIBUTE_OFFLINE);
    EXPECT_STREQ(found.cFileName, "tool");
    FindClose(search);
    EXPECT_EQ(GetFileVersionInfoSizeA(program.c_str(), nullptr), 0u);
    SHFILEINFOA icon{};
    ASSERT_NE(SHGetFileInfoA(program.c_str(), 0, &icon, sizeof icon, SHGFI_ICON), 0u);
    EXPECT_EQ(ombrel::platform::IconSourceFile(icon.hIcon),
              ombrel::platform::GenericProgramIconFile());
    DestroyIcon(icon.hIcon);
}

// A desktop entry's program is followed through its links as the kernel
// would, each step as a program path's walk; a loop ends, and from a mount
// that may not answer on, the path is taken as written, unlooked-at.
TEST(HostileFiles, LinksAreFollowedButNeverOntoAMountThatMayNotAnswer) {
    using ombrel::platform::FollowPath;
    TempDir dir;
    std::string program = dir.Write("real/bin/tool");
    dir.Link("absolute", dir.path() + "/real");
    dir.Link("real/bin/relative", "tool");
    dir.Link("real/bin/up", "../bin/./relative");
    dir.Link("loop", "loop");
    ombrel::platform::UniqueFd root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    ombrel::platform::UniqueFd top(::open(dir.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    auto local = [](uint64_t) { return std::optional<bool>(false); };
    struct stat named {};
    ASSERT_EQ(::stat(program.c_str(), &named), 0);

    for (const std::string& path :
         {dir.path() + "/absolute/bin/tool", dir.path() + "/real/bin/relative",
          dir.path() + "/absolute/bin/up", dir.path() + "/real/../real//bin/tool"}) {
        std::string resolved;
        ombrel::platform::UniqueFd found = FollowPath(root.get(), path, local, &resolved);
        ASSERT_TRUE(found) << path;
        struct stat walked {};
        ASSERT_EQ(::fstat(found.get(), &walked), 0);
        EXPECT_EQ(walked.st_ino, named.st_ino) << path;
        EXPECT_EQ(resolved, program) << path;
    }
    // Inside another root: ".." stops at it, an absolute target starts from it.
    std::string resolved;
    EXPECT_TRUE(FollowPath(top.get(), "/../../real/bin/up", local, &resolved));
    EXPECT_EQ(resolved, "/real/bin/tool");
    EXPECT_FALSE(FollowPath(top.get(), "/absolute/bin/tool", local));
    errno = 0;
    EXPECT_FALSE(FollowPath(root.get(), dir.path() + "/loop", local));
    EXPECT_EQ(errno, ELOOP);

    // The folder's mount taken as one that may not answer: the link on it is
    // not even read.
    struct statx folder {};
    ASSERT_EQ(::statx(AT_FDCWD, dir.path().c_str(), 0, STATX_MNT_ID, &folder), 0);
    std::string path = dir.path() + "/absolute/bin/tool";
    errno = 0;
    EXPECT_FALSE(FollowPath(
        root.get(), path, [&](uint64_t id) { return std::optional<bool>(id == folder.stx_mnt_id); },
        &resolved));
    EXPECT_EQ(errno, EREMOTE);
    EXPECT_EQ(resolved, path);
}

namespace {

std::string IconOf(const std::string& path) {
    SHFILEINFOA info{};
    if (SHGetFileInfoA(path.c_str(), 0, &info, sizeof info, SHGFI_ICON) == 0)
        return "<none>";
    std::string source = ombrel::platform::IconSourceFile(info.hIcon);
    DestroyIcon(info.hIcon);
    return source;
}

} // namespace

// A user's program swapped for a link to a packaged program right after the
// walk found it (as inotify would let her): its package, desktop entry and
// icon are looked up by the path that was walked, never resolved again, so
// it gets nothing of the packaged program's, in a refresh or out of one.
TEST(HostileFiles, AProgramSwappedForALinkAfterItsWalkGetsNothingOfTheTarget) {
    using ombrel::platform::ProgramFilePlace;
    TempDir dir;
    std::string packaged = dir.Write("usr/bin/packaged");
    std::string tool = dir.Write("home/bin/tool");
    dir.Write("dpkg/status", "Package: packaged\nStatus: install ok installed\n"
                             "Version: 7.1-1\nDescription: the packaged one\n\n");
    dir.Write("dpkg/info/packaged.list", packaged + "\n");
    dir.Write("share/applications/packaged.desktop",
              "[Desktop Entry]\nType=Application\nName=P\nExec=" + packaged + "\nIcon=packaged\n");
    std::string icon = dir.Write("share/icons/hicolor/16x16/apps/packaged.png");
    std::string generic = dir.Write("share/icons/hicolor/16x16/apps/application-x-executable.png");
    ScopedEnv env;
    env.Set("XDG_DATA_HOME", dir.path() + "/share").Set("XDG_DATA_DIRS", dir.path() + "/none");
    ombrel::platform::PackageDatabaseOverride database(dir.path() + "/dpkg");
    struct ResetAtEnd {
        ~ResetAtEnd() { ombrel::platform::ResetShellIconIndex(); }
    } resetAtEnd;
    ombrel::platform::ResetShellIconIndex();
    {
        ombrel::platform::ProgramFileScope scope(packaged.c_str(), ProgramFileOf(packaged));
        EXPECT_EQ(IconOf(packaged), icon);
        EXPECT_NE(GetFileVersionInfoSizeA(packaged.c_str(), nullptr), 0u);
    }

    ombrel::platform::ProgramFile file = ProgramFileOf(tool);
    for (bool inRefresh : {false, true}) {
        std::optional<ombrel::platform::RefreshScope> refresh;
        if (inRefresh)
            refresh.emplace();
        {
            ombrel::platform::ProgramFileScope scope(tool.c_str(), file);
            ombrel::platform::RefreshContext* context = ombrel::platform::CurrentRefreshContext();
            ASSERT_EQ(
                PlaceOf(*ombrel::platform::BoundProgramFile(context, tool), KeptPlaces(context)),
                ProgramFilePlace::Here);
            // The swap; the file itself lives on under another name.
            ASSERT_EQ(::rename(tool.c_str(), (tool + ".moved").c_str()), 0);
            ASSERT_EQ(::symlink(packaged.c_str(), tool.c_str()), 0);
            EXPECT_EQ(IconOf(tool), generic) << inRefresh;
            EXPECT_EQ(GetFileVersionInfoSizeA(tool.c_str(), nullptr), 0u) << inRefresh;
        }
        if (inRefresh) {
            // Another endpoint of the process: its place is remembered.
            ombrel::platform::ProgramFileScope scope(tool.c_str(), file);
            EXPECT_EQ(IconOf(tool), generic);
        }
        ASSERT_EQ(::unlink(tool.c_str()), 0);
        ASSERT_EQ(::rename((tool + ".moved").c_str(), tool.c_str()), 0);
    }
}

namespace {

// A root of the test's own making, read through the host's files, that
// fails the test when asked to resolve the program's path.
class RootNeverResolving final : public ombrel::platform::FileSource {
public:
    RootNeverResolving(std::string root, std::string program)
        : root_(std::move(root)), program_(std::move(program)) {}
    std::optional<std::string> Read(const std::string& path, size_t limit) const override {
        return Host().Read(root_ + path, limit);
    }
    void
    ForEachEntry(const std::string& dir,
                 const std::function<void(std::string_view, unsigned char)>& visit) const override {
        Host().ForEachEntry(root_ + dir, visit);
    }
    std::string Stamp(const std::vector<std::string>& paths) const override {
        std::vector<std::string> inside;
        for (const std::string& path : paths)
            inside.push_back(root_ + path);
        return Host().Stamp(inside);
    }
    std::string RealPath(const std::string& path) const override {
        if (path == program_) {
            // Resolving it could follow a link swapped in since the walk,
            // or wait for good on a server that never answers.
            ADD_FAILURE() << "resolved the program's path again";
            return "/usr/bin/packaged";
        }
        std::string real = Host().RealPath(root_ + path);
        return real.starts_with(root_ + "/") ? real.substr(root_.size()) : "";
    }
    bool IsExecutable(const std::string& path) const override {
        return Host().IsExecutable(root_ + path);
    }
    bool IsReadable(const std::string& path) const override {
        return Host().IsReadable(root_ + path);
    }
    bool IsDirectory(const std::string& path) const override {
        return Host().IsDirectory(root_ + path);
    }
    std::string Environment(const char* name) const override {
        std::string_view variable = name;
        return variable == "XDG_DATA_DIRS" ? "/usr/share" : variable == "PATH" ? "/usr/bin" : "";
    }

private:
    static const ombrel::platform::FileSource& Host() { return ombrel::platform::HostFiles(); }
    std::string root_, program_;
};

} // namespace

// In a process's own root, the program's icon, desktop entry and package
// are found by the path that was walked: the source is never asked to
// resolve it, while the entries' own programs are still resolved.
TEST(HostileFiles, AProgramsDetailsInItsRootAreFoundWithoutResolvingItsPath) {
    TempDir dir;
    ::chmod(dir.Write("usr/bin/packaged").c_str(), 0755);
    dir.Write("opt/tool");
    dir.Write("usr/share/applications/packaged.desktop",
              "[Desktop Entry]\nType=Application\nName=P\nExec=packaged --x\nIcon=packaged\n");
    dir.Write("usr/share/icons/hicolor/16x16/apps/packaged.png");
    dir.Write("var/lib/dpkg/status", "Package: packaged\nStatus: install ok installed\n"
                                     "Version: 7.1-1\nDescription: the packaged one\n\n");
    dir.Write("var/lib/dpkg/info/packaged.list", "/usr/bin/packaged\n");
    RootNeverResolving files(dir.path(), "/opt/tool");
    const std::string& key = dir.path();

    EXPECT_EQ(ombrel::platform::ProgramIconFileIn(files, key, "/usr/bin/packaged"),
              "/usr/share/icons/hicolor/16x16/apps/packaged.png");
    EXPECT_EQ(ombrel::platform::DesktopEntryIdIn(files, "/usr/bin/packaged"), "packaged.desktop");
    EXPECT_TRUE(ombrel::platform::FindPackageOwner(files, key, "/usr/bin/packaged"));

    EXPECT_EQ(ombrel::platform::ProgramIconFileIn(files, key, "/opt/tool"), "");
    EXPECT_EQ(ombrel::platform::DesktopEntryIdIn(files, "/opt/tool"), "");
    EXPECT_FALSE(ombrel::platform::FindPackageOwner(files, key, "/opt/tool"));
}
