#include <cerrno>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <ombrel/services.h>

#include "provisions.h"
#include "win32_error.h"
#include <ombrel/text.h>

namespace ombrel::platform {
namespace {

struct Export {
    const char* name;
    FARPROC address;
    bool hidden = false;
};

struct Module {
    const char* name;
    std::vector<Export> exports;
    bool hidden = false;
    int loads = 0;
};

// Through void (*)(), the cast between function types that is meant.
template <typename F> FARPROC AsFarProc(F* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

// The modules the program binds at run time, each exporting only what the
// program asks of it.
struct Registry {
    std::vector<Module> modules{
        {"psapi.dll", {{"GetModuleFileNameExA", AsFarProc(&::GetModuleFileNameExA)}}},
        {"iphlpapi.dll",
         {{"AllocateAndGetTcpExTableFromStack", AsFarProc(&::AllocateAndGetTcpExTableFromStack)},
          {"AllocateAndGetUdpExTableFromStack", AsFarProc(&::AllocateAndGetUdpExTableFromStack)},
          {"GetExtendedTcpTable", AsFarProc(&::GetExtendedTcpTable)},
          {"GetExtendedUdpTable", AsFarProc(&::GetExtendedUdpTable)}}},
    };
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

// "C:\\dir\\PSAPI" and "psapi.dll" name the same module.
std::string ModuleFileName(const char* name) {
    std::string file(name);
    size_t cut = file.find_last_of("\\/");
    if (cut != std::string::npos)
        file.erase(0, cut + 1);
    if (file.find('.') == std::string::npos)
        file += ".dll";
    return file;
}

Module* FindModule(Registry& registry, const char* name) {
    std::string file = ModuleFileName(name);
    for (Module& module : registry.modules)
        if (::strcasecmp(module.name, file.c_str()) == 0)
            return &module;
    return nullptr;
}

Module* FromHandle(Registry& registry, HMODULE handle) {
    for (Module& module : registry.modules)
        if (reinterpret_cast<HMODULE>(&module) == handle)
            return &module;
    return nullptr;
}

// The main program's module handle.
char mainModuleTag;

} // namespace

namespace {
// The hidden flag of a module, or of one of its exports; none when there is
// no such module or export.
bool* HiddenFlag(Registry& registry, const std::string& module, const std::string& exportName) {
    Module* found = FindModule(registry, module.c_str());
    if (found == nullptr || exportName.empty())
        return found ? &found->hidden : nullptr;
    for (Export& entry : found->exports)
        if (exportName == entry.name)
            return &entry.hidden;
    return nullptr;
}
} // namespace

HiddenModule::HiddenModule(const char* module, const char* exportName)
    : module_(module), export_(exportName ? exportName : ""), saved_(false) {
    Registry& registry = TheRegistry();
    if (bool* hidden = HiddenFlag(registry, module_, export_)) {
        saved_ = *hidden;
        *hidden = true;
    }
}

HiddenModule::~HiddenModule() {
    Registry& registry = TheRegistry();
    if (bool* hidden = HiddenFlag(registry, module_, export_))
        *hidden = saved_;
}

int ModuleLoadCount(const char* module) {
    Registry& registry = TheRegistry();
    Module* found = FindModule(registry, module);
    return found ? found->loads : 0;
}

namespace lx {

HMODULE LoadLibraryA(LPCSTR fileName) {
    Registry& registry = TheRegistry();
    Module* module = fileName ? FindModule(registry, fileName) : nullptr;
    if (module == nullptr || module->hidden) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    ++module->loads;
    return reinterpret_cast<HMODULE>(module);
}

FARPROC GetProcAddress(HMODULE handle, LPCSTR procName) {
    Registry& registry = TheRegistry();
    Module* module = FromHandle(registry, handle);
    if (module == nullptr || module->loads == 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // Names below 0x10000 are ordinals, which no export of ours has.
    if (reinterpret_cast<uintptr_t>(procName) >= 0x10000)
        for (const Export& entry : module->exports)
            if (!entry.hidden && std::strcmp(entry.name, procName) == 0)
                return entry.address;
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL FreeLibrary(HMODULE handle) {
    Registry& registry = TheRegistry();
    Module* module = FromHandle(registry, handle);
    if (module == nullptr || module->loads == 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    --module->loads;
    return TRUE;
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    if (module != nullptr && module != reinterpret_cast<HMODULE>(&mainModuleTag)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (fileName == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    char path[4096];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof path) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    std::string_view text(path, static_cast<size_t>(length));
    size_t copied = CopyText(fileName, size, text);
    if (copied < text.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    return static_cast<DWORD>(copied);
}

// Linux has no short names: the short form of a path is the path itself,
// which must exist, as on the platform.
DWORD GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD size) {
    if (longPath == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    struct stat info {};
    if (longPath[0] == '\0') {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    if (::stat(longPath, &info) != 0) {
        // Not told apart by the platform's documentation: a missing folder
        // is a missing file here, a file used as a folder a missing path.
        SetLastError(Win32ErrorOf(errno, ERROR_FILE_NOT_FOUND));
        return 0;
    }
    size_t length = std::strlen(longPath);
    if (shortPath == nullptr || length + 1 > size)
        return static_cast<DWORD>(length + 1); // the size it needs, nothing written
    std::memmove(shortPath, longPath, length + 1);
    return static_cast<DWORD>(length);
}

HMODULE GetModuleHandleA(LPCSTR moduleName) {
    if (moduleName == nullptr)
        return reinterpret_cast<HMODULE>(&mainModuleTag);
    Registry& registry = TheRegistry();
    Module* module = FindModule(registry, moduleName);
    if (module == nullptr || module->loads == 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HMODULE>(module);
}

} // namespace lx
} // namespace ombrel::platform
