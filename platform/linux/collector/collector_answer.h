// The administrator collector's conversation on its standard input and
// output: a hello once it runs, then one answer per request byte. Shared by
// the collector, which writes it, and the layer, which reads it.
#pragma once

#include <cstdint>

namespace ombrel::platform {

// Written once, before the first request is read: the collector runs with
// the rights it was started with (through pkexec, once the password is in).
inline constexpr char kCollectorHello[8] = {'o', 'm', 'b', 'r', 'e', 'l', 'H', '1'};
// The one request: a whole snapshot. Any other byte ends the collector.
inline constexpr char kCollectorRequest = 'S';
inline constexpr char kCollectorAnswerMagic[8] = {'o', 'm', 'b', 'r', 'e', 'l', 'C', '2'};

// The answer: this header, then every row of the four tables (TCP over
// IPv4, UDP over IPv4, TCP over IPv6, UDP over IPv6, in that order), then
// one owner record per process that holds a row's socket, ascending by
// pid, then the owners' names and paths. Nothing follows.
struct CollectorAnswerHeader {
    char magic[8];       // kCollectorAnswerMagic
    uint64_t size;       // the whole answer, this header included
    uint32_t rows[4];    // rows per table
    uint32_t owners;     // owner records
    uint32_t textSize;   // bytes of names and paths
    uint32_t tablesRead; // bit n: table n was read (a table not read has no rows)
    uint32_t reserved;   // 0
};

struct CollectorRow {
    uint32_t localAddr;  // IPv4, network byte order
    uint32_t remoteAddr; // IPv4, network byte order
    uint16_t localPort;  // network byte order
    uint16_t remotePort; // network byte order
    uint8_t state;       // the kernel's TCP state number
    uint8_t reserved[3]; // 0
    uint32_t interface;  // IPv6: the interface bound to, 0 for none
    uint32_t pid;        // the owner, 0 for none
    uint8_t local6[16];  // IPv6, network byte order
    uint8_t remote6[16]; // IPv6, network byte order
};

struct CollectorOwner {
    uint32_t pid;
    uint32_t pathRead;   // 1: path holds the exe link's text; 0: it could not be read
    uint64_t startTime;  // clock ticks after boot, as /proc/PID/stat gives it
    uint64_t device;     // the program file's device and inode, through the
    uint64_t inode;      // process (0 and 0 when unknown)
    uint32_t nameOffset; // into the text, the process list's name
    uint32_t nameSize;
    uint32_t pathOffset; // into the text, the program path
    uint32_t pathSize;
    uint32_t claimant; // the namespace owner who may have chosen the program
                       // link; 0 for root's, 0xffffffff unknown
    uint32_t reserved; // 0
};

// Bounds the reader holds every answer to.
inline constexpr uint32_t kCollectorMaxRows = 1u << 23;
inline constexpr uint32_t kCollectorMaxOwners = 1u << 22; // the kernel's largest pid_max
inline constexpr uint32_t kCollectorMaxName = 259;        // a process entry's name field
inline constexpr uint32_t kCollectorMaxPath = 4095;
inline constexpr uint64_t kCollectorMaxAnswer = uint64_t{1} << 30; // bytes, the header included

static_assert(sizeof(CollectorAnswerHeader) == 48 && sizeof(CollectorRow) == 56 &&
              sizeof(CollectorOwner) == 56);

} // namespace ombrel::platform
