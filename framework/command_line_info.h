// The framework's standard command line: no argument is a new document, a
// file name opens that file.
#pragma once

#include <string>

struct CCommandLineInfo {
    enum Command { FileNew, FileOpen } m_nShellCommand = FileNew;
    std::string m_strFileName;

    void ParseCommandLine(int argc, const char* const* argv);
};
