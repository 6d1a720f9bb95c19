#include "base/proc_root.h"

#include <utility>

namespace ombrel::platform {
namespace {
std::string& Root() {
    static std::string root = "/proc";
    return root;
}
} // namespace

const std::string& ProcRoot() {
    return Root();
}
bool IsLiveProc(const std::string& root) {
    return root == "/proc";
}
bool ProcRootIsLive() {
    return IsLiveProc(Root());
}
std::string ReplaceProcRoot(std::string root) {
    if (root.empty())
        root = "/proc";
    std::swap(root, Root());
    return root;
}

} // namespace ombrel::platform
