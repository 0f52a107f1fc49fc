#include "support/emulated_halyard.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "diagnostics/diagnostics_page_logic.h"
#include "diagnostics/scan_log.h"
#include "maintenance/av_maintenance.h"
#include "network/hp10_frames.h"
#include "network/model.h"
#include "network/scan.h"
#include "packet/packet.h"
#include "platform/adapter_share.h"
#include "platform/main_window.h"
#include "platform/single_instance.h"
#include "platform/working_folder.h"
#include "plcapi/plcapi.h"
#include "security/key_operations.h"
#include "security/keys.h"
#include "storage/device_database.h"
#include "storage/preferences.h"
#include "support/core_bench.h"
#include "ui/bitmap.h"
#include "ui/device_dialogs_logic.h"
#include "ui/outcome_boxes.h"
#include "ui/security_page_logic.h"

void resetAllHalyardState() {
    resetMainPage();
    resetSecurityPage();
    resetDeviceDialogs();
    resetDiagnostics();
    resetBitmaps();
    resetCore();
    setWorkingFolder("");
    mainWindowHandle = nullptr;
}

std::unique_ptr<MemoryWire> EmulatedHalyard::makeWire(bool virtualTime) {
    if (virtualTime)
        return std::make_unique<MemoryWire>(clock);
    return std::make_unique<RealTimeWire>();
}

EmulatedHalyard::EmulatedHalyard(bool installClock)
    : ownWire_(makeWire(installClock)), wire(*ownWire_), clockInstalled_(installClock) {
    resetAllHalyardState();
    if (clockInstalled_)
        setSystemClock(&clock);
    setPacketDriver(&wire);
    setMessageSink(&messages);
    installOutcomeSinks();
    setScanTimer(&timer);
    setLogDirectory(dir.path());
    std::filesystem::create_directories(dataDirectory());
    // The single-instance lock lives in the runtime directory: a test's own,
    // so parallel tests (and a halyard the developer runs) do not meet.
    if (const char* old = std::getenv("XDG_RUNTIME_DIR"))
        oldRuntimeDir_ = old;
    hadRuntimeDir_ = std::getenv("XDG_RUNTIME_DIR") != nullptr;
    setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    // The exporter's locks too, also where the package made /run/halyard.
    setAdapterShareDirectory(dir.path());
}

EmulatedHalyard::~EmulatedHalyard() {
    stopTimer();
    closeAllInterfaces();
    if (net)
        net->detach();
    setLocalDeviceObserver(nullptr);
    resetAllHalyardState();
    releaseSingleInstance();
    releaseAdapterClaim();
    setAdapterShareDirectory("");
    setScanTimer(nullptr);
    setPacketDriver(nullptr);
    removeOutcomeSinks();
    setMessageSink(nullptr);
    if (clockInstalled_)
        setSystemClock(nullptr);
    if (hadRuntimeDir_)
        setenv("XDG_RUNTIME_DIR", oldRuntimeDir_.c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
}

PrefsFile EmulatedHalyard::defaultPreferences() {
    PrefsFile p{};
    p.scanInterval = 30;
    p.qualityType = 1;
    p.iconSize = 24;
    p.diagnosticsLevel = 1;
    p.autoScan = 1;
    p.lgLogoLeft = 80;
    p.lgLogoTop = 25;
    p.showRate = 1;
    p.showQuality = 1;
    p.upgradeCapability = 1;
    std::strncpy(p.webAddress, "http://www.tollbeam.example", sizeof p.webAddress);
    std::strncpy(p.appName, "Tollbeam", sizeof p.appName);
    std::strncpy(p.copyright, "Copyright (c) Tollbeam", sizeof p.copyright);
    return p;
}

void EmulatedHalyard::writePreferences(const PrefsFile& prefs) {
    std::vector<uint8_t> bytes(sizeof prefs);
    std::memcpy(bytes.data(), &prefs, sizeof prefs);
    writeFileBytes(dir.file(kPrefsFileName), bytes);
}

sim::Network& EmulatedHalyard::attach(std::unique_ptr<sim::Network> network) {
    MemoryWire::Port port;
    port.name = "eth0";
    port.description = "eth0";
    std::memcpy(port.mac, kEmulatedHostMac, 6);
    int index = wire.addPort(port);
    net = std::move(network);
    net->attach(wire, index);
    return *net;
}

sim::Network& EmulatedHalyard::attachScenario(const std::string& scenarioFile) {
    return attach(
        std::make_unique<sim::Network>(sim::Network::fromFile(sim::scenarioPath(scenarioFile))));
}

sim::Network& EmulatedHalyard::attachNetwork(const std::string& json) {
    return attach(std::make_unique<sim::Network>(sim::Network::fromJson(json)));
}

void EmulatedHalyard::attachEmptyPort(bool permissionDenied) {
    MemoryWire::Port port;
    port.name = "eth0";
    port.description = "eth0";
    std::memcpy(port.mac, kEmulatedHostMac, 6);
    port.permissionDenied = permissionDenied;
    port.openFails = permissionDenied;
    wire.addPort(port);
}

MainPageSetup EmulatedHalyard::setup() const {
    MainPageSetup s;
    s.workingFolder = workingFolder();
    s.useDataPlaces = true;
    s.machineDataDirectory = dataDirectory();
    s.fallbackDataDirectory = dir.file("fallback");
    return s;
}

void EmulatedHalyard::tick(int n) {
    if (!clockInstalled_)
        throw std::logic_error("EmulatedHalyard::tick: the wire runs in real time");
    for (int k = 0; k < n; ++k) {
        timerTick();
        clock.advance(kTimerPeriodMs);
    }
}
