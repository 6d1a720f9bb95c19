// A directory tree carried in one fuzz input, so the fuzzer can mutate a
// whole fixture tree. Records are separated by NUL bytes:
//   "f PATH\nCONTENT"  a regular file
//   "l PATH\nTARGET"   a symbolic link
//   "d PATH"           a directory
// PATH is relative, of plain names; anything else is skipped. Nothing is
// ever written through a link: every step down opens the next directory
// with O_NOFOLLOW, so a hostile tree stays inside its root. A link may
// leave the tree only where the readers never follow one (an "exe" link,
// the entries of an "fd" directory), so no read wanders into a device.
#pragma once

#include <cstdint>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tests/temp_dir.h"

namespace fuzz_tree {

inline bool PlainName(std::string_view name) {
    if (name.empty() || name.size() > 64 || name == "." || name == "..")
        return false;
    for (char c : name)
        if (c == '/' || c == '\0')
            return false;
    return true;
}

// Opens (creating on the way) the directory holding the last name of path;
// returns its fd, or -1, and leaves the last name in leaf.
inline int OpenParent(int rootFd, std::string_view path, std::string_view& leaf) {
    int dirFd = ::dup(rootFd);
    int depth = 0;
    for (;;) {
        size_t slash = path.find('/');
        std::string_view name = path.substr(0, slash);
        if (!PlainName(name) || ++depth > 6) {
            ::close(dirFd);
            return -1;
        }
        if (slash == std::string_view::npos) {
            leaf = name;
            return dirFd;
        }
        std::string component(name);
        ::mkdirat(dirFd, component.c_str(), 0755);
        int next =
            ::openat(dirFd, component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(dirFd);
        if (next < 0)
            return -1;
        dirFd = next;
        path.remove_prefix(slash + 1);
    }
}

// Trees are written and removed on every run: memory-backed storage when
// there is some, since a disk file system spends most of the run on inodes.
inline std::string ScratchBase() {
    return ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
}

inline void Write(int rootFd, const uint8_t* data, size_t size) {
    std::string_view all(reinterpret_cast<const char*>(data), size);
    size_t records = 0;
    while (!all.empty() && records++ < 512) {
        size_t end = all.find('\0');
        std::string_view record = all.substr(0, end);
        all.remove_prefix(end == std::string_view::npos ? all.size() : end + 1);
        if (record.size() < 3 || record[1] != ' ')
            continue;
        char kind = record[0];
        record.remove_prefix(2);
        size_t newline = record.find('\n');
        std::string_view path = record.substr(0, newline);
        std::string_view body =
            newline == std::string_view::npos ? std::string_view() : record.substr(newline + 1);
        std::string_view leaf;
        int dirFd = OpenParent(rootFd, path, leaf);
        if (dirFd < 0)
            continue;
        std::string name(leaf);
        if (kind == 'd') {
            ::mkdirat(dirFd, name.c_str(), 0755);
        } else if (kind == 'l') {
            std::string target(body.substr(0, 4095));
            bool onlyRead =
                leaf == "exe" || path.substr(0, path.size() - leaf.size()).ends_with("fd/");
            bool staysInside =
                target.find('/') == std::string::npos && target.find("..") == std::string::npos;
            if (!staysInside && !onlyRead) {
                ::close(dirFd);
                continue;
            }
            ::symlinkat(target.c_str(), dirFd, name.c_str());
        } else if (kind == 'f') {
            int fd = ::openat(dirFd, name.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd >= 0) {
                for (size_t done = 0; done < body.size();) {
                    ssize_t wrote = ::write(fd, body.data() + done, body.size() - done);
                    if (wrote <= 0)
                        break;
                    done += static_cast<size_t>(wrote);
                }
                ::close(fd);
            }
        }
        ::close(dirFd);
    }
}

// One run's tree, in a folder of its own that goes when the run ends: a
// fresh root each run, so no reader's memory of the last tree applies.
class RunTree {
public:
    RunTree(const uint8_t* data, size_t size) {
        static TempDir scratch(ScratchBase());
        static unsigned long run = 0;
        std::string root = scratch.path() + "/" + std::to_string(run++);
        if (::mkdir(root.c_str(), 0755) != 0)
            return;
        root_ = root;
        int rootFd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (rootFd < 0)
            return;
        Write(rootFd, data, size);
        ::close(rootFd);
        written_ = true;
    }
    ~RunTree() {
        if (!root_.empty())
            TempDir::RemoveTree(root_);
    }
    RunTree(const RunTree&) = delete;
    RunTree& operator=(const RunTree&) = delete;

    // Empty when the tree could not be written.
    std::string root() const { return written_ ? root_ : std::string(); }

private:
    std::string root_;
    bool written_ = false;
};

} // namespace fuzz_tree
