// The exporter steps aside for the window, on the real clock: a real
// `halyardctl exporter` process cycles against the emulator over a veth pair;
// the real window starts (its start must not fail), takes the adapters, lists
// the emulated home's adapters on its own real timer, and closes; the
// exporter, which kept serving its last values marked paused meanwhile,
// resumes its cycles.
#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "live/live_window.h"
#include "platform/adapter_share.h"
#include "sim/network.h"
#include "sim/pcap_server.h"
#include "storage/preferences.h"
#include "support/emulated_halyard.h"
#include "support/http_client.h"
#include "support/netns.h"
#include "ui/main_page_logic.h"
#include "ui/qt/main_page.h"
#include "ui/qt/property_sheet.h"
#include "ui/qt/ui_seams.h"
#include "ui/shell.h"

namespace {

constexpr int kPort = 18848;

class ExporterPauseLive : public ::testing::Test {
  protected:
    QtScanTimer scanTimer;
    QtMessageBoxSink boxes;
    UiClock uiClock;
    EmulatedHalyard h{false};
    std::unique_ptr<PropertySheet> sheet;

    void TearDown() override {
        sheet.reset();
        setSystemClock(nullptr);
        stopFar = true;
        if (far.joinable())
            far.join();
    }

    double metric(const std::string& name) {
        HttpResponse r = net->runIn(NetnsPair::Host, [&] { return httpGet(kPort, "/metrics"); });
        std::vector<MetricSample> samples;
        std::string error;
        if (r.status != 200 || !parseExposition(r.body, samples, error))
            return -1;
        auto found = findSamples(samples, name);
        return found.size() == 1 ? found[0].value : -1;
    }
    int remoteRates() {
        HttpResponse r = net->runIn(NetnsPair::Host, [&] { return httpGet(kPort, "/metrics"); });
        std::vector<MetricSample> samples;
        std::string error;
        parseExposition(r.body, samples, error);
        return static_cast<int>(findSamples(samples, "halyard_link_rate_bytes_per_second").size());
    }

    std::unique_ptr<NetnsPair> net;
    sim::Network farNetwork = sim::Network::fromFile(sim::scenarioPath("home.json"));
    std::atomic<bool> stopFar{false};
    std::thread far;
};

TEST_F(ExporterPauseLive, WindowStartsListsTheAdaptersAndTheExporterResumesAfterIt) {
    HALYARD_REQUIRE_NETNS();
    net = std::make_unique<NetnsPair>();
    ASSERT_TRUE(net->ok()) << net->error();
    std::atomic<bool> opened{false};
    far = net->threadIn(NetnsPair::Plc, [&, ifname = net->ifName(NetnsPair::Plc)] {
        sim::PcapServer server(farNetwork);
        std::string error;
        if (!server.open(ifname, error))
            return;
        opened = true;
        server.serve(stopFar, error);
    });
    ASSERT_TRUE(waitFor([&] { return opened.load(); }, 5000));

    PrefsFile prefs = EmulatedHalyard::defaultPreferences();
    prefs.scanInterval = 2;
    h.writePreferences(prefs);
    h.attachScenario("home.json");
    // The exporter shares the window's runtime folder, as two programs of one
    // user do; its data goes to a private /var/lib.
    const std::string runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string varLib = h.workingFolder() + "/exporter-varlib";
    ASSERT_EQ(0, mkdir(varLib.c_str(), 0755));
    NetnsProcess exporter = net->spawn(
        NetnsPair::Host,
        {"sh", "-c",
         "mount --bind \"$1\" /var/lib && w=\"$3\" && " HALYARD_PRIVATE_SHARE_SH " && cd \"$2\" && "
         "XDG_RUNTIME_DIR=\"$3\" exec \"$4\" "
         "exporter --listen 127.0.0.1:" +
             std::to_string(kPort) + " --interval 2 2>\"$2/exporter.err\"",
         "sh", varLib, h.workingFolder(), runtime, HALYARDCTL_PATH},
        h.workingFolder() + "/spawn.log");
    ASSERT_TRUE(waitFor([&] { return metric("halyard_cycles_total") >= 1; }, 60000))
        << "the exporter never completed a cycle";
    EXPECT_EQ(1.0, metric("halyard_exporter_holds_adapters"));

    // The window starts while the exporter cycles: its start succeeds.
    setMessageSink(&boxes);
    setScanTimer(&scanTimer);
    setSystemClock(&uiClock);
    QElapsedTimer started;
    started.start();
    ASSERT_TRUE(startShell(h.workingFolder()));
    EXPECT_TRUE(holdsAdapterClaim());
    EXPECT_LT(started.elapsed(), 20000);
    // The exporter has let go and says so, with the last cycle's values.
    EXPECT_EQ(1.0, metric("halyard_exporter_paused"));
    EXPECT_EQ(0.0, metric("halyard_exporter_holds_adapters"));
    EXPECT_EQ(2, remoteRates());
    const double cyclesAtPause = metric("halyard_cycles_total");

    MainPage::setSetup(h.setup());
    sheet = std::make_unique<PropertySheet>();
    sheet->show();
    QTreeWidget* list = sheet->mainPage()->deviceList();
    ASSERT_TRUE(waitFor([&] { return list->topLevelItemCount() == 3; }, 10000))
        << "the window never listed the three adapters";
    QTest::qWait(4000); // two of the window's intervals: the exporter stays paused
    EXPECT_EQ(cyclesAtPause, metric("halyard_cycles_total"));
    EXPECT_EQ(1.0, metric("halyard_exporter_paused"));

    // The window closes; its process would end here, dropping its claim.
    sheet->close();
    sheet.reset();
    releaseAdapterClaim();
    ASSERT_TRUE(waitFor([&] { return metric("halyard_cycles_total") > cyclesAtPause; }, 30000))
        << "the exporter did not resume";
    EXPECT_EQ(0.0, metric("halyard_exporter_paused"));
    EXPECT_EQ(1.0, metric("halyard_exporter_holds_adapters"));
    EXPECT_EQ(2, remoteRates());
    exporter.stop();
}

} // namespace
