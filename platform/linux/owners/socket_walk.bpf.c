// The kernel's walk of every descriptor table: for each descriptor whose
// file is a socket, one record {socket inode, thread group id, descriptor,
// the process's start, an inet socket's namespace}; for each io_uring instance's, one of its inode,
// marked, with the thread whose table holds it, so that the caller reads
// the ring's fixed files once.
// Only the members read are declared; libbpf relocates each against the
// running kernel's own type information as it loads the program, so no
// layout is built in for one kernel version.
#include <linux/types.h>

#include <bpf/bpf_helpers.h>

#include "socket_walk_record.h"

#define KERNEL_TYPE __attribute__((preserve_access_index))

struct super_block {
    unsigned long s_magic;
} KERNEL_TYPE;

struct inode {
#ifdef OMBREL_WALK_ASKS_FOR_A_MISSING_MEMBER
    // A test build: a member no kernel has, so that its load must fail.
    unsigned long i_ombrel_missing;
#else
    unsigned long i_ino;
#endif
    struct super_block* i_sb;
} KERNEL_TYPE;

struct qstr {
    const unsigned char* name;
} KERNEL_TYPE;

struct dentry {
    struct qstr d_name;
} KERNEL_TYPE;

struct path {
    struct dentry* dentry;
} KERNEL_TYPE;

struct file {
    struct path f_path;
    struct inode* f_inode;
    void* private_data; // a socket file's struct socket
} KERNEL_TYPE;

struct ns_common {
    unsigned int inum;
} KERNEL_TYPE;

struct net {
    struct ns_common ns;
} KERNEL_TYPE;

typedef struct {
    struct net* net;
} possible_net_t;

struct sock_common {
    unsigned short skc_family;
    possible_net_t skc_net;
} KERNEL_TYPE;

struct sock {
    struct sock_common __sk_common;
} KERNEL_TYPE;

struct socket {
    struct sock* sk;
} KERNEL_TYPE;

struct task_struct {
    int pid;
    int tgid;
    struct task_struct* group_leader;
    __u64 start_boottime; // nanoseconds after boot, suspend included
} KERNEL_TYPE;

struct seq_file;

struct bpf_iter_meta {
    struct seq_file* seq;
} KERNEL_TYPE;

struct bpf_iter__task_file {
    struct bpf_iter_meta* meta;
    struct task_struct* task;
    __u32 fd;
    struct file* file;
} KERNEL_TYPE;

#define SOCKFS_MAGIC 0x534F434B
#define AF_INET 2
#define AF_INET6 10

// The network namespace of an IPv4 or IPv6 socket's file, 0 for any other
// socket: the namespace it lives in may be one no process is in and no
// mount keeps, which the caller then enters through the socket itself.
static __u32 InetNamespace(struct file* file) {
    struct socket* socket = 0;
    struct sock* sk = 0;
    unsigned short family = 0;
    struct net* net = 0;
    unsigned int inum = 0;
    if (bpf_probe_read_kernel(&socket, sizeof socket, &file->private_data) != 0 || socket == 0 ||
        bpf_probe_read_kernel(&sk, sizeof sk, &socket->sk) != 0 || sk == 0 ||
        bpf_probe_read_kernel(&family, sizeof family, &sk->__sk_common.skc_family) != 0 ||
        (family != AF_INET && family != AF_INET6) ||
        bpf_probe_read_kernel(&net, sizeof net, &sk->__sk_common.skc_net.net) != 0 || net == 0 ||
        bpf_probe_read_kernel(&inum, sizeof inum, &net->ns.inum) != 0)
        return 0;
    return inum;
}
#define ANON_INODE_FS_MAGIC 0x09041934

// An anonymous inode's file named "[io_uring]", as io_uring names its own.
static int IsRing(struct file* file, struct inode* inode) {
    static const char kName[] = "[io_uring]";
    char name[sizeof kName];
    if (inode->i_sb->s_magic != ANON_INODE_FS_MAGIC)
        return 0;
    const unsigned char* text = file->f_path.dentry->d_name.name;
    if (text == 0 || bpf_probe_read_kernel_str(name, sizeof name, text) != sizeof name)
        return 0;
    for (int i = 0; i < (int)sizeof kName; ++i)
        if (name[i] != kName[i])
            return 0;
    return 1;
}

// Every descriptor the walk passed, sockets or not: what a walk costs is
// counted per descriptor.
__u64 descriptors = 0;

SEC("iter/task_file")
int ombrel_sockets(struct bpf_iter__task_file* ctx) {
    struct task_struct* task = ctx->task;
    struct file* file = ctx->file;
    if (task == 0 || file == 0)
        return 0;
    descriptors++;
    struct inode* inode = file->f_inode;
    struct task_struct* leader = task->group_leader;
    if (inode == 0 || inode->i_sb == 0)
        return 0;
    int ring = 0;
    if (inode->i_sb->s_magic != SOCKFS_MAGIC && !(ring = IsRing(file, inode)))
        return 0;
    struct ombrel_walk_record record = {
#ifdef OMBREL_WALK_ASKS_FOR_A_MISSING_MEMBER
        .inode = inode->i_ombrel_missing,
#else
        .inode = inode->i_ino,
#endif
        .pid = (__u32)task->tgid,
        .fd = ctx->fd,
        // The process's start as its /proc entry gives it, read as the
        // walk names it: the leader's, which outlives an exited leader.
        .start = leader != 0 ? leader->start_boottime : 0,
        .ring = (__u32)ring,
        .tid = (__u32)task->pid,
        .netns = ring ? 0 : InetNamespace(file),
    };
    bpf_seq_write(ctx->meta->seq, &record, sizeof record);
    return 0;
}

// The program is ours, under the project's licence; the kernel lends its
// sequence-writing helper to GPL-compatible programs only.
char LICENSE[] SEC("license") = "GPL";
