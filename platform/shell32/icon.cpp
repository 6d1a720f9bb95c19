#include <cerrno>
#include <optional>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include <ombrel/icons.h>

#include "base/regular_file.h"
#include "current_refresh.h"
#include "handles.h"
#include "icon_object.h"
#include "provisions.h"
#include "refresh/refresh_context.h"

namespace ombrel::platform {
namespace {

size_t& LiveIcons() {
    static size_t count = 0;
    return count;
}

// The path of the file at path, its links followed, when there is one; as
// written from where a mount that may not answer begins (nothing there is
// looked at, the file is taken as there). Not remembered: the file a link
// names may change from one look-up to the next.
std::optional<std::string> OwnPathOfFileAt(const char* path) {
    // A file planted under the kernel's text for a deleted program is not
    // the program.
    if (NamesDeletedFile(path))
        return std::nullopt;
    std::string own;
    UniqueFd found = OpenHostPath(path, &own);
    if (!found && errno != EREMOTE)
        return std::nullopt;
    return own;
}

// One image read from a process's own root; no icon is larger.
constexpr size_t kMaxIconImage = size_t{4} << 20;

// The icon a desktop entry of the process's own root names for its program,
// held; else the generic program icon.
std::string RootedIconSource(RefreshContext& refresh, const BoundProgram& bound) {
    const ProgramIdentity& file = bound.file;
    auto key = std::tuple(file.device, file.inode, file.processStart, file.processId, bound.path);
    const bool remember = Refreshing(&refresh) != nullptr;
    if (auto found = refresh.rootedIcons.find(key); remember && found != refresh.rootedIcons.end())
        return found->second;
    std::string source;
    if (std::unique_ptr<ProcessRootFiles> root = OpenProcessRoot(file, bound.path)) {
        std::string icon = ProgramIconFileIn(*root, root->Key(), bound.path, KeptIcons(&refresh));
        size_t dot = icon.rfind('.');
        if (auto image = icon.empty() ? std::nullopt : root->Read(icon, kMaxIconImage))
            source = HoldIconImage(std::move(*image),
                                   dot == std::string::npos ? "" : icon.substr(dot + 1));
    }
    if (source.empty())
        source = GenericProgramIconFile(KeptIcons(&refresh));
    if (remember)
        refresh.rootedIcons.emplace(std::move(key), source);
    return source;
}

} // namespace

std::string IconSourceFile(HICON icon) {
    auto* object = LookupHandle<IconObject>(reinterpret_cast<HANDLE>(icon));
    return object ? object->source : std::string();
}

size_t IconCount() {
    return LiveIcons();
}

void ResetShellIconIndex() {
    if (RefreshContext* refresh = CurrentRefreshContext())
        refresh->icons.Reset();
    ForgetDesktopIconIndex();
}

namespace lx {

// Only the small-icon query the program makes is provided: an existing file
// gets a new icon handle that the caller owns; a missing file gets none.
DWORD_PTR SHGetFileInfoA(LPCSTR path, DWORD, SHFILEINFOA* info, UINT infoSize, UINT flags) {
    if (path == nullptr || path[0] == '\0' || info == nullptr || infoSize < sizeof(SHFILEINFOA) ||
        !(flags & SHGFI_ICON))
        return 0;
    std::string source;
    RefreshContext* refresh = CurrentRefreshContext();
    if (const BoundProgram* bound = BoundProgramFile(refresh, path)) {
        // A program's own file: the desktop's entries name programs by
        // path, so they speak of it only where that path is the file, and
        // those of its own root only there (an offline one is not known).
        // Its path is never resolved again: a file swapped for a link since
        // it was walked lends it nothing.
        // A binding is made only within a refresh, which it is found by.
        ProgramFilePlace place = PlaceOf(*bound, KeptPlaces(refresh));
        if (place == ProgramFilePlace::None)
            return 0;
        std::string own =
            place == ProgramFilePlace::Here ? OwnPathOf(*bound, KeptPlaces(refresh)) : "";
        source = place == ProgramFilePlace::ProcessRoot ? RootedIconSource(*refresh, *bound)
                 : !own.empty()                         ? ProgramIconFile(own, KeptIcons(refresh))
                                : GenericProgramIconFile(KeptIcons(refresh));
    } else if (std::optional<std::string> own = OwnPathOfFileAt(path)) {
        source = ProgramIconFile(*own, KeptIcons(refresh));
    } else {
        return 0;
    }
    HANDLE handle = InsertHandle(std::make_unique<IconObject>(source, false));
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
