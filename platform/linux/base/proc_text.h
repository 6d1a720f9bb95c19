// The kernel's /proc texts, each format parsed in one place. The layer and
// the owner helper both link this library, and the helper links nothing
// else of ours: it keeps no state, calls no service of the layer and uses
// no more than the C and C++ runtime.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ombrel::platform {

// A whole unsigned decimal (or hexadecimal, as the net tables print
// addresses and states) number, nothing before or after it.
bool ParseDecimal(std::string_view text, uint64_t& value);
bool ParseHex(std::string_view text, uint64_t& value);

// A /proc entry's name as a process id: decimal, no leading zero, 32 bits.
std::optional<uint32_t> ParseProcessId(std::string_view name);

// A descriptor folder's entry name as the descriptor: "17" -> 17.
std::optional<uint32_t> ParseDescriptor(std::string_view name);

struct TaskStat {
    std::string comm; // the kernel's task name, at most 15 bytes (TASK_COMM_LEN - 1)
    uint32_t ppid = 0;
    uint32_t threads = 0;
    uint64_t userTicks = 0;
    uint64_t systemTicks = 0;
    uint64_t startTime = 0; // clock ticks after boot
};

// Parses the one line of /proc/PID/stat. The name sits between the first
// "(" and the last ")", since it may itself hold parentheses and blanks.
std::optional<TaskStat> ParseTaskStat(std::string_view line);

// The inode a descriptor's link names when it is a socket's:
// "socket:[12345]" -> 12345. Any other file, or inode 0: nullopt.
std::optional<uint64_t> ParseSocketLink(std::string_view link);

// What an io_uring descriptor's fdinfo says of the ring's fixed files: the
// ring's inode ("ino:"); whether the slots were shown at all and how many
// there are ("UserFiles:"; the kernel shows them only when it takes the
// ring's lock at once, and some kernels then print no such line); how many
// were listed; and the sockets among them ("    3: socket:[12345]"; a
// kernel that prints only the file's own name names no socket).
struct RingFiles {
    uint64_t ring = 0;
    bool shown = false;
    uint64_t slots = 0;
    uint64_t listed = 0;
    std::vector<uint64_t> sockets;
};

// The fdinfo text as it is read, chunk by chunk, so that a ring of many
// slots costs the sockets it holds, not its text. A line longer than any
// the kernel prints for a slot is skipped.
class RingFilesReader {
public:
    void Feed(std::string_view chunk);
    // nullopt where the text had no "ino:" line.
    std::optional<RingFiles> Finish();

private:
    void Line(std::string_view line);

    std::string carry_; // a line cut by the chunk's end
    bool skipping_ = false;
    bool haveRing_ = false;
    bool inSlots_ = false;
    RingFiles files_;
};

std::optional<RingFiles> ParseRingFiles(std::string_view fdinfo);

// One line of mountinfo:
//   id parent major:minor root mount-point options [optional...] - type source super-options
struct MountInfoLine {
    uint64_t id = 0;   // 0 where it does not parse
    std::string point; // unescaped
    // The fields after the " - " separator are there; type and super
    // options view the line parsed.
    bool described = false;
    std::string_view type;
    std::string_view superOptions;
};

// A line with fewer than five fields: nullopt.
std::optional<MountInfoLine> ParseMountInfoLine(std::string_view line);

// Calls visit(MountInfoLine&) for each line of text that parses.
template <typename Visit> void ForEachMountInfoLine(std::string_view text, Visit&& visit) {
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (std::optional<MountInfoLine> parsed = ParseMountInfoLine(line))
            visit(*parsed);
    }
}

// Whether a mount table shows /proc mounted to hide processes from their
// users' peers (hidepid other than 0 or "off", on any mount over /proc).
// What cannot be told counts as hidden: no table, or a /proc line without
// its super options.
bool HidesProcesses(std::string_view mountinfo);

// The rest of an open file, at most limit bytes; nullopt on a read error or
// when there is more.
std::optional<std::string> ReadToEnd(int fd, size_t limit);

} // namespace ombrel::platform
