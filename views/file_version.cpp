#include "file_version.h"

#include <cstdio>
#include <cstring>

#include <winver.h>

#include <ombrel/owned.h>
#include <ombrel/text.h>

namespace {

constexpr size_t kVersionBlock = 8192; // resources of 1 to 8,191 bytes fit

// Copies a queried string whole when it fits, else cut to the buffer.
void CopyValue(const void* value, UINT length, char* buffer) {
    const char* text = static_cast<const char*>(value);
    size_t size = strnlen(text, length);
    ombrel::platform::CopyText(buffer, kFileStringCapacity, std::string_view(text, size));
}

bool QueryString(const void* block, DWORD translation, const char* name, char* buffer) {
    char path[64];
    std::snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", translation & 0xFFFFu,
                  translation >> 16, name);
    LPVOID value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block, path, &value, &length))
        return false;
    CopyValue(value, length, buffer);
    return true;
}

} // namespace

int GetFileVersionText(const char* path, char* buffer, int size) {
    char block[kVersionBlock];
    std::memset(block, 0, sizeof block);
    if (buffer == nullptr || size < 1)
        return 0;
    DWORD handle = 0;
    DWORD length = GetFileVersionInfoSizeA(path, &handle);
    if (length == 0 || length > kVersionBlock - 1)
        return 0;
    if (!GetFileVersionInfoA(path, 0, length, block))
        return 0;
    LPVOID value = nullptr;
    UINT valueLength = 0;
    // Fixed information shorter than its record is no fixed information.
    if (!VerQueryValueA(block, "\\", &value, &valueLength) ||
        valueLength < sizeof(VS_FIXEDFILEINFO))
        return 0;
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, value, sizeof fixed);
    std::memset(buffer, 0, static_cast<size_t>(size));
    std::snprintf(buffer, static_cast<size_t>(size), "%d.%d.%d.%d", HIWORD(fixed.dwFileVersionMS),
                  LOWORD(fixed.dwFileVersionMS), HIWORD(fixed.dwFileVersionLS),
                  LOWORD(fixed.dwFileVersionLS));
    return 1;
}

int GetFileStrings(const char* path, char* description, char* company) {
    DWORD handle = 0;
    DWORD length = GetFileVersionInfoSizeA(path, &handle);
    if (length == 0)
        return 0;
    ombrel::HeapBlock owned(HeapAlloc(GetProcessHeap(), 0, length));
    void* block = owned.get();
    if (block == nullptr)
        return 0;
    int found = 0;
    LPVOID value = nullptr;
    UINT valueLength = 0;
    // A translation value shorter than one entry is no translation.
    if (GetFileVersionInfoA(path, 0, length, block) &&
        VerQueryValueA(block, "\\VarFileInfo\\Translation", &value, &valueLength) &&
        valueLength >= sizeof(DWORD)) {
        DWORD translation;
        std::memcpy(&translation, value, sizeof translation);
        if (description != nullptr)
            QueryString(block, translation, "FileDescription", description);
        if (company != nullptr)
            QueryString(block, translation, "CompanyName", company);
        found = 1;
    }
    return found;
}
