#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <ombrel/conventions.h>
#include <ombrel/services.h>
#include <ombrel/text.h>

#include "current_refresh.h"
#include "provisions.h"
#include "refresh/refresh_context.h"

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

// Addresses compare as numbers by their network-order bytes.
std::tuple<int, int, int, int> Compare(const InetSocket& a, const InetSocket& b) {
    auto bytes = [](const InetSocket& s, bool local) {
        return s.v6 ? (local ? s.local6.data() : s.remote6.data())
                    : reinterpret_cast<const uint8_t*>(local ? &s.localAddr : &s.remoteAddr);
    };
    size_t length = a.v6 ? 16 : 4;
    return {std::memcmp(bytes(a, true), bytes(b, true), length),
            int{ntohs(a.localPort)} - int{ntohs(b.localPort)},
            std::memcmp(bytes(a, false), bytes(b, false), length),
            int{ntohs(a.remotePort)} - int{ntohs(b.remotePort)}};
}

// The owners come with the sockets; sorting moves them together.
void SortOwnedSockets(OwnedSockets& collected) {
    std::vector<size_t> order(collected.sockets.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return Compare(collected.sockets[a], collected.sockets[b]) < std::tuple(0, 0, 0, 0);
    });
    OwnedSockets sorted;
    sorted.sockets.reserve(order.size());
    sorted.owners.reserve(order.size());
    for (size_t i : order) {
        sorted.sockets.push_back(collected.sockets[i]);
        sorted.owners.push_back(collected.owners[i]);
    }
    collected = std::move(sorted);
}

// The compartment the calling thread reads: 0 for the program's own.
thread_local uint32_t t_compartment = 0;

DWORD Collect(size_t table, BOOL order, bool keep, OwnedSockets& out) {
    if (!ReadRefreshTable(CurrentRefreshContext(), table, t_compartment, keep, out))
        return t_compartment != 0 ? ERROR_NOT_FOUND : ERROR_NOT_SUPPORTED;
    if (order)
        SortOwnedSockets(out);
    return ERROR_SUCCESS;
}

// A table's size: the count, then its rows, at least the one declared.
template <typename Table, typename Row> size_t TableBytes(size_t count) {
    return offsetof(Table, table) + std::max<size_t>(count, 1) * sizeof(Row);
}

template <typename Table, typename FillRow>
void FillTable(Table* result, const OwnedSockets& collected, FillRow fill) {
    result->dwNumEntries = static_cast<DWORD>(collected.sockets.size());
    auto* rows = result->table; // rows run past the declared one-element array
    for (size_t i = 0; i < collected.sockets.size(); ++i)
        fill(rows[i], collected.sockets[i], collected.owners[i]);
}

template <typename Table, typename Row, typename FillRow>
DWORD AllocateTable(PVOID* table, BOOL order, HANDLE heap, DWORD flags, DWORD family, size_t which,
                    FillRow fill) {
    if (table == nullptr || (family != AF_INET_FAMILY && family != AF_INET6_FAMILY))
        return ERROR_INVALID_PARAMETER;
    if (family == AF_INET6_FAMILY)
        return ERROR_NOT_SUPPORTED; // the IPv4 pair: IPv6 has the extended tables
    OwnedSockets collected;
    if (DWORD error = Collect(which, order, false, collected); error != ERROR_SUCCESS)
        return error;
    auto* result = static_cast<Table*>(
        ::HeapAlloc(heap, flags, TableBytes<Table, Row>(collected.sockets.size())));
    if (result == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    FillTable(result, collected, fill);
    *table = result;
    return ERROR_SUCCESS;
}

// The platform's sizing protocol: the caller's buffer and its size in; the
// size needed out, with ERROR_INSUFFICIENT_BUFFER, when it is too small.
// Only the rows keep(socket) takes are given.
template <typename Table, typename Row, typename Keep, typename FillRow>
DWORD ExtendedTable(PVOID table, PDWORD size, BOOL order, size_t which, Keep keep, FillRow fill) {
    OwnedSockets collected;
    if (DWORD error = Collect(which, order, true, collected); error != ERROR_SUCCESS)
        return error;
    // The caller's own copy: the rows not taken are dropped in place.
    size_t taken = 0;
    for (size_t i = 0; i < collected.sockets.size(); ++i)
        if (keep(collected.sockets[i])) {
            collected.sockets[taken] = collected.sockets[i];
            collected.owners[taken] = collected.owners[i];
            ++taken;
        }
    collected.sockets.resize(taken);
    collected.owners.resize(taken);
    size_t bytes = TableBytes<Table, Row>(collected.sockets.size());
    if (bytes > UINT32_MAX)
        return ERROR_NOT_ENOUGH_MEMORY;
    if (table == nullptr || *size < bytes) {
        *size = static_cast<DWORD>(bytes);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    FillTable(static_cast<Table*>(table), collected, fill);
    ReleaseRefreshTable(CurrentRefreshContext(), which, t_compartment);
    return NO_ERROR;
}

// An address that means something only on one interface names it: link-local
// unicast (fe80::/10) and interface- and link-local multicast (the scope in
// the low bits of the second byte, whatever the flags); others have none.
// Where the source named no interface, the scope says it is unknown.
DWORD ScopeOf(const std::array<uint8_t, 16>& address, uint32_t interface) {
    const bool linkLocal = address[0] == 0xFE && (address[1] & 0xC0) == 0x80;
    const bool localMulticast =
        address[0] == 0xFF && ((address[1] & 0x0F) == 1 || (address[1] & 0x0F) == 2);
    if (!linkLocal && !localMulticast)
        return 0;
    return interface == kUnknownInterface ? kUnknownScopeId : interface;
}

// One row of any class: the members a row has are the ones written, the
// rest (a module's timestamp and data) stay zero.
template <typename Row> void FillRow(Row& row, const InetSocket& socket, uint32_t owner) {
    row = Row{};
    if constexpr (requires { row.ucLocalAddr; }) {
        std::memcpy(row.ucLocalAddr, socket.local6.data(), 16);
        row.dwLocalScopeId = ScopeOf(socket.local6, socket.interface);
    } else {
        row.dwLocalAddr = socket.localAddr;
    }
    row.dwLocalPort = socket.localPort;
    if constexpr (requires { row.ucRemoteAddr; }) {
        std::memcpy(row.ucRemoteAddr, socket.remote6.data(), 16);
        row.dwRemoteScopeId = ScopeOf(socket.remote6, socket.interface);
    } else if constexpr (requires { row.dwRemoteAddr; }) {
        row.dwRemoteAddr = socket.remoteAddr;
    }
    if constexpr (requires { row.dwRemotePort; })
        row.dwRemotePort = socket.remotePort;
    if constexpr (requires { row.dwState; })
        row.dwState = MibTcpState(socket.state);
    if constexpr (requires { row.dwOwningPid; })
        row.dwOwningPid = owner;
}

} // namespace

namespace lx {

NET_IF_COMPARTMENT_ID GetCurrentThreadCompartmentId() {
    return t_compartment != 0 ? t_compartment : OwnNetworkNamespace();
}

DWORD SetCurrentThreadCompartmentId(NET_IF_COMPARTMENT_ID compartment) {
    // Any id is taken: one that names no namespace the caller can read
    // makes the table services fail with ERROR_NOT_FOUND.
    t_compartment = compartment == OwnNetworkNamespace() ? 0 : compartment;
    return NO_ERROR;
}

DWORD GetNetworkCompartments(NetworkCompartment* compartments, PDWORD count) {
    if (count == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::vector<NetworkNamespace> namespaces = RefreshNamespaces(CurrentRefreshContext());
    if (namespaces.size() > UINT32_MAX)
        return ERROR_NOT_ENOUGH_MEMORY;
    auto needed = static_cast<DWORD>(namespaces.size());
    if (compartments == nullptr || *count < needed) {
        *count = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    for (size_t i = 0; i < namespaces.size(); ++i) {
        NetworkCompartment& out = compartments[i];
        out = NetworkCompartment{};
        // The program's own is the one a thread that set none reads.
        out.id = i == 0 ? OwnNetworkNamespace() : namespaces[i].inode;
        CopyText(out.kind, sizeof out.kind, namespaces[i].kind);
        CopyText(out.name, sizeof out.name, namespaces[i].name);
    }
    *count = needed;
    return NO_ERROR;
}

DWORD AllocateAndGetTcpExTableFromStack(PVOID* table, BOOL order, HANDLE heap, DWORD flags,
                                        DWORD family) {
    return AllocateTable<MIB_TCPEXTABLE, MIB_TCPROW_EX>(
        table, order, heap, flags, family, kTcp4,
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
        table, order, heap, flags, family, kUdp4,
        [](MIB_UDPROW_EX& row, const InetSocket& socket, uint32_t owner) {
            row.dwLocalAddr = socket.localAddr;
            row.dwLocalPort = socket.localPort;
            row.dwProcessId = owner;
        });
}

DWORD GetExtendedTcpTable(PVOID table, PDWORD size, BOOL order, ULONG family,
                          TCP_TABLE_CLASS tableClass, ULONG reserved) {
    auto value = static_cast<int>(tableClass);
    if (size == nullptr || reserved != 0 || value < 0 || value > TCP_TABLE_OWNER_MODULE_ALL ||
        (family != AF_INET_FAMILY && family != AF_INET6_FAMILY))
        return ERROR_INVALID_PARAMETER;
    // Three kinds of row (basic, owner pid, owner module), each for the
    // listeners, the other sockets or all of them.
    int kind = value / 3, scope = value % 3;
    auto keep = [scope](const InetSocket& socket) {
        bool listening = MibTcpState(socket.state) == MIB_TCP_STATE_LISTEN;
        return scope == 2 || listening == (scope == 0);
    };
    if (family == AF_INET_FAMILY) {
        if (kind == 0)
            return ExtendedTable<MIB_TCPTABLE, MIB_TCPROW>(table, size, order, kTcp4, keep,
                                                           FillRow<MIB_TCPROW>);
        if (kind == 1)
            return ExtendedTable<MIB_TCPTABLE_OWNER_PID, MIB_TCPROW_OWNER_PID>(
                table, size, order, kTcp4, keep, FillRow<MIB_TCPROW_OWNER_PID>);
        return ExtendedTable<MIB_TCPTABLE_OWNER_MODULE, MIB_TCPROW_OWNER_MODULE>(
            table, size, order, kTcp4, keep, FillRow<MIB_TCPROW_OWNER_MODULE>);
    }
    if (kind == 0)
        return ERROR_INVALID_PARAMETER; // the layer has no basic IPv6 rows
    if (kind == 1)
        return ExtendedTable<MIB_TCP6TABLE_OWNER_PID, MIB_TCP6ROW_OWNER_PID>(
            table, size, order, kTcp6, keep, FillRow<MIB_TCP6ROW_OWNER_PID>);
    return ExtendedTable<MIB_TCP6TABLE_OWNER_MODULE, MIB_TCP6ROW_OWNER_MODULE>(
        table, size, order, kTcp6, keep, FillRow<MIB_TCP6ROW_OWNER_MODULE>);
}

DWORD GetExtendedUdpTable(PVOID table, PDWORD size, BOOL order, ULONG family,
                          UDP_TABLE_CLASS tableClass, ULONG reserved) {
    auto kind = static_cast<int>(tableClass);
    if (size == nullptr || reserved != 0 || kind < 0 || kind > UDP_TABLE_OWNER_MODULE ||
        (family != AF_INET_FAMILY && family != AF_INET6_FAMILY))
        return ERROR_INVALID_PARAMETER;
    auto all = [](const InetSocket&) { return true; };
    if (family == AF_INET_FAMILY) {
        if (kind == UDP_TABLE_BASIC)
            return ExtendedTable<MIB_UDPTABLE, MIB_UDPROW>(table, size, order, kUdp4, all,
                                                           FillRow<MIB_UDPROW>);
        if (kind == UDP_TABLE_OWNER_PID)
            return ExtendedTable<MIB_UDPTABLE_OWNER_PID, MIB_UDPROW_OWNER_PID>(
                table, size, order, kUdp4, all, FillRow<MIB_UDPROW_OWNER_PID>);
        return ExtendedTable<MIB_UDPTABLE_OWNER_MODULE, MIB_UDPROW_OWNER_MODULE>(
            table, size, order, kUdp4, all, FillRow<MIB_UDPROW_OWNER_MODULE>);
    }
    if (kind == UDP_TABLE_BASIC)
        return ERROR_INVALID_PARAMETER; // the layer has no basic IPv6 rows
    if (kind == UDP_TABLE_OWNER_PID)
        return ExtendedTable<MIB_UDP6TABLE_OWNER_PID, MIB_UDP6ROW_OWNER_PID>(
            table, size, order, kUdp6, all, FillRow<MIB_UDP6ROW_OWNER_PID>);
    return ExtendedTable<MIB_UDP6TABLE_OWNER_MODULE, MIB_UDP6ROW_OWNER_MODULE>(
        table, size, order, kUdp6, all, FillRow<MIB_UDP6ROW_OWNER_MODULE>);
}

} // namespace lx
} // namespace ombrel::platform
