#include "ui/main_page_logic.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <unistd.h>

#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "network/hp10_frames.h"
#include "network/listed_devices.h"
#include "network/scan.h"
#include "packet/frame_bytes.h"
#include "packet/packet.h"
#include "platform/clock.h"
#include "platform/main_window.h"
#include "platform/messages.h"
#include "platform/working_folder.h"
#include "security/key_operations.h"
#include "security/keys.h"
#include "storage/data_directory.h"
#include "storage/device_database.h"
#include "storage/preferences.h"
#include "storage/vendor_list.h"
#include "ui/device_dialogs_logic.h"
#include "ui/outcome_boxes.h"
#include "ui/security_page_logic.h"

MainPageState mainPageState;

namespace {

MainViewHooks viewHooks;
RenameEdit openRename;

constexpr int kDropAfterMisses = 3;
constexpr size_t kPasswordCopyMax = 80;
constexpr const char* kBar = "\u258C";
constexpr const char* kBlock = "\u2589";
const std::string kEmpty;

void rowsChanged() {
    if (viewHooks.rowsChanged)
        viewHooks.rowsChanged();
}

std::string repeat(const char* piece, int count) {
    std::string out;
    for (int i = 0; i < count; ++i)
        out += piece;
    return out;
}

// The quality tables of `quality type` 1, 2, 3, 5 and 4: the texts and n.
struct QualityTable {
    std::vector<std::string> texts;
    int n;
};

const QualityTable* qualityTable(int type) {
    static const QualityTable kWords{{"-offline -", "Fair", "Good", "Very Good", "Excellent"}, 4};
    static const QualityTable kBadGood{{"-", "Bad", "Good"}, 2};
    static const QualityTable kRings{{"-", "o", "oo", "ooo", "oooo", "ooooo"}, 5};
    static const QualityTable kBars{
        {"-", repeat(kBar, 2), repeat(kBar, 5), repeat(kBar, 6), repeat(kBar, 8), repeat(kBar, 9)},
        5};
    static const QualityTable kPercent{{"-", "0-20%", "20-40%", "40-60%", "60-80%", "80-100%"}, 5};
    switch (type) {
    case 1:
        return &kWords;
    case 2:
        return &kBadGood;
    case 3:
        return &kRings;
    case 4:
        return &kBars;
    case 5:
        return &kPercent;
    default:
        return nullptr;
    }
}

// HomePlug 1.0 family: every code but Turbo (2) and AV (4); 0 counts as 1.
bool isHp10Family(int32_t code) {
    return code != kTypeTurbo && code != kTypeAv;
}

double familyMaximum(int32_t code) {
    if (code == kTypeTurbo)
        return 85.0;
    if (code == kTypeAv)
        return 200.0;
    return 14.0;
}

std::string formatRow(const char* format, const char* text) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, format, text);
    return buffer;
}

std::string defaultRowName(size_t rowCount) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%s %hd", kDefaultNamePrefix,
                  static_cast<short>(rowCount + 1));
    return buffer;
}

NetworkRecord& currentRecord() {
    return networkRecords[currentInterface];
}

bool currentInterfaceValid() {
    return currentInterface >= 0 && currentInterface < kMaxInterfaces;
}

void writeRate(MainRow& row, double rate, int32_t family) {
    row.rateValue = rate;
    row.family = family;
    row.rate = mainRateText(rate);
    row.quality = qualityText(rate, family, mainPageState.qualityType);
}

MainRow newRow(int reference, int32_t family, const uint8_t* mac, std::string firmware,
               const char* location) {
    MainRow row;
    row.reference = reference;
    row.icon = iconForFamily(family);
    const DeviceEntry* entry = stampDeviceEntry(mac);
    row.name = entry ? fieldText(entry->name, sizeof entry->name)
                     : defaultRowName(mainPageState.rows.size());
    row.firmware = std::move(firmware);
    row.mac = formatMac(mac);
    row.location = location;
    return row;
}

void fillLocalRow() {
    const ScanState& state = currentScanState();
    int32_t deviceClass = state.deviceClass;
    int row = findRowByMac(formatMac(state.localMac));
    if (row < 0) {
        const char* version = deviceClass == kClassTurbo ? turboVersion : localFirmwareVersion;
        mainPageState.rows.push_back(
            newRow(0, deviceClass, state.localMac, firmwareText(deviceClass, version), "Local"));
        row = static_cast<int>(mainPageState.rows.size()) - 1;
    }
    MainRow& local = mainPageState.rows[row];
    local.icon = iconForFamily(deviceClass);
    writeRate(local, nominalRateForClass(deviceClass), deviceClass);
}

void updateRemoteRow(MainRow& row, RemoteDevice& slot) {
    int32_t type;
    std::memcpy(&type, &slot.deviceType, sizeof type);
    double rate;
    std::memcpy(&rate, &slot.stats.rate, sizeof rate);
    row.icon = iconForFamily(type);
    writeRate(row, rate, type);
    slot.stats.changed = 0;
}

void fillRemoteRow(int slotIndex) {
    RemoteDevice& slot = currentRecord().remotes[slotIndex];
    if (!macIsSet(slot.mac))
        return;
    int row = findRowByMac(formatMac(slot.mac));
    if (row >= 0) {
        if (slot.active)
            updateRemoteRow(mainPageState.rows[row], slot);
        else
            mainPageState.rows.erase(mainPageState.rows.begin() + row);
        return;
    }
    if (!slot.active)
        return;
    int32_t type;
    std::memcpy(&type, &slot.deviceType, sizeof type);
    char version[sizeof slot.version + 1] = {};
    std::memcpy(version, slot.version, sizeof slot.version);
    MainRow added = newRow(slotIndex + 1, type, slot.mac, firmwareText(type, version), "Remote");
    writeRate(added, nominalRateForType(type), type);
    if (slot.typeChanged)
        slot.typeChanged = 0; // the icon above already follows the type
    if (slot.stats.changed)
        updateRemoteRow(added, slot);
    mainPageState.rows.push_back(std::move(added));
}

void copyRowPasswords() {
    mainPageState.rowPasswords.clear();
    for (const MainRow& row : mainPageState.rows) {
        uint8_t mac[6];
        std::string password;
        if (parseMac(row.mac.c_str(), mac)) {
            int index = findDeviceEntry(mac);
            if (index > 0) {
                const DeviceEntry& entry = deviceTable[index - 1];
                password = fieldText(entry.password, sizeof entry.password);
            }
        }
        if (password.size() > kPasswordCopyMax)
            password.resize(kPasswordCopyMax);
        mainPageState.rowPasswords.push_back(password);
    }
}

// A remote row whose device has no measured rate (or whose slot is gone)
// leaves the list. Returns how many rows went.
int removeUnratedRows() {
    int removed = 0;
    auto& rows = mainPageState.rows;
    for (size_t i = rows.size(); i-- > 0;) {
        if (rows[i].reference == 0)
            continue;
        uint8_t mac[6];
        if (!parseMac(rows[i].mac.c_str(), mac) || !remoteDeviceRated(mac)) {
            rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(i));
            ++removed;
        }
    }
    return removed;
}

void fillDeviceList() {
    if (!currentScanState().localPresent)
        return;
    fillLocalRow();
    for (int s = 0; s < kRemoteSlots; ++s)
        fillRemoteRow(s);
    copyRowPasswords();
    int removed = removeUnratedRows();
    mainPageState.countText = deviceCountText(currentRecord().activeRemoteCount + 1 - removed);
}

// Names a slot's new entry: the device being added takes the name and
// password the user gave, any other the first free default name.
void addEntryForSlot(const RemoteDevice& slot) {
    char name[sizeof(DeviceEntry::name)];
    // Where the addition learned the new device's MAC, only that device
    // takes the typed name and password: another one that happens to appear
    // during the addition gets a default name.
    bool added =
        addingDevice != 0 && (!macIsSet(addedDeviceMac) || macEqual(slot.mac, addedDeviceMac));
    if (added)
        copyText(name, addedDeviceName);
    else
        defaultDeviceName(name, sizeof name);
    int index = appendDeviceEntry(slot.mac, name);
    if (index <= 0)
        return;
    if (!added)
        return;
    setEntryPassword(index, addedDevicePassword);
    endAddingDevice();
    closeAddDeviceDialog();
}

// The device being added already has an entry: it takes the given name and
// password once its MAC is known.
void nameAddedDevice(const RemoteDevice& slot, const uint8_t* localMac) {
    if (!macEqual(slot.mac, addedDeviceMac) || macEqual(slot.mac, localMac))
        return;
    int index = findDeviceEntry(slot.mac);
    if (index <= 0)
        return;
    setEntryName(index, addedDeviceName);
    setEntryPassword(index, addedDevicePassword);
    endAddingDevice();
    closeAddDeviceDialog();
}

void databaseUpkeep() {
    NetworkRecord& record = currentRecord();
    if (!record.localPresent)
        return;
    for (RemoteDevice& slot : record.remotes) {
        if (macEqual(slot.mac, record.localMac)) {
            int32_t type;
            std::memcpy(&type, &slot.deviceType, sizeof type);
            double rate = nominalRateForType(type);
            slot.active = 1;
            std::memcpy(&slot.stats.rate, &rate, sizeof rate);
            slot.missesTillDrop = 0;
        }
        if (!slot.active || !macIsSet(slot.mac))
            continue;
        if (findDeviceEntry(slot.mac) == 0)
            addEntryForSlot(slot);
        else if (addingDevice && macIsSet(addedDeviceMac))
            nameAddedDevice(slot, record.localMac);
    }
}

bool adaptersChanged() {
    bool changed = false;
    for (int i = 0; i < kMaxInterfaces; ++i) {
        InterfaceCacheEntry& cached = mainPageState.interfaceCache[i];
        const ScanState& state = scanStates[i];
        if (cached.localPresent != state.localPresent || cached.deviceClass != state.deviceClass ||
            !macEqual(cached.localMac, state.localMac)) {
            changed = true;
            cached.localPresent = state.localPresent;
            cached.deviceClass = state.deviceClass;
            std::memcpy(cached.localMac, state.localMac, sizeof cached.localMac);
        }
    }
    return changed;
}

void handleAdapterChange() {
    if (!adaptersChanged())
        return;
    if (!currentScanState().localPresent && !mainPageState.notDetectedGuard) {
        mainPageState.notDetectedGuard = true;
        MessageResult answer = showMessage(kDeviceLostText, kProblemCaption, MessageIcon::Error,
                                           MessageButtons::Ok, mainWindowHandle);
        if (answer == MessageResult::Ok)
            mainPageState.notDetectedGuard = false;
    }
    recomputeCurrentInterface();
    clearRemotes();
    clearMainRows(); // also when the automatic scan's hooks are not installed
}

void showNotDetected(void* owner) {
    showMessage(kNotDetectedText, kNotDetectedCaption, MessageIcon::Error, MessageButtons::Ok,
                messageOwner(owner));
    if (capturePermissionProblem().empty())
        return;
    showMessage(capturePermissionProblem() + "\n\n" + capturePermissionAdvice(),
                kNotDetectedCaption, MessageIcon::Information, MessageButtons::Ok,
                messageOwner(owner));
}

// Clears the remote table and both lists, writes the database and runs the
// scan engine with the automatic scan armed. True when a device was found.
bool clearAndScan() {
    if (currentInterfaceValid())
        clearRemotes();
    clearMainRows();
    bool found =
        startAutoScan(static_cast<uint16_t>(std::clamp(preferenceIntervalTicks(), 0, 65535)),
                      kDropAfterMisses, preferences.autoScan != 0);
    // The scan itself is the new picture of the adapters: the next refresh
    // compares against it, so it does not clear what the scan just found.
    rememberAdapters();
    return found;
}

int firstRefreshStage() {
    return preferences.autoScan ? 1 : 5;
}

const std::string& sortKey(const MainRow& row, MainColumn kind, std::string& scratch) {
    if (kind != MainColumn::Name)
        return rowCell(row, kind);
    uint8_t mac[6];
    scratch = row.name;
    if (parseMac(row.mac.c_str(), mac)) {
        int index = findDeviceEntry(mac);
        if (index > 0)
            scratch = fieldText(deviceTable[index - 1].name, sizeof deviceTable[index - 1].name);
    }
    return scratch;
}

} // namespace

// ---- Columns ------------------------------------------------------------------------------

std::vector<MainColumnSpec> mainColumns() {
    std::vector<MainColumnSpec> columns = {{MainColumn::Name, "Device Name", 140},
                                           {MainColumn::Firmware, "Firmware Version", 310},
                                           {MainColumn::Mac, "MAC Address", 120}};
    if (preferences.showRate)
        columns.push_back({MainColumn::Rate, "Link Rate (Mbps)", 70});
    if (preferences.showQuality)
        columns.push_back({MainColumn::Quality, "Quality", 80});
    columns.push_back({MainColumn::Location, "Location", 70});
    return columns;
}

int mainColumnIndex(MainColumn kind) {
    std::vector<MainColumnSpec> columns = mainColumns();
    for (size_t i = 0; i < columns.size(); ++i)
        if (columns[i].kind == kind)
            return static_cast<int>(i);
    return -1;
}

std::vector<int> initialDisplayOrder(int columnCount) {
    std::vector<int> order;
    for (int sub = 0; sub < columnCount; ++sub) {
        int position = std::min(1, static_cast<int>(order.size()));
        order.insert(order.begin() + position, sub);
    }
    return order;
}

void recordListLayout(const std::vector<int>& displayOrder, const std::vector<int>& widths) {
    recordDeviceListLayout(displayOrder, widths);
}

std::vector<int> savedDisplayOrder(int columnCount) {
    std::vector<int> order;
    for (int k = 0; k < kListColumns; ++k) {
        int sub = deviceListLayout.columnOrder[k];
        if (sub >= 0 && sub < columnCount &&
            std::find(order.begin(), order.end(), sub) == order.end())
            order.push_back(sub);
    }
    for (int sub = 0; sub < columnCount; ++sub)
        if (std::find(order.begin(), order.end(), sub) == order.end())
            order.insert(order.begin() + std::min<size_t>(1, order.size()), sub);
    return order;
}

int savedColumnWidth(int subItem) {
    std::vector<MainColumnSpec> columns = mainColumns();
    int fallback = subItem >= 0 && subItem < static_cast<int>(columns.size())
                       ? columns[static_cast<size_t>(subItem)].width
                       : 70;
    if (subItem < 0 || subItem >= kListColumns)
        return fallback;
    int width = deviceListLayout.columnWidths[subItem];
    return width > 0 && width < 4000 ? width : fallback;
}

int rowIconSize(int iconSize) {
    if (iconSize <= 0)
        return 0;
    return iconSize < kMaxRowIconSize ? iconSize : kMaxRowIconSize;
}

uint32_t listTextColor(int32_t color) {
    switch (color) {
    case 1:
        return 0x008000;
    case 2:
        return 0x0000FF;
    case 3:
        return 0xFF0000;
    case 4:
        return 0x606060;
    default:
        break;
    }
    if (color <= 0)
        return 0x000000;
    uint32_t value = static_cast<uint32_t>(color); // 0x00BBGGRR
    return ((value & 0xFF) << 16) | (value & 0xFF00) | ((value >> 16) & 0xFF);
}

// ---- Cells ------------------------------------------------------------------------------

int iconForFamily(int32_t familyCode) {
    if (familyCode == kTypeTurbo)
        return 1;
    if (familyCode == kTypeAv)
        return 2;
    return 0;
}

std::string mainRateText(double rate) {
    if (rate == 0)
        return "?";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.2f", rate);
    return buffer;
}

std::string qualityText(double x, int32_t familyCode, int qualityType) {
    int32_t t = familyCode == 0 ? kTypeHp10 : familyCode;
    if (const QualityTable* table = qualityTable(qualityType)) {
        const double m = familyMaximum(t);
        const int n = table->n;
        long k = 0;
        double raw = (m / n + x) * (n - 1) / m;
        if (x > 0 && std::isfinite(raw) && raw < static_cast<double>(LONG_MAX))
            k = static_cast<long>(raw) % n + 1;
        return table->texts[static_cast<size_t>(k)];
    }
    if (qualityType == 6)
        return repeat(kBlock, x < 50 ? 1 : x < 80 ? 2 : 3);
    double v = isHp10Family(t) ? (x - 15) / 2 + 1 : x / 10;
    if (!(v < 90))
        v = 89;
    if (v <= 0)
        return {};
    return repeat(kBar, static_cast<int>(std::ceil(v)));
}

std::string deviceCountText(int n) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s : %d",
                  n == 1 ? "Powerline Device" : "Powerline Devices", n);
    return buffer;
}

std::string networkTypeText() {
    bool isPublic = false;
    if (currentInterfaceValid()) {
        std::string label = fieldText(currentRecord().keyLabel, sizeof currentRecord().keyLabel);
        // The scan labels a HomePlug 1.0 or Turbo adapter on its standard's
        // default key with that standard's default password; such a network is
        // just as public as an AV one on "HomePlugAV", and must not be called
        // private.
        isPublic = label == kDefaultNetworkPassword ||
                   (!localIsAv && label == kHp10DefaultNetworkPassword);
    }
    return std::string("Network Type : ") + (isPublic ? "Public" : "Private");
}

std::string statusTextForStage(int stage) {
    if (addingDevice)
        return kAddingStatus;
    return stage < 3 ? kScanningStatus : "";
}

std::string firmwareText(int32_t familyCode, const char* version) {
    if (familyCode == kTypeTurbo)
        return formatRow("MAC %s", version);
    if (familyCode == kTypeAv)
        return version;
    return "HP 1.0";
}

const std::string& rowCell(const MainRow& row, MainColumn kind) {
    switch (kind) {
    case MainColumn::Name:
        return row.name;
    case MainColumn::Firmware:
        return row.firmware;
    case MainColumn::Mac:
        return row.mac;
    case MainColumn::Rate:
        return row.rate;
    case MainColumn::Quality:
        return row.quality;
    case MainColumn::Location:
        return row.location;
    }
    return kEmpty;
}

// ---- State ------------------------------------------------------------------------------

void resetMainPage() {
    mainPageState = MainPageState{};
    viewHooks = MainViewHooks{};
    openRename = RenameEdit{};
}

void rememberAdapters() {
    for (int i = 0; i < kMaxInterfaces; ++i) {
        InterfaceCacheEntry& cached = mainPageState.interfaceCache[i];
        cached.localPresent = scanStates[i].localPresent;
        cached.deviceClass = scanStates[i].deviceClass;
        std::memcpy(cached.localMac, scanStates[i].localMac, sizeof cached.localMac);
    }
}

void recomputeCurrentInterface() {
    selectInterfaceWithLocalDevice();
}

int findRowByMac(const std::string& macText) {
    const auto& rows = mainPageState.rows;
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i].mac == macText)
            return static_cast<int>(i);
    return -1;
}

bool deleteRowByMac(const std::string& macText) {
    int row = findRowByMac(macText);
    if (row < 0)
        return false;
    mainPageState.rows.erase(mainPageState.rows.begin() + row);
    return true;
}

void setRowName(int row, const std::string& name) {
    if (row >= 0 && row < static_cast<int>(mainPageState.rows.size()))
        mainPageState.rows[static_cast<size_t>(row)].name = name;
}

void setMainViewHooks(MainViewHooks hooks) {
    viewHooks = std::move(hooks);
}

void setStatusText(const std::string& text) {
    mainPageState.statusText = text;
    setSecurityStatusText(text);
    rowsChanged();
}

// ---- Operations ------------------------------------------------------------------------

void installMainPageLinks() {
    DeviceListHooks hooks;
    hooks.refresh = [](int stage) { refreshMainPage(stage); };
    hooks.setActions = [](bool enabled) {
        if (viewHooks.actions)
            viewHooks.actions(enabled);
        setSecurityActionsEnabled(enabled);
    };
    hooks.deleteRows = [] { clearMainRows(); };
    setDeviceListHooks(std::move(hooks));
    setScanNowHook([](void* owner) { scanNowMain(owner); });
    MainPageLinks links;
    links.listedPasswords = [] { return mainPageState.rowPasswords; };
    links.clearList = [] { clearMainRows(); };
    links.afterUpgrade = [] { afterUpgrade(mainWindowHandle); };
    setMainPageLinks(std::move(links));
}

bool createMainPage(const MainPageSetup& setup, void* owner) {
    mainPageState.firstScanFlag = false;
    installMainPageLinks();
    openMainPageFiles(setup, owner);
    mainPageState.created = true;
    return scanNowMain(owner);
}

bool prepareDataDirectory(void* owner) {
    return prepareDataDirectory(owner, defaultDataDirectoryPlaces());
}

bool prepareDataDirectory(void* owner, const DataDirectoryPlaces& places) {
    const DataDirectoryChoice choice = chooseDataDirectory(places);
    showOutcome(choice, owner);
    return choice.ready;
}

void openMainPageFiles(const MainPageSetup& setup, void* owner) {
    if (setup.useDataPlaces)
        prepareDataDirectory(owner, {setup.machineDataDirectory, setup.fallbackDataDirectory});
    else
        prepareDataDirectory(owner);
    // The working folder the start-up chose (startShell), unless the caller names one.
    std::string folder = setup.workingFolder.empty() ? workingFolder() : setup.workingFolder;
    if (folder.empty()) {
        char buffer[513] = {};
        if (getcwd(buffer, sizeof buffer - 1))
            folder = buffer;
    }
    setWorkingFolder(folder);
    loadVendorListFile(inWorkingFolder(kVendorListFileName));
    mainPageState.qualityType = preferences.qualityType;
    loadDeviceDatabase();
}

bool scanNowMain(void* owner) {
    bool found = false;
    try {
        found = clearAndScan();
        if (found && !preferences.autoScan) {
            recomputeCurrentInterface();
            runCycleAtTimerPace();
        }
    } catch (const std::exception&) {
        showMessage(kScanFailedText, kScanFailedCaption, MessageIcon::Error, MessageButtons::Ok,
                    messageOwner(owner));
        return false;
    }
    // The cycle that disabled the action buttons starts over (or, without a
    // device, does not run at all): they must not stay disabled.
    setActionButtonsEnabled(true);
    if (found) {
        // A scan that finds the adapter again ends the quiet spell the key
        // operations asked for; the next loss is reported again.
        endQuietNotDetected();
        recomputeCurrentInterface();
        refreshMainPage(firstRefreshStage());
    } else if (!quietNotDetected) {
        showNotDetected(owner);
    }
    return found;
}

void refreshMainPage(int stage) {
    recomputeCurrentInterface();
    if (!currentInterfaceValid())
        return;
    setStatusText(statusTextForStage(stage));
    mainPageState.networkText = networkTypeText();
    mainPageState.countText =
        deviceCountText((currentRecord().localPresent ? 1 : 0) + currentRecord().activeRemoteCount);
    databaseUpkeep();
    handleAdapterChange();
    fillDeviceList();
    rowsChanged();
    fillSecurityList();
    if (localIsAv)
        advanceAddDeviceProgress();
}

void clearMainRows() {
    mainPageState.rows.clear();
    mainPageState.rowPasswords.clear();
    rowsChanged();
    clearSecurityList();
}

void mainPageActivated(void* owner) {
    startTimer();
    if (preferences.autoScan && mainPageState.firstScanFlag) {
        scanNowMain(owner);
        return;
    }
    for (int i = 0; i < kMaxInterfaces; ++i)
        if (scanStates[i].localPresent)
            mainPageState.firstScanFlag = true;
}

void mainPageDeactivated() {
    saveDeviceDatabase();
}

void mainRowSelected(int row) {
    if (row >= 0)
        mainPageState.renameRow = row;
    if (row >= 0 && row < static_cast<int>(mainPageState.rows.size()))
        mainPageState.selectedMac = mainPageState.rows[static_cast<size_t>(row)].mac;
}

void mainSelectionCleared() {
    mainPageState.selectedMac.clear();
}

int selectedRowByMac() {
    return mainPageState.selectedMac.empty() ? -1 : findRowByMac(mainPageState.selectedMac);
}

// ---- Sorting ------------------------------------------------------------------------------

bool rowComesAfter(const MainRow& a, const MainRow& b, MainColumn kind, int direction) {
    // The quality words say how good the rate is; they sort by the rate, not
    // by their alphabet.
    if (kind == MainColumn::Rate || kind == MainColumn::Quality) {
        if (a.rateValue == b.rateValue)
            return false;
        return direction ? a.rateValue < b.rateValue : a.rateValue > b.rateValue;
    }
    std::string scratchA, scratchB;
    const std::string& ka = sortKey(a, kind, scratchA);
    const std::string& kb = sortKey(b, kind, scratchB);
    return direction ? kb < ka : ka < kb;
}

void sortMainRows(int subItem) {
    std::vector<MainColumnSpec> columns = mainColumns();
    if (subItem < 0 || subItem >= static_cast<int>(columns.size()))
        return;
    int32_t& last = deviceListLayout.sortColumn;
    int32_t& direction = deviceListLayout.sortDirection;
    if (subItem == last) {
        direction = direction ? 0 : 1;
    } else {
        last = subItem;
        int& saved = mainPageState.savedDirection[static_cast<size_t>(subItem)];
        direction = saved;
        saved = saved ? 0 : 1;
    }
    MainColumn kind = columns[static_cast<size_t>(subItem)].kind;
    int dir = direction;
    std::stable_sort(
        mainPageState.rows.begin(), mainPageState.rows.end(),
        [&](const MainRow& a, const MainRow& b) { return rowComesAfter(b, a, kind, dir); });
    copyRowPasswords();
    rowsChanged();
}

// ---- Buttons ------------------------------------------------------------------------------

bool renameRequested(int selectedRow) {
    if (selectedRow < 0) {
        showMessage(kNoSelectionText, "Attention", MessageIcon::Warning);
        return false;
    }
    return true;
}

namespace {
// The row that shows `mac`, or -1.
int rowOfMac(const uint8_t* mac) {
    if (!macIsSet(mac))
        return -1;
    const std::string text = formatMac(mac);
    for (size_t r = 0; r < mainPageState.rows.size(); ++r)
        if (mainPageState.rows[r].mac == text)
            return static_cast<int>(r);
    return -1;
}
} // namespace

void beginRowRename(int row) {
    std::string macText, shown;
    if (row >= 0 && row < static_cast<int>(mainPageState.rows.size())) {
        macText = mainPageState.rows[static_cast<size_t>(row)].mac;
        shown = mainPageState.rows[static_cast<size_t>(row)].name;
    }
    openRename = beginRename(macText, shown);
    mainPageState.renaming = true;
}

std::string endRowRename(int row, const std::string* newText, void* owner) {
    if (mainPageState.renaming) {
        // Closed before any box opens: a refusal box is shown with the editor
        // gone, and the automatic scan comes back only after it (endRename).
        mainPageState.renaming = false;
        std::string stored;
        RenameOutcome outcome = endRename(openRename, newText, stored, owner);
        // The name goes to the row of the device whose edit began, found by
        // its MAC: the rows may have been rebuilt while the box was open.
        if (outcome == RenameOutcome::Renamed)
            setRowName(rowOfMac(openRename.mac), stored);
    }
    rowsChanged();
    if (row < 0 || row >= static_cast<int>(mainPageState.rows.size()))
        return {};
    return mainPageState.rows[static_cast<size_t>(row)].name;
}

bool rowRenameOpen() {
    return mainPageState.renaming;
}

void factoryResetRequested(int selectedRow, void* owner) {
    if (selectedRow < 0 || selectedRow >= static_cast<int>(mainPageState.rows.size())) {
        showMessage(kNoSelectionText, "Attention", MessageIcon::Warning, MessageButtons::Ok,
                    messageOwner(owner));
        return;
    }
    // The device is taken before the question: nothing refers to the row
    // while the box is open.
    uint8_t mac[6] = {};
    bool haveMac = parseMac(mainPageState.rows[static_cast<size_t>(selectedRow)].mac.c_str(), mac);
    int resume = suspendAutoScan(0);
    MessageResult answer = showMessage(kResetQuestion, kResetCaption, MessageIcon::Information,
                                       MessageButtons::OkCancel, messageOwner(owner));
    if (answer == MessageResult::Ok) {
        showOutcome(haveMac ? resetDeviceToFactoryDefaults(mac) : FactoryResetMessage::Failed,
                    nullptr);
    }
    suspendAutoScan(resume);
}

bool firmwareUpgradeAllowed(int selectedRow, void* owner) {
    bool localRow = selectedRow >= 0 && selectedRow < static_cast<int>(mainPageState.rows.size()) &&
                    mainPageState.rows[static_cast<size_t>(selectedRow)].reference == 0;
    if (!localRow)
        showMessage(kUpgradeLocalOnly, "Attention", MessageIcon::Warning, MessageButtons::Ok,
                    messageOwner(owner));
    return localRow;
}

void afterUpgrade(void* owner) {
    recomputeCurrentInterface();
    scanNowMain(owner);
}
