// A test's own file as the program of an entry: the path and the file's
// identity, as a refresh records them for a process that runs it (with no
// process to reach it through).
#pragma once

#include <cstring>
#include <string>
#include <sys/stat.h>

#include "port_entry.h"

inline ombrel::platform::ProgramFile ProgramFileOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return {};
    return {info.st_dev, info.st_ino, 0, 0, 0};
}

inline void SetProgram(PortEntry& entry, const std::string& path) {
    std::strncpy(entry.processPath, path.c_str(), sizeof entry.processPath - 1);
    entry.programFile = ProgramFileOf(path);
}
