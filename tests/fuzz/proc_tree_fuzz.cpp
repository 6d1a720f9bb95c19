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
#include "tests/temp_dir.h"

namespace {

bool Terminated(const char* text, size_t size) {
    return std::memchr(text, '\0', size) != nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TempDir scratch(fuzz_tree::ScratchBase());
    static unsigned long run = 0;
    // A fresh root each run, so no reader's memory of the last tree applies.
    std::string root = scratch.path() + "/" + std::to_string(run++);
    if (::mkdir(root.c_str(), 0755) != 0)
        return 0;
    int rootFd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0)
        return 0;
    fuzz_tree::Write(rootFd, data, size);
    ::close(rootFd);

    ombrel::platform::SetProcRoot(root);
    {
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
    ombrel::platform::SetProcRoot("");
    TempDir::RemoveTree(root);
    return 0;
}
