// Feeds arbitrary text to the readers of the kernel's text files: a task's
// stat line, the net/tcp and net/udp tables, the mount table and whether it
// hides processes, a descriptor's link, an io_uring descriptor's fdinfo and
// a /proc entry's name; and the process name that the stat line and the
// text as a program path give.
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/linux/base/mounts.h"
#include "platform/linux/base/proc_text.h"
#include "platform/linux/base/procfs.h"
#include "platform/linux/sockets/inet_sockets.h"

using namespace ombrel::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto stat = ParseTaskStat(text))
        ProcessImageName(stat->comm, text);
    std::vector<InetSocket> sockets;
    ParseProcNetTable(text, InetFamily::V4, sockets);
    ParseProcNetTable(text, InetFamily::V6, sockets);
    ParseMountInfo(text);
    HidesProcesses(text);
    ParseSocketLink(text);
    ParseProcessId(text);
    ParseDescriptor(text);
    ParseRingFiles(text);
    return 0;
}
