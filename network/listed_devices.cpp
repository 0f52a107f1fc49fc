#include "network/listed_devices.h"

#include "network/model.h"

bool remoteDeviceRated(const uint8_t mac[6]) {
    const RemoteDevice* slot = findRemote(mac);
    return slot != nullptr && slot->stats.rate != 0.0;
}

bool deviceOnNetwork(const uint8_t mac[6]) {
    if (currentInterface < 0 || currentInterface >= kMaxInterfaces || !macIsSet(mac))
        return false;
    const ScanState& state = currentScanState();
    if (state.localPresent && macEqual(mac, state.localMac))
        return true;
    const RemoteDevice* slot = findRemote(mac);
    return slot != nullptr && slot->active && slot->stats.rate != 0.0;
}

void selectInterfaceWithLocalDevice() {
    for (int i = 0; i < interfaceCount && i < kMaxInterfaces; ++i) {
        if (scanStates[i].localPresent) {
            currentInterface = i;
            break;
        }
    }
    if (currentInterface >= 0 && currentInterface < kMaxInterfaces)
        localIsTurbo = networkRecords[currentInterface].deviceClass == kClassTurbo;
}
