// The window from launch to three adapters listed, over a veth pair against
// plcsim (the home scenario: a local AV adapter and two remotes on its
// network), through the capture helper (what halyard uses) and through libpcap
// in the process, alternating in the same run so that both see the same
// machine.
//
// Each launch is a fresh process forked from the bench and joined to the host
// namespace, started the way halyard's main starts: the Qt application, the
// window's seams, the shell, then the property sheet, whose Main page runs the
// first scan. The time runs from the fork until the Main page's list holds
// three rows. The child runs as root, so the machine's data folder is a
// private folder mounted over /var/lib in its own mount namespace.
//
// Goal: through the helper no more than 50 ms slower than through libpcap.
//
// Usage (as root): bench_window_launch [launches per driver, default 5]
#include <QApplication>
#include <QTreeWidget>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_runner.h"
#include "packet/packet.h"
#include "packet/pcap_driver.h"
#include "platform/adapter_share.h"
#include "sim/network.h"
#include "support/netns.h"
#include "support/temp_dir.h"
#include "ui/qt/main_page.h"
#include "ui/qt/property_sheet.h"
#include "ui/qt/ui_seams.h"
#include "ui/shell.h"

namespace {

constexpr int kListed = 3;
constexpr int kGiveUpMs = 20000;

// In the child: launches the window and returns the milliseconds until the
// list holds kListed rows, or -1.
double launchWindow(bool throughHelper, bench::Steady::time_point start) {
    int argc = 1;
    char name[] = "halyard";
    char* argv[] = {name, nullptr};
    // The offscreen platform's notes about window hints are not figures.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    QApplication app(argc, argv);
    UiSeams seams;
    PcapDriver direct;
    if (!throughHelper)
        setPacketDriver(&direct);
    if (!startShell())
        return -1;
    double ms = -1;
    {
        PropertySheet sheet;
        sheet.show();
        QTreeWidget* list = sheet.mainPage()->deviceList();
        while (bench::msSince(start) < kGiveUpMs) {
            if (list->topLevelItemCount() >= kListed) {
                ms = bench::msSince(start);
                break;
            }
            app.processEvents(QEventLoop::AllEvents, 1);
        }
    }
    setPacketDriver(nullptr);
    return ms;
}

// One launch in a child process; the time comes back through a pipe.
double launchOnce(const NetnsPair& net, const std::string& folder, bool throughHelper) {
    int result[2];
    if (pipe(result) != 0)
        return -1;
    const auto start = bench::Steady::now();
    const pid_t child = fork();
    if (child == 0) {
        close(result[0]);
        double ms = -1;
        const std::string varLib = folder + "/varlib";
        if (enterNetns(net.ns(NetnsPair::Host)) &&
            mount(varLib.c_str(), "/var/lib", nullptr, MS_BIND, nullptr) == 0 &&
            chdir(folder.c_str()) == 0) {
            for (const char* v : {"HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"})
                setenv(v, folder.c_str(), 1);
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            setAdapterShareDirectory(folder);
            ms = launchWindow(throughHelper, start);
        }
        if (write(result[1], &ms, sizeof ms) != sizeof ms)
            _exit(2);
        _exit(0);
    }
    close(result[1]);
    double ms = -1;
    if (child < 0 || read(result[0], &ms, sizeof ms) != sizeof ms)
        ms = -1;
    close(result[0]);
    if (child > 0)
        waitpid(child, nullptr, 0);
    return ms;
}

} // namespace

int main(int argc, char** argv) {
    const int launches = bench::countArgument(argc, argv, 1, 5);
    int exitCode = 0;
    const std::unique_ptr<NetnsPair> veth =
        bench::openVeth("bench_window_launch", "02:48:59:00:00:91", exitCode);
    if (!veth)
        return exitCode;
    NetnsPair& net = *veth;
    TempDir dir;
    if (mkdir(dir.file("varlib").c_str(), 0755) != 0) {
        std::perror("bench_window_launch: varlib");
        return 1;
    }
    NetnsProcess emulator = net.spawn(NetnsPair::Plc,
                                      {PLCSIM_PATH, "--interface", net.ifName(NetnsPair::Plc),
                                       "--scenario", sim::scenarioPath("home.json")},
                                      dir.file("plcsim.log"));
    if (!emulator.running()) {
        std::fprintf(stderr, "bench_window_launch: plcsim did not start\n");
        return 1;
    }
    // plcsim may still be opening its interface: a first launch settles it.
    launchOnce(net, dir.path(), false);
    std::vector<double> helper, direct;
    for (int i = 0; i < launches; ++i) {
        for (bool throughHelper : {true, false}) {
            const double ms = launchOnce(net, dir.path(), throughHelper);
            if (ms < 0) {
                std::fprintf(stderr,
                             "bench_window_launch: the window did not list %d adapters "
                             "(%s)\n",
                             kListed, throughHelper ? "helper" : "libpcap");
                return 1;
            }
            (throughHelper ? helper : direct).push_back(ms);
        }
    }
    const bench::Spread h = bench::spreadOf(helper), d = bench::spreadOf(direct);
    std::printf("window launch to %d adapters listed, %d launches each, alternating:\n", kListed,
                launches);
    std::printf("  helper : median %.1f ms (min %.1f, max %.1f)\n", h.median, h.min, h.max);
    std::printf("  libpcap: median %.1f ms (min %.1f, max %.1f)\n", d.median, d.min, d.max);
    std::printf("  helper minus libpcap: %.1f ms (goal <= 50 ms)\n", h.median - d.median);
    return 0;
}
