// The program's numbered string table.
#pragma once

#include <cstddef>

namespace ombrel::res {

struct ResourceString {
    unsigned id;
    const char* text; // UTF-8
};

const ResourceString* StringTable(size_t& count);

} // namespace ombrel::res
