// Inputs no well-behaved system hands over: overlong paths, names that are
// not UTF-8, oversized package texts, processes that end half-way through a
// refresh, process entries that vanish. Each gives a quiet, bounded outcome.
#include <QTest>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ombrel/framework.h>
#include <ombrel/services.h>

#include "detail_view.h"
#include "file_identity.h"
#include "file_version.h"
#include "frame_link.h"
#include "pe_builder.h"
#include "platform/linux/metadata/dpkg.h"
#include "port_view.h"
#include "table_entries.h"
#include "temp_dir.h"
#include "win_app.h"

using namespace pe_builder;
using ombrel::platform::ServiceOverride;
using ombrel::platform::Services;

namespace {

const PortEntry* ByPort(const std::vector<PortEntry>& entries, int port) {
    for (const PortEntry& entry : entries)
        if (entry.localPort == port)
            return &entry;
    return nullptr;
}

std::string Stat(int pid, const std::string& name) {
    return std::to_string(pid) + " (" + name +
           ") S 1 1 1 0 -1 4194560 100 0 0 0 5 3 0 0 20 0 1 0 900 1000000 200 0 0 0 0\n";
}

std::string TcpLine(int slot, int port, int inode) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "%4d: 0100007F:%04X 00000000:0000 0A 00000000:00000000 00:00000000 00000000"
                  "     0        0 %d 1 0000000000000000 100 0 0 10 0\n",
                  slot, port, inode);
    return line;
}

// A process tree of four listeners whose owners each go wrong another way.
class HostileTree : public ::testing::Test {
protected:
    void SetUp() override {
        longPath = "/" + std::string(4094, 'p'); // the longest a link can hold
        dir.Write("net/tcp", "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when "
                             "retrnsmt   uid  timeout inode\n" +
                                 TcpLine(0, 7001, 5001) + TcpLine(1, 7002, 5002) +
                                 TcpLine(2, 7003, 5003) + TcpLine(3, 7004, 5004));
        dir.Write("net/udp", "  sl  local_address rem_address   st\n");
        // 4242 runs a program whose path is 4,095 bytes long.
        dir.Write("4242/stat", Stat(4242, "pppp"));
        ASSERT_FALSE(dir.Link("4242/exe", longPath).empty());
        ASSERT_FALSE(dir.Link("4242/fd/3", "socket:[5001]").empty());
        // 4343's exe link is unreadable and its name is not UTF-8.
        dir.Write("4343/stat", Stat(4343, badName));
        ASSERT_FALSE(dir.Link("4343/fd/3", "socket:[5002]").empty());
        // 4444 vanished between the directory listing and its reading.
        ASSERT_FALSE(dir.Link("4444", "4444-gone").empty());
        // 4545's status went before its descriptors did.
        ASSERT_FALSE(dir.Link("4545/exe", "/usr/bin/env").empty());
        ASSERT_FALSE(dir.Link("4545/fd/3", "socket:[5004]").empty());
        procRoot = std::make_unique<ombrel::platform::ProcRootOverride>(dir.path());
    }

    TempDir dir;
    std::unique_ptr<ombrel::platform::ProcRootOverride> procRoot;
    std::string longPath;
    const std::string badName = "\xff\xfe-bad\xc3";
};

class NoFrame : public QWidget, public CMainFrameLink {
public:
    NoFrame() { AfxGetThread()->m_pMainWnd = this; }
    ~NoFrame() override { AfxGetThread()->m_pMainWnd = nullptr; }
    void ShowEntry(const PortEntry* entry) override {
        if (entry != nullptr)
            pane.SetEntry(entry);
    }
    void SetFilter(int) override {}
    CDetailView pane;
};

} // namespace

TEST_F(HostileTree, SnapshotKeepsEveryEndpointWithWhatCouldBeRead) {
    CPortTable table;
    table.Refresh();
    std::vector<PortEntry> entries = Entries(table);
    ASSERT_EQ(entries.size(), 4u);

    const PortEntry* longOne = ByPort(entries, 7001);
    ASSERT_NE(longOne, nullptr);
    EXPECT_EQ(longOne->processId, 4242);
    // Too long for the entry: never a cut path, which could name another
    // file, but the process's name from the process list.
    std::string shown = longOne->processPath;
    EXPECT_EQ(shown.rfind("[pppp", 0), 0u);
    EXPECT_EQ(shown.find('/'), std::string::npos);

    const PortEntry* badOne = ByPort(entries, 7002);
    ASSERT_NE(badOne, nullptr);
    EXPECT_EQ(badOne->processId, 4343);
    EXPECT_EQ(std::string(badOne->processPath), "[" + badName + "]"); // bytes as they stand

    const PortEntry* orphan = ByPort(entries, 7003);
    ASSERT_NE(orphan, nullptr);
    EXPECT_EQ(orphan->processId, 0);
    EXPECT_STREQ(orphan->processPath, "");
    EXPECT_EQ(orphan->smallIcon, nullptr);

    const PortEntry* statless = ByPort(entries, 7004);
    ASSERT_NE(statless, nullptr);
    EXPECT_EQ(statless->processId, 4545);
    EXPECT_STREQ(statless->processPath, "/usr/bin/env");
}

TEST_F(HostileTree, ListAndPaneShowThemWithoutReadingPastAField) {
    NoFrame frame;
    CPortView view;
    ASSERT_TRUE(view.Create(nullptr));
    view.resize(900, 300);
    view.show();
    view.OnInitialUpdate();
    ASSERT_EQ(view.GetItemCount(), 4);
    int checked = 0;
    for (int row = 0; row < 4; ++row) {
        view.selectRow(row);
        QString shown = view.model()->index(row, 5).data().toString();
        auto lines = frame.pane.TextLines();
        ASSERT_FALSE(lines.empty());
        if (view.GetItemText(row, 4) == "4343") {
            // Each byte that is not UTF-8 shows as its escape, nothing more.
            EXPECT_EQ(shown, "[\\xff\\xfe-bad\\xc3]");
            ++checked;
        }
        if (view.GetItemText(row, 4) == "4242") {
            EXPECT_EQ(shown.size(), MAX_PATH - 1);
            ASSERT_EQ(lines.size(), 2u);
            EXPECT_EQ(lines[1].text, "<文件不存在>");
            ++checked;
        }
    }
    EXPECT_EQ(checked, 2);
    QTest::qWait(0); // one paint of every row
}

TEST(HostilePaths, OverlongPathsFailQuietlyEverywhere) {
    for (size_t length : {size_t{4095}, size_t{4096}, size_t{70000}}) {
        std::string path = "/" + std::string(length - 1, 'x');
        EXPECT_FALSE(IsExistingFile(path.c_str()));
        EXPECT_EQ(GetFileVersionInfoSizeA(path.c_str(), nullptr), 0u);
        char version[64] = "untouched";
        EXPECT_EQ(GetFileVersionText(path.c_str(), version, sizeof version), 0);
        EXPECT_STREQ(version, "untouched");
        SHFILEINFOA info{};
        SHGetFileInfoA(path.c_str(), 0, &info, sizeof info, SHGFI_ICON | SHGFI_SMALLICON);
        if (info.hIcon != nullptr)
            DestroyIcon(info.hIcon);
        WIN32_FIND_DATAA found{};
        EXPECT_EQ(FindFirstFileA(path.c_str(), &found), INVALID_HANDLE_VALUE);
    }
}

TEST(HostilePaths, ProgramWhoseNameIsNotUtf8KeepsItsVersion) {
    TempDir dir;
    std::string program = dir.path() + "/tool-\xff\xfe.exe";
    Save(program, Image(Version(Fixed(0x00010002, 0x00030004, 0, 0), {0x04b00409},
                                {{"040904b0", {{"FileDescription", u"Probe"}}}})));
    PortEntry entry{};
    SetProgram(entry, program);
    CDetailView pane;
    pane.SetEntry(&entry);
    auto lines = pane.TextLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].text, "文件 : " + dir.path() + "/tool-\\xff\\xfe.exe"); // shown as UTF-8
    EXPECT_EQ(lines[1].text, "版本: 1.2.3.4");
    EXPECT_EQ(lines[2].text, "描述: Probe");
}

TEST(HostilePackages, TenThousandCharacterDescriptionIsCutWhole) {
    TempDir db;
    std::string program = db.Write("bin/wordy", "#!/bin/true\n");
    std::string description;
    for (int i = 0; i < 10000; ++i)
        description += "长";
    db.Write("dpkg/status", "Package: wordy\nStatus: install ok installed\nVersion: 3.1\n"
                            "Maintainer: " +
                                std::string(5000, 'M') + "\nDescription: " + description + "\n\n");
    db.Write("dpkg/info/wordy.list", program + "\n");
    char text[260];
    char company[260];
    std::memset(text, 0, sizeof text);
    std::memset(company, 0, sizeof company);
    int result = 0;
    {
        ombrel::platform::PackageDatabaseOverride database(db.path() + "/dpkg");
        result = GetFileStrings(program.c_str(), text, company);
    }
    EXPECT_EQ(result, 1);
    EXPECT_EQ(std::strlen(text), 258u); // 86 characters of three bytes
    EXPECT_EQ(std::string(text, 3), "长");
    EXPECT_EQ(std::strlen(company), 259u);
}

namespace {

// A child that holds the one listening socket on a port it reports, and
// stays until it is killed.
struct Listener {
    pid_t pid = -1;
    int port = 0;
    Listener() {
        int report[2];
        if (::pipe(report) != 0)
            return;
        pid = ::fork();
        if (pid == 0) {
            int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t size = sizeof address;
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
                ::listen(fd, 1) != 0 ||
                ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
                ::_exit(1);
            int got = ntohs(address.sin_port);
            if (::write(report[1], &got, sizeof got) != sizeof got)
                ::_exit(1);
            for (;;)
                ::pause();
        }
        ::close(report[1]);
        if (pid > 0 && ::read(report[0], &port, sizeof port) != sizeof port)
            port = 0;
        ::close(report[0]);
    }
    void End() {
        if (pid <= 0)
            return;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
    ~Listener() { End(); }
};

} // namespace

TEST(HostileProcesses, OwnerThatEndsDuringTheRefreshLeavesItsEndpointUnnamed) {
    // Ends after the tables are read, before its path is looked up.
    {
        Listener child;
        ASSERT_GT(child.port, 0);
        const pid_t pid = child.pid;
        auto real = ombrel::platform::LinuxServices().AllocateAndGetUdpExTableFromStack;
        ServiceOverride<DWORD(PVOID*, BOOL, HANDLE, DWORD, DWORD)> endAfterTables(
            &Services::AllocateAndGetUdpExTableFromStack,
            [&](PVOID* table, BOOL order, HANDLE heap, DWORD flags, DWORD family) {
                DWORD result = real(table, order, heap, flags, family);
                child.End();
                return result;
            });
        CPortTable table;
        table.Refresh();
        std::vector<PortEntry> entries = Entries(table);
        const PortEntry* entry = ByPort(entries, child.port);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->processId, pid);
        EXPECT_STREQ(entry->processPath, "");
        EXPECT_EQ(entry->smallIcon, nullptr);
    }
    // Ends between the open of the process and the read of its path.
    {
        Listener child;
        ASSERT_GT(child.port, 0);
        const DWORD pid = static_cast<DWORD>(child.pid);
        auto real = ombrel::platform::LinuxServices().OpenProcess;
        ServiceOverride<HANDLE(DWORD, BOOL, DWORD)> endAfterOpen(
            &Services::OpenProcess, [&](DWORD access, BOOL inherit, DWORD id) {
                HANDLE process = real(access, inherit, id);
                if (id == pid)
                    child.End();
                return process;
            });
        CPortTable table;
        table.Refresh();
        std::vector<PortEntry> entries = Entries(table);
        const PortEntry* entry = ByPort(entries, child.port);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->processId, static_cast<int>(pid));
        EXPECT_STREQ(entry->processPath, "");
    }
}
