#pragma once
// Consumers of each completed automatic cycle (the link history, the network
// map, the exporter). The cycle calls them once its last step has aged the
// remote slots, rescanned and refreshed the list: after the described cycle,
// never inside it, so a consumer cannot lengthen or reorder its waits.
//
// Two phases, in this order:
//   Gather  - may exchange frames of its own after the cycle (the network map
//             asks each remote adapter for its station list); it obeys the
//             busy flag like every other exchange.
//   Record  - reads the tables the cycle (and the gatherers) filled and keeps
//             or publishes them (history, exporter); sends nothing.
// Consumers read the process-wide tables of network/model.h; they never write
// the described tables.
#include <cstdint>
#include <functional>

enum class CyclePhase { Gather, Record };

struct CycleEnd {
    int interfaceIndex;      // the interface the cycle ran on (currentInterface)
    uint32_t finishedAtTick; // the clock seam's tick count (ms) when it ended
};

using CycleConsumer = std::function<void(const CycleEnd&)>;

// Registers a consumer; returns an id for removeCycleConsumer (never 0).
int addCycleConsumer(CyclePhase phase, CycleConsumer consumer);
void removeCycleConsumer(int id);
// Runs the Gather consumers, then the Record consumers, each in the order
// they were added. Called by the automatic cycle's last step.
void notifyCycleConsumers(const CycleEnd& end);
// Removes every consumer (start-up and between tests).
void resetCycleConsumers();
