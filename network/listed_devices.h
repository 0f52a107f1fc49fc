#pragma once
// Which devices are on the current interface's network as the device lists
// show it, for every caller that must decide on the same rule: the Main list
// and the Security list (ui/) when they drop rows, halyardctl when it checks
// that a device it is asked to reset or key is there at all.
//
// The rule: the local device while its adapter is present; a remote device
// while its slot is active and its measured link rate is not 0 (a device that
// answered the station list but carries no traffic is not shown).
#include <cstdint>

// A slot of the current interface holds `mac` and its link rate is not 0.
bool remoteDeviceRated(const uint8_t mac[6]);

// The device `mac` is the present local device, or an active remote device
// with a rate: the devices the Main list shows after a refresh.
bool deviceOnNetwork(const uint8_t mac[6]);

// The first interface with a local device becomes the current one (none: it
// stays); localIsTurbo follows the current interface's device class.
void selectInterfaceWithLocalDevice();
