// A copy of a program that any user may run, with capabilities (the debug
// ones, CAP_DAC_READ_SEARCH and CAP_SYS_PTRACE, or any others) in its
// permitted set when asked, written as the file capability attribute, so no
// tool is needed.
#pragma once

#include <cstdint>
#include <fstream>
#include <linux/capability.h>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>

#include "temp_dir.h"

// The copy with the capabilities in set (capability n at bit n) in its
// permitted set; effective: raised at the start too, for a program that
// does not raise them itself. Empty where the file system holds no
// capability.
inline std::string CapableCopyWith(const TempDir& dir, const char* program, const char* name,
                                   uint64_t set, bool effective) {
    std::string copy = dir.path() + "/" + name;
    {
        std::ifstream in(program, std::ios::binary);
        std::ofstream out(copy, std::ios::binary);
        out << in.rdbuf();
    }
    ::chmod(dir.path().c_str(), 0755);
    ::chmod(copy.c_str(), 0755);
    if (set != 0) {
        vfs_cap_data caps{};
        caps.magic_etc = VFS_CAP_REVISION_2 | (effective ? VFS_CAP_FLAGS_EFFECTIVE : 0);
        caps.data[0].permitted = static_cast<__u32>(set);
        caps.data[1].permitted = static_cast<__u32>(set >> 32);
        if (::setxattr(copy.c_str(), "security.capability", &caps, XATTR_CAPS_SZ_2, 0) != 0)
            return "";
    }
    return copy;
}

// The debug capabilities (CAP_DAC_READ_SEARCH and CAP_SYS_PTRACE) when
// capabilities says so.
inline std::string CapableCopy(const TempDir& dir, const char* program, const char* name,
                               bool capabilities, bool effective) {
    uint64_t debug = uint64_t{1} << CAP_DAC_READ_SEARCH | uint64_t{1} << CAP_SYS_PTRACE;
    return CapableCopyWith(dir, program, name, capabilities ? debug : 0, effective);
}
