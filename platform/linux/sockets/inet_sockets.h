// IPv4 and IPv6 TCP and UDP sockets of the caller's network namespace.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ombrel::platform {

enum class InetProtocol { Tcp, Udp };
enum class InetFamily { V4, V6 };

// The text tables give no interface: their IPv6 sockets may be bound to one
// this cannot name.
inline constexpr uint32_t kUnknownInterface = UINT32_MAX;

// A socket's maker no id here names (one read in a user's namespace that
// its map does not hold): no viewer is that user.
inline constexpr uint32_t kUnknownUser = UINT32_MAX;

struct InetSocket {
    uint8_t state = 0;       // the kernel's TCP state number (include/net/tcp_states.h)
    bool v6 = false;         // the addresses are local6 and remote6
    uint32_t localAddr = 0;  // IPv4, network byte order
    uint16_t localPort = 0;  // network byte order
    uint32_t remoteAddr = 0; // IPv4, network byte order
    uint16_t remotePort = 0; // network byte order
    uint32_t interface = 0;  // IPv6: the interface the socket is bound to, 0 for none
                             // (kUnknownInterface where the source does not say)
    uint64_t inode = 0;      // 0 for sockets no file refers to (TIME_WAIT, request sockets)
    uint32_t uid = 0;        // the user whose process made the socket (its file's owner)
    uint32_t netns = 0;      // its network namespace's inode; 0 where not known (a fixture tree)
    std::array<uint8_t, 16> local6{};  // IPv6, network byte order
    std::array<uint8_t, 16> remote6{}; // IPv6, network byte order
};

// A NETLINK_SOCK_DIAG dump of every socket of the protocol and family, all
// states: of the namespace the socket diag was made in (its netlink socket,
// left open), or without one of the calling thread's.
bool DumpSockDiag(InetProtocol protocol, InetFamily family, std::vector<InetSocket>& sockets,
                  int diag = -1);

// Every TCP socket of both families from one walk of the kernel's tables
// (the older TCP request, which names no family): half the kernel's work of
// a dump per family. False where the kernel refuses it.
bool DumpTcpBothFamilies(std::vector<InetSocket>& sockets, int diag = -1);

// One datagram of a sock_diag dump's reply: its sockets are appended.
// Done when it ends the dump, More when more datagrams follow, Failed on an
// error message or a length that does not fit what was received.
enum class SockDiagPart { More, Done, Failed };
SockDiagPart ParseSockDiagReply(const char* data, size_t size, std::vector<InetSocket>& sockets);

// Parses /proc/net/tcp, udp, tcp6 or udp6 text (the family as given).
// Lines that do not parse are skipped; false only when the text has no
// header line.
bool ParseProcNetTable(std::string_view text, InetFamily family, std::vector<InetSocket>& sockets);

// The live kernel's sockets when root is the live /proc (netlink first, the
// text table when netlink is refused), else the fixture tree's net/ table.
// False where the family has no table (a kernel without IPv6).
bool ReadInetSockets(const std::string& root, bool live, InetProtocol protocol, InetFamily family,
                     std::vector<InetSocket>& sockets);

// The live kernel's TCP sockets of both families from one walk, each
// family into its own table, as ReadInetSockets gives them; v6 is read only
// where the kernel has IPv6. False where the one walk is refused.
bool ReadLiveTcpBothFamilies(std::vector<InetSocket>& v4, std::vector<InetSocket>& v6,
                             bool& v6Read);

} // namespace ombrel::platform
