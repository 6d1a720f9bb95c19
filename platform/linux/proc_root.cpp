#include <ombrel/services.h>

namespace ombrel::platform {
namespace {
std::string& Root() {
    static std::string root = "/proc";
    return root;
}
} // namespace

void SetProcRoot(std::string root) {
    Root() = root.empty() ? std::string("/proc") : std::move(root);
}
const std::string& ProcRoot() {
    return Root();
}
bool ProcRootIsLive() {
    return Root() == "/proc";
}

} // namespace ombrel::platform
