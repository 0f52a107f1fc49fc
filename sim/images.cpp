// Generated device images: a valid version 3.3 parameter block, a firmware
// image chain of two blocks, the HomePlug 1.0 loader image and configuration
// sections, and the link rate encodings of each family.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "sim/internal.h"

namespace sim::detail {

Bytes ethernetFrame(const Mac& dst, const Mac& src, uint16_t etherType, size_t length) {
    Bytes f(std::max(length, kMinFrame), 0);
    std::memcpy(f.data(), dst.data(), 6);
    std::memcpy(f.data() + 6, src.data(), 6);
    put16be(f.data() + 12, etherType);
    return f;
}

Bytes avFrame(const Mac& dst, const Mac& src, uint16_t mmtype, size_t payload) {
    Bytes f = ethernetFrame(dst, src, kEtherAv, 20 + payload);
    f[14] = 0x00;
    put16le(f.data() + 15, mmtype);
    f[17] = 0x00;
    f[18] = 0xB0;
    f[19] = 0x52;
    return f;
}

Bytes hp10Frame(const Mac& dst, const Mac& src, uint8_t type, uint8_t length) {
    Bytes f = ethernetFrame(dst, src, kEtherHp10, 17 + static_cast<size_t>(length));
    f[14] = 1;
    f[15] = type;
    f[16] = length;
    return f;
}

namespace {

void rechecksum(Bytes& pib) {
    if (pib.size() < 12)
        return;
    size_t length = std::min<size_t>(get16le(pib.data() + 4), pib.size());
    put32le(pib.data() + 8, 0);
    put32le(pib.data() + 8, checksum32(pib.data(), length));
}

uint8_t patternByte(size_t i, uint8_t seed) {
    return static_cast<uint8_t>(i * 7 + seed);
}

void putNvmHeader(uint8_t* h, uint32_t load, uint32_t length, uint32_t entry, uint32_t flags,
                  uint32_t next) {
    std::memset(h, 0, 44);
    put32le(h + 0, 0x00010001); // header version, not interpreted
    put32le(h + 8, load);
    put32le(h + 12, length);
    put32le(h + 16, entry);
    put32le(h + 20, flags);
    put32le(h + 36, next);
    put32le(h + 40, checksum32(h, 40));
}

} // namespace

Bytes makePib(const Mac& mac, const AvKey& nmk) {
    Bytes p(kPibLength, 0);
    p[0] = 3;
    p[1] = 3;
    put16le(p.data() + 4, static_cast<uint16_t>(kPibLength));
    std::memcpy(p.data() + 12, mac.data(), 6);
    std::memcpy(p.data() + 100, nmk.data(), 16);
    // One entry in the table at 524, within every range the block allows.
    put32le(p.data() + 556, 1);
    uint8_t* e = p.data() + 784;
    put16le(e + 2, 1);    // one sub-entry
    put32le(e + 4, 0x01); // a below 0x10
    put32le(e + 8, 0);    // b below 2
    put32le(e + 80, 100000);
    put16le(e + 88, 100);
    e[91] = 4;
    p[2384] = 4;
    put32le(p.data() + 2572, 1);
    put32le(p.data() + 7824, 100);
    rechecksum(p);
    return p;
}

void pibSetNmk(Bytes& pib, const AvKey& nmk) {
    if (pib.size() < 116)
        return;
    std::memcpy(pib.data() + 100, nmk.data(), 16);
    rechecksum(pib);
}

bool pibChecksumValid(const Bytes& pib) {
    if (pib.size() < 12)
        return false;
    size_t length = get16le(pib.data() + 4);
    if (length < 12 || length > pib.size() || length > 16384)
        return false;
    return checksum32(pib.data(), length) == 0;
}

Bytes makeNvm(const std::string& version) {
    const uint32_t firstLength = 600, secondLength = 2400;
    Bytes nvm(44 + firstLength + 44 + secondLength, 0);
    uint32_t second = 44 + firstLength;
    putNvmHeader(nvm.data(), 0x00200000, firstLength, 0x00200000, 0, second);
    for (size_t i = 0; i < firstLength; ++i)
        nvm[44 + i] = patternByte(i, 3);
    putNvmHeader(nvm.data() + second, 0x01000000, secondLength, 0x01000040, 1, 0);
    uint8_t* image = nvm.data() + second + 44;
    for (size_t i = 0; i < secondLength; ++i)
        image[i] = patternByte(i, 11);
    // The version text sits NUL-terminated in the image, as firmware carries it.
    size_t n = std::min<size_t>(version.size(), 64);
    std::memcpy(image + 64, version.data(), n);
    image[64 + n] = 0;
    return nvm;
}

bool nvmChainValid(const Bytes& nvm) {
    size_t at = 0;
    while (at + 44 <= nvm.size()) {
        const uint8_t* h = nvm.data() + at;
        if (checksum32(h, 44) != 0)
            return false;
        uint64_t end = static_cast<uint64_t>(at) + 44 + get32le(h + 12);
        if (end > nvm.size())
            return false;
        uint32_t next = get32le(h + 36);
        if (next == 0)
            return true;
        if (next < end) // a chain must move forward past the image
            return false;
        at = next;
    }
    return false;
}

Bytes makeHp10Image(const std::string& version) {
    Bytes image(3000, 0);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = patternByte(i, 5);
    size_t n = std::min<size_t>(version.size(), 64);
    std::memcpy(image.data() + 32, version.data(), n);
    image[32 + n] = 0;
    return image;
}

Bytes makeConfigSection(uint32_t module, const Mac& mac) {
    size_t size = module == 0x10 ? 128 : module == 0x20 ? 256 : 512;
    Bytes section(size, 0);
    for (size_t i = 0; i < size; ++i)
        section[i] = patternByte(i, static_cast<uint8_t>(module));
    if (module == 0x10)
        std::memcpy(section.data(), mac.data(), 6);
    return section;
}

std::optional<std::string> findVersionText(const Bytes& image, const std::string& current) {
    std::string prefix = current.substr(0, std::min<size_t>(5, current.size()));
    if (prefix.size() < 3 || image.size() < prefix.size())
        return std::nullopt;
    auto it = image.begin();
    while (true) {
        it = std::search(it, image.end(), prefix.begin(), prefix.end());
        if (it == image.end())
            return std::nullopt;
        std::string text;
        auto p = it;
        while (p != image.end() && *p >= 0x20 && *p < 0x7F && text.size() < 64)
            text.push_back(static_cast<char>(*p++));
        if (p != image.end() && *p == 0)
            return text;
        ++it;
    }
}

std::string defaultDevicePassword(const Mac& mac) {
    // Sixteen capital letters in four dashed groups, made from the MAC.
    std::string letters;
    for (uint8_t b : mac) {
        letters.push_back(static_cast<char>('A' + (b >> 4)));
        letters.push_back(static_cast<char>('A' + (b & 0x0F)));
    }
    letters += "SIMU";
    return letters.substr(0, 4) + "-" + letters.substr(4, 4) + "-" + letters.substr(8, 4) + "-" +
           letters.substr(12, 4);
}

std::array<uint8_t, 50> makeHp10Params(const Station& s, const Hp10Key& nek) {
    std::array<uint8_t, 50> b{};
    std::memcpy(b.data(), s.mac.data(), 6);
    std::memcpy(b.data() + 6, s.dek.data(), 8);
    b[14] = 1;
    std::memcpy(b.data() + 15, nek.data(), 8);
    b[23] = 0x00;
    b[24] = 0x00;
    b[25] = 0x01;
    b[26] = 0x02; // carried unchanged
    b[27] = 0x10;
    return b;
}

uint8_t avRateByte(uint32_t mbps) {
    // The host shows trunc(raw * 200 / 151); the smallest raw that shows `mbps`.
    uint32_t raw = (mbps * 151 + 199) / 200;
    return static_cast<uint8_t>(std::min<uint32_t>(raw, 255));
}

uint16_t hp10RawRate(double mbps) {
    // The smallest raw value the host's reading turns into at least `mbps`.
    double raw = (mbps + 0.12978912978912938) / 1.1434511434511434 * 42.0;
    return static_cast<uint16_t>(std::clamp(std::ceil(raw + 1e-6), 0.0, 65535.0));
}

uint16_t turboRawRate(double mbps) {
    double x;
    if (mbps <= 6)
        x = mbps;
    else if (mbps <= 14)
        x = 6 + (mbps - 6) / 8 * 6.357142857142858;
    else
        x = 12.357142857142858 + (mbps - 14) / 71 * 54.59523809523809;
    return static_cast<uint16_t>(std::clamp(std::ceil(x * 336 / 8 + 1e-6), 0.0, 65535.0));
}

} // namespace sim::detail
