// The program's start as a whole, each run in a child process of its own
// (Qt allows one application per process): what the user's arguments and
// environment can make it load or open.
#include <QGuiApplication>
#include <QLibraryInfo>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <grp.h>
#include <sys/stat.h>

#include <ombrel/administrator.h>
#include <ombrel/process_setup.h>
#include <ombrel/services.h>

#include "startup.h"
#include "temp_dir.h"

using namespace ombrel::platform;

namespace {

// Inodes of the TCP sockets of this process's network namespace that listen.
std::set<std::string> ListeningInodes() {
    std::set<std::string> inodes;
    for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line); // header
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
                timeout >> inode;
            if (state == "0A")
                inodes.insert(inode);
        }
    }
    return inodes;
}

// Whether this process holds a listening TCP socket.
bool ListensAnywhere() {
    std::set<std::string> listening = ListeningInodes();
    std::unique_ptr<DIR, int (*)(DIR*)> fds(::opendir("/proc/self/fd"), ::closedir);
    while (dirent* entry = fds ? ::readdir(fds.get()) : nullptr) {
        char target[256] = {};
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (::readlink(link.c_str(), target, sizeof target - 1) > 0 &&
            std::string_view(target).starts_with("socket:[")) {
            std::string inode(target + 8, std::strlen(target) - 9);
            if (listening.count(inode) != 0)
                return true;
        }
    }
    return false;
}

bool MapsMention(const std::string& text) {
    std::ifstream maps("/proc/self/maps");
    std::stringstream all;
    all << maps.rdbuf();
    return all.str().find(text) != std::string::npos;
}

// The program's start with args after its name; its exit status.
int RunOmbrelWith(std::vector<std::string> args) {
    args.insert(args.begin(), "ombrel");
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    return RunOmbrel(static_cast<int>(args.size()), argv.data());
}

// What the child saw when the start showed its message box.
struct StartReport {
    int exitCode = -1;
    std::string platform; // empty when no message box came
    bool loadedFromDir = false;
    bool listens = false;
    std::string message;
};

// Runs the program's start in a child with args (after the program name)
// and extra environment; dir is the folder nothing may be loaded from.
StartReport Start(std::vector<std::string> args, const std::vector<std::string>& environment,
                  const std::string& dir) {
    int channel[2];
    if (::pipe(channel) != 0)
        return {};
    pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        for (const std::string& entry : environment)
            ::putenv(const_cast<char*>(entry.c_str()));
        ServiceOverride box(&Services::MessageBoxA, [&](HWND, LPCSTR text, LPCSTR, UINT) {
            std::string report = QGuiApplication::platformName().toStdString() + "\n" +
                                 (MapsMention(dir) ? "1" : "0") + "\n" +
                                 (ListensAnywhere() ? "1" : "0") + "\n" + text;
            ssize_t written = ::write(channel[1], report.data(), report.size());
            (void)written;
            return IDOK;
        });
        ::_exit(RunOmbrelWith(std::move(args)));
    }
    ::close(channel[1]);
    std::string text;
    char chunk[512];
    for (ssize_t got; (got = ::read(channel[0], chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<size_t>(got));
    ::close(channel[0]);
    StartReport report;
    int status = 0;
    ::waitpid(child, &status, 0);
    report.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::istringstream lines(text);
    std::string loaded, listens;
    std::getline(lines, report.platform);
    std::getline(lines, loaded);
    std::getline(lines, listens);
    std::getline(lines, report.message);
    report.loadedFromDir = loaded == "1";
    report.listens = listens == "1";
    return report;
}

// A folder holding a copy of Qt's offscreen platform plug-in renamed
// "plantedqp" throughout (the key in its metadata and the name its factory
// answers to): a program that obeyed a plug-in path pointing here and the
// platform "plantedqp" would load the copy.
class PlantedPlugin : public ::testing::Test {
protected:
    void SetUp() override {
        std::string real = QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString() +
                           "/platforms/libqoffscreen.so";
        std::ifstream in(real, std::ios::binary);
        ASSERT_TRUE(in) << real;
        std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (size_t at = 0; (at = image.find("offscreen", at)) != std::string::npos;)
            image.replace(at, 9, "plantedqp");
        std::ofstream(dir.path() + "/libqplanted.so", std::ios::binary) << image;
    }
    TempDir dir;
};

} // namespace

TEST_F(PlantedPlugin, QtOptionsOnTheCommandLineAreNotObeyed) {
    // Every argument goes to the framework's parser, whose first document,
    // the folder or "vnc", cannot be opened: the standard message ends the
    // start, and its double reports what the process had loaded by then.
    StartReport report =
        Start({"-platformpluginpath", dir.path(), "-platform", "plantedqp", "/nonexistent"}, {},
              dir.path());
    EXPECT_EQ(report.exitCode, 1);
    EXPECT_EQ(report.platform, "offscreen");
    EXPECT_FALSE(report.loadedFromDir);
    EXPECT_EQ(report.message, "打开文档失败。");

    report = Start({"-platform", "vnc", "/nonexistent"}, {}, dir.path());
    EXPECT_EQ(report.exitCode, 1);
    EXPECT_EQ(report.platform, "offscreen");
    EXPECT_FALSE(report.listens); // no display server of our own
    EXPECT_EQ(report.message, "打开文档失败。");
}

TEST_F(PlantedPlugin, PluginVariablesAreIgnoredWhenStartedForAnotherUser) {
    // SUDO_UID: started through sudo, so privileged whoever runs the test.
    // Without the variables there is no display to open a window on, so
    // the start ends before any application exists, loading nothing.
    for (std::string platform : {"plantedqp", "vnc"}) {
        StartReport report = Start({"/nonexistent"},
                                   {"SUDO_UID=65534", "QT_QPA_PLATFORM_PLUGIN_PATH=" + dir.path(),
                                    "QT_PLUGIN_PATH=" + dir.path(), "QT_QPA_PLATFORM=" + platform,
                                    "DISPLAY=", "WAYLAND_DISPLAY="},
                                   dir.path());
        EXPECT_EQ(report.exitCode, 1);
        EXPECT_EQ(report.platform, "") << "a window was made on " << platform;
        EXPECT_FALSE(report.loadedFromDir);
        EXPECT_FALSE(report.listens);
    }
}

TEST(StartPrivilege, SudoAndPkexecStartsArePrivileged) {
    for (const char* name : {"SUDO_UID", "PKEXEC_UID"}) {
        pid_t child = ::fork();
        if (child == 0) {
            ::unsetenv("SUDO_UID");
            ::unsetenv("PKEXEC_UID");
            ::setenv(name, "1000", 1);
            ::setenv("QT_PLUGIN_PATH", "/x", 1);
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            ::setenv("QT_SCALE_FACTOR", "2", 1);
            DropUnsafeEnvironment();
            bool ok = RunsPrivileged() && std::getenv("QT_PLUGIN_PATH") == nullptr &&
                      std::getenv("QT_QPA_PLATFORM") != nullptr &&
                      std::getenv("QT_SCALE_FACTOR") != nullptr;
            ::_exit(ok ? 0 : 1);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << name;
    }
}

namespace {

// What the window saw of itself when its start reached the message box,
// and what root saw of the process it left behind.
struct AdministratorReport {
    std::string window;            // "uid euid mode failure" as the window read them
    std::vector<std::string> root; // the uid lines of the window's root children
    bool ended = false;            // the window exited 1 after its message
};

std::string UidLine(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Uid:", 0) == 0)
            return line;
    return {};
}

std::vector<pid_t> ChildrenOf(pid_t parent) {
    std::vector<pid_t> children;
    std::ifstream list("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                       "/children");
    for (pid_t pid; list >> pid;)
        children.push_back(pid);
    return children;
}

// Runs the start in a child: before it, become may drop the child to a user;
// the document cannot be opened, so the start ends with the framework's
// message, during which the child reports and waits for the test.
template <typename Become>
AdministratorReport StartAdministrator(std::vector<std::string> args,
                                       std::vector<std::string> environment, Become become,
                                       const std::string& collectorPath = OMBREL_COLLECTOR) {
    int report[2], go[2];
    if (::pipe(report) != 0 || ::pipe(go) != 0)
        return {};
    pid_t child = ::fork();
    if (child == 0) {
        ::close(report[0]);
        ::close(go[1]);
        if (!become())
            ::_exit(126);
        ::unsetenv("PKEXEC_UID");
        ::unsetenv("SUDO_UID");
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        for (std::string& entry : environment)
            ::putenv(entry.data());
        CollectorPathOverride collector(collectorPath);
        ServiceOverride box(&Services::MessageBoxA, [&](HWND, LPCSTR, LPCSTR, UINT) {
            std::string text = std::to_string(::getuid()) + " " + std::to_string(::geteuid()) +
                               " " + std::to_string(static_cast<int>(CurrentAdministratorMode())) +
                               " " + std::to_string(static_cast<int>(LastCollectorFailure()));
            (void)!::write(report[1], text.data(), text.size());
            ::close(report[1]);
            char wait;
            (void)!::read(go[0], &wait, 1);
            return IDOK;
        });
        ::_exit(RunOmbrelWith(std::move(args)));
    }
    ::close(report[1]);
    ::close(go[0]);
    AdministratorReport result;
    char chunk[256];
    for (ssize_t got; (got = ::read(report[0], chunk, sizeof chunk)) > 0;)
        result.window.append(chunk, static_cast<size_t>(got));
    ::close(report[0]);
    for (pid_t pid : ChildrenOf(child))
        result.root.push_back(UidLine(pid));
    ::close(go[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    result.ended = WIFEXITED(status) && WEXITSTATUS(status) == 1;
    return result;
}

const std::string kCollecting = std::to_string(static_cast<int>(AdministratorMode::Collecting)) +
                                " " + std::to_string(static_cast<int>(CollectorFailure::None));

} // namespace

// pkexec or sudo for a user: the window itself is that user's, with its
// collector the only root process left; the display variable changes
// nothing.
TEST(AdministratorWindow, RootStartsForAUserRunTheWindowAsTheUser) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to start as root for another user";
    for (std::vector<std::string> environment :
         {std::vector<std::string>{"PKEXEC_UID=65534", "HOME=/root"},
          std::vector<std::string>{"SUDO_UID=65534", "DISPLAY=:0",
                                   "XAUTHORITY=/root/.Xauthority"}}) {
        AdministratorReport report =
            StartAdministrator({"/nonexistent"}, environment, [] { return true; });
        EXPECT_EQ(report.window, "65534 65534 " + kCollecting) << environment[0];
        ASSERT_EQ(report.root.size(), 1u) << environment[0];
        EXPECT_EQ(report.root[0], "Uid:\t0\t0\t0\t0"); // the collector
        EXPECT_TRUE(report.ended);
    }
}

// The desktop's administrator action: the user's window starts the
// collector through pkexec (a stand-in on the search path here, run as the
// same user), naming it by its real path; a refusal leaves the window in
// its user's view, quietly.
TEST(AdministratorWindow, TheUsersWindowStartsTheCollectorThroughPkexec) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to become another user";
    TempDir dir;
    ::chmod(dir.path().c_str(), 0777);
    // A copy the user may run wherever the build folder lies.
    std::string copy = dir.path() + "/ombrel-collector";
    {
        std::ifstream in(OMBREL_COLLECTOR, std::ios::binary);
        std::ofstream out(copy, std::ios::binary);
        out << in.rdbuf();
    }
    ::chmod(copy.c_str(), 0755);
    std::string args = dir.path() + "/args";
    std::string accepting =
        dir.Write("yes/pkexec", "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + args + "\nexec \"$@\"\n");
    std::string refusing = dir.Write("no/pkexec", "#!/bin/sh\nexit 126\n");
    for (const std::string& script : {accepting, refusing}) {
        ::chmod(script.c_str(), 0755);
        ::chmod(script.substr(0, script.rfind('/')).c_str(), 0755);
    }
    auto asNobody = [] {
        return ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
    };

    AdministratorReport report =
        StartAdministrator({"--administrator", "/nonexistent"},
                           {"PATH=" + dir.path() + "/yes:/usr/bin:/bin"}, asNobody, copy);
    EXPECT_EQ(report.window, "65534 65534 " + kCollecting);
    std::ifstream named(args);
    std::string collector;
    std::getline(named, collector);
    char real[PATH_MAX];
    ASSERT_NE(::realpath(copy.c_str(), real), nullptr);
    EXPECT_EQ(collector, real);
    EXPECT_TRUE(report.ended);

    report = StartAdministrator({"--administrator", "/nonexistent"},
                                {"PATH=" + dir.path() + "/no:/usr/bin:/bin"}, asNobody, copy);
    EXPECT_EQ(report.window,
              "65534 65534 " + std::to_string(static_cast<int>(AdministratorMode::Unavailable)) +
                  " " + std::to_string(static_cast<int>(CollectorFailure::NotAuthorised)));
    EXPECT_TRUE(report.ended); // the window went on to its document
}
