// Process status: module path of another process.
#pragma once

#include <windows.h>

DWORD WINAPI GetModuleFileNameExA(HANDLE process, HMODULE module, LPSTR fileName, DWORD size);

typedef DWORD(WINAPI* PFNGETMODULEFILENAMEEXA)(HANDLE, HMODULE, LPSTR, DWORD);
