// Times the administrator window's refresh as a user's window makes it: run
// as root with SUDO_UID naming the user, it starts the collector as root and
// becomes that user, as the program's own start does, then times the
// snapshot and the whole refresh command (the collector's answer, the fill
// and the repaint) and counts the rows with an owner. Without a collector,
// the same of root's own window.
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include <ombrel/administrator.h>
#include <ombrel/res/strings.h>

#include "port_entry.h"
#include "port_view.h"

int main(int argc, char** argv) {
    int repeat = 3;
    const char* collector = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc)
            repeat = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--collector") == 0 && i + 1 < argc)
            collector = argv[++i];
    }
    // Without a collector, root's own window, for comparison.
    if (::geteuid() != 0 || (collector != nullptr) != (std::getenv("SUDO_UID") != nullptr)) {
        std::fprintf(stderr, "usage, as root: [SUDO_UID=UID] administrator-bench "
                             "[--collector PATH] [--repeat N]\n");
        return 2;
    }
    ombrel::platform::CollectorPathOverride path(collector != nullptr ? collector : "");
    std::string refusal;
    if (collector != nullptr &&
        ombrel::platform::LeaveRootForTheUser(refusal) != ombrel::platform::StartRights::ForUser) {
        std::fprintf(stderr, "administrator-bench: %s\n", refusal.c_str());
        return 1;
    }
    ombrel::res::RegisterStrings();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    CPortView view;
    view.Create(nullptr);
    view.resize(1000, 700);
    view.show();
    view.OnInitialUpdate();
    QApplication::processEvents();

    auto seconds = [](auto&& work) {
        auto start = std::chrono::steady_clock::now();
        work();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    std::vector<double> times, snapshots;
    for (int round = 0; round < repeat; ++round) {
        snapshots.push_back(seconds([&] { view.GetTable().Refresh(); }));
        times.push_back(seconds([&] {
            view.RefreshList(-1);
            view.repaint();
        }));
    }
    size_t rows = 0, owned = 0;
    int index = 0;
    PortEntry* entry = nullptr;
    CPortTable& table = view.GetTable();
    for (int more = table.GetFirst(index, entry); more; more = table.GetNext(index, entry))
        if (entry != nullptr) {
            ++rows;
            owned += entry->processId != 0;
        }
    std::string report = table.OwnerSource();
    std::printf("%s as uid %u: snapshot (CPortTable::Refresh) %.3f s, "
                "refresh command (snapshot, fill, repaint) %.3f s, medians of %d; rows %zu, "
                "owned rows %zu, mode %s\n%s\n",
                collector != nullptr ? "the administrator window" : "root's own window",
                static_cast<unsigned>(::getuid()), median(snapshots), median(times), repeat, rows,
                owned,
                ombrel::platform::CurrentAdministratorMode() ==
                        ombrel::platform::AdministratorMode::Collecting
                    ? "collecting"
                    : "not collecting",
                report.c_str());
    ombrel::platform::StopCollector();
    return 0;
}
