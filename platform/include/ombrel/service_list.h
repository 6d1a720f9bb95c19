// Every operating-system service that the layer provides through its
// tables, once: X(name, (parameters), (arguments)). The Win32 headers
// declare each name as the platform does; the tables, the Linux provisions'
// declarations and the exported names that call through the tables are
// all made from these lists, so a service is added in one line here. Two are
// the layer's own (GetProgramFile, in <ombrel/program_file.h>, and
// GetNetworkCompartments, in <ombrel/compartments.h>).
#pragma once

// The system part, without Qt.
#define OMBREL_SYSTEM_SERVICES(X)                                                                  \
    X(GetVersionExA, (LPOSVERSIONINFOA info), (info))                                              \
    X(OpenProcessToken, (HANDLE process, DWORD access, PHANDLE token), (process, access, token))   \
    X(LookupPrivilegeValueA, (LPCSTR system, LPCSTR name, PLUID luid), (system, name, luid))       \
    X(AdjustTokenPrivileges,                                                                       \
      (HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD length,                       \
       PTOKEN_PRIVILEGES previous, LPDWORD returned),                                              \
      (token, disableAll, state, length, previous, returned))                                      \
    X(LoadLibraryA, (LPCSTR name), (name))                                                         \
    X(GetProcAddress, (HMODULE module, LPCSTR name), (module, name))                               \
    X(FreeLibrary, (HMODULE module), (module))                                                     \
    X(GetModuleHandleA, (LPCSTR name), (name))                                                     \
    X(AllocateAndGetTcpExTableFromStack,                                                           \
      (PVOID * table, BOOL order, HANDLE heap, DWORD flags, DWORD family),                         \
      (table, order, heap, flags, family))                                                         \
    X(AllocateAndGetUdpExTableFromStack,                                                           \
      (PVOID * table, BOOL order, HANDLE heap, DWORD flags, DWORD family),                         \
      (table, order, heap, flags, family))                                                         \
    X(GetExtendedTcpTable,                                                                         \
      (PVOID table, PDWORD size, BOOL order, ULONG family, TCP_TABLE_CLASS tableClass,             \
       ULONG reserved),                                                                            \
      (table, size, order, family, tableClass, reserved))                                          \
    X(GetExtendedUdpTable,                                                                         \
      (PVOID table, PDWORD size, BOOL order, ULONG family, UDP_TABLE_CLASS tableClass,             \
       ULONG reserved),                                                                            \
      (table, size, order, family, tableClass, reserved))                                          \
    X(GetCurrentThreadCompartmentId, (), ())                                                       \
    X(SetCurrentThreadCompartmentId, (NET_IF_COMPARTMENT_ID compartment), (compartment))           \
    X(GetNetworkCompartments, (ombrel::platform::NetworkCompartment * compartments, PDWORD count), \
      (compartments, count))                                                                       \
    X(GetProcessHeap, (), ())                                                                      \
    X(HeapAlloc, (HANDLE heap, DWORD flags, SIZE_T bytes), (heap, flags, bytes))                   \
    X(HeapFree, (HANDLE heap, DWORD flags, LPVOID memory), (heap, flags, memory))                  \
    X(WSAStartup, (WORD version, LPWSADATA data), (version, data))                                 \
    X(WSACleanup, (), ())                                                                          \
    X(OpenProcess, (DWORD access, BOOL inherit, DWORD id), (access, inherit, id))                  \
    X(CloseHandle, (HANDLE object), (object))                                                      \
    X(GetCurrentProcess, (), ())                                                                   \
    X(GetModuleFileNameExA, (HANDLE process, HMODULE module, LPSTR name, DWORD size),              \
      (process, module, name, size))                                                               \
    X(GetProgramFile, (HANDLE process, ombrel::platform::ProgramFile * file), (process, file))     \
    X(CreateToolhelp32Snapshot, (DWORD flags, DWORD id), (flags, id))                              \
    X(Process32First, (HANDLE snapshot, LPPROCESSENTRY32 entry), (snapshot, entry))                \
    X(Process32Next, (HANDLE snapshot, LPPROCESSENTRY32 entry), (snapshot, entry))                 \
    X(SHGetFileInfoA,                                                                              \
      (LPCSTR path, DWORD attributes, SHFILEINFOA * info, UINT infoSize, UINT flags),              \
      (path, attributes, info, infoSize, flags))                                                   \
    X(DestroyIcon, (HICON icon), (icon))                                                           \
    X(CreateFileA,                                                                                 \
      (LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,  \
       DWORD attributes, HANDLE templateFile),                                                     \
      (name, access, share, security, disposition, attributes, templateFile))                      \
    X(FindFirstFileA, (LPCSTR name, LPWIN32_FIND_DATAA data), (name, data))                        \
    X(FindClose, (HANDLE find), (find))                                                            \
    X(GetSystemDirectoryA, (LPSTR buffer, UINT size), (buffer, size))                              \
    X(GetModuleFileNameA, (HMODULE module, LPSTR name, DWORD size), (module, name, size))          \
    X(GetShortPathNameA, (LPCSTR longPath, LPSTR shortPath, DWORD size),                           \
      (longPath, shortPath, size))                                                                 \
    X(CreateProcessA,                                                                              \
      (LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,             \
       LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags, LPVOID environment,      \
       LPCSTR directory, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION information),               \
      (application, commandLine, processAttributes, threadAttributes, inherit, flags, environment, \
       directory, startup, information))                                                           \
    X(ShellExecuteA,                                                                               \
      (HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory, int show),       \
      (owner, verb, file, parameters, directory, show))                                            \
    X(MessageBoxA, (HWND owner, LPCSTR text, LPCSTR caption, UINT type),                           \
      (owner, text, caption, type))                                                                \
    X(LoadStringA, (HINSTANCE instance, UINT id, LPSTR buffer, int size),                          \
      (instance, id, buffer, size))                                                                \
    X(GetFileVersionInfoSizeA, (LPCSTR name, LPDWORD handle), (name, handle))                      \
    X(GetFileVersionInfoA, (LPCSTR name, DWORD handle, DWORD length, LPVOID data),                 \
      (name, handle, length, data))                                                                \
    X(VerQueryValueA, (LPCVOID block, LPCSTR path, LPVOID * buffer, UINT * length),                \
      (block, path, buffer, length))

// The window part, on Qt: what needs the program's artwork.
#define OMBREL_WINDOW_SERVICES(X) X(LoadIconA, (HINSTANCE instance, LPCSTR name), (instance, name))
