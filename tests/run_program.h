// A program run in a child of the test, its output captured; before it
// runs, the child may prepare itself (become another user, mount a /proc of
// its own).
#pragma once

#include <cstdio>
#include <grp.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

struct ProgramRun {
    int exitCode = -1;
    std::string out, err;
};

inline std::string SlurpFile(int fd) {
    std::string text;
    ::lseek(fd, 0, SEEK_SET);
    char chunk[4096];
    ssize_t got;
    while ((got = ::read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<size_t>(got));
    return text;
}

inline bool BecomeUser(uid_t user) {
    return ::setgroups(0, nullptr) == 0 && ::setgid(user) == 0 && ::setuid(user) == 0;
}

// args[0] is the program. A child whose prepare() fails exits 126 without
// running it; one that cannot run it exits 127.
template <typename Prepare>
ProgramRun RunProgram(std::vector<std::string> args, char* const* envp, Prepare prepare) {
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    ProgramRun run;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fileno(out), 1);
        ::dup2(fileno(err), 2);
        if (!prepare())
            ::_exit(126);
        ::execve(argv[0], argv.data(), envp);
        ::_exit(127);
    }
    if (pid > 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    run.out = SlurpFile(fileno(out));
    run.err = SlurpFile(fileno(err));
    std::fclose(out);
    std::fclose(err);
    return run;
}
