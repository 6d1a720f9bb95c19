// Feeds arbitrary bytes to the layer's reader of the owner helper's output
// (the helper may be replaced, or cut short), then joins what it accepted
// to a few sockets.
#include <cstdint>
#include <vector>

#include "platform/linux/owners/owner_helper.h"

using namespace ombrel::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<OwnerRecord> records;
    if (!ParseOwnerRecords(reinterpret_cast<const char*>(data), size, records))
        return 0;
    std::vector<uint64_t> inodes(4);
    for (size_t i = 0; i < inodes.size() && i < records.size(); ++i)
        inodes[i] = records[i].inode;
    std::vector<uint32_t> owners;
    JoinOwnerRecords(records, inodes, owners);
    return 0;
}
