#include "storage/link_history.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>

#include "network/model.h"
#include "platform/working_folder.h"

namespace {

// The schema, one step per version: step k takes a file from version k to k + 1.
// A new version appends a step; a step already released is never changed.
const char* const kMigrations[] = {
    // 0 -> 1
    "CREATE TABLE link ("
    "  id INTEGER PRIMARY KEY,"
    "  interface TEXT NOT NULL,"
    "  local_mac INTEGER NOT NULL,"
    "  remote_mac INTEGER NOT NULL,"
    "  family INTEGER NOT NULL,"
    "  UNIQUE (interface, local_mac, remote_mac));"
    "CREATE TABLE sample ("
    "  link INTEGER NOT NULL,"
    "  t INTEGER NOT NULL,"
    "  rate REAL NOT NULL,"
    "  quality INTEGER NOT NULL,"
    "  span INTEGER NOT NULL,"
    "  PRIMARY KEY (link, t)) WITHOUT ROWID;"
    "CREATE TABLE hourly ("
    "  link INTEGER NOT NULL,"
    "  hour INTEGER NOT NULL,"
    "  rate_min REAL NOT NULL,"
    "  rate_mean REAL NOT NULL,"
    "  rate_max REAL NOT NULL,"
    "  samples INTEGER NOT NULL,"
    "  seen INTEGER NOT NULL,"
    "  PRIMARY KEY (link, hour)) WITHOUT ROWID;"
    "CREATE TABLE event ("
    "  id INTEGER PRIMARY KEY,"
    "  t INTEGER NOT NULL,"
    "  kind TEXT NOT NULL,"
    "  link INTEGER,"
    "  interface TEXT NOT NULL,"
    "  local_mac INTEGER NOT NULL,"
    "  detail TEXT);"
    // The cycle's samples land here first, in time order, so a cycle writes
    // a few pages at the end of this table rather than one page per link in
    // `sample`; each past hour moves to `sample` a few links at a time.
    "CREATE TABLE recent ("
    "  t INTEGER NOT NULL,"
    "  link INTEGER NOT NULL,"
    "  rate REAL NOT NULL,"
    "  quality INTEGER NOT NULL,"
    "  span INTEGER NOT NULL,"
    "  PRIMARY KEY (t, link)) WITHOUT ROWID;"
    "CREATE VIEW samples AS"
    "  SELECT link, t, rate, quality, span FROM sample"
    "  UNION ALL SELECT link, t, rate, quality, span FROM recent;"
    "CREATE INDEX event_time ON event (t);"
    "CREATE INDEX event_link ON event (link, t);",
    // 1 -> 2: pairs of adapters. A row with `pair` = 1 is the rate from the
    // adapter local_mac to the adapter remote_mac, as the network map measures
    // it (neither needs to be the adapter wired to this computer). The rows
    // of version 1 keep their ids, so their samples, summaries and events
    // stay theirs. A UNIQUE constraint cannot be altered in place: the table
    // is rebuilt.
    "CREATE TABLE link_v2 ("
    "  id INTEGER PRIMARY KEY,"
    "  interface TEXT NOT NULL,"
    "  local_mac INTEGER NOT NULL,"
    "  remote_mac INTEGER NOT NULL,"
    "  family INTEGER NOT NULL,"
    "  pair INTEGER NOT NULL DEFAULT 0,"
    "  UNIQUE (interface, local_mac, remote_mac, pair));"
    "INSERT INTO link_v2 (id, interface, local_mac, remote_mac, family, pair)"
    "  SELECT id, interface, local_mac, remote_mac, family, 0 FROM link;"
    "DROP TABLE link;"
    "ALTER TABLE link_v2 RENAME TO link;",
};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == kHistorySchemaVersion);

constexpr int64_t kHour = 3600;
constexpr int kExpiredRowsPerStep = 64;

enum Statement {
    kFindLink,
    kInsertLink,
    kSetFamily,
    kInsertSample,
    kInsertEvent,
    kLastFirmware,
    kOldestSample,
    kFoldHour,
    kDeleteHour,
    kExpireHourly,
    kExpireEvents,
    kNextLinks,
    kRawPoints,
    kRawHours,
    kStoredHours,
    kOldestHour,
    kAnyExpiredEvent,
    kOldestRecent,
    kSettleCopy,
    kSettleDelete,
    kLastLink,
    kStatementCount
};
static_assert(kStatementCount <= 24, "HistoryStore::kStatements holds them all");

const char* kindText(HistoryEventKind kind) {
    return kind == HistoryEventKind::Firmware ? "firmware" : "dropout";
}

int64_t hourStart(int64_t t) {
    return t >= 0 ? t / kHour * kHour : -((-t + kHour - 1) / kHour) * kHour;
}

// Creates the file as a private one (0600) unless it exists; never through a
// symbolic link, never a file of someone else or with a second name.
bool preparePrivateFile(const std::string& path, std::string& error) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok =
        fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
    if (ok && (st.st_mode & 07777) != 0600)
        ok = fchmod(fd, 0600) == 0;
    ::close(fd);
    if (!ok)
        error = path + ": not a private regular file of this user";
    return ok;
}

std::string textColumn(sqlite3_stmt* s, int column);

// One row of the link table as both link queries select it: id, interface,
// local MAC, remote MAC, family (and the pair flag where the query has it).
HistoryLink linkFromRow(sqlite3_stmt* s, bool withPairColumn) {
    HistoryLink link;
    link.id = sqlite3_column_int64(s, 0);
    link.interfaceName = textColumn(s, 1);
    integerToMac(sqlite3_column_int64(s, 2), link.localMac);
    integerToMac(sqlite3_column_int64(s, 3), link.remoteMac);
    link.family = sqlite3_column_int(s, 4);
    link.pair = withPairColumn && sqlite3_column_int(s, 5) != 0;
    return link;
}

std::string textColumn(sqlite3_stmt* s, int column) {
    const unsigned char* text = sqlite3_column_text(s, column);
    return text ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

} // namespace

std::string defaultHistoryPath() {
    std::string folder = userStateFolder();
    return folder.empty() ? std::string() : inFolder(folder, kHistoryFileName);
}

int64_t macToInteger(const uint8_t mac[6]) {
    int64_t v = 0;
    for (int k = 0; k < 6; ++k)
        v = v << 8 | mac[k];
    return v;
}

void integerToMac(int64_t value, uint8_t mac[6]) {
    for (int k = 5; k >= 0; --k) {
        mac[k] = static_cast<uint8_t>(value & 0xFF);
        value >>= 8;
    }
}

int linkQuality(double rate, int family) {
    double nominal = nominalRateForType(family);
    if (!(rate > 0) || !(nominal > 0))
        return 0;
    return static_cast<int>(std::lround(std::min(100.0, rate * 100.0 / nominal)));
}

const char* historyResultText(HistoryResult result) {
    switch (result) {
    case HistoryResult::Ok:
        return "ok";
    case HistoryResult::Busy:
        return "locked by another program";
    case HistoryResult::Full:
        return "the disk is full";
    case HistoryResult::Corrupt:
        return "the file is damaged";
    case HistoryResult::NewerSchema:
        return "written by a newer version of halyard";
    case HistoryResult::Missing:
        return "no history yet";
    case HistoryResult::Failed:
        break;
    }
    return "cannot be written";
}

// ---- Connection ----------------------------------------------------------------------------

HistoryStore::~HistoryStore() {
    close();
}

void HistoryStore::close() {
    for (sqlite3_stmt*& s : statements_) {
        sqlite3_finalize(s);
        s = nullptr;
    }
    if (db_)
        sqlite3_close_v2(db_);
    db_ = nullptr;
    version_ = 0;
    seen_.clear();
    linkCache_.clear();
}

HistoryResult HistoryStore::fail(int code) {
    error_ = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
    switch (code & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return HistoryResult::Busy;
    case SQLITE_FULL:
        return HistoryResult::Full;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return HistoryResult::Corrupt;
    default:
        return HistoryResult::Failed;
    }
}

HistoryResult HistoryStore::exec(const char* sql) {
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? HistoryResult::Ok : fail(rc);
}

sqlite3_stmt* HistoryStore::prepare(int slot, const char* sql) {
    sqlite3_stmt*& s = statements_[slot];
    if (s == nullptr) {
        if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK)
            s = nullptr;
    } else {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
    }
    return s;
}

HistoryResult HistoryStore::open(const std::string& path, HistoryMode mode, int busyTimeoutMs) {
    close();
    path_ = path;
    mode_ = mode;
    error_.clear();
    if (path.empty()) {
        error_ = "no folder for the history (no home folder)";
        return HistoryResult::Failed;
    }
    int flags = SQLITE_OPEN_NOFOLLOW;
    if (mode == HistoryMode::Write) {
        size_t slash = path.find_last_of('/');
        if (slash != std::string::npos && slash > 0)
            makeFolders(path.substr(0, slash), 0700);
        if (!preparePrivateFile(path, error_))
            return HistoryResult::Failed;
        flags |= SQLITE_OPEN_READWRITE;
    } else {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0)
            return errno == ENOENT ? HistoryResult::Missing : HistoryResult::Failed;
        if (!S_ISREG(st.st_mode)) {
            error_ = path + ": not a regular file";
            return HistoryResult::Failed;
        }
        // Read-write without create, so SQLite may open the WAL index; the
        // reader itself never writes. A file it may not write is read only.
        flags |= access(path.c_str(), W_OK) == 0 ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
    }
    int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        HistoryResult r = fail(rc);
        close();
        return r;
    }
    sqlite3_busy_timeout(db_, busyTimeoutMs);
    sqlite3_extended_result_codes(db_, 1);
    // A reader that happens to close last would otherwise checkpoint the log
    // into the file and flush it to disk: the writers' work, not a reader's.
    if (mode == HistoryMode::Read)
        sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);

    // Reading the version is the first read of the file: a file that is not
    // a database fails here.
    int version = 0;
    sqlite3_stmt* s = nullptr;
    rc = sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &s, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(s);
        if (rc == SQLITE_ROW) {
            version = sqlite3_column_int(s, 0);
            rc = SQLITE_OK;
        }
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_OK) {
        HistoryResult r = fail(rc);
        close();
        return r;
    }
    if (version > kHistorySchemaVersion) {
        error_ = "schema version " + std::to_string(version);
        close();
        return HistoryResult::NewerSchema;
    }
    version_ = version;
    if (mode == HistoryMode::Read) {
        if (version == 0) { // created but never written: no history yet
            close();
            return HistoryResult::Missing;
        }
        return HistoryResult::Ok;
    }
    HistoryResult r = exec("PRAGMA journal_mode=WAL");
    // NORMAL: in WAL mode a crash of the program never loses a committed cycle;
    // only a power cut may take the last ones, and the file stays valid.
    if (r == HistoryResult::Ok)
        r = exec("PRAGMA synchronous=NORMAL");
    if (r == HistoryResult::Ok)
        r = migrate();
    if (r == HistoryResult::Ok)
        version_ = kHistorySchemaVersion;
    if (r != HistoryResult::Ok)
        close();
    return r;
}

bool HistoryStore::hasPairs() const {
    return version_ >= 2;
}

HistoryResult HistoryStore::migrate() {
    HistoryResult r = exec("BEGIN IMMEDIATE");
    if (r != HistoryResult::Ok)
        return r;
    int version = 0;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW)
        version = sqlite3_column_int(s, 0);
    sqlite3_finalize(s);
    if (version > kHistorySchemaVersion) { // another program migrated it meanwhile
        exec("ROLLBACK");
        return HistoryResult::NewerSchema;
    }
    for (int step = version; step < kHistorySchemaVersion && r == HistoryResult::Ok; ++step)
        r = exec(kMigrations[step]);
    if (r == HistoryResult::Ok && version < kHistorySchemaVersion)
        r = exec(("PRAGMA user_version=" + std::to_string(kHistorySchemaVersion)).c_str());
    if (r == HistoryResult::Ok)
        r = exec("COMMIT");
    if (r != HistoryResult::Ok)
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return r;
}

void HistoryStore::setMaxPages(int64_t pages) {
    if (!db_)
        return;
    std::string sql =
        "PRAGMA max_page_count=" + std::to_string(pages > 0 ? pages : int64_t{4294967294});
    sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
}

// ---- Recording ---------------------------------------------------------------------------

HistoryResult HistoryStore::linkId(const std::string& interfaceName, const uint8_t* fromMac,
                                   const uint8_t* toMac, int family, bool pair, int64_t& id) {
    // Links are never renumbered, so their ids are kept after the first look:
    // a cycle of 256 links then reads none of them.
    const LinkKey key{interfaceName, macToInteger(fromMac), macToInteger(toMac), pair};
    if (auto known = linkCache_.find(key);
        known != linkCache_.end() && known->second.second == family) {
        id = known->second.first;
        return HistoryResult::Ok;
    }
    HistoryResult r = findOrAddLink(interfaceName, fromMac, toMac, family, pair, id);
    if (r == HistoryResult::Ok)
        linkCache_[key] = {id, family};
    return r;
}

HistoryResult HistoryStore::findOrAddLink(const std::string& interfaceName, const uint8_t* fromMac,
                                          const uint8_t* toMac, int family, bool pair,
                                          int64_t& id) {
    sqlite3_stmt* s = prepare(kFindLink, "SELECT id, family FROM link WHERE interface = ?1 AND "
                                         "local_mac = ?2 AND remote_mac = ?3 AND pair = ?4");
    if (!s)
        return fail(sqlite3_errcode(db_));
    sqlite3_bind_text(s, 1, interfaceName.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(s, 2, macToInteger(fromMac));
    sqlite3_bind_int64(s, 3, macToInteger(toMac));
    sqlite3_bind_int(s, 4, pair ? 1 : 0);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
        id = sqlite3_column_int64(s, 0);
        int stored = sqlite3_column_int(s, 1);
        sqlite3_reset(s);
        if (stored == family)
            return HistoryResult::Ok;
        // The adapter answered as another family (a Turbo adapter first seen
        // through a HomePlug 1.0 answer): the link keeps its samples.
        sqlite3_stmt* u = prepare(kSetFamily, "UPDATE link SET family = ?2 WHERE id = ?1");
        if (!u)
            return fail(sqlite3_errcode(db_));
        sqlite3_bind_int64(u, 1, id);
        sqlite3_bind_int(u, 2, family);
        rc = sqlite3_step(u);
        sqlite3_reset(u);
        return rc == SQLITE_DONE ? HistoryResult::Ok : fail(rc);
    }
    sqlite3_reset(s);
    if (rc != SQLITE_DONE)
        return fail(rc);
    sqlite3_stmt* i = prepare(kInsertLink, "INSERT INTO link (interface, local_mac, remote_mac, "
                                           "family, pair) VALUES (?1, ?2, ?3, ?4, ?5)");
    if (!i)
        return fail(sqlite3_errcode(db_));
    sqlite3_bind_text(i, 1, interfaceName.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(i, 2, macToInteger(fromMac));
    sqlite3_bind_int64(i, 3, macToInteger(toMac));
    sqlite3_bind_int(i, 4, family);
    sqlite3_bind_int(i, 5, pair ? 1 : 0);
    rc = sqlite3_step(i);
    sqlite3_reset(i);
    if (rc != SQLITE_DONE)
        return fail(rc);
    id = sqlite3_last_insert_rowid(db_);
    return HistoryResult::Ok;
}

HistoryResult HistoryStore::lastFirmware(const std::string& interfaceName, const uint8_t* localMac,
                                         std::string& out, bool& known) {
    sqlite3_stmt* s = prepare(kLastFirmware,
                              "SELECT detail FROM event WHERE kind = 'firmware' AND interface = ?1 "
                              "AND local_mac = ?2 ORDER BY t DESC, id DESC LIMIT 1");
    if (!s)
        return fail(sqlite3_errcode(db_));
    sqlite3_bind_text(s, 1, interfaceName.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(s, 2, macToInteger(localMac));
    int rc = sqlite3_step(s);
    known = rc == SQLITE_ROW;
    if (known)
        out = textColumn(s, 0);
    sqlite3_reset(s);
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? HistoryResult::Ok : fail(rc);
}

HistoryResult HistoryStore::recordCycle(const CycleRecord& record) {
    if (!db_)
        return HistoryResult::Failed;
    HistoryResult r = exec("BEGIN IMMEDIATE");
    if (r != HistoryResult::Ok)
        return r;
    auto abandon = [&](HistoryResult why) {
        std::string keep = error_;
        linkCache_.clear(); // ids of links added by the rolled-back cycle are void
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        error_ = keep;
        return why;
    };
    const int64_t local = macToInteger(record.localMac);
    std::vector<int64_t> now;
    now.reserve(record.samples.size());
    auto insertSample = [&](int64_t id, double rate, int quality) {
        sqlite3_stmt* s = prepare(kInsertSample, "INSERT OR REPLACE INTO recent (link, t, rate, "
                                                 "quality, span) VALUES (?1, ?2, ?3, ?4, ?5)");
        if (!s)
            return fail(sqlite3_errcode(db_));
        sqlite3_bind_int64(s, 1, id);
        sqlite3_bind_int64(s, 2, record.time);
        sqlite3_bind_double(s, 3, rate);
        sqlite3_bind_int(s, 4, quality);
        sqlite3_bind_int(s, 5, record.spanSeconds);
        int rc = sqlite3_step(s);
        sqlite3_reset(s);
        return rc == SQLITE_DONE ? HistoryResult::Ok : fail(rc);
    };
    for (const CycleSample& sample : record.samples) {
        int64_t id = 0;
        if ((r = linkId(record.interfaceName, record.localMac, sample.remoteMac, sample.family,
                        false, id)) != HistoryResult::Ok ||
            (r = insertSample(id, sample.rate, sample.quality)) != HistoryResult::Ok)
            return abandon(r);
        now.push_back(id);
    }
    // Pair rates sit beside the link samples, in the same tables: the same
    // retention applies to them. An unknown pair simply has no sample; pairs
    // record no drop-outs (a pair the map could not measure is a gap).
    for (const PairSample& pair : record.pairs) {
        int64_t id = 0;
        if ((r = linkId(record.interfaceName, pair.fromMac, pair.toMac, pair.family, true, id)) !=
                HistoryResult::Ok ||
            (r = insertSample(id, pair.rate, pair.quality)) != HistoryResult::Ok)
            return abandon(r);
    }
    std::sort(now.begin(), now.end());

    auto insertEvent = [&](HistoryEventKind kind, int64_t link, const std::string& detail) {
        sqlite3_stmt* s =
            prepare(kInsertEvent, "INSERT INTO event (t, kind, link, interface, "
                                  "local_mac, detail) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
        if (!s)
            return fail(sqlite3_errcode(db_));
        sqlite3_bind_int64(s, 1, record.time);
        sqlite3_bind_text(s, 2, kindText(kind), -1, SQLITE_STATIC);
        if (link)
            sqlite3_bind_int64(s, 3, link);
        sqlite3_bind_text(s, 4, record.interfaceName.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(s, 5, local);
        if (!detail.empty())
            sqlite3_bind_text(s, 6, detail.c_str(), -1, SQLITE_TRANSIENT);
        int rc = sqlite3_step(s);
        sqlite3_reset(s);
        return rc == SQLITE_DONE ? HistoryResult::Ok : fail(rc);
    };

    // Drop-outs: seen by the previous cycle on this adapter, not by this one.
    auto previous = std::find_if(seen_.begin(), seen_.end(), [&](const Seen& s) {
        return s.localMac == local && s.interfaceName == record.interfaceName;
    });
    if (previous != seen_.end())
        for (int64_t link : previous->links)
            if (!std::binary_search(now.begin(), now.end(), link))
                if ((r = insertEvent(HistoryEventKind::DropOut, link, {})) != HistoryResult::Ok)
                    return abandon(r);

    if (!record.localFirmware.empty()) {
        std::string last;
        bool known = false;
        if ((r = lastFirmware(record.interfaceName, record.localMac, last, known)) !=
            HistoryResult::Ok)
            return abandon(r);
        if (!known || last != record.localFirmware)
            if ((r = insertEvent(HistoryEventKind::Firmware, 0, record.localFirmware)) !=
                HistoryResult::Ok)
                return abandon(r);
    }
    if ((r = exec("COMMIT")) != HistoryResult::Ok)
        return abandon(r);

    if (previous != seen_.end())
        previous->links = std::move(now);
    else
        seen_.push_back({record.interfaceName, local, std::move(now)});

    // Pruning is housekeeping: a busy or full file keeps what it holds and
    // tries again next cycle. Only damage is reported.
    HistoryResult p = pruneStep(record.time);
    return p == HistoryResult::Corrupt ? p : HistoryResult::Ok;
}

// ---- Retention ---------------------------------------------------------------------------

HistoryResult HistoryStore::pruneLink(int64_t link, int64_t now) {
    sqlite3_stmt* s = prepare(kOldestSample, "SELECT min(t) FROM sample WHERE link = ?1");
    if (!s)
        return fail(sqlite3_errcode(db_));
    sqlite3_bind_int64(s, 1, link);
    int rc = sqlite3_step(s);
    bool any = rc == SQLITE_ROW && sqlite3_column_type(s, 0) != SQLITE_NULL;
    int64_t oldest = any ? sqlite3_column_int64(s, 0) : 0;
    sqlite3_reset(s);
    if (rc != SQLITE_ROW)
        return fail(rc);

    const int64_t rawCutoff = now - kHistoryRawSeconds;
    const int64_t hour = hourStart(oldest);
    const bool fold = any && hour + kHour <= rawCutoff;
    const int64_t hourlyCutoff = now - kHistoryHourlySeconds;

    // Most steps find nothing to do: look first, so that they cost two
    // reads and no transaction.
    s = prepare(kOldestHour, "SELECT min(hour) FROM hourly WHERE link = ?1");
    if (!s)
        return fail(sqlite3_errcode(db_));
    sqlite3_bind_int64(s, 1, link);
    rc = sqlite3_step(s);
    const bool expired = rc == SQLITE_ROW && sqlite3_column_type(s, 0) != SQLITE_NULL &&
                         sqlite3_column_int64(s, 0) < hourlyCutoff;
    sqlite3_reset(s);
    if (rc != SQLITE_ROW)
        return fail(rc);
    if (!fold && !expired)
        return HistoryResult::Ok;

    HistoryResult r = exec("BEGIN IMMEDIATE");
    if (r != HistoryResult::Ok)
        return r;
    auto step = [&](int slot, const char* sql, auto bind) {
        sqlite3_stmt* q = prepare(slot, sql);
        if (!q)
            return fail(sqlite3_errcode(db_));
        bind(q);
        int c = sqlite3_step(q);
        sqlite3_reset(q);
        return c == SQLITE_DONE ? HistoryResult::Ok : fail(c);
    };
    if (fold) {
        // The hour becomes one summary row; a row already there (a writer
        // that recorded into an hour another one had folded) is merged.
        r = step(
            kFoldHour,
            "INSERT INTO hourly (link, hour, rate_min, rate_mean, rate_max, samples, seen) "
            "SELECT link, ?2, min(rate), avg(rate), max(rate), count(*), sum(span) FROM sample "
            "WHERE link = ?1 AND t >= ?2 AND t < ?2 + 3600 GROUP BY link "
            "ON CONFLICT (link, hour) DO UPDATE SET "
            "rate_min = min(rate_min, excluded.rate_min), "
            "rate_max = max(rate_max, excluded.rate_max), "
            "rate_mean = (rate_mean * samples + excluded.rate_mean * excluded.samples) / "
            "(samples + excluded.samples), "
            "samples = samples + excluded.samples, seen = seen + excluded.seen",
            [&](sqlite3_stmt* q) {
                sqlite3_bind_int64(q, 1, link);
                sqlite3_bind_int64(q, 2, hour);
            });
        if (r == HistoryResult::Ok)
            r = step(kDeleteHour,
                     "DELETE FROM sample WHERE link = ?1 AND t >= ?2 AND t < ?2 + 3600",
                     [&](sqlite3_stmt* q) {
                         sqlite3_bind_int64(q, 1, link);
                         sqlite3_bind_int64(q, 2, hour);
                     });
    }
    if (r == HistoryResult::Ok)
        r = step(kExpireHourly,
                 // At most 64 expired hours of the link per step.
                 "DELETE FROM hourly WHERE link = ?1 AND hour < ?2 AND hour < "
                 "(SELECT min(hour) FROM hourly WHERE link = ?1) + 64 * 3600",
                 [&](sqlite3_stmt* q) {
                     sqlite3_bind_int64(q, 1, link);
                     sqlite3_bind_int64(q, 2, hourlyCutoff);
                 });
    if (r == HistoryResult::Ok)
        r = exec("COMMIT");
    if (r != HistoryResult::Ok) {
        std::string keep = error_;
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        error_ = keep;
    }
    return r;
}

HistoryResult HistoryStore::settleStep(int64_t now) {
    const int64_t hour = hourStart(now);
    sqlite3_stmt* s = prepare(kOldestRecent, "SELECT min(t) FROM recent");
    if (!s)
        return fail(sqlite3_errcode(db_));
    int rc = sqlite3_step(s);
    const bool due = rc == SQLITE_ROW && sqlite3_column_type(s, 0) != SQLITE_NULL &&
                     sqlite3_column_int64(s, 0) < hour;
    sqlite3_reset(s);
    if (rc != SQLITE_ROW)
        return fail(rc);
    if (!due)
        return HistoryResult::Ok;
    s = prepare(kLastLink, "SELECT max(id) FROM link");
    if (!s)
        return fail(sqlite3_errcode(db_));
    rc = sqlite3_step(s);
    const int64_t lastLink = rc == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0;
    sqlite3_reset(s);
    if (rc != SQLITE_ROW)
        return fail(rc);
    if (settleCursor_ >= lastLink)
        settleCursor_ = 0;
    const int64_t from = settleCursor_, to = settleCursor_ + kSettleLinks;

    HistoryResult r = exec("BEGIN IMMEDIATE");
    if (r != HistoryResult::Ok)
        return r;
    for (int slot : {kSettleCopy, kSettleDelete}) {
        sqlite3_stmt* q =
            slot == kSettleCopy
                ? prepare(slot, "INSERT OR REPLACE INTO sample (link, t, rate, quality, span) "
                                "SELECT link, t, rate, quality, span FROM recent "
                                "WHERE t < ?1 AND link > ?2 AND link <= ?3")
                : prepare(slot, "DELETE FROM recent WHERE t < ?1 AND link > ?2 AND link <= ?3");
        if (!q) {
            r = fail(sqlite3_errcode(db_));
            break;
        }
        sqlite3_bind_int64(q, 1, hour);
        sqlite3_bind_int64(q, 2, from);
        sqlite3_bind_int64(q, 3, to);
        rc = sqlite3_step(q);
        sqlite3_reset(q);
        if (rc != SQLITE_DONE) {
            r = fail(rc);
            break;
        }
    }
    if (r == HistoryResult::Ok)
        r = exec("COMMIT");
    if (r != HistoryResult::Ok) {
        std::string keep = error_;
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        error_ = keep;
        return r;
    }
    settleCursor_ = to;
    return HistoryResult::Ok;
}

HistoryResult HistoryStore::pruneStep(int64_t now, int links) {
    if (!db_)
        return HistoryResult::Failed;
    // Past hours of the recent table first: everything that follows reads `sample`.
    if (HistoryResult r = settleStep(now); r != HistoryResult::Ok)
        return r;
    std::vector<int64_t> visit;
    sqlite3_stmt* s = prepare(kNextLinks, "SELECT id FROM link WHERE id > ?1 ORDER BY id LIMIT ?2");
    if (!s)
        return fail(sqlite3_errcode(db_));
    sqlite3_bind_int64(s, 1, pruneCursor_);
    sqlite3_bind_int(s, 2, links);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW)
        visit.push_back(sqlite3_column_int64(s, 0));
    sqlite3_reset(s);
    if (rc != SQLITE_DONE)
        return fail(rc);
    // Round robin: the next step goes on after the last link visited, and
    // starts over once the list is done.
    pruneCursor_ = static_cast<int>(visit.size()) < links ? 0 : visit.back();
    for (int64_t link : visit)
        if (HistoryResult r = pruneLink(link, now); r != HistoryResult::Ok)
            return r;
    sqlite3_stmt* any = prepare(kAnyExpiredEvent, "SELECT 1 FROM event WHERE t < ?1 LIMIT 1");
    if (!any)
        return fail(sqlite3_errcode(db_));
    sqlite3_bind_int64(any, 1, now - kHistoryHourlySeconds);
    rc = sqlite3_step(any);
    sqlite3_reset(any);
    if (rc == SQLITE_DONE)
        return HistoryResult::Ok; // nothing expired: no write at all
    if (rc != SQLITE_ROW)
        return fail(rc);
    sqlite3_stmt* e = prepare(kExpireEvents, "DELETE FROM event WHERE id IN (SELECT id FROM event "
                                             "WHERE t < ?1 ORDER BY t LIMIT ?2)");
    if (!e)
        return fail(sqlite3_errcode(db_));
    sqlite3_bind_int64(e, 1, now - kHistoryHourlySeconds);
    sqlite3_bind_int(e, 2, kExpiredRowsPerStep);
    rc = sqlite3_step(e);
    sqlite3_reset(e);
    return rc == SQLITE_DONE ? HistoryResult::Ok : fail(rc);
}

// ---- Reading -----------------------------------------------------------------------------

HistoryResult HistoryStore::links(const std::vector<std::vector<uint8_t>>& macs,
                                  std::vector<HistoryLink>& out) {
    out.clear();
    if (!db_)
        return HistoryResult::Failed;
    sqlite3_stmt* s = nullptr;
    // A reader leaves a file of the first version as it is: it has no pairs.
    int rc = sqlite3_prepare_v2(
        db_,
        hasPairs() ? "SELECT id, interface, local_mac, remote_mac, family FROM "
                     "link WHERE pair = 0 ORDER BY interface, local_mac, remote_mac"
                   : "SELECT id, interface, local_mac, remote_mac, family FROM "
                     "link ORDER BY interface, local_mac, remote_mac",
        -1, &s, nullptr);
    if (rc != SQLITE_OK)
        return fail(rc);
    std::vector<int64_t> wanted;
    for (const auto& mac : macs)
        if (mac.size() == 6)
            wanted.push_back(macToInteger(mac.data()));
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        HistoryLink link = linkFromRow(s, false);
        int64_t local = sqlite3_column_int64(s, 2), remote = sqlite3_column_int64(s, 3);
        bool match = wanted.empty() ||
                     std::find(wanted.begin(), wanted.end(), remote) != wanted.end() ||
                     std::find(wanted.begin(), wanted.end(), local) != wanted.end();
        if (match)
            out.push_back(std::move(link));
    }
    sqlite3_finalize(s);
    return rc == SQLITE_DONE ? HistoryResult::Ok : fail(rc);
}

HistoryResult HistoryStore::pairLinks(const uint8_t* fromMac, const uint8_t* toMac,
                                      std::vector<HistoryLink>& out) {
    out.clear();
    if (!db_)
        return HistoryResult::Failed;
    sqlite3_stmt* s = nullptr;
    // The local adapter's rate to a remote is its link, recorded every cycle;
    // every other direction is a pair row of the map.
    int rc = sqlite3_prepare_v2(
        db_,
        hasPairs() ? "SELECT id, interface, local_mac, remote_mac, family, pair FROM link "
                     "WHERE local_mac = ?1 AND remote_mac = ?2 ORDER BY interface, pair"
                   : "SELECT id, interface, local_mac, remote_mac, family, 0 FROM link "
                     "WHERE local_mac = ?1 AND remote_mac = ?2 ORDER BY interface",
        -1, &s, nullptr);
    if (rc != SQLITE_OK)
        return fail(rc);
    sqlite3_bind_int64(s, 1, macToInteger(fromMac));
    sqlite3_bind_int64(s, 2, macToInteger(toMac));
    while ((rc = sqlite3_step(s)) == SQLITE_ROW)
        out.push_back(linkFromRow(s, true));
    sqlite3_finalize(s);
    return rc == SQLITE_DONE ? HistoryResult::Ok : fail(rc);
}

HistoryResult HistoryStore::points(int64_t link, int64_t since, int64_t until, bool hourly,
                                   std::vector<HistoryPoint>& out) {
    out.clear();
    if (!db_)
        return HistoryResult::Failed;
    std::vector<HistoryPoint> stored;
    sqlite3_stmt* s =
        prepare(kStoredHours, "SELECT hour, rate_min, rate_mean, rate_max, samples, seen FROM "
                              "hourly WHERE link = ?1 AND hour > ?2 - 3600 AND hour < ?3 "
                              "ORDER BY hour");
    if (!s)
        return fail(sqlite3_errcode(db_));
    sqlite3_bind_int64(s, 1, link);
    sqlite3_bind_int64(s, 2, since);
    sqlite3_bind_int64(s, 3, until);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW)
        stored.push_back({sqlite3_column_int64(s, 0), sqlite3_column_double(s, 1),
                          sqlite3_column_double(s, 2), sqlite3_column_double(s, 3),
                          sqlite3_column_int64(s, 4), sqlite3_column_int64(s, 5), true});
    sqlite3_reset(s);
    if (rc != SQLITE_DONE)
        return fail(rc);

    std::vector<HistoryPoint> raw;
    if (hourly) {
        s = prepare(kRawHours, "SELECT (t / 3600) * 3600 AS h, min(rate), avg(rate), max(rate), "
                               "count(*), sum(span) FROM samples WHERE link = ?1 AND t >= ?2 AND "
                               "t < ?3 GROUP BY h ORDER BY h");
        if (!s)
            return fail(sqlite3_errcode(db_));
        sqlite3_bind_int64(s, 1, link);
        sqlite3_bind_int64(s, 2, since);
        sqlite3_bind_int64(s, 3, until);
        while ((rc = sqlite3_step(s)) == SQLITE_ROW)
            raw.push_back({sqlite3_column_int64(s, 0), sqlite3_column_double(s, 1),
                           sqlite3_column_double(s, 2), sqlite3_column_double(s, 3),
                           sqlite3_column_int64(s, 4), sqlite3_column_int64(s, 5), true});
    } else {
        s = prepare(kRawPoints, "SELECT t, rate, span FROM samples WHERE link = ?1 AND t >= ?2 AND "
                                "t < ?3 ORDER BY t");
        if (!s)
            return fail(sqlite3_errcode(db_));
        sqlite3_bind_int64(s, 1, link);
        sqlite3_bind_int64(s, 2, since);
        sqlite3_bind_int64(s, 3, until);
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            double rate = sqlite3_column_double(s, 1);
            raw.push_back({sqlite3_column_int64(s, 0), rate, rate, rate, 1,
                           sqlite3_column_int64(s, 2), false});
        }
    }
    sqlite3_reset(s);
    if (rc != SQLITE_DONE)
        return fail(rc);
    out.resize(stored.size() + raw.size());
    std::merge(stored.begin(), stored.end(), raw.begin(), raw.end(), out.begin(),
               [](const HistoryPoint& a, const HistoryPoint& b) { return a.time < b.time; });
    return HistoryResult::Ok;
}

HistoryResult HistoryStore::events(int64_t link, int64_t since, int64_t until,
                                   std::vector<HistoryEvent>& out) {
    out.clear();
    if (!db_)
        return HistoryResult::Failed;
    sqlite3_stmt* s = nullptr;
    const char* sql = link ? "SELECT t, kind, link, interface, local_mac, detail FROM event WHERE "
                             "link = ?3 AND t >= ?1 AND t < ?2 ORDER BY t, id"
                           : "SELECT t, kind, link, interface, local_mac, detail FROM event WHERE "
                             "t >= ?1 AND t < ?2 ORDER BY t, id";
    int rc = sqlite3_prepare_v2(db_, sql, -1, &s, nullptr);
    if (rc != SQLITE_OK)
        return fail(rc);
    sqlite3_bind_int64(s, 1, since);
    sqlite3_bind_int64(s, 2, until);
    if (link)
        sqlite3_bind_int64(s, 3, link);
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        HistoryEvent e;
        e.time = sqlite3_column_int64(s, 0);
        e.kind =
            textColumn(s, 1) == "firmware" ? HistoryEventKind::Firmware : HistoryEventKind::DropOut;
        e.link = sqlite3_column_int64(s, 2);
        e.interfaceName = textColumn(s, 3);
        integerToMac(sqlite3_column_int64(s, 4), e.localMac);
        e.detail = textColumn(s, 5);
        out.push_back(std::move(e));
    }
    sqlite3_finalize(s);
    return rc == SQLITE_DONE ? HistoryResult::Ok : fail(rc);
}

HistoryResult HistoryStore::summary(const HistoryLink& link, int64_t since, int64_t until,
                                    LinkSummary& out) {
    out = LinkSummary{};
    out.link = link;
    std::vector<HistoryPoint> pts;
    if (HistoryResult r = points(link.id, since, until, false, pts); r != HistoryResult::Ok)
        return r;
    // Weighted values: a sample weighs 1, a summarised hour its sample count at its mean.
    std::vector<std::pair<double, int64_t>> values;
    values.reserve(pts.size());
    for (const HistoryPoint& p : pts) {
        if (p.count <= 0)
            continue;
        if (out.samples == 0 || p.min < out.min)
            out.min = p.min;
        if (out.samples == 0 || p.max > out.max)
            out.max = p.max;
        out.samples += p.count;
        out.seen += p.seen;
        values.push_back({p.mean, p.count});
    }
    if (out.samples > 0) {
        std::sort(values.begin(), values.end());
        auto at = [&](int64_t k) { // the k-th value (0-based) of the expanded list
            for (const auto& [v, w] : values) {
                if (k < w)
                    return v;
                k -= w;
            }
            return values.back().first;
        };
        out.median = out.samples % 2 ? at(out.samples / 2)
                                     : (at(out.samples / 2 - 1) + at(out.samples / 2)) / 2;
    }
    std::vector<HistoryEvent> evs;
    if (HistoryResult r = events(link.id, since, until, evs); r != HistoryResult::Ok)
        return r;
    for (const HistoryEvent& e : evs)
        if (e.kind == HistoryEventKind::DropOut)
            ++out.dropOuts;
    return HistoryResult::Ok;
}

// ---- Damaged files -------------------------------------------------------------------------

std::string moveHistoryAside(const std::string& path) {
    std::string target = path + ".bad";
    for (int n = 1; access(target.c_str(), F_OK) == 0 && n < 1000; ++n)
        target = path + ".bad." + std::to_string(n);
    if (rename(path.c_str(), target.c_str()) != 0)
        return {};
    // The write-ahead log belongs to the damaged file: it goes with it, under
    // the name SQLite looks for beside the new name.
    for (const char* companion : {"-wal", "-shm"})
        rename((path + companion).c_str(), (target + companion).c_str());
    return target;
}

HistoryResult openHistoryForWriting(HistoryStore& store, const std::string& path, int busyTimeoutMs,
                                    std::string& movedTo) {
    movedTo.clear();
    HistoryResult r = store.open(path, HistoryMode::Write, busyTimeoutMs);
    if (r != HistoryResult::Corrupt)
        return r;
    movedTo = moveHistoryAside(path);
    if (movedTo.empty())
        return HistoryResult::Corrupt;
    return store.open(path, HistoryMode::Write, busyTimeoutMs);
}
