// Windows sockets start-up and byte order helpers.
#pragma once

#include <arpa/inet.h>
#include <windows.h>

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128
#define SOCKET_ERROR (-1)
#define WSAEFAULT 10014
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093

typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
} WSADATA, *LPWSADATA;

int WINAPI WSAStartup(WORD versionRequested, LPWSADATA data);
int WINAPI WSACleanup();
int WINAPI WSAGetLastError();
