// The emulated HomePlug AV stations, driven with hand-built requests and
// checked byte by byte: version, network information, keys, factory defaults,
// configuration block, module read, module write + commit, memory write + start.
#include <gtest/gtest.h>

#include "frame_kit.h"
#include "packet/memory_wire.h"
#include "platform/clock.h"

using namespace kit;

namespace {

const Mac kLocal = mac("00:B0:52:00:00:10");
const Mac kLiving = mac("00:B0:52:00:00:11");
const Mac kBedroom = mac("00:B0:52:00:00:12");
const Mac kGarage = mac("00:B0:52:00:00:20"); // on the private network "NeighbourNet1"

sim::Network home() {
    return sim::Network::fromFile(sim::scenarioPath("home.json"));
}

Bytes setKey(const sim::AvKey& key, uint8_t selector, const Mac& remote, const sim::AvKey& dak) {
    Bytes p(40, 0);
    p[0] = 0x01;
    std::memcpy(p.data() + 1, key.data(), 16);
    p[17] = selector;
    std::memcpy(p.data() + 18, remote.data(), 6);
    std::memcpy(p.data() + 24, dak.data(), 16);
    return av(kLocal, 0xA050, p);
}

// The AV header of an answer: to the host, from `source`, of type `mmtype`.
void expectAvHeader(const Bytes& f, const Mac& source, uint16_t mmtype) {
    ASSERT_GE(f.size(), 20u);
    EXPECT_EQ(macAt(f, 0), kHost);
    EXPECT_EQ(macAt(f, 6), source);
    EXPECT_EQ(slice(f, 12, 8),
              (Bytes{0x88, 0xE1, 0x00, uint8_t(mmtype), uint8_t(mmtype >> 8), 0x00, 0xB0, 0x52}));
}

size_t stationCount(sim::Network& net, const Mac& to) {
    auto answers = send(net, av(to, 0xA038));
    EXPECT_EQ(answers.size(), 1u);
    return answers.empty() ? 0 : answers[0].at(38);
}

// The range checks a host applies to a version 3.3 parameter block.
bool pibPassesSectionChecks(const Bytes& p) {
    auto u32 = [&](size_t at) { return le(p, at, 4); };
    if (p.size() != sim::kPibLength || p[0] != 3 || p[1] != 3 || le(p, 4, 2) != 7992)
        return false;
    if ((p[12] & 1) || p[244] >= 4 || p[245] >= 3 || p[246] >= 3 || (p[254] & 0xE0))
        return false;
    if (p[256] == 1 && p[257] >= 2)
        return false;
    if (p[268] == 1)
        return false; // the generated block carries no list there
    uint32_t m = u32(556);
    if (784 + 100ull * m > p.size())
        return false;
    for (uint32_t k = 0; k < m; ++k) {
        size_t e = 784 + 100 * k;
        if (p[e + 1] >= 2)
            return false;
        uint32_t s = le(p, e + 2, 2);
        for (uint32_t j = 0; j < s; ++j) {
            uint32_t a = u32(e + 4 + 24 * j), b = u32(e + 8 + 24 * j);
            if (b >= 2 || !(a < 0x10 || a == 0xE2))
                return false;
        }
        if (p[e + 76] >= 4 || (p[e + 76] && p[e + 77] >= 4) || p[e + 78] >= 2 || p[e + 79] >= 2)
            return false;
        if (u32(e + 80) < 10000 || u32(e + 80) > 2000000 || le(p, e + 88, 2) < 1 ||
            le(p, e + 88, 2) > 10000 || p[e + 90] >= 2 || (p[e + 76] != 2 && p[e + 91] < 4))
            return false;
    }
    if (p[2384] > 8 || u32(2572) >= 2 || u32(7824) < 20 || u32(7824) > 180)
        return false;
    return !(p[7828] == 1 && p[7829] > p[7830]);
}

// Reads a whole module the way a host does: 1024-byte requests until the
// device has no more; every chunk must match its checksum.
Bytes readModule(sim::Network& net, const Mac& to, uint8_t module, size_t size) {
    Bytes all;
    while (all.size() < size) {
        Bytes p(8, 0);
        p[0] = module;
        putLe(p, 2, std::min<size_t>(1024, size - all.size()), 2);
        putLe(p, 4, all.size(), 4);
        auto answers = send(net, av(to, 0xA024, p));
        EXPECT_EQ(answers.size(), 1u);
        if (answers.empty())
            return all;
        const Bytes& f = answers[0];
        expectAvHeader(f, to, 0xA025);
        EXPECT_EQ(f[20], 0);
        EXPECT_EQ(f[24], module);
        EXPECT_EQ(le(f, 28, 4), all.size());
        size_t n = le(f, 26, 2);
        EXPECT_GT(n, 0u);
        if (n == 0 || f.size() < 36 + n)
            return all;
        EXPECT_EQ(xorSum(f.data() + 36, n, le(f, 32, 4)), 0u) << "chunk at " << all.size();
        all.insert(all.end(), f.begin() + 36, f.begin() + 36 + static_cast<long>(n));
    }
    return all;
}

uint8_t writeModuleBlock(sim::Network& net, uint8_t module, uint32_t offset, const uint8_t* data,
                         size_t n, bool goodChecksum = true) {
    Bytes p(12 + n, 0);
    p[0] = module;
    putLe(p, 2, n, 2);
    putLe(p, 4, offset, 4);
    uint32_t sum = xorSum(data, n);
    putLe(p, 8, goodChecksum ? sum : sum + 1, 4);
    std::memcpy(p.data() + 12, data, n);
    auto answers = send(net, av(kLocal, 0xA020, p));
    EXPECT_EQ(answers.size(), 1u);
    if (answers.empty())
        return 0xFF;
    const Bytes& f = answers[0];
    expectAvHeader(f, kLocal, 0xA021);
    EXPECT_EQ(f[21], module);
    EXPECT_EQ(le(f, 23, 2), n);
    EXPECT_EQ(le(f, 25, 4), offset);
    return f[20];
}

uint8_t writeWholeModule(sim::Network& net, uint8_t module, const Bytes& image) {
    for (size_t at = 0; at < image.size(); at += 1024)
        if (uint8_t s = writeModuleBlock(net, module, static_cast<uint32_t>(at), image.data() + at,
                                         std::min<size_t>(1024, image.size() - at)))
            return s;
    return 0;
}

uint8_t statusOf(sim::Network& net, const Bytes& request, uint16_t confirmation) {
    auto answers = send(net, request);
    EXPECT_EQ(answers.size(), 1u);
    if (answers.empty())
        return 0xFF;
    expectAvHeader(answers[0], kLocal, confirmation);
    return answers[0].at(20);
}

void rechecksumPib(Bytes& pib) {
    putLe(pib, 8, 0, 4);
    putLe(pib, 8, xorSum(pib.data(), le(pib, 4, 2)), 4);
}

// A firmware image of one block whose image carries `version`.
Bytes oneBlockFirmware(uint32_t load, const std::string& version, size_t imageLength = 2100) {
    Bytes nvm(44 + imageLength, 0);
    putLe(nvm, 8, load, 4);
    putLe(nvm, 12, imageLength, 4);
    putLe(nvm, 16, load + 0x40, 4);
    putLe(nvm, 20, 7, 4);
    putLe(nvm, 40, xorSum(nvm.data(), 40), 4);
    for (size_t i = 0; i < imageLength; ++i)
        nvm[44 + i] = static_cast<uint8_t>(i * 13);
    std::memcpy(nvm.data() + 44 + 100, version.c_str(), version.size() + 1);
    return nvm;
}

} // namespace

TEST(AvStation, VersionAnswerByteForByte) {
    sim::Network net = home();
    auto answers = send(net, av(kMgmt, 0xA000));
    ASSERT_EQ(answers.size(), 1u);
    const Bytes& f = answers[0];
    ASSERT_EQ(f.size(), 88u);
    expectAvHeader(f, kLocal, 0xA001);
    EXPECT_EQ(f[20], 0x00); // status
    EXPECT_EQ(f[21], 0x02); // device id from the scenario
    EXPECT_EQ(f[22], 15);   // text length
    EXPECT_EQ(slice(f, 23, 15), bytesOf("KARSA01-MAC-3-1"));
    EXPECT_EQ(slice(f, 38, 50), Bytes(50, 0));
    // The local station's own MAC reaches it as well.
    EXPECT_EQ(send(net, av(kLocal, 0xA000)).size(), 1u);
}

TEST(AvStation, RemotesAnswerOnlyOnTheLocalStationsNetwork) {
    sim::Network net = home();
    auto living = send(net, av(kLiving, 0xA000));
    ASSERT_EQ(living.size(), 1u);
    expectAvHeader(living[0], kLiving, 0xA001);
    EXPECT_TRUE(send(net, av(kGarage, 0xA000)).empty()) << "a station on another key is unseen";
    auto all = send(net, av(kBcast, 0xA000));
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(macAt(all[0], 6), kLocal);
    EXPECT_EQ(macAt(all[1], 6), kLiving);
    EXPECT_EQ(macAt(all[2], 6), kBedroom);
    EXPECT_EQ(all[2][21], 1); // the bedroom adapter has device id 1
    // HomePlug 1.0 frames find no HomePlug AV device.
    EXPECT_TRUE(send(net, hp10(kBcast, {{0x07, {}}})).empty());
}

TEST(AvStation, NetworkInformationListsTheStationsOfItsNetwork) {
    sim::Network net = home();
    auto answers = send(net, av(kMgmt, 0xA038));
    ASSERT_EQ(answers.size(), 1u);
    const Bytes& f = answers[0];
    expectAvHeader(f, kLocal, 0xA039);
    ASSERT_EQ(f.size(), 39u + 2 * 15);
    EXPECT_EQ(f[20], 1); // one network
    EXPECT_EQ(f[38], 2); // two other stations; the garage is on another key
    EXPECT_EQ(macAt(f, 39), kLiving);
    EXPECT_EQ(f[39 + 13], 91); // min(150, 120) Mbit/s: the smallest byte with 91*200/151 >= 120
    EXPECT_EQ(f[39 + 14], 91);
    EXPECT_EQ(macAt(f, 54), kBedroom);
    EXPECT_EQ(f[54 + 13], 68); // 90 Mbit/s
    EXPECT_EQ(120u, 91u * 200 / 151);
    EXPECT_EQ(90u, 68u * 200 / 151);
    // The bedroom's own view: a named link rate of 60 to the living room.
    auto bedroom = send(net, av(kBedroom, 0xA038));
    ASSERT_EQ(bedroom.size(), 1u);
    EXPECT_EQ(bedroom[0][38], 2);
    EXPECT_EQ(macAt(bedroom[0], 39), kLocal);
    EXPECT_EQ(macAt(bedroom[0], 54), kLiving);
    EXPECT_EQ(bedroom[0][54 + 13], 46); // 60 Mbit/s
}

TEST(AvKeys, SetKeyForItselfMovesTheLocalStationToItsOwnNetwork) {
    sim::Network net = home();
    sim::AvKey key = sim::nmkOf("MyPrivateNet");
    EXPECT_EQ(statusOf(net, setKey(key, 0x0F, kLocal, {}), 0xA051), 0);
    const sim::Station& local = net.local();
    EXPECT_EQ(local.nmk, key);
    EXPECT_EQ(slice(local.pib, 100, 16), bytesOf(key));
    EXPECT_EQ(xorSum(local.pib.data(), local.pib.size()), 0u) << "parameter block re-checksummed";
    EXPECT_EQ(stationCount(net, kMgmt), 0u);
    EXPECT_TRUE(send(net, av(kLiving, 0xA000)).empty());
    EXPECT_EQ(local.keyChanges, 1u);
}

TEST(AvKeys, RemoteTakesTheKeyOnlyUnderItsOwnDak) {
    sim::Network net = home();
    sim::AvKey target = sim::defaultNmk();
    // A wrong DAK: the local station reports failure, nothing changes.
    auto refused = send(net, setKey(target, 0x00, kGarage, sim::dakOf("WRONG-PASSWORD")));
    ASSERT_EQ(refused.size(), 1u);
    expectAvHeader(refused[0], kLocal, 0xA051);
    EXPECT_EQ(refused[0][20], 1);
    EXPECT_EQ(net.station("00:B0:52:00:00:20").nmk, sim::nmkOf("NeighbourNet1"));
    EXPECT_EQ(stationCount(net, kMgmt), 2u);
    // The device password printed on the garage adapter.
    auto taken = send(net, setKey(target, 0x00, kGarage, sim::dakOf("MNBV-CXZL-KJHG-FDSA")));
    ASSERT_EQ(taken.size(), 1u);
    expectAvHeader(taken[0], kGarage, 0xA051);
    EXPECT_EQ(taken[0][20], 0);
    EXPECT_EQ(net.station("00:B0:52:00:00:20").nmk, target);
    EXPECT_EQ(stationCount(net, kMgmt), 3u);
    EXPECT_EQ(net.local().nmk, sim::defaultNmk()) << "the relaying station keeps its key";
}

TEST(AvKeys, BroadcastTargetReachesTheStationWhoseDakMatches) {
    sim::Network net = home();
    sim::AvKey key = sim::nmkOf("Isolated");
    auto taken = send(net, setKey(key, 0x00, kBcast, sim::dakOf("ZXCV-BNMA-SDFG-HJKL")));
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(macAt(taken[0], 6), kLiving);
    EXPECT_EQ(net.station("00:B0:52:00:00:11").nmk, key);
    EXPECT_EQ(net.station("00:B0:52:00:00:12").nmk, sim::defaultNmk());
    // A selector other than 0x00 and 0x0F is refused.
    EXPECT_EQ(statusOf(net, setKey(key, 0x01, kLocal, {}), 0xA051), 1);
    EXPECT_EQ(net.local().nmk, sim::defaultNmk());
}

TEST(AvKeys, FactoryDefaultsReturnTheStationToTheDefaultKey) {
    sim::Network net = home();
    statusOf(net, setKey(sim::nmkOf("Private"), 0x0F, kLocal, {}), 0xA051);
    ASSERT_EQ(stationCount(net, kMgmt), 0u);
    EXPECT_EQ(statusOf(net, av(kLocal, 0xA07C), 0xA07D), 0);
    const sim::Station& local = net.local();
    EXPECT_EQ(local.nmk, sim::defaultNmk());
    EXPECT_EQ(slice(local.pib, 100, 16), bytesOf(sim::defaultNmk()));
    EXPECT_EQ(xorSum(local.pib.data(), local.pib.size()), 0u);
    EXPECT_EQ(local.factoryResets, 1u);
    EXPECT_EQ(stationCount(net, kMgmt), 2u);
    // A station on another network cannot be reached to be reset.
    EXPECT_TRUE(send(net, av(kGarage, 0xA07C)).empty());
    EXPECT_EQ(net.station("00:B0:52:00:00:20").factoryResets, 0u);
}

TEST(AvStation, ConfigurationBlockAnswer) {
    sim::Network net = home();
    auto answers = send(net, av(kLocal, 0xA058));
    ASSERT_EQ(answers.size(), 1u);
    expectAvHeader(answers[0], kLocal, 0xA059);
    EXPECT_EQ(slice(answers[0], 20, 7), (Bytes{0x00, 0x04, 0x01, 0x02, 0x03, 0x04, 0x00}));
    net.local().configMode = 2;
    EXPECT_EQ(send(net, av(kLocal, 0xA058))[0][20], 2);
}

TEST(AvModules, ParameterBlockReadsBackValidWithMacAndKey) {
    sim::Network net = home();
    Bytes pib = readModule(net, kLocal, 2, 7992);
    ASSERT_EQ(pib.size(), 7992u);
    EXPECT_TRUE(pibPassesSectionChecks(pib));
    EXPECT_EQ(xorSum(pib.data(), pib.size()), 0u);
    EXPECT_EQ(macAt(pib, 12), kLocal);
    EXPECT_EQ(slice(pib, 100, 16), bytesOf(sim::defaultNmk()));
    // A remote's block holds its own MAC; the last chunk is 824 bytes.
    Bytes p(8, 0);
    p[0] = 2;
    putLe(p, 2, 1024, 2);
    putLe(p, 4, 7168, 4);
    auto last = send(net, av(kLiving, 0xA024, p));
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(le(last[0], 26, 2), 824u);
    EXPECT_EQ(last[0].size(), 36u + 824);
    EXPECT_EQ(macAt(readModule(net, kLiving, 2, 7992), 12), kLiving);
    // Reading past the end, an unknown module or more than 1024 bytes fails.
    putLe(p, 4, 7992, 4);
    EXPECT_EQ(send(net, av(kLocal, 0xA024, p))[0][20], 1);
    p[0] = 3;
    putLe(p, 4, 0, 4);
    EXPECT_EQ(send(net, av(kLocal, 0xA024, p))[0][20], 1);
    p[0] = 2;
    putLe(p, 2, 1025, 2);
    EXPECT_EQ(send(net, av(kLocal, 0xA024, p))[0][20], 1);
}

TEST(AvModules, FirmwareReadsBackAsAChainOfBlocks) {
    sim::Network net = home();
    const Bytes& nvm = net.local().nvm;
    Bytes read = readModule(net, kLocal, 1, nvm.size());
    ASSERT_EQ(read, nvm);
    size_t at = 0, blocks = 0;
    while (true) {
        ASSERT_LE(at + 44, read.size());
        ASSERT_EQ(xorSum(read.data() + at, 44), 0u) << "header checksum at " << at;
        ++blocks;
        uint32_t next = le(read, at + 36, 4);
        if (next == 0) {
            EXPECT_EQ(at + 44 + le(read, at + 12, 4), read.size());
            break;
        }
        ASSERT_EQ(next, at + 44 + le(read, at + 12, 4));
        at = next;
    }
    EXPECT_EQ(blocks, 2u);
    std::string text(read.begin(), read.end());
    EXPECT_NE(text.find(std::string("KARSA01-MAC-3-1") + '\0'), std::string::npos);
}

TEST(AvModules, WriteAndCommitKeepsTheNewImages) {
    sim::Network net = home();
    Bytes pib = net.local().pib;
    std::memcpy(pib.data() + 100, sim::nmkOf("Upgraded").data(), 16);
    rechecksumPib(pib);
    Bytes nvm = oneBlockFirmware(0x01000000, "KARSA01-MAC-3-2");
    ASSERT_EQ(writeWholeModule(net, 1, nvm), 0);
    ASSERT_EQ(writeWholeModule(net, 2, pib), 0);
    EXPECT_EQ(net.local().nvm, home().local().nvm) << "nothing changes before the commit";
    auto commit = send(net, av(kLocal, 0xA028, {0x13}));
    ASSERT_EQ(commit.size(), 1u);
    expectAvHeader(commit[0], kLocal, 0xA029);
    EXPECT_EQ(commit[0][20], 0);
    EXPECT_EQ(commit[0][21], 0x13);
    const sim::Station& local = net.local();
    EXPECT_EQ(local.nvm, nvm);
    EXPECT_EQ(local.pib, pib);
    EXPECT_EQ(local.nmk, sim::nmkOf("Upgraded"));
    EXPECT_EQ(local.firmware, "KARSA01-MAC-3-2");
    EXPECT_EQ(local.commits, 1u);
    EXPECT_EQ(slice(send(net, av(kMgmt, 0xA000))[0], 23, 15), bytesOf("KARSA01-MAC-3-2"));
    EXPECT_EQ(readModule(net, kLocal, 2, 7992), pib);
    EXPECT_EQ(readModule(net, kLocal, 1, nvm.size()), nvm);
}

TEST(AvModules, BadBlocksAndBadImagesAreRefused) {
    sim::Network net = home();
    Bytes original = net.local().pib;
    Bytes block(1024, 0xAB);
    EXPECT_NE(writeModuleBlock(net, 2, 0, block.data(), block.size(), false), 0)
        << "a block that does not match its checksum";
    EXPECT_NE(statusOf(net, av(kLocal, 0xA028, {0x02}), 0xA029), 0) << "nothing was written";
    // A whole parameter block whose own checksum is wrong is not committed.
    Bytes pib = original;
    pib[200] ^= 0xFF;
    ASSERT_EQ(writeWholeModule(net, 2, pib), 0);
    EXPECT_NE(statusOf(net, av(kLocal, 0xA028, {0x02}), 0xA029), 0);
    EXPECT_EQ(net.local().pib, original);
    // A firmware image with a broken header is not committed either.
    Bytes nvm = oneBlockFirmware(0x01000000, "KARSA01-MAC-9-9");
    nvm[8] ^= 1;
    ASSERT_EQ(writeWholeModule(net, 1, nvm), 0);
    EXPECT_NE(statusOf(net, av(kLocal, 0xA028, {0x01}), 0xA029), 0);
    EXPECT_EQ(net.local().firmware, "KARSA01-MAC-3-1");
    EXPECT_EQ(net.local().commits, 0u);
}

TEST(AvModules, WriteMemoryAndStartRunTheNewImage) {
    sim::Network net = home();
    Bytes nvm = oneBlockFirmware(0x01000000, "KARSA01-MAC-3-3", 2500);
    Bytes image(nvm.begin() + 44, nvm.end());
    Bytes pib = net.local().pib;
    std::memcpy(pib.data() + 100, sim::nmkOf("FromMemory").data(), 16);
    rechecksumPib(pib);
    auto writeMemory = [&](uint32_t address, const Bytes& data) {
        for (size_t at = 0; at < data.size(); at += 1024) {
            size_t n = std::min<size_t>(1024, data.size() - at);
            Bytes p(8 + n, 0);
            putLe(p, 0, address + at, 4);
            putLe(p, 4, n, 4);
            std::memcpy(p.data() + 8, data.data() + at, n);
            auto answers = send(net, av(kLocal, 0xA004, p));
            ASSERT_EQ(answers.size(), 1u);
            expectAvHeader(answers[0], kLocal, 0xA005);
            EXPECT_EQ(answers[0][20], 0);
            EXPECT_EQ(le(answers[0], 21, 4), address + at);
            EXPECT_EQ(le(answers[0], 25, 4), n);
        }
    };
    Bytes start(20, 0);
    start[0] = 0x01;
    putLe(start, 4, 0x01000000, 4);
    putLe(start, 8, image.size(), 4);
    putLe(start, 12, 0x01000040, 4);
    putLe(start, 16, 7, 4);
    EXPECT_NE(statusOf(net, av(kLocal, 0xA00C, start), 0xA00D), 0) << "nothing to run yet";
    writeMemory(0x01000000, image);
    writeMemory(sim::kPibLoadAddress, pib);
    EXPECT_EQ(statusOf(net, av(kLocal, 0xA00C, start), 0xA00D), 0);
    const sim::Station& local = net.local();
    ASSERT_TRUE(local.started.has_value());
    EXPECT_EQ(local.started->loadAddress, 0x01000000u);
    EXPECT_EQ(local.started->length, image.size());
    EXPECT_EQ(local.started->word3, 0x01000040u);
    EXPECT_EQ(local.started->word4, 7u);
    EXPECT_EQ(local.started->image, image);
    EXPECT_EQ(local.pib, pib);
    EXPECT_EQ(local.nmk, sim::nmkOf("FromMemory"));
    EXPECT_EQ(local.firmware, "KARSA01-MAC-3-3");
    EXPECT_EQ(local.starts, 1u);
}

TEST(AvWire, AnswersArriveOnTheMemoryWireAfterTheirLatency) {
    VirtualClock clock;
    setSystemClock(&clock);
    MemoryWire wire(clock);
    MemoryWire::Port port;
    port.name = "eth0";
    std::memcpy(port.mac, kHost.data(), 6);
    int p0 = wire.addPort(port);
    port.name = "eth1";
    int p1 = wire.addPort(port);
    sim::Network net = home();
    sim::Network other = sim::Network::fromFile(sim::scenarioPath("hp10.json"));
    net.latencyMs = 3;
    net.attach(wire, p0);
    other.attach(wire, p1);
    std::string error;
    bool denied = false;
    void* h0 = wire.open("eth0", error, denied);
    void* h1 = wire.open("eth1", error, denied);
    ASSERT_TRUE(h0 && h1);
    Bytes request = av(kMgmt, 0xA000);
    uint64_t sentAt = clock.now();
    ASSERT_TRUE(wire.send(h0, request.data(), request.size()));
    Bytes frame;
    int polls = 0;
    while (wire.takeOne(h0, frame) != TakeResult::Frame && polls < 100)
        ++polls;
    EXPECT_EQ(clock.now() - sentAt, 3u);
    EXPECT_EQ(frame.size(), 88u);
    EXPECT_EQ(macAt(frame, 6), kLocal);
    // The second port is served by the HomePlug 1.0 network only.
    ASSERT_TRUE(wire.send(h1, request.data(), request.size()));
    clock.advance(10);
    EXPECT_EQ(wire.takeOne(h1, frame), TakeResult::None);
    Bytes params = hp10(kBcast, {{0x07, {}}});
    ASSERT_TRUE(wire.send(h1, params.data(), params.size()));
    clock.advance(5);
    int answers = 0;
    while (wire.takeOne(h1, frame) == TakeResult::Frame)
        ++answers;
    EXPECT_EQ(answers, 2);
    EXPECT_EQ(net.answered(), 1u);
    net.detach();
    ASSERT_TRUE(wire.send(h0, request.data(), request.size()));
    clock.advance(10);
    EXPECT_EQ(wire.takeOne(h0, frame), TakeResult::None) << "a detached network is silent";
    setSystemClock(nullptr);
}
