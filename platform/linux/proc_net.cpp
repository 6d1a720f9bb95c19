#include <algorithm>
#include <arpa/inet.h>
#include <charconv>
#include <string>

#include "inet_sockets.h"
#include "procfs.h"

namespace ombrel::platform {
namespace {

bool ParseHex(std::string_view text, uint64_t& value) {
    if (text.empty())
        return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return ec == std::errc() && end == text.data() + text.size();
}

bool ParseDecimal(std::string_view text, uint64_t& value) {
    if (text.empty())
        return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

// "0100007F:0016": the address is the raw 32-bit value printed in the host's
// byte order (so it is already the network-order value), the port is printed
// as a number (net/ipv4/tcp_ipv4.c, get_tcp4_sock).
bool ParseEndpoint(std::string_view text, uint32_t& addr, uint16_t& port) {
    size_t colon = text.find(':');
    uint64_t a = 0, p = 0;
    if (colon != 8 || text.size() != 13 || !ParseHex(text.substr(0, 8), a) ||
        !ParseHex(text.substr(9), p) || p > 0xFFFF)
        return false;
    addr = static_cast<uint32_t>(a);
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

bool ParseProcNetTable(std::string_view text, std::vector<InetSocket>& sockets) {
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
        uint64_t state = 0, inode = 0;
        if (!ParseEndpoint(fields[1], socket.localAddr, socket.localPort) ||
            !ParseEndpoint(fields[2], socket.remoteAddr, socket.remotePort) ||
            !ParseHex(fields[3], state) || state > 0xFF || !ParseDecimal(fields[9], inode))
            continue;
        socket.state = static_cast<uint8_t>(state);
        socket.inode = inode;
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
bool ReadInetSockets(const std::string& root, bool live, InetProtocol protocol,
                     std::vector<InetSocket>& sockets) {
    size_t first = sockets.size();
    bool read = live && DumpSockDiag(protocol, sockets);
    if (!read) {
        sockets.resize(first);
        const char* table = protocol == InetProtocol::Tcp ? "/net/tcp" : "/net/udp";
        auto text = ReadSmallFile(root + table, size_t{1} << 30);
        read = text && ParseProcNetTable(*text, sockets);
    }
    if (read && protocol == InetProtocol::Tcp)
        sockets.erase(std::remove_if(sockets.begin() + static_cast<ptrdiff_t>(first), sockets.end(),
                                     [](const InetSocket& s) { return s.state == kTcpClose; }),
                      sockets.end());
    return read;
}

} // namespace ombrel::platform
