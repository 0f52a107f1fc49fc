// The emulated HomePlug 1.0 and Turbo stations and the secondary loader,
// driven with hand-built frames and checked byte by byte.
#include <gtest/gtest.h>

#include <cmath>

#include "frame_kit.h"

using namespace kit;

namespace {

const Mac kDesk = mac("00:04:87:00:00:10"); // local, hp10.json
const Mac kKitchen = mac("00:04:87:00:00:11");
const Mac kHall = mac("00:04:87:00:00:12");
const Mac kShed = mac("00:04:87:00:00:20"); // on "ShedNet"

const Mac kOffice = mac("00:04:87:00:01:10"); // local, turbo.json
const Mac kLounge = mac("00:04:87:00:01:11");
const Mac kAttic = mac("00:04:87:00:01:12");
const Mac kLoaderMac = mac("00:04:87:FE:11:00");

sim::Network scenario(const char* name) {
    return sim::Network::fromFile(sim::scenarioPath(name));
}

Bytes key8(const sim::Hp10Key& k) {
    return Bytes(k.begin(), k.end());
}
Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void expectHp10Header(const Bytes& f, const Mac& to, const Mac& source, uint8_t type,
                      uint8_t length) {
    ASSERT_GE(f.size(), 17u);
    EXPECT_EQ(macAt(f, 0), to);
    EXPECT_EQ(macAt(f, 6), source);
    EXPECT_EQ(slice(f, 12, 5), (Bytes{0x88, 0x7B, 0x01, type, length}));
}

// The host's reading of HomePlug 1.0 and Turbo raw rates.
double hp10Mbps(double raw) {
    return raw / 42 * 1.1434511434511434 - 0.12978912978912938;
}
double turboMbps(double raw) {
    double x = raw * 8 / 336;
    if (x <= 6)
        return x;
    if (x <= 12.357142857142858)
        return 6 + (x - 6) / 6.357142857142858 * 8;
    return 14 + (x - 12.357142857142858) / 54.59523809523809 * 71;
}

Bytes setKeyEntry(uint8_t select, const sim::Hp10Key& key) {
    return concat(Bytes{select}, key8(key));
}

Bytes encryptedPayload(const sim::Hp10Key& dek, const sim::Hp10Key& newKey) {
    Bytes f = hp10(kBcast, {{0x14, concat(Bytes{0x01, 0x00}, key8(dek))}}, 0);
    Bytes inner = concat(Bytes{0x88, 0x7B, 0x01, 0x04, 0x09, 0x01}, key8(newKey));
    f = concat(f, inner);
    EXPECT_EQ(f.size(), 41u);
    f.resize(60, 0);
    return f;
}

} // namespace

TEST(Hp10Station, ParametersRequestIsAnsweredByEveryRemoteOfTheNetwork) {
    sim::Network net = scenario("hp10.json");
    auto answers = send(net, hp10(kBcast, {{0x07, {}}}));
    ASSERT_EQ(answers.size(), 2u);
    expectHp10Header(answers[0], kHost, kKitchen, 0x08, 0);
    expectHp10Header(answers[1], kHost, kHall, 0x08, 0);
    EXPECT_EQ(answers[0].size(), 60u);
    EXPECT_EQ(send(net, hp10(kHall, {{0x07, {}}})).size(), 1u);
    EXPECT_TRUE(send(net, hp10(kShed, {{0x07, {}}})).empty()) << "another network key";
    EXPECT_TRUE(send(net, av(kMgmt, 0xA000)).empty()) << "no HomePlug AV device on the segment";
}

TEST(Hp10Station, NetworkStatisticsFromTheLocalMacComeBackSelfAddressed) {
    sim::Network net = scenario("hp10.json");
    Bytes request = hp10(kBcast, {{0x1A, {0x80}, 187}}, 38, kDesk);
    ASSERT_EQ(request.size(), 38u);
    auto answers = send(net, request);
    ASSERT_EQ(answers.size(), 1u);
    const Bytes& f = answers[0];
    ASSERT_EQ(f.size(), 17u + 187);
    expectHp10Header(f, kDesk, kDesk, 0x1A, 187);
    EXPECT_EQ(f[17], 3) << "HomePlug 1.0 device class, bit 7 clear";
    EXPECT_EQ(slice(f, 18, 6), Bytes(6, 0));
    EXPECT_EQ(macAt(f, 24), kKitchen);
    EXPECT_EQ(le(f, 30, 2), 446u);
    EXPECT_EQ(static_cast<int>(hp10Mbps(446)), 12);
    EXPECT_EQ(macAt(f, 36), kHall);
    EXPECT_EQ(le(f, 42, 2), 299u);
    EXPECT_EQ(static_cast<int>(hp10Mbps(299)), 8);
    EXPECT_EQ(slice(f, 48, 12 * 13), Bytes(12 * 13, 0));
    // From the host's own MAC the answer goes to the host.
    auto toHost = send(net, hp10(kBcast, {{0x1A, {0x80}, 187}}, 38));
    ASSERT_EQ(toHost.size(), 1u);
    EXPECT_EQ(macAt(toHost[0], 0), kHost);
    // An answer (bit 7 clear) arriving as a request is not answered.
    EXPECT_TRUE(send(net, hp10(kBcast, {{0x1A, {0x03}, 187}}, 38)).empty());
}

TEST(Hp10Station, LocalParametersStoredAndRunningCopies) {
    sim::Network net = scenario("hp10.json");
    net.local().runningParams[40] = 0x77; // the running copy differs
    auto stored = send(net, hp10(kBcast, {{0x19, Bytes(15, 0)}}, 32));
    ASSERT_EQ(stored.size(), 1u);
    const Bytes& f = stored[0];
    ASSERT_EQ(f.size(), 68u);
    expectHp10Header(f, kHost, kDesk, 0x19, 51);
    EXPECT_EQ(f[17], 1);
    EXPECT_EQ(macAt(f, 18), kDesk);
    EXPECT_EQ(slice(f, 24, 8), key8(sim::hp10KeyOf("ABCDEFGHIJKLMNOP")));
    EXPECT_EQ(f[32], 1);
    EXPECT_EQ(slice(f, 33, 8), key8(sim::defaultNek()));
    EXPECT_EQ(slice(f, 41, 3), (Bytes{0x00, 0x00, 0x01}));
    EXPECT_EQ(f[58], 0x00);
    Bytes selector16(15, 0);
    selector16[0] = 16;
    auto running = send(net, hp10(kBcast, {{0x19, selector16}}, 32));
    ASSERT_EQ(running.size(), 1u);
    EXPECT_EQ(running[0][17], 2);
    EXPECT_EQ(running[0][58], 0x77);
}

TEST(Hp10Keys, SetKeyAndSettingsOnTheLocalStation) {
    sim::Network net = scenario("hp10.json");
    sim::Hp10Key key = sim::hp10KeyOf("MyHomeNet");
    Bytes f = hp10(kBcast, {{0x04, setKeyEntry(1, key)}, {0x1F, {0x41, 0x00, 0x01}}}, 60);
    EXPECT_TRUE(send(net, f).empty()) << "a broadcast key set is not acknowledged";
    const sim::Station& desk = net.local();
    for (const auto* copy : {&desk.storedParams, &desk.runningParams}) {
        EXPECT_EQ((*copy)[14], 1);
        EXPECT_EQ(Bytes(copy->begin() + 15, copy->begin() + 23), key8(key));
        EXPECT_EQ(Bytes(copy->begin() + 23, copy->begin() + 26), (Bytes{0x41, 0x00, 0x01}));
    }
    EXPECT_EQ(desk.nek(), key);
    EXPECT_TRUE(send(net, hp10(kBcast, {{0x07, {}}})).empty()) << "alone on its network now";
    // Key select 0 fills the slot used to reach a device under its own key.
    // With bit 0 of the second settings byte set, only the running copy changes.
    sim::Hp10Key dek = sim::hp10KeyOf("WXYZABCDEFGHIJKL");
    auto stored = desk.storedParams;
    send(net, hp10(kBcast, {{0x04, setKeyEntry(0, dek)}, {0x1F, {0x41, 0x01, 0x00}}}));
    EXPECT_EQ(Bytes(desk.runningParams.begin() + 6, desk.runningParams.begin() + 14), key8(dek));
    EXPECT_EQ(Bytes(desk.runningParams.begin() + 23, desk.runningParams.begin() + 26),
              (Bytes{0x41, 0x01, 0x00}));
    EXPECT_EQ(desk.storedParams, stored);
    EXPECT_EQ(desk.nek(), key);
    send(net, hp10(kBcast, {{0x04, setKeyEntry(0, dek)}}));
    EXPECT_EQ(Bytes(desk.storedParams.begin() + 6, desk.storedParams.begin() + 14), key8(dek));
}

TEST(Hp10Keys, RemoteTakesAKeySentUnderItsDeviceKeyAndAcknowledges) {
    sim::Network net = scenario("hp10.json");
    sim::Hp10Key nek = sim::defaultNek();
    // The local station sends under the key of select 0 while the third
    // settings byte is 0. A wrong device key there: the shed never hears.
    Bytes sendUnderDek = {0x41, 0x00, 0x00};
    send(net, hp10(kBcast, {{0x04, setKeyEntry(0, sim::hp10KeyOf("NOTTHEPASSWORD"))},
                            {0x1F, sendUnderDek}}));
    EXPECT_TRUE(send(net, hp10(kShed, {{0x04, setKeyEntry(1, nek)}})).empty());
    EXPECT_EQ(net.station("00:04:87:00:00:20").nek(), sim::hp10KeyOf("ShedNet"));
    // Its printed password's key in the slot, but sending under the network key.
    send(net, hp10(kBcast, {{0x04, setKeyEntry(0, sim::hp10KeyOf("WXYZABCDEFGHIJKL"))},
                            {0x1F, {0x41, 0x00, 0x01}}}));
    EXPECT_TRUE(send(net, hp10(kShed, {{0x04, setKeyEntry(1, nek)}})).empty());
    // Both: it takes the network key and says so.
    send(net, hp10(kBcast, {{0x04, setKeyEntry(0, sim::hp10KeyOf("WXYZABCDEFGHIJKL"))},
                            {0x1F, sendUnderDek}}));
    auto acks = send(net, hp10(kShed, {{0x04, setKeyEntry(1, nek)}}));
    ASSERT_EQ(acks.size(), 1u);
    expectHp10Header(acks[0], kHost, kShed, 0x06, 1);
    EXPECT_EQ(acks[0][17], 0);
    EXPECT_EQ(net.station("00:04:87:00:00:20").nek(), nek);
    EXPECT_EQ(net.local().nek(), nek) << "the local station keeps its key";
    // A key set to everyone reaches the local station and, over the mains, the
    // station whose device key it is sent under, which acknowledges.
    sim::Hp10Key other = sim::hp10KeyOf("OtherNet");
    auto everyone = send(net, hp10(kBcast, {{0x04, setKeyEntry(1, other)}}));
    ASSERT_EQ(everyone.size(), 1u);
    expectHp10Header(everyone[0], kHost, kShed, 0x06, 1);
    EXPECT_EQ(net.station("00:04:87:00:00:20").nek(), other);
    EXPECT_EQ(net.local().nek(), other);
    EXPECT_EQ(net.station("00:04:87:00:00:11").nek(), nek);
    // The settings back to the network key: the shed hears key sets no more.
    send(net, hp10(kBcast, {{0x1F, {0x41, 0x01, 0x01}}}));
    EXPECT_TRUE(send(net, hp10(kShed, {{0x04, setKeyEntry(1, nek)}})).empty());
}

TEST(Hp10Keys, EncryptedPayloadIsTakenOnlyByTheStationWithThatDeviceKey) {
    sim::Network net = scenario("hp10.json");
    sim::Hp10Key key = sim::hp10KeyOf("NewKey");
    EXPECT_TRUE(send(net, encryptedPayload(sim::hp10KeyOf("WRONG"), key)).empty());
    auto acks = send(net, encryptedPayload(sim::hp10KeyOf("QRSTUVWXYZABCDEF"), key));
    ASSERT_EQ(acks.size(), 1u);
    expectHp10Header(acks[0], kHost, kKitchen, 0x06, 1);
    EXPECT_EQ(net.station("00:04:87:00:00:11").nek(), key);
    EXPECT_EQ(net.station("00:04:87:00:00:12").nek(), sim::defaultNek());
    EXPECT_EQ(net.local().nek(), sim::defaultNek());
    // The inner block cut short: nothing is applied, nothing acknowledged.
    Bytes cut = encryptedPayload(sim::hp10KeyOf("GHIJ-KLMN-OPQR-STUV"), key);
    cut.resize(33);
    EXPECT_TRUE(send(net, cut).empty());
    EXPECT_EQ(net.station("00:04:87:00:00:12").nek(), sim::defaultNek());
}

TEST(TurboStation, VersionAnswersFromTheLocalAndRemoteTurboStations) {
    sim::Network net = scenario("turbo.json");
    auto answers = send(net, hp10(kBcast, {{0x02, {0x00, 0x04, 0x87, 0x10, 0x00}}}, 35));
    ASSERT_EQ(answers.size(), 2u) << "the HomePlug 1.0 attic and the private workshop are silent";
    const Bytes& local = answers[0];
    expectHp10Header(local, kHost, kOffice, 0x02, 11 + 8 + 22);
    EXPECT_EQ(slice(local, 17, 9), (Bytes{0x00, 0x04, 0x87, 0x90, 0x00, 0x00, 0x00, 2, 3}));
    EXPECT_EQ(local[26], 8);
    EXPECT_EQ(slice(local, 27, 8), bytesOf("Morvanta"));
    EXPECT_EQ(local[35], 22);
    EXPECT_EQ(slice(local, 36, 22), bytesOf("Turbo Ethernet Adapter"));
    const Bytes& remote = answers[1];
    expectHp10Header(remote, kHost, kLounge, 0x02, 11 + 8 + 15);
    EXPECT_EQ(remote[21] & 1, 1) << "a remote's answer";
    EXPECT_EQ(remote[23], 1) << "fixed version text";
    EXPECT_EQ(remote[25], 0x15) << "version 1.2";
    // A HomePlug 1.0 local station does not know the vendor entry.
    sim::Network plain = scenario("hp10.json");
    EXPECT_TRUE(send(plain, hp10(kBcast, {{0x02, {0x00, 0x04, 0x87, 0x10, 0x00}}}, 35)).empty());
}

TEST(TurboStation, StationStatisticsAndNetworkStatistics) {
    sim::Network net = scenario("turbo.json");
    auto stats = send(net, hp10(kOffice, {{0x02, {0x00, 0x04, 0x87, 0x18, 0x00}}}, 35));
    ASSERT_EQ(stats.size(), 1u);
    const Bytes& f = stats[0];
    expectHp10Header(f, kHost, kOffice, 0x02, 4 + 2 * 14);
    EXPECT_EQ(f[20], 0x98);
    EXPECT_EQ((f[16] - 3) / 14, 2);
    EXPECT_EQ(macAt(f, 21), kLounge);
    EXPECT_EQ(static_cast<int>(turboMbps(be(f, 27, 2))), 60);
    EXPECT_EQ(macAt(f, 35), kAttic);
    EXPECT_EQ(static_cast<int>(turboMbps(be(f, 41, 2))), 10);
    // Network statistics: class 2; a Turbo peer on the HomePlug 1.0 scale
    // (at most 519), which a host scales back by 85/14.
    auto ns = send(net, hp10(kBcast, {{0x1A, {0x80}, 187}}, 38, kOffice));
    ASSERT_EQ(ns.size(), 1u);
    EXPECT_EQ(macAt(ns[0], 0), kOffice);
    EXPECT_EQ(ns[0][17], 2);
    EXPECT_EQ(macAt(ns[0], 24), kLounge);
    uint32_t raw = le(ns[0], 30, 2);
    EXPECT_LE(raw, 519u);
    EXPECT_EQ(static_cast<int>(hp10Mbps(std::trunc(raw * 85.0 / 14))), 60);
    EXPECT_EQ(static_cast<int>(hp10Mbps(le(ns[0], 42, 2))), 10);
}

TEST(TurboStation, ReadsAndTheTurboKeySet) {
    sim::Network net = scenario("turbo.json");
    auto text = send(net, hp10(kOffice, {{0x12, {0x20}}}, 272));
    ASSERT_EQ(text.size(), 1u);
    expectHp10Header(text[0], kHost, kOffice, 0x13, 20);
    EXPECT_EQ(text[0][17], 0x20);
    EXPECT_EQ(slice(text[0], 18, 19), concat(bytesOf("TURBO-MAC-0001-3-1"), {0}));
    auto keyRead = send(net, hp10(kOffice, {{0x12, {0x21}}}, 272));
    ASSERT_EQ(keyRead.size(), 1u);
    expectHp10Header(keyRead[0], kHost, kOffice, 0x13, 10);
    EXPECT_EQ(slice(keyRead[0], 17, 10), concat(Bytes{0x21, 0x01}, key8(sim::defaultNek())));
    // The Turbo key set, addressed to the local station, is acknowledged by it.
    sim::Hp10Key key = sim::hp10KeyOf("TurboNet");
    auto ack = send(net, hp10(kOffice, {{0x04, setKeyEntry(1, key)}}, 35));
    ASSERT_EQ(ack.size(), 1u);
    expectHp10Header(ack[0], kHost, kOffice, 0x06, 1);
    EXPECT_EQ(net.local().nek(), key);
    EXPECT_EQ(slice(send(net, hp10(kOffice, {{0x12, {0x21}}}, 272))[0], 19, 8), key8(key));
}

// ---- Secondary loader ------------------------------------------------------

namespace {

Bytes loaderFrame(const Mac& dst, uint8_t code, const Bytes& params, size_t length,
                  int count = -1) {
    Bytes f(length, 0);
    std::memcpy(f.data(), dst.data(), 6);
    std::memcpy(f.data() + 6, kHost.data(), 6);
    f[12] = 0x88;
    f[13] = 0x7B;
    f[14] = 1;
    f[15] = 0x10;
    f[16] = 1;
    f[17] = code;
    if (code != 0x7F)
        putBe(f, 18, count >= 0 ? count : params.size(), 2);
    if (!params.empty())
        std::memcpy(f.data() + 20, params.data(), params.size());
    return f;
}

Bytes chunk(const Mac& dst, uint32_t module, uint32_t offset, const uint8_t* data, size_t n) {
    Bytes p(10 + n, 0);
    putBe(p, 0, module, 4);
    putBe(p, 4, offset, 4);
    putBe(p, 8, n, 2);
    std::memcpy(p.data() + 10, data, n);
    return loaderFrame(dst, 0x81, p, 1054);
}

Bytes word(uint32_t v) {
    Bytes b(4, 0);
    putBe(b, 0, v, 4);
    return b;
}

uint8_t loaderStatus(sim::Network& net, const Bytes& request, const Mac& from, uint8_t code) {
    auto answers = send(net, request);
    EXPECT_EQ(answers.size(), 1u);
    if (answers.empty())
        return 0xFF;
    const Bytes& f = answers[0];
    EXPECT_EQ(macAt(f, 0), kHost);
    EXPECT_EQ(macAt(f, 6), from);
    EXPECT_EQ(slice(f, 12, 4), (Bytes{0x88, 0x7B, 0x01, 0x10}));
    EXPECT_EQ(f.at(17), code);
    return f.at(20);
}

uint32_t deviceChecksum(sim::Network& net, const Mac& to, uint32_t module, uint32_t length) {
    auto answers = send(net, loaderFrame(to, 0x83, concat(word(module), word(length)), 28));
    EXPECT_EQ(answers.size(), 1u);
    if (answers.empty())
        return 0;
    EXPECT_EQ(answers[0].at(20), 0);
    EXPECT_EQ(be(answers[0], 21, 4), module);
    EXPECT_EQ(be(answers[0], 25, 4), length);
    return be(answers[0], 29, 4);
}

} // namespace

TEST(Hp10Loader, AnswersOnlyAfterTheLoaderStart) {
    sim::Network net = scenario("hp10.json");
    Bytes data(100, 0x42);
    EXPECT_TRUE(send(net, chunk(kDesk, 0x100, 0, data.data(), data.size())).empty());
    EXPECT_TRUE(send(net, hp10(kDesk, {{0x12, {0x67}}}, 18)).empty());
    EXPECT_TRUE(net.local().inLoader);
    EXPECT_TRUE(send(net, hp10(kBcast, {{0x07, {}}})).empty()) << "the loader runs nothing else";
    EXPECT_TRUE(send(net, hp10(kBcast, {{0x1A, {0x80}, 187}}, 38, kDesk)).empty());
    EXPECT_EQ(loaderStatus(net, chunk(kDesk, 0x100, 0, data.data(), data.size()), kDesk, 0x81), 0);
    EXPECT_EQ(
        loaderStatus(net, chunk(kLoaderMac, 0x100, 0, data.data(), data.size()), kLoaderMac, 0x81),
        0)
        << "the loader address reaches it too";
}

TEST(Hp10Loader, WritesCommitsChecksAndRestartsWithTheNewImage) {
    sim::Network net = scenario("hp10.json");
    Bytes image(2502, 0);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 31 + 7);
    const char version[] = "HP10-MAC-0001-3-2";
    std::memcpy(image.data() + 500, version, sizeof version);
    Bytes config(960, 0);
    for (size_t i = 0; i < config.size(); ++i)
        config[i] = static_cast<uint8_t>(i ^ 0x5A);
    uint32_t oldImageSum =
        xorSum(net.local().loaderModules.at(0x100).data(), image.size(), 0, true);

    send(net, hp10(kDesk, {{0x12, {0x67}}}, 18));
    for (size_t at = 0; at < image.size(); at += 1024) {
        size_t n = std::min<size_t>(1024, image.size() - at);
        auto answers = send(net, chunk(kDesk, 0x100, static_cast<uint32_t>(at), &image[at], n));
        ASSERT_EQ(answers.size(), 1u);
        const Bytes& r = answers[0];
        expectHp10Header(r, kHost, kDesk, 0x10, 14);
        EXPECT_EQ(r[17], 0x81);
        EXPECT_EQ(be(r, 18, 2), 11u);
        EXPECT_EQ(r[20], 0);
        EXPECT_EQ(be(r, 21, 4), 0x100u);
        EXPECT_EQ(be(r, 25, 4), at);
        EXPECT_EQ(be(r, 29, 2), n);
    }
    EXPECT_EQ(loaderStatus(net, chunk(kDesk, 0x10, 0, &config[0], 128), kDesk, 0x81), 0);
    EXPECT_EQ(loaderStatus(net, chunk(kDesk, 0x20, 0, &config[128], 256), kDesk, 0x81), 0);
    EXPECT_EQ(loaderStatus(net, chunk(kDesk, 0x80, 0, &config[448], 512), kDesk, 0x81), 0);
    // Before the commit the device still holds the old image.
    EXPECT_EQ(deviceChecksum(net, kDesk, 0x100, static_cast<uint32_t>(image.size())), oldImageSum);
    EXPECT_EQ(loaderStatus(net, loaderFrame(kDesk, 0x82, word(0x1B0), 25), kDesk, 0x82), 0);
    EXPECT_EQ(loaderStatus(net, loaderFrame(kDesk, 0x84, word(64), 25), kDesk, 0x84), 0);
    EXPECT_EQ(deviceChecksum(net, kDesk, 0x100, static_cast<uint32_t>(image.size())),
              xorSum(image.data(), image.size(), 0, true));
    EXPECT_EQ(deviceChecksum(net, kDesk, 0x10, 128), xorSum(&config[0], 128));
    EXPECT_EQ(deviceChecksum(net, kDesk, 0x20, 256), xorSum(&config[128], 256));
    EXPECT_EQ(deviceChecksum(net, kDesk, 0x80, 512), xorSum(&config[448], 512));
    EXPECT_TRUE(send(net, loaderFrame(kDesk, 0x7F, {}, 20)).empty()) << "a restart is silent";
    const sim::Station& desk = net.local();
    EXPECT_FALSE(desk.inLoader);
    EXPECT_EQ(desk.restarts, 1u);
    EXPECT_EQ(desk.loaderModules.at(0x100), image);
    EXPECT_EQ(desk.loaderModules.at(0x80), Bytes(config.begin() + 448, config.end()));
    EXPECT_EQ(desk.firmware, "HP10-MAC-0001-3-2");
    EXPECT_EQ(send(net, hp10(kBcast, {{0x07, {}}})).size(), 2u) << "back on its network";
}

TEST(Hp10Loader, RefusesWhatDoesNotAddUp) {
    sim::Network net = scenario("hp10.json");
    send(net, hp10(kDesk, {{0x12, {0x67}}}, 18));
    Bytes data(200, 1);
    Bytes bad = chunk(kDesk, 0x100, 0, data.data(), data.size());
    putBe(bad, 18, 200, 2); // count must be chunk length + 10
    EXPECT_EQ(loaderStatus(net, bad, kDesk, 0x81), 1);
    EXPECT_EQ(loaderStatus(net, chunk(kDesk, 0x40, 0, data.data(), 100), kDesk, 0x81), 1);
    EXPECT_EQ(loaderStatus(net, chunk(kDesk, 0x10, 100, data.data(), 100), kDesk, 0x81), 1)
        << "past the 128-byte identity section";
    EXPECT_EQ(loaderStatus(net, loaderFrame(kDesk, 0x82, word(0x100), 25), kDesk, 0x82), 1)
        << "nothing written to commit";
    EXPECT_EQ(loaderStatus(net, chunk(kDesk, 0x100, 0, data.data(), 100), kDesk, 0x81), 0);
    EXPECT_EQ(loaderStatus(net, loaderFrame(kDesk, 0x82, word(0x101), 25), kDesk, 0x82), 1);
    EXPECT_EQ(loaderStatus(net, loaderFrame(kDesk, 0x84, word(63), 25), kDesk, 0x84), 1);
    auto query = send(net, loaderFrame(kDesk, 0x83, concat(word(0x100), word(1 << 24)), 28));
    ASSERT_EQ(query.size(), 1u);
    EXPECT_EQ(query[0][20], 1) << "longer than the stored module";
}

TEST(Hp10Loader, ALoaderThatAnswersOnlyAtTheLoaderAddress) {
    sim::Network net = scenario("loader.json");
    const Mac local = mac("00:04:87:00:02:10");
    send(net, hp10(local, {{0x12, {0x67}}}, 18));
    Bytes data(64, 9);
    EXPECT_TRUE(send(net, chunk(local, 0x100, 0, data.data(), data.size())).empty());
    EXPECT_EQ(
        loaderStatus(net, chunk(kLoaderMac, 0x100, 0, data.data(), data.size()), kLoaderMac, 0x81),
        0);
}
