#include "commands.h"

#include <cstring>

#include <shellapi.h>

#include <ombrel/conventions.h>
#include <ombrel/owned.h>

int IsNtPlatform() {
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT ? 1 : 0;
}

int LaunchProcess(const char* programPath, char* commandLine, int showCommand) {
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.wShowWindow = LOWORD(showCommand); // STARTF_USESHOWWINDOW stays unset
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof process);
    BOOL created = CreateProcessA(programPath, commandLine, nullptr, nullptr, FALSE, 0, nullptr,
                                  nullptr, &startup, &process);
    // Nothing waits for the program: both handles go, the thread's first.
    ombrel::UniqueHandle processHandle(process.hProcess);
    ombrel::UniqueHandle threadHandle(process.hThread);
    return created;
}

int RunProgram(const char* programPath, char* commandLine, int showCommand) {
    if (IsNtPlatform())
        LaunchProcess(programPath, commandLine, showCommand);
    else
        ShellExecuteA(nullptr, "open", programPath, commandLine, nullptr, showCommand);
    return 1;
}

void GetModuleDirectory(HINSTANCE moduleHandle, char* directory, int capacity) {
    if (directory == nullptr || capacity <= 0)
        return;
    GetModuleFileNameA(moduleHandle, directory, static_cast<DWORD>(capacity));
    directory[capacity - 1] = '\0';
    // The directory keeps its trailing separator.
    if (char* last = std::strrchr(directory, ombrel::platform::kPathSeparator))
        last[1] = '\0';
    GetShortPathNameA(directory, directory, static_cast<DWORD>(capacity));
}
