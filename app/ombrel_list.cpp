// ombrel-list: one snapshot, taken exactly as the window program takes it,
// printed one tab-separated line per entry in table order.
#include <cstdio>
#include <cstring>

#include "port_table.h"

namespace {

constexpr const char* kUsage = "usage: ombrel-list [--tcp | --udp] [--help]";

void PrintHelp() {
    std::printf("%s\n\n"
                "Lists every local IPv4 TCP and UDP endpoint and the program that owns it, one\n"
                "line each, fields separated by tabs: key, protocol (TCP or UDP), local\n"
                "address:port, remote address:port, state, process id, program path or name.\n\n"
                "  --tcp   list only TCP endpoints\n"
                "  --udp   list only UDP endpoints\n"
                "  --help  show this text\n",
                kUsage);
}

} // namespace

int main(int argc, char** argv) {
    bool tcp = false, udp = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--tcp") == 0) {
            tcp = true;
        } else if (std::strcmp(argv[i], "--udp") == 0) {
            udp = true;
        } else if (std::strcmp(argv[i], "--help") == 0) {
            PrintHelp();
            return 0;
        } else {
            std::fprintf(stderr, "ombrel-list: unknown argument '%s'; %s\n", argv[i], kUsage);
            return 2;
        }
    }
    int filter = tcp == udp ? -1 : (tcp ? 0 : 1);

    CPortTable table;
    table.Refresh();
    int index = 0;
    PortEntry* entry = nullptr;
    for (int more = table.GetFirst(index, entry); more; more = table.GetNext(index, entry)) {
        if (entry == nullptr || (filter != -1 && entry->protocol != filter))
            continue;
        std::printf("%d\t%s\t%s:%d\t%s:%d\t%s\t%d\t%s\n", entry->key,
                    entry->protocol == 0 ? "TCP" : "UDP", entry->localAddress, entry->localPort,
                    entry->remoteAddress, entry->remotePort, entry->state, entry->processId,
                    entry->processPath);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
