// ombrel-list: one snapshot, taken exactly as the window program takes it,
// printed one tab-separated line per entry in table order.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <ombrel/process_setup.h>
#include <ombrel/res/strings.h>
#include <ombrel/text.h>

#include "debug_privilege.h"
#include "port_table.h"

namespace {

constexpr const char* kUsage = "usage: ombrel-list [--tcp | --udp] [--help]";

void PrintHelp() {
    std::printf("%s\n\n"
                "Lists every local TCP and UDP endpoint, IPv4 and IPv6, and the program that\n"
                "owns it, one line each, fields separated by tabs: key, protocol (TCP or UDP),\n"
                "local address:port, remote address:port (an IPv6 address in brackets), state,\n"
                "process id, program path or [name].\n"
                "In a field, a backslash is written \\\\, a tab \\t, a newline \\n, any other\n"
                "control byte and any byte that is not UTF-8 \\xHH, and the other control\n"
                "characters, line separators and characters that reorder text \\uHHHH.\n\n"
                "  --tcp   list only TCP endpoints\n"
                "  --udp   list only UDP endpoints\n"
                "  --help  show this text\n\n"
                "With OMBREL_OWNER_SOURCE set, standard error tells which source named the\n"
                "owners (the kernel's walk, a scan of /proc, the owner helper or the\n"
                "administrator's collector) and why a faster one did not.\n",
                kUsage);
}

// Any process can put a tab, a newline or a terminal's control sequence in
// its program's path or name; shown by the window's rule with backslashes
// escaped too, every line splits into seven fields, each reads back
// exactly, and the output is UTF-8 that does nothing to a terminal.
void AppendField(std::string& line, const char* text) {
    line += ombrel::platform::ShownText(text, ombrel::platform::Backslash::Escaped);
}

} // namespace

int main(int argc, char** argv) {
    ombrel::res::RegisterStrings();
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

    ombrel::platform::RaiseDescriptorLimit();
    // As the window does at its start: other users' owners where permitted.
    EnableSnapshotPrivilege();
    CPortTable table;
    table.Refresh();
    // For an administrator who wonders where the owners came from.
    if (const char* ask = std::getenv("OMBREL_OWNER_SOURCE"); ask != nullptr && *ask != '\0') {
        const std::string& report = table.OwnerSource();
        for (size_t start = 0; start < report.size();) {
            size_t end = std::min(report.find('\n', start), report.size());
            std::fprintf(stderr, "ombrel-list: %s\n", report.substr(start, end - start).c_str());
            start = end + 1;
        }
    }
    int index = 0;
    PortEntry* entry = nullptr;
    std::string line;
    for (int more = table.GetFirst(index, entry); more; more = table.GetNext(index, entry)) {
        if (entry == nullptr || (filter != -1 && entry->protocol != filter))
            continue;
        line = std::to_string(entry->key);
        line += entry->protocol == 0 ? "\tTCP\t" : "\tUDP\t";
        char endpoint[96];
        AppendField(line, (EndpointText(endpoint, sizeof endpoint, entry->localAddress,
                                        entry->localPort, entry->family) +
                           CompartmentSuffix(*entry))
                              .c_str());
        line += '\t';
        AppendField(line, EndpointText(endpoint, sizeof endpoint, entry->remoteAddress,
                                       entry->remotePort, entry->family));
        line += '\t';
        AppendField(line, entry->state);
        line += '\t' + std::to_string(entry->processId) + '\t';
        AppendField(line, entry->processPath);
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), stdout);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
