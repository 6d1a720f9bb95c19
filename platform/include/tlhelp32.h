// Tool help process snapshot.
#pragma once

#include <windows.h>

#define TH32CS_SNAPPROCESS 0x00000002u

typedef struct tagPROCESSENTRY32 {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    DWORD th32DefaultHeapID; // ULONG_PTR on the 32-bit platform the record comes from
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    CHAR szExeFile[MAX_PATH];
} PROCESSENTRY32, *LPPROCESSENTRY32;
// The size a program passes in dwSize, and where it finds the name.
static_assert(sizeof(PROCESSENTRY32) == 296 && offsetof(PROCESSENTRY32, szExeFile) == 36);

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
BOOL WINAPI Process32First(HANDLE snapshot, LPPROCESSENTRY32 entry);
BOOL WINAPI Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry);
