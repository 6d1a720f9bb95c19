// The texts of IPv6 addresses and of endpoints.
#include <charconv>
#include <cstdio>
#include <cstring>

#include <iphlpapi.h>
#include <ombrel/conventions.h>

#include "port_table.h"

namespace {

// IF_NAMESIZE and a margin: an interface name is at most 15 bytes.
constexpr size_t kInterfaceName = 32;

} // namespace

// The shortest standard form: lower-case groups without leading zeros, the
// longest run of two or more zero groups (the first of equal runs) as "::",
// an IPv4-mapped address with its dotted quad; then "%" and the interface's
// name (its number where it has none) for a scope, a bare "%" for one the
// table did not name (no interface's name is empty); by number alone
// without nameScope (another compartment's interfaces are not the ones
// this program's names look up). At most 45 + 1 + 15
// bytes and the end, so 64 always hold it.
char* CPortTable::FormatIPv6(const UCHAR* address, DWORD scopeId, char* text, bool nameScope) {
    unsigned groups[8];
    for (int i = 0; i < 8; ++i)
        groups[i] = static_cast<unsigned>(address[2 * i] << 8 | address[2 * i + 1]);
    static const UCHAR kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    bool mapped = std::memcmp(address, kMappedPrefix, sizeof kMappedPrefix) == 0;
    int shown = mapped ? 6 : 8;

    int bestStart = -1, bestLength = 1;
    for (int i = 0; i < shown;) {
        int run = 0;
        while (i + run < shown && groups[i + run] == 0)
            ++run;
        if (run > bestLength) {
            bestStart = i;
            bestLength = run;
        }
        i += run > 0 ? run : 1;
    }

    char* at = text;
    char* const end = text + 46;
    for (int i = 0; i < shown; ++i) {
        if (i == bestStart) {
            *at++ = ':';
            if (i == 0)
                *at++ = ':';
            i += bestLength - 1;
            continue;
        }
        at = std::to_chars(at, end, groups[i], 16).ptr;
        if (i + 1 < shown || mapped)
            *at++ = ':';
    }
    if (mapped)
        at += std::snprintf(at, static_cast<size_t>(end - at), "%u.%u.%u.%u", address[12],
                            address[13], address[14], address[15]);
    *at = '\0';

    if (scopeId == ombrel::platform::kUnknownScopeId) {
        std::snprintf(at, 64 - static_cast<size_t>(at - text), "%%");
    } else if (scopeId != 0) {
        char name[kInterfaceName] = {};
        if (nameScope && if_indextoname(scopeId, name) != nullptr)
            std::snprintf(at, 64 - static_cast<size_t>(at - text), "%%%.15s", name);
        else
            std::snprintf(at, 64 - static_cast<size_t>(at - text), "%%%u", scopeId);
    }
    return text;
}

// Without the format machinery: a fill of tens of thousands of rows would
// otherwise spend most of its time in it.
char* EndpointText(char* text, size_t size, const char* address, int port, int32_t family) {
    char number[16];
    char* numberEnd = std::to_chars(number, number + sizeof number, port).ptr;
    bool v6 = family == static_cast<int32_t>(AF_INET6_FAMILY);
    char* at = text;
    char* const last = text + size - 1;
    auto put = [&](char c) {
        if (at < last)
            *at++ = c;
    };
    if (v6)
        put('[');
    for (size_t i = 0; i < sizeof PortEntry::localAddress && address[i] != '\0'; ++i)
        put(address[i]);
    if (v6)
        put(']');
    put(':');
    for (const char* digit = number; digit < numberEnd; ++digit)
        put(*digit);
    *at = '\0';
    return text;
}

std::string CompartmentSuffix(const PortEntry& entry) {
    std::string suffix;
    if (entry.compartmentName[0] != '\0') {
        suffix = " @";
        suffix.append(entry.compartmentName,
                      strnlen(entry.compartmentName, sizeof entry.compartmentName));
    }
    return suffix;
}
