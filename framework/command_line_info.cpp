#include "command_line_info.h"

#include <strings.h>

namespace {
// The standard parser's flags, which a '/' may also begin; any other
// argument that begins with '/' is an absolute path.
bool IsSlashFlag(const char* arg) {
    for (const char* flag : {"dde", "p", "pt", "embedding", "automation", "register", "regserver",
                             "unregister", "unregserver"})
        if (::strcasecmp(arg + 1, flag) == 0)
            return true;
    return false;
}
} // namespace

void CCommandLineInfo::ParseCommandLine(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr || argv[i][0] == '-' || (argv[i][0] == '/' && IsSlashFlag(argv[i])))
            continue; // flags of the standard parser carry nothing this program uses
        m_nShellCommand = FileOpen;
        m_strFileName = argv[i];
        return;
    }
}
