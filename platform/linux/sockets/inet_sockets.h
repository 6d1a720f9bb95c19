// IPv4 and IPv6 TCP and UDP sockets of the caller's network namespace, and
// the processes that hold them.
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
    std::array<uint8_t, 16> local6{};  // IPv6, network byte order
    std::array<uint8_t, 16> remote6{}; // IPv6, network byte order
};

// A NETLINK_SOCK_DIAG dump of every socket of the protocol and family, all
// states.
bool DumpSockDiag(InetProtocol protocol, InetFamily family, std::vector<InetSocket>& sockets);

// Every TCP socket of both families from one walk of the kernel's tables
// (the older TCP request, which names no family): half the kernel's work of
// a dump per family. False where the kernel refuses it.
bool DumpTcpBothFamilies(std::vector<InetSocket>& sockets);

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

// A socket descriptor: the socket's inode, the process holding it and the
// descriptor's number.
struct SocketHolder {
    uint64_t inode = 0;
    uint32_t pid = 0;
    uint32_t fd = 0;
    // The holder's start time as the pass saw it, in clock ticks after boot
    // as /proc/PID/stat gives it: what tells it from a later process under
    // its reused id. 0 where it was gone by then.
    uint64_t start = 0;
    // The descriptor is an io_uring instance's, inode its ring's: its fixed
    // files are read from the fdinfo of the thread tid (the walk's).
    bool ring = false;
    uint32_t tid = 0;
};

// Every socket descriptor of every process, from one pass of the kernel's
// descriptor walk (socket_walk.h). False, with nothing read, where the
// kernel refuses it (without CAP_BPF and CAP_PERFMON, a kernel without the
// members it reads, another pid namespace); then only a scan of /proc can
// tell.
bool ReadSocketHolders(std::vector<SocketHolder>& holders);
// Why the last ReadSocketHolders read no holder, in a line or, with
// libbpf's warnings and the verifier's log, a few; empty after one that did.
const std::string& SocketHoldersRefusal();
// Loads the walk's program ahead, so that a caller can have it verified
// while waiting on other work; it reads no holder.
void PrepareSocketHolders();
// The same descriptors as a scan of root's descriptor folders finds them,
// each table of a process's threads with them.
void ScanSocketHolders(const std::string& root, std::vector<SocketHolder>& holders);

class SocketWalk;
SocketWalk& MachineSocketWalk();

// The live kernel's TCP sockets of both families from one walk, each
// family into its own table, as ReadInetSockets gives them; v6 is read only
// where the kernel has IPv6. False where the one walk is refused.
bool ReadLiveTcpBothFamilies(std::vector<InetSocket>& v4, std::vector<InetSocket>& v6,
                             bool& v6Read);

// One pass over every process's open descriptors: owners[i] becomes the id
// of the process holding the socket with inodes[i], or 0 when none does.
// Where several processes hold one socket, the one started first owns it
// (earliest start time; in the same tick an ancestor before its
// descendants, then the lowest id): the creator, when a child inherited it
// or a descriptor leaked. For the live /proc the kernel's walk
// is asked first, unless source is Scan; else the root's descriptor folders
// are scanned, every descriptor table of a process's threads with them.
// True when the kernel's walk answered.
// The walk asked is the process's own unless one is given. starts, when
// given, gets each owner's start time as the pass that named it saw it
// (SocketHolder's start), 0 where none owns; whole, where given, is false
// when the scan could not read the tree whole (a descriptor or a listing
// refused for want of resources, not a process that ended).
enum class OwnerSource { Any, Scan };
bool FindSocketOwners(const std::string& root, const std::vector<uint64_t>& inodes,
                      std::vector<uint32_t>& owners, OwnerSource source = OwnerSource::Any,
                      SocketWalk& walk = MachineSocketWalk(),
                      std::vector<uint64_t>* starts = nullptr, bool* whole = nullptr);

} // namespace ombrel::platform
