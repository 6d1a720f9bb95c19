// Feeds arbitrary text to the AppStream metadata reader: a container's or a
// Flatpak application's file, anyone's words.
#include <cstdint>
#include <string_view>

#include "platform/linux/metadata/appstream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ombrel::platform::ParseAppStream(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
