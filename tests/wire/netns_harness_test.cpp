// The namespace harness itself: isolation, spawned processes and clean-up.
#include <net/if.h>
#include <signal.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "support/netns.h"

namespace {

bool hasInterface(const std::string& name) {
    return if_nametoindex(name.c_str()) != 0;
}

TEST(NetnsHarness, EachSideSeesItsOwnEndOnly) {
    HALYARD_REQUIRE_NETNS();
    NetnsPair net;
    ASSERT_TRUE(net.ok()) << net.error();
    EXPECT_FALSE(hasInterface("hy0")); // the test itself stays where it was
    EXPECT_TRUE(
        net.runIn(NetnsPair::Host, [] { return hasInterface("hy0") && !hasInterface("hy1"); }));
    EXPECT_TRUE(
        net.runIn(NetnsPair::Plc, [] { return hasInterface("hy1") && !hasInterface("hy0"); }));
    std::atomic<bool> seen{false};
    std::thread t = net.threadIn(NetnsPair::Plc, [&] { seen = hasInterface("hy1"); });
    t.join();
    EXPECT_TRUE(seen);
    std::string out;
    EXPECT_EQ(0, net.ip(NetnsPair::Host, {"-o", "link", "show", "dev", "hy0"}, &out));
    EXPECT_NE(std::string::npos, out.find("state UP")) << out;
}

TEST(NetnsHarness, SpawnedProcessRunsInsideAndIsStopped) {
    HALYARD_REQUIRE_NETNS();
    NetnsPair net;
    ASSERT_TRUE(net.ok()) << net.error();
    NetnsProcess p = net.spawn(NetnsPair::Plc, {"sleep", "30"});
    ASSERT_TRUE(p.running());
    std::string pids;
    runProgram({"ip", "netns", "pids", net.ns(NetnsPair::Plc)}, &pids);
    EXPECT_NE(std::string::npos, pids.find(std::to_string(p.pid()))) << pids;
    EXPECT_FALSE(p.waitExit(50).has_value());
    EXPECT_EQ(128 + SIGTERM, p.stop());
    EXPECT_FALSE(p.running());

    NetnsProcess done = net.spawn(NetnsPair::Host, {"sh", "-c", "exit 3"});
    EXPECT_EQ(3, done.waitExit(5000));

    EXPECT_NONFATAL_FAILURE(
        {
            NetnsProcess missing = net.spawn(NetnsPair::Plc, {"/nonexistent/plcsim"});
            EXPECT_EQ(-1, missing.pid());
        },
        "cannot start /nonexistent/plcsim");
}

TEST(NetnsHarness, RemovesTheNamespacesWhenDone) {
    HALYARD_REQUIRE_NETNS();
    std::string host, plc;
    {
        NetnsPair net;
        ASSERT_TRUE(net.ok()) << net.error();
        host = net.ns(NetnsPair::Host);
        plc = net.ns(NetnsPair::Plc);
        EXPECT_NE(host, plc);
        std::string list;
        runProgram({"ip", "netns", "list"}, &list);
        EXPECT_NE(std::string::npos, list.find(host));
    }
    std::string list;
    runProgram({"ip", "netns", "list"}, &list);
    EXPECT_EQ(std::string::npos, list.find(host)) << list;
    EXPECT_EQ(std::string::npos, list.find(plc)) << list;
}

} // namespace
