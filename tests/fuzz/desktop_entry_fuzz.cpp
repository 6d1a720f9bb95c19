// Feeds arbitrary text to the desktop-entry reader (the entry, then its Exec
// line's program) and each line of it, as a folder name, to the icon
// theme's size reader.
#include <cstdint>
#include <string_view>

#include "platform/linux/metadata/icon_theme.h"
#include "platform/linux/metadata/xdg.h"

using namespace ombrel::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    DesktopEntry entry = ParseDesktopEntry(text);
    ExecProgram(entry.exec);
    ExecProgram(text);
    while (!text.empty()) {
        size_t end = text.find('\n');
        IconDirectorySize(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return 0;
}
