// The capture helper's protocol, both parsers byte by byte: the helper's
// reading of requests (capture/request.c) and the client's reading of the
// helper's messages (packet/helper_driver.cpp); and the client driver's
// answers when the helper cannot be started at all.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "capture/protocol.h"
#include "packet/helper_driver.h"
#include "support/capture_messages.h"
#include "support/temp_dir.h"

namespace {

// Advice must never hand root the user's whole environment.
constexpr const char* kWholeEnvironmentSudo = "sudo -"
                                              "E";

using Bytes = std::vector<uint8_t>;

Bytes message(uint8_t type, uint16_t handle, const Bytes& body = {}) {
    return captureMessage(type, handle, body);
}

const char* parseRequest(const Bytes& m, hc_request& r) {
    return hc_parse_request(m.data(), m.size(), &r);
}

Bytes frameOf(size_t length, uint16_t etherType) {
    Bytes f(length, 0xAB);
    f[12] = static_cast<uint8_t>(etherType >> 8);
    f[13] = static_cast<uint8_t>(etherType);
    return f;
}

TEST(CaptureRequest, EachTypeAtItsLengthsAndOneOff) {
    hc_request r{};
    EXPECT_EQ(nullptr, parseRequest(message(HC_ENUMERATE, 0), r));
    EXPECT_EQ(HC_ENUMERATE, r.type);
    EXPECT_NE(nullptr, parseRequest(message(HC_ENUMERATE, 0, {1}), r));
    EXPECT_NE(nullptr, parseRequest(message(HC_ENUMERATE, 7), r));

    const Bytes open = message(HC_OPEN, 0, {'h', 'y', '0'});
    EXPECT_EQ(nullptr, parseRequest(open, r));
    EXPECT_EQ(3u, r.body_length);
    EXPECT_EQ(0, std::memcmp(r.body, "hy0", 3));
    EXPECT_EQ(nullptr, parseRequest(message(HC_OPEN, 0, Bytes(15, 'e')), r));
    EXPECT_NE(nullptr, parseRequest(message(HC_OPEN, 0, Bytes(16, 'e')), r));
    EXPECT_NE(nullptr, parseRequest(message(HC_OPEN, 0), r));
    EXPECT_NE(nullptr, parseRequest(message(HC_OPEN, 0, {'h', 0, '0'}), r));
    EXPECT_NE(nullptr, parseRequest(message(HC_OPEN, 0, {'.', '.', '/', 'x'}), r));
    EXPECT_NE(nullptr, parseRequest(message(HC_OPEN, 3, {'h'}), r));

    EXPECT_EQ(nullptr, parseRequest(message(HC_SEND, 0x1234, frameOf(60, 0x88E1)), r));
    EXPECT_EQ(0x1234, r.handle);
    EXPECT_EQ(60u, r.body_length);
    EXPECT_EQ(nullptr, parseRequest(message(HC_SEND, 1, frameOf(1518, 0x88E1)), r));
    EXPECT_NE(nullptr, parseRequest(message(HC_SEND, 1, frameOf(59, 0x88E1)), r));
    EXPECT_NE(nullptr, parseRequest(message(HC_SEND, 1, frameOf(1519, 0x88E1)), r));
    EXPECT_NE(nullptr, parseRequest(message(HC_SEND, 0, frameOf(60, 0x88E1)), r));

    EXPECT_EQ(nullptr, parseRequest(message(HC_CLOSE, 9), r));
    EXPECT_NE(nullptr, parseRequest(message(HC_CLOSE, 0), r));
    EXPECT_NE(nullptr, parseRequest(message(HC_CLOSE, 9, {0}), r));

    // Unknown types, replies sent back, a short header, a non-zero pad byte.
    for (uint8_t type : {0, 5, 0x81, 0x86, 0xFF})
        EXPECT_NE(nullptr, parseRequest(message(type, 0), r)) << int(type);
    Bytes shortHeader = {HC_ENUMERATE, 0, 0};
    EXPECT_NE(nullptr, parseRequest(shortHeader, r));
    Bytes padded = message(HC_ENUMERATE, 0);
    padded[1] = 1;
    EXPECT_NE(nullptr, parseRequest(padded, r));
}

TEST(CaptureRequest, OnlyTheTwoHomePlugEtherTypesMayBeSent) {
    EXPECT_EQ(nullptr, hc_check_send_frame(frameOf(60, 0x88E1).data(), 60));
    EXPECT_EQ(nullptr, hc_check_send_frame(frameOf(60, 0x887B).data(), 60));
    for (uint16_t other : {0x0800, 0x0806, 0x86DD, 0x88E0, 0x887C, 0x7B88, 0x8100})
        EXPECT_NE(nullptr, hc_check_send_frame(frameOf(60, other).data(), 60)) << other;
    EXPECT_NE(nullptr, hc_check_send_frame(frameOf(1519, 0x88E1).data(), 1519));
}

TEST(CaptureReply, EachTypeAtItsLengthsAndOneOff) {
    HelperMessage m;
    EXPECT_TRUE(parseHelperMessage(message(HC_HELLO, HC_PROTOCOL_VERSION).data(), 4, m));
    EXPECT_EQ(HC_HELLO, m.type);
    EXPECT_EQ(HC_PROTOCOL_VERSION, m.handle);
    for (uint8_t type : {HC_HELLO, HC_OPENED, HC_CLOSED, HC_FAULT}) {
        Bytes extra = message(type, 1, {0});
        EXPECT_FALSE(parseHelperMessage(extra.data(), extra.size(), m)) << int(type);
    }
    // The first version's reply to a send is not one of this version's.
    Bytes oldSent = message(0x84, 1);
    EXPECT_FALSE(parseHelperMessage(oldSent.data(), oldSent.size(), m));

    Bytes frame = message(HC_FRAME, 4, frameOf(1514, 0x88E1));
    ASSERT_TRUE(parseHelperMessage(frame.data(), frame.size(), m));
    EXPECT_EQ(4, m.handle);
    EXPECT_EQ(1514u, m.frameLength);
    EXPECT_EQ(frame.data() + 4, m.frame);
    Bytes tooLong = message(HC_FRAME, 4, frameOf(1515, 0x88E1));
    EXPECT_FALSE(parseHelperMessage(tooLong.data(), tooLong.size(), m));
    Bytes empty = message(HC_FRAME, 4);
    EXPECT_FALSE(parseHelperMessage(empty.data(), empty.size(), m));

    Bytes error = message(HC_ERROR, 2, {HC_SEND, HC_REFUSED, 'n', 'o'});
    ASSERT_TRUE(parseHelperMessage(error.data(), error.size(), m));
    EXPECT_EQ(HC_SEND, m.errorRequest);
    EXPECT_EQ(HC_REFUSED, m.errorCode);
    EXPECT_EQ("no", m.errorText);
    Bytes bare = message(HC_ERROR, 2, {HC_SEND});
    EXPECT_FALSE(parseHelperMessage(bare.data(), bare.size(), m));
    Bytes chatty = message(HC_ERROR, 2, Bytes(2 + HC_MAX_ERROR_TEXT + 1, 'x'));
    EXPECT_FALSE(parseHelperMessage(chatty.data(), chatty.size(), m));

    Bytes unknown = message(0x99, 0);
    EXPECT_FALSE(parseHelperMessage(unknown.data(), unknown.size(), m));
    EXPECT_FALSE(parseHelperMessage(unknown.data(), 3, m));
}

Bytes interfaceEntry(const std::string& name, const std::string& description) {
    Bytes e = {2, 0, 0, 0, 0, 1, static_cast<uint8_t>(name.size())};
    e.insert(e.end(), name.begin(), name.end());
    e.push_back(static_cast<uint8_t>(description.size()));
    e.insert(e.end(), description.begin(), description.end());
    return e;
}

TEST(CaptureReply, InterfaceListIsReadWholeOrNotAtAll) {
    Bytes body = {2};
    for (const Bytes& e :
         {interfaceEntry("eth0", "Network adapter 'Intel' (PCI)"), interfaceEntry("hy0", "")})
        body.insert(body.end(), e.begin(), e.end());
    Bytes list = message(HC_INTERFACES, 0, body);
    HelperMessage m;
    ASSERT_TRUE(parseHelperMessage(list.data(), list.size(), m));
    ASSERT_EQ(2u, m.interfaces.size());
    EXPECT_EQ("eth0", m.interfaces[0].name);
    EXPECT_EQ("Network adapter 'Intel' (PCI)", m.interfaces[0].description);
    EXPECT_EQ(1, m.interfaces[0].mac[5]);
    EXPECT_EQ("hy0", m.interfaces[1].name);

    // Cut anywhere inside, a byte too many, a count past what arrived or past eight.
    for (size_t cut = 5; cut < list.size(); ++cut)
        EXPECT_FALSE(parseHelperMessage(list.data(), cut, m)) << cut;
    Bytes longer = list;
    longer.push_back(0);
    EXPECT_FALSE(parseHelperMessage(longer.data(), longer.size(), m));
    Bytes overCount = list;
    overCount[4] = 3;
    EXPECT_FALSE(parseHelperMessage(overCount.data(), overCount.size(), m));
    Bytes nine = message(HC_INTERFACES, 0, {9});
    EXPECT_FALSE(parseHelperMessage(nine.data(), nine.size(), m));
    Bytes noName = message(HC_INTERFACES, 0, {1, 2, 0, 0, 0, 0, 1, 0, 0});
    EXPECT_FALSE(parseHelperMessage(noName.data(), noName.size(), m));
    Bytes none = message(HC_INTERFACES, 0, {0});
    ASSERT_TRUE(parseHelperMessage(none.data(), none.size(), m));
    EXPECT_TRUE(m.interfaces.empty());
}

// A helper the user may not run (installed root:halyard 0750, the user outside
// the group) is told apart from a missing one: only the first is a matter of
// rights, and its advice is the group, never a capability on a program.
TEST(HelperDriverStart, AHelperTheUserMayNotRunAsksToJoinTheGroup) {
    TempDir dir;
    writeFileText(dir.file("halyard-capture"), "#!/bin/sh\n");
    ASSERT_EQ(0, chmod(dir.file("halyard-capture").c_str(), 0640)); // no one may run it
    HelperDriver driver(dir.file("halyard-capture"));
    std::string error;
    bool denied = false;
    EXPECT_EQ(nullptr, driver.open("eth0", error, denied));
    EXPECT_TRUE(denied);
    EXPECT_NE(std::string::npos, error.find("not in the group halyard")) << error;
    const std::string advice = driver.permissionAdvice();
    EXPECT_NE(std::string::npos, advice.find("\n    sudo usermod -aG halyard $USER\n")) << advice;
    EXPECT_NE(std::string::npos, advice.find("log out and in again"));
    EXPECT_EQ(std::string::npos, advice.find("setcap"));
    EXPECT_EQ(std::string::npos, advice.find(kWholeEnvironmentSudo));
    // The interfaces are still listed (that needs no right), so the window
    // names the interface it could not open.
    std::vector<DriverInterface> listed;
    EXPECT_TRUE(driver.enumerate(listed));
}

TEST(HelperDriverStart, AMissingOrMuteHelperIsAFailureNotAMatterOfRights) {
    TempDir dir;
    HelperDriver missing(dir.file("halyard-capture"));
    std::string error;
    bool denied = true;
    EXPECT_EQ(nullptr, missing.open("eth0", error, denied));
    EXPECT_FALSE(denied);
    EXPECT_NE(std::string::npos, error.find("missing")) << error;
    EXPECT_TRUE(missing.permissionAdvice().empty());

    // A program that runs but never speaks the protocol (another version, or
    // not the helper at all) is ended, and the driver says so.
    writeFileText(dir.file("mute"), "#!/bin/sh\nexit 0\n");
    ASSERT_EQ(0, chmod(dir.file("mute").c_str(), 0755));
    HelperDriver mute(dir.file("mute"));
    denied = true;
    EXPECT_EQ(nullptr, mute.open("eth0", error, denied));
    EXPECT_FALSE(denied);
    EXPECT_NE(std::string::npos, error.find("did not start")) << error;
    EXPECT_EQ(0, mute.helperPid());
}

} // namespace
