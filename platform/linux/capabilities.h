// The caller's effective capabilities.
#pragma once

#include <cstdint>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace ombrel::platform {

// As capget reports them when constructed; none where it fails.
class EffectiveCapabilities {
public:
    EffectiveCapabilities() {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
        if (::syscall(SYS_capget, &header, data) == 0)
            bits_ = data[0].effective | uint64_t{data[1].effective} << 32;
    }
    bool Has(int capability) const {
        return capability >= 0 && capability < 64 && (bits_ >> capability & 1) != 0;
    }

private:
    uint64_t bits_ = 0;
};

// True when no capability is held in any set (effective, permitted or
// inheritable; the ambient set lies within the permitted one), so none can
// be raised again; false too when the sets cannot be read.
inline bool HoldsNoCapability() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    for (const auto& word : data)
        if (word.effective != 0 || word.permitted != 0 || word.inheritable != 0)
            return false;
    return true;
}

} // namespace ombrel::platform
