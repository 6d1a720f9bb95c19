#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/fd.h"
#include "base/regular_file.h"
#include "current_refresh.h"
#include "metadata/appstream.h"
#include "metadata/dpkg.h"
#include "metadata/icon_theme.h"
#include "pe_resource.h"
#include "provisions.h"
#include "refresh/refresh_context.h"
#include "version_block.h"
#include "win32_error.h"

namespace ombrel::platform {
namespace {

constexpr uint32_t kEnglishUtf8 = 0x0409u | (65001u << 16); // U.S. English, UTF-8

uint16_t RootLength(const void* block) {
    const auto* bytes = static_cast<const uint8_t*>(block);
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

// A package's metadata in the shape of a program's own version resource.
VersionNode PackageVersion(const PackageInfo& package) {
    std::vector<unsigned> numbers = VersionNumbers(package.version);
    VS_FIXEDFILEINFO fixed{};
    fixed.dwSignature = VS_FFI_SIGNATURE;
    fixed.dwStrucVersion = VS_FFI_STRUCVERSION;
    fixed.dwFileVersionMS = numbers[0] << 16 | numbers[1];
    fixed.dwFileVersionLS = numbers[2] << 16 | numbers[3];
    fixed.dwProductVersionMS = fixed.dwFileVersionMS;
    fixed.dwProductVersionLS = fixed.dwFileVersionLS;
    fixed.dwFileFlagsMask = 0x3F;
    fixed.dwFileType = VFT_APP;
    return MakeVersionRoot(fixed, {kEnglishUtf8},
                           {{"CompanyName", package.maintainer},
                            {"FileDescription", package.description},
                            {"FileVersion", package.version},
                            {"ProductName", package.name},
                            {"ProductVersion", package.version}});
}

// What a program's own root says of it: the package that owns it there,
// else the metadata of the application whose desktop entry starts it.
std::optional<PackageInfo> OwnRootsWord(const ProcessRootFiles& root, const std::string& path) {
    if (auto package = FindPackageOwner(root, root.Key(), path))
        return package;
    return FindAppStream(root, DesktopEntryIdIn(root, path));
}

// The block the version services hand out for a file, or nullopt with the
// last error set.
std::optional<std::vector<uint8_t>> VersionBlockOf(LPCSTR fileName) {
    if (fileName == nullptr || fileName[0] == '\0') {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return std::nullopt;
    }
    struct stat info {};
    UniqueFd fd;
    // The file's own path, by which the package database names it, found
    // as it was opened and never resolved again; or the process's own root.
    std::string ownPath;
    std::unique_ptr<ProcessRootFiles> ownRoot;
    if (const BoundProgram* bound = BoundProgramFile(CurrentRefreshContext(), fileName)) {
        // A program's own file: the one with its identity, or none.
        ProgramFilePlace place = ProgramFilePlace::None;
        const UniqueFd& file = OpenBoundFile(*bound, &place);
        if (!file) {
            SetLastError(bound->error == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
            return std::nullopt;
        }
        fd = ReopenRegular(file, O_RDONLY, &info);
        if (place == ProgramFilePlace::Here)
            ownPath = OwnPathOf(*bound, KeptPlaces(CurrentRefreshContext()));
        if (place == ProgramFilePlace::ProcessRoot)
            ownRoot = OpenProcessRoot(bound->file, bound->path);
    } else if (NamesDeletedFile(fileName)) {
        errno = ENOENT; // a file planted under a deleted program's name is not it
    } else {
        fd = ReopenRegular(OpenHostPath(fileName, &ownPath), O_RDONLY, &info);
    }
    if (!fd) {
        // A file on a remote mount is not looked at: as if it were not there.
        SetLastError(errno == EREMOTE ? ERROR_FILE_NOT_FOUND
                                      : Win32FileErrorOf(errno, fileName, ERROR_ACCESS_DENIED));
        return std::nullopt;
    }
    ReadAt read = [&](uint64_t offset, void* buffer, size_t size) {
        ssize_t got = ::pread(fd.get(), buffer, size, static_cast<off_t>(offset));
        return got >= 0 && static_cast<size_t>(got) == size;
    };
    if (auto resource = ReadPeVersionResource(read, static_cast<uint64_t>(info.st_size))) {
        if (auto tree = ParseVersionResource(resource->data(), resource->size()))
            if (auto block = SerializeVersionBlock(*tree))
                return block;
    } else if (auto package = ownRoot            ? OwnRootsWord(*ownRoot, fileName)
                              : !ownPath.empty() ? FindPackageOwner(ownPath)
                                                 : std::nullopt) {
        if (auto block = SerializeVersionBlock(PackageVersion(*package)))
            return block;
    }
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND); // as for a file without a version resource
    return std::nullopt;
}

} // namespace

namespace lx {

DWORD GetFileVersionInfoSizeA(LPCSTR fileName, LPDWORD handle) {
    if (handle != nullptr)
        *handle = 0;
    auto block = VersionBlockOf(fileName);
    return block ? static_cast<DWORD>(block->size()) : 0;
}

BOOL GetFileVersionInfoA(LPCSTR fileName, DWORD, DWORD length, LPVOID data) {
    if (data == nullptr || length < 6) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto block = VersionBlockOf(fileName);
    if (!block)
        return FALSE;
    size_t copied = std::min<size_t>(length, block->size());
    std::memcpy(data, block->data(), copied);
    if (copied < block->size()) {
        // A shortened copy says so in its own length, so no walk leaves it.
        auto* bytes = static_cast<uint8_t*>(data);
        bytes[0] = static_cast<uint8_t>(copied & 0xFF);
        bytes[1] = static_cast<uint8_t>(copied >> 8);
    }
    return TRUE;
}

// A query that fails says so in a zero length too, as on the platform.
BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* buffer, UINT* length) {
    if (length != nullptr)
        *length = 0;
    if (block == nullptr || subBlock == nullptr || buffer == nullptr || length == nullptr)
        return FALSE;
    const uint8_t* value = nullptr;
    size_t valueLength = 0;
    if (!QueryVersionBlock(static_cast<const uint8_t*>(block), RootLength(block), subBlock, value,
                           valueLength))
        return FALSE;
    *buffer = const_cast<uint8_t*>(value);
    *length = static_cast<UINT>(valueLength);
    return TRUE;
}

} // namespace lx
} // namespace ombrel::platform
