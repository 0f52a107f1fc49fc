#pragma once
// The powerline device emulator: one powerline network seen from one Ethernet
// segment. One station is wired to the segment (the local station); the others
// are reached over the mains and hear each other only when they share a network
// key. The model builds and parses its frames itself, from the frame layouts,
// and never uses the core's management library.
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

class MemoryWire;

namespace sim {

using Mac = std::array<uint8_t, 6>;
using AvKey = std::array<uint8_t, 16>;  // DAK, NMK
using Hp10Key = std::array<uint8_t, 8>; // DEK, NEK
using Bytes = std::vector<uint8_t>;

enum class Family { Av, Hp10, Turbo };

constexpr uint16_t kEtherAv = 0x88E1;
constexpr uint16_t kEtherHp10 = 0x887B;
constexpr size_t kMaxFrame = 1514;
constexpr size_t kMinFrame = 60;
constexpr size_t kPibLength = 7992;
constexpr uint32_t kPibLoadAddress = 0x01F00000;

extern const Mac kBroadcast;          // FF:FF:FF:FF:FF:FF
extern const Mac kLocalManagementMac; // 00:B0:52:00:00:01
extern const Mac kLoaderMac;          // 00:04:87:FE:11:00
extern const Mac kStrayMac;           // 02:00:00:5A:5A:EE, the third station of a stray fault

// Raised for a scenario that cannot be served; the text says what and where.
struct ScenarioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

Mac parseMac(std::string_view text); // "00:B0:52:00:00:10" (also '-'), throws ScenarioError
std::string formatMac(const Mac& mac);
const char* familyName(Family family); // "av", "hp10", "turbo"

AvKey dakOf(const std::string& password);
AvKey nmkOf(const std::string& password);
Hp10Key hp10KeyOf(const std::string& password);
const AvKey& defaultNmk();   // of "HomePlugAV"
const Hp10Key& defaultNek(); // of "HomePlug"
extern const char kDefaultAvPassword[];
extern const char kDefaultHp10Password[];

// One's complement of the XOR of the little-endian 32-bit words of `data`,
// starting from `initial`. With `padTail` a trailing 1-3 bytes count as a
// zero-padded word (the loader's checksum); without it they are left out (the
// HomePlug AV block checksum).
uint32_t checksum32(const uint8_t* data, size_t length, uint32_t initial = 0, bool padTail = false);

// A fault injected into the answers of a station (or of every station).
struct Fault {
    enum class Kind {
        Drop,      // the request is carried out, its answer is lost
        Ignore,    // the request never reaches the device
        Delay,     // the answer arrives `ms` later
        Duplicate, // the answer arrives twice
        Corrupt,   // checksums in the answer are wrong (module read, loader checksum)
        Status,    // the answer carries failure status `status`; nothing is changed
        Flood,     // `frames` unrelated frames arrive before the answer
        Malformed, // the answer is damaged as `how` says
        Stray,     // a third station (kStrayMac) sends a frame just before the answer, as
                   // `how` says: "echo" a copy of the answer from it, "failure" that copy
                   // with failure status `status`, "commit" a commit confirmation 0xA029,
                   // "hostaction" a broadcast host action indication 0xA062
    };
    Kind kind = Kind::Drop;
    // Which requests: an AV MMTYPE (0xA000..), or 0x10000 | entry type for
    // HomePlug 1.0 (0x10007), or 0x20000 | loader code (0x20081); none = all.
    std::optional<uint32_t> match;
    uint32_t skip = 0;            // let this many matching answers pass first
    int64_t count = -1;           // then apply to this many (-1: all that follow)
    uint32_t ms = 200;            // Delay
    uint8_t status = 1;           // Status
    uint32_t frames = 200;        // Flood
    std::string how = "truncate"; // Malformed: truncate, oui, mmv, ethertype, count, length;
                                  // Stray: echo (also the default), failure, commit, hostaction
    uint32_t seen = 0;            // matching requests so far
    uint32_t applied = 0;
};

// Where the HomePlug 1.0 secondary loader answers.
enum class LoaderAddress {
    Device, // at the station's own MAC and at the loader address
    Loader, // only at the loader address 00:04:87:FE:11:00
};

struct Started {
    uint32_t loadAddress = 0;
    uint32_t length = 0;
    uint32_t word3 = 0;
    uint32_t word4 = 0;
    Bytes image;
};

struct Station {
    // Identity
    Family family = Family::Av;
    Mac mac{};
    bool local = false;
    std::string name;
    uint32_t tei = 0; // HomePlug AV terminal equipment id (set by addStation)

    // Keys and the passwords they came from (the texts are informative only)
    std::string devicePassword;
    std::string networkPassword;
    AvKey dak{};
    AvKey nmk{};
    Hp10Key dek{};

    // Version answer
    uint8_t chip = 2;
    std::string firmware;

    // HomePlug AV modules and answers
    Bytes pib;              // module 2
    Bytes nvm;              // module 1
    Bytes factoryPib;       // what a factory reset restores (with the default NMK)
    uint8_t configMode = 0; // configuration block byte 20
    Bytes configData;       // configuration block bytes from 22
    std::optional<Started> started;

    // Link rates in Mbit/s: to every station unless `rates` names it
    uint32_t rate = 150;
    std::map<Mac, uint32_t> rates;
    // The station's own view: the rate from it to each peer named here, one
    // direction only (the peer's view of the same link may differ). Wins over
    // `rates` and `rate`; peers it does not name are rated as before.
    std::map<Mac, uint32_t> view;

    // HomePlug 1.0 and Turbo
    std::array<uint8_t, 50> storedParams{};
    std::array<uint8_t, 50> runningParams{};
    uint8_t deviceClass = 0; // 0: by family (3 HomePlug 1.0, 2 Turbo)
    uint16_t fails = 0;
    uint16_t drops = 0;
    std::string vendor = "Morvanta";
    std::string product = "Powerline Turbo Adapter";
    uint8_t versionMajor = 1;
    uint8_t versionMinor = 4;
    bool fixedVersion = false; // Turbo version answer with the fixed-text flag

    // Secondary loader
    bool inLoader = false;
    LoaderAddress loaderAddress = LoaderAddress::Device;
    std::map<uint32_t, Bytes> loaderModules; // committed
    std::map<uint32_t, Bytes> loaderStaged;  // written, not committed
    bool moduleChecked = false;

    // HomePlug AV transfers in progress
    std::map<uint8_t, Bytes> stagedModules; // module id -> written bytes
    std::map<uint32_t, Bytes> memory;       // address -> block, by write memory

    std::vector<Fault> faults;

    // A station that pretends to be the local station (never the local
    // station itself). With `answers`, every request of its family that the
    // local station answers is answered by it too, from its own MAC, with its
    // own data, just before the real answer and again just after it; with
    // `markers` it sends a local-device marker (entry 0x1E) to the host after
    // every request; with `selfAddressed` a statistics answer addressed to
    // itself. What it forges never changes its own state.
    struct Forging {
        bool answers = false;
        bool markers = false;
        bool selfAddressed = false;
        bool any() const { return answers || markers || selfAddressed; }
    } forges;

    // Counters
    uint32_t commits = 0;
    uint32_t starts = 0;
    uint32_t factoryResets = 0;
    uint32_t keyChanges = 0;
    uint32_t restarts = 0;

    // Stations with defaults (default network, generated images); see README.
    static Station av(std::string_view mac);
    static Station hp10(std::string_view mac);
    static Station turbo(std::string_view mac);

    bool isAv() const { return family == Family::Av; }
    // HomePlug 1.0 and Turbo network key and its key select (running copy).
    Hp10Key nek() const;
    uint8_t keySelect() const { return runningParams[14]; }
    // Key setters keep the parameter block / parameter copies in step.
    void setNmk(const AvKey& key);
    void setNek(const Hp10Key& key, uint8_t select = 1);
    void setDevicePassword(const std::string& password);
    void setNetworkPassword(const std::string& password);
    uint8_t reportedClass() const;
    // Rate this station reports for its link to `peer`, in Mbit/s: its view,
    // else a rate either side names, else the lower of the two `rate`s.
    uint32_t rateTo(const Station& peer) const;
};

class Network {
  public:
    struct Answer {
        Bytes frame;
        uint32_t delayMs = 0;
    };

    Network() = default;
    Network(Network&& other) noexcept;
    Network& operator=(Network&& other) noexcept;
    Network(const Network&) = delete;
    Network& operator=(const Network&) = delete;
    ~Network();

    // A scenario (README.md). `baseDir` resolves relative image file names.
    static Network fromJson(std::string_view text, const std::string& baseDir = "");
    static Network fromFile(const std::string& path);

    // Completes the station (parameter block, images, TEI) and adds it.
    // Throws ScenarioError for a duplicate MAC or a second local station.
    Station& addStation(Station station);
    Station* find(const Mac& mac);
    Station* find(std::string_view mac) { return find(parseMac(mac)); }
    Station& station(std::string_view mac); // throws std::out_of_range when absent
    Station& local();                       // throws std::logic_error without one
    std::deque<Station>& stations() { return stations_; }
    const std::deque<Station>& stations() const { return stations_; }
    std::vector<Fault>& faults() { return faults_; }

    // Stations that hear each other: same family group and the same network key.
    bool sameNetwork(const Station& a, const Station& b) const;
    // The stations of `s`'s network, `s` excluded, in scenario order.
    std::vector<const Station*> peersOf(const Station& s) const;

    // Runs the model on one received frame; returns what the devices send back.
    std::vector<Answer> handle(const uint8_t* frame, size_t length);

    // Latency of every answer, in milliseconds (default 1).
    uint32_t latencyMs = 1;

    // Serves frames the core sends on `port` of the wire; answers arrive on the
    // same port after their delay in the wire's virtual time.
    void attach(MemoryWire& wire, int port);
    void detach();

    // One line per frame answered (and per request a fault swallowed).
    const std::vector<std::string>& log() const { return log_; }
    uint64_t answered() const { return answered_; }
    // Called with every log line as it is made (plcsim --verbose).
    std::function<void(const std::string&)> onLog;

  private:
    void addLog(std::string line);
    std::deque<Station> stations_;
    std::vector<Fault> faults_;
    std::vector<std::string> log_;
    uint64_t answered_ = 0;
    MemoryWire* wire_ = nullptr;
    int port_ = -1;
};

// Forgets every attachment to an in-memory wire (the emulator's only
// process-wide state); attached networks fall silent.
void resetEmulator();

// Path of a scenario shipped in sim/scenarios/.
std::string scenarioPath(const std::string& name);
// Path of the built plcsim program.
std::string programPath();

} // namespace sim
