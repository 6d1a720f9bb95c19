// Version information as a tree of named values, and the block the version
// services hand out: that tree with narrow (UTF-8) keys and texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <winver.h>

namespace ombrel::platform {

struct VersionNode {
    std::string key;             // UTF-8
    bool text = false;           // a text value rather than binary
    std::vector<uint8_t> binary; // binary value
    std::string value;           // text value, UTF-8, without its terminator
    std::vector<VersionNode> children;
};

// The block: every node is WORD wLength, WORD wValueLength (bytes; a text's
// includes its terminator), WORD wType (1 text, 0 binary), the key and its
// terminator, padding to 4, the value, padding to 4, then the children;
// offsets are aligned from the block's start. nullopt when it would not fit
// the 16-bit lengths.
std::optional<std::vector<uint8_t>> SerializeVersionBlock(const VersionNode& root);

// Walks a block by a path such as "\\StringFileInfo\\040904b0\\CompanyName";
// keys compare without case and "\\" is the root. Every length is checked
// against the node around it and the block's size, so a block whose lengths
// point past its end yields nothing rather than a read past it.
bool QueryVersionBlock(const uint8_t* block, size_t size, std::string_view path,
                       const uint8_t*& value, size_t& valueLength);

// The root node of the usual shape: "VS_VERSION_INFO" with the fixed file
// information, one string table per translation, and the translation list.
VersionNode MakeVersionRoot(const VS_FIXEDFILEINFO& fixed,
                            const std::vector<uint32_t>& translations,
                            const std::vector<std::pair<std::string, std::string>>& strings);

} // namespace ombrel::platform
