// Splitting a Win32 command line into an argument vector.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ombrel::platform {

// Blanks and tabs separate arguments; double quotes group; 2n backslashes
// before a quote give n backslashes and the quote acts, 2n+1 give n and a
// literal quote; other backslashes are literal (the platform's argv rules).
std::vector<std::string> SplitCommandLine(std::string_view line);

// Starts a program with an argument vector, never through a shell. program
// holds a slash or is searched on PATH. Returns 0 or the errno value.
int SpawnProgram(const std::string& program, const std::vector<std::string>& argv,
                 const char* directory, const std::vector<std::string>* environment, pid_t& pid);

} // namespace ombrel::platform
