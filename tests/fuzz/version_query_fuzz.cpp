// Walks version blocks by fuzzed paths through VerQueryValueA: raw blocks
// whose root length is held to the bytes there are (as GetFileVersionInfoA
// does for a shortened copy), and well-formed blocks the fuzzer then
// corrupts, so the walk reaches deep nodes with lengths that lie.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>
#include <winver.h>

#include "platform/version/version_block.h"

using namespace ombrel::platform;

namespace {

void SetRootLength(std::vector<uint8_t>& block, size_t length) {
    block[0] = static_cast<uint8_t>(length & 0xFF);
    block[1] = static_cast<uint8_t>(length >> 8 & 0xFF);
}

void Query(const std::vector<uint8_t>& block, const std::string& path) {
    LPVOID value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), path.c_str(), &value, &length))
        return;
    size_t rootLength = block[0] | block[1] << 8;
    const auto* bytes = static_cast<const uint8_t*>(value);
    if (bytes < block.data() || bytes + length > block.data() + rootLength)
        std::abort();
    if (length > 0) {
        volatile uint8_t last = bytes[length - 1];
        (void)last;
    }
}

std::vector<uint8_t> BuiltBlock(FuzzedDataProvider& input, std::vector<std::string>& paths) {
    VS_FIXEDFILEINFO fixed{};
    fixed.dwSignature = input.ConsumeBool() ? VS_FFI_SIGNATURE : input.ConsumeIntegral<DWORD>();
    fixed.dwFileVersionMS = input.ConsumeIntegral<DWORD>();
    fixed.dwFileVersionLS = input.ConsumeIntegral<DWORD>();
    std::vector<uint32_t> translations(input.ConsumeIntegralInRange<size_t>(0, 3));
    for (uint32_t& translation : translations)
        translation = input.ConsumeIntegral<uint32_t>();
    std::vector<std::pair<std::string, std::string>> strings(
        input.ConsumeIntegralInRange<size_t>(0, 5));
    for (auto& [key, value] : strings) {
        key = input.ConsumeRandomLengthString(24);
        value = input.ConsumeRandomLengthString(600);
    }
    auto block = SerializeVersionBlock(MakeVersionRoot(fixed, translations, strings));
    if (!block)
        return {};
    for (uint32_t translation : translations) {
        char table[16];
        std::snprintf(table, sizeof table, "%04x%04x", translation & 0xFFFFu, translation >> 16);
        for (const auto& entry : strings)
            paths.push_back(std::string("\\StringFileInfo\\") + table + "\\" + entry.first);
    }
    // Lengths that lie: overwritten words and a root that claims less.
    for (size_t n = input.ConsumeIntegralInRange<size_t>(0, 4); n > 0 && !block->empty(); --n) {
        size_t at = input.ConsumeIntegralInRange<size_t>(0, block->size() - 1);
        (*block)[at] = input.ConsumeIntegral<uint8_t>();
    }
    if (input.ConsumeBool() && block->size() > 6)
        block->resize(input.ConsumeIntegralInRange<size_t>(6, block->size()));
    if (block->size() >= 6) {
        size_t claimed = (*block)[0] | (*block)[1] << 8;
        SetRootLength(*block, std::min(claimed, block->size()));
    }
    return *block;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    std::vector<std::string> paths = {"\\", "\\VarFileInfo\\Translation"};
    std::vector<uint8_t> block;
    if (input.ConsumeBool()) {
        paths.push_back(input.ConsumeRandomLengthString(200));
        block = BuiltBlock(input, paths);
    } else {
        paths.push_back(input.ConsumeRandomLengthString(200));
        block = input.ConsumeRemainingBytes<uint8_t>();
        if (block.size() < 2)
            return 0;
        size_t claimed = block[0] | block[1] << 8;
        SetRootLength(block, std::min(claimed, block.size()));
    }
    if (block.size() < 2)
        return 0;
    for (const std::string& path : paths)
        Query(block, path);
    return 0;
}
