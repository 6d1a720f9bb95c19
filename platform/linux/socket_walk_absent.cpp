// The descriptor walk for a static program that cannot have libbpf: where
// the release's static libelf does not link (Debian 13's refers to
// elfutils' own internal library, which no package ships), the collector
// links this in its place and answers by its scan of /proc, the same
// owners more slowly. Defining every name of socket_walk.cpp here keeps
// the linker from taking that file, and libbpf with it, from the archive.
#include "socket_walk.h"

namespace ombrel::platform {

SocketWalk::SocketWalk(std::string object) : object_(std::move(object)) {}

SocketWalk::~SocketWalk() = default;

struct SocketWalk::Program {};

bool SocketWalk::Load() {
    return false;
}

void SocketWalk::Prepare() {}

bool SocketWalk::Read(std::vector<SocketHolder>& holders) {
    holders.clear();
    descriptors_ = 0;
    refusal_ = "this static build has no libbpf: the release's static libelf does not link";
    return false;
}

SocketWalk& MachineSocketWalk() {
    static SocketWalk* walk = new SocketWalk({});
    return *walk;
}

void PrepareSocketHolders() {}

bool ReadSocketHolders(std::vector<SocketHolder>& holders) {
    return MachineSocketWalk().Read(holders);
}

const std::string& SocketHoldersRefusal() {
    return MachineSocketWalk().Refusal();
}

} // namespace ombrel::platform
