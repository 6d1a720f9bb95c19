#include <cerrno>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fd.h"
#include "inet_sockets.h"

namespace ombrel::platform {

bool DumpSockDiag(InetProtocol protocol, std::vector<InetSocket>& sockets) {
    UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!fd)
        return false;

    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = 1;
    message.request.sdiag_family = AF_INET;
    message.request.sdiag_protocol = protocol == InetProtocol::Tcp ? IPPROTO_TCP : IPPROTO_UDP;
    message.request.idiag_states = ~0u; // every state, TIME_WAIT and request sockets too

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd.get(), &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0)
        return false;

    // Large reads keep the number of system calls per socket small.
    std::vector<char> buffer(1 << 17);
    size_t first = sockets.size();
    for (;;) {
        ssize_t got = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        size_t left = static_cast<size_t>(got);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast" // NLMSG_NEXT casts by design
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(header, left);
             header = NLMSG_NEXT(header, left)) {
            if (header->nlmsg_type == NLMSG_DONE)
                return true;
            if (header->nlmsg_type == NLMSG_ERROR)
                break;
            if (header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                continue;
            const auto* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
            InetSocket socket;
            socket.state = diag->idiag_state;
            socket.localAddr = diag->id.idiag_src[0];
            socket.localPort = diag->id.idiag_sport;
            socket.remoteAddr = diag->id.idiag_dst[0];
            socket.remotePort = diag->id.idiag_dport;
            socket.inode = diag->idiag_inode;
            sockets.push_back(socket);
        }
#pragma GCC diagnostic pop
        if (left != 0 || got == 0)
            break;
    }
    sockets.resize(first); // an incomplete dump is no dump
    return false;
}

} // namespace ombrel::platform
