// The commands of halyardctl. Each one runs the operations the window's
// logic runs for the same request, in the same order, and decides on their
// outcomes, never on a list row or a message text:
//
//   start-up      startShell (preferences, the single-instance lock, the
//                 local-device observer), then the Main page's files
//                 (openMainPageFiles: data directory, vendor list, database);
//   checks        the operations' own input checks (checkNetworkKeyText,
//                 checkAddDeviceInput, the upgrade files), before anything is sent;
//   scan          scanNowMain, then one automatic cycle (timerTick every
//                 50 ms) so the remote devices are found, rated and listed;
//   operation     renameDevice, fileDevicePassword, keyDevicesOnNetwork on
//                 keyable devices, addDeviceToNetwork with decisions of its
//                 own, resetDeviceToFactoryDefaults on a device on the
//                 network, localUpgradeKind then the upgrade worker or
//                 upgradeHp10, the diagnostics report;
//   end           the Main page's deactivation writes the database.
//
// Outcomes are printed on stderr with the texts of the window's boxes
// (ui/outcome_boxes.h) and decide the exit code.
#include <signal.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <type_traits>

#include "cli/arguments.h"
#include "cli/exporter.h"
#include "cli/halyardctl.h"
#include "cli/map_command.h"
#include "cli/secrets.h"
#include "diagnostics/diagnostics_report.h"
#include "halyard_version.h"
#include "maintenance/av_maintenance.h"
#include "maintenance/hp10_upgrade.h"
#include "network/auto_scan.h"
#include "network/listed_devices.h"
#include "network/model.h"
#include "network/network_map.h"
#include "network/scan.h"
#include "packet/driver.h"
#include "packet/packet.h"
#include "platform/adapter_share.h"
#include "platform/clock.h"
#include "platform/main_window.h"
#include "platform/messages.h"
#include "platform/single_instance.h"
#include "security/add_device_flow.h"
#include "security/device_password.h"
#include "security/key_operations.h"
#include "storage/device_database.h"
#include "storage/device_naming.h"
#include "storage/history_recorder.h"
#include "storage/preferences.h"
#include "storage/vendor_list.h"
#include "ui/device_dialogs_logic.h"
#include "ui/main_page_logic.h"
#include "ui/outcome_boxes.h"
#include "ui/shell.h"

namespace halyardctl {

namespace {

using nlohmann::json;

// Waits longer than this are announced, so a technician knows why nothing moves.
constexpr uint32_t kAnnouncedWaitMs = 2000;
// The automatic cycle's scan interval when the preferences give none (seconds).
constexpr int kDefaultIntervalSeconds = 30;
// Bound on the ticks of one automatic cycle: eight steps, a little slack for
// ticks that a long step (a scan) leaves.
constexpr int kCycleTickLimit = 64;

// ---- Signals ----------------------------------------------------------------------------

// Set by SIGINT or SIGTERM; watch ends at the next tick, the upgrade at the
// next block boundary.
volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
    stopRequested = 1;
    upgradeCancelRequested.store(true);
}

// Catches SIGINT and SIGTERM for the life of the object.
class StopSignals {
  public:
    StopSignals() {
        stopRequested = 0;
        struct sigaction sa {};
        sa.sa_handler = onStopSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &oldInt_);
        sigaction(SIGTERM, &sa, &oldTerm_);
    }
    ~StopSignals() {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

  private:
    struct sigaction oldInt_ {
    }, oldTerm_{};
};

// ---- Seams --------------------------------------------------------------------------------

// The boxes of the core, on the command line: every box is printed on stderr
// and kept for the command's outcome. halyardctl answers no question: each
// decision an operation asks for is made from the command's options through
// the operation's decisions (AddDeviceDecisions, AvUpgradeDecisions), and a
// question that still reached it is declined, so that nothing happens that
// the command line did not ask for.
class CliMessages : public MessageSink {
  public:
    explicit CliMessages(std::ostream& err) : err_(err) {}
    MessageResult show(MessageOwner*, const std::string& text, const std::string& caption,
                       MessageIcon icon, MessageButtons buttons) override {
        if (buttons == MessageButtons::Ok) {
            shown.push_back({text, caption, icon, buttons, MessageResult::Ok});
            printBox(text);
            return MessageResult::Ok;
        }
        err_ << "halyardctl: declined a question: " << text << "\n";
        return buttons == MessageButtons::YesNo ? MessageResult::No : MessageResult::Cancel;
    }
    // An operation's outcome, printed and kept like the box the window shows
    // for it: a message whose box has a fixed text (None tells nothing).
    template <typename Message>
    requires std::is_enum_v<Message>
    void note(Message message) {
        if constexpr (requires { Message::None; }) {
            if (message == Message::None)
                return;
        }
        const OutcomeBox& box = outcomeBox(message);
        if (*box.text != '\0') // a success that tells nothing (Renamed, Stored)
            note(box.text, box.caption, box.icon);
    }
    // Outcomes whose texts carry values, or several messages.
    void note(const LocalUpgradeKind& local) {
        if (!local.blockRead)
            note(local.blockRead.message);
        note(local.message);
    }
    void note(const AvUpgradeOutcome& outcome) {
        if (outcome.message != AvUpgradeMessage::None)
            note(outcomeText(outcome), outcomeBox(outcome.message));
    }
    void note(const DatabaseNotice& notice) {
        if (notice.message != DatabaseMessage::None)
            note(outcomeText(notice), outcomeBox(notice.message));
    }
    void note(const Hp10UpgradeOutcome& outcome) {
        const std::vector<std::string> texts = outcomeTexts(outcome);
        size_t next = 0;
        for (Hp10UpgradeMessage message : outcome.messages) {
            if (message != Hp10UpgradeMessage::None)
                note(texts[next++], outcomeBox(message));
        }
    }
    void note(const std::string& text, const OutcomeBox& box) { note(text, box.caption, box.icon); }
    void note(const std::string& text, const std::string& caption, MessageIcon icon) {
        shown.push_back({text, caption, icon, MessageButtons::Ok, MessageResult::Ok});
        printBox(text);
    }
    std::vector<RecordedMessage> shown;

  private:
    void printBox(const std::string& text) {
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line))
            err_ << "halyardctl: " << line << "\n";
        err_.flush();
    }
    std::ostream& err_;
};

// The clock the core waits on, announcing every wait over two seconds with the
// step it belongs to.
class AnnouncingClock : public Clock {
  public:
    AnnouncingClock(Clock& inner, std::ostream& err) : inner_(inner), err_(err) {}
    uint32_t tickCount() override { return inner_.tickCount(); }
    int64_t utcMs() override { return inner_.utcMs(); }
    void sleepMs(uint32_t ms) override {
        if (ms > kAnnouncedWaitMs || (ms == kAnnouncedWaitMs && !activity.empty())) {
            err_ << "halyardctl: waiting " << ms / 1000.0 << " s"
                 << (activity.empty() ? std::string() : ": " + activity) << "\n";
            err_.flush();
        }
        inner_.sleepMs(ms);
    }
    std::string activity;

  private:
    Clock& inner_;
    std::ostream& err_;
};

// The packet driver, limited to the interface --interface names; it also keeps
// the names in list order, which the packet interface's table does not hold.
class InterfaceDriver : public PacketDriver {
  public:
    InterfaceDriver(PacketDriver& inner, std::string only)
        : inner_(inner), only_(std::move(only)) {}
    bool enumerate(std::vector<DriverInterface>& out) override {
        std::vector<DriverInterface> all;
        if (!inner_.enumerate(all))
            return false;
        out.clear();
        for (const DriverInterface& i : all)
            if (only_.empty() || i.name == only_)
                out.push_back(i);
        names.clear();
        for (const DriverInterface& i : out)
            names.push_back(i.name);
        enumerated = true;
        return true;
    }
    bool readMac(const std::string& name, uint8_t mac[6]) override {
        return inner_.readMac(name, mac);
    }
    void* open(const std::string& name, std::string& error, bool& permissionDenied) override {
        return inner_.open(name, error, permissionDenied);
    }
    void close(void* handle) override { inner_.close(handle); }
    bool send(void* handle, const uint8_t* bytes, size_t length) override {
        ++framesSent;
        return inner_.send(handle, bytes, length);
    }
    TakeResult takeOne(void* handle, std::vector<uint8_t>& frame) override {
        return inner_.takeOne(handle, frame);
    }
    std::string permissionAdvice() override { return inner_.permissionAdvice(); }
    std::vector<std::string> names;
    bool enumerated = false;
    long framesSent = 0;

  private:
    PacketDriver& inner_;
    std::string only_;
};

// Installs the seams for one run and puts the previous ones back afterwards.
class SeamScope {
  public:
    SeamScope(const Environment& env, const std::string& only, std::ostream& err)
        : previousDriver_(&packetDriver()), previousSink_(&messageSink()),
          previousClock_(&systemClock()), driver(env.driver ? *env.driver : packetDriver(), only),
          clock(env.clock ? *env.clock : systemClock(), err), messages(err) {
        setPacketDriver(&driver);
        setSystemClock(&clock);
        setMessageSink(&messages);
        // What the core tells as it happens is printed like every outcome.
        setDatabaseNoticeSink([this](const DatabaseNotice& notice) { messages.note(notice); });
        setPacketErrorSink([this](PacketError error) { messages.note(error); });
        setKeyNoticeSink([this](KeyMessage message) { messages.note(message); });
    }
    ~SeamScope() {
        setUpgradeProgressHook({});
        setDatabaseNoticeSink({});
        setPacketErrorSink({});
        setKeyNoticeSink({});
        setMessageSink(previousSink_);
        setSystemClock(previousClock_);
        setPacketDriver(previousDriver_);
        releaseSingleInstance();
        releaseAdapterClaim();
    }
    SeamScope(const SeamScope&) = delete;
    SeamScope& operator=(const SeamScope&) = delete;

  private:
    PacketDriver* previousDriver_;
    MessageSink* previousSink_;
    Clock* previousClock_;

  public:
    InterfaceDriver driver;
    AnnouncingClock clock;
    CliMessages messages;
};

// ---- Texts of the device list ------------------------------------------------------------

const char* familyName(int32_t code) {
    if (code == kTypeAv)
        return "HomePlug AV";
    if (code == kTypeTurbo)
        return "HomePlug Turbo";
    return "HomePlug 1.0";
}

// "Network Type : Public" -> "Public".
std::string networkType() {
    std::string text = networkTypeText();
    size_t colon = text.rfind(": ");
    return colon == std::string::npos ? text : text.substr(colon + 2);
}

// The Quality column's words, whatever picture the preferences choose for the window.
std::string qualityWord(const MainRow& row) {
    return qualityText(row.rateValue, row.family, 1);
}

double roundedRate(double rate) {
    return std::round(rate * 100.0) / 100.0;
}

json rowJson(const MainRow& row) {
    uint8_t mac[6] = {};
    parseMac(row.mac.c_str(), mac);
    return json{{"mac", row.mac},
                {"name", row.name},
                {"location", row.reference == 0 ? "local" : "remote"},
                {"family", familyName(row.family)},
                {"firmware", row.firmware},
                {"rate_mbps", roundedRate(row.rateValue)},
                {"quality", qualityWord(row)},
                {"vendor", vendorName(mac)}};
}

std::string utcNow() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// ---- One run --------------------------------------------------------------------------------

class Run {
  public:
    Run(const Options& o, std::ostream& out, std::ostream& err, const Environment& env)
        : o_(o), out_(out), err_(err), env_(env), seams_(env, o.interfaceName, err) {}

    int execute();

  private:
    int fail(int code, const std::string& reason) {
        err_ << "halyardctl: " << reason << "\n";
        return code;
    }
    // The window's start-up before any page: false (exit 3) when another copy runs.
    bool start();
    // The scan of the Main page's creation; then one automatic cycle.
    int scan(bool wholeCycle);
    void runCycle();
    // Ticks of the automatic scan's 50 ms timer, in the clock seam. Between
    // cycles the ticks that only count towards the next cycle pass in one
    // sleep of up to a second, as the window's timer lets them pass: watch
    // and the exporter run for days, and twenty wake-ups a second cost more
    // than the cycles themselves. Every tick is still counted, and the tick
    // that starts a cycle still runs on its own.
    void tick() {
        const int idle = std::min(idleTicksAhead(), kMaxIdleBatch);
        if (idle > 1) {
            sleepMs(static_cast<uint32_t>(idle) * kTimerPeriodMs);
            passIdleTicks(idle - 1);
        } else {
            sleepMs(kTimerPeriodMs);
        }
        timerTick();
    }
    // Prints the outcome of a command that printed no document of its own.
    int finish(int code, const std::string& summary);
    std::string interfaceName() const;
    const RecordedMessage* lastBox() const {
        return seams_.messages.shown.empty() ? nullptr : &seams_.messages.shown.back();
    }

    int list();
    int watch();
    int exporter();
    exporter::CycleSample cycleSample() const;
    int rename();
    int password();
    int setKey(const std::string* typed); // null: the public network
    int add();
    int reset();
    int upgrade();
    int report();
    int map();

    const Options& o_;
    std::ostream& out_;
    std::ostream& err_;
    const Environment& env_;
    SeamScope seams_;
};

bool Run::start() {
    if (!startShell(env_.setup.workingFolder))
        return false;
    openMainPageFiles(env_.setup, mainWindowHandle);
    installMainPageLinks();
    return true;
}

std::string Run::interfaceName() const {
    const auto& names = seams_.driver.names;
    if (currentInterface >= 0 && currentInterface < static_cast<int>(names.size()))
        return names[static_cast<size_t>(currentInterface)];
    return o_.interfaceName;
}

int Run::scan(bool wholeCycle) {
    seams_.clock.activity = "scanning";
    if (!scanNowMain(mainWindowHandle)) {
        if (seams_.driver.enumerated && seams_.driver.names.empty() && !o_.interfaceName.empty())
            return fail(kExitNoAdapter,
                        "no usable Ethernet interface named \"" + o_.interfaceName + "\"");
        if (!capturePermissionProblem().empty())
            return fail(kExitNoAdapter, "no capture rights on the interfaces");
        return fail(kExitNoAdapter, "no powerline adapter found");
    }
    if (wholeCycle)
        runCycle();
    return kExitOk;
}

// One whole automatic cycle, as the window's timer runs it (also with
// AutoScan off: the command asked for the remote devices).
void Run::runCycle() {
    seams_.clock.activity = "automatic scan cycle";
    if (intervalTicks <= 0)
        setScanInterval(kDefaultIntervalSeconds * 20);
    startTimer();
    suspendAutoScan(1);
    for (int n = 0; n < kCycleTickLimit && cycleStep < kCycleIdle && !stopRequested; ++n)
        tick();
}

int Run::finish(int code, const std::string& summary) {
    if (o_.json) {
        json messages = json::array();
        for (const RecordedMessage& m : seams_.messages.shown)
            messages.push_back(json{{"caption", m.caption}, {"text", m.text}});
        out_ << json{{"command", o_.commandName},
                     {"ok", code == kExitOk},
                     {"exit_code", code},
                     {"result", summary},
                     {"messages", messages}}
                    .dump(2)
             << "\n";
    } else if (code == kExitOk && !summary.empty()) {
        out_ << summary << "\n";
    }
    return code;
}

int Run::execute() {
    if (o_.command == Command::Exporter)
        return exporter();
    if (!start())
        return fail(kExitNoAdapter, "halyard's window (or another halyardctl) is running; the "
                                    "two must not drive the adapters at once");
    int code = kExitOk;
    switch (o_.command) {
    case Command::List:
        code = list();
        break;
    case Command::Watch:
        code = watch();
        break;
    case Command::Rename:
        code = rename();
        break;
    case Command::Password:
        code = password();
        break;
    case Command::SetKey:
        code = setKey(&*o_.networkPassword);
        break;
    case Command::Public:
        code = setKey(nullptr);
        break;
    case Command::Add:
        code = add();
        break;
    case Command::Reset:
        code = reset();
        break;
    case Command::Upgrade:
        code = upgrade();
        break;
    case Command::Report:
        code = report();
        break;
    case Command::Map:
        code = map();
        break;
    default:
        break;
    }
    // As the window does when the Main page is left: the database is written.
    mainPageDeactivated();
    return code;
}

// ---- list, watch ------------------------------------------------------------------------------

int Run::list() {
    if (int code = scan(true); code != kExitOk)
        return code;
    const auto& rows = mainPageState.rows;
    if (o_.json) {
        json devices = json::array();
        for (const MainRow& row : rows)
            devices.push_back(rowJson(row));
        out_ << json{{"interface", interfaceName()},
                     {"mac", formatMac(hostMac())},
                     {"network", networkType()},
                     {"devices", devices}}
                    .dump(2)
             << "\n";
        return kExitOk;
    }
    out_ << "Interface " << interfaceName() << " (" << formatMac(hostMac()) << "), network "
         << networkType() << ", " << rows.size() << (rows.size() == 1 ? " device" : " devices")
         << "\n";
    out_ << std::left << std::setw(18) << "MAC"
         << " " << std::setw(20) << "NAME"
         << " " << std::setw(8) << "LOCATION"
         << " " << std::setw(14) << "FAMILY"
         << " " << std::setw(24) << "FIRMWARE"
         << " " << std::right << std::setw(8) << "MBPS"
         << "  " << std::left << std::setw(10) << "QUALITY"
         << " VENDOR\n";
    for (const MainRow& row : rows) {
        uint8_t mac[6] = {};
        parseMac(row.mac.c_str(), mac);
        out_ << std::left << std::setw(18) << row.mac << " " << std::setw(20) << row.name << " "
             << std::setw(8) << (row.reference == 0 ? "local" : "remote") << " " << std::setw(14)
             << familyName(row.family) << " " << std::setw(24) << row.firmware << " " << std::right
             << std::setw(8) << row.rate << "  " << std::left << std::setw(10) << qualityWord(row)
             << " " << vendorName(mac) << "\n";
    }
    return kExitOk;
}

int Run::watch() {
    StopSignals signals;
    if (int code = scan(false); code != kExitOk)
        return code;
    int seconds = o_.intervalSeconds.value_or(
        preferenceIntervalTicks() > 0 ? preferenceIntervalTicks() / 20 : kDefaultIntervalSeconds);
    setScanInterval(std::max(1, seconds) * 20);
    seams_.clock.activity = "";
    // watch keeps the link history as the window does.
    startHistoryRecording(env_.historyPath);
    std::string historyNote = historyRecorderStatus().note;
    if (!historyNote.empty())
        err_ << "halyardctl: history: recording paused: " << historyNote << "\n";
    startTimer();
    suspendAutoScan(1);
    long cycles = 0;
    int previousStep = cycleStep;
    while (!stopRequested && (!o_.count || cycles < *o_.count)) {
        tick();
        bool cycleEnded = previousStep == 7 && cycleStep >= kCycleIdle;
        previousStep = cycleStep;
        if (!cycleEnded)
            continue;
        ++cycles;
        if (historyRecorderStatus().note != historyNote) {
            historyNote = historyRecorderStatus().note;
            err_ << "halyardctl: history: "
                 << (historyNote.empty() ? "recording resumed" : "recording paused: " + historyNote)
                 << "\n";
        }
        std::string time = utcNow();
        for (const MainRow& row : mainPageState.rows) {
            if (o_.json) {
                json line = rowJson(row);
                line["time"] = time;
                line["cycle"] = cycles;
                line["interface"] = interfaceName();
                out_ << line.dump() << "\n";
            } else {
                out_ << time << " " << cycles << " " << row.mac << " "
                     << (row.reference == 0 ? "local " : "remote") << " " << std::right
                     << std::setw(8) << row.rate << " Mbps " << qualityWord(row) << " " << row.name
                     << "\n";
            }
        }
        out_.flush();
    }
    stopHistoryRecording();
    if (stopRequested)
        err_ << "halyardctl: stopped after " << cycles << (cycles == 1 ? " cycle" : " cycles")
             << "; device database saved\n";
    return kExitOk;
}

// ---- exporter ----------------------------------------------------------------------------------

exporter::CycleSample Run::cycleSample() const {
    exporter::CycleSample sample;
    sample.interfaceName = interfaceName();
    sample.finishedAt =
        env_.exporterNow ? env_.exporterNow() : static_cast<double>(std::time(nullptr));
    for (const MainRow& row : mainPageState.rows) {
        uint8_t mac[6] = {};
        parseMac(row.mac.c_str(), mac);
        exporter::AdapterSample a;
        a.mac = row.mac;
        a.name = row.name;
        a.firmware = row.firmware;
        a.family = familyName(row.family);
        a.vendor = vendorName(mac);
        a.local = row.reference == 0;
        a.rateMbps = row.rateValue;
        if (a.local)
            sample.localMac = row.mac;
        sample.adapters.push_back(std::move(a));
    }
    return sample;
}

// The exporter does not take halyard's single-instance lock: it never stands
// in the way of the window or a command, and steps aside for them
// (platform/adapter_share.h). A lock of its own keeps it to one per user.
int Run::exporter() {
    StopSignals signals;
    if (!startShell(env_.setup.workingFolder, "halyard-exporter"))
        return fail(kExitNoAdapter, "another halyardctl exporter is running");
    openMainPageFiles(env_.setup, mainWindowHandle);
    installMainPageLinks();
    ExporterSettings settings;
    settings.host = o_.listenHost;
    settings.port = o_.listenPort;
    settings.intervalSeconds = o_.intervalSeconds.value_or(
        preferenceIntervalTicks() > 0 ? preferenceIntervalTicks() / 20 : kDefaultIntervalSeconds);
    settings.cycles = o_.count.value_or(0);
    ExporterSteps steps;
    steps.scan = [this] {
        seams_.clock.activity = "scanning";
        bool found = scanNowMain(mainWindowHandle);
        seams_.clock.activity = "";
        return found;
    };
    steps.tick = [this] { tick(); };
    steps.sample = [this] { return cycleSample(); };
    steps.sleep = [](uint32_t ms) { sleepMs(ms); };
    steps.stopRequested = [] { return stopRequested != 0; };
    steps.listening = env_.exporterListening;
    steps.cycleRecorded = env_.exporterCycleRecorded;
    steps.holdingChanged = env_.exporterHoldingChanged;
    // The exporter serves every pair: it wants the map for as long as it runs.
    // A cycle whose map was not gathered again (the adapter was busy) serves
    // no pairs rather than the last cycle's.
    NetworkMapWant wantMap;
    uint32_t servedGeneration = 0;
    steps.pairRates = [this, &servedGeneration] {
        const int i = currentInterface;
        if (i < 0 || i >= kMaxInterfaces || networkMaps[i].generation == servedGeneration)
            return std::vector<exporter::PairRate>{};
        servedGeneration = networkMaps[i].generation;
        return pairRatesOf(networkMaps[i], interfaceName());
    };
    exporter::ExporterMetrics metrics(env_.exporterNow);
    int code = runExporter(settings, steps, metrics, err_);
    // As watch does when it ends: the database is written.
    mainPageDeactivated();
    if (stopRequested)
        err_ << "halyardctl: exporter stopped; device database saved\n";
    return code;
}

// ---- rename, password --------------------------------------------------------------------------

int Run::rename() {
    const DeviceRename r = renameDevice(findDeviceEntry(o_.device.mac), o_.device.mac, o_.text);
    seams_.messages.note(r.result);
    if (r.result != RenameResult::Renamed)
        return finish(kExitUsage, "");
    return finish(kExitOk, formatMac(o_.device.mac) + " is now named \"" + r.storedName + "\"");
}

int Run::password() {
    const DevicePasswordResult r = fileDevicePassword(o_.device.mac, o_.text);
    seams_.messages.note(r);
    if (r != DevicePasswordResult::Stored)
        return finish(kExitUsage, "");
    return finish(kExitOk, "device password of " + formatMac(o_.device.mac) + " stored");
}

// ---- set-key, public
// ------------------------------------------------------------------------------

// The device password a row will be keyed with: the one given, else the stored one.
bool storedPassword(const uint8_t* mac, std::string& out) {
    int entry = findDeviceEntry(mac);
    if (entry <= 0)
        return false;
    const DeviceEntry& e = deviceTable[entry - 1];
    out.assign(e.password, strnlen(e.password, sizeof e.password));
    return !out.empty();
}

int Run::setKey(const std::string* typed) {
    // Every check before anything is sent: the key text, each device's password.
    if (typed != nullptr && checkNetworkKeyText(*typed) != KeyTextProblem::None) {
        seams_.messages.note(KeyMessage::InvalidNetworkPassword); // the text of either refusal
        return kExitUsage;
    }
    for (const DeviceArg& d : o_.devices) {
        if (d.password) {
            if (!checkDevicePassword(d.password->c_str())) {
                seams_.messages.note(KeyMessage::InvalidDevicePassword);
                return kExitUsage;
            }
            continue;
        }
        std::string stored;
        if (!storedPassword(d.mac, stored))
            return fail(kExitUsage, d.macText + " has no stored device password: give it as " +
                                        d.macText + "=DEVICE-PASSWORD");
    }
    if (int code = scan(true); code != kExitOk)
        return code;
    // The public network's password depends on the family the scan found
    // ("HomePlugAV", or "HomePlug" for HomePlug 1.0 and Turbo).
    const std::string networkPassword = typed != nullptr ? *typed : publicNetworkPassword();

    // Every device must be one the Security page can key; then each given
    // device password is filed as the "Set Device Password" dialog files it.
    std::vector<std::array<uint8_t, 6>> macs;
    for (const DeviceArg& d : o_.devices) {
        if (!deviceKeyable(d.mac))
            return fail(kExitFailed,
                        formatMac(d.mac) + " is not on the network of " + interfaceName());
        std::array<uint8_t, 6> mac{};
        std::copy(d.mac, d.mac + 6, mac.begin());
        macs.push_back(mac);
    }
    for (const DeviceArg& d : o_.devices) {
        if (!d.password)
            continue;
        const DevicePasswordResult filed = fileDevicePassword(d.mac, *d.password);
        seams_.messages.note(filed);
        if (filed != DevicePasswordResult::Stored)
            return kExitFailed;
    }
    seams_.clock.activity = "the devices take the new key";
    KeyMessage outcome = keyDevicesOnNetwork(macs, o_.local, networkPassword);
    // The network as the devices left it: the window's page scans now too.
    scanNowMain(mainWindowHandle);
    seams_.messages.note(outcome);
    if (outcome != KeyMessage::KeyChanged)
        return finish(kExitFailed, "");
    return finish(kExitOk, "network key set; network type " + networkType());
}

// ---- add
// ------------------------------------------------------------------------------------------

int Run::add() {
    std::string name;
    if (o_.addName) {
        name = *o_.addName;
    } else {
        char buffer[80] = {};
        defaultDeviceName(buffer, sizeof buffer);
        name = buffer;
    }
    if (AddDeviceRefusal why = checkAddDeviceInput(name, *o_.addPassword);
        why != AddDeviceRefusal::None) {
        seams_.messages.note(why);
        return kExitUsage;
    }
    if (int code = scan(true); code != kExitOk)
        return code;

    // The command line answers what the addition asks: its steps and its
    // outcome are printed, the scans are the Main page's as in the window.
    int step = 0;
    auto showStep = [this, &step] {
        const std::string text = addDeviceProgressText(step);
        seams_.clock.activity = text;
        err_ << "halyardctl: " << text << "\n";
    };
    AddDeviceDecisions ask;
    ask.refuse = [this](AddDeviceRefusal refusal) { seams_.messages.note(refusal); };
    ask.alreadyListed = devicePasswordOnNetwork;
    ask.startProgress = [&] {
        step = 0;
        showStep();
    };
    ask.advanceProgress = [&] {
        ++step;
        showStep();
    };
    ask.tell = [this](KeyMessage message) { seams_.messages.note(message); };
    ask.scanNow = [] { scanNowMain(mainWindowHandle); };
    ask.rebuildDeviceList = clearMainDeviceList;
    seams_.clock.activity = "adding the device";
    const AddDeviceEnd end = addDeviceToNetwork(beginAddDevice(), name, *o_.addPassword, ask);
    // The refresh that finds the new device gives it its name and password.
    if (end == AddDeviceEnd::WaitForDevice && addingDevice != 0)
        runCycle();
    if (end == AddDeviceEnd::StayOpen)
        return finish(kExitUsage, "");
    if (end != AddDeviceEnd::WaitForDevice)
        return finish(kExitFailed, "");
    int entry = findDeviceEntryByName(name.c_str());
    std::string mac = entry > 0 ? formatMac(deviceTable[entry - 1].mac) : std::string("?");
    return finish(kExitOk, "added \"" + name + "\" (" + mac + ")");
}

// ---- reset
// ------------------------------------------------------------------------------------------

int Run::reset() {
    if (!o_.yes) {
        if (!env_.confirm)
            return fail(kExitUsage, "reset needs --yes when its input is not a terminal");
        if (!env_.confirm(std::string(kResetQuestion) + " (" + o_.device.macText + ")"))
            return fail(kExitUsage, "reset not confirmed; nothing was changed");
    }
    if (int code = scan(true); code != kExitOk)
        return code;
    if (!deviceOnNetwork(o_.device.mac))
        return fail(kExitFailed,
                    formatMac(o_.device.mac) + " is not on the network of " + interfaceName());
    const FactoryResetMessage reset = resetDeviceToFactoryDefaults(o_.device.mac);
    seams_.messages.note(reset);
    if (reset != FactoryResetMessage::Done)
        return finish(kExitFailed, "");
    return finish(kExitOk, formatMac(o_.device.mac) + " reset to factory defaults");
}

// ---- upgrade
// ----------------------------------------------------------------------------------------

bool readable(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    std::fclose(f);
    return true;
}

int Run::upgrade() {
    bool av = !o_.pib.empty();
    // The files are read and checked as the upgrade reads them, before anything is sent.
    if (av) {
        const AvUpgradeOutcome files = checkAvUpgradeFiles(o_.nvm.c_str(), o_.pib.c_str());
        if (!files) {
            seams_.messages.note(files);
            return kExitUsage;
        }
    }
    if (!av && !readable(o_.image))
        return fail(kExitUsage, "cannot read the image file " + o_.image);
    if (!av) {
        if (const Hp10UpgradeOutcome image = checkHp10ImageFile(o_.image.c_str()); !image) {
            seams_.messages.note(image);
            return kExitUsage;
        }
    }
    if (!av && !o_.config.empty() && !readable(o_.config))
        return fail(kExitUsage, "cannot read the configuration file " + o_.config);
    StopSignals signals;
    if (int code = scan(false); code != kExitOk)
        return code;
    const LocalUpgradeKind local = localUpgradeKind();
    seams_.messages.note(local);
    const UpgradeKind kind = local.kind;
    if (kind == UpgradeKind::None)
        return finish(kExitFailed, "");
    if (kind == UpgradeKind::Av && !av)
        return fail(kExitUsage,
                    "the local adapter is HomePlug AV: upgrade it with --pib and --nvm");
    if (kind == UpgradeKind::Hp10 && av)
        return fail(kExitUsage,
                    "the local adapter is of the HomePlug 1.0 family: upgrade it with --image "
                    "[--config]");
    // Ctrl-C before the transfer: nothing is sent to the device.
    if (stopRequested)
        return fail(kExitFailed, "upgrade cancelled; nothing was written");
    if (kind == UpgradeKind::Hp10) {
        seams_.clock.activity = "the loader upgrade";
        const Hp10UpgradeOutcome outcome = upgradeHp10(o_.image.c_str(), o_.config.c_str());
        seams_.messages.note(outcome);
        const bool upgraded = outcome.upgraded;
        if (!upgraded && stopRequested)
            return fail(kExitFailed, "upgrade cancelled at a block boundary; nothing was "
                                     "committed and the device restarted with its old firmware");
        return finish(upgraded ? kExitOk : kExitFailed, "firmware upgraded");
    }
    // The command names both files: that is the user's answer to the question
    // whether they are the ones meant for this HomePlug AV device.
    AvUpgradeDecisions ask;
    ask.confirmDeviceType = [] { return true; };
    if (confirmAvUpgradeStart(o_.pib, o_.nvm, ask) != AvUpgradeStart::Go)
        return fail(kExitUsage, "upgrade needs both --pib and --nvm");

    // Progress: a bar on a terminal, a line every tenth otherwise.
    int lastTenth = -1;
    bool bar = env_.outIsTerminal && !o_.json;
    std::ostream& progress = o_.json ? err_ : out_;
    setUpgradeProgressHook([&](uint64_t written, uint64_t total) {
        int percent = total ? static_cast<int>(written * 100 / total) : 100;
        if (bar) {
            int filled = percent * 40 / 100;
            progress << "\r[" << std::string(static_cast<size_t>(filled), '#')
                     << std::string(static_cast<size_t>(40 - filled), ' ') << "] " << std::setw(3)
                     << percent << "% " << written / 1024 << "/" << total / 1024 << " KiB"
                     << std::flush;
        } else if (percent / 10 != lastTenth) {
            lastTenth = percent / 10;
            progress << "upgrade: " << percent << "% (" << written << " of " << total << " bytes)\n"
                     << std::flush;
        }
        if (written >= total)
            seams_.clock.activity = "the device restarts with its new firmware";
    });
    // Cleared before it is looked at: a Ctrl-C from here on stops the transfer.
    upgradeCancelRequested.store(false);
    if (stopRequested) {
        setUpgradeProgressHook({});
        return fail(kExitFailed, "upgrade cancelled; nothing was written");
    }
    UpgradeWorkerHooks hooks;
    hooks.closeProgress = [&] {
        if (bar)
            progress << "\n";
        if (!upgradeCancelRequested.load())
            err_ << "halyardctl: waiting for the device to restart\n";
    };
    hooks.afterUpgrade = [] { afterUpgrade(mainWindowHandle); };
    seams_.clock.activity = "the device restarts with its new firmware";
    bool upgraded = runUpgradeWorker(o_.nvm, o_.pib, hooks);
    setUpgradeProgressHook({});
    if (!upgraded && stopRequested)
        return fail(kExitFailed, "upgrade cancelled at a block boundary; the device may need "
                                 "another upgrade before it works");
    return finish(upgraded ? kExitOk : kExitFailed, "firmware upgraded");
}

// ---- report
// ------------------------------------------------------------------------------------------

int Run::report() {
    // The report describes what was found; with no adapter it still tells the
    // technician about the computer and the history, so it is written anyway.
    seams_.clock.activity = "scanning";
    if (scanNowMain(mainWindowHandle))
        runCycle();
    const DiagnosticsReport report = diagnosticsReport();
    if (!report.complete)
        seams_.messages.note(DiagnosticsMessage::FillFailed);
    if (o_.outputFile.empty()) {
        out_ << report.text << "\n";
        return kExitOk;
    }
    if (!saveReportText(o_.outputFile, report.text).saved)
        return fail(kExitUsage, "cannot write the report to " + o_.outputFile);
    return finish(kExitOk, "report written to " + o_.outputFile);
}

// ---- map ---------------------------------------------------------------------------------------

// The map is gathered at the end of the one automatic cycle the scan runs,
// because this command wants it.
int Run::map() {
    NetworkMapWant want;
    if (int code = scan(true); code != kExitOk)
        return code;
    MapLayout layout;
    NetworkMapView view = buildNetworkMapView(networkMaps[currentInterface], layout);
    MapFormat format = o_.json ? MapFormat::Json : o_.dot ? MapFormat::Dot : MapFormat::Table;
    printNetworkMap(view, format, interfaceName(), out_);
    return kExitOk;
}

} // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const Environment& env) {
    Options options;
    std::string error;
    if (!parseArguments(args, options, error)) {
        err << "halyardctl: " << error << "\n" << usageText();
        return kExitUsage;
    }
    if (!resolvePasswords(options, env.askSecret, error)) {
        err << "halyardctl: " << error << "\n";
        return kExitUsage;
    }
    if (options.command == Command::Help) {
        out << usageText();
        return kExitOk;
    }
    if (options.command == Command::Version) {
        out << "halyardctl " << HALYARD_VERSION_TEXT << "\n";
        return kExitOk;
    }
    if (options.command == Command::History) // reads a file: no lock, no adapter
        return runHistory(options, out, err, env);
    // A signal that ended an earlier run in this process is not this run's.
    stopRequested = 0;
    Run one(options, out, err, env);
    int code = one.execute();
    out.flush();
    err.flush();
    return code;
}

} // namespace halyardctl
