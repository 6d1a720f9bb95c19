#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/fd.h"
#include "sockets/inet_sockets.h"

namespace ombrel::platform {

namespace {

// Sends one dump request and reads its whole reply into sockets, on diag
// where given, else on a socket of its own; on any failure nothing is added.
template <typename Request>
bool Dump(int type, const Request& request, std::vector<InetSocket>& sockets, int diag) {
    UniqueFd own(diag < 0 ? ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)
                          : -1);
    const int fd = diag < 0 ? own.get() : diag;
    if (fd < 0)
        return false;

    struct {
        nlmsghdr header;
        Request request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = static_cast<uint16_t>(type);
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = 1;
    message.request = request;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0)
        return false;

    // Large reads keep the number of system calls per socket small.
    std::vector<char> buffer(1 << 17);
    size_t first = sockets.size();
    for (;;) {
        ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        SockDiagPart part = ParseSockDiagReply(buffer.data(), static_cast<size_t>(got), sockets);
        if (part == SockDiagPart::Done)
            return true;
        if (part == SockDiagPart::Failed)
            break;
    }
    sockets.resize(first); // an incomplete dump is no dump
    return false;
}

} // namespace

bool DumpSockDiag(InetProtocol protocol, InetFamily family, std::vector<InetSocket>& sockets,
                  int diag) {
    inet_diag_req_v2 request{};
    request.sdiag_family = family == InetFamily::V6 ? AF_INET6 : AF_INET;
    request.sdiag_protocol = protocol == InetProtocol::Tcp ? IPPROTO_TCP : IPPROTO_UDP;
    request.idiag_states = ~0u; // every state, TIME_WAIT and request sockets too
    return Dump(SOCK_DIAG_BY_FAMILY, request, sockets, diag);
}

bool DumpTcpBothFamilies(std::vector<InetSocket>& sockets, int diag) {
    // The older request walks the TCP tables for every family at once.
    inet_diag_req request{};
    request.idiag_family = AF_INET;
    request.idiag_states = ~0u;
    return Dump(TCPDIAG_GETSOCK, request, sockets, diag);
}

SockDiagPart ParseSockDiagReply(const char* data, size_t size, std::vector<InetSocket>& sockets) {
    // Every length is checked against what was received before it is used;
    // headers are copied out, since a datagram owes us no alignment.
    size_t at = 0;
    while (size - at >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        std::memcpy(&header, data + at, sizeof header);
        if (header.nlmsg_len < sizeof header || header.nlmsg_len > size - at)
            return SockDiagPart::Failed;
        if (header.nlmsg_type == NLMSG_DONE)
            return SockDiagPart::Done;
        if (header.nlmsg_type == NLMSG_ERROR)
            return SockDiagPart::Failed;
        if (header.nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            inet_diag_msg diag;
            std::memcpy(&diag, data + at + NLMSG_HDRLEN, sizeof diag);
            InetSocket socket;
            socket.state = diag.idiag_state;
            socket.localPort = diag.id.idiag_sport;
            socket.remotePort = diag.id.idiag_dport;
            socket.inode = diag.idiag_inode;
            socket.uid = diag.idiag_uid;
            if (diag.idiag_family == AF_INET6) {
                socket.v6 = true;
                std::memcpy(socket.local6.data(), diag.id.idiag_src, 16);
                std::memcpy(socket.remote6.data(), diag.id.idiag_dst, 16);
                socket.interface = diag.id.idiag_if;
            } else {
                socket.localAddr = diag.id.idiag_src[0];
                socket.remoteAddr = diag.id.idiag_dst[0];
            }
            sockets.push_back(socket);
        }
        // Messages are padded to four bytes; the last one may not be.
        at += std::min<size_t>(NLMSG_ALIGN(header.nlmsg_len), size - at);
    }
    return at == size ? SockDiagPart::More : SockDiagPart::Failed;
}

} // namespace ombrel::platform
