// Feeds arbitrary datagrams to the sock_diag reply parser, as the kernel's
// answer to a socket dump.
#include <cstdint>

#include "platform/linux/sockets/inet_sockets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<ombrel::platform::InetSocket> sockets;
    ombrel::platform::ParseSockDiagReply(reinterpret_cast<const char*>(data), size, sockets);
    return 0;
}
