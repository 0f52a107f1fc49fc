#include "ui/security_page_logic.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "network/listed_devices.h"
#include "network/model.h"
#include "network/scan.h"
#include "packet/frame_bytes.h"
#include "platform/clock.h"
#include "platform/main_window.h"
#include "platform/messages.h"
#include "security/keys.h"
#include "security/passwords.h"
#include "ui/main_page_logic.h"
#include "ui/outcome_boxes.h"

const SecurityColumnSpec kSecurityColumns[kSecurityColumnCount] = {
    {"", 25},         {"Firmware Version", 310}, {"MAC Address", 120}, {"Device Password", 180},
    {"Location", 70}, {"Device Name", 140},
};

std::vector<SecurityListRow> securityList;
int rememberedSecurityRow = -1;
std::string securityStatusText;
bool securityActionsEnabled = true;

namespace {

// What the user chose, by device: the checked rows and the row last checked.
// The rows themselves come and go with every refresh and every interval's
// clearing of the list; these survive them.
std::set<std::string> checkedMacs;
std::string rememberedMac;

// The remembered row index follows the remembered device.
void updateRememberedRow();

SecurityPageHooks pageHooks;

void notifyListChanged() {
    if (pageHooks.listChanged)
        pageHooks.listChanged();
}

// A fixed text field of the tables as text, never reading past the field.
std::string macText(const uint8_t* mac) {
    return formatMac(mac);
}

// "%s %hd" with "Device" and a number, as new devices are named.
std::string numberedName(size_t number) {
    char text[48];
    std::snprintf(text, sizeof text, "%s %hd", "Device", static_cast<short>(number));
    return text;
}

// The same picture per family as the Main page's rows.
int iconFor(int32_t code) {
    return iconForFamily(code);
}

int findSecurityRow(const std::string& mac) {
    for (size_t i = 0; i < securityList.size(); ++i) {
        if (securityList[i].cells[kSecMacColumn] == mac)
            return static_cast<int>(i);
    }
    return -1;
}

// Removes row `i`, keeping the remembered row on the same device.
void eraseRow(int i) {
    securityList.erase(securityList.begin() + i);
    if (rememberedSecurityRow == i)
        rememberedSecurityRow = -1;
    else if (rememberedSecurityRow > i)
        --rememberedSecurityRow;
}

void insertRow(int at, SecurityListRow row) {
    row.checked = checkedMacs.count(row.cells[kSecMacColumn]) != 0;
    securityList.insert(securityList.begin() + at, std::move(row));
    if (rememberedSecurityRow >= at)
        ++rememberedSecurityRow;
}

void updateRememberedRow() {
    rememberedSecurityRow = rememberedMac.empty() ? -1 : findSecurityRow(rememberedMac);
}

// Password and name cells from the device's entry (index 1-based, 0 none).
void entryCells(SecurityListRow& row, int entryIndex, const std::string& nameWithoutEntry) {
    if (entryIndex == 0) {
        row.cells[kSecPasswordColumn] = kNotEnteredText;
        row.cells[kSecNameColumn] = nameWithoutEntry;
        return;
    }
    const DeviceEntry& entry = deviceTable[entryIndex - 1];
    row.cells[kSecPasswordColumn] = fieldText(entry.password);
    row.cells[kSecNameColumn] = fieldText(entry.name);
}

// ---- The local device's row ------------------------------------------------------------

void localCells(SecurityListRow& row, const uint8_t* mac, bool inserting) {
    int32_t deviceClass = currentScanState().deviceClass;
    std::string version =
        deviceClass == kClassTurbo ? fieldText(turboVersion) : fieldText(localFirmwareVersion);
    row.reference = 0;
    row.icon = iconFor(deviceClass);
    row.cells[kSecCheckColumn].clear();
    row.cells[kSecFirmwareColumn] = firmwareText(deviceClass, version.c_str());
    row.cells[kSecMacColumn] = macText(mac);
    row.cells[kSecLocationColumn] = kLocalText;
    std::string unnamed = inserting ? numberedName(securityList.size() + 1) : kNoNameText;
    entryCells(row, findDeviceEntry(mac), unnamed);
}

void fillLocalRow() {
    const ScanState& state = currentScanState();
    std::string mac = macText(state.localMac);
    // A local row of another adapter (the adapters changed) is not this
    // network's local device any more.
    for (int i = static_cast<int>(securityList.size()) - 1; i >= 0; --i) {
        if (securityList[i].reference == 0 &&
            (!state.localPresent || securityList[i].cells[kSecMacColumn] != mac))
            eraseRow(i);
    }
    if (!state.localPresent || !macIsSet(state.localMac))
        return;
    int at = findSecurityRow(mac);
    if (at >= 0) {
        localCells(securityList[at], state.localMac, false);
        if (at != 0) { // the local device stays the first row
            SecurityListRow row = securityList[at];
            bool remembered = rememberedSecurityRow == at;
            eraseRow(at);
            insertRow(0, std::move(row));
            if (remembered)
                rememberedSecurityRow = 0;
        }
        return;
    }
    SecurityListRow row;
    localCells(row, state.localMac, true);
    stampDeviceEntry(state.localMac); // a newly listed local device's entry
    insertRow(0, std::move(row));
}

// ---- Remote rows -----------------------------------------------------------------------

void remoteCells(SecurityListRow& row, int slot, const RemoteDevice& remote) {
    row.reference = slot + 1;
    row.icon = iconFor(remote.deviceType);
    row.cells[kSecCheckColumn].clear();
    row.cells[kSecFirmwareColumn] =
        firmwareText(remote.deviceType, fieldText(remote.version).c_str());
    row.cells[kSecMacColumn] = macText(remote.mac);
    row.cells[kSecLocationColumn] = kRemoteText;
    entryCells(row, findDeviceEntry(remote.mac), kNoNameText);
}

void fillRemoteRows() {
    const uint8_t* localMac = currentScanState().localMac;
    const NetworkRecord& record = networkRecords[currentInterface];
    for (int slot = 0; slot < kRemoteSlots; ++slot) {
        const RemoteDevice& remote = record.remotes[slot];
        if (!macIsSet(remote.mac) || macEqual(remote.mac, localMac))
            continue;
        int at = findSecurityRow(macText(remote.mac));
        if (at >= 0) {
            if (remote.active)
                remoteCells(securityList[at], slot, remote);
            else
                eraseRow(at);
        } else if (remote.active && findDeviceEntry(remote.mac) != 0) {
            SecurityListRow row;
            remoteCells(row, slot, remote);
            insertRow(static_cast<int>(securityList.size()), std::move(row));
        }
    }
}

// Remote rows whose device has no slot any more, or a link rate of exactly 0.
void removeSilentRows() {
    for (int i = static_cast<int>(securityList.size()) - 1; i >= 0; --i) {
        if (securityList[i].reference == 0)
            continue;
        uint8_t mac[6];
        if (!parseMac(securityList[i].cells[kSecMacColumn].c_str(), mac) || !remoteDeviceRated(mac))
            eraseRow(i);
    }
}

std::string keyLabelText() {
    return fieldText(networkRecords[currentInterface].keyLabel);
}

} // namespace

// The key text as the page reads it back, and whether it passes the checks.
bool acceptKeyText(void* owner, const std::string& text) {
    switch (checkNetworkKeyText(text)) {
    case KeyTextProblem::None:
        return true;
    case KeyTextProblem::InvalidNetworkPassword:
        showOutcome(KeyMessage::InvalidNetworkPassword, owner);
        return false;
    case KeyTextProblem::BreaksRules:
        break;
    }
    showMessage(kInvalidKeyText, kInvalidKeyCaption, MessageIcon::Error, MessageButtons::Ok,
                messageOwner(owner));
    return false;
}

std::array<int, kSecurityColumnCount> securityDisplayOrder() {
    // Every column after the first is inserted at display position 1.
    std::vector<int> order{kSecCheckColumn};
    for (int column = 1; column < kSecurityColumnCount; ++column)
        order.insert(order.begin() + 1, column);
    std::array<int, kSecurityColumnCount> result{};
    for (int i = 0; i < kSecurityColumnCount; ++i)
        result[i] = order[i];
    return result;
}

void setSecurityPageHooks(SecurityPageHooks hooks) {
    pageHooks = std::move(hooks);
}

void fillSecurityList() {
    if (currentInterface < 0 || currentInterface >= kMaxInterfaces)
        return;
    fillLocalRow();
    fillRemoteRows();
    removeSilentRows();
    for (SecurityListRow& row : securityList)
        row.checked = checkedMacs.count(row.cells[kSecMacColumn]) != 0;
    updateRememberedRow();
    notifyListChanged();
}

void clearSecurityList() {
    // The rows go; the user's checks and remembered device stay for the
    // rows the next refresh brings back.
    securityList.clear();
    rememberedSecurityRow = -1;
    notifyListChanged();
}

void setSecurityStatusText(const std::string& text) {
    securityStatusText = text;
    if (pageHooks.statusChanged)
        pageHooks.statusChanged(text);
}

void setSecurityActionsEnabled(bool enabled) {
    securityActionsEnabled = enabled;
    if (pageHooks.actionsChanged)
        pageHooks.actionsChanged(enabled);
}

std::vector<SecurityRow> securityRowsForKeys() {
    std::vector<SecurityRow> rows;
    rows.reserve(securityList.size());
    for (const SecurityListRow& row : securityList)
        rows.push_back(SecurityRow{row.checked, {row.cells.begin(), row.cells.end()}});
    if (currentInterface < 0 || currentInterface >= kMaxInterfaces)
        return rows;
    // Checked devices on the network that the list does not hold right now.
    const NetworkRecord& record = networkRecords[currentInterface];
    const uint8_t* localMac = currentScanState().localMac;
    for (int slot = 0; slot < kRemoteSlots; ++slot) {
        const RemoteDevice& remote = record.remotes[slot];
        if (!macIsSet(remote.mac) || macEqual(remote.mac, localMac) || !remote.active)
            continue;
        const std::string mac = macText(remote.mac);
        if (checkedMacs.count(mac) == 0 || findSecurityRow(mac) >= 0 ||
            findDeviceEntry(remote.mac) == 0)
            continue;
        SecurityListRow row;
        remoteCells(row, slot, remote);
        rows.push_back(SecurityRow{true, {row.cells.begin(), row.cells.end()}});
    }
    return rows;
}

std::string keyTextOnCreate() {
    if (!networkRecords[currentInterface].localPresent)
        return {};
    return keyLabelText();
}

std::string keyTextOnActivate() {
    if (!currentScanState().localPresent)
        return {};
    return keyLabelText();
}

CheckAction securityCheckChanged(int row, bool checked) {
    if (row < 0 || row >= static_cast<int>(securityList.size()))
        return CheckAction::None;
    const std::string mac = securityList[row].cells[kSecMacColumn];
    return securityCheckChangedByMac(mac, checked);
}

CheckAction securityCheckChangedByMac(const std::string& macText, bool checked) {
    uint8_t mac[6];
    if (!parseMac(macText.c_str(), mac) || !macIsSet(mac))
        return CheckAction::None;
    const int row = findSecurityRow(macText);
    if (row >= 0)
        securityList[row].checked = checked;
    if (!checked) {
        checkedMacs.erase(macText);
        return CheckAction::None;
    }
    checkedMacs.insert(macText);
    rememberedMac = macText;
    rememberedSecurityRow = row;
    // The local device needs no password dialog; every other device does.
    const bool local = row >= 0 ? securityList[row].cells[kSecLocationColumn] == kLocalText
                                : currentInterface >= 0 && currentInterface < kMaxInterfaces &&
                                      macEqual(mac, currentScanState().localMac);
    return local ? CheckAction::Remember : CheckAction::OpenPasswordDialog;
}

bool rememberedSecurityDevice(int& entryIndex1, std::string& deviceText) {
    entryIndex1 = 0;
    deviceText.clear();
    updateRememberedRow();
    if (rememberedSecurityRow >= 0 &&
        rememberedSecurityRow < static_cast<int>(securityList.size())) {
        const SecurityListRow& row = securityList[rememberedSecurityRow];
        uint8_t mac[6];
        if (parseMac(row.cells[kSecMacColumn].c_str(), mac))
            entryIndex1 = findDeviceEntry(mac);
        deviceText = row.cells[kSecNameColumn] + "  (" + row.cells[kSecMacColumn] + ")";
        return true;
    }
    // The row is not listed right now (an interval cleared the list): the
    // device is still the one the user checked.
    uint8_t mac[6];
    if (rememberedMac.empty() || !parseMac(rememberedMac.c_str(), mac))
        return false;
    entryIndex1 = findDeviceEntry(mac);
    if (entryIndex1 == 0)
        return false;
    deviceText = fieldText(deviceTable[entryIndex1 - 1].name) + "  (" + rememberedMac + ")";
    return true;
}

bool securityDeviceChecked(const std::string& macText) {
    return checkedMacs.count(macText) != 0;
}

SetSelectedResult runSetSelectedDevices(void* owner, const std::string& keyText,
                                        const std::function<void(bool)>& setKeyControlsEnabled) {
    std::vector<SecurityRow> rows = securityRowsForKeys();
    if (!anyDeviceChecked(rows)) {
        showOutcome(KeyMessage::NoDeviceSelected, owner);
        return SetSelectedResult::NoneChecked;
    }
    std::string text = keyText.substr(0, kKeyTextMax);
    if (!acceptKeyText(owner, text))
        return SetSelectedResult::InvalidKey;

    int previous = suspendAutoScan(0);
    MessageResult answer =
        showMessage(kConfirmKeyText, kConfirmKeyCaption, MessageIcon::Information,
                    MessageButtons::OkCancel, messageOwner(owner));
    if (answer != MessageResult::Ok) {
        suspendAutoScan(previous);
        return SetSelectedResult::Cancelled;
    }
    fileNetworkPassword(text);
    if (setKeyControlsEnabled)
        setKeyControlsEnabled(false);
    showOutcome(setSelectedDevices(rows, text.c_str()), owner);
    recomputeCurrentInterface();
    suspendAutoScan(previous);
    scanNowMain(mainWindowHandle);
    // The key controls come back once the devices were keyed and the
    // network scanned again, so the user can change the key another time.
    if (setKeyControlsEnabled)
        setKeyControlsEnabled(true);
    return SetSelectedResult::Applied;
}

void resetSecurityPage() {
    securityList.clear();
    checkedMacs.clear();
    rememberedMac.clear();
    rememberedSecurityRow = -1;
    securityStatusText.clear();
    securityActionsEnabled = true;
    pageHooks = {};
}
