// Injected faults, scenario mistakes, malformed frames, and the plcsim
// program's argument handling.
#include <gtest/gtest.h>

#include <filesystem>

#include <fstream>
#include <random>

#include "frame_kit.h"
#include "sim/pcap_server.h"
#include "support/netns.h"
#include "support/temp_dir.h"

using namespace kit;

namespace {

const Mac kLocal = mac("00:B0:52:00:00:10");
const Mac kLiving = mac("00:B0:52:00:00:11");
const Mac kBedroom = mac("00:B0:52:00:00:12");

sim::Network withFaults(const std::string& faults, const std::string& stationFaults = "[]") {
    return sim::Network::fromJson(R"({"faults": )" + faults + R"(, "stations": [
        {"family": "av", "mac": "00:B0:52:00:00:10", "local": true, "faults": )" +
                                  stationFaults + R"(},
        {"family": "av", "mac": "00:B0:52:00:00:11", "devicePassword": "ZXCV-BNMA-SDFG-HJKL"}]})");
}

Bytes setOwnKey(const sim::AvKey& key) {
    Bytes p(40, 0);
    p[0] = 0x01;
    std::memcpy(p.data() + 1, key.data(), 16);
    p[17] = 0x0F;
    std::memcpy(p.data() + 18, kLocal.data(), 6);
    return av(kLocal, 0xA050, p);
}

Bytes readPib(uint32_t offset) {
    Bytes p(8, 0);
    p[0] = 2;
    putLe(p, 2, 1024, 2);
    putLe(p, 4, offset, 4);
    return av(kLocal, 0xA024, p);
}

bool isAnswerFrom(const Bytes& f, const Mac& source) {
    return f.size() >= 12 && macAt(f, 6) == source;
}

std::string scenarioError(const std::string& text) {
    try {
        sim::Network::fromJson(text);
    } catch (const sim::ScenarioError& e) {
        return e.what();
    }
    return "(accepted)";
}

} // namespace

TEST(Faults, DropLosesTheAnswerButTheRequestIsCarriedOut) {
    sim::Network net = withFaults("[]", R"([{"kind": "drop", "match": "0xA050", "count": 1}])");
    EXPECT_TRUE(send(net, setOwnKey(sim::nmkOf("First"))).empty());
    EXPECT_EQ(net.local().nmk, sim::nmkOf("First"));
    EXPECT_EQ(send(net, setOwnKey(sim::nmkOf("Second"))).size(), 1u) << "only the first is lost";
    EXPECT_EQ(send(net, av(kMgmt, 0xA000)).size(), 1u) << "other requests are not matched";
}

// plcsim's queue of answers waiting for their delay is bounded: a scenario of
// long delays and large floods, asked again and again, cannot grow it without
// end. A flood behind the usual latency still goes out whole: a full queue
// waits for answers about to fall due instead of dropping new ones.
TEST(Faults, PlcsimQueueOfDelayedAnswersIsBounded) {
    sim::Network net = withFaults(R"([{"kind": "delay", "match": "0xA000", "ms": 600000},
        {"kind": "flood", "match": "0xA000", "frames": 1000}])");
    sim::PcapServer server(net); // not opened: what would be sent goes nowhere
    const Bytes request = av(kBcast, 0xA000);
    for (int i = 0; i < 20; ++i)
        server.take(request.data(), request.size());
    EXPECT_EQ(sim::PcapServer::kMaxPendingAnswers, server.pendingAnswers());
    EXPECT_GT(server.droppedAnswers(), 10000u);

    sim::Network prompt = withFaults(R"([{"kind": "flood", "match": "0xA000", "frames": 5000}])");
    sim::PcapServer promptServer(prompt);
    for (int i = 0; i < 3; ++i)
        promptServer.take(request.data(), request.size());
    EXPECT_LE(promptServer.pendingAnswers(), sim::PcapServer::kMaxPendingAnswers);
    EXPECT_EQ(0u, promptServer.droppedAnswers());
}

TEST(Faults, IgnoreLosesTheRequestAndStatusRefusesIt) {
    sim::Network net = withFaults("[]", R"([{"kind": "ignore", "match": "0xA050", "count": 1},
        {"kind": "status", "match": "0xA050", "skip": 1, "count": 1, "status": 5}])");
    EXPECT_TRUE(send(net, setOwnKey(sim::nmkOf("First"))).empty());
    EXPECT_EQ(net.local().nmk, sim::defaultNmk());
    auto refused = send(net, setOwnKey(sim::nmkOf("Second")));
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0][20], 5);
    EXPECT_EQ(net.local().nmk, sim::defaultNmk());
    auto taken = send(net, setOwnKey(sim::nmkOf("Third")));
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0][20], 0);
    EXPECT_EQ(net.local().nmk, sim::nmkOf("Third"));
}

TEST(Faults, DelayDuplicateAndScenarioWideFaults) {
    sim::Network net = sim::Network::fromFile(sim::scenarioPath("faults.json"));
    auto answers = net.handle(av(kBcast, 0xA000).data(), 64);
    // The bedroom ignores everything; the living room answers twice.
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_TRUE(isAnswerFrom(answers[0].frame, kLocal));
    EXPECT_TRUE(isAnswerFrom(answers[1].frame, kLiving));
    EXPECT_TRUE(isAnswerFrom(answers[2].frame, kLiving));
    for (const auto& a : answers)
        EXPECT_EQ(a.delayMs, 42u) << "latency 2 plus the scenario's version delay 40";
    EXPECT_TRUE(send(net, av(kBedroom, 0xA000)).empty());
    auto info = net.handle(av(kMgmt, 0xA038).data(), 64);
    ASSERT_EQ(info.size(), 301u);
    EXPECT_EQ(info[0].delayMs, 2u);
    EXPECT_EQ(le(info.back().frame, 15, 2), 0xA039u) << "the answer comes after the flood";
    for (size_t i = 0; i + 1 < info.size(); ++i) {
        const Bytes& f = info[i].frame;
        EXPECT_FALSE(net.find(macAt(f, 6))) << "flood frame " << i << " from a station";
        bool av = f[12] == 0x88 && f[13] == 0xE1, hp = f[12] == 0x88 && f[13] == 0x7B;
        EXPECT_TRUE(av || hp);
        if (av && macAt(f, 0) == kHost) {
            EXPECT_NE(le(f, 15, 2), 0xA039u);
        }
    }
}

TEST(Faults, CorruptChecksumsAndMalformedAnswers) {
    sim::Network net = withFaults(R"([{"kind": "corrupt", "match": "0xA024", "count": 1},
        {"kind": "malformed", "match": "0xA000", "how": "truncate", "count": 1},
        {"kind": "malformed", "match": "0xA038", "how": "count", "count": 1},
        {"kind": "malformed", "match": "0xA058", "how": "oui"}])");
    auto bad = send(net, readPib(0));
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_NE(xorSum(bad[0].data() + 36, 1024, le(bad[0], 32, 4)), 0u);
    auto good = send(net, readPib(0));
    EXPECT_EQ(xorSum(good[0].data() + 36, 1024, le(good[0], 32, 4)), 0u);
    auto cut = send(net, av(kMgmt, 0xA000));
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].size(), 18u);
    EXPECT_EQ(send(net, av(kMgmt, 0xA000))[0].size(), 88u);
    auto huge = send(net, av(kMgmt, 0xA038));
    ASSERT_EQ(huge.size(), 1u);
    EXPECT_EQ(huge[0][38], 0xFF);
    EXPECT_EQ(huge[0].size(), 60u) << "one entry really there, padded to the least frame";
    auto oui = send(net, av(kMgmt, 0xA058));
    EXPECT_EQ(slice(oui[0], 17, 3), (Bytes{0, 0, 0}));
}

TEST(Faults, LoaderChecksumCanBeCorrupted) {
    sim::Network net = sim::Network::fromJson(R"({"stations": [
        {"family": "hp10", "mac": "00:04:87:00:00:10", "local": true, "inLoader": true,
         "faults": [{"kind": "corrupt", "match": "loader:0x83"}]}]})");
    Bytes q(28, 0);
    std::memcpy(q.data(), mac("00:04:87:00:00:10").data(), 6);
    std::memcpy(q.data() + 6, kHost.data(), 6);
    q[12] = 0x88, q[13] = 0x7B, q[14] = 1, q[15] = 0x10, q[16] = 1, q[17] = 0x83;
    putBe(q, 18, 8, 2);
    putBe(q, 20, 0x10, 4);
    putBe(q, 24, 128, 4);
    auto answers = send(net, q);
    ASSERT_EQ(answers.size(), 1u);
    const Bytes& stored = net.local().loaderModules.at(0x10);
    EXPECT_EQ(be(answers[0], 29, 4), ~xorSum(stored.data(), 128));
}

TEST(Robustness, MalformedFramesNeverStopTheAnswers) {
    sim::Network av10 = sim::Network::fromFile(sim::scenarioPath("home.json"));
    sim::Network hp = sim::Network::fromFile(sim::scenarioPath("turbo.json"));
    std::mt19937 random(12345);
    std::vector<Bytes> frames;
    auto withHeader = [&](uint16_t ether, size_t length) {
        Bytes f(length, 0);
        for (auto& b : f)
            b = static_cast<uint8_t>(random());
        if (length >= 14) {
            std::memcpy(f.data(), kBcast.data(), 6);
            std::memcpy(f.data() + 6, kHost.data(), 6);
            f[12] = static_cast<uint8_t>(ether >> 8);
            f[13] = static_cast<uint8_t>(ether);
        }
        return f;
    };
    for (size_t length = 0; length < 80; ++length)
        for (uint16_t ether : {0x88E1, 0x887B, 0x0800})
            frames.push_back(withHeader(ether, length));
    // Every AV request type, cut short at every length, to each address.
    for (uint16_t mmtype :
         {0xA000, 0xA038, 0xA07C, 0xA058, 0xA050, 0xA024, 0xA020, 0xA028, 0xA004, 0xA00C})
        for (size_t length = 14; length <= 64; ++length) {
            Bytes f = av(length % 2 ? kLocal : kBcast, mmtype, Bytes(44, 0xFF));
            f.resize(length);
            frames.push_back(f);
        }
    // Counts and lengths far beyond the frame.
    for (uint8_t type : {0x02, 0x04, 0x07, 0x10, 0x12, 0x14, 0x19, 0x1A, 0x1F}) {
        Bytes f = hp10(kBcast, {{type, Bytes(4, 0xFF), 255}}, 20);
        f[14] = 0xFF;
        frames.push_back(f);
        Bytes inner = hp10(kBcast, {{type, Bytes(10, 0x01), 10}}, 0);
        inner.insert(inner.end(), {0x88, 0x7B, 0xFF, 0x04, 0xFF});
        frames.push_back(inner);
    }
    Bytes read = av(kLocal, 0xA024, {0x02, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    frames.push_back(read);
    Bytes write = av(kLocal, 0xA020, {0x01, 0x00, 0xFF, 0xFF, 0xF0, 0xFF, 0xFF, 0xFF});
    frames.push_back(write);
    Bytes memory = av(kLocal, 0xA004, {0xFC, 0xFF, 0xFF, 0xFF, 0x00, 0x04, 0x00, 0x00});
    frames.push_back(memory);
    for (int i = 0; i < 3000; ++i)
        frames.push_back(withHeader(i % 2 ? 0x88E1 : 0x887B, 14 + random() % 1500));
    frames.push_back(withHeader(0x88E1, 65535));
    hp.local().inLoader = true; // the loader takes its frames too
    for (const Bytes& f : frames) {
        av10.handle(f.data(), f.size());
        hp.handle(f.data(), f.size());
    }
    av10.handle(nullptr, 100);
    auto version = send(av10, av(kMgmt, 0xA000));
    ASSERT_EQ(version.size(), 1u);
    EXPECT_EQ(slice(version[0], 23, 15), bytesOf("KARSA01-MAC-3-1"));
    EXPECT_EQ(av10.local().nmk, sim::defaultNmk());
    hp.local().inLoader = false;
    EXPECT_EQ(send(hp, hp10(kBcast, {{0x02, {0x00, 0x04, 0x87, 0x10, 0x00}}}, 35)).size(), 2u);
}

TEST(Scenario, MistakesAreReportedWithWhereTheyAre) {
    const std::string local = R"({"family": "av", "mac": "00:B0:52:00:00:10", "local": true})";
    auto one = [&](const std::string& station) {
        return R"({"stations": [)" + local + "," + station + "]}";
    };
    struct Case {
        std::string text;
        std::string expected;
    } cases[] = {
        {"{not json", "not valid JSON"},
        {"{}", "\"stations\" must list at least one station"},
        {R"({"stations": [{"family": "av", "mac": "00:B0:52:00:00:10"}]})", "no station is"},
        {one(local), "listed twice"},
        {one(R"({"family": "av", "mac": "00:B0:52:00:00:11", "local": true})"), "both local"},
        {one(R"({"family": "av", "mac": "00:B0:52:00:0011"})"), "not a MAC address"},
        {one(R"({"family": "av", "mac": "01:B0:52:00:00:11"})"), "group address"},
        {one(R"({"family": "hp20", "mac": "00:B0:52:00:00:11"})"),
         "station 2 (00:B0:52:00:00:11).family: \"hp20\" is none of av, hp10, turbo"},
        {one(R"({"family": "av", "mac": "00:B0:52:00:00:11", "devicepassword": "x"})"),
         "station 2 (00:B0:52:00:00:11): unknown key \"devicepassword\""},
        {one(R"({"family": "hp10", "mac": "00:B0:52:00:00:11", "nmk": "00"})"),
         "unknown key \"nmk\""},
        {one(R"({"family": "av", "mac": "00:B0:52:00:00:11", "nmk": "0011"})"),
         "expected 16 bytes, got 2"},
        {one(R"({"family": "av", "mac": "00:B0:52:00:00:11", "rate": 5000})"), "outside 0..2000"},
        {one(R"({"family": "av", "mac": "00:B0:52:00:00:11", "pibFile": "/nonexistent.pib"})"),
         "\"/nonexistent.pib\": a scenario without a folder may not name files"},
        {one(R"({"family": "av", "mac": "00:B0:52:00:00:11", "faults": [{"kind": "explode"}]})"),
         "faults[0].kind: \"explode\" is none of"},
        {R"({"stations": [)" + local + R"(], "latency": 3})", "scenario: unknown key \"latency\""},
    };
    for (const Case& c : cases)
        EXPECT_NE(scenarioError(c.text).find(c.expected), std::string::npos)
            << c.text << "\n  gave: " << scenarioError(c.text);
    EXPECT_EQ(scenarioError(one(R"({"family": "turbo", "mac": "00:04:87:00:00:11",
        "version": "2.1", "faults": [{"kind": "drop", "match": "hp10:0x07"}]})")),
              "(accepted)");
}

TEST(Scenario, ImageFilesAreReadBesideTheScenario) {
    TempDir dir;
    sim::Network base = sim::Network::fromFile(sim::scenarioPath("home.json"));
    Bytes pib = base.local().pib;
    std::memcpy(pib.data() + 100, sim::nmkOf("FromFile").data(), 16);
    putLe(pib, 8, 0, 4);
    putLe(pib, 8, xorSum(pib.data(), pib.size()), 4);
    std::ofstream(dir.path() + "/local.pib", std::ios::binary)
        .write(reinterpret_cast<const char*>(pib.data()), static_cast<std::streamsize>(pib.size()));
    std::ofstream(dir.path() + "/net.json")
        << R"({"stations": [{"family": "av", "mac": "00:B0:52:00:00:10", "local": true,
              "pibFile": "local.pib"}]})";
    sim::Network net = sim::Network::fromFile(dir.path() + "/net.json");
    EXPECT_EQ(net.local().pib, pib);
    EXPECT_EQ(net.local().nmk, sim::nmkOf("FromFile"));
    EXPECT_EQ(net.local().factoryPib.size(), pib.size());
    EXPECT_EQ(slice(net.local().factoryPib, 100, 16), bytesOf(sim::defaultNmk()));
}

// plcsim runs as root: a scenario names only files inside its own folder, so
// a scenario cannot make it read (and send on the wire) a file its author
// could not read. Absolute names, "..", and links that lead out are refused.
TEST(Scenario, FilesOutsideTheScenarioFolderAreRefused) {
    TempDir dir;
    const std::string folder = dir.path() + "/scenarios";
    std::filesystem::create_directories(folder + "/images");
    sim::Network base = sim::Network::fromFile(sim::scenarioPath("home.json"));
    const Bytes pib = base.local().pib;
    for (const std::string& path : {dir.path() + "/secret.pib", folder + "/images/local.pib"})
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(pib.data()),
                   static_cast<std::streamsize>(pib.size()));
    std::filesystem::create_symlink(dir.path() + "/secret.pib", folder + "/link.pib");
    auto withPib = [&](const std::string& name) {
        std::ofstream(folder + "/net.json", std::ios::trunc)
            << R"({"stations": [{"family": "av", "mac": "00:B0:52:00:00:10", "local": true,
                  "pibFile": ")"
            << name << R"("}]})";
        try {
            sim::Network::fromFile(folder + "/net.json");
            return std::string("(accepted)");
        } catch (const sim::ScenarioError& e) {
            return std::string(e.what());
        }
    };
    EXPECT_EQ("(accepted)", withPib("images/local.pib"));
    EXPECT_EQ("(accepted)", withPib(folder + "/images/local.pib"));
    for (const std::string& outside :
         {dir.path() + "/secret.pib", std::string("../secret.pib"), std::string("link.pib"),
          std::string("images/../../secret.pib"), std::string("/etc/shadow")}) {
        const std::string error = withPib(outside);
        EXPECT_NE(std::string::npos, error.find("lies outside the scenario's folder"))
            << outside << ": " << error;
    }
}

TEST(PlcsimProgram, BadArgumentsAndBadScenariosExitWithTwo) {
    std::string out;
    std::string program = sim::programPath();
    EXPECT_EQ(runProgram({program}, &out), 2);
    EXPECT_NE(out.find("--interface is missing"), std::string::npos) << out;
    EXPECT_EQ(runProgram({program, "--interface", "lo"}, &out), 2);
    EXPECT_NE(out.find("--scenario is missing"), std::string::npos) << out;
    EXPECT_EQ(runProgram({program, "--interface", "lo", "--scenario"}, &out), 2);
    EXPECT_NE(out.find("--scenario needs a value"), std::string::npos) << out;
    EXPECT_EQ(runProgram({program, "--bogus"}, &out), 2);
    EXPECT_NE(out.find("unknown argument \"--bogus\""), std::string::npos) << out;
    EXPECT_EQ(runProgram({program, "--interface", "lo", "--scenario", "/nonexistent.json"}, &out),
              2);
    EXPECT_NE(out.find("bad scenario: cannot read scenario file"), std::string::npos) << out;
    TempDir dir;
    std::ofstream(dir.path() + "/bad.json") << R"({"stations": [{"family": "av"}]})";
    EXPECT_EQ(
        runProgram({program, "--interface", "lo", "--scenario", dir.path() + "/bad.json"}, &out),
        2);
    EXPECT_NE(out.find("a station needs a \"mac\""), std::string::npos) << out;
    EXPECT_EQ(runProgram({program, "--help"}, &out), 0);
    EXPECT_NE(out.find("usage: plcsim"), std::string::npos);
    // A scenario that is fine on an interface that does not exist.
    EXPECT_EQ(runProgram({program, "--interface", "no-such-if9", "--scenario",
                          sim::scenarioPath("home.json")},
                         &out),
              1);
    EXPECT_NE(out.find("cannot serve no-such-if9"), std::string::npos) << out;
}
