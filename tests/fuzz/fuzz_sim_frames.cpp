// The emulator's frame handling: sim::Network::handle on a run of frames, for
// a HomePlug AV network, a HomePlug 1.0 network (with its secondary loader)
// or a Turbo network. It faces the same wire as the core in tests and demos.
//
// Input: a scenario byte, then records: a control byte and one frame. Control
// bit 0 addresses it to the local station from the host (with the scenario's
// EtherType); bit 1 to a remote station; bit 2 to the loader address.
//
// Invariants: every answer is a whole Ethernet frame (60 to 1514 bytes) of a
// HomePlug EtherType, arriving within a bounded delay; the stations keep
// their identity, parameter block length and bounded transfer buffers.
#include <cstring>
#include <vector>

#include "harness.h"
#include "sim/network.h"

namespace {

const sim::Mac kHost = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

sim::Network buildNetwork(uint8_t scenario) {
    sim::Network net;
    switch (scenario) {
    case 0: {
        sim::Station local = sim::Station::av("00:B0:52:00:00:10");
        local.local = true;
        net.addStation(std::move(local));
        net.addStation(sim::Station::av("00:B0:52:00:00:11"));
        break;
    }
    case 1: {
        sim::Station local = sim::Station::hp10("00:04:87:00:00:20");
        local.local = true;
        net.addStation(std::move(local));
        net.addStation(sim::Station::hp10("00:04:87:00:00:21"));
        break;
    }
    default: {
        sim::Station local = sim::Station::turbo("00:04:87:00:00:30");
        local.local = true;
        net.addStation(std::move(local));
        net.addStation(sim::Station::turbo("00:04:87:00:00:31"));
        net.addStation(sim::Station::hp10("00:04:87:00:00:32"));
        break;
    }
    }
    return net;
}

// The stations of each scenario are made once (deriving their keys and images
// takes far longer than handling a frame) and copied into a fresh network.
sim::Network makeNetwork(uint8_t scenario) {
    static const std::vector<std::vector<sim::Station>> prototypes = [] {
        std::vector<std::vector<sim::Station>> all;
        for (uint8_t s = 0; s < 3; ++s) {
            sim::Network net = buildNetwork(s);
            all.emplace_back(net.stations().begin(), net.stations().end());
        }
        return all;
    }();
    sim::Network net;
    for (const sim::Station& st : prototypes[scenario % 3])
        net.addStation(st);
    return net;
}

void address(std::vector<uint8_t>& f, uint8_t control, uint8_t scenario, sim::Network& net) {
    if (!(control & 0x07))
        return;
    if (f.size() < 14)
        f.resize(14);
    const sim::Mac* dst = &net.stations()[0].mac;
    if (control & 0x02)
        dst = &net.stations()[1].mac;
    if (control & 0x04)
        dst = &sim::kLoaderMac;
    std::memcpy(&f[0], dst->data(), 6);
    std::memcpy(&f[6], kHost.data(), 6);
    uint16_t type = scenario % 3 == 0 ? sim::kEtherAv : sim::kEtherHp10;
    f[12] = static_cast<uint8_t>(type >> 8);
    f[13] = static_cast<uint8_t>(type);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    uint8_t scenario = in.byte();
    sim::Network net = makeNetwork(scenario);
    std::vector<sim::Mac> macs;
    for (const sim::Station& st : net.stations())
        macs.push_back(st.mac);

    std::vector<uint8_t> record;
    int frames = 0;
    while (frames++ < 48 && in.record(record, 1 + 1514)) {
        if (record.empty())
            continue;
        std::vector<uint8_t> f(record.begin() + 1, record.end());
        address(f, record[0], scenario, net);
        ExactBytes frame(f);
        std::vector<sim::Network::Answer> answers = net.handle(frame.data(), frame.size());
        for (const sim::Network::Answer& a : answers) {
            FUZZ_CHECK(a.frame.size() >= sim::kMinFrame && a.frame.size() <= sim::kMaxFrame);
            uint16_t type = static_cast<uint16_t>(a.frame[12] << 8 | a.frame[13]);
            FUZZ_CHECK(type == sim::kEtherAv || type == sim::kEtherHp10);
            FUZZ_CHECK(a.delayMs <= 60000);
        }
        size_t i = 0;
        for (const sim::Station& st : net.stations()) {
            FUZZ_CHECK(st.mac == macs[i++]);
            FUZZ_CHECK(!st.isAv() || st.pib.size() == sim::kPibLength);
            for (const auto& [module, bytes] : st.stagedModules)
                FUZZ_CHECK(bytes.size() <= (16u << 20));
            for (const auto& [module, bytes] : st.loaderStaged)
                FUZZ_CHECK(bytes.size() <= (4u << 20));
        }
    }
    return 0;
}
