#include <ombrel/services.h>

#include "base/proc_root.h"
#include "owners/owner_helper.h"
#include "provisions.h"

namespace ombrel::platform {
namespace {

Services MakeLinuxServices() {
    Services s;
#define OMBREL_FILL(name, parameters, arguments) s.name = lx::name;
    OMBREL_SYSTEM_SERVICES(OMBREL_FILL)
#undef OMBREL_FILL
    return s;
}

} // namespace

const Services& LinuxServices() {
    static const Services services = MakeLinuxServices();
    return services;
}

Services& ActiveServices() {
    static Services services = LinuxServices();
    return services;
}

ProcRootOverride::ProcRootOverride(std::string root) : saved_(ReplaceProcRoot(std::move(root))) {}

ProcRootOverride::~ProcRootOverride() {
    ReplaceProcRoot(std::move(saved_));
}

OwnerHelperOverride::OwnerHelperOverride(std::string path, int timeoutMs) {
    OwnerHelperSetting saved = ReplaceOwnerHelperSetting({std::move(path), timeoutMs, true});
    saved_path_ = std::move(saved.path);
    saved_timeout_ = saved.timeoutMs;
    saved_overridden_ = saved.overridden;
}

OwnerHelperOverride::~OwnerHelperOverride() {
    ReplaceOwnerHelperSetting({std::move(saved_path_), saved_timeout_, saved_overridden_});
}

} // namespace ombrel::platform

// The Win32 names: each calls its entry of the table. A definition that
// does not match the Win32 header's declaration is a new overload, and the
// header's name stays undefined: the link fails.
#define OMBREL_FORWARD(name, parameters, arguments)                                                \
    ombrel::platform::ServiceResult<decltype(::name)> WINAPI name parameters {                     \
        return ombrel::platform::ActiveServices().name arguments;                                  \
    }
OMBREL_SYSTEM_SERVICES(OMBREL_FORWARD)
#undef OMBREL_FORWARD

int WINAPI WSAGetLastError() {
    return static_cast<int>(GetLastError());
}
