// What every child the layer starts begins with.
#pragma once

#include <csignal>
#include <spawn.h>

namespace ombrel::platform {

// Default handling for every signal and an empty mask: the child starts
// with none of ours. The caller destroys the attributes.
inline void InitChildAttributes(posix_spawnattr_t& attributes) {
    posix_spawnattr_init(&attributes);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attributes, &all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
}

} // namespace ombrel::platform
