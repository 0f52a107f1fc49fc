#pragma once
// Pieces shared by the emulator's own sources: byte access, frame shells,
// generated images, and the per-family request handlers.
#include <cstring>
#include <optional>
#include <string>

#include "sim/network.h"

namespace sim::detail {

inline uint16_t get16le(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get32le(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint16_t get16be(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t get32be(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}
inline void put16le(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32le(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put16be(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void put32be(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
inline Mac macAt(const uint8_t* p) {
    Mac m;
    std::memcpy(m.data(), p, 6);
    return m;
}

// An Ethernet frame of `length` zero bytes (at least 60) with its addresses
// and EtherType written.
Bytes ethernetFrame(const Mac& dst, const Mac& src, uint16_t etherType, size_t length);
// A HomePlug AV frame: header with MMV 0, `mmtype` and the vendor OUI, and
// `payload` bytes from offset 20 (zero).
Bytes avFrame(const Mac& dst, const Mac& src, uint16_t mmtype, size_t payload);
// A HomePlug 1.0 frame with one entry of `type` and `length` data bytes.
Bytes hp10Frame(const Mac& dst, const Mac& src, uint8_t type, uint8_t length);

// Generated images.
Bytes makePib(const Mac& mac, const AvKey& nmk);
void pibSetNmk(Bytes& pib, const AvKey& nmk); // rewrites offset 100 and the checksum
bool pibChecksumValid(const Bytes& pib);
Bytes makeNvm(const std::string& version);
bool nvmChainValid(const Bytes& nvm);
Bytes makeHp10Image(const std::string& version);
Bytes makeConfigSection(uint32_t module, const Mac& mac);
// The version text a new image carries: the first NUL-terminated printable text
// that starts like `current` (its first five characters).
std::optional<std::string> findVersionText(const Bytes& image, const std::string& current);
std::string defaultDevicePassword(const Mac& mac);
std::array<uint8_t, 50> makeHp10Params(const Station& s, const Hp10Key& nek);

// Raw link rate values of each family for a rate in Mbit/s.
uint8_t avRateByte(uint32_t mbps);
uint16_t hp10RawRate(double mbps);
uint16_t turboRawRate(double mbps);

// One received request, as a handler sees it.
struct Request {
    const uint8_t* f;
    size_t n;
    Mac dst;
    Mac src;
};

// What faults ask of a handler.
struct Effects {
    bool fail = false;
    uint8_t status = 1;
    bool corrupt = false;
};

struct Outcome {
    Bytes frame;
};

void handleAv(Network& net, Station& st, const Request& rq, const Effects& fx,
              std::vector<Outcome>& out);
void handleHp10(Network& net, Station& st, const Request& rq, const Effects& fx,
                std::vector<Outcome>& out);
void handleLoader(Station& st, const Request& rq, const Effects& fx, std::vector<Outcome>& out);

// The key the local HomePlug 1.0 station sends over the mains with.
Hp10Key transmitKey(const Station& local);

// Who receives a frame: the stations that handle it.
std::vector<Station*> avRecipients(Network& net, const Request& rq);
std::vector<Station*> hp10Recipients(Network& net, const Request& rq);

} // namespace sim::detail
