// Scenario files: JSON text describing the stations of one powerline network
// and the faults to inject (format in sim/README.md). Every mistake is reported
// with where it is, so a hand-written scenario is easy to put right.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "platform/file_io.h"
#include "sim/internal.h"

namespace sim {

using json = nlohmann::json;
using namespace detail;

namespace {

[[noreturn]] void fail(const std::string& where, const std::string& what) {
    throw ScenarioError(where + ": " + what);
}

void onlyKeys(const json& object, const std::set<std::string>& allowed, const std::string& where) {
    for (auto it = object.begin(); it != object.end(); ++it)
        if (!allowed.count(it.key()))
            fail(where, "unknown key \"" + it.key() + "\"");
}

std::string text(const json& v, const std::string& where, size_t maxLength = 255) {
    if (!v.is_string())
        fail(where, "expected a text");
    std::string s = v.get<std::string>();
    if (s.size() > maxLength)
        fail(where, "longer than " + std::to_string(maxLength) + " characters");
    return s;
}

int64_t number(const json& v, const std::string& where, int64_t low, int64_t high) {
    int64_t n = 0;
    if (v.is_number_integer())
        n = v.get<int64_t>();
    else if (v.is_string()) {
        // Hexadecimal numbers may be written as text: "0xA050".
        std::string s = v.get<std::string>();
        char* end = nullptr;
        errno = 0;
        long long parsed = std::strtoll(s.c_str(), &end, 0);
        if (s.empty() || *end || errno)
            fail(where, "expected a number, got \"" + s + "\"");
        n = parsed;
    } else {
        fail(where, "expected a number");
    }
    if (n < low || n > high)
        fail(where, std::to_string(n) + " is outside " + std::to_string(low) + ".." +
                        std::to_string(high));
    return n;
}

bool flag(const json& v, const std::string& where) {
    if (!v.is_boolean())
        fail(where, "expected true or false");
    return v.get<bool>();
}

// Hex digits, optionally separated by ':', '-' or spaces.
Bytes hexBytes(const json& v, const std::string& where, size_t exact = 0) {
    std::string s = text(v, where, 1 << 20), digits;
    for (char c : s) {
        if (c == ':' || c == '-' || c == ' ')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            fail(where, "not hexadecimal: \"" + s + "\"");
        digits.push_back(c);
    }
    if (digits.size() % 2)
        fail(where, "an odd number of hex digits");
    Bytes out;
    for (size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    if (exact && out.size() != exact)
        fail(where,
             "expected " + std::to_string(exact) + " bytes, got " + std::to_string(out.size()));
    return out;
}

template <size_t N> std::array<uint8_t, N> key(const json& v, const std::string& where) {
    Bytes b = hexBytes(v, where, N);
    std::array<uint8_t, N> k;
    std::memcpy(k.data(), b.data(), N);
    return k;
}

// The largest image file a scenario may name (firmware images and parameter
// blocks are far smaller).
constexpr size_t kScenarioFileMax = 16u << 20;

Bytes readFile(const std::string& path, const std::string& where) {
    Bytes bytes;
    const WholeFileRead read = readWholeFileLimited(path, kScenarioFileMax, bytes);
    if (read.result.status == FileRead::TooLarge)
        fail(where,
             "\"" + path + "\" is larger than " + std::to_string(kScenarioFileMax) + " bytes");
    if (read.result.status != FileRead::Ok)
        fail(where, "cannot read \"" + path + "\": " + fileReadProblem(read.result));
    return bytes;
}

// The file `name` of a scenario in `baseDir`. plcsim runs as root: a scenario
// may name only files inside its own folder (after every link is resolved), so
// that a scenario file cannot make it read, and send on the wire, a file its
// author could not read. A scenario given as text has no folder and names none.
std::string resolve(const std::string& baseDir, const std::string& name, const std::string& where) {
    if (baseDir.empty())
        fail(where, "\"" + name + "\": a scenario without a folder may not name files");
    char* folder = realpath(baseDir.c_str(), nullptr);
    if (folder == nullptr)
        fail(where,
             "cannot resolve the scenario's folder \"" + baseDir + "\": " + std::strerror(errno));
    const std::string inside = std::string(folder) + "/";
    std::free(folder);
    const std::string joined = name.empty() || name[0] == '/' ? name : baseDir + "/" + name;
    char* file = realpath(joined.c_str(), nullptr);
    if (file == nullptr)
        fail(where, "cannot read \"" + name + "\": " + std::strerror(errno));
    const std::string resolved = file;
    std::free(file);
    if (resolved.compare(0, inside.size(), inside) != 0)
        fail(where, "\"" + name + "\" lies outside the scenario's folder " + baseDir);
    return resolved;
}

uint32_t matchCode(const json& v, const std::string& where) {
    if (v.is_string()) {
        std::string s = v.get<std::string>();
        for (auto [prefix, base] : {std::pair{"hp10:", 0x10000u}, std::pair{"loader:", 0x20000u}})
            if (s.rfind(prefix, 0) == 0)
                return base |
                       static_cast<uint32_t>(number(s.substr(std::strlen(prefix)), where, 0, 255));
    }
    return static_cast<uint32_t>(number(v, where, 0, 0xFFFF));
}

Fault parseFault(const json& j, const std::string& where) {
    if (!j.is_object())
        fail(where, "expected an object");
    onlyKeys(j, {"kind", "match", "skip", "count", "ms", "status", "frames", "how"}, where);
    static const std::map<std::string, Fault::Kind> kinds = {
        {"drop", Fault::Kind::Drop},       {"ignore", Fault::Kind::Ignore},
        {"delay", Fault::Kind::Delay},     {"duplicate", Fault::Kind::Duplicate},
        {"corrupt", Fault::Kind::Corrupt}, {"status", Fault::Kind::Status},
        {"flood", Fault::Kind::Flood},     {"malformed", Fault::Kind::Malformed},
        {"stray", Fault::Kind::Stray}};
    if (!j.contains("kind"))
        fail(where, "a fault needs a \"kind\"");
    std::string kind = text(j["kind"], where + ".kind");
    if (!kinds.count(kind))
        fail(where + ".kind", "\"" + kind +
                                  "\" is none of drop, ignore, delay, duplicate, corrupt, status, "
                                  "flood, malformed, stray");
    Fault f;
    f.kind = kinds.at(kind);
    if (j.contains("match"))
        f.match = matchCode(j["match"], where + ".match");
    if (j.contains("skip"))
        f.skip = static_cast<uint32_t>(number(j["skip"], where + ".skip", 0, 1000000));
    if (j.contains("count"))
        f.count = number(j["count"], where + ".count", -1, 1000000);
    if (j.contains("ms"))
        f.ms = static_cast<uint32_t>(number(j["ms"], where + ".ms", 0, 600000));
    if (j.contains("status"))
        f.status = static_cast<uint8_t>(number(j["status"], where + ".status", 1, 255));
    if (j.contains("frames"))
        f.frames = static_cast<uint32_t>(number(j["frames"], where + ".frames", 1, 100000));
    if (j.contains("how")) {
        f.how = text(j["how"], where + ".how");
        static const std::set<std::string> ways = {"truncate",  "oui",   "mmv",
                                                   "ethertype", "count", "length"};
        static const std::set<std::string> strays = {"echo", "failure", "commit", "hostaction"};
        if (f.kind == Fault::Kind::Stray && !strays.count(f.how))
            fail(where + ".how", "\"" + f.how + "\" is none of echo, failure, commit, hostaction");
        if (f.kind != Fault::Kind::Stray && !ways.count(f.how))
            fail(where + ".how",
                 "\"" + f.how + "\" is none of truncate, oui, mmv, ethertype, count, length");
    }
    return f;
}

std::vector<Fault> parseFaults(const json& j, const std::string& where) {
    if (!j.is_array())
        fail(where, "expected a list of faults");
    std::vector<Fault> faults;
    for (size_t i = 0; i < j.size(); ++i)
        faults.push_back(parseFault(j[i], where + "[" + std::to_string(i) + "]"));
    return faults;
}

void parseVersion(Station& s, const json& v, const std::string& where) {
    std::string t = text(v, where);
    unsigned major = 0, minor = 0;
    char extra;
    if (std::sscanf(t.c_str(), "%u.%u%c", &major, &minor, &extra) != 2 || major > 255 ||
        minor > 255)
        fail(where, "expected \"major.minor\", got \"" + t + "\"");
    s.versionMajor = static_cast<uint8_t>(major);
    s.versionMinor = static_cast<uint8_t>(minor);
}

void parseAvParts(Station& s, const json& j, const std::string& where, const std::string& base) {
    if (j.contains("pibFile")) {
        s.pib = readFile(resolve(base, text(j["pibFile"], where), where + ".pibFile"),
                         where + ".pibFile");
        if (s.pib.size() < 116 || s.pib.size() > 16384)
            fail(where + ".pibFile", "a parameter block has 116 to 16384 bytes");
        std::memcpy(s.nmk.data(), s.pib.data() + 100, 16);
        if (j.contains("networkPassword")) // a password given beside the file wins
            s.setNmk(nmkOf(s.networkPassword));
    }
    if (j.contains("nvmFile")) {
        s.nvm = readFile(resolve(base, text(j["nvmFile"], where), where + ".nvmFile"),
                         where + ".nvmFile");
        if (!nvmChainValid(s.nvm))
            fail(where + ".nvmFile", "not a firmware image with valid block headers");
    }
    if (j.contains("dak"))
        s.dak = key<16>(j["dak"], where + ".dak");
    if (j.contains("nmk"))
        s.setNmk(key<16>(j["nmk"], where + ".nmk"));
    if (j.contains("chip"))
        s.chip = static_cast<uint8_t>(number(j["chip"], where + ".chip", 0, 255));
    if (j.contains("configBlock")) {
        const json& c = j["configBlock"];
        if (c.is_object()) {
            onlyKeys(c, {"mode", "data"}, where + ".configBlock");
            if (c.contains("mode"))
                s.configMode =
                    static_cast<uint8_t>(number(c["mode"], where + ".configBlock.mode", 0, 255));
            if (c.contains("data"))
                s.configData = hexBytes(c["data"], where + ".configBlock.data");
            if (s.configData.size() > 255)
                fail(where + ".configBlock.data", "at most 255 bytes");
        } else {
            s.configMode = static_cast<uint8_t>(number(c, where + ".configBlock", 0, 255));
        }
    }
}

void parseHp10Parts(Station& s, const json& j, const std::string& where, const std::string& base) {
    if (j.contains("dek")) {
        Hp10Key old = s.dek;
        s.dek = key<8>(j["dek"], where + ".dek");
        for (auto* copy : {&s.storedParams, &s.runningParams})
            if (std::memcmp(copy->data() + 6, old.data(), 8) == 0)
                std::memcpy(copy->data() + 6, s.dek.data(), 8);
    }
    if (j.contains("nek"))
        s.setNek(key<8>(j["nek"], where + ".nek"));
    if (j.contains("storedParams")) {
        Bytes b = hexBytes(j["storedParams"], where + ".storedParams", 50);
        std::memcpy(s.storedParams.data(), b.data(), 50);
    }
    if (j.contains("runningParams")) {
        Bytes b = hexBytes(j["runningParams"], where + ".runningParams", 50);
        std::memcpy(s.runningParams.data(), b.data(), 50);
    }
    if (j.contains("settings")) {
        const json& v = j["settings"];
        if (!v.is_array() || v.size() != 3)
            fail(where + ".settings", "expected three numbers");
        for (auto* copy : {&s.storedParams, &s.runningParams})
            for (size_t i = 0; i < 3; ++i)
                (*copy)[23 + i] = static_cast<uint8_t>(number(v[i], where + ".settings", 0, 255));
    }
    if (j.contains("imageFile")) {
        s.loaderModules[0x100] = readFile(
            resolve(base, text(j["imageFile"], where), where + ".imageFile"), where + ".imageFile");
        if (s.loaderModules[0x100].empty())
            fail(where + ".imageFile", "the image file is empty");
    }
    if (j.contains("deviceClass"))
        s.deviceClass =
            static_cast<uint8_t>(number(j["deviceClass"], where + ".deviceClass", 1, 127));
    if (j.contains("fails"))
        s.fails = static_cast<uint16_t>(number(j["fails"], where + ".fails", 0, 65535));
    if (j.contains("drops"))
        s.drops = static_cast<uint16_t>(number(j["drops"], where + ".drops", 0, 65535));
    if (j.contains("vendor"))
        s.vendor = text(j["vendor"], where + ".vendor", 79);
    if (j.contains("product"))
        s.product = text(j["product"], where + ".product", 79);
    if (j.contains("version"))
        parseVersion(s, j["version"], where + ".version");
    if (j.contains("fixedVersion"))
        s.fixedVersion = flag(j["fixedVersion"], where + ".fixedVersion");
    if (j.contains("loaderAddress")) {
        std::string a = text(j["loaderAddress"], where + ".loaderAddress");
        if (a != "device" && a != "loader")
            fail(where + ".loaderAddress", "expected \"device\" or \"loader\"");
        s.loaderAddress = a == "device" ? LoaderAddress::Device : LoaderAddress::Loader;
    }
    if (j.contains("inLoader"))
        s.inLoader = flag(j["inLoader"], where + ".inLoader");
}

const std::set<std::string> kCommonKeys = {
    "family",   "mac",  "local", "name",   "devicePassword", "networkPassword",
    "firmware", "rate", "rates", "faults", "forges"};

Station::Forging parseForges(const json& v, const std::string& where) {
    if (!v.is_array())
        fail(where, "expected a list of \"answers\", \"markers\", \"selfAddressed\"");
    Station::Forging f;
    for (const json& item : v) {
        std::string kind = text(item, where);
        if (kind == "answers")
            f.answers = true;
        else if (kind == "markers")
            f.markers = true;
        else if (kind == "selfAddressed")
            f.selfAddressed = true;
        else
            fail(where, "\"" + kind + "\" is none of answers, markers, selfAddressed");
    }
    return f;
}
const std::set<std::string> kAvKeys = {"dak",     "nmk",     "chip", "configBlock",
                                       "pibFile", "nvmFile", "view"};
// The highest rate a HomePlug AV station entry can carry: one rate byte read
// as trunc(byte x 200 / 151).
constexpr long kMaxAvViewRate = 255 * 200 / 151;
const std::set<std::string> kHp10Keys = {
    "dek",       "nek",         "storedParams", "runningParams", "settings",
    "imageFile", "deviceClass", "fails",        "drops",         "vendor",
    "product",   "version",     "fixedVersion", "loaderAddress", "inLoader"};

// "view": {"MAC": rate, ...}: the rate from this station to each peer named.
void parseView(Station& s, const json& v, const std::string& where) {
    if (!v.is_object())
        fail(where, "expected {\"MAC\": rate, ...}");
    for (auto it = v.begin(); it != v.end(); ++it) {
        Mac peer;
        try {
            peer = parseMac(it.key());
        } catch (const ScenarioError& e) {
            fail(where, e.what());
        }
        if (peer == s.mac)
            fail(where, "a station has no link to itself");
        s.view[peer] = static_cast<uint32_t>(
            number(it.value(), where + "." + formatMac(peer), 0, kMaxAvViewRate));
    }
}

Station parseStation(const json& j, size_t index, const std::string& base) {
    std::string where = "station " + std::to_string(index + 1);
    if (!j.is_object())
        fail(where, "expected an object");
    if (!j.contains("mac"))
        fail(where, "a station needs a \"mac\"");
    std::string macText = text(j["mac"], where + ".mac");
    Mac mac;
    try {
        mac = parseMac(macText);
    } catch (const ScenarioError& e) {
        fail(where + ".mac", e.what());
    }
    where += " (" + formatMac(mac) + ")";
    if (!j.contains("family"))
        fail(where, "a station needs a \"family\": \"av\", \"hp10\" or \"turbo\"");
    std::string family = text(j["family"], where + ".family");
    Station s;
    if (family == "av")
        s = Station::av(macText);
    else if (family == "hp10")
        s = Station::hp10(macText);
    else if (family == "turbo")
        s = Station::turbo(macText);
    else
        fail(where + ".family", "\"" + family + "\" is none of av, hp10, turbo");
    std::set<std::string> allowed = kCommonKeys;
    for (const auto& k : s.isAv() ? kAvKeys : kHp10Keys)
        allowed.insert(k);
    onlyKeys(j, allowed, where);

    if (j.contains("local"))
        s.local = flag(j["local"], where + ".local");
    if (j.contains("name"))
        s.name = text(j["name"], where + ".name");
    if (j.contains("firmware"))
        s.firmware = text(j["firmware"], where + ".firmware", 64);
    if (j.contains("devicePassword"))
        s.setDevicePassword(text(j["devicePassword"], where + ".devicePassword", 64));
    if (j.contains("networkPassword"))
        s.setNetworkPassword(text(j["networkPassword"], where + ".networkPassword", 64));
    if (s.isAv())
        parseAvParts(s, j, where, base);
    else
        parseHp10Parts(s, j, where, base);
    if (j.contains("rate"))
        s.rate = static_cast<uint32_t>(number(j["rate"], where + ".rate", 0, 2000));
    if (j.contains("rates")) {
        const json& r = j["rates"];
        if (!r.is_object())
            fail(where + ".rates", "expected {\"MAC\": rate, ...}");
        for (auto it = r.begin(); it != r.end(); ++it) {
            Mac peer;
            try {
                peer = parseMac(it.key());
            } catch (const ScenarioError& e) {
                fail(where + ".rates", e.what());
            }
            s.rates[peer] = static_cast<uint32_t>(number(it.value(), where + ".rates", 0, 2000));
        }
    }
    if (j.contains("view"))
        parseView(s, j["view"], where + ".view");
    if (j.contains("faults"))
        s.faults = parseFaults(j["faults"], where + ".faults");
    if (j.contains("forges")) {
        s.forges = parseForges(j["forges"], where + ".forges");
        if (s.local && s.forges.any())
            fail(where + ".forges", "the local station does not forge; name another station");
    }
    return s;
}

} // namespace

Network Network::fromJson(std::string_view scenario, const std::string& baseDir) {
    json root;
    try {
        root = json::parse(scenario.begin(), scenario.end());
    } catch (const json::parse_error& e) {
        throw ScenarioError(std::string("scenario is not valid JSON: ") + e.what());
    }
    if (!root.is_object())
        fail("scenario", "expected an object with \"stations\"");
    onlyKeys(root, {"name", "description", "latencyMs", "faults", "stations"}, "scenario");
    if (!root.contains("stations") || !root["stations"].is_array() || root["stations"].empty())
        fail("scenario", "\"stations\" must list at least one station");
    Network net;
    if (root.contains("latencyMs"))
        net.latencyMs = static_cast<uint32_t>(number(root["latencyMs"], "latencyMs", 0, 60000));
    if (root.contains("faults"))
        net.faults_ = parseFaults(root["faults"], "faults");
    const json& list = root["stations"];
    for (size_t i = 0; i < list.size(); ++i)
        net.addStation(parseStation(list[i], i, baseDir));
    bool hasLocal = false;
    for (const Station& s : net.stations())
        hasLocal = hasLocal || s.local;
    if (!hasLocal)
        fail("scenario", "no station is \"local\": true (the one wired to the segment)");
    // A view names stations of this scenario (a misspelt MAC never passes silently).
    for (const Station& s : net.stations())
        for (const auto& [peer, rate] : s.view)
            if (!net.find(peer))
                fail("station " + formatMac(s.mac) + ".view",
                     formatMac(peer) + " is no station of the scenario");
    return net;
}

Network Network::fromFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw ScenarioError("cannot read scenario file \"" + path + "\": " + std::strerror(errno));
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string base;
    if (auto slash = path.find_last_of('/'); slash != std::string::npos)
        base = path.substr(0, slash);
    try {
        return fromJson(buffer.str(), base);
    } catch (const ScenarioError& e) {
        throw ScenarioError(path + ": " + e.what());
    }
}

} // namespace sim
