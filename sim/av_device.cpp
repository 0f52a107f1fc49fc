// What a HomePlug AV station answers: version, network information, factory
// defaults, configuration block, set key, module read, module write + commit,
// memory write + start.
#include <algorithm>

#include "sim/internal.h"

namespace sim::detail {

namespace {

constexpr size_t kMaxFirmware = 4u << 20;
constexpr size_t kMaxParameterBlock = 16384;

Bytes reply(const Station& from, const Request& rq, uint16_t mmtype, size_t payload) {
    return avFrame(rq.src, from.mac, mmtype, payload);
}

// A confirmation carrying only a status byte.
void statusOnly(const Station& st, const Request& rq, uint16_t mmtype, uint8_t status,
                std::vector<Outcome>& out) {
    Bytes f = reply(st, rq, mmtype, 1);
    f[20] = status;
    out.push_back({std::move(f)});
}

void onVersion(Station& st, const Request& rq, const Effects& fx, std::vector<Outcome>& out) {
    Bytes f = reply(st, rq, 0xA001, 68); // 88 bytes
    if (fx.fail) {
        f[20] = fx.status;
    } else {
        size_t n = std::min<size_t>(st.firmware.size(), 64);
        f[21] = st.chip;
        f[22] = static_cast<uint8_t>(n);
        std::memcpy(f.data() + 23, st.firmware.data(), n);
    }
    out.push_back({std::move(f)});
}

// The station's view of its network: one network entry, then 15 bytes per
// other station: MAC, TEI, bridged MAC, rate towards it, rate from it.
void onNetworkInfo(Network& net, Station& st, const Request& rq, const Effects& fx,
                   std::vector<Outcome>& out) {
    std::vector<const Station*> peers;
    if (!fx.fail)
        peers = net.peersOf(st);
    size_t count = std::min<size_t>(peers.size(), (kMaxFrame - 39) / 15);
    Bytes f = reply(st, rq, 0xA039, 19 + 15 * count);
    uint8_t* p = f.data();
    p[20] = fx.fail ? 0 : 1; // networks
    if (!fx.fail) {
        // Network id: the network key folded into seven bytes.
        for (size_t i = 0; i < 16; ++i)
            p[21 + i % 7] ^= st.nmk[i];
        p[27] &= 0x0F;
        p[28] = static_cast<uint8_t>(st.nmk[0] & 0x0F); // short network id
        p[29] = static_cast<uint8_t>(st.tei);
        const Station* cco = &st;
        for (const Station* peer : peers)
            if (peer->tei < cco->tei)
                cco = peer;
        p[30] = cco == &st ? 2 : 0; // role: 2 coordinator, 0 station
        std::memcpy(p + 31, cco->mac.data(), 6);
        p[37] = static_cast<uint8_t>(cco->tei);
    }
    p[38] = static_cast<uint8_t>(count);
    for (size_t i = 0; i < count; ++i) {
        uint8_t* e = p + 39 + 15 * i;
        const Station& peer = *peers[i];
        std::memcpy(e, peer.mac.data(), 6);
        e[6] = static_cast<uint8_t>(peer.tei);
        e[13] = avRateByte(st.rateTo(peer));
        e[14] = avRateByte(peer.rateTo(st));
    }
    out.push_back({std::move(f)});
}

void onFactoryDefaults(Station& st, const Request& rq, const Effects& fx,
                       std::vector<Outcome>& out) {
    statusOnly(st, rq, 0xA07D, fx.fail ? fx.status : 0, out);
    if (fx.fail)
        return;
    st.pib = st.factoryPib;
    st.nmk = defaultNmk();
    st.networkPassword = kDefaultAvPassword;
    st.stagedModules.clear();
    st.memory.clear();
    ++st.factoryResets;
}

void onConfigBlock(Station& st, const Request& rq, const Effects& fx, std::vector<Outcome>& out) {
    size_t n = fx.fail ? 0 : std::min<size_t>(st.configData.size(), 255);
    Bytes f = reply(st, rq, 0xA059, 2 + n);
    f[20] = fx.fail ? fx.status : st.configMode;
    f[21] = static_cast<uint8_t>(n);
    if (n)
        std::memcpy(f.data() + 22, st.configData.data(), n);
    out.push_back({std::move(f)});
}

// Selector 0x0F: the addressed station takes the key. Selector 0x00: it hands
// the key on to the station(s) named, which take it only under their own DAK;
// those answer. When no station took it, the addressed station reports failure.
void onSetKey(Network& net, Station& st, const Request& rq, const Effects& fx,
              std::vector<Outcome>& out) {
    if (fx.fail || rq.n < 60 || rq.f[20] != 0x01) {
        statusOnly(st, rq, 0xA051, fx.fail ? fx.status : 1, out);
        return;
    }
    AvKey key, dak;
    std::memcpy(key.data(), rq.f + 21, 16);
    uint8_t selector = rq.f[37];
    Mac target = macAt(rq.f + 38);
    std::memcpy(dak.data(), rq.f + 44, 16);
    if (selector == 0x0F) {
        statusOnly(st, rq, 0xA051, 0, out);
        st.setNmk(key);
        st.networkPassword.clear();
        ++st.keyChanges;
        return;
    }
    if (selector != 0x00) {
        statusOnly(st, rq, 0xA051, 1, out);
        return;
    }
    bool taken = false;
    for (Station& s : net.stations()) {
        if (!s.isAv() || (target != kBroadcast && s.mac != target) || s.dak != dak)
            continue;
        statusOnly(s, rq, 0xA051, 0, out);
        s.setNmk(key);
        s.networkPassword.clear();
        ++s.keyChanges;
        taken = true;
    }
    if (!taken)
        statusOnly(st, rq, 0xA051, 1, out);
}

const Bytes* moduleOf(const Station& st, uint8_t module) {
    if (module == 1)
        return &st.nvm;
    if (module == 2)
        return &st.pib;
    return nullptr;
}

void onReadModule(Station& st, const Request& rq, const Effects& fx, std::vector<Outcome>& out) {
    if (rq.n < 28) {
        statusOnly(st, rq, 0xA025, 1, out);
        return;
    }
    uint8_t module = rq.f[20];
    uint16_t length = get16le(rq.f + 22);
    uint32_t offset = get32le(rq.f + 24);
    const Bytes* data = moduleOf(st, module);
    uint8_t status = fx.fail ? fx.status : 0;
    if (!status && (!data || length == 0 || length > 1024 || offset >= data->size()))
        status = 1;
    size_t n = status ? 0 : std::min<size_t>(length, data->size() - offset);
    Bytes f = reply(st, rq, 0xA025, 16 + n);
    f[20] = status;
    f[24] = module;
    put16le(f.data() + 26, static_cast<uint16_t>(n));
    put32le(f.data() + 28, offset);
    if (n) {
        std::memcpy(f.data() + 36, data->data() + offset, n);
        uint32_t sum = checksum32(f.data() + 36, n);
        put32le(f.data() + 32, fx.corrupt ? sum ^ 0x5A5A5A5A : sum);
    }
    out.push_back({std::move(f)});
}

void onWriteModule(Station& st, const Request& rq, const Effects& fx, std::vector<Outcome>& out) {
    uint8_t status = fx.fail ? fx.status : 0;
    uint8_t module = rq.n > 20 ? rq.f[20] : 0;
    uint16_t length = rq.n >= 24 ? get16le(rq.f + 22) : 0;
    uint32_t offset = rq.n >= 28 ? get32le(rq.f + 24) : 0;
    size_t limit = module == 1 ? kMaxFirmware : kMaxParameterBlock;
    if (!status &&
        (rq.n < 32 || (module != 1 && module != 2) || length == 0 || length > 1024 ||
         rq.n < 32 + static_cast<size_t>(length) || static_cast<uint64_t>(offset) + length > limit))
        status = 1;
    if (!status && checksum32(rq.f + 32, length, get32le(rq.f + 28)) != 0)
        status = 1; // the block does not match its checksum
    if (!status) {
        Bytes& staged = st.stagedModules[module];
        if (offset == 0) {
            staged.clear();
            // Room for the largest module at once: growing the buffer block by
            // block copied it whole at every doubling, a millisecond late
            // answer now and then in the middle of a transfer. Reserved pages
            // are only touched as blocks arrive.
            staged.reserve(limit);
        }
        if (staged.size() < offset + length)
            staged.resize(offset + length, 0);
        std::memcpy(staged.data() + offset, rq.f + 32, length);
    }
    Bytes f = reply(st, rq, 0xA021, 9);
    f[20] = status;
    f[21] = module;
    put16le(f.data() + 23, length);
    put32le(f.data() + 25, offset);
    out.push_back({std::move(f)});
}

// Takes a new parameter block: it must carry a matching checksum.
bool takeParameterBlock(Station& st, const Bytes& pib) {
    if (!pibChecksumValid(pib) || pib.size() < 116)
        return false;
    st.pib = pib;
    std::memcpy(st.nmk.data(), pib.data() + 100, 16);
    st.networkPassword.clear();
    return true;
}

void takeFirmwareText(Station& st, const Bytes& image) {
    if (auto text = findVersionText(image, st.firmware))
        st.firmware = *text;
}

void onCommit(Station& st, const Request& rq, const Effects& fx, std::vector<Outcome>& out) {
    uint8_t mask = rq.n > 20 ? rq.f[20] : 0;
    uint8_t status = fx.fail ? fx.status : 0;
    bool firmware = mask & 0x01, parameters = mask & 0x02;
    if (!status && ((mask & ~0x13) || !(firmware || parameters)))
        status = 1;
    if (!status && firmware && (!st.stagedModules.count(1) || !nvmChainValid(st.stagedModules[1])))
        status = 1;
    if (!status && parameters &&
        (!st.stagedModules.count(2) || !pibChecksumValid(st.stagedModules[2])))
        status = 1;
    if (!status) {
        if (parameters)
            takeParameterBlock(st, st.stagedModules[2]);
        if (firmware) {
            st.nvm = st.stagedModules[1];
            takeFirmwareText(st, st.nvm);
        }
        st.stagedModules.clear();
        ++st.commits;
    }
    Bytes f = reply(st, rq, 0xA029, 2);
    f[20] = status;
    f[21] = mask;
    out.push_back({std::move(f)});
}

void onWriteMemory(Station& st, const Request& rq, const Effects& fx, std::vector<Outcome>& out) {
    uint8_t status = fx.fail ? fx.status : 0;
    uint32_t address = rq.n >= 24 ? get32le(rq.f + 20) : 0;
    uint32_t length = rq.n >= 28 ? get32le(rq.f + 24) : 0;
    if (!status && (rq.n < 28 || length == 0 || length > 1024 || rq.n < 28 + size_t{length}))
        status = 1;
    if (!status)
        st.memory[address] = Bytes(rq.f + 28, rq.f + 28 + length);
    Bytes f = reply(st, rq, 0xA005, 9);
    f[20] = status;
    put32le(f.data() + 21, address);
    put32le(f.data() + 25, length);
    out.push_back({std::move(f)});
}

// Assembles [address, address + length) from the blocks written to memory;
// false when some byte of it was never written.
bool readMemory(const Station& st, uint32_t address, uint32_t length, Bytes& out) {
    if (length == 0 || length > kMaxFirmware)
        return false;
    out.assign(length, 0);
    std::vector<bool> have(length, false);
    uint64_t end = uint64_t{address} + length;
    for (const auto& [at, block] : st.memory) {
        uint64_t blockEnd = uint64_t{at} + block.size();
        uint64_t from = std::max<uint64_t>(at, address), to = std::min(blockEnd, end);
        for (uint64_t a = from; a < to; ++a) {
            out[a - address] = block[a - at];
            have[a - address] = true;
        }
    }
    return std::all_of(have.begin(), have.end(), [](bool b) { return b; });
}

void onStart(Station& st, const Request& rq, const Effects& fx, std::vector<Outcome>& out) {
    uint8_t status = fx.fail ? fx.status : (rq.n < 40 ? 1 : 0);
    Started run;
    Bytes pib, image;
    bool pibInMemory = false, imageInMemory = false;
    if (!status) {
        run.loadAddress = get32le(rq.f + 24);
        run.length = get32le(rq.f + 28);
        run.word3 = get32le(rq.f + 32);
        run.word4 = get32le(rq.f + 36);
        Bytes head;
        if (readMemory(st, kPibLoadAddress, 12, head)) {
            pibInMemory = true;
            uint16_t length = get16le(head.data() + 4);
            if (!readMemory(st, kPibLoadAddress, length, pib) || !pibChecksumValid(pib))
                status = 1;
        }
        imageInMemory = readMemory(st, run.loadAddress, run.length, image);
        bool staged = st.stagedModules.count(1) || st.stagedModules.count(2);
        if (!imageInMemory && !staged)
            status = 1; // nothing to run
        if (st.stagedModules.count(1) && !nvmChainValid(st.stagedModules[1]))
            status = 1;
        if (st.stagedModules.count(2) && !pibChecksumValid(st.stagedModules[2]))
            status = 1;
    }
    if (!status) {
        if (st.stagedModules.count(2))
            takeParameterBlock(st, st.stagedModules[2]);
        if (st.stagedModules.count(1)) {
            st.nvm = st.stagedModules[1];
            takeFirmwareText(st, st.nvm);
        }
        if (pibInMemory)
            takeParameterBlock(st, pib);
        if (imageInMemory) {
            run.image = std::move(image);
            takeFirmwareText(st, run.image);
        }
        st.started = std::move(run);
        st.stagedModules.clear();
        st.memory.clear();
        ++st.starts;
    }
    statusOnly(st, rq, 0xA00D, status, out);
}

} // namespace

std::vector<Station*> avRecipients(Network& net, const Request& rq) {
    std::vector<Station*> to;
    if (rq.n < 20 || rq.f[14] != 0x00 || rq.f[17] != 0x00 || rq.f[18] != 0xB0 || rq.f[19] != 0x52)
        return to;
    if (get16le(rq.f + 15) & 0x3) // confirmations and indications are not requests
        return to;
    Station* local = nullptr;
    for (Station& s : net.stations())
        if (s.local)
            local = &s;
    if (!local || !local->isAv())
        return to; // no HomePlug AV device on this segment
    if (rq.dst == kLocalManagementMac || rq.dst == local->mac) {
        to.push_back(local);
    } else if (rq.dst == kBroadcast) {
        to.push_back(local);
        for (Station& s : net.stations())
            if (&s != local && net.sameNetwork(*local, s))
                to.push_back(&s);
    } else if (Station* s = net.find(rq.dst); s && net.sameNetwork(*local, *s)) {
        to.push_back(s);
    }
    return to;
}

void handleAv(Network& net, Station& st, const Request& rq, const Effects& fx,
              std::vector<Outcome>& out) {
    switch (get16le(rq.f + 15)) {
    case 0xA000:
        return onVersion(st, rq, fx, out);
    case 0xA038:
        return onNetworkInfo(net, st, rq, fx, out);
    case 0xA07C:
        return onFactoryDefaults(st, rq, fx, out);
    case 0xA058:
        return onConfigBlock(st, rq, fx, out);
    case 0xA050:
        return onSetKey(net, st, rq, fx, out);
    case 0xA024:
        return onReadModule(st, rq, fx, out);
    case 0xA020:
        return onWriteModule(st, rq, fx, out);
    case 0xA028:
        return onCommit(st, rq, fx, out);
    case 0xA004:
        return onWriteMemory(st, rq, fx, out);
    case 0xA00C:
        return onStart(st, rq, fx, out);
    default:
        return; // requests this device does not know go unanswered
    }
}

} // namespace sim::detail
