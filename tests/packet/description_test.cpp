// The short interface description cut from the capture library's description.
#include <gtest/gtest.h>

#include <string>

#include "packet/pcap_driver.h"

namespace {

std::string derive(const std::string& text) {
    return deriveInterfaceDescription(text, "eth3");
}

TEST(InterfaceDescription, CutsBetweenTheFirstApostropheAndTheNextEndMark) {
    EXPECT_EQ("Realtek PCIe GBE Family Controller",
              derive("Network adapter 'Realtek PCIe GBE Family Controller' on local host"));
    // A parenthesis inside the quoted name (a trademark mark) ends it there.
    EXPECT_EQ("Intel", derive("Network adapter 'Intel(R) PRO/1000 MT Network Connection' on "
                              "local host"));
    // Text before the "(" is kept as it is, trailing space included.
    EXPECT_EQ("Broadcom NetXtreme Gigabit Ethernet Driver ",
              derive("'Broadcom NetXtreme Gigabit Ethernet Driver (Microsoft's Packet "
                     "Scheduler) '"));
}

TEST(InterfaceDescription, AParenthesisAfterTheOpeningApostropheWinsOverTheClosingOne) {
    EXPECT_EQ("Foo' on host ", derive("Adapter 'Foo' on host (local)"));
    // Only marks after the first apostrophe count; later apostrophes do not start again.
    EXPECT_EQ("Bar", derive("(x) 'Bar' and 'Baz'"));
    EXPECT_EQ("a'b", derive("x'a'b(c)"));
}

TEST(InterfaceDescription, FallsBackToTheInterfaceNameWithoutThatForm) {
    EXPECT_EQ("eth3", derive(""));
    EXPECT_EQ("eth3", derive("Pseudo-device that captures on all interfaces"));
    EXPECT_EQ("eth3", derive("Adapter (no quotes)"));
    EXPECT_EQ("eth3", derive("'unterminated name"));
    EXPECT_EQ("eth3", derive("''"));
    EXPECT_EQ("eth3", derive("x'(R)"));
    EXPECT_EQ("enp0s31f6", deriveInterfaceDescription("", "enp0s31f6"));
}

TEST(InterfaceDescription, KeepsAtMost255Characters) {
    std::string longName(300, 'N');
    std::string got = derive("'" + longName + "'");
    EXPECT_EQ(std::string(255, 'N'), got);
    EXPECT_EQ(std::string(255, 'M'), deriveInterfaceDescription("", std::string(280, 'M')));
    std::string exact(255, 'E');
    EXPECT_EQ(exact, derive("'" + exact + "(x)"));
}

} // namespace
