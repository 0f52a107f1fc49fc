// The halyardctl program over a real veth pair: the program (libpcap, real
// time) in one namespace, the emulator's libpcap server serving the "home"
// scenario in the other. The server runs on a thread of this test, so the
// stations' keys are read directly once it stops.
//
// The program runs as a user starts it: from its working folder (OEMPrefs.dat),
// with its own runtime folder for the single-instance lock, and with a private
// /var/lib (a bind mount visible only to it) so the device database it writes
// to /var/lib/tollbeam lands in the test's folder and not on the machine.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "sim/network.h"
#include "sim/pcap_server.h"
#include "storage/prefs_layout.h"
#include "support/emulated_halyard.h"
#include "support/far_end.h"
#include "support/home_scenario.h"
#include "support/netns.h"
#include "support/temp_dir.h"

namespace {

using nlohmann::json;

constexpr const char* kHostMac = "02:48:59:00:00:61";
using namespace home_json;

struct Outcome {
    int code = -1;
    std::string out, err;
};

class HalyardctlWire : public ::testing::Test {
  protected:
    void SetUp() override {
        HALYARD_REQUIRE_NETNS();
        NetnsPair::Options options;
        options.hostMac = kHostMac;
        net = std::make_unique<NetnsPair>(options);
        ASSERT_TRUE(net->ok()) << net->error();
        PrefsFile prefs = EmulatedHalyard::defaultPreferences();
        std::vector<uint8_t> bytes(sizeof prefs);
        std::memcpy(bytes.data(), &prefs, sizeof prefs);
        ASSERT_EQ(0, mkdir(work.c_str(), 0700));
        ASSERT_EQ(0, mkdir(varLib.c_str(), 0755));
        writeFileBytes(work + "/OEMPrefs.dat", bytes);
        far = std::make_unique<FarEnd>(*net, scenario());
        ASSERT_TRUE(far->ok()) << far->error();
    }

    virtual const char* scenario() const { return "home.json"; }

    // Runs halyardctl in the host namespace and waits for it to end.
    Outcome halyardctl(const std::vector<std::string>& args) {
        std::vector<std::string> argv{
            "sh",
            "-c",
            "d=$1; w=$2; shift 2; mount --bind \"$d\" /var/lib && " HALYARD_PRIVATE_SHARE_SH
            " && cd \"$w\" && "
            "XDG_RUNTIME_DIR=\"$w\" exec \"$@\" >\"$w/out\" 2>\"$w/err\"",
            "sh",
            varLib,
            work,
            HALYARDCTL_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        NetnsProcess p = net->spawn(NetnsPair::Host, argv, dir.file("spawn.log"));
        Outcome o;
        std::optional<int> status = p.waitExit(120000);
        EXPECT_TRUE(status.has_value()) << "halyardctl did not end";
        o.code = status.value_or(-1);
        std::vector<uint8_t> out = readFileBytes(work + "/out");
        std::vector<uint8_t> err = readFileBytes(work + "/err");
        o.out.assign(out.begin(), out.end());
        o.err.assign(err.begin(), err.end());
        std::vector<uint8_t> log = readFileBytes(dir.file("spawn.log"));
        o.err += std::string(log.begin(), log.end());
        return o;
    }

    std::string database() const { return varLib + "/tollbeam/Tollbeam.data"; }

    TempDir dir;
    std::string work = dir.file("work");
    std::string varLib = dir.file("varlib");
    std::unique_ptr<NetnsPair> net;
    std::unique_ptr<FarEnd> far;
};

TEST_F(HalyardctlWire, ListJsonThenSetKeyKeysTheEmulatedDevices) {
    Outcome list = halyardctl({"--json", "list"});
    ASSERT_EQ(0, list.code) << list.err;
    json doc = json::parse(list.out);
    EXPECT_EQ(net->ifName(NetnsPair::Host), doc["interface"]);
    EXPECT_EQ("02:48:59:00:00:61", doc["mac"]);
    EXPECT_EQ("Public", doc["network"]);
    ASSERT_EQ(3u, doc["devices"].size()) << list.out; // the garage is on another key
    const json& local = doc["devices"][0];
    EXPECT_EQ(kLocal, local["mac"]);
    EXPECT_EQ("local", local["location"]);
    EXPECT_EQ("HomePlug AV", local["family"]);
    EXPECT_EQ("KARSA02-MAC-3-1", local["firmware"]); // the chip shows in the text
    std::map<std::string, json> remotes;
    for (size_t i = 1; i < doc["devices"].size(); ++i) {
        const json& d = doc["devices"][i];
        EXPECT_EQ("remote", d["location"]);
        for (const char* key : {"name", "family", "firmware", "quality", "vendor"})
            EXPECT_TRUE(d[key].is_string()) << key;
        remotes[d["mac"]] = d;
    }
    ASSERT_EQ(1u, remotes.count(kLiving)) << list.out;
    ASSERT_EQ(1u, remotes.count(kBedroom)) << list.out;
    EXPECT_DOUBLE_EQ(120.0, remotes[kLiving]["rate_mbps"].get<double>());
    EXPECT_DOUBLE_EQ(90.0, remotes[kBedroom]["rate_mbps"].get<double>());
    EXPECT_EQ("KARSA01-MAC-3-0", remotes[kBedroom]["firmware"]);
    EXPECT_EQ(0u, remotes.count(kGarage));
    // The database was written where the window keeps it, privately.
    struct stat st {};
    ASSERT_EQ(0, stat(database().c_str(), &st)) << database();
    EXPECT_EQ(0600u, st.st_mode & 0777);

    Outcome set = halyardctl({"set-key", "--network-password", "Harbour Net", "--local",
                              std::string(kLiving) + "=" + kLivingPassword});
    ASSERT_EQ(0, set.code) << set.err;
    EXPECT_NE(std::string::npos, set.err.find("Encryption key has been changed successfully."))
        << set.err;
    EXPECT_NE(std::string::npos, set.err.find("waiting ")) << set.err; // waits are announced
    EXPECT_NE(std::string::npos, set.out.find("network type Private")) << set.out;

    // The next run finds the private network: the local device and the living room.
    list = halyardctl({"--json", "list"});
    ASSERT_EQ(0, list.code) << list.err;
    doc = json::parse(list.out);
    EXPECT_EQ("Private", doc["network"]);
    ASSERT_EQ(2u, doc["devices"].size()) << list.out;
    EXPECT_EQ(kLiving, doc["devices"][1]["mac"]);

    far->stop();
    sim::Network& n = far->network;
    EXPECT_EQ(sim::nmkOf("Harbour Net"), n.station(kLocal).nmk);
    EXPECT_EQ(sim::nmkOf("Harbour Net"), n.station(kLiving).nmk);
    EXPECT_EQ(sim::defaultNmk(), n.station(kBedroom).nmk);
    EXPECT_EQ(sim::nmkOf("NeighbourNet1"), n.station(kGarage).nmk);
    EXPECT_EQ(0u, n.station(kBedroom).keyChanges);
}

TEST_F(HalyardctlWire, BadInputAndAHeldLockSendNothing) {
    Outcome r = halyardctl({"set-key", "--network-password", "abc", "--local"});
    EXPECT_EQ(2, r.code) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("The encryption key entered is invalid.")) << r.err;
    r = halyardctl({"--interface", "nosuch0", "list"});
    EXPECT_EQ(3, r.code) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("nosuch0")) << r.err;
    // The window holds the lock both programs share.
    int fd = ::open((work + "/halyard.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, flock(fd, LOCK_EX | LOCK_NB));
    r = halyardctl({"--json", "list"});
    ::close(fd);
    EXPECT_EQ(3, r.code) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("must not drive the adapters at once")) << r.err;
    EXPECT_EQ("", r.out);
    far->stop();
    // Not one frame reached the emulated devices.
    EXPECT_TRUE(far->network.log().empty()) << far->network.log().front();
}

} // namespace

// ---- map -----------------------------------------------------------------------------------

class HalyardctlMapWire : public HalyardctlWire {
  protected:
    const char* scenario() const override { return "map.json"; }
};

TEST_F(HalyardctlMapWire, MapJsonEqualsTheScenariosMatrix) {
    Outcome map = halyardctl({"map", "--json"});
    ASSERT_EQ(0, map.code) << map.err;
    json doc = json::parse(map.out);
    far->stop();
    // The matrix the scenario's views give, from the emulator's own stations.
    std::map<std::pair<std::string, std::string>, int> expected, got;
    for (const sim::Station& s : far->network.stations())
        for (const auto& [peer, rate] : s.view)
            expected[{sim::formatMac(s.mac), sim::formatMac(peer)}] = static_cast<int>(rate);
    ASSERT_EQ(expected.size(), 12u);
    for (const json& l : doc.at("links")) {
        ASSERT_FALSE(l.at("rate_mbps").is_null()) << l.dump();
        got[{l.at("from").get<std::string>(), l.at("to").get<std::string>()}] =
            l.at("rate_mbps").get<int>();
    }
    EXPECT_EQ(got, expected);
    ASSERT_EQ(doc.at("nodes").size(), 4u);
    EXPECT_EQ(doc.at("nodes")[0].at("mac"), "00:B0:52:00:00:40");
    EXPECT_TRUE(doc.at("nodes")[0].at("local").get<bool>());
    // Well-formed requests: the emulator answers only a request with a good
    // header, and each remote answered one from the host, addressed to it.
    for (const char* remote : {"00:B0:52:00:00:41", "00:B0:52:00:00:42", "00:B0:52:00:00:43"}) {
        std::string line = std::string("av 0xA038 from ") + kHostMac + " to " + remote + ": " +
                           remote + " answered 0xA039";
        bool seen = false;
        for (const std::string& l : far->network.log())
            seen = seen || l.rfind(line, 0) == 0;
        EXPECT_TRUE(seen) << line;
    }
}
