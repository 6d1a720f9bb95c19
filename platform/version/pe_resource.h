// The version resource of a PE executable or DLL (PE32 and PE32+), read
// from the file's bytes without loading it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "version_block.h"

namespace ombrel::platform {

// Reads size bytes at offset into buffer; false when they are not all there.
using ReadAt = std::function<bool(uint64_t offset, void* buffer, size_t size)>;

// The raw RT_VERSION resource (its first name, first language), or nullopt
// when the bytes are no PE image or hold none. Every offset and size read
// from the file is checked against the file before it is followed.
std::optional<std::vector<uint8_t>> ReadPeVersionResource(const ReadAt& read, uint64_t fileSize);

// The resource's VS_VERSIONINFO tree (UTF-16 keys and texts) as a tree of
// UTF-8 nodes; nullopt when its lengths do not hold together.
std::optional<VersionNode> ParseVersionResource(const uint8_t* data, size_t size);

} // namespace ombrel::platform
