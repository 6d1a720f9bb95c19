// Every process's socket descriptors in one pass: a small task-file
// iterator program walks each descriptor table inside the kernel and writes
// one record per socket, where a /proc scan pays a path lookup and a
// readlink for every descriptor. The layouts it reads come from the
// running kernel's own type information, so nothing is built in for one
// kernel version.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <linux/bpf.h>
#include <linux/btf.h>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

#include "capabilities.h"
#include "fd.h"
#include "inet_sockets.h"

namespace ombrel::platform {
namespace {

constexpr uint64_t kSockfsMagic = 0x534F434B;
// The initial pid namespace's inode number.
constexpr ino_t kInitialPidNamespace = 0xEFFFFFFCU;

struct Field {
    uint32_t offset = 0; // bytes
    uint32_t size = 0;   // bytes: 2, 4 or 8
};

// Where the program reads: the byte offsets and sizes of the members it
// follows, and the iterator's type id to attach to.
struct Layout {
    uint32_t iteratorId = 0;
    Field fileInode, inodeIno, inodeSb, superMagic, taskTgid, metaSeq;
};

// The kernel's BTF: a header, then the type section and the string section.
class Btf {
public:
    explicit Btf(std::string_view data) : data_(data) {}

    bool Index() {
        btf_header header{};
        if (data_.size() < sizeof header)
            return false;
        std::memcpy(&header, data_.data(), sizeof header);
        if (header.magic != BTF_MAGIC || header.hdr_len < sizeof header ||
            uint64_t{header.hdr_len} + header.type_off + header.type_len > data_.size() ||
            uint64_t{header.hdr_len} + header.str_off + header.str_len > data_.size())
            return false;
        types_ = data_.substr(header.hdr_len + header.type_off, header.type_len);
        strings_ = data_.substr(header.hdr_len + header.str_off, header.str_len);
        starts_.reserve(types_.size() / 16);
        starts_.push_back(0); // type 0 is void
        for (size_t at = 0; at + sizeof(btf_type) <= types_.size();) {
            starts_.push_back(at);
            btf_type type = TypeAt(at);
            size_t extra = ExtraSize(type);
            if (extra == SIZE_MAX || extra > types_.size() - at - sizeof(btf_type))
                return false;
            at += sizeof(btf_type) + extra;
        }
        return true;
    }

    // The first type of that kind and name, or 0.
    uint32_t Find(uint32_t kind, std::string_view name) const {
        for (uint32_t id = 1; id < starts_.size(); ++id) {
            btf_type type = Type(id);
            if (BTF_INFO_KIND(type.info) == kind && Name(type.name_off) == name)
                return id;
        }
        return 0;
    }

    // A member of a struct, looked for through its unnamed members too;
    // bit fields and members that are not 2, 4 or 8 bytes are not taken.
    std::optional<Field> Member(uint32_t structId, std::string_view name, uint32_t base = 0,
                                int depth = 0) const {
        if (structId == 0 || structId >= starts_.size() || depth > 8)
            return std::nullopt;
        btf_type type = Type(structId);
        uint32_t kind = BTF_INFO_KIND(type.info);
        if (kind != BTF_KIND_STRUCT && kind != BTF_KIND_UNION)
            return std::nullopt;
        size_t at = starts_[structId] + sizeof(btf_type);
        for (uint32_t i = 0; i < BTF_INFO_VLEN(type.info); ++i, at += sizeof(btf_member)) {
            btf_member member{};
            std::memcpy(&member, types_.data() + at, sizeof member);
            uint32_t bits =
                BTF_INFO_KFLAG(type.info) ? BTF_MEMBER_BIT_OFFSET(member.offset) : member.offset;
            if (BTF_INFO_KFLAG(type.info) && BTF_MEMBER_BITFIELD_SIZE(member.offset) != 0)
                continue;
            if (bits % 8 != 0)
                continue;
            uint32_t offset = base + bits / 8;
            std::string_view memberName = Name(member.name_off);
            if (memberName.empty()) {
                if (auto inner = Member(Resolve(member.type), name, offset, depth + 1))
                    return inner;
            } else if (memberName == name) {
                uint32_t size = SizeOf(member.type);
                if (size != 2 && size != 4 && size != 8)
                    return std::nullopt;
                return Field{offset, size};
            }
        }
        return std::nullopt;
    }

private:
    btf_type TypeAt(size_t at) const {
        btf_type type{};
        std::memcpy(&type, types_.data() + at, sizeof type);
        return type;
    }
    btf_type Type(uint32_t id) const { return TypeAt(starts_[id]); }

    std::string_view Name(uint32_t offset) const {
        if (offset >= strings_.size())
            return {};
        std::string_view rest = strings_.substr(offset);
        return rest.substr(0, rest.find('\0'));
    }

    // The bytes that follow a type's common part, by kind; SIZE_MAX for a
    // kind this reader does not know.
    size_t ExtraSize(const btf_type& type) const {
        size_t vlen = BTF_INFO_VLEN(type.info);
        size_t extra = 0;
        switch (BTF_INFO_KIND(type.info)) {
        case BTF_KIND_INT:
        case BTF_KIND_VAR:
        case BTF_KIND_DECL_TAG:
            extra = 4;
            break;
        case BTF_KIND_ARRAY:
            extra = sizeof(btf_array);
            break;
        case BTF_KIND_STRUCT:
        case BTF_KIND_UNION:
            extra = vlen * sizeof(btf_member);
            break;
        case BTF_KIND_ENUM:
        case BTF_KIND_FUNC_PROTO:
            extra = vlen * 8;
            break;
        case BTF_KIND_DATASEC:
        case BTF_KIND_ENUM64:
            extra = vlen * 12;
            break;
        case BTF_KIND_PTR:
        case BTF_KIND_FWD:
        case BTF_KIND_TYPEDEF:
        case BTF_KIND_VOLATILE:
        case BTF_KIND_CONST:
        case BTF_KIND_RESTRICT:
        case BTF_KIND_FUNC:
        case BTF_KIND_FLOAT:
        case BTF_KIND_TYPE_TAG:
            break;
        default:
            return SIZE_MAX;
        }
        return extra;
    }

    // Through typedefs and qualifiers to the type that has a size.
    uint32_t Resolve(uint32_t id) const {
        for (int hops = 0; id != 0 && id < starts_.size() && hops < 32; ++hops) {
            btf_type type = Type(id);
            switch (BTF_INFO_KIND(type.info)) {
            case BTF_KIND_TYPEDEF:
            case BTF_KIND_VOLATILE:
            case BTF_KIND_CONST:
            case BTF_KIND_RESTRICT:
            case BTF_KIND_TYPE_TAG:
                id = type.type;
                break;
            default:
                return id;
            }
        }
        return 0;
    }

    uint32_t SizeOf(uint32_t id) const {
        id = Resolve(id);
        if (id == 0 || id >= starts_.size())
            return 0;
        btf_type type = Type(id);
        switch (BTF_INFO_KIND(type.info)) {
        case BTF_KIND_PTR:
            return 8;
        case BTF_KIND_INT:
        case BTF_KIND_ENUM:
        case BTF_KIND_ENUM64:
            return type.size;
        default:
            return 0;
        }
    }

    std::string_view data_;
    std::string_view types_, strings_;
    std::vector<size_t> starts_;
};

// The kernel's BTF file, mapped where the kernel allows it (a read is a
// page at a time, tens of milliseconds for its megabytes), else read.
class KernelBtfFile {
public:
    KernelBtfFile() {
        UniqueFd fd(::open("/sys/kernel/btf/vmlinux", O_RDONLY | O_CLOEXEC));
        struct stat info {};
        if (!fd || ::fstat(fd.get(), &info) != 0 || info.st_size <= 0 || info.st_size > (64 << 20))
            return;
        size_ = static_cast<size_t>(info.st_size);
        void* mapped = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd.get(), 0);
        if (mapped != MAP_FAILED) {
            mapped_ = mapped;
            return;
        }
        copy_.assign(size_, '\0');
        for (size_t have = 0; have < size_;) {
            ssize_t got = ::read(fd.get(), copy_.data() + have, size_ - have);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                copy_.clear();
                return;
            }
            have += static_cast<size_t>(got);
        }
    }
    ~KernelBtfFile() {
        if (mapped_ != nullptr)
            ::munmap(mapped_, size_);
    }
    KernelBtfFile(const KernelBtfFile&) = delete;
    KernelBtfFile& operator=(const KernelBtfFile&) = delete;

    std::string_view Data() const {
        return mapped_ != nullptr ? std::string_view(static_cast<const char*>(mapped_), size_)
                                  : std::string_view(copy_);
    }

private:
    void* mapped_ = nullptr;
    size_t size_ = 0;
    std::string copy_;
};

std::optional<Layout> ReadLayout() {
    KernelBtfFile btfFile;
    Btf btf(btfFile.Data());
    if (!btf.Index())
        return std::nullopt;
    Layout layout;
    layout.iteratorId = btf.Find(BTF_KIND_FUNC, "bpf_iter_task_file");
    uint32_t file = btf.Find(BTF_KIND_STRUCT, "file");
    uint32_t inode = btf.Find(BTF_KIND_STRUCT, "inode");
    uint32_t super = btf.Find(BTF_KIND_STRUCT, "super_block");
    uint32_t task = btf.Find(BTF_KIND_STRUCT, "task_struct");
    uint32_t meta = btf.Find(BTF_KIND_STRUCT, "bpf_iter_meta");
    auto fileInode = btf.Member(file, "f_inode");
    auto inodeIno = btf.Member(inode, "i_ino");
    auto inodeSb = btf.Member(inode, "i_sb");
    auto superMagic = btf.Member(super, "s_magic");
    auto taskTgid = btf.Member(task, "tgid");
    auto metaSeq = btf.Member(meta, "seq");
    if (layout.iteratorId == 0 || !fileInode || fileInode->size != 8 || !inodeIno || !inodeSb ||
        inodeSb->size != 8 || !superMagic || !taskTgid || taskTgid->size != 4 || !metaSeq ||
        metaSeq->size != 8)
        return std::nullopt;
    // A load's offset is a signed 16-bit field of the instruction.
    for (const auto& field : {fileInode, inodeIno, inodeSb, superMagic, taskTgid, metaSeq})
        if (field->offset > INT16_MAX)
            return std::nullopt;
    layout.fileInode = *fileInode;
    layout.inodeIno = *inodeIno;
    layout.inodeSb = *inodeSb;
    layout.superMagic = *superMagic;
    layout.taskTgid = *taskTgid;
    layout.metaSeq = *metaSeq;
    return layout;
}

// The kernel's type information does not change while it runs.
const std::optional<Layout>& KernelLayout() {
    static std::once_flag once;
    static std::optional<Layout> layout;
    std::call_once(once, [] { layout = ReadLayout(); });
    return layout;
}

bpf_insn Insn(uint8_t code, uint8_t dst, uint8_t src, int16_t off, int32_t imm) {
    bpf_insn insn{};
    insn.code = code;
    insn.dst_reg = dst & 0xf;
    insn.src_reg = src & 0xf;
    insn.off = off;
    insn.imm = imm;
    return insn;
}

uint8_t SizeCode(uint32_t size) {
    return size == 8 ? BPF_DW : size == 4 ? BPF_W : BPF_H;
}

bpf_insn Load(uint8_t dst, uint8_t src, Field field) {
    return Insn(BPF_LDX | BPF_MEM | SizeCode(field.size), dst, src,
                static_cast<int16_t>(field.offset), 0);
}

// For each descriptor: when its file's inode lives on sockfs, write
// {inode number (8 bytes), tgid (4), descriptor (4)}.
std::vector<bpf_insn> Program(const Layout& layout) {
    // The iterator's context: meta, task, fd, file, a u64 slot each.
    constexpr int16_t kMeta = 0, kTask = 8, kFd = 16, kFile = 24;
    constexpr uint8_t kJmp = BPF_JMP, kAlu = BPF_ALU64;
    std::vector<bpf_insn> code = {
        Insn(kAlu | BPF_MOV | BPF_X, BPF_REG_6, BPF_REG_1, 0, 0),
        Insn(BPF_LDX | BPF_MEM | BPF_DW, BPF_REG_7, BPF_REG_6, kTask, 0),
        Insn(kJmp | BPF_JEQ | BPF_K, BPF_REG_7, 0, 0 /* out */, 0),
        Insn(BPF_LDX | BPF_MEM | BPF_DW, BPF_REG_8, BPF_REG_6, kFile, 0),
        Insn(kJmp | BPF_JEQ | BPF_K, BPF_REG_8, 0, 0 /* out */, 0),
        Load(BPF_REG_2, BPF_REG_8, layout.fileInode),
        Insn(kJmp | BPF_JEQ | BPF_K, BPF_REG_2, 0, 0 /* out */, 0),
        Load(BPF_REG_3, BPF_REG_2, layout.inodeSb),
        Insn(kJmp | BPF_JEQ | BPF_K, BPF_REG_3, 0, 0 /* out */, 0),
        Load(BPF_REG_4, BPF_REG_3, layout.superMagic),
        Insn(kJmp | BPF_JNE | BPF_K, BPF_REG_4, 0, 0 /* out */, static_cast<int32_t>(kSockfsMagic)),
        Load(BPF_REG_5, BPF_REG_2, layout.inodeIno),
        Insn(BPF_STX | BPF_MEM | BPF_DW, BPF_REG_10, BPF_REG_5, -16, 0),
        Load(BPF_REG_5, BPF_REG_7, layout.taskTgid),
        Insn(BPF_STX | BPF_MEM | BPF_W, BPF_REG_10, BPF_REG_5, -8, 0),
        Insn(BPF_LDX | BPF_MEM | BPF_W, BPF_REG_5, BPF_REG_6, kFd, 0),
        Insn(BPF_STX | BPF_MEM | BPF_W, BPF_REG_10, BPF_REG_5, -4, 0),
        Insn(BPF_LDX | BPF_MEM | BPF_DW, BPF_REG_1, BPF_REG_6, kMeta, 0),
        Load(BPF_REG_1, BPF_REG_1, layout.metaSeq),
        Insn(kAlu | BPF_MOV | BPF_X, BPF_REG_2, BPF_REG_10, 0, 0),
        Insn(kAlu | BPF_ADD | BPF_K, BPF_REG_2, 0, 0, -16),
        Insn(kAlu | BPF_MOV | BPF_K, BPF_REG_3, 0, 0, 16),
        Insn(kJmp | BPF_CALL, 0, 0, 0, BPF_FUNC_seq_write),
    };
    auto out = static_cast<int16_t>(code.size());
    for (size_t i = 0; i < code.size(); ++i)
        if (BPF_CLASS(code[i].code) == BPF_JMP && BPF_OP(code[i].code) != BPF_CALL)
            code[i].off = static_cast<int16_t>(out - static_cast<int16_t>(i) - 1);
    code.push_back(Insn(kAlu | BPF_MOV | BPF_K, BPF_REG_0, 0, 0, 0));
    code.push_back(Insn(kJmp | BPF_EXIT, 0, 0, 0, 0));
    return code;
}

int Bpf(int command, bpf_attr& attr) {
    return static_cast<int>(::syscall(SYS_bpf, command, &attr, sizeof attr));
}

// Loading a tracing program takes CAP_BPF and CAP_PERFMON (or
// CAP_SYS_ADMIN); without them the kernel's types are not worth reading.
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

} // namespace

void PrepareSocketHolders() {
    if (MayLoadTracingPrograms() && InInitialPidNamespace())
        KernelLayout();
}

namespace {

std::string& Refusal() {
    static std::string refusal;
    return refusal;
}

bool Refuse(std::string why) {
    Refusal() = std::move(why);
    return false;
}

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

const std::string& SocketHoldersRefusal() {
    return Refusal();
}

bool ReadSocketHolders(std::vector<SocketHolder>& holders) {
    holders.clear();
    Refusal().clear();
    if (!MayLoadTracingPrograms())
        return Refuse("the caller holds neither CAP_BPF with CAP_PERFMON nor CAP_SYS_ADMIN");
    if (!InInitialPidNamespace())
        return Refuse("the caller or its /proc is not in the machine's own pid namespace");
    const std::optional<Layout>& layout = KernelLayout();
    if (!layout)
        return Refuse("no usable type information in /sys/kernel/btf/vmlinux");
    std::vector<bpf_insn> code = Program(*layout);
    // The program is ours, under the project's licence; the kernel lends
    // its sequence-writing helper to GPL-compatible programs only.
    static const char kLicense[] = "GPL";

    bpf_attr load{};
    load.prog_type = BPF_PROG_TYPE_TRACING;
    load.expected_attach_type = BPF_TRACE_ITER;
    load.attach_btf_id = layout->iteratorId;
    load.insns = reinterpret_cast<uintptr_t>(code.data());
    load.insn_cnt = static_cast<uint32_t>(code.size());
    load.license = reinterpret_cast<uintptr_t>(kLicense);
    std::strncpy(load.prog_name, "ombrel_sockets", sizeof load.prog_name - 1);
    UniqueFd program(Bpf(BPF_PROG_LOAD, load));
    if (!program) {
        // Once more with the verifier's log, for whoever asks why.
        std::string why = Errno("the kernel refused the program");
        std::string log(1 << 16, '\0');
        load.log_level = 1;
        load.log_buf = reinterpret_cast<uintptr_t>(log.data());
        load.log_size = static_cast<uint32_t>(log.size());
        UniqueFd again(Bpf(BPF_PROG_LOAD, load));
        log.resize(std::strlen(log.c_str()));
        while (!log.empty() && log.back() == '\n')
            log.pop_back();
        if (!log.empty())
            why += "; the verifier's log:\n" + log;
        return Refuse(std::move(why));
    }

    bpf_attr link{};
    link.link_create.prog_fd = static_cast<uint32_t>(program.get());
    link.link_create.attach_type = BPF_TRACE_ITER;
    UniqueFd linkFd(Bpf(BPF_LINK_CREATE, link));
    if (!linkFd)
        return Refuse(Errno("the kernel refused to attach the iterator"));

    bpf_attr iter{};
    iter.iter_create.link_fd = static_cast<uint32_t>(linkFd.get());
    UniqueFd iterFd(Bpf(BPF_ITER_CREATE, iter));
    if (!iterFd)
        return Refuse(Errno("the kernel refused to start the walk"));

    struct Record {
        uint64_t inode;
        uint32_t pid;
        uint32_t fd;
    };
    static_assert(sizeof(Record) == 16);
    alignas(8) char buffer[1 << 16];
    size_t held = 0; // bytes of a record that a read cut, kept for the next
    // At most a million objects each: far more than any machine holds.
    constexpr int kMaxSilentStretches = 1 << 16;
    int stretches = 0;
    for (;;) {
        ssize_t got = ::read(iterFd.get(), buffer + held, sizeof buffer - held);
        if (got < 0 && errno == EINTR)
            continue;
        // The kernel ends a read that walked a million objects without a
        // record (a process with a million descriptors that are not
        // sockets) with EAGAIN; the next read goes on from there.
        if (got < 0 && errno == EAGAIN && ++stretches < kMaxSilentStretches)
            continue;
        if (got < 0) {
            holders.clear();
            return Refuse(Errno("the walk failed"));
        }
        if (got == 0) {
            if (held == 0)
                return true;
            holders.clear();
            return Refuse("the walk ended inside a record");
        }
        size_t total = held + static_cast<size_t>(got);
        size_t whole = total - total % sizeof(Record);
        for (size_t at = 0; at < whole; at += sizeof(Record)) {
            Record record;
            std::memcpy(&record, buffer + at, sizeof record);
            holders.push_back(SocketHolder{record.inode, record.pid, record.fd});
        }
        held = total - whole;
        std::memmove(buffer, buffer + whole, held);
    }
}

} // namespace ombrel::platform
