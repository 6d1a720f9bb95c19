#include <atomic>
#include <sys/stat.h>

#include <ombrel/icons.h>

#include "../core/handles.h"
#include "../core/provisions.h"
#include "icon_index.h"

namespace ombrel::platform {
namespace {

class IconObject : public KernelObject {
public:
    explicit IconObject(std::string source) : file(std::move(source)) {}
    std::string file;
};

std::atomic<size_t>& LiveIcons() {
    static std::atomic<size_t> count{0};
    return count;
}

} // namespace

std::string IconSourceFile(HICON icon) {
    auto* object = LookupHandle<IconObject>(reinterpret_cast<HANDLE>(icon));
    return object ? object->file : std::string();
}

size_t IconCount() {
    return LiveIcons().load();
}

void ResetShellIconIndex() {
    ResetIconIndex();
}

namespace lx {

// Only the small-icon query the program makes is provided: an existing file
// gets a new icon handle that the caller owns; a missing file gets none.
DWORD_PTR SHGetFileInfoA(LPCSTR path, DWORD, SHFILEINFOA* info, UINT infoSize, UINT flags) {
    if (path == nullptr || path[0] == '\0' || info == nullptr || infoSize < sizeof(SHFILEINFOA) ||
        !(flags & SHGFI_ICON))
        return 0;
    struct stat status {};
    if (::stat(path, &status) != 0)
        return 0;
    HANDLE handle = InsertHandle(std::make_unique<IconObject>(ProgramIconFile(path)));
    ++LiveIcons();
    info->hIcon = reinterpret_cast<HICON>(handle);
    info->iIcon = 0;
    return 1;
}

BOOL DestroyIcon(HICON icon) {
    HANDLE handle = reinterpret_cast<HANDLE>(icon);
    if (LookupHandle<IconObject>(handle) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    RemoveHandle(handle);
    --LiveIcons();
    return TRUE;
}

} // namespace lx
} // namespace ombrel::platform
