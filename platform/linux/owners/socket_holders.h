// The processes that hold sockets: every socket descriptor of every
// process, from the kernel's walk or a scan of /proc, and the owner of each
// socket those give.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ombrel::platform {

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
    // An IPv4 or IPv6 socket's network namespace, where the walk tells it
    // (the scan does not: 0).
    uint32_t netns = 0;
};

// A TCP or UDP socket of another network namespace than the walker's, as
// the walk read it from the kernel's own socket: the fields a sock_diag
// dump from inside that namespace gives, in its byte orders.
struct WalkedSocket {
    uint64_t inode = 0;
    uint32_t netns = 0;
    bool tcp = false;
    bool v6 = false;
    uint8_t state = 0;
    uint16_t localPort = 0; // network byte order
    uint16_t remotePort = 0;
    uint32_t interface = 0;
    uint32_t uid = 0;
    uint8_t local[16] = {}; // an IPv4 address in the first four bytes
    uint8_t remote[16] = {};
    uint32_t requests = 0;  // a listener's handshakes under way
    uint32_t holderUid = 0; // the holding thread's effective user
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
// strays, where given, gets a few holders (up to four) of IPv4 or IPv6
// sockets the walk found whose namespace is none of known's (sorted), to
// each such namespace: one a process does not live in and no mount keeps,
// which the socket alone keeps. walked, where given, is a walk the caller
// read after every socket it asks of was read: its holders stand for a
// walk of their own.
bool FindSocketOwners(const std::string& root, const std::vector<uint64_t>& inodes,
                      std::vector<uint32_t>& owners, OwnerSource source = OwnerSource::Any,
                      SocketWalk& walk = MachineSocketWalk(),
                      std::vector<uint64_t>* starts = nullptr, bool* whole = nullptr,
                      const std::vector<uint32_t>* known = nullptr,
                      std::vector<SocketHolder>* strays = nullptr,
                      const std::vector<SocketHolder>* walked = nullptr);

} // namespace ombrel::platform
