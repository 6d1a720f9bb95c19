#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <string>
#include <unistd.h>

#include "base/proc_text.h"
#include "base/procfs.h"
#include "sockets/inet_sockets.h"

namespace ombrel::platform {
namespace {

// "0100007F:0016": the address is the raw 32-bit value printed in the host's
// byte order (so it is already the network-order value), the port is printed
// as a number (net/ipv4/tcp_ipv4.c, get_tcp4_sock). An IPv6 address is four
// such words (net/ipv6/tcp_ipv6.c, get_tcp6_sock).
bool ParseEndpoint(std::string_view text, uint8_t* addr, size_t words, uint16_t& port) {
    size_t digits = words * 8;
    uint64_t p = 0;
    if (text.size() != digits + 5 || text[digits] != ':' || !ParseHex(text.substr(digits + 1), p) ||
        p > 0xFFFF)
        return false;
    for (size_t i = 0; i < words; ++i) {
        uint64_t word = 0;
        if (!ParseHex(text.substr(i * 8, 8), word))
            return false;
        auto value = static_cast<uint32_t>(word);
        std::memcpy(addr + i * 4, &value, 4);
    }
    port = htons(static_cast<uint16_t>(p));
    return true;
}

std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
            ++pos;
        size_t end = line.find_first_of(" \t", pos);
        if (end == std::string_view::npos)
            end = line.size();
        if (end > pos)
            fields.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    return fields;
}

} // namespace

bool ParseProcNetTable(std::string_view text, InetFamily family, std::vector<InetSocket>& sockets) {
    size_t newline = text.find('\n');
    if (text.empty() || Fields(text.substr(0, newline)).empty() ||
        Fields(text.substr(0, newline))[0] != "sl")
        return false;
    while (newline != std::string_view::npos) {
        text.remove_prefix(newline + 1);
        newline = text.find('\n');
        auto fields = Fields(text.substr(0, newline));
        // sl local rem st tx:rx tr:when retrnsmt uid timeout inode ...
        if (fields.size() < 10 || fields[0].empty() || fields[0].back() != ':')
            continue;
        InetSocket socket;
        socket.v6 = family == InetFamily::V6;
        if (socket.v6)
            socket.interface = kUnknownInterface;
        size_t words = socket.v6 ? 4 : 1;
        auto* local =
            socket.v6 ? socket.local6.data() : reinterpret_cast<uint8_t*>(&socket.localAddr);
        auto* remote =
            socket.v6 ? socket.remote6.data() : reinterpret_cast<uint8_t*>(&socket.remoteAddr);
        uint64_t state = 0, inode = 0, uid = 0;
        if (!ParseEndpoint(fields[1], local, words, socket.localPort) ||
            !ParseEndpoint(fields[2], remote, words, socket.remotePort) ||
            !ParseHex(fields[3], state) || state > 0xFF || !ParseDecimal(fields[9], inode) ||
            !ParseDecimal(fields[7], uid) || uid > UINT32_MAX)
            continue;
        socket.state = static_cast<uint8_t>(state);
        socket.inode = inode;
        socket.uid = static_cast<uint32_t>(uid);
        sockets.push_back(socket);
    }
    return true;
}

namespace {
// TCP_CLOSE in include/net/tcp_states.h: a socket only bound (or one
// already torn down), which netlink lists and the text table does not.
constexpr uint8_t kTcpClose = 7;
} // namespace

// Only listening and connected TCP sockets are endpoints, whichever source
// gave them.
bool ReadInetSockets(const std::string& root, bool live, InetProtocol protocol, InetFamily family,
                     std::vector<InetSocket>& sockets) {
    size_t first = sockets.size();
    bool read = live && DumpSockDiag(protocol, family, sockets);
    if (!read) {
        sockets.resize(first);
        std::string table = protocol == InetProtocol::Tcp ? "/net/tcp" : "/net/udp";
        if (family == InetFamily::V6)
            table += '6';
        auto text = ReadSmallFile(root + table, size_t{1} << 30);
        read = text && ParseProcNetTable(*text, family, sockets);
    }
    if (read && protocol == InetProtocol::Tcp)
        sockets.erase(std::remove_if(sockets.begin() + static_cast<ptrdiff_t>(first), sockets.end(),
                                     [](const InetSocket& s) { return s.state == kTcpClose; }),
                      sockets.end());
    return read;
}

bool ReadLiveTcpBothFamilies(std::vector<InetSocket>& v4, std::vector<InetSocket>& v6,
                             bool& v6Read) {
    std::vector<InetSocket> both;
    if (!DumpTcpBothFamilies(both))
        return false;
    auto closed = [](const InetSocket& s) { return s.state == kTcpClose; };
    both.erase(std::remove_if(both.begin(), both.end(), closed), both.end());
    auto sixes = static_cast<size_t>(
        std::count_if(both.begin(), both.end(), [](const InetSocket& s) { return s.v6; }));
    v4.reserve(v4.size() + both.size() - sixes);
    // A kernel without IPv6 has no table of it, as a dump of that family finds.
    v6Read = ::access("/proc/net/tcp6", F_OK) == 0;
    if (v6Read)
        v6.reserve(v6.size() + sixes);
    for (const InetSocket& socket : both)
        if (!socket.v6)
            v4.push_back(socket);
        else if (v6Read)
            v6.push_back(socket);
    return true;
}

} // namespace ombrel::platform
