#pragma once
// halyard's core against the emulator, the way the window tests and the flow
// tests of the user interface need it: every subsystem reset, a virtual clock
// (or the real one), the in-memory wire with one port whose powerline network
// is a scenario, a
// temporary working folder (OEMPrefs.dat, OUIList.txt, bitmaps) and data
// directory, recorded message boxes and a manual scan timer. The runtime
// directory (XDG_RUNTIME_DIR, where the single-instance lock lies) is the
// temporary folder while the object lives.
//
//   EmulatedHalyard h;                       // everything reset and installed
//   h.writePreferences(h.defaultPreferences());
//   h.attachScenario("home.json");           // or attachNetwork(json text)
//   ... createMainPage(h.setup(), nullptr) or a PropertySheet ...
//   // the destructor detaches and restores every seam
//
// Live tests run the real window on the real clock against the emulator:
//
//   EmulatedHalyard h{false};                   // real clock, RealTimeWire
//   h.writePreferences(...); h.attachScenario("home.json");
//   UiSeams seams;                              // QTimer, UiClock, QMessageBox
//   startShell(h.workingFolder()); MainPage::setSetup(h.setup());
//   PropertySheet sheet; sheet.show();          // answers arrive in real time
//   { auto still = h.wire.holdPeer(); ... h.net->station(mac).nmk ... }
#include <memory>
#include <string>

#include "network/auto_scan.h"
#include "packet/memory_wire.h"
#include "packet/realtime_wire.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "sim/network.h"
#include "storage/prefs_layout.h"
#include "support/temp_dir.h"
#include "ui/main_page_logic.h"

// The host's own MAC on the emulated port.
inline constexpr uint8_t kEmulatedHostMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

// Returns every subsystem's state to its start (model, scan, automatic scan,
// frames, management library, maintenance, keys, storage, diagnostics, the
// window's pages and dialogs).
void resetAllHalyardState();

class EmulatedHalyard {
  public:
    // `installClock` false leaves the real clock and puts the wire on it
    // (RealTimeWire: the emulator's answers fall due on the real monotonic
    // clock): the live tests, where Qt's own timers drive the automatic scan
    // in real time.
    explicit EmulatedHalyard(bool installClock = true);
    ~EmulatedHalyard();
    EmulatedHalyard(const EmulatedHalyard&) = delete;
    EmulatedHalyard& operator=(const EmulatedHalyard&) = delete;

    // Preferences as a reseller would ship them: name "Tollbeam", automatic
    // scan every 30 s, rate and quality columns, word quality, icons of 24.
    static PrefsFile defaultPreferences();
    // Writes OEMPrefs.dat into the working folder (269 bytes).
    void writePreferences(const PrefsFile& prefs);

    // One wire port for the host; its powerline network is the scenario.
    sim::Network& attachScenario(const std::string& scenarioFile);
    sim::Network& attachNetwork(const std::string& json);
    sim::Network& attach(std::unique_ptr<sim::Network> network);
    // A port with nothing behind it (no adapter), or one capture was refused on.
    void attachEmptyPort(bool permissionDenied = false);

    // Working folder and data directories inside the temporary folder.
    MainPageSetup setup() const;
    std::string workingFolder() const { return dir.path(); }
    std::string dataDirectory() const { return dir.file("data"); }

    // `n` ticks of the 50 ms timer in virtual time (virtual-time wires only).
    void tick(int n);

    VirtualClock clock; // unused on the real clock
  private:
    std::unique_ptr<MemoryWire> makeWire(bool virtualTime);
    std::unique_ptr<MemoryWire> ownWire_;

  public:
    MemoryWire& wire; // the virtual-time wire, or the RealTimeWire
    RecordingMessages messages;
    ManualScanTimer timer;
    TempDir dir;
    std::unique_ptr<sim::Network> net;

  private:
    bool clockInstalled_;
    bool hadRuntimeDir_ = false;
    std::string oldRuntimeDir_;
};
