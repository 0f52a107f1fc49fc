#pragma once
// The link history: the rate of every remote adapter at the end of every
// automatic cycle, kept in one SQLite database so that the window can plot it
// and `halyardctl history` can print it.
//
//   ${XDG_STATE_HOME:-$HOME/.local/state}/halyard/history.sqlite3
//
// The file is private (mode 0600, created without following a link, and so
// are SQLite's -wal and -shm files, which take its mode). It runs in WAL mode
// with a busy time-out, so the window, `halyardctl watch` and the exporter may
// write to it at once. `PRAGMA user_version` carries the schema version; a file
// of an older version is migrated step by step, one of a newer version is left
// alone.
//
// Schema (version 2):
//   link    (id, interface, local_mac, remote_mac, family, pair)
//           one row per link: pair 0 is the local adapter's link to a remote
//           one; pair 1 is the rate from local_mac to remote_mac between two
//           adapters, as the network map measures it
//   recent  (t, link, rate, quality, span)                     raw samples of this hour
//   sample  (link, t, rate, quality, span)                     raw samples of past hours
//   samples                                                    view: both of them
//   hourly  (link, hour, min, mean, max, count, seen)          per-hour summaries
//   event   (id, t, kind, link, interface, local_mac, detail)  drop-outs, firmware
// Times are UTC seconds since 1970; MACs are 48-bit integers; `span` and
// `seen` are seconds during which the link was seen (each sample stands for
// one scan interval).
//
// Retention: raw samples for 7 days; an hour whose samples are all older is
// folded into one `hourly` row per link and its samples deleted, in the same
// small transaction, so an hour is either raw or summarised, never both.
// Summaries and events are kept two years. Pruning runs a few links per cycle
// (pruneStep), never one long transaction.
//
// No names are stored: a name comes from the device database when shown, so a
// rename shows everywhere.
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

constexpr int kHistorySchemaVersion = 2;
constexpr int64_t kHistoryRawSeconds = 7 * 24 * 3600;
constexpr int64_t kHistoryHourlySeconds = 2 * 366 * 24 * 3600;
inline constexpr const char* kHistoryFileName = "history.sqlite3";

// ${XDG_STATE_HOME:-$HOME/.local/state}/halyard/history.sqlite3; "" without a home.
std::string defaultHistoryPath();

// 48-bit MAC <-> integer, for the MAC columns.
int64_t macToInteger(const uint8_t mac[6]);
void integerToMac(int64_t value, uint8_t mac[6]);

// Quality of a link, 0..100: its rate as a share of its family's nominal rate.
int linkQuality(double rate, int family);

// ---- What one cycle records ------------------------------------------------------------
struct CycleSample {
    uint8_t remoteMac[6] = {};
    int family = 0; // DeviceType: 1 HomePlug 1.0, 2 Turbo, 4 AV
    double rate = 0;
    int quality = 0;
};

// The rate from one adapter to another, measured by the network map.
struct PairSample {
    uint8_t fromMac[6] = {};
    uint8_t toMac[6] = {};
    int family = 0; // the family whose rate scale measured it (the answering adapter's)
    double rate = 0;
    int quality = 0;
};

struct CycleRecord {
    int64_t time = 0; // UTC seconds
    std::string interfaceName;
    uint8_t localMac[6] = {};
    std::string localFirmware; // empty: unknown, nothing recorded
    int spanSeconds = 0;       // the scan interval each sample stands for
    std::vector<CycleSample> samples;
    // Pairs of adapters whose rate the map learned this cycle; an unknown
    // pair is absent, never a 0.
    std::vector<PairSample> pairs;
};

// ---- What is read back -----------------------------------------------------------------
struct HistoryLink {
    int64_t id = 0;
    std::string interfaceName;
    uint8_t localMac[6] = {};
    uint8_t remoteMac[6] = {};
    int family = 0;
    // A pair of the network map: localMac is the adapter the rate is from,
    // remoteMac the one it is to. (The history view also sets it on the local
    // adapter's link when it shows that link as one direction of a pair.)
    bool pair = false;
};

// One raw sample (count 1, min = mean = max = the rate) or one hour.
struct HistoryPoint {
    int64_t time = 0; // the sample's time, or the start of the hour
    double min = 0, mean = 0, max = 0;
    int64_t count = 0;
    int64_t seen = 0; // seconds
    bool hourly = false;
};

enum class HistoryEventKind { DropOut, Firmware };

struct HistoryEvent {
    int64_t time = 0;
    HistoryEventKind kind = HistoryEventKind::DropOut;
    int64_t link = 0; // drop-outs; 0 for firmware
    std::string interfaceName;
    uint8_t localMac[6] = {};
    std::string detail; // firmware: the new version text
};

struct LinkSummary {
    HistoryLink link;
    int64_t samples = 0;
    double min = 0, median = 0, max = 0;
    int64_t seen = 0; // seconds
    int64_t dropOuts = 0;
};

// ---- Outcomes ---------------------------------------------------------------------------
enum class HistoryResult {
    Ok,
    Busy,        // another writer held the lock past the time-out
    Full,        // the disk (or the file's size limit) is full
    Corrupt,     // not a database, or a damaged one: to be moved aside
    NewerSchema, // written by a newer halyard: left alone
    Missing,     // (reading) no history yet
    Failed,      // anything else: permission, I/O error, a link at the path
};
const char* historyResultText(HistoryResult result);

enum class HistoryMode { Write, Read };

// One connection to the history file.
class HistoryStore {
  public:
    HistoryStore() = default;
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Write: creates the folder (0700) and the file (0600, never through a
    // link), sets WAL, migrates. Read: opens an existing file only (Missing
    // when there is none) and changes nothing in it.
    HistoryResult open(const std::string& path, HistoryMode mode, int busyTimeoutMs);
    void close();
    bool isOpen() const { return db_ != nullptr; }
    // The file holds pair rows (schema 2 on); a reader of an older file reads it as it is.
    bool hasPairs() const;
    const std::string& path() const { return path_; }
    // SQLite's text for the last failure.
    const std::string& lastError() const { return error_; }

    // Records one cycle in one transaction: a sample per remote seen, a
    // drop-out for each link seen by the previous cycle of this store on the
    // same interface and local adapter that is gone now, the local firmware
    // when it differs from the last one recorded. Then one pruning step
    // against `record.time`, in transactions of its own.
    HistoryResult recordCycle(const CycleRecord& record);
    // Folds and deletes at most `links` links' oldest expired hour, and deletes
    // expired summaries and events a few at a time. Returns Ok when it did what
    // it could.
    HistoryResult pruneStep(int64_t now, int links = 8);

    // Links of the local adapter whose remote or local MAC is one of `macs`
    // (all of them when empty); pairs of the map are not among them.
    HistoryResult links(const std::vector<std::vector<uint8_t>>& macs,
                        std::vector<HistoryLink>& out);
    // The rate from `fromMac` to `toMac`, on every interface: the local
    // adapter's link when `fromMac` was the local adapter, the map's pair
    // otherwise (both when the adapter was local at one time and remote at
    // another).
    HistoryResult pairLinks(const uint8_t* fromMac, const uint8_t* toMac,
                            std::vector<HistoryLink>& out);
    // Points of one link in [since, until): raw samples and the stored
    // summaries of older hours, in time order. With `hourly` the raw samples
    // are summarised per hour too (for long spans).
    HistoryResult points(int64_t link, int64_t since, int64_t until, bool hourly,
                         std::vector<HistoryPoint>& out);
    // Events in [since, until); `link` 0: every event.
    HistoryResult events(int64_t link, int64_t since, int64_t until,
                         std::vector<HistoryEvent>& out);
    // Min, median, max, time seen and drop-outs of one link in [since, until).
    // The median is over the samples; an hour kept only as a summary counts
    // as `count` samples at its mean.
    HistoryResult summary(const HistoryLink& link, int64_t since, int64_t until, LinkSummary& out);

    // Tests and benchmarks: the limit SQLite puts on the file (pages), to make
    // it "full" without filling a disk; 0 restores the default.
    void setMaxPages(int64_t pages);

  private:
    HistoryResult fail(int code);
    HistoryResult exec(const char* sql);
    HistoryResult migrate();
    HistoryResult linkId(const std::string& interfaceName, const uint8_t* fromMac,
                         const uint8_t* toMac, int family, bool pair, int64_t& id);
    HistoryResult findOrAddLink(const std::string& interfaceName, const uint8_t* fromMac,
                                const uint8_t* toMac, int family, bool pair, int64_t& id);
    HistoryResult lastFirmware(const std::string& interfaceName, const uint8_t* localMac,
                               std::string& out, bool& known);
    HistoryResult pruneLink(int64_t link, int64_t now);
    // Moves `recent` rows of past hours into `sample`, kSettleLinks links at a time.
    HistoryResult settleStep(int64_t now);
    static constexpr int64_t kSettleLinks = 32;
    int64_t settleCursor_ = 0;
    sqlite3_stmt* prepare(int slot, const char* sql);

    sqlite3* db_ = nullptr;
    std::string path_;
    std::string error_;
    HistoryMode mode_ = HistoryMode::Read;
    int version_ = 0; // the file's schema: a reader may find an older one
    static constexpr int kStatements = 24;
    sqlite3_stmt* statements_[kStatements] = {};
    // Links seen by this store's previous cycle, per interface and local MAC.
    struct Seen {
        std::string interfaceName;
        int64_t localMac;
        std::vector<int64_t> links;
    };
    std::vector<Seen> seen_;
    using LinkKey = std::tuple<std::string, int64_t, int64_t, bool>; // interface, from, to, pair
    std::map<LinkKey, std::pair<int64_t, int>> linkCache_;           // -> id, family
    int64_t pruneCursor_ = 0;
};

// Opens the file for writing; a file that is not a database or is damaged is
// moved aside to "<path>.bad" (or ".bad.1", ".bad.2", ...), never deleted, and
// a new one started. `movedTo` names where it went (empty when nothing moved).
HistoryResult openHistoryForWriting(HistoryStore& store, const std::string& path, int busyTimeoutMs,
                                    std::string& movedTo);
// Moves the file and its -wal and -shm companions aside; returns the new name of the file.
std::string moveHistoryAside(const std::string& path);
