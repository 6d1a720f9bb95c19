#include <ombrel/framework.h>
#include <ombrel/text.h>

#include "provisions.h"

namespace ombrel::platform {
namespace {
const ResourceString* table = nullptr;
size_t count = 0;
} // namespace

void RegisterStringTable(const ResourceString* strings, size_t size) {
    table = strings;
    count = size;
}

std::string LoadResourceString(UINT id) {
    for (size_t i = 0; i < count; ++i)
        if (table[i].id == id)
            return table[i].text;
    return {};
}

namespace lx {

// Copies the string, cut at a character boundary to fit, and terminates it;
// 0 when the table has no such string.
int LoadStringA(HINSTANCE, UINT id, LPSTR buffer, int size) {
    if (buffer == nullptr || size <= 0)
        return 0;
    std::string text = LoadResourceString(id);
    return static_cast<int>(CopyText(buffer, static_cast<size_t>(size), text));
}

} // namespace lx
} // namespace ombrel::platform
