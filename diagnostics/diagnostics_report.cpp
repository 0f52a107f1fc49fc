#include "diagnostics/diagnostics_report.h"

#include <cmath>
#include <cstdarg>
#include <cstring>
#include <exception>

#include "maintenance/av_maintenance.h"
#include "network/model.h"
#include "packet/frame_bytes.h"
#include "platform/file_io.h"
#include "storage/preferences.h"
#include "storage/vendor_list.h"

namespace {
// printf into a std::string.
[[gnu::format(printf, 1, 2)]] std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), fmt, again);
        text.resize(static_cast<size_t>(length));
    }
    va_end(again);
    return text;
}

// A text field of a record loaded from disk need not be terminated.
// The counters are 32-bit fields that wrap round after a long run (the byte
// counts after 2 GiB as signed numbers); they count upwards, so they are shown
// as the unsigned 32-bit values they hold and never as negative numbers.
unsigned long counterValue(int32_t counter) {
    return static_cast<uint32_t>(counter);
}
unsigned long counterValue(uint32_t counter) {
    return counter;
}

int diagnosticsLevel() {
    return preferences.diagnosticsLevel;
}

std::string rule() {
    return std::string(kReportRuleLength, '-');
}

// ---- Interface section ---------------------------------------------------------
std::string firmwareOfLocal(int32_t deviceClass) {
    if (deviceClass == kClassTurbo)
        return format("   Firmware:MAC %s   ( %s )", fieldText(turboVersion).c_str(),
                      fieldText(turboFirmware).c_str());
    if (deviceClass == kClassAv)
        return format("   Firmware: %s ", fieldText(localFirmwareVersion).c_str());
    return "   Firmware: HP 1.0";
}

void writeLocalDevice(DiagnosticsTarget& t, int i) {
    const NetworkRecord& record = networkRecords[i];
    const int32_t deviceClass = record.deviceClass;
    t.newLine(format("   HomePlug Device #%d MAC = ", 1) + formatMac(record.localMac));
    t.newLine(format("   Network password: %s", fieldText(record.keyLabel).c_str()));
    if (diagnosticsLevel() > 1 && deviceClass == kClassTurbo)
        t.newLine(format("   Vendor: %s, Product: %s.", fieldText(turboVendor).c_str(),
                         fieldText(turboProduct).c_str()));
    else
        t.newLine("   Vendor: " + vendorName(record.localMac));
    t.newLine(firmwareOfLocal(deviceClass));
    if (diagnosticsLevel() <= 1)
        return;
    const IoCounters io = ioCounters(i);
    t.newLine(format("   Reads: %lu (%lu KB), Writes: %lu (%lu KB)", counterValue(io.reads),
                     counterValue(io.bytesRead) >> 10, counterValue(io.writes),
                     counterValue(io.bytesWritten) >> 10));
    const LinkStats stats = record.localStats;
    t.newLine(format("   Drops = %lu, Fails = %lu, Highest = %.2f Mbps. Lowest = %.2f Mbps",
                     counterValue(stats.drops), counterValue(stats.fails), stats.highest,
                     stats.lowest));
}

void writeInterfaces(DiagnosticsTarget& t) {
    int k = 0;
    const int count = interfaceCount < kMaxInterfaces ? interfaceCount : kMaxInterfaces;
    for (int i = 0; i < count; ++i) {
        const NetworkRecord& record = networkRecords[i];
        if (!macIsSet(record.hostMac))
            continue;
        ++k;
        t.newLine(format("On NIC #%d MAC = ", k) + formatMac(record.hostMac));
        if (record.localPresent != 0 && macIsSet(record.localMac))
            writeLocalDevice(t, i);
        else
            t.newLine("   No HomePlug Device Connected");
        t.newLine("");
    }
}

// ---- Host section ------------------------------------------------------------------
void writeHost(DiagnosticsTarget& t) {
    const HostInfo host = hostInfoSource().hostInfo();
    t.newLine(format("Computer network name: %s", host.computerName.substr(0, 80).c_str()));
    t.newLine(format("User name: %s", host.userName.substr(0, 80).c_str()));
    t.newLine(format("Microprocessor: %d", host.processorType));
    t.newLine(describeOs(host));
    t.newLine(" ");
    const std::string name = format("%s  ", prefAppName().c_str());
    t.newLine(format("%s  %s", name.c_str(), fileVersionText(host).c_str()));
    t.newLine(format("Library: %-14s", host.libraryName.c_str()));
}

// ---- Remote section ----------------------------------------------------------------
std::string vendorOfRemote(const RemoteDevice& slot) {
    if (slot.deviceType == kTypeTurbo && diagnosticsLevel() > 1)
        return format("%s %s", fieldText(slot.vendor).c_str(), fieldText(slot.product).c_str());
    return vendorName(slot.mac);
}

std::string firmwareOfRemote(const RemoteDevice& slot) {
    if (slot.deviceType == kTypeTurbo)
        return format("MAC %s", fieldText(slot.version).c_str());
    if (slot.deviceType == kTypeAv)
        return fieldText(slot.version);
    return "HP 1.0";
}

void writeRemote(DiagnosticsTarget& t, int s, const RemoteDevice& slot, const DeviceEntry& e) {
    const std::string password = fieldText(e.password);
    const LinkStats stats = slot.stats;
    const int64_t lastSeen = e.lastSeen;
    t.newLine(fieldText(e.name));
    t.rowReference(s);
    t.nextColumn(formatMac(slot.mac));
    t.nextColumn(password.empty() ? kNotEntered : password);
    t.nextColumn(rateText(stats.rate));
    t.nextColumn(fieldText(e.keyLabel));
    t.nextColumn(lastSeenText(lastSeen, preferences.ampm != 0));
    t.nextColumn(vendorOfRemote(slot));
    t.nextColumn(firmwareOfRemote(slot));
    if (diagnosticsLevel() > 1) {
        t.nextColumn(format("%lu", counterValue(slot.seenCount)));
        t.nextColumn(format("%lu", counterValue(slot.missTotal)));
        t.nextColumn(format("%lu", counterValue(stats.drops)));
        t.nextColumn(format("%lu", counterValue(stats.fails)));
        t.nextColumn(format("%.2f", stats.highest));
        t.nextColumn(format("%.2f", stats.lowest));
    }
    t.endRemoteRow();
}

void writeRemotes(DiagnosticsTarget& t) {
    t.startRemoteSection();
    const int current =
        (currentInterface >= 0 && currentInterface < kMaxInterfaces) ? currentInterface : 0;
    const NetworkRecord& record = networkRecords[current];
    for (int s = 0; s < kRemoteSlots; ++s) {
        const RemoteDevice& slot = record.remotes[s];
        if (!macIsSet(slot.mac) || macEqual(slot.mac, record.localMac))
            continue;
        const int entry = findDeviceEntry(slot.mac);
        if (entry <= 0 || entry > deviceCount || entry > kMaxDeviceEntries)
            continue;
        writeRemote(t, s, slot, deviceTable[entry - 1]);
    }
}

// ---- Targets -------------------------------------------------------------------------
class ListTarget : public DiagnosticsTarget {
  public:
    explicit ListTarget(DiagnosticsLists& lists) : lists_(lists) {}
    void newLine(const std::string& text) override {
        rows().push_back(DiagnosticsRow{{text}, 0, 0});
    }
    void nextColumn(const std::string& text) override {
        if (!rows().empty())
            rows().back().cells.push_back(text);
    }
    void startRemoteSection() override {
        remote_ = true;
        lists_.history.clear();
    }
    void rowReference(int slot) override {
        if (rows().empty())
            return;
        rows().back().reference = slot;
        const int entry =
            findDeviceEntry(networkRecords[currentInterfaceIndex()].remotes[slot].mac);
        if (entry > 0)
            rows().back().lastSeen = deviceTable[entry - 1].lastSeen;
    }
    void endRemoteRow() override {}

  private:
    static int currentInterfaceIndex() {
        return (currentInterface >= 0 && currentInterface < kMaxInterfaces) ? currentInterface : 0;
    }
    std::vector<DiagnosticsRow>& rows() { return remote_ ? lists_.history : lists_.system; }
    DiagnosticsLists& lists_;
    bool remote_ = false;
};

class TextTarget : public DiagnosticsTarget {
  public:
    explicit TextTarget(std::string& out) : out_(out) {}
    void newLine(const std::string& text) override { out_ += "\n" + text; }
    void nextColumn(const std::string& text) override { out_ += "\t" + text; }
    void startRemoteSection() override {
        out_ += "\n\n\n";
        out_ += "Remote Powerline Devices:\n";
        out_ += rule() + "\n";
        out_ += "Name\t\tMAC\t\t\tPassword\t\tRate\tNetwork\t\tLast Seen\tVendor\t\tFirmware\n";
        out_ += rule();
    }
    void rowReference(int) override {}
    void endRemoteRow() override { newLine(""); }

  private:
    std::string& out_;
};
} // namespace

std::vector<DiagnosticsColumn> systemInformationColumns() {
    return {{"System Information", 520}};
}

std::vector<DiagnosticsColumn> historyColumns(int level) {
    std::vector<DiagnosticsColumn> columns = {
        {"Device", 80},  {"MAC Address", 110}, {"Password", 120}, {"Rate (Mbps)", 70},
        {"Network", 70}, {"Last Seen", 100},   {"Vendor", 80},    {"Firmware", 290},
    };
    if (level > 1) {
        const std::vector<DiagnosticsColumn> more = {{"Sent", 45},    {"Misses", 45},
                                                     {"Drops", 45},   {"Fails", 45},
                                                     {"Hi Rate", 50}, {"Low Rate", 60}};
        columns.insert(columns.end(), more.begin(), more.end());
    }
    return columns;
}

bool fillDiagnostics(DiagnosticsTarget& target) {
    try {
        writeInterfaces(target);
        writeHost(target);
        writeRemotes(target);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

DiagnosticsLists fillDiagnosticsLists() {
    DiagnosticsLists lists;
    ListTarget target(lists);
    lists.complete = fillDiagnostics(target);
    return lists;
}

DiagnosticsReport diagnosticsReport() {
    DiagnosticsReport report;
    std::string& text = report.text;
    text += format("Diagnostics Report:\t\t\t\t\t%s\n",
                   standardDateText(hostInfoSource().now()).c_str());
    text += format("Utility %s\n", kReleaseLine);
    text += format("%s\n\n", prefCopyright().c_str());
    text += "Host Computer Information:\n";
    text += rule();
    TextTarget target(text);
    report.complete = fillDiagnostics(target);
    return report;
}

std::string diagnosticsReportText() {
    return diagnosticsReport().text;
}

bool writeReportText(std::FILE* file, const std::string& text) {
    if (file == nullptr)
        return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const bool closed = std::fclose(file) == 0;
    return written && closed;
}

bool writeDiagnosticsReport(std::FILE* file) {
    if (file == nullptr)
        return false;
    return writeReportText(file, diagnosticsReportText());
}

bool writeDiagnosticsReportFile(const std::string& path) {
    // The report lists every device password: a private file, never written
    // through a link.
    return writeDiagnosticsReport(openPrivateStream(path));
}

std::string describeOs(const HostInfo& host) {
    return format("OS Platform: %s   V%d.%d, Build %d", host.osName.c_str(), host.osMajor,
                  host.osMinor, host.osBuild);
}

std::string fileVersionText(const HostInfo& host) {
    if (!host.programVersionPresent)
        return "Not Present";
    const uint16_t* v = host.programVersion;
    return format("V%d.%d, Build %d.%d", v[0], v[1], v[2], v[3]);
}

std::string standardDateText(std::time_t t) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr || local.tm_wday < 0 || local.tm_wday > 6 ||
        local.tm_mon < 0 || local.tm_mon > 11)
        return "\n";
    return format("%.3s %.3s%3d %.2d:%.2d:%.2d %lld\n", days[local.tm_wday], months[local.tm_mon],
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, 1900LL + local.tm_year);
}

std::string lastSeenText(int64_t lastSeen, bool ampm) {
    const std::time_t t = static_cast<std::time_t>(lastSeen);
    const std::string date = standardDateText(t);
    if (date.size() < 24)
        return "";
    if (!ampm)
        return date.substr(4, 16);
    std::tm local{};
    localtime_r(&t, &local);
    // Real 12-hour time: midnight is 12 AM and noon 12 PM. The rule of keeping
    // hours 0 to 12 with "AM" would show noon as half past midnight.
    const int hour = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
    const char* suffix = local.tm_hour < 12 ? "AM" : "PM";
    return format("%.7s%.2d%.3s%s", date.c_str() + 4, hour, date.c_str() + 13, suffix);
}

std::string rateText(double rate) {
    if (rate == 0 || std::isnan(rate))
        return "?";
    double whole = std::trunc(rate);
    if (whole > 2147483647.0)
        whole = 2147483647.0;
    if (whole < -2147483647.0)
        whole = -2147483647.0;
    return format("%.2d", static_cast<int>(whole));
}
