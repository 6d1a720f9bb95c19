// The kernel objects a process keeps for the descriptor walk it loaded
// (program, map, link, type information), as its descriptor links name
// them: nobody's files, reaching nothing of the caller's.
#pragma once

#include <string_view>

inline bool IsWalkObject(std::string_view target) {
    return target == "anon_inode:bpf-prog" || target == "anon_inode:bpf-map" ||
           target == "anon_inode:bpf_link" || target == "anon_inode:btf";
}
