// The Linux provisions of the Win32 services, one per exported name. The
// exported names call them through the service table (services.h).
#pragma once

#include <ombrel/services.h>

namespace ombrel::platform {

// Shows a message in a window; false where the program has none to show it
// in. The window part of the layer sets it; until then messages go to
// standard error.
using MessageBoxPresenter = bool (*)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
void SetMessageBoxPresenter(MessageBoxPresenter presenter);

} // namespace ombrel::platform

namespace ombrel::platform::lx {

BOOL GetVersionExA(LPOSVERSIONINFOA info);

BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token);
BOOL LookupPrivilegeValueA(LPCSTR systemName, LPCSTR name, PLUID luid);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                           DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                           LPDWORD returnLength);

HMODULE LoadLibraryA(LPCSTR fileName);
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
BOOL FreeLibrary(HMODULE module);

DWORD AllocateAndGetTcpExTableFromStack(PVOID* table, BOOL order, HANDLE heap, DWORD flags,
                                        DWORD family);
DWORD AllocateAndGetUdpExTableFromStack(PVOID* table, BOOL order, HANDLE heap, DWORD flags,
                                        DWORD family);

HANDLE GetProcessHeap();
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID memory);

int WSAStartup(WORD versionRequested, LPWSADATA data);
int WSACleanup();

HANDLE OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);
BOOL CloseHandle(HANDLE object);
DWORD GetModuleFileNameExA(HANDLE process, HMODULE module, LPSTR fileName, DWORD size);

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
BOOL Process32First(HANDLE snapshot, LPPROCESSENTRY32 entry);
BOOL Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry);

DWORD_PTR SHGetFileInfoA(LPCSTR path, DWORD fileAttributes, SHFILEINFOA* info, UINT infoSize,
                         UINT flags);
BOOL DestroyIcon(HICON icon);

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
HANDLE FindFirstFileA(LPCSTR fileName, LPWIN32_FIND_DATAA findData);
BOOL FindClose(HANDLE findFile);
UINT GetSystemDirectoryA(LPSTR buffer, UINT size);
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
DWORD GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD size);

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                    LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                    LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo,
                    LPPROCESS_INFORMATION processInformation);
HINSTANCE ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                        int showCommand);

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

DWORD GetFileVersionInfoSizeA(LPCSTR fileName, LPDWORD handle);
BOOL GetFileVersionInfoA(LPCSTR fileName, DWORD handle, DWORD length, LPVOID data);
BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* buffer, UINT* length);

} // namespace ombrel::platform::lx
