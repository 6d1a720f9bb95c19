// The table through which every operating-system service of this layer is
// called. Each entry starts as the Linux provision; a test replaces one at
// run time with a double (ServiceOverride) and the product code, which calls
// the Win32 names, goes through the double without being rebuilt.
//
// The layer is called from one thread: the window's GUI thread, or the only
// thread of ombrel-list and of each test. Its state takes no locks. The one
// state another context touches is the list of children to reap, which the
// SIGCHLD handler reads and writes through atomics only; the last error is
// per thread, as on the platform. A refresh reads two of its socket tables
// on a second thread that calls no service (machine_tables.cpp says what it
// touches).
#pragma once

#include <functional>
#include <string>
#include <type_traits>

#include <iphlpapi.h>
#include <psapi.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <windows.h>
#include <winsock2.h>
#include <winver.h>

#include "compartments.h"
#include "program_file.h"
#include "service_list.h"

namespace ombrel::platform {

#define OMBREL_SERVICE_MEMBER(name, parameters, arguments) std::function<decltype(::name)> name;

struct Services {
    OMBREL_SYSTEM_SERVICES(OMBREL_SERVICE_MEMBER)
};

// The window part's services; the table exists where that part is linked.
struct WindowServices {
    OMBREL_WINDOW_SERVICES(OMBREL_SERVICE_MEMBER)
};

#undef OMBREL_SERVICE_MEMBER

// The tables the Win32 names call through.
Services& ActiveServices();
WindowServices& ActiveWindowServices();
// The Linux provisions, for doubles that wrap the real service.
const Services& LinuxServices();

inline Services& ActiveTable(Services*) {
    return ActiveServices();
}
inline WindowServices& ActiveTable(WindowServices*) {
    return ActiveWindowServices();
}

// What a service returns, for the exported names that forward to the table.
template <typename Function> struct ServiceResultOf;
template <typename Result, typename... Arguments> struct ServiceResultOf<Result(Arguments...)> {
    using type = Result;
};
template <typename Function> using ServiceResult = typename ServiceResultOf<Function>::type;

// Replaces one service for the life of the object.
template <typename Signature, typename Table = Services> class ServiceOverride {
public:
    ServiceOverride(std::function<Signature> Table::*member,
                    std::type_identity_t<std::function<Signature>> fake)
        : member_(member), saved_(Active().*member) {
        Active().*member_ = std::move(fake);
    }
    ~ServiceOverride() { Active().*member_ = std::move(saved_); }
    ServiceOverride(const ServiceOverride&) = delete;
    ServiceOverride& operator=(const ServiceOverride&) = delete;

private:
    static Table& Active() { return ActiveTable(static_cast<Table*>(nullptr)); }
    std::function<Signature> Table::*member_;
    std::function<Signature> saved_;
};

// Where the process services read the kernel's process tree: "/proc",
// unless a test points them at a fixture tree for the life of a
// ProcRootOverride; a fixture tree's socket tables are read from its
// net/tcp and net/udp files.
class ProcRootOverride {
public:
    explicit ProcRootOverride(std::string root);
    ~ProcRootOverride();
    ProcRootOverride(const ProcRootOverride&) = delete;
    ProcRootOverride& operator=(const ProcRootOverride&) = delete;

private:
    std::string saved_;
};

// The owner helper the table functions run where the caller cannot read
// other users' descriptors, for the life of the object: a test's path
// (asked even where the caller could read them) and the bound on its
// silence in milliseconds (0: the layer's own, 2 s). An empty path means
// none.
class OwnerHelperOverride {
public:
    OwnerHelperOverride(std::string path, int timeoutMs = 0);
    ~OwnerHelperOverride();
    OwnerHelperOverride(const OwnerHelperOverride&) = delete;
    OwnerHelperOverride& operator=(const OwnerHelperOverride&) = delete;

private:
    std::string saved_path_;
    int saved_timeout_ = 0;
    bool saved_overridden_ = false;
};

// Hides one of the layer's own modules, or one export of it, for the life
// of the object, as on a platform version without it.
class HiddenModule {
public:
    explicit HiddenModule(const char* module, const char* exportName = nullptr);
    ~HiddenModule();
    HiddenModule(const HiddenModule&) = delete;
    HiddenModule& operator=(const HiddenModule&) = delete;

private:
    std::string module_;
    std::string export_;
    bool saved_;
};

// Loads of the module not yet balanced by FreeLibrary.
int ModuleLoadCount(const char* module);

// Socket-layer start-ups not yet balanced by a clean-up.
int SocketLayerStartCount();

} // namespace ombrel::platform
