#include "command_line.h"

#include <csignal>
#include <spawn.h>

#include "base/spawn_attributes.h"
#include "process_object.h"

extern char** environ;

namespace ombrel::platform {

std::vector<std::string> SplitCommandLine(std::string_view line) {
    std::vector<std::string> args;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i >= line.size())
            break;
        std::string arg;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            if (line[i] == '\\') {
                size_t slashes = 0;
                while (i < line.size() && line[i] == '\\') {
                    ++slashes;
                    ++i;
                }
                if (i < line.size() && line[i] == '"') {
                    arg.append(slashes / 2, '\\');
                    if (slashes % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                } else {
                    arg.append(slashes, '\\');
                }
            } else if (line[i] == '"') {
                // "" inside quotes is a literal quote.
                if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg += line[i++];
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

int SpawnProgram(const std::string& program, const std::vector<std::string>& argv,
                 const char* directory, const std::vector<std::string>* environment, pid_t& pid) {
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    if (environment != nullptr) {
        for (const std::string& entry : *environment)
            env.push_back(const_cast<char*>(entry.c_str()));
        env.push_back(nullptr);
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (directory != nullptr && directory[0] != '\0')
        posix_spawn_file_actions_addchdir_np(&actions, directory);
    posix_spawnattr_t attributes;
    InitChildAttributes(attributes);

    ReapExitedChildren();
    char** envp = environment != nullptr ? env.data() : environ;
    int error = program.find('/') == std::string::npos
                    ? posix_spawnp(&pid, program.c_str(), &actions, &attributes, args.data(), envp)
                    : posix_spawn(&pid, program.c_str(), &actions, &attributes, args.data(), envp);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error == 0)
        RememberChild(pid);
    return error;
}

} // namespace ombrel::platform
