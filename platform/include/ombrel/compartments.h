// Which network compartments there are: the platform names no service
// that lists them for a program, so the layer has its own. Here they are
// the machine's network namespaces.
#pragma once

#include <iphlpapi.h>
#include <windows.h>

namespace ombrel::platform {

struct NetworkCompartment {
    NET_IF_COMPARTMENT_ID id; // as SetCurrentThreadCompartmentId takes it
    // What the machine calls it and what gave the name ("netns", "machine",
    // "docker", "podman", "lxc", "flatpak", or "inode" where nothing does);
    // both empty for the program's own.
    char kind[16];
    char name[MAX_PATH];
};

} // namespace ombrel::platform

// Every compartment the caller can read, the program's own first, then the
// others by name, into compartments (*count of them). Where *count is too
// few, ERROR_INSUFFICIENT_BUFFER with the count needed. Within a refresh
// scope, those whose tables the refresh reads.
DWORD WINAPI GetNetworkCompartments(ombrel::platform::NetworkCompartment* compartments,
                                    PDWORD count);
