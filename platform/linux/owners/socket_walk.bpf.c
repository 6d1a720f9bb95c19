// The kernel's walk of every descriptor table: for each descriptor whose
// file is a socket, one record {socket inode, thread group id, descriptor,
// the process's start, an inet socket's namespace}, and for a TCP or UDP
// socket of another namespace than the walker's, what the socket is (its
// addresses, ports, state); for each io_uring instance's, one of its inode,
// marked, with the thread whose table holds it, so that the caller reads
// the ring's fixed files once.
// Only the members read are declared; libbpf relocates each against the
// running kernel's own type information as it loads the program, so no
// layout is built in for one kernel version.
#include <linux/types.h>

#include <bpf/bpf_core_read.h>
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
    unsigned int f_mode; // fmode_t
    void* private_data;  // a socket file's struct socket
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

struct in6_addr {
    __u8 in6_u[16];
} KERNEL_TYPE;

typedef struct {
    unsigned int val;
} kuid_t;

// The kernel keeps the addresses and ports in unnamed unions; they are
// found by name through them.
struct sock_common {
    __u32 skc_daddr;
    __u32 skc_rcv_saddr;
    __u16 skc_dport;
    __u16 skc_num;
    unsigned short skc_family;
    unsigned char skc_state;
    int skc_bound_dev_if;
    possible_net_t skc_net;
    struct in6_addr skc_v6_daddr;
    struct in6_addr skc_v6_rcv_saddr;
} KERNEL_TYPE;

struct sock {
    struct sock_common __sk_common;
    kuid_t sk_uid;
    __u16 sk_protocol;
    __u16 sk_type;
} KERNEL_TYPE;

typedef struct {
    int counter;
} atomic_t;

struct request_sock_queue {
    atomic_t qlen;
} KERNEL_TYPE;

struct inet_connection_sock {
    struct request_sock_queue icsk_accept_queue;
} KERNEL_TYPE;

struct socket {
    struct sock* sk;
} KERNEL_TYPE;

struct cred {
    kuid_t uid;
    kuid_t euid;
} KERNEL_TYPE;

struct task_struct {
    int pid;
    int tgid;
    struct task_struct* group_leader;
    __u64 start_boottime; // nanoseconds after boot, suspend included
    const struct cred* real_cred;
    const struct cred* cred;
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
#define FMODE_READ 0x1
#define FMODE_WRITE 0x2
#define AF_INET 2
#define AF_INET6 10

#define IPPROTO_TCP 6
#define IPPROTO_UDP 17
#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define TCP_LISTEN 10

// Set before each walk: whether sockets are told, and the walker's own
// network namespace, whose sockets its dumps read (the others' are told).
__u32 tell_sockets = 0;
__u32 own_netns = 0;

// An IPv4 or IPv6 socket's file: its sock, and the inode of the network
// namespace it lives in (0 for any other socket). That namespace may be one
// no process is in and no mount keeps, which the caller then enters
// through the socket itself.
static __u32 InetNamespace(struct file* file, struct sock** inet) {
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
    *inet = sk;
    return inum;
}

// A TCP or UDP socket's addresses, ports, state and maker, each read as the
// kernel's sock_diag reads it; 0 where it is neither (a raw socket, UDP-Lite,
// another protocol over a stream) or a read fails.
static int ReadInetSocket(struct sock* sk, struct ombrel_walk_socket* out) {
    __u16 type = 0, protocol = 0, family = 0;
    if (bpf_probe_read_kernel(&type, sizeof type, &sk->sk_type) != 0 ||
        bpf_probe_read_kernel(&protocol, sizeof protocol, &sk->sk_protocol) != 0 ||
        bpf_probe_read_kernel(&family, sizeof family, &sk->__sk_common.skc_family) != 0)
        return 0;
    if (!((type == SOCK_STREAM && protocol == IPPROTO_TCP) ||
          (type == SOCK_DGRAM && protocol == IPPROTO_UDP)))
        return 0;
    out->family = (__u8)family;
    out->protocol = (__u8)protocol;
    struct sock_common* common = &sk->__sk_common;
    int failed =
        bpf_probe_read_kernel(&out->state, sizeof out->state, &common->skc_state) |
        bpf_probe_read_kernel(&out->local_port, sizeof out->local_port, &common->skc_num) |
        bpf_probe_read_kernel(&out->remote_port, sizeof out->remote_port, &common->skc_dport) |
        bpf_probe_read_kernel(&out->interface, sizeof out->interface, &common->skc_bound_dev_if) |
        bpf_probe_read_kernel(&out->uid, sizeof out->uid, &sk->sk_uid.val);
    // A kernel built without IPv6 has no such members, nor such sockets.
    if (family == AF_INET)
        failed |= bpf_probe_read_kernel(out->local, 4, &common->skc_rcv_saddr) |
                  bpf_probe_read_kernel(out->remote, 4, &common->skc_daddr);
    else if (family == AF_INET6 && bpf_core_field_exists(common->skc_v6_rcv_saddr))
        failed |= bpf_probe_read_kernel(out->local, 16, &common->skc_v6_rcv_saddr) |
                  bpf_probe_read_kernel(out->remote, 16, &common->skc_v6_daddr);
    else
        return 0;
    if (protocol == IPPROTO_TCP && out->state == TCP_LISTEN) {
        // A listener is an inet_connection_sock; its queue counts the
        // handshakes under way, whose request sockets no file holds.
        struct inet_connection_sock* listener = (struct inet_connection_sock*)sk;
        int queued = 0;
        failed |= bpf_probe_read_kernel(&queued, sizeof queued,
                                        &listener->icsk_accept_queue.qlen.counter);
        out->requests = queued > 0 ? (__u32)queued : 0;
    }
    return failed == 0;
}
// The first of a thread's user ids that is not root's, 0 where all are,
// and all ones where they cannot be read.
static __u32 HolderUser(struct task_struct* task) {
    const struct cred* real = 0;
    const struct cred* acting = 0;
    __u32 ids[3] = {};
    if (bpf_probe_read_kernel(&real, sizeof real, &task->real_cred) != 0 || real == 0 ||
        bpf_probe_read_kernel(&acting, sizeof acting, &task->cred) != 0 || acting == 0 ||
        bpf_probe_read_kernel(&ids[0], sizeof ids[0], &real->uid.val) != 0 ||
        bpf_probe_read_kernel(&ids[1], sizeof ids[1], &real->euid.val) != 0 ||
        bpf_probe_read_kernel(&ids[2], sizeof ids[2], &acting->euid.val) != 0)
        return 0xFFFFFFFF;
    return ids[0] != 0 ? ids[0] : ids[1] != 0 ? ids[1] : ids[2];
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
    // A file opened for neither reading nor writing (O_PATH: a scan's look
    // through /proc at another process's ring) keeps nothing alive: no
    // holding, however old its holder.
    if ((file->f_mode & (FMODE_READ | FMODE_WRITE)) == 0)
        return 0;
    struct inode* inode = file->f_inode;
    struct task_struct* leader = task->group_leader;
    if (inode == 0 || inode->i_sb == 0)
        return 0;
    int ring = 0;
    if (inode->i_sb->s_magic != SOCKFS_MAGIC && !(ring = IsRing(file, inode)))
        return 0;
    struct sock* sk = 0;
    __u32 netns = ring ? 0 : InetNamespace(file, &sk);
    struct ombrel_walk_socket socket = {};
    int told = tell_sockets && netns != 0 && netns != own_netns && ReadInetSocket(sk, &socket);
    // Who holds it: only a socket nobody but root holds is one no user can
    // have hashed just for the walk. Root is a thread whose real and
    // effective ids (as others see it, and as it acts) are all root's: a
    // set-user-id program its user runs, or a thread acting for a user, is
    // not.
    if (told)
        socket.holder_uid = HolderUser(task);
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
        .netns = netns,
        .socket = (__u32)told,
    };
    // Written as one, so that a record and its socket never part.
    if (told) {
        struct {
            struct ombrel_walk_record record;
            struct ombrel_walk_socket socket;
        } both = {record, socket};
        bpf_seq_write(ctx->meta->seq, &both, sizeof both);
    } else {
        bpf_seq_write(ctx->meta->seq, &record, sizeof record);
    }
    return 0;
}

// The program is ours, under the project's licence; the kernel lends its
// sequence-writing helper to GPL-compatible programs only.
char LICENSE[] SEC("license") = "GPL";
