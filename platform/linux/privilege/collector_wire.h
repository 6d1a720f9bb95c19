// The administrator collector's conversation on its standard input and
// output: a hello once it runs, then one answer per request byte. Shared by
// the collector, which writes it, and the layer, which reads it.
#pragma once

#include <cstdint>

namespace ombrel::platform {

// Written once, before the first request is read: the collector runs with
// the rights it was started with (through pkexec, once the password is in).
inline constexpr char kCollectorHello[8] = {'o', 'm', 'b', 'r', 'e', 'l', 'H', '4'};
// The one request: a whole snapshot. Any other byte ends the collector.
inline constexpr char kCollectorRequest = 'S';

// An answer is a run of parts, each this header and then size bytes, written
// as the collector has them: working parts while it reads the machine, then
// rows parts (the four tables in order: TCP over IPv4, UDP over IPv4, TCP
// over IPv6, UDP over IPv6), namespaces parts (the network namespaces the
// rows live in, the collector's own first), owners parts (ascending by
// pid), at most one report, and the end. An answer it cannot give is one error part instead
// of the end. Nothing follows the end or the error.
enum CollectorPartKind : uint32_t {
    kPartWorking = 1, // no bytes: the collector works and is not stuck
    kPartRows,        // CollectorRowsHead, then CollectorRow records
    kPartOwners,      // CollectorOwner records, each followed by its name and path
    kPartReport,      // text: which source named the owners, and why
    kPartEnd,         // CollectorEnd
    kPartError,       // CollectorError
    kPartNamespaces,  // CollectorNamespace records, each followed by its kind and name
};

struct CollectorPart {
    uint32_t kind;
    uint32_t size; // at most kCollectorMaxPart
};

// A bound on each part, so that neither side holds more than one part's
// bytes beyond what they stand for.
inline constexpr uint32_t kCollectorMaxPart = 1u << 20;

struct CollectorRowsHead {
    uint32_t table;    // 0 to 3, never less than the last rows part's
    uint32_t reserved; // 0
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
    uint32_t netns;      // the inode of the network namespace it lives in
};

struct CollectorNamespace {
    uint32_t inode;
    uint32_t kindSize; // its kind and name, right after the record (none for
    uint32_t nameSize; // the collector's own)
    uint32_t unread;   // bit n: table n could not be read in it
};

struct CollectorOwner {
    uint32_t pid;
    uint32_t pathRead;  // 1: the path is the exe link's text; 0: it could not be read
    uint64_t startTime; // clock ticks after boot, as /proc/PID/stat gives it
    uint64_t device;    // the program file's device and inode, through the
    uint64_t inode;     // process (0 and 0 when unknown)
    uint32_t nameSize;  // the process list's name, right after the record
    uint32_t pathSize;  // the program path, right after the name
    uint32_t claimant;  // the namespace owner who may have chosen the program
                        // link; 0 for root's, 0xffffffff unknown
    uint32_t reserved;  // 0
};

struct CollectorEnd {
    uint64_t rows[4];    // rows per table, as the rows parts gave them
    uint64_t owners;     // owner records
    uint32_t tablesRead; // bit n: table n was read (a table not read has no rows)
    uint32_t reserved;   // 0
};

enum CollectorErrorReason : uint32_t {
    kOwnersNotWhole = 1, // the owner pass could not read /proc whole
};

struct CollectorError {
    uint32_t reason;
    uint32_t reserved; // 0
};

// Bounds the reader holds every record to.
inline constexpr uint32_t kCollectorMaxOwners = 1u << 22; // the kernel's largest pid_max
inline constexpr uint32_t kCollectorMaxName = 259;        // a process entry's name field
inline constexpr uint32_t kCollectorMaxPath = 4095;
inline constexpr uint32_t kCollectorMaxKind = 15;
inline constexpr uint32_t kCollectorMaxNamespaceName = 255;

static_assert(sizeof(CollectorPart) == 8 && sizeof(CollectorRowsHead) == 8 &&
              sizeof(CollectorRow) == 60 && sizeof(CollectorNamespace) == 16 &&
              sizeof(CollectorOwner) == 48 && sizeof(CollectorEnd) == 48 &&
              sizeof(CollectorError) == 8);

} // namespace ombrel::platform
