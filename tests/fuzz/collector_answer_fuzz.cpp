// Feeds arbitrary bytes to the window's reader of the administrator
// collector's answer (the collector may be replaced, cut short or answer
// twice), in pieces of the sizes the input's first byte chooses, then uses
// what it accepted as a refresh would.
#include <algorithm>
#include <cstdint>

#include "platform/linux/privilege/collector_answer.h"
#include "platform/linux/privilege/collector_wire.h"

using namespace ombrel::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    size_t piece = 1 + data[0] % 64;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    size -= 1;
    CollectorAnswerReader reader;
    CollectorAnswerReader::State state = CollectorAnswerReader::State::Reading;
    for (size_t at = 0; at < size; at += piece)
        state = reader.Feed(bytes + at, std::min(piece, size - at));
    // Read whole at once, the same bytes say the same.
    CollectorAnswer whole;
    bool parsed = ParseCollectorAnswer(bytes, size, whole);
    if (parsed != (state == CollectorAnswerReader::State::Whole))
        __builtin_trap();
    if (reader.mostHeld() > sizeof(CollectorPart) + kCollectorMaxPart)
        __builtin_trap();
    if (!parsed)
        return 0;
    CollectorAnswer answer = reader.Take();
    size_t named = 0;
    for (size_t table = 0; table < kTableCount; ++table) {
        if (answer.tables.sockets[table].size() != answer.tables.owners[table].size() ||
            answer.tables.owners[table] != whole.tables.owners[table])
            __builtin_trap();
        for (uint32_t pid : answer.tables.owners[table])
            named += pid != 0;
    }
    for (const CollectedOwner& owner : answer.owners)
        named += owner.name.size() + owner.path.size();
    return named == SIZE_MAX;
}
