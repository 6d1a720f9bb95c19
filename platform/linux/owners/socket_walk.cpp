// The descriptor walk's loader: libbpf opens the compiled program, relocates
// the members it reads against the running kernel's type information, and
// hands it to the verifier once; each refresh then starts one pass of the
// attached iterator and reads its records.
#include "owners/socket_walk.h"

#include <algorithm>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "base/capabilities.h"
#include "base/fd.h"
#include "owners/socket_walk_record.h"
#include "socket_walk.skel.h"

namespace ombrel::platform {
namespace {

// The initial pid namespace's inode number.
constexpr ino_t kInitialPidNamespace = 0xEFFFFFFCU;

// Loading a tracing program takes CAP_BPF and CAP_PERFMON (or
// CAP_SYS_ADMIN). Asked at every walk: a process that gave them up keeps
// no walk it loaded before.
bool MayLoadTracingPrograms() {
    EffectiveCapabilities effective;
    bool admin = effective.Has(CAP_SYS_ADMIN);
    return (admin || effective.Has(CAP_BPF)) && (admin || effective.Has(CAP_PERFMON));
}

// The walk names processes by their ids in the initial pid namespace; the
// caller and its /proc must both be there for those to be the ids it shows.
bool InInitialPidNamespace() {
    struct stat ns {};
    char self[32] = {};
    return ::stat("/proc/self/ns/pid", &ns) == 0 && ns.st_ino == kInitialPidNamespace &&
           ::readlink("/proc/self", self, sizeof self - 1) > 0 &&
           std::string_view(self) == std::to_string(::getpid());
}

std::string ErrorText(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

// libbpf's warnings while a program loads, kept with its refusal; at any
// other time libbpf has nothing to say to this program's user.
std::mutex captureMutex;
std::string* capture = nullptr;

int Print(enum libbpf_print_level level, const char* format, va_list args) {
    if (level != LIBBPF_WARN || capture == nullptr)
        return 0;
    char line[1024];
    int length = std::vsnprintf(line, sizeof line, format, args);
    if (length > 0)
        capture->append(line, std::min(static_cast<size_t>(length), sizeof line - 1));
    return length;
}

// Failures that a later load may not repeat; the verifier's refusal, a
// missing iterator or a locked-down kernel are for the process's life.
bool MayPass(int error) {
    return error == ENOMEM || error == EAGAIN || error == EINTR || error == EBUSY ||
           error == EMFILE || error == ENFILE;
}

// The program writes its records whole and packed, 8-byte aligned.
static_assert(sizeof(ombrel_walk_record) == 40 && alignof(ombrel_walk_record) == 8);
static_assert(sizeof(ombrel_walk_socket) == 56);

} // namespace

// The generated skeleton, over the bytes this walk was made with: the
// process's own build of the program, or another (a test's) of the same
// source, whose maps and programs it names alike.
struct SocketWalk::Program {
    socket_walk* skeleton = nullptr;
    ~Program() { socket_walk__destroy(skeleton); }
};

SocketWalk::SocketWalk(std::string object) : object_(std::move(object)) {}

SocketWalk::~SocketWalk() = default;

bool SocketWalk::Load() {
    std::string warnings;
    std::lock_guard captureLock(captureMutex);
    capture = &warnings;
    libbpf_set_print(Print);
    struct CaptureEnd {
        ~CaptureEnd() { capture = nullptr; }
    } captureEnd;

    auto refuse = [&](std::string why, int error) {
        final_ = !MayPass(error);
        while (!warnings.empty() && warnings.back() == '\n')
            warnings.pop_back();
        if (!warnings.empty())
            why += "\n" + warnings; // its own lines, each "libbpf: ..."
        loadRefusal_ = std::move(why);
        return false;
    };
    auto program = std::make_unique<Program>();
    // What socket_walk__open does, but over object_'s bytes.
    program->skeleton = static_cast<socket_walk*>(std::calloc(1, sizeof(socket_walk)));
    if (program->skeleton == nullptr)
        return refuse(ErrorText("no memory for the walk program", ENOMEM), ENOMEM);
    socket_walk* walk = program->skeleton;
    if (int failed = socket_walk__create_skeleton(walk); failed != 0)
        return refuse(ErrorText("libbpf could not describe the walk program", -failed), -failed);
    walk->skeleton->data = const_cast<char*>(object_.data());
    walk->skeleton->data_sz = object_.size();
    if (int failed = bpf_object__open_skeleton(walk->skeleton, nullptr); failed != 0)
        return refuse(ErrorText("libbpf could not open the walk program", -failed), -failed);
    // libbpf fills it only where the load fails, through a second try with
    // the verifier's log asked for.
    std::string log(1 << 16, '\0');
    bpf_program__set_log_buf(walk->progs.ombrel_sockets, log.data(), log.size());
    if (int failed = socket_walk__load(walk); failed != 0) {
        int error = -failed;
        std::string why = ErrorText("the kernel refused the program", error);
        log.resize(std::strlen(log.c_str()));
        while (!log.empty() && log.back() == '\n')
            log.pop_back();
        if (!log.empty())
            why += "; the verifier's log:\n" + log;
        return refuse(std::move(why), error);
    }
    if (int failed = socket_walk__attach(walk); failed != 0)
        return refuse(ErrorText("the kernel refused to attach the iterator", -failed), -failed);
    program_ = std::move(program);
    loadRefusal_.clear();
    return true;
}

void SocketWalk::Prepare() {
    if (!MayLoadTracingPrograms() || !InInitialPidNamespace())
        return;
    std::lock_guard lock(mutex_);
    if (program_ == nullptr && !final_)
        Load();
}

namespace {

// Nanoseconds this process's time namespace adds to the boot clock
// (timens_offsets, Linux 5.6), which /proc adds to every start it gives;
// 0 in the machine's own time namespace or where the file is absent.
int64_t BootTimeOffset() {
    UniqueFd file(::open("/proc/self/timens_offsets", O_RDONLY | O_CLOEXEC));
    char text[256] = {};
    ssize_t got = file ? ::read(file.get(), text, sizeof text - 1) : -1;
    if (got <= 0)
        return 0;
    long long seconds = 0, nanoseconds = 0;
    for (const char* line = text; line != nullptr && *line != '\0';) {
        if (std::sscanf(line, "boottime %lld %lld", &seconds, &nanoseconds) == 2)
            return static_cast<int64_t>(seconds) * 1000000000 + nanoseconds;
        line = std::strchr(line, '\n');
        line = line != nullptr ? line + 1 : nullptr;
    }
    return 0;
}

// A socket as the walk told it, in the byte orders of a dump.
WalkedSocket Told(const ombrel_walk_record& record, const char* bytes) {
    ombrel_walk_socket told;
    std::memcpy(&told, bytes, sizeof told);
    WalkedSocket socket;
    socket.inode = record.inode;
    socket.netns = record.netns;
    socket.tcp = told.protocol == IPPROTO_TCP;
    socket.v6 = told.family == AF_INET6;
    socket.state = told.state;
    socket.localPort = htons(told.local_port);
    socket.remotePort = told.remote_port;
    socket.interface = told.interface;
    socket.uid = told.uid;
    std::memcpy(socket.local, told.local, sizeof socket.local);
    std::memcpy(socket.remote, told.remote, sizeof socket.remote);
    socket.requests = told.requests;
    socket.holderUid = told.holder_uid;
    return socket;
}

} // namespace

bool SocketWalk::Read(std::vector<SocketHolder>& holders, std::vector<WalkedSocket>* sockets,
                      uint32_t ownNetns) {
    holders.clear();
    if (sockets != nullptr)
        sockets->clear();
    refusal_.clear();
    descriptors_ = 0;
    auto refuse = [&](std::string why) {
        holders.clear();
        if (sockets != nullptr)
            sockets->clear();
        refusal_ = std::move(why);
        return false;
    };
    if (!MayLoadTracingPrograms())
        return refuse("the caller holds neither CAP_BPF with CAP_PERFMON nor CAP_SYS_ADMIN");
    if (!InInitialPidNamespace())
        return refuse("the caller or its /proc is not in the machine's own pid namespace");
    std::lock_guard lock(mutex_);
    if (program_ == nullptr && (final_ || !Load()))
        return refuse(loadRefusal_);

    // The program's globals, mapped where the kernel can map them.
    auto* globals = program_->skeleton->bss;
    if (globals != nullptr) {
        globals->descriptors = 0;
        globals->tell_sockets = sockets != nullptr;
        globals->own_netns = ownNetns;
    }
    // Each pass is an iterator of its own over the attached program.
    UniqueFd walk(bpf_iter_create(bpf_link__fd(program_->skeleton->links.ombrel_sockets)));
    if (!walk)
        return refuse(ErrorText("the kernel refused to start the walk", errno));

    // /proc/PID/stat gives the same start in clock ticks, whole ones, moved
    // by the reader's time namespace.
    const long ticks = ::sysconf(_SC_CLK_TCK);
    const uint64_t perTick = ticks > 0 ? 1000000000u / static_cast<uint64_t>(ticks) : 10000000u;
    const int64_t offset = BootTimeOffset();
    alignas(8) char buffer[1 << 16];
    size_t held = 0; // bytes of a record that a read cut, kept for the next
    // At most a million objects each: far more than any machine holds.
    constexpr int kMaxSilentStretches = 1 << 16;
    int stretches = 0;
    for (;;) {
        ssize_t got = ::read(walk.get(), buffer + held, sizeof buffer - held);
        if (got < 0 && errno == EINTR)
            continue;
        // The kernel ends a read that walked a million objects without a
        // record (a process with a million descriptors that are not
        // sockets) with EAGAIN; the next read goes on from there.
        if (got < 0 && errno == EAGAIN && ++stretches < kMaxSilentStretches)
            continue;
        if (got < 0)
            return refuse(ErrorText("the walk failed", errno));
        if (got == 0) {
            if (held != 0)
                return refuse("the walk ended inside a record");
            break;
        }
        size_t total = held + static_cast<size_t>(got);
        size_t whole = 0; // the bytes of whole records, a socket's with its holder's
        while (total - whole >= sizeof(ombrel_walk_record)) {
            ombrel_walk_record record;
            std::memcpy(&record, buffer + whole, sizeof record);
            size_t size = sizeof record + (record.socket != 0 ? sizeof(ombrel_walk_socket) : 0);
            if (total - whole < size)
                break;
            holders.push_back(SocketHolder{
                record.inode, record.pid, record.fd,
                static_cast<uint64_t>(static_cast<int64_t>(record.start) + offset) / perTick,
                record.ring != 0, record.tid, record.netns});
            if (record.socket != 0 && sockets != nullptr)
                sockets->push_back(Told(record, buffer + whole + sizeof record));
            whole += size;
        }
        held = total - whole;
        std::memmove(buffer, buffer + whole, held);
    }
    if (globals != nullptr)
        descriptors_ = globals->descriptors;
    return true;
}

SocketWalk& MachineSocketWalk() {
    static SocketWalk* walk = [] {
        size_t size = 0;
        const void* bytes = socket_walk__elf_bytes(&size);
        return new SocketWalk(std::string(static_cast<const char*>(bytes), size));
    }();
    return *walk;
}

void PrepareSocketHolders() {
    MachineSocketWalk().Prepare();
}

bool ReadSocketHolders(std::vector<SocketHolder>& holders) {
    return MachineSocketWalk().Read(holders);
}

const std::string& SocketHoldersRefusal() {
    return MachineSocketWalk().Refusal();
}

} // namespace ombrel::platform
