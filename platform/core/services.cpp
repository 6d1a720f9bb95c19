#include <ombrel/services.h>

#include "provisions.h"

namespace ombrel::platform {
namespace {

Services MakeLinuxServices() {
    Services s;
    s.GetVersionExA = lx::GetVersionExA;
    s.OpenProcessToken = lx::OpenProcessToken;
    s.LookupPrivilegeValueA = lx::LookupPrivilegeValueA;
    s.AdjustTokenPrivileges = lx::AdjustTokenPrivileges;
    s.LoadLibraryA = lx::LoadLibraryA;
    s.GetProcAddress = lx::GetProcAddress;
    s.FreeLibrary = lx::FreeLibrary;
    s.AllocateAndGetTcpExTableFromStack = lx::AllocateAndGetTcpExTableFromStack;
    s.AllocateAndGetUdpExTableFromStack = lx::AllocateAndGetUdpExTableFromStack;
    s.GetProcessHeap = lx::GetProcessHeap;
    s.HeapAlloc = lx::HeapAlloc;
    s.HeapFree = lx::HeapFree;
    s.WSAStartup = lx::WSAStartup;
    s.WSACleanup = lx::WSACleanup;
    s.OpenProcess = lx::OpenProcess;
    s.CloseHandle = lx::CloseHandle;
    s.GetModuleFileNameExA = lx::GetModuleFileNameExA;
    s.CreateToolhelp32Snapshot = lx::CreateToolhelp32Snapshot;
    s.Process32First = lx::Process32First;
    s.Process32Next = lx::Process32Next;
    s.SHGetFileInfoA = lx::SHGetFileInfoA;
    s.DestroyIcon = lx::DestroyIcon;
    s.CreateFileA = lx::CreateFileA;
    s.FindFirstFileA = lx::FindFirstFileA;
    s.FindClose = lx::FindClose;
    s.GetSystemDirectoryA = lx::GetSystemDirectoryA;
    s.GetModuleFileNameA = lx::GetModuleFileNameA;
    s.GetShortPathNameA = lx::GetShortPathNameA;
    s.CreateProcessA = lx::CreateProcessA;
    s.ShellExecuteA = lx::ShellExecuteA;
    s.MessageBoxA = lx::MessageBoxA;
    s.GetFileVersionInfoSizeA = lx::GetFileVersionInfoSizeA;
    s.GetFileVersionInfoA = lx::GetFileVersionInfoA;
    s.VerQueryValueA = lx::VerQueryValueA;
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

} // namespace ombrel::platform

// The Win32 names.
using ombrel::platform::ActiveServices;

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
    return ActiveServices().GetVersionExA(info);
}

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token) {
    return ActiveServices().OpenProcessToken(process, desiredAccess, token);
}
BOOL WINAPI LookupPrivilegeValueA(LPCSTR systemName, LPCSTR name, PLUID luid) {
    return ActiveServices().LookupPrivilegeValueA(systemName, name, luid);
}
BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                                  DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                                  LPDWORD returnLength) {
    return ActiveServices().AdjustTokenPrivileges(token, disableAll, newState, bufferLength,
                                                  previousState, returnLength);
}

HMODULE WINAPI LoadLibraryA(LPCSTR fileName) {
    return ActiveServices().LoadLibraryA(fileName);
}
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
    return ActiveServices().GetProcAddress(module, procName);
}
BOOL WINAPI FreeLibrary(HMODULE module) {
    return ActiveServices().FreeLibrary(module);
}

DWORD WINAPI AllocateAndGetTcpExTableFromStack(PVOID* table, BOOL order, HANDLE heap, DWORD flags,
                                               DWORD family) {
    return ActiveServices().AllocateAndGetTcpExTableFromStack(table, order, heap, flags, family);
}
DWORD WINAPI AllocateAndGetUdpExTableFromStack(PVOID* table, BOOL order, HANDLE heap, DWORD flags,
                                               DWORD family) {
    return ActiveServices().AllocateAndGetUdpExTableFromStack(table, order, heap, flags, family);
}

HANDLE WINAPI GetProcessHeap() {
    return ActiveServices().GetProcessHeap();
}
LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    return ActiveServices().HeapAlloc(heap, flags, bytes);
}
BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID memory) {
    return ActiveServices().HeapFree(heap, flags, memory);
}

int WINAPI WSAStartup(WORD versionRequested, LPWSADATA data) {
    return ActiveServices().WSAStartup(versionRequested, data);
}
int WINAPI WSACleanup() {
    return ActiveServices().WSACleanup();
}
int WINAPI WSAGetLastError() {
    return static_cast<int>(GetLastError());
}

HANDLE WINAPI OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId) {
    return ActiveServices().OpenProcess(desiredAccess, inheritHandle, processId);
}
BOOL WINAPI CloseHandle(HANDLE object) {
    return ActiveServices().CloseHandle(object);
}
DWORD WINAPI GetModuleFileNameExA(HANDLE process, HMODULE module, LPSTR fileName, DWORD size) {
    return ActiveServices().GetModuleFileNameExA(process, module, fileName, size);
}

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD processId) {
    return ActiveServices().CreateToolhelp32Snapshot(flags, processId);
}
BOOL WINAPI Process32First(HANDLE snapshot, LPPROCESSENTRY32 entry) {
    return ActiveServices().Process32First(snapshot, entry);
}
BOOL WINAPI Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry) {
    return ActiveServices().Process32Next(snapshot, entry);
}

DWORD_PTR WINAPI SHGetFileInfoA(LPCSTR path, DWORD fileAttributes, SHFILEINFOA* info, UINT infoSize,
                                UINT flags) {
    return ActiveServices().SHGetFileInfoA(path, fileAttributes, info, infoSize, flags);
}
BOOL WINAPI DestroyIcon(HICON icon) {
    return ActiveServices().DestroyIcon(icon);
}

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile) {
    return ActiveServices().CreateFileA(fileName, desiredAccess, shareMode, securityAttributes,
                                        creationDisposition, flagsAndAttributes, templateFile);
}
HANDLE WINAPI FindFirstFileA(LPCSTR fileName, LPWIN32_FIND_DATAA findData) {
    return ActiveServices().FindFirstFileA(fileName, findData);
}
BOOL WINAPI FindClose(HANDLE findFile) {
    return ActiveServices().FindClose(findFile);
}
UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
    return ActiveServices().GetSystemDirectoryA(buffer, size);
}
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    return ActiveServices().GetModuleFileNameA(module, fileName, size);
}
DWORD WINAPI GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD size) {
    return ActiveServices().GetShortPathNameA(longPath, shortPath, size);
}

BOOL WINAPI CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                           LPSECURITY_ATTRIBUTES processAttributes,
                           LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                           DWORD creationFlags, LPVOID environment, LPCSTR currentDirectory,
                           LPSTARTUPINFOA startupInfo, LPPROCESS_INFORMATION processInformation) {
    return ActiveServices().CreateProcessA(
        applicationName, commandLine, processAttributes, threadAttributes, inheritHandles,
        creationFlags, environment, currentDirectory, startupInfo, processInformation);
}
HINSTANCE WINAPI ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                               LPCSTR directory, int showCommand) {
    return ActiveServices().ShellExecuteA(owner, verb, file, parameters, directory, showCommand);
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    return ActiveServices().MessageBoxA(owner, text, caption, type);
}

DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR fileName, LPDWORD handle) {
    return ActiveServices().GetFileVersionInfoSizeA(fileName, handle);
}
BOOL WINAPI GetFileVersionInfoA(LPCSTR fileName, DWORD handle, DWORD length, LPVOID data) {
    return ActiveServices().GetFileVersionInfoA(fileName, handle, length, data);
}
BOOL WINAPI VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* buffer, UINT* length) {
    return ActiveServices().VerQueryValueA(block, subBlock, buffer, length);
}
