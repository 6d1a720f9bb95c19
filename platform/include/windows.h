// Win32 base types, records and kernel32/advapi32/user32 calls that Ombrel
// uses, provided on Linux by this layer. On Windows the platform's own
// <windows.h> is found instead and this folder is not on the include path.
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI

typedef int BOOL;
typedef uint8_t BYTE;
typedef unsigned char UCHAR;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef unsigned int UINT;
typedef char CHAR;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef void* LPVOID;
typedef void* PVOID;
typedef const void* LPCVOID;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef size_t SIZE_T;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef intptr_t LONG_PTR;
typedef intptr_t INT_PTR;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HICON__* HICON;
typedef struct HWND__* HWND;
typedef INT_PTR (*FARPROC)();
typedef uintptr_t UINT_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef struct HMENU__* HMENU;

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT;

// Right and bottom edges are outside the rectangle.
typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT;

// Colours are 0x00BBGGRR.
typedef DWORD COLORREF;

// The 64-bit value alone: the layer gives no record that reads it by halves.
typedef union _LARGE_INTEGER {
    LONGLONG QuadPart;
} LARGE_INTEGER;
#define RGB(r, g, b) static_cast<COLORREF>(((r)&0xFF) | ((g)&0xFF) << 8 | ((b)&0xFF) << 16)
#define GetRValue(c) static_cast<BYTE>((c)&0xFF)
#define GetGValue(c) static_cast<BYTE>(((c) >> 8) & 0xFF)
#define GetBValue(c) static_cast<BYTE>(((c) >> 16) & 0xFF)

#define SIZE_RESTORED 0
#define SIZE_MAXIMIZED 2

#define MAKEINTRESOURCEA(id)                                                                       \
    (reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(id))))
#define IS_INTRESOURCE(p) ((reinterpret_cast<ULONG_PTR>(p) >> 16) == 0)

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))

#define MAKEWORD(lo, hi) static_cast<WORD>(((hi)&0xFF) << 8 | ((lo)&0xFF))
#define LOBYTE(v) static_cast<BYTE>((v)&0xFF)
#define HIBYTE(v) static_cast<BYTE>(((v) >> 8) & 0xFF)
#define LOWORD(v) static_cast<WORD>((v)&0xFFFF)
#define HIWORD(v) static_cast<WORD>(((v) >> 16) & 0xFFFF)

// Error codes (winerror.h).
#define ERROR_SUCCESS 0u
#define NO_ERROR 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_BAD_LENGTH 24u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_NOT_FOUND 1168u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_NAME 123u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_PARTIAL_COPY 299u
#define ERROR_NOT_ALL_ASSIGNED 1300u
#define ERROR_NO_SUCH_PRIVILEGE 1313u

// Version query.
#define VER_PLATFORM_WIN32_NT 2u

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *LPOSVERSIONINFOA;
// The sizes a program passes in dwOSVersionInfoSize and cb.
static_assert(sizeof(OSVERSIONINFOA) == 148);

// Processes.
#define PROCESS_VM_READ 0x0010u
#define PROCESS_QUERY_INFORMATION 0x0400u
#define PROCESS_ALL_ACCESS 0x1F0FFFu

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;
static_assert(sizeof(STARTUPINFOA) == (sizeof(void*) == 4 ? 68 : 104));

#define STARTF_USESHOWWINDOW 0x00000001u

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// Heap.
#define HEAP_ZERO_MEMORY 0x00000008u

// Files.
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_OFFLINE 0x00001000u
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;

typedef struct _WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

// Privileges.
#define TOKEN_QUERY 0x0008u
#define TOKEN_ADJUST_PRIVILEGES 0x0020u
#define SE_PRIVILEGE_ENABLED 0x00000002u
#define SE_DEBUG_NAME "SeDebugPrivilege"

typedef struct _LUID {
    DWORD LowPart;
    LONG HighPart;
} LUID, *PLUID;

typedef struct _LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
} LUID_AND_ATTRIBUTES;

typedef struct _TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;

// Show commands.
#define SW_SHOWNORMAL 1
#define SW_SHOW 5

DWORD WINAPI GetLastError();
void WINAPI SetLastError(DWORD error);

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info);

BOOL WINAPI CloseHandle(HANDLE object);
HANDLE WINAPI GetCurrentProcess();
HANDLE WINAPI OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);
BOOL WINAPI CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                           LPSECURITY_ATTRIBUTES processAttributes,
                           LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                           DWORD creationFlags, LPVOID environment, LPCSTR currentDirectory,
                           LPSTARTUPINFOA startupInfo, LPPROCESS_INFORMATION processInformation);

HANDLE WINAPI GetProcessHeap();
LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID memory);

HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName);
HMODULE WINAPI LoadLibraryA(LPCSTR fileName);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
BOOL WINAPI FreeLibrary(HMODULE module);
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
DWORD WINAPI GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD size);

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile);
HANDLE WINAPI FindFirstFileA(LPCSTR fileName, LPWIN32_FIND_DATAA findData);
BOOL WINAPI FindClose(HANDLE findFile);
UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size);

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token);
BOOL WINAPI LookupPrivilegeValueA(LPCSTR systemName, LPCSTR name, PLUID luid);
BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                                  DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                                  LPDWORD returnLength);

BOOL WINAPI DestroyIcon(HICON icon);

// Windows (user32).
#define WS_CHILD 0x40000000u
#define WS_VISIBLE 0x10000000u
#define WS_BORDER 0x00800000u
#define WS_EX_DLGMODALFRAME 0x00000001u
#define WS_EX_TRANSPARENT 0x00000020u
#define WS_EX_WINDOWEDGE 0x00000100u
#define WS_EX_CLIENTEDGE 0x00000200u

typedef struct tagCREATESTRUCTA {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCSTR lpszName;
    LPCSTR lpszClass;
    DWORD dwExStyle;
} CREATESTRUCTA, CREATESTRUCT, *LPCREATESTRUCT;

#define IDI_APPLICATION MAKEINTRESOURCEA(32512)

// Resources and message boxes (user32).
#define MB_OK 0x00000000u
#define MB_ICONSTOP 0x00000010u
#define MB_ICONEXCLAMATION 0x00000030u
#define IDOK 1

int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int size);
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
// An icon resource of the program (instance given) or a standard icon (no
// instance): a shared icon, never to be destroyed.
HICON WINAPI LoadIconA(HINSTANCE instance, LPCSTR name);
