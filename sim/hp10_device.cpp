// What a HomePlug 1.0 or Turbo station answers (EtherType 0x887B management
// entries), and its secondary loader.
#include <algorithm>

#include "sim/internal.h"

namespace sim::detail {

namespace {

constexpr uint8_t kVendorId[3] = {0x00, 0x04, 0x87};

bool isHp(const Station& s) {
    return !s.isAv();
}

Station* localOf(Network& net) {
    for (Station& s : net.stations())
        if (s.local)
            return &s;
    return nullptr;
}

void ack(const Station& st, const Request& rq, uint8_t status, std::vector<Outcome>& out) {
    Bytes f = hp10Frame(rq.src, st.mac, 0x06, 1);
    f[17] = status;
    out.push_back({std::move(f)});
}

void parametersResponse(const Station& st, const Request& rq, std::vector<Outcome>& out) {
    out.push_back({hp10Frame(rq.src, st.mac, 0x08, 0)});
}

// Selector bit 0x10 asks for the running copy (kind 2), anything else for the
// stored copy (kind 1).
void localParameters(const Station& st, const Request& rq, uint8_t selector,
                     std::vector<Outcome>& out) {
    bool running = selector & 0x10;
    Bytes f = hp10Frame(rq.src, st.mac, 0x19, 51);
    f[17] = running ? 2 : 1;
    const auto& block = running ? st.runningParams : st.storedParams;
    std::memcpy(f.data() + 18, block.data(), 50);
    out.push_back({std::move(f)});
}

uint16_t hp10EntryRate(const Station& st, const Station& peer) {
    double rate = st.rateTo(peer);
    if (st.family == Family::Turbo && peer.family == Family::Turbo) {
        // Turbo links are reported on the HomePlug 1.0 scale, 85 Mbit/s as 14.
        uint32_t full = hp10RawRate(std::min(rate, 85.0));
        return static_cast<uint16_t>(std::min<uint32_t>((full * 14 + 42) / 85, 519));
    }
    return hp10RawRate(std::min(rate, 14.0));
}

// Network statistics: the device class, the local counters and up to 15
// stations of the network. Addressed back to the request's source, so a
// request from the station's own MAC gets a self-addressed answer.
void networkStatistics(Network& net, const Station& st, const Request& rq,
                       std::vector<Outcome>& out) {
    Bytes f = hp10Frame(rq.src, st.mac, 0x1A, 187);
    uint8_t* p = f.data();
    p[17] = st.reportedClass() & 0x7F;
    put16le(p + 20, st.fails);
    put16le(p + 22, st.drops);
    std::vector<const Station*> peers = net.peersOf(st);
    for (size_t j = 0; j < peers.size() && j < 15; ++j) {
        uint8_t* e = p + 24 + 12 * j;
        std::memcpy(e, peers[j]->mac.data(), 6);
        put16le(e + 6, hp10EntryRate(st, *peers[j]));
    }
    out.push_back({std::move(f)});
}

void turboVersion(const Station& st, const Request& rq, std::vector<Outcome>& out) {
    size_t v = std::min<size_t>(st.vendor.size(), 79), p = std::min<size_t>(st.product.size(), 79);
    Bytes f = hp10Frame(rq.src, st.mac, 0x02, static_cast<uint8_t>(11 + v + p));
    uint8_t* d = f.data();
    std::memcpy(d + 17, kVendorId, 3);
    d[20] = 0x90;
    d[21] = st.local ? 0 : 1;
    if (st.fixedVersion) {
        d[23] = 1;
        d[25] = (st.versionMajor == 1 && st.versionMinor == 2) ? 0x15 : 0x00;
    } else {
        d[24] = st.versionMajor;
        d[25] = st.versionMinor;
    }
    d[26] = static_cast<uint8_t>(v);
    std::memcpy(d + 27, st.vendor.data(), v);
    d[27 + v] = static_cast<uint8_t>(p);
    std::memcpy(d + 28 + v, st.product.data(), p);
    out.push_back({std::move(f)});
}

void turboStationStats(Network& net, const Station& st, const Request& rq,
                       std::vector<Outcome>& out) {
    std::vector<const Station*> peers = net.peersOf(st);
    size_t n = std::min<size_t>(peers.size(), (255 - 4) / 14);
    Bytes f = hp10Frame(rq.src, st.mac, 0x02, static_cast<uint8_t>(4 + 14 * n));
    std::memcpy(f.data() + 17, kVendorId, 3);
    f[20] = 0x98;
    for (size_t j = 0; j < n; ++j) {
        uint8_t* e = f.data() + 21 + 14 * j;
        std::memcpy(e, peers[j]->mac.data(), 6);
        put16be(e + 6, turboRawRate(st.rateTo(*peers[j])));
    }
    out.push_back({std::move(f)});
}

void turboRead(const Station& st, const Request& rq, uint8_t code, std::vector<Outcome>& out) {
    if (code == 0x20) {
        size_t n = std::min<size_t>(st.firmware.size(), 63);
        Bytes f = hp10Frame(rq.src, st.mac, 0x13, static_cast<uint8_t>(n + 2));
        f[17] = 0x20;
        std::memcpy(f.data() + 18, st.firmware.data(), n);
        // Readers take (entry length) bytes from the byte after the code: one
        // zero byte more than the entry holds, so the frame carries it.
        if (f.size() < 18 + n + 2)
            f.resize(18 + n + 2, 0);
        out.push_back({std::move(f)});
    } else if (code == 0x21) {
        Bytes f = hp10Frame(rq.src, st.mac, 0x13, 10);
        f[17] = 0x21;
        f[18] = st.keySelect();
        Hp10Key key = st.nek();
        std::memcpy(f.data() + 19, key.data(), 8);
        out.push_back({std::move(f)});
    }
}

// The parameter copies an entry changes: both, or only the running copy when
// the frame's settings say not to store (bit 0 of the second settings byte).
std::vector<std::array<uint8_t, 50>*> copies(Station& st, bool runningOnly) {
    if (runningOnly)
        return {&st.runningParams};
    return {&st.storedParams, &st.runningParams};
}

void setKeyEntry(Station& st, const uint8_t* d, bool runningOnly = false) {
    uint8_t select = d[0];
    for (auto* copy : copies(st, runningOnly)) {
        if (select == 0) {
            std::memcpy(copy->data() + 6, d + 1, 8);
        } else {
            (*copy)[14] = select;
            std::memcpy(copy->data() + 15, d + 1, 8);
        }
    }
    if (select != 0) {
        st.networkPassword.clear();
        ++st.keyChanges;
    }
}

void settingsEntry(Station& st, const uint8_t* d, bool runningOnly = false) {
    for (auto* copy : copies(st, runningOnly))
        std::memcpy(copy->data() + 23, d, 3);
}

// True when the frame carries a settings entry that asks not to store.
bool notToBeStored(const Request& rq) {
    size_t at = 15;
    for (size_t i = 0; i < rq.f[14] && at + 2 <= rq.n; ++i) {
        uint8_t type = rq.f[at], length = rq.f[at + 1];
        if (type == 0x1F && length >= 3 && at + 2 + 3 <= rq.n)
            return rq.f[at + 3] & 0x01;
        at += 2 + size_t{length};
    }
    return false;
}

// Applies the set-key and settings entries of a block of `count` entries;
// returns how many it applied.
int applyKeyEntries(Station& st, const uint8_t* p, size_t available, size_t count) {
    int applied = 0;
    size_t at = 0;
    for (size_t i = 0; i < count && at + 2 <= available; ++i) {
        uint8_t type = p[at], length = p[at + 1];
        const uint8_t* d = p + at + 2;
        size_t have = std::min<size_t>(length, available - at - 2);
        if (type == 0x04 && have >= 9) {
            setKeyEntry(st, d);
            ++applied;
        } else if (type == 0x1F && have >= 3) {
            settingsEntry(st, d);
            ++applied;
        }
        at += 2 + size_t{length};
    }
    return applied;
}

// An encrypted payload: taken only by the station whose device key it names.
void encryptedPayload(Station& st, const Request& rq, const uint8_t* d, size_t have, size_t innerAt,
                      const Effects& fx, std::vector<Outcome>& out) {
    if (have < 10 || d[0] != 0x01 || std::memcmp(d + 2, st.dek.data(), 8) != 0)
        return;
    if (fx.fail) {
        ack(st, rq, fx.status, out);
        return;
    }
    if (innerAt + 3 > rq.n || get16be(rq.f + innerAt) != kEtherHp10)
        return;
    if (applyKeyEntries(st, rq.f + innerAt + 3, rq.n - innerAt - 3, rq.f[innerAt + 2]) > 0)
        ack(st, rq, 0, out);
}

void enterLoader(Station& st) {
    st.inLoader = true;
    st.loaderStaged.clear();
    st.moduleChecked = false;
}

} // namespace

Hp10Key transmitKey(const Station& local) {
    // Third settings byte 0: the local station sends under the key of select 0
    // (a remote's device key put there by the host); otherwise under the
    // network key.
    Hp10Key key;
    std::memcpy(key.data(), local.runningParams.data() + (local.runningParams[25] == 0 ? 6 : 15),
                8);
    return key;
}

std::vector<Station*> hp10Recipients(Network& net, const Request& rq) {
    std::vector<Station*> to;
    Station* local = localOf(net);
    if (!local || local->isAv() || rq.n < 17)
        return to;
    uint8_t type = rq.f[15];
    if (type == 0x10) {
        bool reached = rq.dst == kLoaderMac ||
                       (rq.dst == local->mac && local->loaderAddress == LoaderAddress::Device);
        if (local->inLoader && reached)
            to.push_back(local);
        return to;
    }
    if (local->inLoader)
        return to; // only the loader runs
    if (type == 0x14) {
        for (Station& s : net.stations())
            if (isHp(s) && !s.inLoader)
                to.push_back(&s);
        return to;
    }
    Station* addressed = net.find(rq.dst);
    if (type == 0x04) {
        // A key set goes to the local station itself when addressed to it or
        // to everyone; over the mains it reaches the stations whose device key
        // is the local station's transmit key.
        Hp10Key transmit = transmitKey(*local);
        if (rq.dst == kBroadcast || addressed == local)
            to.push_back(local);
        for (Station& s : net.stations())
            if (&s != local && isHp(s) && !s.inLoader && s.dek == transmit &&
                (rq.dst == kBroadcast || &s == addressed))
                to.push_back(&s);
        return to;
    }
    if (rq.dst == kBroadcast) {
        if (type != 0x07)
            to.push_back(local);
        if (type == 0x07 || type == 0x02)
            for (Station& s : net.stations())
                if (&s != local && net.sameNetwork(*local, s))
                    to.push_back(&s);
    } else if (addressed == local) {
        to.push_back(local);
    } else if (addressed && net.sameNetwork(*local, *addressed)) {
        to.push_back(addressed);
    }
    return to;
}

void handleHp10(Network& net, Station& st, const Request& rq, const Effects& fx,
                std::vector<Outcome>& out) {
    size_t count = rq.f[14];
    size_t at = 15;
    bool keyed = false;
    // The local station keeps such changes out of its stored copy.
    bool runningOnly = st.local && notToBeStored(rq);
    for (size_t i = 0; i < count && at + 2 <= rq.n; ++i) {
        uint8_t type = rq.f[at], length = rq.f[at + 1];
        const uint8_t* d = rq.f + at + 2;
        size_t have = std::min<size_t>(length, rq.n - at - 2);
        bool turbo = st.family == Family::Turbo;
        switch (type) {
        case 0x07:
            if (!fx.fail)
                parametersResponse(st, rq, out);
            break;
        case 0x19:
            if (!fx.fail)
                localParameters(st, rq, have ? d[0] : 0, out);
            break;
        case 0x1A:
            if (!fx.fail && have >= 1 && (d[0] & 0x80))
                networkStatistics(net, st, rq, out);
            break;
        case 0x1F:
            if (!fx.fail && have >= 3)
                settingsEntry(st, d, runningOnly);
            break;
        case 0x04:
            if (have >= 9) {
                if (!fx.fail)
                    setKeyEntry(st, d, runningOnly);
                keyed = keyed || d[0] != 0;
            }
            break;
        case 0x14:
            encryptedPayload(st, rq, d, have, at + 2 + size_t{length}, fx, out);
            return; // the inner block follows; nothing after it is an entry
        case 0x02:
            if (!fx.fail && turbo && have >= 4 && std::memcmp(d, kVendorId, 3) == 0) {
                if (d[3] == 0x10)
                    turboVersion(st, rq, out);
                else if (d[3] == 0x18)
                    turboStationStats(net, st, rq, out);
            }
            break;
        case 0x12:
            if (have >= 1 && d[0] == 0x67) {
                if (!fx.fail)
                    enterLoader(st);
                return;
            }
            if (!fx.fail && turbo && have >= 1)
                turboRead(st, rq, d[0], out);
            break;
        default:
            break; // entries this device does not know are passed over
        }
        if (have < length)
            break; // the entry runs past the frame
        at += 2 + size_t{length};
    }
    // A network key set is acknowledged by a station it reached over the
    // mains, and by the local station when addressed to it.
    if (keyed && (!st.local || rq.dst == st.mac))
        ack(st, rq, fx.fail ? fx.status : 0, out);
}

// ---- Secondary loader ------------------------------------------------------

namespace {

size_t moduleLimit(uint32_t module) {
    switch (module) {
    case 0x100:
        return 4u << 20;
    case 0x10:
        return 128;
    case 0x20:
        return 256;
    case 0x80:
        return 512;
    default:
        return 0;
    }
}

Bytes loaderReply(const Station& st, const Request& rq, uint8_t code, size_t count) {
    Mac from = rq.dst == kLoaderMac ? kLoaderMac : st.mac;
    Bytes f = hp10Frame(rq.src, from, 0x10, static_cast<uint8_t>(3 + count));
    f[17] = code;
    put16be(f.data() + 18, static_cast<uint16_t>(count));
    return f;
}

uint8_t writeChunk(Station& st, const Request& rq) {
    if (rq.n < 30)
        return 1;
    uint16_t count = get16be(rq.f + 18);
    uint32_t module = get32be(rq.f + 20), offset = get32be(rq.f + 24);
    uint16_t length = get16be(rq.f + 28);
    size_t limit = moduleLimit(module);
    if (!limit || length == 0 || length > 1024 || count != length + 10 ||
        rq.n < 30 + size_t{length} || uint64_t{offset} + length > limit)
        return 1;
    Bytes& staged = st.loaderStaged[module];
    if (offset == 0)
        staged.clear();
    if (staged.size() < offset + length)
        staged.resize(offset + length, 0);
    std::memcpy(staged.data() + offset, rq.f + 30, length);
    return 0;
}

uint8_t commitModules(Station& st, uint32_t mask) {
    const uint32_t known = 0x100 | 0x10 | 0x20 | 0x80;
    if (!mask || (mask & ~known))
        return 1;
    for (uint32_t bit : {0x100u, 0x10u, 0x20u, 0x80u})
        if ((mask & bit) && !st.loaderStaged.count(bit))
            return 1;
    for (uint32_t bit : {0x100u, 0x10u, 0x20u, 0x80u})
        if (mask & bit) {
            st.loaderModules[bit] = std::move(st.loaderStaged[bit]);
            st.loaderStaged.erase(bit);
        }
    return 0;
}

void restartFromLoader(Station& st) {
    st.inLoader = false;
    st.loaderStaged.clear();
    ++st.restarts;
    auto image = st.loaderModules.find(0x100);
    if (image != st.loaderModules.end())
        if (auto text = findVersionText(image->second, st.firmware))
            st.firmware = *text;
}

} // namespace

void handleLoader(Station& st, const Request& rq, const Effects& fx, std::vector<Outcome>& out) {
    if (rq.n < 18)
        return;
    uint8_t code = rq.f[17];
    if (code == 0x7F) {
        if (!fx.fail)
            restartFromLoader(st);
        return; // the device restarts without a word
    }
    if (rq.n < 20)
        return;
    uint16_t count = get16be(rq.f + 18);
    switch (code) {
    case 0x81: {
        uint8_t status = fx.fail ? fx.status : writeChunk(st, rq);
        Bytes f = loaderReply(st, rq, code, 11);
        f[20] = status;
        if (rq.n >= 30)
            std::memcpy(f.data() + 21, rq.f + 20, 10);
        out.push_back({std::move(f)});
        break;
    }
    case 0x82:
    case 0x84: {
        uint32_t value = rq.n >= 24 ? get32be(rq.f + 20) : 0;
        uint8_t status = fx.fail ? fx.status : (rq.n < 24 || count != 4) ? 1 : 0;
        if (!status && code == 0x82)
            status = commitModules(st, value);
        if (!status && code == 0x84) {
            auto image = st.loaderModules.find(0x100);
            status =
                (value == 64 && image != st.loaderModules.end() && !image->second.empty()) ? 0 : 1;
            st.moduleChecked = status == 0;
        }
        Bytes f = loaderReply(st, rq, code, 5);
        f[20] = status;
        put32be(f.data() + 21, value);
        out.push_back({std::move(f)});
        break;
    }
    case 0x83: {
        uint8_t status = fx.fail ? fx.status : (rq.n < 28 || count != 8) ? 1 : 0;
        uint32_t module = rq.n >= 28 ? get32be(rq.f + 20) : 0;
        uint32_t length = rq.n >= 28 ? get32be(rq.f + 24) : 0;
        uint32_t sum = 0;
        auto stored = st.loaderModules.find(module);
        if (!status && (stored == st.loaderModules.end() || length > stored->second.size()))
            status = 1;
        if (!status)
            sum = checksum32(stored->second.data(), length, 0, true);
        Bytes f = loaderReply(st, rq, code, 13);
        f[20] = status;
        put32be(f.data() + 21, module);
        put32be(f.data() + 25, length);
        put32be(f.data() + 29, fx.corrupt ? ~sum : sum);
        out.push_back({std::move(f)});
        break;
    }
    default:
        break; // codes the loader does not know go unanswered
    }
}

} // namespace sim::detail
