// One record of the kernel's descriptor walk: written by the walk program
// (C for BPF), read by its loader. One layout for both.
#pragma once

#include <linux/types.h>

struct ombrel_walk_record {
    __u64 inode; // the socket's inode on sockfs, or the ring's
    __u32 pid;   // the thread group's id
    __u32 fd;
    __u64 start;  // the process's (its leader's) start_boottime, ns after boot
    __u32 ring;   // 1: an io_uring instance's descriptor, inode its ring's
    __u32 tid;    // the thread whose descriptor table holds it
    __u32 netns;  // an IPv4 or IPv6 socket's network namespace's inode; 0 for others
    __u32 socket; // 1: an ombrel_walk_socket of this socket follows
};

// What the kernel's own socket says of an IPv4 or IPv6 TCP or UDP socket of
// a namespace other than the walker's, as a sock_diag dump from inside it
// would give it: after its holder's record.
struct ombrel_walk_socket {
    __u8 local[16]; // network byte order; an IPv4 address in the first four
    __u8 remote[16];
    __u32 interface;   // the device it is bound to, 0 for none
    __u32 uid;         // its maker, in the machine's own user ids
    __u16 local_port;  // host byte order, as the kernel keeps it
    __u16 remote_port; // network byte order
    __u8 family;       // AF_INET or AF_INET6
    __u8 protocol;     // IPPROTO_TCP or IPPROTO_UDP
    __u8 state;        // the kernel's TCP state number
    __u8 reserved;
    __u32 requests;   // a listener's connections not yet made sockets (request sockets)
    __u32 holder_uid; // the holding thread's effective user, in the machine's own ids
};
