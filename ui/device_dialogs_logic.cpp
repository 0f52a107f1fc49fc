#include "ui/device_dialogs_logic.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "maintenance/av_maintenance.h"
#include "maintenance/hp10_upgrade.h"
#include "network/auto_scan.h"
#include "network/model.h"
#include "network/scan.h"
#include "packet/frame_bytes.h"
#include "platform/clock.h"
#include "platform/main_window.h"
#include "platform/messages.h"
#include "platform/wait_cursor.h"
#include "security/add_device_flow.h"
#include "security/device_password.h"
#include "security/key_operations.h"
#include "security/passwords.h"
#include "storage/device_database.h"
#include "storage/device_naming.h"
#include "storage/preferences.h"
#include "ui/outcome_boxes.h"

namespace {

constexpr const char* kAttention = "Attention";
constexpr const char* kSelectDeviceFirst = "Please select a device first by clicking on it.";

int progressCounter = 0;
AddDeviceDialogHooks dialogHooks;
MainPageLinks mainLinks;

void attention(void* owner, const char* text) {
    showMessage(text, kAttention, MessageIcon::Warning, MessageButtons::Ok, messageOwner(owner));
}

// The MAC in the parentheses at the end of a label text.
bool macFromLabel(const std::string& label, uint8_t out[6]) {
    size_t open = label.rfind('(');
    size_t close = label.rfind(')');
    std::memset(out, 0, 6);
    if (open == std::string::npos || close == std::string::npos || close <= open)
        return false;
    std::string mac = label.substr(open + 1, close - open - 1);
    return parseMac(mac.c_str(), out) && macIsSet(out);
}

// The name part of a label text (before "  (").
std::string nameFromLabel(const std::string& label) {
    size_t cut = label.rfind("  (");
    return cut == std::string::npos ? label : label.substr(0, cut);
}

void showProgress() {
    if (dialogHooks.showStatus)
        dialogHooks.showStatus(addDeviceProgressText(progressCounter));
}

} // namespace

// ---- Fixed texts ------------------------------------------------------------------

std::string setPasswordHelpText() {
    return std::string(kPasswordHelpIntro) + " " + kPasswordHelpExample + " " + kSetPasswordHelpEnd;
}

std::string addDeviceHelpText() {
    return std::string(kPasswordHelpIntro) + " " + kPasswordHelpExample + " " + kAddDeviceHelpEnd;
}

// ---- In-place rename ----------------------------------------------------------------

RenameEdit beginRename(const std::string& macText, const std::string& shownName) {
    RenameEdit edit;
    edit.shownName = shownName;
    edit.previousScanState = suspendAutoScan(0);
    if (parseMac(macText.c_str(), edit.mac))
        edit.entryIndex1 = findDeviceEntry(edit.mac);
    else
        std::memset(edit.mac, 0, sizeof edit.mac);
    return edit;
}

RenameOutcome endRename(const RenameEdit& edit, const std::string* newText, std::string& storedName,
                        void* owner) {
    struct Restore {
        int state;
        ~Restore() { suspendAutoScan(state); }
    } restore{edit.previousScanState};
    if (newText == nullptr)
        return RenameOutcome::Cancelled;
    std::string typed = cutText(*newText, kNameReadMax);
    typed = cutText(typed.substr(0, typed.find('\0')), kStoredNameMax);
    // The entry the edit began with, or the one that holds the MAC now.
    const DeviceEntry* entry = deviceEntryAt(edit.entryIndex1);
    if (entry != nullptr && !macEqual(entry->mac, edit.mac))
        entry = nullptr;
    if (entry == nullptr && macIsSet(edit.mac))
        entry = deviceEntryAt(findDeviceEntry(edit.mac));
    const std::string current = entry ? fieldText(entry->name) : edit.shownName;
    if (!typed.empty() && typed == current)
        return RenameOutcome::Cancelled;
    return applyRename(edit.entryIndex1, edit.mac, *newText, storedName, owner);
}

RenameOutcome applyRename(int entryIndex1, const uint8_t* mac, const std::string& newText,
                          std::string& storedName, void* owner) {
    const DeviceRename rename = renameDevice(entryIndex1, mac, newText);
    showOutcome(rename.result, owner);
    switch (rename.result) {
    case RenameResult::Renamed:
        storedName = rename.storedName;
        return RenameOutcome::Renamed;
    case RenameResult::NameTaken:
        return RenameOutcome::Refused;
    case RenameResult::NotStored:
        break;
    }
    return RenameOutcome::Failed;
}

// ---- Set Device Password -----------------------------------------------------------------

std::string deviceLabelText(const std::string& name, const std::string& macText) {
    return name + "  (" + macText + ")";
}

std::string cleanStoredPassword(int entryIndex1) {
    const DeviceEntry* entry = deviceEntryAt(entryIndex1);
    if (entry == nullptr)
        return "";
    std::string text = fieldText(entry->password);
    // Only a leading marker is dropped: cutting characters off a password that
    // merely contains the word elsewhere would destroy it.
    if (text.rfind("CHECK ", 0) == 0)
        text.erase(0, 6);
    if (text.rfind("Not ", 0) == 0)
        text.erase(0, 4);
    setEntryPassword(entryIndex1, text.c_str());
    return text;
}

bool openSetDevicePassword(void* owner, const std::string& deviceText) {
    if (!deviceText.empty())
        return true;
    attention(owner, kSelectDeviceFirst);
    return false;
}

DialogAction acceptDevicePassword(void* owner, int entryIndex1, const std::string& deviceText,
                                  const std::string& typed) {
    uint8_t mac[6];
    const bool haveMac = macFromLabel(deviceText, mac);
    switch (fileDevicePassword(entryIndex1, haveMac ? mac : nullptr, nameFromLabel(deviceText),
                               typed)) {
    case DevicePasswordResult::Stored:
        return DialogAction::Close;
    case DevicePasswordResult::OldFirmware:
        showOutcome(DevicePasswordResult::OldFirmware, owner);
        return DialogAction::CloseAndScan;
    case DevicePasswordResult::Invalid:
        showOutcome(DevicePasswordResult::Invalid, owner);
        return DialogAction::StayOpen;
    case DevicePasswordResult::NoEntry:
        break;
    }
    showOutcome(DevicePasswordResult::NoEntry, owner);
    return DialogAction::Abandon;
}

// ---- Add Device to Network -----------------------------------------------------------------

const char* addDeviceProgressText(int counter) {
    switch (counter) {
    case 0:
        return "Please wait, this operation will take approximately 30 seconds to complete..";
    case 1:
        return "Devices will reboot while this operation...";
    case 2:
        return "Trying to add device to the Network...";
    case 3:
        return "Proceeding...";
    default:
        return counter < 0 ? addDeviceProgressText(0) : "Completing...";
    }
}

int addDeviceProgressCounter() {
    return progressCounter;
}

void resetAddDeviceProgress() {
    progressCounter = 0;
    showProgress();
}

void advanceAddDeviceProgress() {
    // Every refresh advances the counter; it stops counting once past the last text.
    if (progressCounter < 1000)
        ++progressCounter;
    showProgress();
}

void setAddDeviceDialogHooks(AddDeviceDialogHooks hooks) {
    dialogHooks = std::move(hooks);
}

bool addDeviceDialogOpen() {
    return static_cast<bool>(dialogHooks.close);
}

void closeAddDeviceDialog() {
    if (dialogHooks.close)
        dialogHooks.close();
}

void setMainPageLinks(MainPageLinks links) {
    mainLinks = std::move(links);
}

std::vector<std::string> listedDevicePasswords() {
    return mainLinks.listedPasswords ? mainLinks.listedPasswords() : std::vector<std::string>{};
}

void clearMainDeviceList() {
    if (mainLinks.clearList)
        mainLinks.clearList();
}

namespace {
ScanNowHook scanNowHook;
} // namespace

void setScanNowHook(ScanNowHook hook) {
    scanNowHook = std::move(hook);
}

void scanNow(void* owner) {
    if (scanNowHook)
        scanNowHook(owner);
    else
        scanNetwork();
}

void runAfterUpgradeCommand() {
    if (mainLinks.afterUpgrade)
        mainLinks.afterUpgrade();
    else
        scanNow(mainWindowHandle);
}

const char* addDevicePictureFile() {
    const ScanState& state = currentScanState();
    if (!state.localPresent || state.deviceClass == kClassAv)
        return "oemDevice.bmp";
    if (state.deviceClass == kClassTurbo)
        return "oemDeviceIconHS.bmp";
    return "oemDeviceIconLS.bmp";
}

int beginAddDevice() {
    return suspendAutoScan(0);
}

void cancelAddDevice(int previousScanState) {
    suspendAutoScan(previousScanState);
    // Closed before the device turned up (Cancel or the close box after a
    // successful OK): nothing waits for it any more, so no device found later
    // may take the typed name and password.
    endAddingDevice();
}

// The name and password checks of the Add Device dialog's OK.
bool addDeviceInputValid(void* owner, const std::string& name, const std::string& password) {
    const AddDeviceRefusal why = checkAddDeviceInput(name, password);
    showOutcome(why, owner);
    return why == AddDeviceRefusal::None;
}

namespace {

bool passwordAlreadyListed(const std::string& password) {
    std::vector<std::string> listed = listedDevicePasswords();
    return std::find(listed.begin(), listed.end(), password) != listed.end();
}

DialogAction dialogActionOf(AddDeviceEnd end) {
    switch (end) {
    case AddDeviceEnd::StayOpen:
        return DialogAction::StayOpen;
    case AddDeviceEnd::CloseAndScan:
        return DialogAction::CloseAndScan;
    case AddDeviceEnd::WaitForDevice:
        return DialogAction::WaitForDevice;
    case AddDeviceEnd::Close:
        break;
    }
    return DialogAction::Close;
}

} // namespace

AddDeviceDecisions addDeviceDialogDecisions(void* owner) {
    AddDeviceDecisions ask;
    ask.refuse = [owner](AddDeviceRefusal why) { showOutcome(why, owner); };
    ask.alreadyListed = passwordAlreadyListed;
    ask.startProgress = resetAddDeviceProgress;
    ask.advanceProgress = advanceAddDeviceProgress;
    ask.tell = [owner](KeyMessage message) { showOutcome(message, owner); };
    ask.scanNow = [] { scanNow(mainWindowHandle); };
    ask.rebuildDeviceList = clearMainDeviceList;
    return ask;
}

DialogAction acceptAddDevice(void* owner, int previousScanState, const std::string& typedName,
                             const std::string& typedPassword) {
    return dialogActionOf(addDeviceToNetwork(previousScanState, typedName, typedPassword,
                                             addDeviceDialogDecisions(owner)));
}

// ---- Firmware upgrade ------------------------------------------------------------------------

const FileChoice kPibChoice{"PIB File (*.PIB)", "*.PIB", "pib"};
const FileChoice kNvmChoice{"Firmware File (*.NVM)", "*.NVM", "nvm"};
const FileChoice kCfgChoice{"Config File (*.CFG)", "*.CFG", "cfg"};
const FileChoice kImgChoice{"Firmware File (*.IMG)", "*.IMG", "bin"};

UpgradeDialogKind chooseUpgradeDialog() {
    const LocalUpgradeKind local = localUpgradeKind();
    showOutcome(local);
    return local.kind;
}

std::string chosenPath(const std::string& selected, const FileChoice& choice) {
    if (selected.empty())
        return "";
    std::string path = selected;
    size_t slash = path.rfind('/');
    size_t base = slash == std::string::npos ? 0 : slash + 1;
    if (path.find('.', base) == std::string::npos)
        path += std::string(".") + choice.defaultExtension;
    if (path.size() > kUpgradePathMax)
        return "";
    return path;
}

void reportFileDialogFailure(void* owner) {
    showMessage("CDERR_DIALOGFAILURE", "Error", MessageIcon::Error, MessageButtons::Ok,
                messageOwner(owner));
}

bool confirmAvUpgradeFiles(void* owner, const std::string& pibPath, const std::string& nvmPath) {
    AvUpgradeDecisions ask;
    ask.confirmDeviceType = [owner] {
        return showMessage("Local Device is HomePlug AV Device\nMake sure you have selected "
                           "correct files to upgrade firmware",
                           "Local Device Type", MessageIcon::Information, MessageButtons::OkCancel,
                           messageOwner(owner)) == MessageResult::Ok;
    };
    const AvUpgradeStart start = confirmAvUpgradeStart(pibPath, nvmPath, ask);
    if (start == AvUpgradeStart::FilesMissing)
        showMessage("Please select a PIB and Firmware files\n", "Stop", MessageIcon::Error,
                    MessageButtons::Ok, messageOwner(owner));
    return start == AvUpgradeStart::Go;
}

int runHp10Upgrade(const std::string& imagePath, const std::string& configPath) {
    const Hp10UpgradeOutcome outcome = upgradeHp10(imagePath.c_str(), configPath.c_str());
    showOutcome(outcome);
    return outcome.upgraded ? 1 : 0;
}

bool runAvUpgrade(const char* firmwarePath, const char* parameterPath) {
    const AvUpgradeOutcome outcome = upgradeLocalAv(firmwarePath, parameterPath);
    showOutcome(outcome, mainWindowHandle);
    return outcome.upgraded;
}

bool runUpgradeWorker(const std::string& nvmPath, const std::string& pibPath,
                      const UpgradeWorkerHooks& hooks) {
    if (hooks.hideFileDialog)
        hooks.hideFileDialog();
    bool upgraded = runAvUpgrade(nvmPath.c_str(), pibPath.c_str());
    if (upgraded) {
        // The device restarts with its new firmware; the rescan waits for it.
        // A cancel during this wait only shortens it: the images are written.
        uint32_t deadline = tickCount() + kUpgradeSettleMs;
        while (!tickReached(deadline) && !upgradeCancelRequested.load())
            sleepMs(100);
    }
    // A cancel during the transfer or during the settle wait: the user is told
    // so, never that the upgrade succeeded (after the settle wait was cut
    // short nobody knows whether the device came back with the new firmware).
    const bool cancelled = upgradeCancelRequested.load();
    if (hooks.closeProgress)
        hooks.closeProgress();
    if (cancelled)
        showMessage(kUpgradeCancelledText, "Information", MessageIcon::Warning, MessageButtons::Ok,
                    nullptr);
    else if (upgraded)
        showMessage("Device firmware has been upgraded successfully.", "Information",
                    MessageIcon::Information, MessageButtons::Ok, nullptr);
    if (hooks.afterUpgrade)
        hooks.afterUpgrade();
    return upgraded;
}

bool confirmUpgradeCancel(void* owner) {
    MessageResult answer = showMessage(
        "Cancelling upgrade process may destroy the device. Click OK to continue.", "Warning....",
        MessageIcon::Information, MessageButtons::OkCancel, messageOwner(owner));
    if (answer != MessageResult::Ok)
        return false;
    upgradeCancelRequested.store(true);
    return true;
}

// ---- State ------------------------------------------------------------------------------------

void resetDeviceDialogs() {
    progressCounter = 0;
    dialogHooks = {};
    mainLinks = {};
}
