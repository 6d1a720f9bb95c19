#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/child_reaper.h"
#include "base/search_path.h"
#include "command_line.h"
#include "process_object.h"
#include "provisions.h"

extern char** environ;

namespace ombrel::platform {
namespace {

HINSTANCE Result(INT_PTR value) {
    return reinterpret_cast<HINSTANCE>(value);
}

// "http://...", "mailto:...": a scheme of two or more letters, then a colon.
bool IsAddress(std::string_view text) {
    size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon < 2)
        return false;
    for (size_t i = 0; i < colon; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return std::isalpha(static_cast<unsigned char>(text[0])) != 0;
}

// The program a bare name means: the directory given, then PATH.
std::string FindProgram(const std::string& name, const char* directory) {
    if (directory != nullptr && directory[0] != '\0' &&
        IsExecutableFile(std::string(directory) + "/" + name))
        return std::string(directory) + "/" + name;
    const char* path = std::getenv("PATH");
    for (const std::string& dir : SplitList(path ? path : "/usr/local/bin:/usr/bin:/bin")) {
        std::string candidate = dir + "/" + name;
        if (IsExecutableFile(candidate))
            return candidate;
    }
    return "";
}

HINSTANCE Spawn(const std::string& program, std::vector<std::string> argv, const char* directory) {
    pid_t pid = 0;
    int error = SpawnProgram(program, argv, directory, nullptr, pid);
    // The caller gets no handle: nobody will wait for it but the reaper.
    if (error == 0 && ReleaseChild(pid))
        ForgetChild(pid);
    if (error == ENOENT)
        return Result(SE_ERR_FNF);
    return Result(error == 0 ? 42 : SE_ERR_NOASSOC);
}

// The user a root window runs for (pkexec and sudo name them): the
// desktop's handler, a browser among them, runs as that user, never as root.
struct Behalf {
    enum { None, User, Refused } kind = None;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    std::string name, home;
};

Behalf UserBehindRoot() {
    Behalf behalf;
    if (::geteuid() != 0)
        return behalf;
    for (const char* variable : {"PKEXEC_UID", "SUDO_UID"}) {
        const char* value = std::getenv(variable);
        if (value == nullptr || value[0] == '\0')
            continue;
        // Named but not a user to run as: nothing is started as root instead.
        behalf.kind = Behalf::Refused;
        uid_t uid = 0;
        const char* end = value + std::strlen(value);
        auto [stop, error] = std::from_chars(value, end, uid);
        if (error != std::errc() || stop != end || uid == 0)
            return behalf;
        passwd entry{};
        passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 ||
            found == nullptr)
            return behalf;
        int count = 64;
        std::vector<gid_t> groups(static_cast<size_t>(count));
        if (::getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) {
            groups.resize(static_cast<size_t>(count));
            if (::getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0)
                return behalf;
        }
        groups.resize(static_cast<size_t>(count));
        behalf = {Behalf::User, uid, entry.pw_gid, std::move(groups), entry.pw_name, entry.pw_dir};
        return behalf;
    }
    return behalf;
}

// fork and exec, the user's ids taken in the child before the program
// runs; an exec error comes back through a pipe that the exec closes.
HINSTANCE SpawnAs(const Behalf& user, const std::string& program, std::vector<std::string> argv,
                  const char* directory) {
    std::string path =
        program.find('/') == std::string::npos ? FindProgram(program, nullptr) : program;
    if (path.empty())
        return Result(SE_ERR_FNF);
    std::vector<std::string> environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        if (text.rfind("HOME=", 0) != 0 && text.rfind("USER=", 0) != 0 &&
            text.rfind("LOGNAME=", 0) != 0)
            environment.emplace_back(text);
    }
    environment.push_back("HOME=" + user.home);
    environment.push_back("USER=" + user.name);
    environment.push_back("LOGNAME=" + user.name);
    std::vector<char*> args, envp;
    for (std::string& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    const char* folder =
        directory != nullptr && directory[0] != '\0' ? directory : user.home.c_str();
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return Result(SE_ERR_OOM);
    ReapExitedChildren();
    pid_t pid = ::fork();
    if (pid == 0) {
        int error = 0;
        if (::setgroups(user.groups.size(), user.groups.data()) != 0 || ::setgid(user.gid) != 0 ||
            ::setuid(user.uid) != 0 || ::getuid() != user.uid || ::geteuid() != user.uid)
            error = EPERM;
        if (error == 0) {
            if (::chdir(folder) != 0)
                (void)::chdir("/");
            ::execve(path.c_str(), args.data(), envp.data());
            error = errno;
        }
        ssize_t wrote = ::write(report[1], &error, sizeof error);
        (void)wrote;
        ::_exit(127);
    }
    ::close(report[1]);
    int error = 0;
    ssize_t got = pid > 0 ? ::read(report[0], &error, sizeof error) : -1;
    ::close(report[0]);
    if (pid < 0)
        return Result(SE_ERR_OOM);
    if (got == static_cast<ssize_t>(sizeof error)) {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return Result(error == ENOENT ? SE_ERR_FNF : SE_ERR_ACCESSDENIED);
    }
    RememberChild(pid);
    if (ReleaseChild(pid))
        ForgetChild(pid);
    return Result(42);
}

// The desktop's handler for an address or a document.
HINSTANCE OpenWithDesktop(const std::string& target, const char* directory) {
    Behalf user = UserBehindRoot();
    if (user.kind == Behalf::Refused)
        return Result(SE_ERR_ACCESSDENIED);
    if (user.kind == Behalf::User)
        return SpawnAs(user, "xdg-open", {"xdg-open", target}, directory);
    return Spawn("xdg-open", {"xdg-open", target}, directory);
}

} // namespace

namespace lx {

// "open" starts a program with its parameters, and hands an address or a
// document to the desktop's handler (xdg-open), as the user a root window
// runs for. No shell is involved.
HINSTANCE ShellExecuteA(HWND, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory, int) {
    if (verb != nullptr && verb[0] != '\0' && ::strcasecmp(verb, "open") != 0)
        return Result(SE_ERR_NOASSOC);
    if (file == nullptr || file[0] == '\0')
        return Result(SE_ERR_FNF);
    std::string target = file;
    if (IsAddress(target))
        return OpenWithDesktop(target, directory);

    std::string program;
    if (target.find('/') == std::string::npos)
        program = FindProgram(target, directory);
    else if (target[0] != '/' && directory != nullptr && directory[0] != '\0')
        target = std::string(directory) + "/" + target;
    if (program.empty() && IsExecutableFile(target))
        program = target;
    if (!program.empty()) {
        std::vector<std::string> argv{program};
        if (parameters != nullptr)
            for (std::string& arg : SplitCommandLine(parameters))
                argv.push_back(std::move(arg));
        return Spawn(program, std::move(argv), directory);
    }
    struct stat info {};
    if (::stat(target.c_str(), &info) != 0)
        return Result(SE_ERR_FNF);
    return OpenWithDesktop(target, directory);
}

} // namespace lx
} // namespace ombrel::platform
