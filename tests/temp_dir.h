// A directory of the test's own under /tmp (or another base), removed with
// what it holds.
#pragma once

#include <cstring>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

class TempDir {
public:
    explicit TempDir(const std::string& base = "/tmp") {
        std::string pattern = base + "/ombrel-test-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
    }
    ~TempDir() { Remove(path_); }
    const std::string& path() const { return path_; }
    std::string Write(const std::string& relative, const std::string& text = "x") const {
        std::string full = path_ + "/" + relative;
        for (size_t at = path_.size() + 1; (at = full.find('/', at)) != std::string::npos; ++at)
            ::mkdir(full.substr(0, at).c_str(), 0755);
        std::ofstream(full) << text;
        return full;
    }
    // A symbolic link at relative (its folders made on the way) to target.
    std::string Link(const std::string& relative, const std::string& target) const {
        std::string full = Write(relative);
        ::unlink(full.c_str());
        return ::symlink(target.c_str(), full.c_str()) == 0 ? full : std::string();
    }

    // Removes a tree without following its links.
    static void RemoveTree(const std::string& path) { Remove(path); }

private:
    static void Remove(const std::string& path) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0)
            return;
        if (S_ISDIR(info.st_mode)) {
            if (DIR* dir = ::opendir(path.c_str())) {
                while (dirent* entry = ::readdir(dir))
                    if (std::strcmp(entry->d_name, ".") && std::strcmp(entry->d_name, ".."))
                        Remove(path + "/" + entry->d_name);
                ::closedir(dir);
            }
            ::rmdir(path.c_str());
        } else {
            ::unlink(path.c_str());
        }
    }
    std::string path_;
};
