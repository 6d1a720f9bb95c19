// The refresh passes: endpoints from the platform's tables, then keys and
// icons, then names for the processes whose path could not be read.
#include <charconv>
#include <cstring>
#include <vector>

#include <iphlpapi.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <winsock2.h>

#include <ombrel/compartments.h>
#include <ombrel/conventions.h>
#include <ombrel/framework.h>
#include <ombrel/refresh_scope.h>
#include <ombrel/text.h>

#include "bind_function.h"
#include "port_table.h"

namespace {

constexpr DWORD kSortedRows = 1;
constexpr DWORD kHeapFlags = 2;
constexpr DWORD kAddressFamilyIPv4 = 2;
constexpr DWORD kAddressFamilyIPv6 = 23;
// A table that grows between the size question and the read is asked again,
// a few times at most.
constexpr int kSizingTries = 4;

// The low 16 bits of a table value hold the port in network byte order.
int32_t HostPort(DWORD value) {
    return ntohs(static_cast<uint16_t>(value & 0xFFFFu));
}

struct StateText {
    UINT stringId; // 0: the fixed text
    const char* text;
};

const StateText kStateTexts[] = {
    {0, "???"},       {0, "CLOSED"},    {61466, nullptr},  {61468, nullptr},  {61469, nullptr},
    {61467, nullptr}, {0, "FIN_WAIT1"}, {0, "FIN_WAIT2"},  {0, "CLOSE_WAIT"}, {0, "CLOSING"},
    {0, "LAST_ACK"},  {0, "TIME_WAIT"}, {0, "DELETE_TCB"},
};

// An IPv6 table through the platform's sizing protocol, into a block of the
// process heap; false when the call fails.
template <typename Function, typename TableClass>
bool ReadSizedTable(Function get, TableClass tableClass, ombrel::HeapBlock& block) {
    DWORD size = 0;
    for (int attempt = 0; attempt < kSizingTries; ++attempt) {
        DWORD result = get(block.get(), &size, TRUE, kAddressFamilyIPv6, tableClass, 0);
        if (result == NO_ERROR)
            return block.get() != nullptr;
        if (result != ERROR_INSUFFICIENT_BUFFER || size == 0)
            return false;
        block.reset(HeapAlloc(GetProcessHeap(), 0, size));
        if (!block)
            return false;
    }
    return false;
}

// The compartments to read, the program's own first; where the platform
// cannot list them, the thread's alone (current).
std::vector<ombrel::platform::NetworkCompartment> ListCompartments(NET_IF_COMPARTMENT_ID current) {
    std::vector<ombrel::platform::NetworkCompartment> compartments;
    DWORD count = 0;
    for (int attempt = 0; attempt < kSizingTries; ++attempt) {
        compartments.resize(count);
        DWORD result = GetNetworkCompartments(compartments.data(), &count);
        if (result == NO_ERROR) {
            compartments.resize(count);
            break;
        }
        compartments.clear();
        if (result != ERROR_INSUFFICIENT_BUFFER)
            break;
    }
    if (compartments.empty()) {
        compartments.emplace_back();
        compartments.front().id = current;
    }
    return compartments;
}

} // namespace

void CPortTable::Refresh() {
    // The platform may share work between the calls of this one snapshot,
    // and lets go of all of it at the end.
    ombrel::platform::RefreshScope scope;
    Clear();
    CollectEndpoints();
    AssignKeysAndIcons();
    FillProcessNames();
    m_ownerSource = scope.OwnerSourceReport();
}

CPortTable::TableFunctions CPortTable::s_tables;

int CPortTable::ResolveTableFunctions() {
    TableFunctions& bound = s_tables;
    HMODULE module = LoadLibraryA("iphlpapi.dll");
    bound.pfnAllocateAndGetTcpExTable = module ? BindFunction<PFNALLOCATEANDGETTCPEXTABLEFROMSTACK>(
                                                     module, "AllocateAndGetTcpExTableFromStack")
                                               : nullptr;
    if (bound.pfnAllocateAndGetTcpExTable == nullptr)
        return 0;
    module = LoadLibraryA("iphlpapi.dll");
    bound.pfnAllocateAndGetUdpExTable = module ? BindFunction<PFNALLOCATEANDGETUDPEXTABLEFROMSTACK>(
                                                     module, "AllocateAndGetUdpExTableFromStack")
                                               : nullptr;
    return bound.pfnAllocateAndGetUdpExTable != nullptr ? 1 : 0;
}

int CPortTable::ResolveIPv6TableFunctions() {
    TableFunctions& bound = s_tables;
    HMODULE module = LoadLibraryA("iphlpapi.dll");
    bound.pfnGetExtendedTcpTable =
        module ? BindFunction<PFNGETEXTENDEDTCPTABLE>(module, "GetExtendedTcpTable") : nullptr;
    bound.pfnGetExtendedUdpTable =
        module ? BindFunction<PFNGETEXTENDEDUDPTABLE>(module, "GetExtendedUdpTable") : nullptr;
    return bound.pfnGetExtendedTcpTable != nullptr && bound.pfnGetExtendedUdpTable != nullptr ? 1
                                                                                              : 0;
}

// Two per TCP row: without the format machinery, which would cost a large
// snapshot tens of milliseconds. At most 15 bytes and the end.
char* CPortTable::FormatIPv4(uint32_t address, char* text) {
    unsigned char octets[4];
    std::memcpy(octets, &address, sizeof octets); // network order: first octet first
    char* at = text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            *at++ = '.';
        at = std::to_chars(at, text + 15, unsigned{octets[i]}).ptr;
    }
    *at = '\0';
    return text;
}

void CPortTable::GetStateText(uint32_t state, std::string& out) {
    if (state >= std::size(kStateTexts)) {
        out.clear();
        return;
    }
    // The texts are loaded once: the refresh asks for one per TCP row.
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> loaded;
        for (const StateText& entry : kStateTexts)
            loaded.push_back(entry.stringId != 0
                                 ? ombrel::platform::LoadResourceString(entry.stringId)
                                 : std::string(entry.text));
        return loaded;
    }();
    out = texts[state];
}

int CPortTable::GetProcessPath(uint32_t processId, char* path, int size,
                               ombrel::platform::ProgramFile* file) {
    if (processId < ombrel::platform::kLowestOrdinaryProcessId)
        return 1;
    ombrel::UniqueHandle process(OpenProcess(PROCESS_ALL_ACCESS, FALSE, processId));
    if (!process)
        return 0;
    DWORD length = m_pfnGetModuleFileNameEx(process.get(), nullptr, path, static_cast<DWORD>(size));
    // The path is the process's text; the file is known by what the process
    // runs, read through the same open process.
    if (length != 0 && file != nullptr)
        GetProgramFile(process.get(), file);
    return length != 0 ? 1 : 0;
}

void CPortTable::CollectEndpoints() {
    const TableFunctions& bound = s_tables;
    if (m_pfnGetModuleFileNameEx == nullptr || ResolveTableFunctions() != 1 ||
        bound.pfnAllocateAndGetTcpExTable == nullptr)
        return;
    WSADATA wsaData;
    if (WSAStartup(0x0101, &wsaData) != 0)
        return;
    // Last, after both tables are freed.
    struct SocketLayer {
        ~SocketLayer() { WSACleanup(); }
    } socketLayer;

    // Every compartment (network namespace) the platform lets this program
    // read, each read with the thread in it; the program's own first, whose
    // entries alone carry no name. The thread goes back to where it was,
    // however the collection ends.
    struct ThreadCompartment {
        NET_IF_COMPARTMENT_ID saved = GetCurrentThreadCompartmentId();
        ~ThreadCompartment() { SetCurrentThreadCompartmentId(saved); }
    } thread;
    m_compartments = ListCompartments(thread.saved);
    for (const ombrel::platform::NetworkCompartment& compartment : m_compartments) {
        m_collecting = &compartment;
        m_collectingHome = &compartment == &m_compartments.front();
        if (SetCurrentThreadCompartmentId(compartment.id) != NO_ERROR)
            continue;
        bool read = CollectCompartment();
        if (m_collectingHome && !read)
            break; // without the program's own tables the snapshot stays empty
    }
    m_collecting = nullptr;
}

bool CPortTable::CollectCompartment() {
    const TableFunctions& bound = s_tables;
    // Freed in this order: the TCP table, then the UDP table.
    ombrel::HeapBlock udpTable;
    ombrel::HeapBlock tcpTable;
    if (bound.pfnAllocateAndGetTcpExTable(tcpTable.receive(), kSortedRows, GetProcessHeap(),
                                          kHeapFlags, kAddressFamilyIPv4) != 0 ||
        bound.pfnAllocateAndGetUdpExTable(udpTable.receive(), kSortedRows, GetProcessHeap(),
                                          kHeapFlags, kAddressFamilyIPv4) != 0)
        return false; // without both tables the compartment holds nothing

    // The IPv6 pair, where the platform has it, as a pair too: without
    // both, the snapshot holds the IPv4 entries alone.
    ombrel::HeapBlock tcp6Table;
    ombrel::HeapBlock udp6Table;
    bool haveIPv6 =
        ResolveIPv6TableFunctions() == 1 &&
        ReadSizedTable(bound.pfnGetExtendedTcpTable, TCP_TABLE_OWNER_PID_ALL, tcp6Table) &&
        ReadSizedTable(bound.pfnGetExtendedUdpTable, UDP_TABLE_OWNER_PID, udp6Table);

    std::string state;
    const auto* tcp = static_cast<const MIB_TCPEXTABLE*>(tcpTable.get());
    const MIB_TCPROW_EX* tcpRows = tcp->table;
    for (DWORD i = 0; i < tcp->dwNumEntries; ++i) {
        const MIB_TCPROW_EX& row = tcpRows[i];
        OwnedEntry entry = NewEntry();
        if (entry == nullptr)
            continue;
        entry->protocol = 0;
        entry->family = kAddressFamilyIPv4;
        entry->processId = static_cast<int32_t>(row.dwProcessId);
        entry->localPort = HostPort(row.dwLocalPort);
        FormatIPv4(row.dwLocalAddr, entry->localAddress);
        entry->remotePort = HostPort(row.dwRemotePort);
        FormatIPv4(row.dwRemoteAddr, entry->remoteAddress);
        GetProcessPath(row.dwProcessId, entry->processPath, sizeof entry->processPath,
                       &entry->programFile);
        GetStateText(row.dwState, state);
        ombrel::platform::CopyText(entry->state, sizeof entry->state, state);
        m_entries.push_back(std::move(entry));
    }

    if (haveIPv6)
        CollectIPv6Tcp(static_cast<const MIB_TCP6TABLE_OWNER_PID*>(tcp6Table.get()));

    const auto* udp = static_cast<const MIB_UDPEXTABLE*>(udpTable.get());
    const MIB_UDPROW_EX* udpRows = udp->table;
    for (DWORD i = 0; i < udp->dwNumEntries; ++i) {
        const MIB_UDPROW_EX& row = udpRows[i];
        OwnedEntry entry = NewEntry();
        if (entry == nullptr)
            continue;
        entry->protocol = 1;
        entry->family = kAddressFamilyIPv4;
        entry->processId = static_cast<int32_t>(row.dwProcessId);
        entry->localPort = HostPort(row.dwLocalPort);
        FormatIPv4(row.dwLocalAddr, entry->localAddress);
        GetProcessPath(row.dwProcessId, entry->processPath, sizeof entry->processPath,
                       &entry->programFile);
        std::strcpy(entry->remoteAddress, "0.0.0.0");
        m_entries.push_back(std::move(entry));
    }
    if (haveIPv6)
        CollectIPv6Udp(static_cast<const MIB_UDP6TABLE_OWNER_PID*>(udp6Table.get()));
    return true;
}

void CPortTable::CollectIPv6Tcp(const MIB_TCP6TABLE_OWNER_PID* table) {
    std::string state;
    const MIB_TCP6ROW_OWNER_PID* rows = table->table;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCP6ROW_OWNER_PID& row = rows[i];
        OwnedEntry entry = NewEntry();
        if (entry == nullptr)
            continue;
        entry->protocol = 0;
        entry->family = kAddressFamilyIPv6;
        entry->processId = static_cast<int32_t>(row.dwOwningPid);
        entry->localPort = HostPort(row.dwLocalPort);
        FormatIPv6(row.ucLocalAddr, row.dwLocalScopeId, entry->localAddress, m_collectingHome);
        entry->remotePort = HostPort(row.dwRemotePort);
        FormatIPv6(row.ucRemoteAddr, row.dwRemoteScopeId, entry->remoteAddress, m_collectingHome);
        GetProcessPath(row.dwOwningPid, entry->processPath, sizeof entry->processPath,
                       &entry->programFile);
        GetStateText(row.dwState, state);
        ombrel::platform::CopyText(entry->state, sizeof entry->state, state);
        m_entries.push_back(std::move(entry));
    }
}

void CPortTable::CollectIPv6Udp(const MIB_UDP6TABLE_OWNER_PID* table) {
    const MIB_UDP6ROW_OWNER_PID* rows = table->table;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_UDP6ROW_OWNER_PID& row = rows[i];
        OwnedEntry entry = NewEntry();
        if (entry == nullptr)
            continue;
        entry->protocol = 1;
        entry->family = kAddressFamilyIPv6;
        entry->processId = static_cast<int32_t>(row.dwOwningPid);
        entry->localPort = HostPort(row.dwLocalPort);
        FormatIPv6(row.ucLocalAddr, row.dwLocalScopeId, entry->localAddress, m_collectingHome);
        GetProcessPath(row.dwOwningPid, entry->processPath, sizeof entry->processPath,
                       &entry->programFile);
        std::strcpy(entry->remoteAddress, "::");
        m_entries.push_back(std::move(entry));
    }
}

void CPortTable::AssignKeysAndIcons() {
    int key = 0;
    for (const OwnedEntry& entry : m_entries) {
        if (entry == nullptr)
            continue;
        entry->key = key++;
        if (entry->processPath[0] == '\0')
            continue;
        SHFILEINFOA info;
        std::memset(&info, 0, sizeof info);
        ombrel::platform::ProgramFileScope file(entry->processPath, entry->programFile);
        if (SHGetFileInfoA(entry->processPath, 0, &info, sizeof info,
                           SHGFI_ICON | SHGFI_SMALLICON) != 0)
            entry->smallIcon = info.hIcon;
    }
}

void CPortTable::FillProcessNames() {
    ombrel::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return;
    for (const OwnedEntry& entry : m_entries)
        if (entry != nullptr && entry->processPath[0] == '\0')
            m_unnamed[entry->processId].push_back(entry.get());
    m_unnamedIndexed = true;
    PROCESSENTRY32 process;
    std::memset(&process, 0, sizeof process);
    process.dwSize = sizeof process;
    for (BOOL more = Process32First(snapshot.get(), &process); more;) {
        SetNameForPid(static_cast<int>(process.th32ProcessID), process.szExeFile);
        std::memset(&process, 0, sizeof process);
        process.dwSize = sizeof process;
        more = Process32Next(snapshot.get(), &process);
    }
    m_unnamed.clear();
    m_unnamedIndexed = false;
}
