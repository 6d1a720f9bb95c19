// The caller's capability sets: the one reader and writer of them for the
// layer, the window's start and the owner helper.
#pragma once

#include <cstdint>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace ombrel::platform {

// Each set as 64 bits, capability n at bit n.
struct CapabilitySets {
    uint64_t effective = 0;
    uint64_t permitted = 0;
    uint64_t inheritable = 0;

    static bool Holds(uint64_t set, int capability) {
        return capability >= 0 && capability < 64 && (set >> capability & 1) != 0;
    }
    bool Effective(int capability) const { return Holds(effective, capability); }
    bool Permitted(int capability) const { return Holds(permitted, capability); }
    void SetEffective(int capability, bool on) {
        if (capability < 0 || capability >= 64)
            return;
        uint64_t bit = uint64_t{1} << capability;
        effective = on ? effective | bit : effective & ~bit;
    }
    // None in any set (the ambient set lies within the permitted one), so
    // none can be raised again.
    bool Empty() const { return (effective | permitted | inheritable) == 0; }
};

// As capget reports them; false, with all empty, where it fails.
inline bool ReadCapabilities(CapabilitySets& sets) {
    sets = {};
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    auto join = [&](__u32 __user_cap_data_struct::*set) {
        return data[0].*set | uint64_t{data[1].*set} << 32;
    };
    sets.effective = join(&__user_cap_data_struct::effective);
    sets.permitted = join(&__user_cap_data_struct::permitted);
    sets.inheritable = join(&__user_cap_data_struct::inheritable);
    return true;
}

// Sets this thread's sets through capset; false where the kernel refuses.
inline bool WriteCapabilities(const CapabilitySets& sets) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    for (int word = 0; word < 2; ++word) {
        data[word].effective = static_cast<__u32>(sets.effective >> (32 * word));
        data[word].permitted = static_cast<__u32>(sets.permitted >> (32 * word));
        data[word].inheritable = static_cast<__u32>(sets.inheritable >> (32 * word));
    }
    return ::syscall(SYS_capset, &header, data) == 0;
}

// The effective set as read when constructed; none where it cannot be read.
class EffectiveCapabilities {
public:
    EffectiveCapabilities() { ReadCapabilities(sets_); }
    bool Has(int capability) const { return sets_.Effective(capability); }

private:
    CapabilitySets sets_;
};

// True when no capability is held in any set; false too when the sets
// cannot be read.
inline bool HoldsNoCapability() {
    CapabilitySets sets;
    return ReadCapabilities(sets) && sets.Empty();
}

} // namespace ombrel::platform
