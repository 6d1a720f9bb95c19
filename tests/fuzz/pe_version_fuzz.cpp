// Feeds arbitrary bytes to the PE version-resource reader, the resource
// parser and the block walk.
#include <cstdint>
#include <cstring>

#include "platform/version/pe_resource.h"
#include "platform/version/version_block.h"

using namespace ombrel::platform;

namespace {

const char* const kPaths[] = {"\\", "\\VarFileInfo\\Translation",
                              "\\StringFileInfo\\040904b0\\FileDescription",
                              "\\StringFileInfo\\040904b0\\CompanyName", "\\\\x\\\\"};

void Walk(const uint8_t* block, size_t size) {
    for (const char* path : kPaths) {
        const uint8_t* value = nullptr;
        size_t length = 0;
        if (QueryVersionBlock(block, size, path, value, length) && length > 0) {
            // Touch both ends of what the walk promised lies inside.
            volatile uint8_t first = value[0];
            volatile uint8_t last = value[length - 1];
            (void)first;
            (void)last;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReadAt read = [&](uint64_t offset, void* buffer, size_t bytes) {
        if (offset > size || size - offset < bytes)
            return false;
        std::memcpy(buffer, data + offset, bytes);
        return true;
    };
    if (auto resource = ReadPeVersionResource(read, size))
        if (auto tree = ParseVersionResource(resource->data(), resource->size()))
            if (auto block = SerializeVersionBlock(*tree))
                Walk(block->data(), block->size());
    if (auto tree = ParseVersionResource(data, size))
        if (auto block = SerializeVersionBlock(*tree))
            Walk(block->data(), block->size());
    Walk(data, size);
    return 0;
}
