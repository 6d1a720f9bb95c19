#include <cstring>

#include <ombrel/services.h>

#include "provisions.h"
#include <ombrel/text.h>

namespace ombrel::platform {
namespace {
int startCount = 0;
constexpr WORD highestVersion = MAKEWORD(2, 2);
} // namespace

int SocketLayerStartCount() {
    return startCount;
}

namespace lx {

// Linux sockets need no start-up; the layer counts start-ups so that an
// unbalanced clean-up is reported as the platform reports it.
int WSAStartup(WORD versionRequested, LPWSADATA data) {
    if (data == nullptr)
        return WSAEFAULT;
    BYTE major = LOBYTE(versionRequested);
    BYTE minor = HIBYTE(versionRequested);
    std::memset(data, 0, sizeof *data);
    data->wHighVersion = highestVersion;
    CopyText(data->szDescription, sizeof data->szDescription, "Ombrel sockets");
    if (major < 1 || (major == 1 && minor < 1)) {
        data->wVersion = highestVersion;
        return WSAVERNOTSUPPORTED;
    }
    data->wVersion = (major > 2 || (major == 2 && minor > 2)) ? highestVersion : versionRequested;
    CopyText(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
    data->iMaxSockets = 32767;
    data->iMaxUdpDg = 65467;
    ++startCount;
    return 0;
}

int WSACleanup() {
    if (startCount <= 0) {
        SetLastError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    --startCount;
    return 0;
}

} // namespace lx
} // namespace ombrel::platform
