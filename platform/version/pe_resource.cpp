#include "pe_resource.h"

#include <algorithm>
#include <cstring>
#include <string>

#include <ombrel/text.h>

namespace ombrel::platform {
namespace {

constexpr uint16_t kPe32 = 0x10B;
constexpr uint16_t kPe32Plus = 0x20B;
constexpr uint32_t kResourceDirectory = 2;
constexpr uint32_t kVersionResourceType = 16; // RT_VERSION
constexpr uint32_t kSubdirectory = 0x80000000u;
constexpr size_t kMaxResource = 1u << 20; // larger than any version resource

template <typename T> bool Read(const ReadAt& read, uint64_t offset, T& value) {
    return read(offset, &value, sizeof value);
}

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

struct Section {
    uint32_t virtualAddress;
    uint32_t virtualSize;
    uint32_t rawSize;
    uint32_t rawOffset;
};

struct Image {
    std::vector<Section> sections;

    // The file offset of size bytes at rva, when they lie in one section's data.
    std::optional<uint64_t> Offset(uint32_t rva, uint32_t size) const {
        for (const Section& s : sections) {
            uint64_t extent = std::max(s.virtualSize, s.rawSize);
            if (rva < s.virtualAddress || rva - s.virtualAddress >= extent)
                continue;
            uint64_t inSection = rva - s.virtualAddress;
            if (inSection + size > s.rawSize)
                return std::nullopt;
            return uint64_t{s.rawOffset} + inSection;
        }
        return std::nullopt;
    }
};

// Real directories hold a few dozen entries; a hostile one may declare
// 131,070. Only this many are looked at, read in one go.
constexpr uint32_t kMaxEntries = 4096;

// The first entry of a resource directory whose id matches (any id when
// wanted is 0), as an offset from the resource section's start.
std::optional<uint32_t> FirstEntry(const ReadAt& read, uint64_t base, uint32_t directory,
                                   uint32_t limit, uint32_t wanted, bool wantSubdirectory) {
    uint8_t header[16];
    if (uint64_t{directory} + sizeof header > limit ||
        !read(base + directory, header, sizeof header))
        return std::nullopt;
    uint32_t count = std::min(uint32_t{Le16(header + 12)} + Le16(header + 14), kMaxEntries);
    uint64_t first = uint64_t{directory} + sizeof header;
    // Entries past the resource data are not there.
    count = static_cast<uint32_t>(std::min<uint64_t>(count, (limit - first) / 8));
    std::vector<uint8_t> entries(size_t{count} * 8);
    if (count == 0 || !read(base + first, entries.data(), entries.size()))
        return std::nullopt;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* entry = entries.data() + size_t{i} * 8;
        uint32_t name = Le32(entry);
        uint32_t target = Le32(entry + 4);
        if (wanted != 0 && ((name & kSubdirectory) != 0 || name != wanted))
            continue;
        if (((target & kSubdirectory) != 0) != wantSubdirectory)
            return std::nullopt;
        return target & ~kSubdirectory;
    }
    return std::nullopt;
}

// UTF-16 from at, at most units long, up to its terminator; a lone
// surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const uint8_t* at, size_t units, size_t& used) {
    std::string out;
    used = 0;
    while (used < units) {
        uint32_t unit = Le16(at + 2 * used++);
        if (unit == 0)
            break;
        if (unit >= 0xD800 && unit < 0xDC00 && used < units) {
            uint32_t low = Le16(at + 2 * used);
            if (low >= 0xDC00 && low < 0xE000) {
                ++used;
                AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                continue;
            }
        }
        AppendUtf8(out, (unit >= 0xD800 && unit < 0xE000) ? 0xFFFD : unit);
    }
    return out;
}

size_t Align4(size_t offset) {
    return (offset + 3) & ~size_t{3};
}

bool ParseNode(const uint8_t* data, size_t size, size_t offset, int depth, VersionNode& node,
               size_t& length) {
    if (depth > 8 || offset > size || size - offset < 6)
        return false;
    const uint8_t* at = data + offset;
    length = Le16(at);
    size_t valueLength = Le16(at + 2);
    uint16_t type = Le16(at + 4);
    if (length < 6 || length > size - offset)
        return false;
    size_t used = 0;
    node.key = Utf16ToUtf8(at + 6, (length - 6) / 2, used);
    size_t valueStart = Align4(offset + 6 + used * 2) - offset;
    if (valueStart > length)
        return false;
    node.text = type == 1;
    size_t valueBytes = node.text ? valueLength * 2 : valueLength;
    // Some writers give a text's length in bytes: keep what fits the node.
    // A binary value past its node is no value.
    if (node.text)
        valueBytes = std::min(valueBytes, length - valueStart);
    else if (valueBytes > length - valueStart)
        return false;
    if (node.text) {
        node.value = Utf16ToUtf8(at + valueStart, valueBytes / 2, used);
    } else {
        node.binary.assign(at + valueStart, at + valueStart + valueBytes);
    }
    for (size_t child = Align4(offset + valueStart + valueBytes); child + 6 <= offset + length;) {
        VersionNode next;
        size_t childLength = 0;
        if (!ParseNode(data, offset + length, child, depth + 1, next, childLength))
            return false;
        node.children.push_back(std::move(next));
        child = Align4(child + childLength);
    }
    return true;
}

} // namespace

std::optional<std::vector<uint8_t>> ReadPeVersionResource(const ReadAt& read, uint64_t fileSize) {
    uint8_t dos[64];
    if (fileSize < sizeof dos || !read(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z')
        return std::nullopt;
    uint64_t pe = Le32(dos + 0x3C);
    uint8_t headers[24];
    if (pe + sizeof headers > fileSize || !read(pe, headers, sizeof headers) ||
        std::memcmp(headers, "PE\0\0", 4) != 0)
        return std::nullopt;
    uint16_t sectionCount = Le16(headers + 6);
    uint16_t optionalSize = Le16(headers + 20);
    uint64_t optional = pe + 24;
    uint16_t magic = 0;
    if (!Read(read, optional, magic))
        return std::nullopt;
    uint64_t countAt = magic == kPe32 ? 92 : magic == kPe32Plus ? 108 : 0;
    if (countAt == 0 || countAt + 4 > optionalSize)
        return std::nullopt;
    uint8_t word[4];
    if (!read(optional + countAt, word, 4) || Le32(word) <= kResourceDirectory ||
        countAt + 4 + (kResourceDirectory + 1) * 8 > optionalSize)
        return std::nullopt;
    uint8_t directory[8];
    if (!read(optional + countAt + 4 + kResourceDirectory * 8, directory, 8))
        return std::nullopt;
    uint32_t resourceRva = Le32(directory);
    uint32_t resourceSize = Le32(directory + 4);
    if (resourceRva == 0 || resourceSize < 16)
        return std::nullopt;

    Image image;
    uint64_t sectionAt = optional + optionalSize;
    for (uint16_t i = 0; i < sectionCount; ++i) {
        uint8_t header[40];
        if (sectionAt + 40 * uint64_t{i + 1u} > fileSize || !read(sectionAt + 40u * i, header, 40))
            return std::nullopt;
        Section section{Le32(header + 12), Le32(header + 8), Le32(header + 16), Le32(header + 20)};
        if (uint64_t{section.rawOffset} + section.rawSize > fileSize)
            section.rawSize = static_cast<uint32_t>(
                fileSize > section.rawOffset ? fileSize - section.rawOffset : 0);
        image.sections.push_back(section);
    }
    auto base = image.Offset(resourceRva, 16);
    if (!base)
        return std::nullopt;
    // Directory offsets are relative to the resource section's start and
    // must stay inside the resource data the section holds.
    uint32_t limit = resourceSize;
    for (const Section& s : image.sections)
        if (resourceRva >= s.virtualAddress && resourceRva - s.virtualAddress < s.rawSize)
            limit = std::min<uint32_t>(limit, s.rawSize - (resourceRva - s.virtualAddress));

    // Type, then name, then language; the language entry names the data.
    auto names = FirstEntry(read, *base, 0, limit, kVersionResourceType, true);
    auto languages = names ? FirstEntry(read, *base, *names, limit, 0, true) : std::nullopt;
    auto data = languages ? FirstEntry(read, *base, *languages, limit, 0, false) : std::nullopt;
    uint8_t entry[16];
    if (!data || uint64_t{*data} + 16 > limit || !read(*base + *data, entry, sizeof entry))
        return std::nullopt;
    uint32_t dataRva = Le32(entry);
    uint32_t dataSize = Le32(entry + 4);
    if (dataSize == 0 || dataSize > kMaxResource)
        return std::nullopt;
    auto dataOffset = image.Offset(dataRva, dataSize);
    std::vector<uint8_t> resource(dataSize);
    if (!dataOffset || !read(*dataOffset, resource.data(), dataSize))
        return std::nullopt;
    return resource;
}

std::optional<VersionNode> ParseVersionResource(const uint8_t* data, size_t size) {
    VersionNode root;
    size_t length = 0;
    if (data == nullptr || !ParseNode(data, size, 0, 0, root, length))
        return std::nullopt;
    return root;
}

} // namespace ombrel::platform
