// The owner helper's output: a header, then one record per socket a process
// holds. Shared by the helper, which writes it, and the layer, which reads
// it; nothing else is in the helper's output.
#pragma once

#include <cstdint>

namespace ombrel::platform {

struct OwnerRecordsHeader {
    char magic[8]; // kOwnerRecordsMagic
    uint64_t count;
};

struct OwnerRecord {
    uint64_t inode;     // the socket's inode
    uint64_t startTime; // the holder's start time, in clock ticks after boot
    uint32_t pid;       // the holder
    uint32_t reserved;  // 0
};

inline constexpr char kOwnerRecordsMagic[8] = {'o', 'm', 'b', 'r', 'e', 'l', 'O', '1'};

static_assert(sizeof(OwnerRecordsHeader) == 16 && sizeof(OwnerRecord) == 24);

} // namespace ombrel::platform
