// halyard-demo: halyard's own window and core on an emulated powerline network
// inside the process. The emulator (sim::Network) answers over the in-memory
// wire on the real clock, so every page, dialog and upgrade runs as on real
// adapters, with no adapter, network interface, capture rights or root. The
// demo works in a folder of its own (a fresh temporary one, or --keep DIR) that
// holds its branding, device database and logs, and never touches the user's.
#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "demo/demo_folder.h"
#include "demo/demo_options.h"
#include "demo/emulated_network.h"
#include "diagnostics/scan_log.h"
#include "platform/single_instance.h"
#include "storage/history_recorder.h"
#include "storage/preferences.h"
#include "ui/qt/main_page.h"
#include "ui/qt/property_sheet.h"
#include "ui/qt/ui_seams.h"
#include "ui/shell.h"

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    char byte = 1;
    (void)!::write(signalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM close the window as its Close button would (the database
// is written and the emulator's state saved); a close refused while an
// operation waits is tried again.
void closeOnSignals(PropertySheet& sheet) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &sheet);
    auto* retry = new QTimer(&sheet);
    retry->setInterval(200);
    QObject::connect(retry, &QTimer::timeout, &sheet, [&sheet] { sheet.close(); });
    QObject::connect(notifier, &QSocketNotifier::activated, &sheet, [&sheet, retry] {
        char bytes[16];
        (void)!::read(signalPipe[0], bytes, sizeof bytes);
        std::fprintf(stderr, "halyard-demo: ending on a signal\n");
        retry->start();
        sheet.close();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void tellAboutTheDemo(const std::string& dir, const sim::Network& network, bool kept) {
    std::printf("halyard-demo: %zu emulated adapters; working folder %s%s\n",
                network.stations().size(), dir.c_str(),
                kept ? "" : " (removed at the end; --keep DIR keeps it)");
    const sim::Station* local = nullptr;
    for (const sim::Station& s : network.stations())
        if (s.local)
            local = &s;
    for (const sim::Station& s : network.stations())
        if (local && &s != local && !network.sameNetwork(*local, s))
            std::printf("halyard-demo: %s is on another network; Add Device takes its device "
                        "password %s\n",
                        sim::formatMac(s.mac).c_str(), s.devicePassword.c_str());
    std::printf("halyard-demo: every adapter's device password is on the About page\n");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    // --help and bad arguments are answered before a window system is needed.
    std::vector<std::string> early(argv + 1, argv + argc);
    for (const std::string& arg : early)
        if (arg == "--help" || arg == "-h") {
            std::fputs(demoUsage().c_str(), stdout);
            return 0;
        }
    QApplication app(argc, argv); // takes Qt's own options (-platform, ...)
    DemoOptions options;
    std::string error;
    if (!parseDemoOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "halyard-demo: %s\n%s", error.c_str(), demoUsage().c_str());
        return 2;
    }

    sim::Network network;
    try {
        network = loadDemoScenario(options.scenarioFile);
        (void)network.local();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "halyard-demo: %s: %s\n",
                     options.scenarioFile.empty() ? "built-in scenario"
                                                  : options.scenarioFile.c_str(),
                     e.what());
        return 2;
    }

    const bool kept = !options.keepFolder.empty();
    std::string dir =
        kept ? std::filesystem::absolute(options.keepFolder).lexically_normal().string()
             : createTemporaryDemoFolder(error);
    if (dir.empty() || !prepareDemoFolder(dir, network, error)) {
        std::fprintf(stderr, "halyard-demo: %s\n", error.c_str());
        return 1;
    }
    // The demo folder is the current directory too: what halyard reads or
    // writes "in the current directory" stays in it, and the file dialogs of
    // the upgrade open where the demo images are.
    if (::chdir(dir.c_str()) != 0) {
        std::perror(("halyard-demo: " + dir).c_str());
        if (!kept)
            removeDemoFolder(dir);
        return 1;
    }
    setLogDirectory(dir);
    tellAboutTheDemo(dir, network, kept);

    int status = 0;
    {
        EmulatedNetwork emulated(std::move(network));
        UiSeams seams;
        if (startShell(dir, demoLockName(dir))) {
            MainPage::setSetup(demoPageSetup(dir));
            // The demo's history stays in its own folder, apart from the user's.
            startHistoryRecording(dir + "/" + kHistoryFileName);
            {
                PropertySheet sheet;
                sheet.setWindowTitle(QString::fromLatin1(demoWindowTitle(prefAppName()).c_str()));
                closeOnSignals(sheet);
                sheet.exec();
            }
            stopHistoryRecording();
            releaseSingleInstance();
            auto still = emulated.wire().holdPeer();
            if (!writeEmulatorState(dir + "/" + kEmulatorStateFile, emulated.network(), error)) {
                std::fprintf(stderr, "halyard-demo: %s\n", error.c_str());
                status = 1;
            }
        }
    }
    if (kept) {
        std::printf("halyard-demo: kept %s\n", dir.c_str());
    } else {
        if (::chdir("/") == 0)
            removeDemoFolder(dir);
    }
    return status;
}
