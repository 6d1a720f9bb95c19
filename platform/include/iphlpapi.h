// IP helper: the extended TCP and UDP tables with owning process ids.
#pragma once

#include <windows.h>

// if_indextoname: the platform's netioapi gives it under the same name and
// meaning as the C library here.
#include <net/if.h>

#define AF_INET_FAMILY 2u
#define AF_INET6_FAMILY 23u

#define MIB_TCP_STATE_CLOSED 1u
#define MIB_TCP_STATE_LISTEN 2u
#define MIB_TCP_STATE_SYN_SENT 3u
#define MIB_TCP_STATE_SYN_RCVD 4u
#define MIB_TCP_STATE_ESTAB 5u
#define MIB_TCP_STATE_FIN_WAIT1 6u
#define MIB_TCP_STATE_FIN_WAIT2 7u
#define MIB_TCP_STATE_CLOSE_WAIT 8u
#define MIB_TCP_STATE_CLOSING 9u
#define MIB_TCP_STATE_LAST_ACK 10u
#define MIB_TCP_STATE_TIME_WAIT 11u
#define MIB_TCP_STATE_DELETE_TCB 12u

// Addresses in network byte order; ports in network byte order in the low
// 16 bits of their value.
typedef struct _MIB_TCPROW_EX {
    DWORD dwState;
    DWORD dwLocalAddr;
    DWORD dwLocalPort;
    DWORD dwRemoteAddr;
    DWORD dwRemotePort;
    DWORD dwProcessId;
} MIB_TCPROW_EX, *PMIB_TCPROW_EX;

typedef struct _MIB_TCPEXTABLE {
    DWORD dwNumEntries;
    MIB_TCPROW_EX table[1];
} MIB_TCPEXTABLE, *PMIB_TCPEXTABLE;

typedef struct _MIB_UDPROW_EX {
    DWORD dwLocalAddr;
    DWORD dwLocalPort;
    DWORD dwProcessId;
} MIB_UDPROW_EX, *PMIB_UDPROW_EX;

typedef struct _MIB_UDPEXTABLE {
    DWORD dwNumEntries;
    MIB_UDPROW_EX table[1];
} MIB_UDPEXTABLE, *PMIB_UDPEXTABLE;

// Exported by name only; callers bind them with GetProcAddress.
typedef DWORD(WINAPI* PFNALLOCATEANDGETTCPEXTABLEFROMSTACK)(PVOID* table, BOOL order, HANDLE heap,
                                                            DWORD flags, DWORD family);
typedef DWORD(WINAPI* PFNALLOCATEANDGETUDPEXTABLEFROMSTACK)(PVOID* table, BOOL order, HANDLE heap,
                                                            DWORD flags, DWORD family);

DWORD WINAPI AllocateAndGetTcpExTableFromStack(PVOID* table, BOOL order, HANDLE heap, DWORD flags,
                                               DWORD family);
DWORD WINAPI AllocateAndGetUdpExTableFromStack(PVOID* table, BOOL order, HANDLE heap, DWORD flags,
                                               DWORD family);

// The later extended tables, each family in the classes the platform gives
// it.
typedef enum _TCP_TABLE_CLASS {
    TCP_TABLE_BASIC_LISTENER,
    TCP_TABLE_BASIC_CONNECTIONS,
    TCP_TABLE_BASIC_ALL,
    TCP_TABLE_OWNER_PID_LISTENER,
    TCP_TABLE_OWNER_PID_CONNECTIONS,
    TCP_TABLE_OWNER_PID_ALL,
    TCP_TABLE_OWNER_MODULE_LISTENER,
    TCP_TABLE_OWNER_MODULE_CONNECTIONS,
    TCP_TABLE_OWNER_MODULE_ALL
} TCP_TABLE_CLASS;

typedef enum _UDP_TABLE_CLASS {
    UDP_TABLE_BASIC,
    UDP_TABLE_OWNER_PID,
    UDP_TABLE_OWNER_MODULE
} UDP_TABLE_CLASS;

// The IPv4 rows of each class, and the IPv6 rows with module data. A
// module's timestamp and data are what the platform keeps of the program
// that bound the socket; Linux keeps neither, so they are zero.
#define TCPIP_OWNING_MODULE_SIZE 16

typedef struct _MIB_TCPROW {
    DWORD dwState;
    DWORD dwLocalAddr;
    DWORD dwLocalPort;
    DWORD dwRemoteAddr;
    DWORD dwRemotePort;
} MIB_TCPROW, *PMIB_TCPROW;

typedef struct _MIB_TCPTABLE {
    DWORD dwNumEntries;
    MIB_TCPROW table[1];
} MIB_TCPTABLE, *PMIB_TCPTABLE;

typedef struct _MIB_TCPROW_OWNER_PID {
    DWORD dwState;
    DWORD dwLocalAddr;
    DWORD dwLocalPort;
    DWORD dwRemoteAddr;
    DWORD dwRemotePort;
    DWORD dwOwningPid;
} MIB_TCPROW_OWNER_PID, *PMIB_TCPROW_OWNER_PID;

typedef struct _MIB_TCPTABLE_OWNER_PID {
    DWORD dwNumEntries;
    MIB_TCPROW_OWNER_PID table[1];
} MIB_TCPTABLE_OWNER_PID, *PMIB_TCPTABLE_OWNER_PID;

typedef struct _MIB_TCPROW_OWNER_MODULE {
    DWORD dwState;
    DWORD dwLocalAddr;
    DWORD dwLocalPort;
    DWORD dwRemoteAddr;
    DWORD dwRemotePort;
    DWORD dwOwningPid;
    LARGE_INTEGER liCreateTimestamp;
    ULONGLONG OwningModuleInfo[TCPIP_OWNING_MODULE_SIZE];
} MIB_TCPROW_OWNER_MODULE, *PMIB_TCPROW_OWNER_MODULE;

typedef struct _MIB_TCPTABLE_OWNER_MODULE {
    DWORD dwNumEntries;
    MIB_TCPROW_OWNER_MODULE table[1];
} MIB_TCPTABLE_OWNER_MODULE, *PMIB_TCPTABLE_OWNER_MODULE;

typedef struct _MIB_UDPROW {
    DWORD dwLocalAddr;
    DWORD dwLocalPort;
} MIB_UDPROW, *PMIB_UDPROW;

typedef struct _MIB_UDPTABLE {
    DWORD dwNumEntries;
    MIB_UDPROW table[1];
} MIB_UDPTABLE, *PMIB_UDPTABLE;

typedef struct _MIB_UDPROW_OWNER_PID {
    DWORD dwLocalAddr;
    DWORD dwLocalPort;
    DWORD dwOwningPid;
} MIB_UDPROW_OWNER_PID, *PMIB_UDPROW_OWNER_PID;

typedef struct _MIB_UDPTABLE_OWNER_PID {
    DWORD dwNumEntries;
    MIB_UDPROW_OWNER_PID table[1];
} MIB_UDPTABLE_OWNER_PID, *PMIB_UDPTABLE_OWNER_PID;

// dwFlags: bit 0 is the platform's SpecificPortBind.
typedef struct _MIB_UDPROW_OWNER_MODULE {
    DWORD dwLocalAddr;
    DWORD dwLocalPort;
    DWORD dwOwningPid;
    LARGE_INTEGER liCreateTimestamp;
    int dwFlags;
    ULONGLONG OwningModuleInfo[TCPIP_OWNING_MODULE_SIZE];
} MIB_UDPROW_OWNER_MODULE, *PMIB_UDPROW_OWNER_MODULE;

typedef struct _MIB_UDPTABLE_OWNER_MODULE {
    DWORD dwNumEntries;
    MIB_UDPROW_OWNER_MODULE table[1];
} MIB_UDPTABLE_OWNER_MODULE, *PMIB_UDPTABLE_OWNER_MODULE;

typedef struct _MIB_TCP6ROW_OWNER_PID {
    UCHAR ucLocalAddr[16];
    DWORD dwLocalScopeId;
    DWORD dwLocalPort;
    UCHAR ucRemoteAddr[16];
    DWORD dwRemoteScopeId;
    DWORD dwRemotePort;
    DWORD dwState;
    DWORD dwOwningPid;
} MIB_TCP6ROW_OWNER_PID, *PMIB_TCP6ROW_OWNER_PID;

typedef struct _MIB_TCP6TABLE_OWNER_PID {
    DWORD dwNumEntries;
    MIB_TCP6ROW_OWNER_PID table[1];
} MIB_TCP6TABLE_OWNER_PID, *PMIB_TCP6TABLE_OWNER_PID;

typedef struct _MIB_UDP6ROW_OWNER_PID {
    UCHAR ucLocalAddr[16];
    DWORD dwLocalScopeId;
    DWORD dwLocalPort;
    DWORD dwOwningPid;
} MIB_UDP6ROW_OWNER_PID, *PMIB_UDP6ROW_OWNER_PID;

typedef struct _MIB_UDP6TABLE_OWNER_PID {
    DWORD dwNumEntries;
    MIB_UDP6ROW_OWNER_PID table[1];
} MIB_UDP6TABLE_OWNER_PID, *PMIB_UDP6TABLE_OWNER_PID;

typedef struct _MIB_TCP6ROW_OWNER_MODULE {
    UCHAR ucLocalAddr[16];
    DWORD dwLocalScopeId;
    DWORD dwLocalPort;
    UCHAR ucRemoteAddr[16];
    DWORD dwRemoteScopeId;
    DWORD dwRemotePort;
    DWORD dwState;
    DWORD dwOwningPid;
    LARGE_INTEGER liCreateTimestamp;
    ULONGLONG OwningModuleInfo[TCPIP_OWNING_MODULE_SIZE];
} MIB_TCP6ROW_OWNER_MODULE, *PMIB_TCP6ROW_OWNER_MODULE;

typedef struct _MIB_TCP6TABLE_OWNER_MODULE {
    DWORD dwNumEntries;
    MIB_TCP6ROW_OWNER_MODULE table[1];
} MIB_TCP6TABLE_OWNER_MODULE, *PMIB_TCP6TABLE_OWNER_MODULE;

typedef struct _MIB_UDP6ROW_OWNER_MODULE {
    UCHAR ucLocalAddr[16];
    DWORD dwLocalScopeId;
    DWORD dwLocalPort;
    DWORD dwOwningPid;
    LARGE_INTEGER liCreateTimestamp;
    int dwFlags;
    ULONGLONG OwningModuleInfo[TCPIP_OWNING_MODULE_SIZE];
} MIB_UDP6ROW_OWNER_MODULE, *PMIB_UDP6ROW_OWNER_MODULE;

typedef struct _MIB_UDP6TABLE_OWNER_MODULE {
    DWORD dwNumEntries;
    MIB_UDP6ROW_OWNER_MODULE table[1];
} MIB_UDP6TABLE_OWNER_MODULE, *PMIB_UDP6TABLE_OWNER_MODULE;

// The platform's layouts, which a caller walks by these sizes.
static_assert(sizeof(MIB_TCPROW_EX) == 24 && offsetof(MIB_TCPEXTABLE, table) == 4);
static_assert(sizeof(MIB_UDPROW_EX) == 12 && offsetof(MIB_UDPEXTABLE, table) == 4);
static_assert(sizeof(MIB_TCPROW) == 20 && sizeof(MIB_TCPROW_OWNER_PID) == 24);
static_assert(sizeof(MIB_UDPROW) == 8 && sizeof(MIB_UDPROW_OWNER_PID) == 12);
static_assert(sizeof(MIB_TCPROW_OWNER_MODULE) == 160 && sizeof(MIB_UDPROW_OWNER_MODULE) == 160);
static_assert(offsetof(MIB_TCPTABLE_OWNER_MODULE, table) == 8);
static_assert(sizeof(MIB_TCP6ROW_OWNER_PID) == 56 && sizeof(MIB_UDP6ROW_OWNER_PID) == 28);
static_assert(sizeof(MIB_TCP6ROW_OWNER_MODULE) == 192 && sizeof(MIB_UDP6ROW_OWNER_MODULE) == 176);

typedef DWORD(WINAPI* PFNGETEXTENDEDTCPTABLE)(PVOID table, PDWORD size, BOOL order, ULONG family,
                                              TCP_TABLE_CLASS tableClass, ULONG reserved);
typedef DWORD(WINAPI* PFNGETEXTENDEDUDPTABLE)(PVOID table, PDWORD size, BOOL order, ULONG family,
                                              UDP_TABLE_CLASS tableClass, ULONG reserved);

// Network compartments (the platform's netioapi): the table services read
// the calling thread's. Here a compartment is a network namespace, its id
// the namespace's inode; a thread that set none reads the program's own.
typedef ULONG NET_IF_COMPARTMENT_ID;
#define NET_IF_COMPARTMENT_ID_UNSPECIFIED 0u

NET_IF_COMPARTMENT_ID WINAPI GetCurrentThreadCompartmentId();
DWORD WINAPI SetCurrentThreadCompartmentId(NET_IF_COMPARTMENT_ID compartment);

DWORD WINAPI GetExtendedTcpTable(PVOID table, PDWORD size, BOOL order, ULONG family,
                                 TCP_TABLE_CLASS tableClass, ULONG reserved);
DWORD WINAPI GetExtendedUdpTable(PVOID table, PDWORD size, BOOL order, ULONG family,
                                 UDP_TABLE_CLASS tableClass, ULONG reserved);
