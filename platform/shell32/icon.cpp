#include <atomic>
#include <sys/stat.h>

#include <ombrel/icons.h>

#include "../core/handles.h"
#include "../core/provisions.h"
#include "../user32/icon_object.h"
#include "icon_index.h"

namespace ombrel::platform {
namespace {

std::atomic<size_t>& LiveIcons() {
    static std::atomic<size_t> count{0};
    return count;
}

} // namespace

std::string IconSourceFile(HICON icon) {
    auto* object = LookupHandle<IconObject>(reinterpret_cast<HANDLE>(icon));
    return object ? object->source : std::string();
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
    HANDLE handle = InsertHandle(std::make_unique<IconObject>(ProgramIconFile(path), false));
    ++LiveIcons();
    info->hIcon = reinterpret_cast<HICON>(handle);
    info->iIcon = 0;
    return 1;
}

BOOL DestroyIcon(HICON icon) {
    HANDLE handle = reinterpret_cast<HANDLE>(icon);
    IconObject* object = LookupHandle<IconObject>(handle);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (object->shared)
        return TRUE; // standard and resource icons live as long as the program
    RemoveHandle(handle);
    --LiveIcons();
    return TRUE;
}

} // namespace lx
} // namespace ombrel::platform
