// What the conformance tests fill every output and the last error with
// before a call, so that whatever the call did not write shows.
#pragma once

#include <cstring>

#include <windows.h>

constexpr DWORD kSentinel = 0xdeadbeef;

// A record with every byte 0xEF, and the last error set to the sentinel.
template <typename Record> void Fill(Record& record) {
    std::memset(&record, 0xEF, sizeof record);
    SetLastError(kSentinel);
}
