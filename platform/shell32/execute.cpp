#include <cctype>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../core/provisions.h"
#include "../kernel32/command_line.h"
#include "../kernel32/process_object.h"
#include "../linux/search_path.h"

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

} // namespace

namespace lx {

// "open" starts a program with its parameters, and hands an address or a
// document to the desktop's handler (xdg-open). No shell is involved.
HINSTANCE ShellExecuteA(HWND, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory, int) {
    if (verb != nullptr && verb[0] != '\0' && ::strcasecmp(verb, "open") != 0)
        return Result(SE_ERR_NOASSOC);
    if (file == nullptr || file[0] == '\0')
        return Result(SE_ERR_FNF);
    std::string target = file;
    if (IsAddress(target))
        return Spawn("xdg-open", {"xdg-open", target}, directory);

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
    return Spawn("xdg-open", {"xdg-open", target}, directory);
}

} // namespace lx
} // namespace ombrel::platform
