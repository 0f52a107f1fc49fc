#include "security/add_device_flow.h"

#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "network/model.h"
#include "network/scan.h"
#include "packet/packet.h"
#include "platform/clock.h"
#include "platform/wait_cursor.h"
#include "security/passwords.h"
#include "storage/device_database.h"
#include "storage/preferences.h"

namespace {

void refuse(const AddDeviceDecisions& ask, AddDeviceRefusal why) {
    if (ask.refuse)
        ask.refuse(why);
}

void run(const ProgressHook& hook) {
    if (hook)
        hook();
}

// The text up to its first NUL, at most `max` characters: what the dialog's
// edit gives back.
std::string typedText(const std::string& typed, size_t max) {
    std::string text = typed.substr(0, max);
    return text.substr(0, text.find('\0'));
}

// The addition, its outcome and the scan it calls for, all with the automatic
// scan held off (the outcome is told while the addition still holds it).
AddDeviceOutcome addAndTell(const AddDeviceDecisions& ask, const std::string& name,
                            char* password) {
    BusyScope busy;
    AddDeviceOutcome outcome = addDeviceByPassword(name.c_str(), password, ask.advanceProgress);
    if (ask.tell)
        ask.tell(outcome.message);
    if (outcome.scanAfter && ask.scanNow) {
        WaitCursorScope cursor;
        ask.scanNow();
    }
    return outcome;
}

void addedAndSaved(const AddDeviceDecisions& ask, const std::string& name) {
    saveDeviceDatabase();
    if (!preferences.autoScan) {
        refreshDeviceList(3);
        if (ask.scanNow)
            ask.scanNow();
    }
    if (findDeviceEntryByName(name.c_str()) != 0 && ask.rebuildDeviceList)
        ask.rebuildDeviceList();
}

} // namespace

AddDeviceRefusal checkAddDeviceInput(const std::string& name, const std::string& password) {
    if (name.empty())
        return AddDeviceRefusal::AnotherName;
    if (name.size() > kStoredNameMax)
        return AddDeviceRefusal::NameTooLong;
    if (findDeviceEntryByName(name.c_str()) != 0)
        return AddDeviceRefusal::AnotherName;
    if (password == kAddDevicePasswordPlaceholder)
        return AddDeviceRefusal::NoPassword;
    if (!checkDevicePassword(password.c_str()))
        return AddDeviceRefusal::InvalidPassword;
    return AddDeviceRefusal::None;
}

AddDeviceEnd addDeviceToNetwork(int previousScanState, const std::string& typedName,
                                const std::string& typedPassword, const AddDeviceDecisions& ask) {
    if (takeOldFirmware()) {
        refuse(ask, AddDeviceRefusal::OldFirmware);
        // The scan that follows runs with the automatic scan as it was before.
        suspendAutoScan(previousScanState);
        return AddDeviceEnd::CloseAndScan;
    }
    const std::string name = typedText(typedName, kNameReadMax);
    const std::string password = typedText(typedPassword, kPasswordReadMax);
    if (AddDeviceRefusal why = checkAddDeviceInput(name, password); why != AddDeviceRefusal::None) {
        refuse(ask, why);
        return AddDeviceEnd::StayOpen;
    }
    if (ask.alreadyListed && ask.alreadyListed(password)) {
        refuse(ask, AddDeviceRefusal::AlreadyAdded);
        suspendAutoScan(previousScanState);
        return AddDeviceEnd::StayOpen;
    }
    keepKeyLabelOnce();
    suspendAutoScan(previousScanState);
    beginAddingDevice();
    uint8_t keptKey[16] = {};
    bool keyKept = false;
    if (localIsAv) {
        run(ask.startProgress);
        keyKept = readLocalNmk(currentScanState().localMac, keptKey);
    }
    char buffer[kPasswordBufferSize];
    copyText(buffer, password.c_str());
    if (addAndTell(ask, name, buffer).added) {
        addedAndSaved(ask, name);
        return AddDeviceEnd::WaitForDevice;
    }
    // Only a key that was really read goes back: writing an unread (zero) key
    // would take the local device off the user's network.
    if (localIsAv && keyKept) {
        setLocalNEK(hostMac(), keptKey);
        sleepMs(kAddFailureSettleMs);
    }
    return AddDeviceEnd::Close;
}

bool devicePasswordOnNetwork(const std::string& password) {
    const NetworkRecord& record = networkRecords[currentInterface];
    for (const RemoteDevice& remote : record.remotes) {
        if (!remote.active)
            continue;
        const int entry = findDeviceEntry(remote.mac);
        if (entry > 0 && password == deviceTable[entry - 1].password)
            return true;
    }
    return false;
}
