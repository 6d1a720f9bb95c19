#include <algorithm>
#include <arpa/inet.h>
#include <cstddef>
#include <string>
#include <tuple>
#include <vector>

#include <ombrel/services.h>

#include "../core/provisions.h"
#include "../core/scope_memo.h"
#include "../linux/inet_sockets.h"

namespace ombrel::platform {

// The kernel's TCP states (include/net/tcp_states.h) in the platform's
// 1..12 numbering. A request socket (NEW_SYN_RECV) is a connection in
// SYN_RCVD; a bound socket that neither listens nor connects is CLOSED.
DWORD MibTcpState(uint8_t linuxState) {
    switch (linuxState) {
    case 1:
        return MIB_TCP_STATE_ESTAB;
    case 2:
        return MIB_TCP_STATE_SYN_SENT;
    case 3:
        return MIB_TCP_STATE_SYN_RCVD;
    case 4:
        return MIB_TCP_STATE_FIN_WAIT1;
    case 5:
        return MIB_TCP_STATE_FIN_WAIT2;
    case 6:
        return MIB_TCP_STATE_TIME_WAIT;
    case 7:
        return MIB_TCP_STATE_CLOSED;
    case 8:
        return MIB_TCP_STATE_CLOSE_WAIT;
    case 9:
        return MIB_TCP_STATE_LAST_ACK;
    case 10:
        return MIB_TCP_STATE_LISTEN;
    case 11:
        return MIB_TCP_STATE_CLOSING;
    case 12:
        return MIB_TCP_STATE_SYN_RCVD;
    default:
        return MIB_TCP_STATE_CLOSED;
    }
}

namespace {

struct Collected {
    std::vector<InetSocket> sockets;
    std::vector<uint32_t> owners;
};

// The descriptor scan costs more than both socket dumps together, and a
// refresh reads the UDP table right after the TCP one. So within a refresh
// scope the TCP call dumps both, finds the owners of both in one scan, and
// leaves the UDP half for the UDP call of the same scope; outside a scope,
// and after it ends, every call reads its own table afresh.
struct UdpStash {
    Collected collected;
    std::string root;
    bool full = false;
};

UdpStash& Stash() {
    static UdpStash stash;
    return stash;
}

void ForgetStashedUdp() {
    UdpStash& stash = Stash();
    stash.full = false;
    stash.collected = {};
}

DWORD CollectTcpAndUdp(Collected& tcp) {
    UdpStash& stash = Stash();
    stash.full = false;
    const std::string& root = ProcRoot();
    std::vector<InetSocket> all;
    if (!ReadInetSockets(root, ProcRootIsLive(), InetProtocol::Tcp, all))
        return ERROR_NOT_SUPPORTED;
    size_t tcpCount = all.size();
    bool haveUdp =
        InRefreshScope() && ReadInetSockets(root, ProcRootIsLive(), InetProtocol::Udp, all);
    std::vector<uint32_t> owners;
    FindSocketOwners(root, all, owners);
    tcp.sockets.assign(all.begin(), all.begin() + static_cast<ptrdiff_t>(tcpCount));
    tcp.owners.assign(owners.begin(), owners.begin() + static_cast<ptrdiff_t>(tcpCount));
    if (haveUdp) {
        stash.collected.sockets.assign(all.begin() + static_cast<ptrdiff_t>(tcpCount), all.end());
        stash.collected.owners.assign(owners.begin() + static_cast<ptrdiff_t>(tcpCount),
                                      owners.end());
        stash.root = root;
        stash.full = true;
        ForgetAtScopeEnd(ForgetStashedUdp);
    }
    return ERROR_SUCCESS;
}

bool TakeStashedUdp(Collected& udp) {
    UdpStash& stash = Stash();
    if (!stash.full || stash.root != ProcRoot() || !InRefreshScope())
        return false;
    udp = std::move(stash.collected);
    stash.full = false;
    return true;
}

// The owners come with the sockets; sorting moves them together.
void SortCollected(Collected& collected) {
    std::vector<size_t> order(collected.sockets.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    auto key = [&](size_t i) {
        const InetSocket& s = collected.sockets[i];
        return std::tuple(ntohl(s.localAddr), ntohs(s.localPort), ntohl(s.remoteAddr),
                          ntohs(s.remotePort));
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return key(a) < key(b); });
    Collected sorted;
    sorted.sockets.reserve(order.size());
    sorted.owners.reserve(order.size());
    for (size_t i : order) {
        sorted.sockets.push_back(collected.sockets[i]);
        sorted.owners.push_back(collected.owners[i]);
    }
    collected = std::move(sorted);
}

DWORD Collect(InetProtocol protocol, BOOL order, Collected& out) {
    if (protocol == InetProtocol::Tcp) {
        if (DWORD error = CollectTcpAndUdp(out); error != ERROR_SUCCESS)
            return error;
    } else if (!TakeStashedUdp(out)) {
        if (!ReadInetSockets(ProcRoot(), ProcRootIsLive(), protocol, out.sockets))
            return ERROR_NOT_SUPPORTED;
        FindSocketOwners(ProcRoot(), out.sockets, out.owners);
    }
    if (order)
        SortCollected(out);
    return ERROR_SUCCESS;
}

template <typename Table, typename Row, typename FillRow>
DWORD AllocateTable(PVOID* table, BOOL order, HANDLE heap, DWORD flags, DWORD family,
                    InetProtocol protocol, FillRow fill) {
    if (table == nullptr || family != AF_INET_FAMILY)
        return ERROR_INVALID_PARAMETER; // only IPv4
    Collected collected;
    if (DWORD error = Collect(protocol, order, collected); error != ERROR_SUCCESS)
        return error;
    size_t count = collected.sockets.size();
    size_t bytes = offsetof(Table, table) + std::max<size_t>(count, 1) * sizeof(Row);
    auto* result = static_cast<Table*>(::HeapAlloc(heap, flags, bytes));
    if (result == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    result->dwNumEntries = static_cast<DWORD>(count);
    Row* rows = result->table; // rows run past the declared one-element array
    for (size_t i = 0; i < count; ++i)
        fill(rows[i], collected.sockets[i], collected.owners[i]);
    *table = result;
    return ERROR_SUCCESS;
}

} // namespace

namespace lx {

DWORD AllocateAndGetTcpExTableFromStack(PVOID* table, BOOL order, HANDLE heap, DWORD flags,
                                        DWORD family) {
    return AllocateTable<MIB_TCPEXTABLE, MIB_TCPROW_EX>(
        table, order, heap, flags, family, InetProtocol::Tcp,
        [](MIB_TCPROW_EX& row, const InetSocket& socket, uint32_t owner) {
            row.dwState = MibTcpState(socket.state);
            row.dwLocalAddr = socket.localAddr;
            row.dwLocalPort = socket.localPort;
            row.dwRemoteAddr = socket.remoteAddr;
            row.dwRemotePort = socket.remotePort;
            row.dwProcessId = owner;
        });
}

DWORD AllocateAndGetUdpExTableFromStack(PVOID* table, BOOL order, HANDLE heap, DWORD flags,
                                        DWORD family) {
    return AllocateTable<MIB_UDPEXTABLE, MIB_UDPROW_EX>(
        table, order, heap, flags, family, InetProtocol::Udp,
        [](MIB_UDPROW_EX& row, const InetSocket& socket, uint32_t owner) {
            row.dwLocalAddr = socket.localAddr;
            row.dwLocalPort = socket.localPort;
            row.dwProcessId = owner;
        });
}

} // namespace lx
} // namespace ombrel::platform
