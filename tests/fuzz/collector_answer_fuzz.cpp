// Feeds arbitrary bytes to the window's reader of the administrator
// collector's answer (the collector may be replaced, cut short or answer
// twice), then uses what it accepted as a refresh would.
#include <cstdint>

#include "platform/linux/collector_answer.h"

using namespace ombrel::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    uint64_t whole = CollectorAnswerSize(bytes, size);
    CollectorAnswer answer;
    bool parsed = ParseCollectorAnswer(bytes, size, answer);
    if (parsed && whole != size)
        __builtin_trap(); // accepted without a header that says it is whole
    if (!parsed)
        return 0;
    size_t named = 0;
    for (size_t table = 0; table < kTableCount; ++table) {
        if (answer.tables.sockets[table].size() != answer.tables.owners[table].size())
            __builtin_trap();
        for (uint32_t pid : answer.tables.owners[table])
            named += pid != 0;
    }
    for (const CollectedOwner& owner : answer.owners)
        named += owner.name.size() + owner.path.size();
    return named == SIZE_MAX;
}
