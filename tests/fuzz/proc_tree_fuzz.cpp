// Feeds whole process trees (net/tcp, net/udp, PID/stat, PID/exe, PID/fd/*)
// to a full snapshot refresh: the table readers, the descriptor scan, the
// process list and the program paths, then checks what the snapshot holds.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <ombrel/services.h>

#include "snapshot/port_table.h"
#include "tests/fuzz/fuzz_tree.h"

namespace {

bool Terminated(const char* text, size_t size) {
    return std::memchr(text, '\0', size) != nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_tree::RunTree tree(data, size);
    const std::string root = tree.root();
    if (root.empty())
        return 0;
    {
        ombrel::platform::ProcRootOverride procRoot(root);
        CPortTable table;
        table.Refresh();
        int index = 0;
        int expectedKey = 0;
        PortEntry* entry = nullptr;
        for (int more = table.GetFirst(index, entry); more; more = table.GetNext(index, entry)) {
            if (entry == nullptr)
                continue;
            if (entry->key != expectedKey++ || !Terminated(entry->processPath, MAX_PATH) ||
                !Terminated(entry->localAddress, 32) || !Terminated(entry->remoteAddress, 32) ||
                !Terminated(entry->state, 32) || entry->localPort < 0 || entry->localPort > 65535)
                std::abort();
        }
    }
    return 0;
}
