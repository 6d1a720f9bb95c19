#include <ombrel/services.h>

namespace ombrel::platform {
namespace {
std::string& Root() {
    static std::string root = "/proc";
    return root;
}
} // namespace

ProcRootOverride::ProcRootOverride(std::string root) : saved_(Root()) {
    Root() = root.empty() ? std::string("/proc") : std::move(root);
}
ProcRootOverride::~ProcRootOverride() {
    Root() = std::move(saved_);
}
const std::string& ProcRoot() {
    return Root();
}
bool IsLiveProc(const std::string& root) {
    return root == "/proc";
}
bool ProcRootIsLive() {
    return IsLiveProc(Root());
}

} // namespace ombrel::platform
