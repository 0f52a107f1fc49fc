#pragma once
// The bench every flow test stands on: a virtual clock, an in-memory wire as the
// packet driver, a recording message sink and a manual scan timer, installed for
// the lifetime of the bench, with every core subsystem reset before and after.
// The scan and parameters logs go to a temporary folder.
//
//   class MyFlow : public ::testing::Test {
//     protected:
//       CoreBench bench;                     // seams installed, core reset
//       sim::Network net;
//       void SetUp() override { net.attach(bench.wire, bench.addPort("eth0", kHost)); }
//       void TearDown() override { net.detach(); } // bench restores the rest
//   };
#include <cstdint>

#include "network/auto_scan.h"
#include "packet/memory_wire.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "support/temp_dir.h"

// Returns every core subsystem (model, plcapi, maintenance, frames, scans, logs,
// keys, key operations, preferences, database state) to its start state.
void resetCore();

class CoreBench {
  public:
    CoreBench();
    ~CoreBench();
    CoreBench(const CoreBench&) = delete;
    CoreBench& operator=(const CoreBench&) = delete;

    // Adds an interface with the given MAC; returns its port index on the wire.
    int addPort(const char* name, const uint8_t mac[6]);

    VirtualClock clock;
    MemoryWire wire{clock};
    RecordingMessages messages;
    ManualScanTimer timer;
    TempDir dir; // the scan log and parameters log are written here
};
