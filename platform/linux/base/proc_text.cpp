#include "base/proc_text.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <unistd.h>

namespace ombrel::platform {
namespace {

// mountinfo escapes blanks, tabs, newlines and backslashes in paths as
// three octal digits.
std::string Unescape(std::string_view field) {
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '3' && field[i + 2] >= '0' && field[i + 2] <= '7' &&
            field[i + 3] >= '0' && field[i + 3] <= '7') {
            text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0'));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

// The option's value in a comma-separated list, "hidepid=2" -> "2".
std::optional<std::string_view> OptionValue(std::string_view options, std::string_view name) {
    while (!options.empty()) {
        size_t comma = options.find(',');
        std::string_view option = options.substr(0, comma);
        options.remove_prefix(comma == std::string_view::npos ? options.size() : comma + 1);
        if (option.size() > name.size() && option.substr(0, name.size()) == name &&
            option[name.size()] == '=')
            return option.substr(name.size() + 1);
    }
    return std::nullopt;
}

bool ParseWhole(std::string_view text, uint64_t& value, int base) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

} // namespace

bool ParseDecimal(std::string_view text, uint64_t& value) {
    return ParseWhole(text, value, 10);
}

bool ParseHex(std::string_view text, uint64_t& value) {
    return ParseWhole(text, value, 16);
}

std::optional<uint32_t> ParseProcessId(std::string_view name) {
    uint64_t pid = 0;
    if (name.empty() || name[0] == '0' || !ParseDecimal(name, pid) || pid > UINT32_MAX)
        return std::nullopt;
    return static_cast<uint32_t>(pid);
}

std::optional<uint32_t> ParseDescriptor(std::string_view name) {
    uint64_t fd = 0;
    if (!ParseDecimal(name, fd) || fd > INT32_MAX)
        return std::nullopt;
    return static_cast<uint32_t>(fd);
}

std::optional<TaskStat> ParseTaskStat(std::string_view line) {
    size_t open = line.find('(');
    size_t close = line.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return std::nullopt;
    TaskStat stat;
    stat.comm = std::string(line.substr(open + 1, close - open - 1));

    // Fields after the name, from field 3 (state) to field 22 (starttime).
    std::string_view fields[20];
    size_t count = 0;
    std::string_view rest = line.substr(close + 1);
    size_t pos = 0;
    while (pos < rest.size() && count < std::size(fields)) {
        while (pos < rest.size() && (rest[pos] == ' ' || rest[pos] == '\n'))
            ++pos;
        size_t end = rest.find_first_of(" \n", pos);
        if (end == std::string_view::npos)
            end = rest.size();
        if (end > pos)
            fields[count++] = rest.substr(pos, end - pos);
        pos = end;
    }
    // ppid is field 4, utime 14, stime 15, num_threads 20, starttime 22
    // (proc(5)).
    uint64_t ppid = 0, threads = 0;
    if (count < std::size(fields) || !ParseDecimal(fields[1], ppid) || ppid > UINT32_MAX ||
        !ParseDecimal(fields[11], stat.userTicks) || !ParseDecimal(fields[12], stat.systemTicks) ||
        !ParseDecimal(fields[17], threads) || threads > UINT32_MAX ||
        !ParseDecimal(fields[19], stat.startTime))
        return std::nullopt;
    stat.ppid = static_cast<uint32_t>(ppid);
    stat.threads = static_cast<uint32_t>(threads);
    return stat;
}

std::optional<uint64_t> ParseSocketLink(std::string_view link) {
    constexpr std::string_view prefix = "socket:[";
    uint64_t inode = 0;
    if (link.size() <= prefix.size() + 1 || link.substr(0, prefix.size()) != prefix ||
        link.back() != ']' ||
        !ParseDecimal(link.substr(prefix.size(), link.size() - prefix.size() - 1), inode) ||
        inode == 0)
        return std::nullopt;
    return inode;
}

namespace {
// A slot's line: its number, ": ", and a path of at most PATH_MAX bytes,
// each of which may be printed as four ("\\040").
constexpr size_t kLongestRingLine = 32 + 4 * 4096;
} // namespace

void RingFilesReader::Feed(std::string_view chunk) {
    while (!chunk.empty()) {
        size_t end = chunk.find('\n');
        std::string_view piece = chunk.substr(0, end);
        chunk.remove_prefix(end == std::string_view::npos ? chunk.size() : end + 1);
        if (!skipping_ && carry_.size() + piece.size() > kLongestRingLine) {
            skipping_ = true;
            carry_.clear();
        }
        if (!skipping_ && end == std::string_view::npos) {
            carry_.append(piece);
            return;
        }
        if (end == std::string_view::npos)
            return;
        if (skipping_) {
            skipping_ = false;
            continue;
        }
        if (carry_.empty()) {
            Line(piece);
        } else {
            carry_.append(piece);
            Line(carry_);
            carry_.clear();
        }
    }
}

void RingFilesReader::Line(std::string_view line) {
    if (inSlots_) {
        // "%5u: path": the slot's number, right-aligned, then the file.
        size_t digits = line.find_first_not_of(' ');
        size_t colon = line.find(": ");
        uint64_t slot = 0;
        if (digits != std::string_view::npos && colon != std::string_view::npos && digits < colon &&
            ParseDecimal(line.substr(digits, colon - digits), slot)) {
            ++files_.listed;
            if (std::optional<uint64_t> socket = ParseSocketLink(line.substr(colon + 2)))
                files_.sockets.push_back(*socket);
            return;
        }
        inSlots_ = false;
    }
    auto value = [&](std::string_view key, uint64_t& number) {
        if (line.substr(0, key.size()) != key)
            return false;
        std::string_view rest = line.substr(key.size());
        rest.remove_prefix(std::min(rest.find_first_not_of(" \t"), rest.size()));
        return ParseDecimal(rest, number);
    };
    if (!haveRing_ && value("ino:", files_.ring))
        haveRing_ = true;
    else if (!files_.shown && value("UserFiles:", files_.slots))
        files_.shown = inSlots_ = true;
}

std::optional<RingFiles> RingFilesReader::Finish() {
    if (!carry_.empty() && !skipping_)
        Line(carry_);
    carry_.clear();
    if (!haveRing_)
        return std::nullopt;
    return std::move(files_);
}

std::optional<RingFiles> ParseRingFiles(std::string_view fdinfo) {
    RingFilesReader reader;
    reader.Feed(fdinfo);
    return reader.Finish();
}

std::optional<MountInfoLine> ParseMountInfoLine(std::string_view line) {
    std::string_view fields[5];
    size_t at = 0;
    for (auto& field : fields) {
        size_t blank = line.find(' ', at);
        if (blank == std::string_view::npos)
            return std::nullopt;
        field = line.substr(at, blank - at);
        at = blank + 1;
    }
    if (fields[4].empty())
        return std::nullopt;
    MountInfoLine parsed;
    if (!ParseDecimal(fields[0], parsed.id))
        parsed.id = 0;
    parsed.point = Unescape(fields[4]);
    // Blanks within fields are escaped, so the first " - " after the mount
    // point ends the optional fields.
    size_t separator = line.find(" - ", at);
    if (separator == std::string_view::npos)
        return parsed;
    std::string_view described = line.substr(separator + 3);
    size_t typeEnd = described.find(' ');
    parsed.described = true;
    parsed.type = described.substr(0, typeEnd);
    if (typeEnd != std::string_view::npos) {
        std::string_view afterType = described.substr(typeEnd + 1);
        size_t sourceEnd = afterType.find(' ');
        if (sourceEnd != std::string_view::npos)
            parsed.superOptions = afterType.substr(sourceEnd + 1);
    }
    return parsed;
}

bool HidesProcesses(std::string_view mountinfo) {
    if (mountinfo.empty())
        return true;
    bool hidden = false;
    ForEachMountInfoLine(mountinfo, [&](const MountInfoLine& mount) {
        if (mount.point != "/proc")
            return;
        if (!mount.described) {
            hidden = true;
            return;
        }
        std::optional<std::string_view> value = OptionValue(mount.superOptions, "hidepid");
        if (value && *value != "0" && *value != "off")
            hidden = true;
    });
    return hidden;
}

std::optional<std::string> ReadToEnd(int fd, size_t limit) {
    std::string text;
    char chunk[4096];
    for (;;) {
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (got == 0)
            break;
        text.append(chunk, static_cast<size_t>(got));
        if (text.size() > limit) {
            errno = EFBIG;
            return std::nullopt;
        }
    }
    return text;
}

} // namespace ombrel::platform
