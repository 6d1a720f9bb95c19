// The process and socket services read against a captured /proc tree.
#include <algorithm>
#include <arpa/inet.h>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include <ombrel/conventions.h>
#include <ombrel/refresh_scope.h>
#include <ombrel/services.h>

#include "temp_dir.h"

using namespace ombrel::platform;

namespace {

class FixtureProc : public ::testing::Test {
protected:
    ProcRootOverride procRoot{std::string(OMBREL_FIXTURES) + "/proc-basic"};
};

std::string Ip(DWORD networkOrder) {
    in_addr addr{networkOrder};
    return inet_ntoa(addr);
}

struct TcpRow {
    DWORD state;
    std::string local;
    int localPort;
    std::string remote;
    int remotePort;
    DWORD pid;
    bool operator==(const TcpRow&) const = default;
};

std::ostream& operator<<(std::ostream& out, const TcpRow& row) {
    return out << row.state << " " << row.local << ":" << row.localPort << " " << row.remote << ":"
               << row.remotePort << " pid " << row.pid;
}

std::vector<TcpRow> ReadTcp(BOOL order) {
    PVOID raw = reinterpret_cast<PVOID>(0xdeadbeef);
    EXPECT_EQ(AllocateAndGetTcpExTableFromStack(&raw, order, GetProcessHeap(), 0, 2), 0u);
    auto* table = static_cast<PMIB_TCPEXTABLE>(raw);
    std::vector<TcpRow> rows;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCPROW_EX& r = table->table[i];
        rows.push_back({r.dwState, Ip(r.dwLocalAddr), ntohs(static_cast<uint16_t>(r.dwLocalPort)),
                        Ip(r.dwRemoteAddr), ntohs(static_cast<uint16_t>(r.dwRemotePort)),
                        r.dwProcessId});
    }
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, table));
    return rows;
}

} // namespace

TEST_F(FixtureProc, TcpTableHasEveryStateOwnerAndOrder) {
    const std::string lo = "127.0.0.1";
    std::vector<TcpRow> expected{
        {2, "0.0.0.0", 80, "0.0.0.0", 0, 600}, // launcher 600 made it; service 501 inherited it
        {3, "10.0.0.5", 50001, "93.184.216.34", 443, 300},
        {2, lo, 22, "0.0.0.0", 0, 100},
        {5, lo, 22, lo, 40000, 100},
        {4, lo, 2001, lo, 9, 1},
        {6, lo, 2002, lo, 9, 1},
        {7, lo, 2003, lo, 9, 1},
        {11, lo, 2004, lo, 9, 0}, // TIME_WAIT: no process holds it
        // 2005 is only bound (CLOSE): no endpoint
        {8, lo, 2006, lo, 9, 200},
        {10, lo, 2007, lo, 9, 1},
        {9, lo, 2008, lo, 9, 1},
        {4, lo, 2009, lo, 9, 0}, // NEW_SYN_RECV
        {5, lo, 2010, lo, 9, 0},
        {5, lo, 40000, lo, 22, 400},
    };
    EXPECT_EQ(ReadTcp(TRUE), expected);
}

TEST_F(FixtureProc, UnsortedTableKeepsTheKernelsOrderAndSkipsMalformedLines) {
    std::vector<TcpRow> rows = ReadTcp(FALSE);
    ASSERT_EQ(rows.size(), 14u);
    EXPECT_EQ(rows[0].localPort, 22);
    EXPECT_EQ(rows[3].localPort, 80);
    EXPECT_EQ(rows[8].localPort, 2004);
    EXPECT_EQ(rows[9].localPort, 2006); // the line between was not a socket, 2005 only bound
    EXPECT_EQ(rows.back().localPort, 2010);
}

TEST_F(FixtureProc, UdpTableHasThreeValuesPerRow) {
    PVOID raw = nullptr;
    ASSERT_EQ(AllocateAndGetUdpExTableFromStack(&raw, TRUE, GetProcessHeap(), 0, 2), 0u);
    auto* table = static_cast<PMIB_UDPEXTABLE>(raw);
    ASSERT_EQ(table->dwNumEntries, 3u);
    EXPECT_EQ(Ip(table->table[0].dwLocalAddr), "0.0.0.0");
    EXPECT_EQ(ntohs(static_cast<uint16_t>(table->table[0].dwLocalPort)), 68);
    EXPECT_EQ(table->table[0].dwProcessId, 1u);
    EXPECT_EQ(ntohs(static_cast<uint16_t>(table->table[1].dwLocalPort)), 53);
    EXPECT_EQ(table->table[1].dwProcessId, 100u);
    EXPECT_EQ(ntohs(static_cast<uint16_t>(table->table[2].dwLocalPort)), 5353);
    EXPECT_EQ(table->table[2].dwProcessId, 0u);
    HeapFree(GetProcessHeap(), 0, table);
}

TEST_F(FixtureProc, ProcessListInAscendingIdsWithProgramNames) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    struct Seen {
        DWORD pid, ppid, threads;
        std::string name;
        bool operator==(const Seen&) const = default;
    };
    std::vector<Seen> seen;
    PROCESSENTRY32 entry;
    std::memset(&entry, 0xEF, sizeof entry);
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        seen.push_back(
            {entry.th32ProcessID, entry.th32ParentProcessID, entry.cntThreads, entry.szExeFile});
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    std::vector<Seen> expected{
        {1, 0, 1, "systemd"},   {2, 0, 1, "kthreadd"},  // a kernel thread: no program file
        {100, 1, 1, "sshd"},    {200, 1, 4, "secretd"}, // its exe link cannot be read
        {300, 1, 1, "oldtool"}, {400, 1, 2, "very-long-program-name"},
        {501, 600, 3, "webd"},  {600, 1, 1, "launcher"},
    }; // 700 vanished mid-scan: it has no stat
    EXPECT_EQ(seen.size(), expected.size());
    for (size_t i = 0; i < std::min(seen.size(), expected.size()); ++i) {
        EXPECT_EQ(seen[i].pid, expected[i].pid) << i;
        EXPECT_EQ(seen[i].ppid, expected[i].ppid) << i;
        EXPECT_EQ(seen[i].threads, expected[i].threads) << i;
        EXPECT_EQ(seen[i].name, expected[i].name) << i;
    }
    // The record past the name is zeroed, not left as it was.
    EXPECT_EQ(entry.szExeFile[sizeof entry.szExeFile - 1], '\0');
    EXPECT_TRUE(CloseHandle(snapshot));
}

TEST_F(FixtureProc, ModulePathsFromExeLinks) {
    auto pathOf = [](DWORD pid, DWORD& error) {
        error = 0;
        HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
        if (process == nullptr) {
            error = GetLastError();
            return std::string("<no process>");
        }
        char path[260];
        std::memset(path, 'x', sizeof path);
        DWORD length = GetModuleFileNameExA(process, nullptr, path, sizeof path);
        if (length == 0)
            error = GetLastError();
        CloseHandle(process);
        return length == 0 ? std::string() : std::string(path, length);
    };
    DWORD error;
    EXPECT_EQ(pathOf(100, error), "/usr/sbin/sshd");
    EXPECT_EQ(pathOf(400, error), "/usr/bin/very-long-program-name");
    EXPECT_EQ(pathOf(300, error), "/opt/tool/oldtool (deleted)");
    EXPECT_EQ(pathOf(200, error), "");
    EXPECT_NE(error, 0u);
    EXPECT_EQ(pathOf(2, error), ""); // kernel thread
    EXPECT_EQ(pathOf(9999, error), "<no process>");
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
}

TEST_F(FixtureProc, UdpRightAfterTcpComesFromTheSameScan) {
    auto udpRows = [] {
        PVOID raw = nullptr;
        EXPECT_EQ(AllocateAndGetUdpExTableFromStack(&raw, TRUE, GetProcessHeap(), 0, 2), 0u);
        auto* table = static_cast<PMIB_UDPEXTABLE>(raw);
        std::vector<std::pair<int, DWORD>> rows;
        for (DWORD i = 0; i < table->dwNumEntries; ++i)
            rows.emplace_back(ntohs(static_cast<uint16_t>(table->table[i].dwLocalPort)),
                              table->table[i].dwProcessId);
        HeapFree(GetProcessHeap(), 0, table);
        return rows;
    };
    auto alone = udpRows();
    ReadTcp(TRUE);
    EXPECT_EQ(udpRows(), alone); // the half the TCP call kept
    EXPECT_EQ(udpRows(), alone); // and one of its own
}

// The IPv6 tables through the sizing protocol: too small, exact, larger.
TEST_F(FixtureProc, IPv6TablesBySizeWithOwnersAndOrder) {
    DWORD size = 0;
    EXPECT_EQ(GetExtendedTcpTable(nullptr, &size, TRUE, 23, TCP_TABLE_OWNER_PID_ALL, 0),
              ERROR_INSUFFICIENT_BUFFER);
    ASSERT_EQ(size, offsetof(MIB_TCP6TABLE_OWNER_PID, table) + 3 * sizeof(MIB_TCP6ROW_OWNER_PID));
    std::vector<char> buffer(size + 64, '\x5A');
    DWORD small = size - 1;
    EXPECT_EQ(GetExtendedTcpTable(buffer.data(), &small, TRUE, 23, TCP_TABLE_OWNER_PID_ALL, 0),
              ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(small, size);
    EXPECT_EQ(buffer[0], '\x5A'); // a buffer too small is not written
    for (DWORD given : {size, size + 64}) {
        DWORD inOut = given;
        ASSERT_EQ(GetExtendedTcpTable(buffer.data(), &inOut, TRUE, 23, TCP_TABLE_OWNER_PID_ALL, 0),
                  NO_ERROR);
        EXPECT_EQ(buffer[size], '\x5A'); // nothing past the rows
    }
    auto* tcp = reinterpret_cast<MIB_TCP6TABLE_OWNER_PID*>(buffer.data());
    ASSERT_EQ(tcp->dwNumEntries, 3u);
    // Sorted by address: ::1, ::ffff:127.0.0.1, fe80::1.
    const MIB_TCP6ROW_OWNER_PID* rows = tcp->table;
    EXPECT_EQ(rows[0].ucLocalAddr[15], 1);
    EXPECT_EQ(ntohs(static_cast<uint16_t>(rows[0].dwLocalPort)), 8080);
    EXPECT_EQ(rows[0].dwState, MIB_TCP_STATE_LISTEN);
    EXPECT_EQ(rows[0].dwOwningPid, 600u);
    EXPECT_EQ(rows[1].ucRemoteAddr[10], 0xFF);
    EXPECT_EQ(rows[1].ucRemoteAddr[12], 127);
    EXPECT_EQ(ntohs(static_cast<uint16_t>(rows[1].dwRemotePort)), 0xC000);
    EXPECT_EQ(rows[1].dwState, MIB_TCP_STATE_ESTAB);
    EXPECT_EQ(rows[1].dwOwningPid, 600u);
    EXPECT_EQ(rows[2].ucLocalAddr[0], 0xFE);
    // The text table names no interface; a link-local address has one.
    EXPECT_EQ(rows[2].dwLocalScopeId, kUnknownScopeId);
    EXPECT_EQ(rows[2].dwRemoteScopeId, kUnknownScopeId);
    EXPECT_EQ(rows[0].dwLocalScopeId, 0u);
    EXPECT_EQ(rows[2].dwState, MIB_TCP_STATE_TIME_WAIT);
    EXPECT_EQ(rows[2].dwOwningPid, 0u);

    size = 0;
    EXPECT_EQ(GetExtendedUdpTable(nullptr, &size, TRUE, 23, UDP_TABLE_OWNER_PID, 0),
              ERROR_INSUFFICIENT_BUFFER);
    ASSERT_EQ(size, offsetof(MIB_UDP6TABLE_OWNER_PID, table) + sizeof(MIB_UDP6ROW_OWNER_PID));
    std::vector<char> udpBuffer(size);
    ASSERT_EQ(GetExtendedUdpTable(udpBuffer.data(), &size, TRUE, 23, UDP_TABLE_OWNER_PID, 0),
              NO_ERROR);
    auto* udp = reinterpret_cast<MIB_UDP6TABLE_OWNER_PID*>(udpBuffer.data());
    ASSERT_EQ(udp->dwNumEntries, 1u);
    EXPECT_EQ(ntohs(static_cast<uint16_t>(udp->table[0].dwLocalPort)), 5353);
    EXPECT_EQ(udp->table[0].dwOwningPid, 600u);

    // IPv6 in the owner classes only, and a size to answer in; IPv4 is
    // answered too, by size first.
    EXPECT_EQ(GetExtendedTcpTable(nullptr, &size, TRUE, 2, TCP_TABLE_OWNER_PID_ALL, 0),
              ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(GetExtendedTcpTable(nullptr, &size, TRUE, 23, TCP_TABLE_BASIC_ALL, 0),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetExtendedUdpTable(nullptr, nullptr, TRUE, 23, UDP_TABLE_OWNER_PID, 0),
              ERROR_INVALID_PARAMETER);
}

// Between the pass that names a socket's owner and the reading of that
// owner's program, the owner may end and its id go to another process. The
// owner is the process the pass saw: the later one is neither opened for it
// nor listed under its id.
TEST(FixtureOwners, AnIdReusedAfterThePassIsNotTheOwner) {
    TempDir dir;
    std::filesystem::copy(std::string(OMBREL_FIXTURES) + "/proc-basic", dir.path() + "/proc",
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::copy_symlinks);
    const std::string proc = dir.path() + "/proc";
    ProcRootOverride procRoot{proc};
    RefreshScope scope;
    std::vector<TcpRow> rows = ReadTcp(TRUE);
    auto sshd = std::find_if(rows.begin(), rows.end(),
                             [](const TcpRow& row) { return row.localPort == 22; });
    ASSERT_NE(sshd, rows.end());
    ASSERT_EQ(sshd->pid, 100u);

    // Process 100 ends; a later one, started at tick 900, takes its id.
    dir.Write("proc/100/stat",
              "100 (sshd) S 1 100 100 0 -1 4194560 100 0 0 0 5 3 0 0 20 0 1 0 900 1000000 200 0");
    ::unlink((proc + "/100/exe").c_str());
    ASSERT_EQ(::symlink("/usr/bin/impostor", (proc + "/100/exe").c_str()), 0);

    HANDLE reused = OpenProcess(PROCESS_ALL_ACCESS, FALSE, 100);
    EXPECT_EQ(reused, nullptr);
    if (reused != nullptr)
        CloseHandle(reused);
    HANDLE kept = OpenProcess(PROCESS_ALL_ACCESS, FALSE, 300); // unchanged since the pass
    EXPECT_NE(kept, nullptr);
    if (kept != nullptr)
        CloseHandle(kept);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    bool listed = false;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        listed = listed || entry.th32ProcessID == 100;
    CloseHandle(snapshot);
    EXPECT_FALSE(listed);
}
