// Builds small PE images with a version resource, as a resource compiler
// would lay them out, for the version readers to read.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace pe_builder {

struct Node {
    std::string key;
    bool text = false;
    std::u16string value;        // text value
    std::vector<uint8_t> binary; // binary value
    std::vector<Node> children;
    int valueLengthOverride = -1; // to forge a wrong wValueLength
};

inline Node Binary(std::string key, std::vector<uint8_t> value) {
    Node node;
    node.key = std::move(key);
    node.binary = std::move(value);
    return node;
}
inline Node Text(std::string key, std::u16string value, std::vector<Node> children = {}) {
    Node node;
    node.key = std::move(key);
    node.text = true;
    node.value = std::move(value);
    node.children = std::move(children);
    return node;
}

inline void Put16(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    Put16(out, at, v & 0xFFFF);
    Put16(out, at + 2, v >> 16);
}
inline void Pad4(std::vector<uint8_t>& out) {
    out.resize((out.size() + 3) & ~size_t{3}, 0);
}

inline std::u16string U16(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

// The UTF-16 VS_VERSIONINFO layout of the platform.
inline void Write(const Node& node, std::vector<uint8_t>& out) {
    Pad4(out);
    size_t start = out.size();
    out.resize(start + 6, 0);
    for (char16_t c : U16(node.key)) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    Pad4(out);
    uint32_t valueLength = 0;
    if (node.text && !(node.value.empty() && !node.children.empty())) {
        for (char16_t c : node.value) {
            out.push_back(static_cast<uint8_t>(c));
            out.push_back(static_cast<uint8_t>(c >> 8));
        }
        out.push_back(0);
        out.push_back(0);
        valueLength = static_cast<uint32_t>(node.value.size() + 1);
    } else if (!node.text) {
        out.insert(out.end(), node.binary.begin(), node.binary.end());
        valueLength = static_cast<uint32_t>(node.binary.size());
    }
    for (const Node& child : node.children)
        Write(child, out);
    Put16(out, start, static_cast<uint32_t>(out.size() - start));
    Put16(out, start + 2,
          node.valueLengthOverride >= 0 ? static_cast<uint32_t>(node.valueLengthOverride)
                                        : valueLength);
    Put16(out, start + 4, node.text ? 1 : 0);
}

inline std::vector<uint8_t> Fixed(uint32_t fileMS, uint32_t fileLS, uint32_t productMS,
                                  uint32_t productLS) {
    std::vector<uint8_t> fixed(52, 0);
    Put32(fixed, 0, 0xFEEF04BDu);
    Put32(fixed, 4, 0x00010000u);
    Put32(fixed, 8, fileMS);
    Put32(fixed, 12, fileLS);
    Put32(fixed, 16, productMS);
    Put32(fixed, 20, productLS);
    return fixed;
}

struct Table {
    std::string translation; // "040904b0"
    std::vector<std::pair<std::string, std::u16string>> strings;
};

// VarFileInfo first, StringFileInfo last, so the last string's length
// moves the block's size one byte per character.
inline Node Version(std::vector<uint8_t> fixed, std::vector<uint32_t> translations,
                    std::vector<Table> tables) {
    Node root = Binary("VS_VERSION_INFO", std::move(fixed));
    if (!translations.empty()) {
        Node var = Binary("Translation", {});
        for (uint32_t t : translations)
            for (int shift = 0; shift < 32; shift += 8)
                var.binary.push_back(static_cast<uint8_t>(t >> shift));
        root.children.push_back(Text("VarFileInfo", u"", {var}));
    }
    Node info = Text("StringFileInfo", u"");
    for (const Table& table : tables) {
        Node t = Text(table.translation, u"");
        for (const auto& [name, value] : table.strings)
            t.children.push_back(Text(name, value));
        info.children.push_back(t);
    }
    if (!tables.empty())
        root.children.push_back(info);
    return root;
}

// A PE32 (or PE32+) image of one .rsrc section holding the resource.
inline std::vector<uint8_t> Image(const std::vector<uint8_t>& resource, bool plus) {
    const uint32_t optionalSize = plus ? 240 : 224;
    const uint32_t sectionHeader = 0x40 + 24 + optionalSize;
    const uint32_t rawOffset = 0x200;
    const uint32_t rva = 0x1000;
    std::vector<uint8_t> rsrc(0x58, 0);
    // root -> type 16 -> name 1 -> language 0x409 -> data entry
    Put16(rsrc, 14, 1);
    Put32(rsrc, 16, 16);
    Put32(rsrc, 20, 0x80000000u | 0x18);
    Put16(rsrc, 0x18 + 14, 1);
    Put32(rsrc, 0x18 + 16, 1);
    Put32(rsrc, 0x18 + 20, 0x80000000u | 0x30);
    Put16(rsrc, 0x30 + 14, 1);
    Put32(rsrc, 0x30 + 16, 0x409);
    Put32(rsrc, 0x30 + 20, 0x48);
    Put32(rsrc, 0x48, rva + 0x58);
    Put32(rsrc, 0x48 + 4, static_cast<uint32_t>(resource.size()));
    rsrc.insert(rsrc.end(), resource.begin(), resource.end());

    std::vector<uint8_t> image(rawOffset, 0);
    image[0] = 'M';
    image[1] = 'Z';
    Put32(image, 0x3C, 0x40);
    std::memcpy(&image[0x40], "PE\0\0", 4);
    Put16(image, 0x44, plus ? 0x8664 : 0x14C);
    Put16(image, 0x46, 1);
    Put16(image, 0x54, optionalSize);
    size_t optional = 0x58;
    Put16(image, optional, plus ? 0x20B : 0x10B);
    size_t count = optional + (plus ? 108 : 92);
    Put32(image, count, 16);
    Put32(image, count + 4 + 2 * 8, rva);
    Put32(image, count + 4 + 2 * 8 + 4, static_cast<uint32_t>(rsrc.size()));
    std::memcpy(&image[sectionHeader], ".rsrc\0\0\0", 8);
    Put32(image, sectionHeader + 8, static_cast<uint32_t>(rsrc.size()));
    Put32(image, sectionHeader + 12, rva);
    Put32(image, sectionHeader + 16, static_cast<uint32_t>(rsrc.size()));
    Put32(image, sectionHeader + 20, rawOffset);
    image.insert(image.end(), rsrc.begin(), rsrc.end());
    return image;
}

inline std::vector<uint8_t> Image(const Node& root, bool plus = false) {
    std::vector<uint8_t> resource;
    Write(root, resource);
    return Image(resource, plus);
}

inline void Save(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

} // namespace pe_builder
