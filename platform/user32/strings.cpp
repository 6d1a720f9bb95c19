#include <ombrel/framework.h>
#include <ombrel/text.h>

#include "../core/provisions.h"
#include <ombrel/res/strings.h>

namespace ombrel::platform {

std::string LoadResourceString(UINT id) {
    size_t count = 0;
    const res::ResourceString* table = res::StringTable(count);
    for (size_t i = 0; i < count; ++i)
        if (table[i].id == id)
            return table[i].text;
    return {};
}

} // namespace ombrel::platform

// Copies the string, cut at a character boundary to fit, and terminates it;
// 0 when the table has no such string.
int WINAPI LoadStringA(HINSTANCE, UINT id, LPSTR buffer, int size) {
    if (buffer == nullptr || size <= 0)
        return 0;
    std::string text = ombrel::platform::LoadResourceString(id);
    return static_cast<int>(ombrel::platform::CopyText(buffer, static_cast<size_t>(size), text));
}
