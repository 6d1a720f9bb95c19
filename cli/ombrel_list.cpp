// ombrel-list: one snapshot, taken exactly as the window program takes it,
// printed one tab-separated line per entry in table order.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>

#include <ombrel/process_setup.h>
#include <ombrel/res/strings.h>
#include <ombrel/text.h>

#include "debug_privilege.h"
#include "port_table.h"

namespace {

constexpr const char* kUsage = "usage: ombrel-list [--tcp | --udp] [--json] [--help]";

void PrintHelp() {
    std::printf("%s\n\n"
                "Lists every local TCP and UDP endpoint, IPv4 and IPv6, and the program that\n"
                "owns it, one line each, fields separated by tabs: key, protocol (TCP or UDP),\n"
                "local address:port, remote address:port (an IPv6 address in brackets), state,\n"
                "process id, program path or [name].\n"
                "In a field, a backslash is written \\\\, a tab \\t, a newline \\n, any other\n"
                "control byte and any byte that is not UTF-8 \\xHH, and the other control\n"
                "characters, line separators and characters that reorder text \\uHHHH.\n\n"
                "An endpoint of another network namespace than this program's has its\n"
                "namespace's name after its local address: \"127.0.0.1:5432 @db\".\n\n"
                "  --tcp   list only TCP endpoints\n"
                "  --udp   list only UDP endpoints\n"
                "  --json  print one JSON document instead (its schema: man ombrel-list)\n"
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

// A JSON string of a text as the window shows it (the escapes above): it
// holds no control byte and is UTF-8, and reads back as the text field.
void AppendJsonString(std::string& out, const char* text) {
    out += '"';
    for (char c : ombrel::platform::ShownText(text, ombrel::platform::Backslash::Escaped)) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    out += '"';
}

// "fe80::1%eth0" as its address and its scope (empty for none).
void AppendAddress(std::string& out, const char* key, const char* text, int port) {
    std::string_view whole(text, strnlen(text, sizeof PortEntry::localAddress));
    size_t percent = whole.find('%');
    std::string address(whole.substr(0, percent));
    std::string scope(percent == std::string_view::npos ? std::string_view{}
                                                        : whole.substr(percent + 1));
    out += "\"";
    out += key;
    out += "\":{\"address\":";
    AppendJsonString(out, address.c_str());
    out += ",\"port\":" + std::to_string(port) + ",\"scope\":";
    AppendJsonString(out, scope.c_str());
    out += '}';
}

void AppendJsonEntry(std::string& out, const PortEntry& entry,
                     const ombrel::platform::NetworkCompartment* compartment) {
    out += "{\"key\":" + std::to_string(entry.key);
    out += entry.protocol == 0 ? ",\"protocol\":\"TCP\"" : ",\"protocol\":\"UDP\"";
    out += entry.family == static_cast<int32_t>(AF_INET6_FAMILY) ? ",\"family\":\"IPv6\","
                                                                 : ",\"family\":\"IPv4\",";
    AppendAddress(out, "local", entry.localAddress, entry.localPort);
    out += ',';
    AppendAddress(out, "remote", entry.remoteAddress, entry.remotePort);
    out += ",\"state\":";
    AppendJsonString(out, entry.state);
    out += ",\"pid\":" + std::to_string(entry.processId);
    out += ",\"start\":" + std::to_string(entry.programFile.processStart);
    out += ",\"program\":{\"path\":";
    AppendJsonString(out, entry.processPath);
    out += ",\"device\":" + std::to_string(entry.programFile.device);
    out += ",\"inode\":" + std::to_string(entry.programFile.inode) + '}';
    out += ",\"namespace\":{\"inode\":" + std::to_string(entry.compartment) + ",\"kind\":";
    bool own = compartment == nullptr || compartment->kind[0] == '\0';
    AppendJsonString(out, own ? "own" : compartment->kind);
    out += ",\"name\":";
    AppendJsonString(out, own ? "" : compartment->name);
    out += "}}";
}

} // namespace

int main(int argc, char** argv) {
    ombrel::res::RegisterStrings();
    bool tcp = false, udp = false, json = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--tcp") == 0) {
            tcp = true;
        } else if (std::strcmp(argv[i], "--udp") == 0) {
            udp = true;
        } else if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
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
    if (json) {
        // One document: the entries in the window's order, each with its
        // namespace; written in one go once whole.
        std::map<NET_IF_COMPARTMENT_ID, const ombrel::platform::NetworkCompartment*> compartments;
        for (const ombrel::platform::NetworkCompartment& compartment : table.Compartments())
            compartments.emplace(compartment.id, &compartment);
        line = "{\"schema\":1,\"endpoints\":[";
        bool first = true;
        for (int more = table.GetFirst(index, entry); more; more = table.GetNext(index, entry)) {
            if (entry == nullptr || (filter != -1 && entry->protocol != filter))
                continue;
            if (!first)
                line += ',';
            first = false;
            line += "\n";
            auto found = compartments.find(entry->compartment);
            AppendJsonEntry(line, *entry, found != compartments.end() ? found->second : nullptr);
        }
        line += "\n]}\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
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
