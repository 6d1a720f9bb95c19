// The table through which every operating-system service of this layer is
// called. Each entry starts as the Linux provision; a test replaces one at
// run time with a double (ServiceOverride) and the product code, which calls
// the Win32 names, goes through the double without being rebuilt.
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

namespace ombrel::platform {

struct Services {
    std::function<BOOL(LPOSVERSIONINFOA)> GetVersionExA;

    std::function<BOOL(HANDLE, DWORD, PHANDLE)> OpenProcessToken;
    std::function<BOOL(LPCSTR, LPCSTR, PLUID)> LookupPrivilegeValueA;
    std::function<BOOL(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, LPDWORD)>
        AdjustTokenPrivileges;

    std::function<HMODULE(LPCSTR)> LoadLibraryA;
    std::function<FARPROC(HMODULE, LPCSTR)> GetProcAddress;
    std::function<BOOL(HMODULE)> FreeLibrary;

    std::function<DWORD(PVOID*, BOOL, HANDLE, DWORD, DWORD)> AllocateAndGetTcpExTableFromStack;
    std::function<DWORD(PVOID*, BOOL, HANDLE, DWORD, DWORD)> AllocateAndGetUdpExTableFromStack;

    std::function<HANDLE()> GetProcessHeap;
    std::function<LPVOID(HANDLE, DWORD, SIZE_T)> HeapAlloc;
    std::function<BOOL(HANDLE, DWORD, LPVOID)> HeapFree;

    std::function<int(WORD, LPWSADATA)> WSAStartup;
    std::function<int()> WSACleanup;

    std::function<HANDLE(DWORD, BOOL, DWORD)> OpenProcess;
    std::function<BOOL(HANDLE)> CloseHandle;
    std::function<DWORD(HANDLE, HMODULE, LPSTR, DWORD)> GetModuleFileNameExA;

    std::function<HANDLE(DWORD, DWORD)> CreateToolhelp32Snapshot;
    std::function<BOOL(HANDLE, LPPROCESSENTRY32)> Process32First;
    std::function<BOOL(HANDLE, LPPROCESSENTRY32)> Process32Next;

    std::function<DWORD_PTR(LPCSTR, DWORD, SHFILEINFOA*, UINT, UINT)> SHGetFileInfoA;
    std::function<BOOL(HICON)> DestroyIcon;

    std::function<HANDLE(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)>
        CreateFileA;
    std::function<HANDLE(LPCSTR, LPWIN32_FIND_DATAA)> FindFirstFileA;
    std::function<BOOL(HANDLE)> FindClose;
    std::function<UINT(LPSTR, UINT)> GetSystemDirectoryA;
    std::function<DWORD(HMODULE, LPSTR, DWORD)> GetModuleFileNameA;
    std::function<DWORD(LPCSTR, LPSTR, DWORD)> GetShortPathNameA;

    std::function<BOOL(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                       LPVOID, LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION)>
        CreateProcessA;
    std::function<HINSTANCE(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, int)> ShellExecuteA;

    std::function<int(HWND, LPCSTR, LPCSTR, UINT)> MessageBoxA;

    std::function<DWORD(LPCSTR, LPDWORD)> GetFileVersionInfoSizeA;
    std::function<BOOL(LPCSTR, DWORD, DWORD, LPVOID)> GetFileVersionInfoA;
    std::function<BOOL(LPCVOID, LPCSTR, LPVOID*, UINT*)> VerQueryValueA;
};

// The table the Win32 names call through.
Services& ActiveServices();
// The Linux provisions, for doubles that wrap the real service.
const Services& LinuxServices();

// Replaces one service for the life of the object.
template <typename Signature> class ServiceOverride {
public:
    ServiceOverride(std::function<Signature> Services::*member,
                    std::type_identity_t<std::function<Signature>> fake)
        : member_(member), saved_(ActiveServices().*member) {
        ActiveServices().*member_ = std::move(fake);
    }
    ~ServiceOverride() { ActiveServices().*member_ = std::move(saved_); }
    ServiceOverride(const ServiceOverride&) = delete;
    ServiceOverride& operator=(const ServiceOverride&) = delete;

private:
    std::function<Signature> Services::*member_;
    std::function<Signature> saved_;
};

// Where the process services read the kernel's process tree. "/proc" unless a
// test points them at a fixture tree; a fixture tree's socket tables are read
// from its net/tcp and net/udp files.
void SetProcRoot(std::string root);
const std::string& ProcRoot();
bool ProcRootIsLive();

// The layer's own module registry: a test can hide a module or one export.
void SetModuleHidden(const char* module, bool hidden);
void SetExportHidden(const char* module, const char* exportName, bool hidden);
// Loads of the module not yet balanced by FreeLibrary.
int ModuleLoadCount(const char* module);

// Socket-layer start-ups not yet balanced by a clean-up.
int SocketLayerStartCount();

} // namespace ombrel::platform
