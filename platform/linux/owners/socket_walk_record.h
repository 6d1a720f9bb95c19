// One record of the kernel's descriptor walk: written by the walk program
// (C for BPF), read by its loader. One layout for both.
#pragma once

#include <linux/types.h>

struct ombrel_walk_record {
    __u64 inode; // the socket's inode on sockfs, or the ring's
    __u32 pid;   // the thread group's id
    __u32 fd;
    __u64 start; // the process's (its leader's) start_boottime, ns after boot
    __u32 ring;  // 1: an io_uring instance's descriptor, inode its ring's
    __u32 tid;   // the thread whose descriptor table holds it
    __u32 netns; // an IPv4 or IPv6 socket's network namespace's inode; 0 for others
    __u32 reserved;
};
