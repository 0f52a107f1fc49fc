#include "network/cycle_consumers.h"

#include <algorithm>
#include <vector>

namespace {
struct Registered {
    int id;
    CyclePhase phase;
    CycleConsumer consumer;
};
std::vector<Registered> consumers;
int lastId = 0;
} // namespace

int addCycleConsumer(CyclePhase phase, CycleConsumer consumer) {
    consumers.push_back({++lastId, phase, std::move(consumer)});
    return lastId;
}

void removeCycleConsumer(int id) {
    consumers.erase(std::remove_if(consumers.begin(), consumers.end(),
                                   [id](const Registered& r) { return r.id == id; }),
                    consumers.end());
}

void notifyCycleConsumers(const CycleEnd& end) {
    // A consumer may remove itself (or another) while it runs: walk a copy.
    const std::vector<Registered> now = consumers;
    for (CyclePhase phase : {CyclePhase::Gather, CyclePhase::Record})
        for (const Registered& r : now)
            if (r.phase == phase && r.consumer)
                r.consumer(end);
}

void resetCycleConsumers() {
    consumers.clear();
}
