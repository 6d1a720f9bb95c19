// Times a refresh against ss over the sockets the farm holds: the
// snapshot alone, the fill of the whole list, the whole refresh command
// (snapshot, fill and repaint), a filter change, a single-threaded probe of
// the machine's limit (netlink dumps, one pass for the owners, a hash join) and
// `ss -tuanp` (and `ombrel-list`, when given), taken in turns so that load
// affects them alike.
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

#include <ombrel/res/strings.h>

#include "platform/linux/owners/socket_holders.h"
#include "platform/linux/owners/socket_walk.h"
#include "platform/linux/sockets/inet_sockets.h"
#include "port_view.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

template <typename F> double Seconds(F&& work) {
    auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n == 0 ? 0 : (n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

// A whole program, as a user would run it, its output thrown away.
void Run(const char* program, const char* option) {
    const char* argv[] = {program, option, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (posix_spawnp(&pid, program, &actions, nullptr, const_cast<char**>(argv), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
}

// The machine's limit, on one thread: the four tables from netlink, every
// process's socket descriptors (from the kernel's walk where it is allowed,
// else one scan), joined through an open-addressing hash.
size_t Probe() {
    using namespace ombrel::platform;
    std::vector<InetSocket> sockets;
    for (InetFamily family : {InetFamily::V4, InetFamily::V6}) {
        DumpSockDiag(InetProtocol::Tcp, family, sockets);
        DumpSockDiag(InetProtocol::Udp, family, sockets);
    }
    std::vector<uint64_t> inodes;
    for (const InetSocket& socket : sockets)
        inodes.push_back(socket.inode);
    std::vector<uint32_t> owners;
    FindSocketOwners("/proc", inodes, owners);
    return sockets.size();
}

long PeakKiB() {
    FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    long peak = 0;
    while (status && std::fgets(line, sizeof line, status))
        if (std::strncmp(line, "VmHWM:", 6) == 0)
            peak = std::atol(line + 6);
    if (status)
        std::fclose(status);
    return peak;
}

} // namespace

int main(int argc, char** argv) {
    ombrel::res::RegisterStrings();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int repeat = 9;
    bool memory = false;
    const char* label = "";
    const char* list = nullptr; // ombrel-list, timed too when given
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc)
            repeat = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--memory") == 0)
            memory = true;
        else if (std::strcmp(argv[i], "--label") == 0 && i + 1 < argc)
            label = argv[++i];
        else if (std::strcmp(argv[i], "--list") == 0 && i + 1 < argc)
            list = argv[++i];
    }
    QApplication application(argc, argv);
    CPortView view;
    view.Create(nullptr);
    view.resize(1000, 700);
    view.show();
    view.OnInitialUpdate();
    QApplication::processEvents();

    if (memory) {
        // The program with the snapshot shown, once.
        std::printf("%s peak memory with %d entries shown: %.1f MiB\n", label, view.GetItemCount(),
                    static_cast<double>(PeakKiB()) / 1024.0);
        return 0;
    }

    std::vector<double> refresh, fill, command, filter, probe, ss, listing, walk;
    size_t sockets = 0;
    uint64_t descriptors = 0;
    size_t holders = 0;
    std::string refusal;
    for (int round = 0; round < repeat; ++round) {
        refresh.push_back(Seconds([&] { view.GetTable().Refresh(); }));
        fill.push_back(Seconds([&] {
            view.FillList(-1);
            view.repaint();
        }));
        command.push_back(Seconds([&] {
            view.RefreshList(-1);
            view.repaint();
        }));
        filter.push_back(Seconds([&] {
            view.FillList(0);
            view.repaint();
        }));
        probe.push_back(Seconds([&] { sockets = Probe(); }));
        // The kernel's descriptor walk alone, where this user may have it.
        std::vector<ombrel::platform::SocketHolder> held;
        double walked = Seconds([&] {
            if (!ombrel::platform::ReadSocketHolders(held))
                refusal = ombrel::platform::SocketHoldersRefusal();
        });
        if (refusal.empty()) {
            walk.push_back(walked);
            descriptors = ombrel::platform::MachineSocketWalk().Descriptors();
            holders = held.size();
        }
        ss.push_back(Seconds([] { Run("ss", "-tuanp"); }));
        if (list != nullptr)
            listing.push_back(Seconds([&] { Run(list, nullptr); }));
    }
    double s = Median(ss);
    std::printf("%s endpoints (%zu sockets, %d rows), medians of %d:\n", label, sockets,
                view.GetItemCount(), repeat);
    auto row = [&](const char* name, const std::vector<double>& values) {
        double m = Median(values);
        std::printf("  %-34s %8.4f s  %5.2f x ss  %5.2f x probe\n", name, m, m / s,
                    m / Median(probe));
    };
    row("CPortTable::Refresh", refresh);
    row("FillList (all rows)", fill);
    row("refresh command (snapshot + fill)", command);
    row("filter change (FillList TCP)", filter);
    row("probe (netlink + owners, 1 thread)", probe);
    if (list != nullptr)
        row("ombrel-list", listing);
    row("ss -tuanp", ss);
    std::printf("  filter change / refresh command: %.3f\n", Median(filter) / Median(command));
    if (!walk.empty() && descriptors != 0)
        std::printf("  the kernel's walk: %.4f s over %llu descriptors (%zu sockets), %.0f ns a "
                    "descriptor\n",
                    Median(walk), static_cast<unsigned long long>(descriptors), holders,
                    Median(walk) * 1e9 / static_cast<double>(descriptors));
    else
        std::printf("  the kernel's walk: refused (%s)\n", refusal.c_str());
    return 0;
}
