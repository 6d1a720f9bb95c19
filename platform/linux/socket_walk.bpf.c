// The kernel's walk of every descriptor table: for each descriptor whose
// file is a socket, one record {socket inode, thread group id, descriptor,
// the process's start}.
// Only the members read are declared; libbpf relocates each against the
// running kernel's own type information as it loads the program, so no
// layout is built in for one kernel version.
#include <linux/types.h>

#include <bpf/bpf_helpers.h>

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

struct file {
    struct inode* f_inode;
} KERNEL_TYPE;

struct task_struct {
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

struct record {
    __u64 inode;
    __u32 pid;
    __u32 fd;
    __u64 start; // the process's (its leader's) start_boottime
};

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
    if (inode == 0 || inode->i_sb == 0 || inode->i_sb->s_magic != SOCKFS_MAGIC)
        return 0;
    struct record record = {
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
    };
    bpf_seq_write(ctx->meta->seq, &record, sizeof record);
    return 0;
}

// The program is ours, under the project's licence; the kernel lends its
// sequence-writing helper to GPL-compatible programs only.
char LICENSE[] SEC("license") = "GPL";
