#include "support/core_bench.h"

#include "platform/adapter_share.h"

#include <cstring>

#include "diagnostics/scan_log.h"
#include "maintenance/av_maintenance.h"
#include "maintenance/hp10_upgrade.h"
#include "network/cycle_consumers.h"
#include "network/hp10_frames.h"
#include "network/model.h"
#include "network/network_map.h"
#include "network/scan.h"
#include "packet/driver.h"
#include "packet/packet.h"
#include "plcapi/plcapi.h"
#include "security/key_operations.h"
#include "security/keys.h"
#include "storage/device_database.h"
#include "storage/preferences.h"
#include "ui/outcome_boxes.h"

void resetCore() {
    resetDeviceModel();
    resetPlcapi();
    resetAvMaintenance();
    resetHp10Upgrade();
    resetHp10Frames();
    resetAutoScan();
    resetCycleConsumers();
    resetNetworkMap();
    resetScan();
    resetScanLog();
    resetSecurityState();
    resetKeyOperations();
    resetPreferences();
    resetDeviceDatabaseState();
}

CoreBench::CoreBench() {
    resetCore();
    setSystemClock(&clock);
    setPacketDriver(&wire);
    setMessageSink(&messages);
    installOutcomeSinks(); // the core's notices become boxes, as in the window
    setScanTimer(&timer);
    setLogDirectory(dir.path());
    // A claim a flow takes stays in the test's folder (the exporter's locks).
    setAdapterShareDirectory(dir.path());
}

CoreBench::~CoreBench() {
    closeAllInterfaces();
    setLocalDeviceObserver(nullptr);
    resetCore();
    releaseAdapterClaim();
    setAdapterShareDirectory("");
    setScanTimer(nullptr);
    setPacketDriver(nullptr);
    removeOutcomeSinks();
    setMessageSink(nullptr);
    setSystemClock(nullptr);
    resetDeviceModel();
}

int CoreBench::addPort(const char* name, const uint8_t mac[6]) {
    MemoryWire::Port port;
    port.name = name;
    port.description = name;
    std::memcpy(port.mac, mac, 6);
    return wire.addPort(port);
}
