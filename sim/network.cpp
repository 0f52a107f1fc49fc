// The network model: stations, who hears whom, and the path of one received
// frame through the recipients, their handlers and the injected faults.
#include "sim/network.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "packet/memory_wire.h"
#include "security/keys.h"
#include "sim/internal.h"

namespace sim {

using namespace detail;

const Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const Mac kLocalManagementMac = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x01};
const Mac kLoaderMac = {0x00, 0x04, 0x87, 0xFE, 0x11, 0x00};
const Mac kStrayMac = {0x02, 0x00, 0x00, 0x5A, 0x5A, 0xEE};
const char kDefaultAvPassword[] = "HomePlugAV";
const char kDefaultHp10Password[] = "HomePlug";

Mac parseMac(std::string_view text) {
    Mac mac{};
    if (text.size() != 17)
        throw ScenarioError("not a MAC address: \"" + std::string(text) + "\"");
    for (size_t i = 0; i < 6; ++i) {
        unsigned value = 0;
        for (size_t k = 0; k < 2; ++k) {
            char c = text[i * 3 + k];
            int digit = (c >= '0' && c <= '9')   ? c - '0'
                        : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                        : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                 : -1;
            if (digit < 0)
                throw ScenarioError("not a MAC address: \"" + std::string(text) + "\"");
            value = value * 16 + static_cast<unsigned>(digit);
        }
        if (i < 5 && text[i * 3 + 2] != ':' && text[i * 3 + 2] != '-')
            throw ScenarioError("not a MAC address: \"" + std::string(text) + "\"");
        mac[i] = static_cast<uint8_t>(value);
    }
    return mac;
}

std::string formatMac(const Mac& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

const char* familyName(Family family) {
    switch (family) {
    case Family::Av:
        return "av";
    case Family::Hp10:
        return "hp10";
    case Family::Turbo:
        return "turbo";
    }
    return "?";
}

AvKey dakOf(const std::string& password) {
    return dakFromPassword(password.c_str());
}
AvKey nmkOf(const std::string& password) {
    return nmkFromPassword(password.c_str());
}
Hp10Key hp10KeyOf(const std::string& password) {
    return hp10KeyFromPassword(password.c_str());
}
const AvKey& defaultNmk() {
    static const AvKey key = nmkOf(kDefaultAvPassword);
    return key;
}
const Hp10Key& defaultNek() {
    static const Hp10Key key = hp10KeyOf(kDefaultHp10Password);
    return key;
}

uint32_t checksum32(const uint8_t* data, size_t length, uint32_t initial, bool padTail) {
    uint32_t x = initial;
    size_t words = length / 4;
    for (size_t i = 0; i < words; ++i)
        x ^= get32le(data + 4 * i);
    if (padTail && length % 4) {
        uint8_t tail[4] = {0, 0, 0, 0};
        std::memcpy(tail, data + 4 * words, length % 4);
        x ^= get32le(tail);
    }
    return ~x;
}

// ---- Station ---------------------------------------------------------------

namespace {

Station baseStation(Family family, std::string_view mac) {
    Station s;
    s.family = family;
    s.mac = parseMac(mac);
    s.devicePassword = defaultDevicePassword(s.mac);
    if (family == Family::Av) {
        s.dak = dakOf(s.devicePassword);
        s.networkPassword = kDefaultAvPassword;
        s.nmk = defaultNmk();
        s.firmware = "KARSA01-MAC-3-1";
        s.rate = 150;
    } else {
        s.dek = hp10KeyOf(s.devicePassword);
        s.networkPassword = kDefaultHp10Password;
        s.firmware = family == Family::Turbo ? "TURBO-MAC-0001-3-1" : "HP10-MAC-0001-3-1";
        s.rate = family == Family::Turbo ? 85 : 14;
        s.storedParams = makeHp10Params(s, defaultNek());
        s.runningParams = s.storedParams;
    }
    return s;
}

} // namespace

Station Station::av(std::string_view mac) {
    return baseStation(Family::Av, mac);
}
Station Station::hp10(std::string_view mac) {
    return baseStation(Family::Hp10, mac);
}
Station Station::turbo(std::string_view mac) {
    return baseStation(Family::Turbo, mac);
}

Hp10Key Station::nek() const {
    Hp10Key key;
    std::memcpy(key.data(), runningParams.data() + 15, 8);
    return key;
}

void Station::setNmk(const AvKey& key) {
    nmk = key;
    pibSetNmk(pib, key);
}

void Station::setNek(const Hp10Key& key, uint8_t select) {
    for (auto* copy : {&storedParams, &runningParams}) {
        (*copy)[14] = select;
        std::memcpy(copy->data() + 15, key.data(), 8);
    }
}

void Station::setDevicePassword(const std::string& password) {
    devicePassword = password;
    if (isAv()) {
        dak = dakOf(password);
    } else {
        Hp10Key old = dek;
        dek = hp10KeyOf(password);
        // The key slot for select 0 starts out as the device's own key.
        for (auto* copy : {&storedParams, &runningParams})
            if (std::memcmp(copy->data() + 6, old.data(), 8) == 0)
                std::memcpy(copy->data() + 6, dek.data(), 8);
    }
}

void Station::setNetworkPassword(const std::string& password) {
    networkPassword = password;
    if (isAv())
        setNmk(nmkOf(password));
    else
        setNek(hp10KeyOf(password), keySelect() ? keySelect() : 1);
}

uint8_t Station::reportedClass() const {
    if (deviceClass)
        return deviceClass;
    return family == Family::Turbo ? 2 : 3;
}

uint32_t Station::rateTo(const Station& peer) const {
    if (auto own = view.find(peer.mac); own != view.end())
        return own->second;
    auto it = rates.find(peer.mac);
    if (it != rates.end())
        return it->second;
    auto back = peer.rates.find(mac);
    if (back != peer.rates.end())
        return back->second;
    return std::min(rate, peer.rate);
}

// ---- Network ---------------------------------------------------------------

namespace {

// Which network serves which port of which wire. A wire takes one send
// handler, so every attached network of a wire shares one dispatcher.
std::map<MemoryWire*, std::map<int, Network*>>& wireHubs() {
    static std::map<MemoryWire*, std::map<int, Network*>> hubs;
    return hubs;
}

} // namespace

void resetEmulator() {
    wireHubs().clear();
}

Network::Network(Network&& other) noexcept {
    *this = std::move(other);
}

Network& Network::operator=(Network&& other) noexcept {
    if (this == &other)
        return *this;
    detach();
    stations_ = std::move(other.stations_);
    faults_ = std::move(other.faults_);
    log_ = std::move(other.log_);
    answered_ = other.answered_;
    latencyMs = other.latencyMs;
    onLog = std::move(other.onLog);
    if (other.wire_) {
        MemoryWire* wire = other.wire_;
        int port = other.port_;
        other.detach();
        attach(*wire, port);
    }
    return *this;
}

Network::~Network() {
    detach();
}

Station& Network::addStation(Station station) {
    if (station.mac[0] & 1)
        throw ScenarioError("station " + formatMac(station.mac) + ": a group address");
    if (station.mac == kLocalManagementMac || station.mac == kLoaderMac)
        throw ScenarioError("station " + formatMac(station.mac) + ": a reserved address");
    if (find(station.mac))
        throw ScenarioError("station " + formatMac(station.mac) + " is listed twice");
    if (station.local)
        for (const Station& s : stations_)
            if (s.local)
                throw ScenarioError("stations " + formatMac(s.mac) + " and " +
                                    formatMac(station.mac) + " are both local");
    if (station.isAv()) {
        if (station.pib.empty())
            station.pib = makePib(station.mac, station.nmk);
        else if (station.pib.size() >= 116)
            std::memcpy(station.nmk.data(), station.pib.data() + 100, 16);
        if (station.nvm.empty())
            station.nvm = makeNvm(station.firmware);
        station.factoryPib = station.pib;
        pibSetNmk(station.factoryPib, defaultNmk());
    } else {
        if (!station.loaderModules.count(0x100))
            station.loaderModules[0x100] = makeHp10Image(station.firmware);
        for (uint32_t module : {0x10u, 0x20u, 0x80u})
            if (!station.loaderModules.count(module))
                station.loaderModules[module] = makeConfigSection(module, station.mac);
    }
    station.tei = static_cast<uint32_t>(stations_.size()) + 1;
    stations_.push_back(std::move(station));
    return stations_.back();
}

Station* Network::find(const Mac& mac) {
    for (Station& s : stations_)
        if (s.mac == mac)
            return &s;
    return nullptr;
}

Station& Network::station(std::string_view mac) {
    Station* s = find(parseMac(mac));
    if (!s)
        throw std::out_of_range("no station " + std::string(mac) + " in the scenario");
    return *s;
}

Station& Network::local() {
    for (Station& s : stations_)
        if (s.local)
            return s;
    throw std::logic_error("the scenario has no local station");
}

bool Network::sameNetwork(const Station& a, const Station& b) const {
    if (a.inLoader || b.inLoader)
        return false;
    if (a.isAv() != b.isAv())
        return false;
    return a.isAv() ? a.nmk == b.nmk : a.nek() == b.nek();
}

std::vector<const Station*> Network::peersOf(const Station& s) const {
    std::vector<const Station*> peers;
    for (const Station& p : stations_)
        if (&p != &s && sameNetwork(s, p))
            peers.push_back(&p);
    return peers;
}

void Network::addLog(std::string line) {
    if (onLog)
        onLog(line);
    // PLCSIM_TRACE=1 shows what the emulator answered, for a failing flow test.
    static const bool trace = [] {
        const char* v = std::getenv("PLCSIM_TRACE");
        return v && *v && *v != '0';
    }();
    if (trace)
        std::fprintf(stderr, "plcsim: %s\n", line.c_str());
    log_.push_back(std::move(line));
}

void Network::attach(MemoryWire& wire, int port) {
    detach();
    auto& hubs = wireHubs();
    hubs[&wire][port] = this;
    wire_ = &wire;
    port_ = port;
    MemoryWire* w = &wire;
    wire.setSendHandler([w](int p, const std::vector<uint8_t>& frame) {
        auto hub = wireHubs().find(w);
        if (hub == wireHubs().end())
            return;
        auto it = hub->second.find(p);
        if (it == hub->second.end())
            return;
        for (Answer& a : it->second->handle(frame.data(), frame.size()))
            w->deliver(p, std::move(a.frame), w->now() + a.delayMs);
    });
}

void Network::detach() {
    if (!wire_)
        return;
    auto& hubs = wireHubs();
    auto hub = hubs.find(wire_);
    if (hub != hubs.end()) {
        auto it = hub->second.find(port_);
        if (it != hub->second.end() && it->second == this)
            hub->second.erase(it);
        if (hub->second.empty())
            hubs.erase(hub);
    }
    wire_ = nullptr;
    port_ = -1;
}

// ---- One received frame ----------------------------------------------------

namespace {

// The code a fault's `match` compares with.
uint32_t requestCode(const uint8_t* f, size_t n, uint16_t etherType) {
    if (etherType == kEtherAv)
        return n >= 17 ? get16le(f + 15) : 0xFFFFFFFF;
    if (n >= 18 && f[15] == 0x10)
        return 0x20000 | f[17];
    return n >= 16 ? (0x10000 | f[15]) : 0xFFFFFFFF;
}

std::string requestName(uint32_t code) {
    char text[32];
    if (code >= 0x20000 && code <= 0x2FFFF)
        std::snprintf(text, sizeof text, "loader 0x%02X", code & 0xFF);
    else if (code >= 0x10000 && code <= 0x1FFFF)
        std::snprintf(text, sizeof text, "hp10 0x%02X", code & 0xFF);
    else
        std::snprintf(text, sizeof text, "av 0x%04X", code & 0xFFFF);
    return text;
}

std::string answerName(const Bytes& f) {
    char text[32];
    if (f.size() >= 17 && f[12] == 0x88 && f[13] == 0xE1)
        std::snprintf(text, sizeof text, "0x%04X", get16le(f.data() + 15));
    else if (f.size() >= 16)
        std::snprintf(text, sizeof text, "entry 0x%02X", f[15]);
    else
        std::snprintf(text, sizeof text, "damaged frame");
    return text;
}

bool faultMatches(const Fault& f, uint32_t code) {
    return !f.match || *f.match == code;
}

// Counts the request against every fault that matches it and returns those
// whose turn it is.
std::vector<Fault*> activeFaults(std::vector<Fault>& stationFaults,
                                 std::vector<Fault>& networkFaults, uint32_t code) {
    std::vector<Fault*> active;
    for (auto* list : {&stationFaults, &networkFaults})
        for (Fault& f : *list) {
            if (!faultMatches(f, code))
                continue;
            ++f.seen;
            if (f.seen <= f.skip)
                continue;
            if (f.count >= 0 && f.applied >= static_cast<uint64_t>(f.count))
                continue;
            ++f.applied;
            active.push_back(&f);
        }
    return active;
}

bool has(const std::vector<Fault*>& faults, Fault::Kind kind) {
    return std::any_of(faults.begin(), faults.end(), [kind](Fault* f) { return f->kind == kind; });
}

void damage(Bytes& f, const std::string& how) {
    bool av = f.size() >= 14 && f[12] == 0x88 && f[13] == 0xE1;
    if (how == "truncate") {
        f.resize(std::min<size_t>(f.size(), 18));
    } else if (how == "oui") {
        if (f.size() >= 20)
            f[17] = f[18] = f[19] = 0x00;
        if (!av && f.size() >= 20)
            f[17] = 0xFF;
    } else if (how == "mmv") {
        if (f.size() > 14)
            f[14] = av ? 0x01 : 0x00;
    } else if (how == "ethertype") {
        if (f.size() >= 14) {
            f[12] = 0x08;
            f[13] = 0x00;
        }
    } else if (how == "count") {
        // The counts and lengths inside the answer claim far more than it holds.
        if (av && f.size() > 38) {
            uint16_t mmtype = get16le(f.data() + 15);
            if (mmtype == 0xA039)
                f[38] = 0xFF;
            else if (mmtype == 0xA025)
                put16le(f.data() + 26, 0xFFFF);
            else if (mmtype == 0xA001)
                f[22] = 0xFF;
            else if (mmtype == 0xA059)
                f[21] = 0xFF;
        } else if (av && f.size() > 22) {
            f[21] = f[22] = 0xFF;
        } else if (!av && f.size() > 14) {
            f[14] = 0xFF;
        }
    } else if (how == "length") {
        if (!av && f.size() > 16)
            f[16] = 0xFF;
        else if (av && f.size() > 22)
            f[21] = f[22] = 0xFF;
    }
}

// Frames that have nothing to do with the request: vendor messages nobody
// asked for, unknown entries, and traffic between other stations.
Bytes floodFrame(uint32_t i, const Mac& host) {
    const Mac stranger = {0x02, 0x00, 0x00, 0x5A, 0x5A, static_cast<uint8_t>(i)};
    const Mac other = {0x02, 0x00, 0x00, 0x77, 0x77, 0x77};
    switch (i % 3) {
    case 0: {
        Bytes f = avFrame(host, stranger, 0xA0FE, 40);
        f[20] = static_cast<uint8_t>(i);
        return f;
    }
    case 1: {
        Bytes f = hp10Frame(host, stranger, 0x33, 4);
        put32le(f.data() + 17, i);
        return f;
    }
    default:
        return avFrame(other, stranger, 0xA001, 70);
    }
}

// What the third station of a stray fault sends, given the real answer `answer`
// to a request from `host`.
Bytes strayFrame(const Bytes& answer, const Mac& host, const Fault& f) {
    if (f.how == "commit") {
        Bytes c = avFrame(host, kStrayMac, 0xA029, 2);
        c[21] = 0x03;
        return c;
    }
    if (f.how == "hostaction") {
        Bytes h = avFrame(kBroadcast, kStrayMac, 0xA062, 1);
        h[20] = 0x01;
        return h;
    }
    Bytes copy = answer;
    if (copy.size() >= 12)
        std::memcpy(copy.data() + 6, kStrayMac.data(), 6);
    if (f.how == "failure" && copy.size() > 20)
        copy[20] = f.status;
    return copy;
}

// The frames a forging station sends when the host sends `rq`: when the
// local station is asked (`localAsked`), its own answer as if it were the
// local station, and its markers.
struct Forged {
    std::vector<Bytes> answers;
    std::vector<Bytes> markers;
};

Forged forgedFrames(Network& net, const Station& forger, const Request& rq, uint16_t etherType,
                    bool localAsked) {
    Forged forged;
    std::vector<Bytes>& frames = forged.answers;
    bool sameFamily = (etherType == kEtherAv) == forger.isAv();
    bool loader = etherType == kEtherHp10 && rq.n >= 16 && rq.f[15] == 0x10;
    if (forger.forges.answers && localAsked && sameFamily && !loader) {
        if (etherType == kEtherAv && rq.n >= 17 && get16le(rq.f + 15) == 0xA050) {
            // A set-key confirmation of success; the forger takes no key.
            frames.push_back(avFrame(rq.src, forger.mac, 0xA051, 1));
        } else {
            Station liar = forger;
            liar.local = true;
            liar.faults.clear();
            Request asked = rq;
            if (asked.dst != kBroadcast)
                asked.dst = liar.mac;
            std::vector<Outcome> out;
            if (etherType == kEtherAv)
                handleAv(net, liar, asked, Effects{}, out);
            else
                handleHp10(net, liar, asked, Effects{}, out);
            for (Outcome& o : out)
                frames.push_back(std::move(o.frame));
        }
    }
    if (forger.forges.markers) {
        Bytes marker = hp10Frame(rq.src, forger.mac, 0x1E, 1);
        marker[17] = forger.reportedClass() & 0x7F;
        forged.markers.push_back(std::move(marker));
    }
    if (forger.forges.selfAddressed) {
        Bytes self = hp10Frame(forger.mac, forger.mac, 0x1A, 187);
        self[17] = forger.isAv() ? 3 : forger.reportedClass() & 0x7F;
        forged.markers.push_back(std::move(self));
    }
    return forged;
}

} // namespace

std::vector<Network::Answer> Network::handle(const uint8_t* frame, size_t length) {
    std::vector<Answer> answers;
    if (!frame || length < 14 || length > 65535)
        return answers;
    uint16_t etherType = get16be(frame + 12);
    if (etherType != kEtherAv && etherType != kEtherHp10)
        return answers;
    Request rq{frame, length, macAt(frame), macAt(frame + 6)};
    // Our own answers seen again on the wire are not requests. A host may use
    // the local station's MAC as its source for broadcasts (the local station
    // then answers itself), so only frames from a station to another address
    // count as echoes.
    if (rq.src == kLoaderMac || (find(rq.src) && rq.dst != kBroadcast && rq.dst != rq.src))
        return answers;
    if (std::getenv("PLCSIM_TRACE")) {
        std::string bytes;
        for (size_t i = 12; i < std::min<size_t>(length, 48); ++i) {
            char b[4];
            std::snprintf(b, sizeof b, "%02X ", frame[i]);
            bytes += b;
        }
        std::fprintf(stderr, "plcsim: got %s -> %s %s\n", formatMac(rq.src).c_str(),
                     formatMac(rq.dst).c_str(), bytes.c_str());
    }
    std::vector<Station*> recipients =
        etherType == kEtherAv ? avRecipients(*this, rq) : hp10Recipients(*this, rq);
    uint32_t code = requestCode(frame, length, etherType);
    const bool localAsked =
        std::any_of(recipients.begin(), recipients.end(), [](Station* s) { return s->local; });
    const Station* localStation = nullptr;
    for (const Station& s : stations_)
        localStation = s.local ? &s : localStation;
    const bool toAnyLocal = rq.dst == kBroadcast || rq.dst == kLocalManagementMac;
    std::vector<Answer> lateForgeries;
    for (const Station& forger : stations_) {
        if (forger.local || !forger.forges.any())
            continue;
        // A forger of another family than the local station answers what a
        // local station of its own family would: broadcasts and the local
        // management address.
        bool otherFamily = localStation && localStation->isAv() != forger.isAv();
        bool asked = localAsked || (otherFamily && toAnyLocal);
        Forged forged = forgedFrames(*this, forger, rq, etherType, asked);
        for (auto* list : {&forged.answers, &forged.markers})
            for (const Bytes& f : *list) {
                addLog("forging station " + formatMac(forger.mac) + " sent " + answerName(f) +
                       " for " + requestName(code));
                answers.push_back({f, latencyMs});
            }
        // Each forged answer comes again just after the real one: a reader
        // that keeps the last answer it sees meets it last.
        for (Bytes& f : forged.answers)
            lateForgeries.push_back({std::move(f), latencyMs + 1});
    }
    for (Station* st : recipients) {
        std::vector<Fault*> faults = activeFaults(st->faults, faults_, code);
        if (has(faults, Fault::Kind::Ignore)) {
            addLog(requestName(code) + " from " + formatMac(rq.src) + " to " + formatMac(rq.dst) +
                   ": lost before " + formatMac(st->mac) + " (fault)");
            continue;
        }
        Effects fx;
        for (Fault* f : faults) {
            if (f->kind == Fault::Kind::Status) {
                fx.fail = true;
                fx.status = f->status;
            }
            if (f->kind == Fault::Kind::Corrupt)
                fx.corrupt = true;
        }
        std::vector<Outcome> out;
        if (etherType == kEtherAv)
            handleAv(*this, *st, rq, fx, out);
        else if (length >= 16 && frame[15] == 0x10)
            handleLoader(*st, rq, fx, out);
        else
            handleHp10(*this, *st, rq, fx, out);
        if (out.empty())
            continue;
        // A third station's frame goes out whether or not the real answer is lost.
        for (Fault* f : faults)
            if (f->kind == Fault::Kind::Stray) {
                answers.push_back({strayFrame(out.front().frame, rq.src, *f), latencyMs});
                addLog("stray station " + formatMac(kStrayMac) + " sent " +
                       answerName(answers.back().frame) + " (fault)");
            }
        if (has(faults, Fault::Kind::Drop)) {
            addLog(requestName(code) + " from " + formatMac(rq.src) + " to " + formatMac(rq.dst) +
                   ": answer of " + formatMac(st->mac) + " dropped (fault)");
            continue;
        }
        uint32_t delay = latencyMs;
        int copies = 1;
        for (Fault* f : faults) {
            if (f->kind == Fault::Kind::Delay)
                delay += f->ms;
            if (f->kind == Fault::Kind::Duplicate)
                ++copies;
            if (f->kind == Fault::Kind::Flood)
                for (uint32_t i = 0; i < f->frames; ++i)
                    answers.push_back({floodFrame(i, rq.src), delay});
        }
        for (Outcome& o : out) {
            for (Fault* f : faults)
                if (f->kind == Fault::Kind::Malformed)
                    damage(o.frame, f->how);
            std::string line = requestName(code) + " from " + formatMac(rq.src) + " to " +
                               formatMac(rq.dst) + ": " + formatMac(st->mac) + " answered " +
                               answerName(o.frame) + " (" + std::to_string(o.frame.size()) +
                               " bytes)";
            if (fx.fail)
                line += " with failure status";
            for (int c = 0; c < copies; ++c) {
                answers.push_back({o.frame, delay});
                ++answered_;
            }
            addLog(std::move(line));
        }
    }
    for (Answer& a : lateForgeries)
        answers.push_back(std::move(a));
    return answers;
}

} // namespace sim
