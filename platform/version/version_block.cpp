#include "version_block.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace ombrel::platform {
namespace {

size_t Align4(size_t offset) {
    return (offset + 3) & ~size_t{3};
}

void PutWord(std::vector<uint8_t>& out, size_t at, size_t value) {
    out[at] = static_cast<uint8_t>(value & 0xFF);
    out[at + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

uint16_t GetWord(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

bool Serialize(const VersionNode& node, std::vector<uint8_t>& out) {
    out.resize(Align4(out.size()), 0);
    size_t start = out.size();
    out.resize(start + 6, 0);
    out.insert(out.end(), node.key.begin(), node.key.end());
    out.push_back(0);
    out.resize(Align4(out.size()), 0);
    size_t valueLength = 0;
    if (node.text && node.value.empty() && !node.children.empty()) {
        // A container (StringFileInfo, a string table) has no value.
    } else if (node.text) {
        out.insert(out.end(), node.value.begin(), node.value.end());
        out.push_back(0);
        valueLength = node.value.size() + 1;
    } else {
        out.insert(out.end(), node.binary.begin(), node.binary.end());
        valueLength = node.binary.size();
    }
    for (const VersionNode& child : node.children)
        if (!Serialize(child, out))
            return false;
    size_t length = out.size() - start;
    if (length > 0xFFFF || valueLength > 0xFFFF)
        return false;
    PutWord(out, start, length);
    PutWord(out, start + 2, valueLength);
    PutWord(out, start + 4, node.text ? 1 : 0);
    return true;
}

struct Span {
    const uint8_t* begin;
    size_t size;
};

// A node inside span, starting at offset; false when its header, key or
// value would not lie inside it.
struct Node {
    size_t length;
    std::string_view key;
    const uint8_t* value;
    size_t valueLength;
    size_t childrenStart; // from the node's start
};

bool ReadNode(Span span, size_t offset, Node& node) {
    if (offset > span.size || span.size - offset < 6)
        return false;
    const uint8_t* at = span.begin + offset;
    node.length = GetWord(at);
    size_t valueLength = GetWord(at + 2);
    if (node.length < 6 || node.length > span.size - offset)
        return false;
    const char* key = reinterpret_cast<const char*>(at + 6);
    const void* end = std::memchr(key, 0, node.length - 6);
    if (end == nullptr)
        return false;
    node.key = std::string_view(key, static_cast<size_t>(static_cast<const char*>(end) - key));
    // Alignment counts from the block's start, as the block was written.
    size_t blockOffset = static_cast<size_t>(at - span.begin) + 6 + node.key.size() + 1;
    size_t valueStart = Align4(blockOffset) - static_cast<size_t>(at - span.begin);
    if (valueStart > node.length || valueLength > node.length - valueStart)
        return false;
    node.value = at + valueStart;
    node.valueLength = valueLength;
    node.childrenStart = valueStart + valueLength;
    return true;
}

} // namespace

std::optional<std::vector<uint8_t>> SerializeVersionBlock(const VersionNode& root) {
    std::vector<uint8_t> out;
    if (!Serialize(root, out))
        return std::nullopt;
    return out;
}

bool QueryVersionBlock(const uint8_t* block, size_t size, std::string_view path,
                       const uint8_t*& value, size_t& valueLength) {
    if (block == nullptr)
        return false;
    Node node{};
    Span whole{block, size};
    if (!ReadNode(whole, 0, node))
        return false;
    size_t nodeStart = 0;
    while (!path.empty()) {
        while (!path.empty() && path.front() == '\\')
            path.remove_prefix(1);
        if (path.empty())
            break;
        size_t cut = path.find('\\');
        std::string_view wanted = path.substr(0, cut);
        path.remove_prefix(cut == std::string_view::npos ? path.size() : cut);

        // The children lie between the node's value and its end.
        bool found = false;
        size_t end = nodeStart + node.length;
        for (size_t child = Align4(nodeStart + node.childrenStart); child + 6 <= end;) {
            Node candidate{};
            if (!ReadNode(Span{block, end}, child, candidate))
                return false;
            if (candidate.key.size() == wanted.size() &&
                ::strncasecmp(candidate.key.data(), wanted.data(), wanted.size()) == 0) {
                node = candidate;
                nodeStart = child;
                found = true;
                break;
            }
            child = Align4(child + candidate.length);
        }
        if (!found)
            return false;
    }
    value = node.value;
    valueLength = node.valueLength;
    return true;
}

VersionNode MakeVersionRoot(const VS_FIXEDFILEINFO& fixed,
                            const std::vector<uint32_t>& translations,
                            const std::vector<std::pair<std::string, std::string>>& strings) {
    VersionNode root;
    root.key = "VS_VERSION_INFO";
    root.binary.resize(sizeof fixed);
    std::memcpy(root.binary.data(), &fixed, sizeof fixed);

    VersionNode stringInfo;
    stringInfo.key = "StringFileInfo";
    stringInfo.text = true;
    for (uint32_t translation : translations) {
        VersionNode table;
        char key[16];
        std::snprintf(key, sizeof key, "%04x%04x", translation & 0xFFFF, translation >> 16);
        table.key = key;
        table.text = true;
        for (const auto& [name, text] : strings) {
            VersionNode entry;
            entry.key = name;
            entry.text = true;
            entry.value = text;
            table.children.push_back(std::move(entry));
        }
        stringInfo.children.push_back(std::move(table));
    }
    root.children.push_back(std::move(stringInfo));

    VersionNode varInfo;
    varInfo.key = "VarFileInfo";
    varInfo.text = true;
    VersionNode var;
    var.key = "Translation";
    for (uint32_t translation : translations)
        for (int shift = 0; shift < 32; shift += 8)
            var.binary.push_back(static_cast<uint8_t>(translation >> shift));
    varInfo.children.push_back(std::move(var));
    root.children.push_back(std::move(varInfo));
    return root;
}

} // namespace ombrel::platform
