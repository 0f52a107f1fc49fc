#pragma once
// A raw AF_PACKET socket on one interface of a wire test's namespace, and test
// frames: what the far end of a veth sends and sees, independent of the
// packet drivers under test.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/netns.h"

using WireFrame = std::vector<uint8_t>;

// "02:48:59:00:00:01"
std::string macText(const uint8_t mac[6]);

// dst, src, EtherType, then `length - 14` payload bytes of a pattern that
// depends on `seed`, so that every test frame is distinct.
WireFrame makeFrame(const uint8_t dst[6], const uint8_t src[6], uint16_t etherType, size_t length,
                    uint8_t seed);

uint16_t etherTypeOf(const WireFrame& f);

// The socket belongs to the network namespace it was created in, so it is
// opened inside the namespace and then used from the test's thread.
class RawSocket {
  public:
    // On the side's veth end, or on `ifname` inside the side's namespace.
    RawSocket(NetnsPair& net, NetnsPair::Side side, const std::string& ifname = "");
    ~RawSocket();
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;
    bool ok() const { return fd_ >= 0; }

    bool send(const WireFrame& f);
    // The next incoming frame of `etherType` within `timeoutMs`; frames of
    // other types and this end's own transmissions are skipped.
    std::optional<WireFrame> receive(uint16_t etherType, int timeoutMs);
    // Every frame that arrives within `timeoutMs`, of any type, but this
    // end's own transmissions.
    std::vector<WireFrame> receiveAll(int timeoutMs);

  private:
    // The next frame, but this end's own transmissions, before `deadline`.
    std::optional<WireFrame> receiveUntil(std::chrono::steady_clock::time_point deadline);
    int fd_ = -1;
    int ifindex_ = 0;
};
