// The owner helper's output: a header, then one record per socket or
// io_uring instance a process holds, and per socket such a ring holds. Shared by the helper, which
// writes it, and the layer, which reads it; nothing else is in the helper's output.
#pragma once

#include <cstdint>

namespace ombrel::platform {

struct OwnerRecordsHeader {
    char magic[8]; // kOwnerRecordsMagic
    uint64_t count;
};

// What a record says. A process that holds an io_uring instance holds the
// sockets among its fixed files: the ring's holders and its sockets are
// told apart, so that a ring many processes hold is told of once.
enum OwnerRecordKind : uint32_t {
    kHoldsSocket = 0, // pid holds the socket inode
    kHoldsRing = 1,   // pid holds the io_uring instance whose inode is inode
    kInRing = 2,      // the socket inode is a fixed file of the ring startTime names
};

struct OwnerRecord {
    uint64_t inode;     // the socket's inode (kHoldsRing: the ring's)
    uint64_t startTime; // the holder's start time, in clock ticks after boot (kInRing: the ring)
    uint32_t pid;       // the holder (kInRing: 0)
    uint32_t kind;      // OwnerRecordKind
};

inline constexpr char kOwnerRecordsMagic[8] = {'o', 'm', 'b', 'r', 'e', 'l', 'O', '2'};

static_assert(sizeof(OwnerRecordsHeader) == 16 && sizeof(OwnerRecord) == 24);

} // namespace ombrel::platform
