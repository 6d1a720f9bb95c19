// One endpoint of the snapshot and its owning process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <iphlpapi.h>
#include <windows.h>

#include <ombrel/program_file.h>

// A plain fixed-size record, taken zero-filled from the process heap, so a
// text that is not written is empty and a number that is not written is 0.
struct PortEntry {
    int32_t key;            // position among all entries of the snapshot; list rows carry it
    int32_t protocol;       // 0 TCP, 1 UDP (the filter values)
    char localAddress[64];  // dotted quad, or IPv6 text with its scope ("fe80::1%eth0")
    int32_t localPort;      // host order
    char remoteAddress[64]; // as the local one; "0.0.0.0" or "::" for UDP
    int32_t remotePort;     // host order; 0 for UDP
    char state[32];         // display text of the TCP state; empty for UDP
    int32_t processId;
    char processPath[MAX_PATH]; // main-module path, else "[name]" of the process, else empty
    HICON smallIcon;            // owned by the entry; none when the shell gave none
    int32_t family;             // AF_INET_FAMILY or AF_INET6_FAMILY
    // The file the process ran at the refresh, by identity: the icon and the
    // details are read from that file only. All 0 where no path was read.
    ombrel::platform::ProgramFile programFile;
    // The network compartment (namespace) the endpoint lives in, and its
    // name where it is not the program's own (empty for the program's own).
    NET_IF_COMPARTMENT_ID compartment;
    char compartmentName[64];
};

// "%s:%d" for an IPv4 entry, "[%s]:%d" for an IPv6 one, cut to fit size
// (at least 1) and always ended.
char* EndpointText(char* text, size_t size, const char* address, int port, int32_t family);

// What follows a text of the entry (its local endpoint, its program) where
// it lives in another compartment than the program's own: " @name"; else
// nothing.
std::string CompartmentSuffix(const PortEntry& entry);
