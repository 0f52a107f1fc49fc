// The link history store on a real SQLite file: the private file and its
// schema, what a cycle records (samples, drop-outs, firmware changes), the
// retention (hours folded into summaries after 7 days, summaries and events
// dropped after two years, a few links per step), the summary's median, and
// the faults: a link at the path, a damaged file, a file of a newer version, a
// full disk, another writer holding the lock.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "storage/link_history.h"
#include "support/temp_dir.h"

namespace {

constexpr int64_t kDay0 = 1772323200; // 2026-03-01T00:00:00Z
constexpr uint8_t kLocal[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x10};

CycleSample sampleOf(uint8_t last, double rate, int family = 4) {
    CycleSample s;
    const uint8_t mac[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, last};
    std::copy(mac, mac + 6, s.remoteMac);
    s.family = family;
    s.rate = rate;
    s.quality = linkQuality(rate, family);
    return s;
}

CycleRecord cycleAt(int64_t t, std::vector<CycleSample> samples, std::string firmware = "FW-1") {
    CycleRecord r;
    r.time = t;
    r.interfaceName = "eth0";
    std::copy(kLocal, kLocal + 6, r.localMac);
    r.localFirmware = std::move(firmware);
    r.spanSeconds = 30;
    r.samples = std::move(samples);
    return r;
}

// One value of a query on the file, through a connection of its own.
int64_t scalar(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    int64_t v = -1;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW)
        v = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    sqlite3_close(db);
    return v;
}

class LinkHistoryTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string path = dir.file("state/halyard/history.sqlite3");
    HistoryStore store;

    void SetUp() override {
        ASSERT_EQ(HistoryResult::Ok, store.open(path, HistoryMode::Write, 100));
    }
    HistoryLink onlyLink(uint8_t last) {
        std::vector<HistoryLink> found;
        const std::vector<uint8_t> mac = {0x00, 0xB0, 0x52, 0x00, 0x00, last};
        EXPECT_EQ(HistoryResult::Ok, store.links({mac}, found));
        EXPECT_EQ(1u, found.size());
        return found.empty() ? HistoryLink{} : found[0];
    }
};

TEST_F(LinkHistoryTest, TheFileIsPrivateVersionedAndInWalMode) {
    struct stat st {};
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    ASSERT_EQ(0, stat(dir.file("state/halyard").c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);
    EXPECT_EQ(kHistorySchemaVersion, scalar(path, "PRAGMA user_version"));
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &s, nullptr);
    ASSERT_EQ(SQLITE_ROW, sqlite3_step(s));
    EXPECT_STREQ("wal", reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
    sqlite3_finalize(s);
    sqlite3_close(db);
    // The write-ahead log takes the file's mode.
    ASSERT_EQ(HistoryResult::Ok, store.recordCycle(cycleAt(kDay0, {sampleOf(0x11, 120)})));
    ASSERT_EQ(0, stat((path + "-wal").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
}

TEST_F(LinkHistoryTest, AnExistingFileOfLooserModeIsMadePrivateAndALinkIsRefused) {
    store.close();
    chmod(path.c_str(), 0644);
    ASSERT_EQ(HistoryResult::Ok, store.open(path, HistoryMode::Write, 100));
    struct stat st {};
    stat(path.c_str(), &st);
    EXPECT_EQ(0600u, st.st_mode & 07777);
    store.close();

    const std::string target = dir.file("elsewhere");
    writeFileText(target, "not yours");
    const std::string linked = dir.file("linked.sqlite3");
    ASSERT_EQ(0, symlink(target.c_str(), linked.c_str()));
    HistoryStore other;
    EXPECT_EQ(HistoryResult::Failed, other.open(linked, HistoryMode::Write, 100));
    EXPECT_EQ(HistoryResult::Failed, other.open(linked, HistoryMode::Read, 100));
    const auto bytes = readFileBytes(target);
    EXPECT_EQ("not yours", std::string(bytes.begin(), bytes.end()));
}

TEST_F(LinkHistoryTest, ACycleRecordsSamplesDropOutsAndFirmwareChanges) {
    ASSERT_EQ(HistoryResult::Ok,
              store.recordCycle(cycleAt(kDay0, {sampleOf(0x11, 120), sampleOf(0x12, 90)})));
    // 0x12 is gone in the second cycle: one drop-out; it returns in the third.
    ASSERT_EQ(HistoryResult::Ok, store.recordCycle(cycleAt(kDay0 + 30, {sampleOf(0x11, 119)})));
    ASSERT_EQ(HistoryResult::Ok,
              store.recordCycle(cycleAt(kDay0 + 60, {sampleOf(0x11, 118), sampleOf(0x12, 91)})));
    // The same firmware is not recorded again; a new one is.
    ASSERT_EQ(
        HistoryResult::Ok,
        store.recordCycle(cycleAt(kDay0 + 90, {sampleOf(0x11, 117), sampleOf(0x12, 92)}, "FW-2")));

    EXPECT_EQ(7, scalar(path, "SELECT count(*) FROM samples"));
    EXPECT_EQ(2, scalar(path, "SELECT count(*) FROM link"));
    std::vector<HistoryEvent> events;
    ASSERT_EQ(HistoryResult::Ok, store.events(0, kDay0, kDay0 + 3600, events));
    ASSERT_EQ(3u, events.size());
    EXPECT_EQ(HistoryEventKind::Firmware, events[0].kind);
    EXPECT_EQ("FW-1", events[0].detail);
    EXPECT_EQ(kDay0, events[0].time);
    EXPECT_EQ(HistoryEventKind::DropOut, events[1].kind);
    EXPECT_EQ(kDay0 + 30, events[1].time);
    EXPECT_EQ(onlyLink(0x12).id, events[1].link);
    EXPECT_EQ(HistoryEventKind::Firmware, events[2].kind);
    EXPECT_EQ("FW-2", events[2].detail);

    std::vector<HistoryPoint> points;
    ASSERT_EQ(HistoryResult::Ok,
              store.points(onlyLink(0x11).id, kDay0, kDay0 + 3600, false, points));
    ASSERT_EQ(4u, points.size());
    EXPECT_EQ(kDay0 + 30, points[1].time);
    EXPECT_DOUBLE_EQ(119, points[1].mean);
    EXPECT_EQ(30, points[1].seen);
    EXPECT_EQ(60, scalar(path, "SELECT quality FROM samples WHERE rate = 120"));

    // A second store on the same file (halyardctl watch beside the window)
    // starts without a previous cycle: no drop-out from its first cycle, and
    // the firmware already on file is not recorded again.
    HistoryStore second;
    ASSERT_EQ(HistoryResult::Ok, second.open(path, HistoryMode::Write, 100));
    ASSERT_EQ(HistoryResult::Ok, second.recordCycle(cycleAt(kDay0 + 120, {}, "FW-2")));
    EXPECT_EQ(3, scalar(path, "SELECT count(*) FROM event"));
}

TEST_F(LinkHistoryTest, MacFilterMatchesTheRemoteOrTheLocalAdapter) {
    ASSERT_EQ(HistoryResult::Ok,
              store.recordCycle(cycleAt(kDay0, {sampleOf(0x11, 120), sampleOf(0x12, 90)})));
    std::vector<HistoryLink> found;
    ASSERT_EQ(HistoryResult::Ok, store.links({std::vector<uint8_t>(kLocal, kLocal + 6)}, found));
    EXPECT_EQ(2u, found.size());
    const std::vector<uint8_t> unknown = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x99};
    ASSERT_EQ(HistoryResult::Ok, store.links({unknown}, found));
    EXPECT_TRUE(found.empty());
    EXPECT_EQ("eth0", onlyLink(0x12).interfaceName);
    EXPECT_EQ(4, onlyLink(0x12).family);
}

TEST_F(LinkHistoryTest, HoursOlderThanSevenDaysBecomeSummariesAFewLinksAtATime) {
    // Two hours of samples for 10 links: rates 100..129 in the first hour (one
    // per 2 minutes), then 200 flat.
    std::vector<CycleRecord> cycles;
    for (int k = 0; k < 60; ++k) {
        std::vector<CycleSample> samples;
        for (uint8_t link = 0; link < 10; ++link)
            samples.push_back(sampleOf(static_cast<uint8_t>(0x20 + link), k < 30 ? 100 + k : 200));
        ASSERT_EQ(HistoryResult::Ok, store.recordCycle(cycleAt(kDay0 + k * 120, samples)));
    }
    EXPECT_EQ(600, scalar(path, "SELECT count(*) FROM samples"));
    EXPECT_EQ(0, scalar(path, "SELECT count(*) FROM hourly"));

    // Seven days after the first hour ended, only that hour may be folded.
    const int64_t later = kDay0 + 3600 + kHistoryRawSeconds;
    // A step folds at most 4 links' hours (fewer when its round ends).
    ASSERT_EQ(HistoryResult::Ok, store.pruneStep(later, 4));
    const int64_t folded = scalar(path, "SELECT count(*) FROM hourly");
    EXPECT_GE(folded, 1);
    EXPECT_LE(folded, 4);
    EXPECT_EQ(600 - folded * 30, scalar(path, "SELECT count(*) FROM samples"));
    for (int step = 0; step < 5; ++step)
        ASSERT_EQ(HistoryResult::Ok, store.pruneStep(later, 4));
    EXPECT_EQ(10, scalar(path, "SELECT count(*) FROM hourly"));
    EXPECT_EQ(300, scalar(path, "SELECT count(*) FROM samples"));
    EXPECT_EQ(
        0, scalar(path, "SELECT count(*) FROM samples WHERE t < " + std::to_string(kDay0 + 3600)));

    const HistoryLink link = onlyLink(0x23);
    std::vector<HistoryPoint> points;
    ASSERT_EQ(HistoryResult::Ok, store.points(link.id, kDay0, later, false, points));
    ASSERT_EQ(31u, points.size());
    EXPECT_TRUE(points[0].hourly);
    EXPECT_EQ(kDay0, points[0].time);
    EXPECT_DOUBLE_EQ(100, points[0].min);
    EXPECT_DOUBLE_EQ(114.5, points[0].mean);
    EXPECT_DOUBLE_EQ(129, points[0].max);
    EXPECT_EQ(30, points[0].count);
    EXPECT_EQ(900, points[0].seen);
    EXPECT_FALSE(points[1].hourly);

    // Hourly view: the raw hour summarised on the fly beside the stored one.
    ASSERT_EQ(HistoryResult::Ok, store.points(link.id, kDay0, later, true, points));
    ASSERT_EQ(2u, points.size());
    EXPECT_EQ(kDay0 + 3600, points[1].time);
    EXPECT_EQ(30, points[1].count);
    EXPECT_DOUBLE_EQ(200, points[1].mean);

    // Summary over both: 30 samples 100..129 (as one summary at 114.5) and 30 at 200.
    LinkSummary sum;
    ASSERT_EQ(HistoryResult::Ok, store.summary(link, kDay0, later, sum));
    EXPECT_EQ(60, sum.samples);
    EXPECT_DOUBLE_EQ(100, sum.min);
    EXPECT_DOUBLE_EQ(200, sum.max);
    EXPECT_DOUBLE_EQ((114.5 + 200) / 2, sum.median);
    EXPECT_EQ(1800, sum.seen);

    // Two years on, the summaries and the first firmware event go too.
    const int64_t gone = kDay0 + 7200 + kHistoryHourlySeconds + kHistoryRawSeconds;
    for (int step = 0; step < 8; ++step)
        ASSERT_EQ(HistoryResult::Ok, store.pruneStep(gone, 4));
    EXPECT_EQ(0, scalar(path, "SELECT count(*) FROM hourly"));
    EXPECT_EQ(0, scalar(path, "SELECT count(*) FROM samples"));
    EXPECT_EQ(0, scalar(path, "SELECT count(*) FROM event"));
}

TEST_F(LinkHistoryTest, MedianOfRawSamplesOddAndEven) {
    const double rates[] = {50, 10, 40, 20, 30};
    for (int k = 0; k < 5; ++k)
        ASSERT_EQ(HistoryResult::Ok,
                  store.recordCycle(cycleAt(kDay0 + k * 30, {sampleOf(0x11, rates[k])})));
    LinkSummary sum;
    ASSERT_EQ(HistoryResult::Ok, store.summary(onlyLink(0x11), kDay0, kDay0 + 150, sum));
    EXPECT_DOUBLE_EQ(30, sum.median);
    ASSERT_EQ(HistoryResult::Ok, store.summary(onlyLink(0x11), kDay0, kDay0 + 120, sum));
    EXPECT_DOUBLE_EQ(30, sum.median); // 10 20 40 50
    EXPECT_EQ(4, sum.samples);
    EXPECT_EQ(120, sum.seen);
}

TEST_F(LinkHistoryTest, ADamagedFileIsMovedAsideAndANewOneStarted) {
    store.close();
    std::vector<uint8_t> garbage(8192, 0x5A);
    writeFileBytes(path, garbage);
    std::string movedTo;
    ASSERT_EQ(HistoryResult::Ok, openHistoryForWriting(store, path, 100, movedTo));
    EXPECT_EQ(path + ".bad", movedTo);
    EXPECT_EQ(garbage, readFileBytes(movedTo));
    EXPECT_EQ(kHistorySchemaVersion, scalar(path, "PRAGMA user_version"));
    // A second damaged file does not replace the first one kept aside.
    store.close();
    writeFileBytes(path, garbage);
    ASSERT_EQ(HistoryResult::Ok, openHistoryForWriting(store, path, 100, movedTo));
    EXPECT_EQ(path + ".bad.1", movedTo);
}

TEST_F(LinkHistoryTest, AFileOfANewerVersionIsLeftAlone) {
    store.close();
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "PRAGMA user_version=9", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    const auto before = readFileBytes(path);
    std::string movedTo;
    EXPECT_EQ(HistoryResult::NewerSchema, openHistoryForWriting(store, path, 100, movedTo));
    EXPECT_TRUE(movedTo.empty());
    EXPECT_EQ(before, readFileBytes(path));
    HistoryStore reader;
    EXPECT_EQ(HistoryResult::NewerSchema, reader.open(path, HistoryMode::Read, 100));
}

TEST_F(LinkHistoryTest, AnEmptyOrAbsentFileIsNoHistoryForTheReader) {
    HistoryStore reader;
    EXPECT_EQ(HistoryResult::Missing,
              reader.open(dir.file("none.sqlite3"), HistoryMode::Read, 100));
    EXPECT_NE(0, access(dir.file("none.sqlite3").c_str(), F_OK)); // the reader creates nothing
    writeFileText(dir.file("empty.sqlite3"), "");
    EXPECT_EQ(HistoryResult::Missing,
              reader.open(dir.file("empty.sqlite3"), HistoryMode::Read, 100));
}

TEST_F(LinkHistoryTest, AFullDiskPausesAndWritesResumeWhenThereIsRoom) {
    ASSERT_EQ(HistoryResult::Ok, store.recordCycle(cycleAt(kDay0, {sampleOf(0x11, 120)})));
    const int64_t pages = scalar(path, "PRAGMA page_count");
    store.setMaxPages(pages);
    std::vector<CycleSample> many;
    for (int k = 0; k < 200; ++k)
        many.push_back(sampleOf(static_cast<uint8_t>(k), 100));
    EXPECT_EQ(HistoryResult::Full, store.recordCycle(cycleAt(kDay0 + 30, many)));
    // Nothing of the failed cycle is kept; the file is whole.
    EXPECT_EQ(1, scalar(path, "SELECT count(*) FROM samples"));
    store.setMaxPages(0);
    EXPECT_EQ(HistoryResult::Ok, store.recordCycle(cycleAt(kDay0 + 60, many)));
    EXPECT_EQ(201, scalar(path, "SELECT count(*) FROM samples"));
}

TEST_F(LinkHistoryTest, AnotherWriterHoldingTheLockCostsOneCycleOnly) {
    sqlite3* other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &other));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    EXPECT_EQ(HistoryResult::Busy, store.recordCycle(cycleAt(kDay0, {sampleOf(0x11, 120)})));
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(HistoryResult::Ok, store.recordCycle(cycleAt(kDay0 + 30, {sampleOf(0x11, 120)})));
    EXPECT_EQ(1, scalar(path, "SELECT count(*) FROM samples"));
}

TEST(LinkHistoryValues, MacIntegersAndQuality) {
    const uint8_t mac[6] = {0x00, 0xB0, 0x52, 0xAB, 0xCD, 0xEF};
    EXPECT_EQ(0x00B052ABCDEFll, macToInteger(mac));
    uint8_t back[6] = {};
    integerToMac(0xFFEEDDCCBBAAll, back);
    EXPECT_EQ(0xFF, back[0]);
    EXPECT_EQ(0xAA, back[5]);
    EXPECT_EQ(50, linkQuality(100, 4)); // half of 200
    EXPECT_EQ(100, linkQuality(900, 4));
    EXPECT_EQ(50, linkQuality(7, 1)); // half of 14
    EXPECT_EQ(0, linkQuality(0, 4));
}

} // namespace

namespace {

// The schema as the first version of halyard wrote it, byte for byte: the
// migration must take such a file as it is found on users' disks.
constexpr const char* kFirstVersionSchema =
    "CREATE TABLE link (id INTEGER PRIMARY KEY, interface TEXT NOT NULL,"
    "  local_mac INTEGER NOT NULL, remote_mac INTEGER NOT NULL, family INTEGER NOT NULL,"
    "  UNIQUE (interface, local_mac, remote_mac));"
    "CREATE TABLE sample (link INTEGER NOT NULL, t INTEGER NOT NULL, rate REAL NOT NULL,"
    "  quality INTEGER NOT NULL, span INTEGER NOT NULL, PRIMARY KEY (link, t)) WITHOUT ROWID;"
    "CREATE TABLE hourly (link INTEGER NOT NULL, hour INTEGER NOT NULL,"
    "  rate_min REAL NOT NULL, rate_mean REAL NOT NULL, rate_max REAL NOT NULL,"
    "  samples INTEGER NOT NULL, seen INTEGER NOT NULL, PRIMARY KEY (link, hour)) WITHOUT ROWID;"
    "CREATE TABLE event (id INTEGER PRIMARY KEY, t INTEGER NOT NULL, kind TEXT NOT NULL,"
    "  link INTEGER, interface TEXT NOT NULL, local_mac INTEGER NOT NULL, detail TEXT);"
    "CREATE TABLE recent (t INTEGER NOT NULL, link INTEGER NOT NULL, rate REAL NOT NULL,"
    "  quality INTEGER NOT NULL, span INTEGER NOT NULL, PRIMARY KEY (t, link)) WITHOUT ROWID;"
    "CREATE VIEW samples AS SELECT link, t, rate, quality, span FROM sample"
    "  UNION ALL SELECT link, t, rate, quality, span FROM recent;"
    "CREATE INDEX event_time ON event (t);"
    "CREATE INDEX event_link ON event (link, t);"
    // Two links, ids 3 and 7 (ids with holes, as after links were added in
    // cycles that rolled back): a raw sample of each table, an hour, events.
    "INSERT INTO link VALUES (3, 'eth0', 0x00B052000010, 0x00B052000011, 4);"
    "INSERT INTO link VALUES (7, 'eth0', 0x00B052000010, 0x00B052000012, 4);"
    "INSERT INTO sample VALUES (3, 1772323200, 120.0, 80, 30);"
    "INSERT INTO recent VALUES (1772326800, 3, 110.0, 73, 30);"
    "INSERT INTO recent VALUES (1772326800, 7, 90.0, 60, 30);"
    "INSERT INTO hourly VALUES (7, 1771718400, 80.0, 85.0, 90.0, 120, 3600);"
    "INSERT INTO event VALUES (1, 1772323200, 'firmware', NULL, 'eth0', 0x00B052000010, 'FW-1');"
    "INSERT INTO event VALUES (2, 1772326830, 'dropout', 7, 'eth0', 0x00B052000010, NULL);"
    "PRAGMA user_version=1;";

void writeFirstVersionFile(const std::string& path) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    char* error = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, kFirstVersionSchema, nullptr, nullptr, &error))
        << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

PairSample pairOf(uint8_t from, uint8_t to, double rate) {
    PairSample p;
    const uint8_t a[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, from};
    const uint8_t b[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, to};
    std::copy(a, a + 6, p.fromMac);
    std::copy(b, b + 6, p.toMac);
    p.family = 4;
    p.rate = rate;
    p.quality = linkQuality(rate, 4);
    return p;
}

const uint8_t kMac11[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x11};
const uint8_t kMac12[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x12};

} // namespace

TEST(LinkHistoryMigration, AFileOfTheFirstVersionKeepsEveryRowAndGainsPairs) {
    TempDir dir;
    const std::string path = dir.file("history.sqlite3");
    writeFirstVersionFile(path);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());

    // A reader leaves it as it is, and reads it.
    {
        HistoryStore reader;
        ASSERT_EQ(HistoryResult::Ok, reader.open(path, HistoryMode::Read, 100));
        EXPECT_FALSE(reader.hasPairs());
        std::vector<HistoryLink> links;
        ASSERT_EQ(HistoryResult::Ok, reader.links({}, links)) << reader.lastError();
        EXPECT_EQ(2u, links.size());
        ASSERT_EQ(HistoryResult::Ok, reader.pairLinks(kLocal, kMac12, links));
        ASSERT_EQ(1u, links.size());
        EXPECT_EQ(7, links[0].id);
        EXPECT_FALSE(links[0].pair);
        ASSERT_EQ(HistoryResult::Ok, reader.pairLinks(kMac11, kMac12, links));
        EXPECT_TRUE(links.empty());
    }
    EXPECT_EQ(1, scalar(path, "PRAGMA user_version"));

    HistoryStore store;
    ASSERT_EQ(HistoryResult::Ok, store.open(path, HistoryMode::Write, 100)) << store.lastError();
    EXPECT_TRUE(store.hasPairs());
    EXPECT_EQ(kHistorySchemaVersion, scalar(path, "PRAGMA user_version"));
    // Every row is there, under the same link ids.
    EXPECT_EQ(2, scalar(path, "SELECT count(*) FROM link WHERE pair = 0"));
    EXPECT_EQ(0x00B052000011, scalar(path, "SELECT remote_mac FROM link WHERE id = 3"));
    EXPECT_EQ(0x00B052000012, scalar(path, "SELECT remote_mac FROM link WHERE id = 7"));
    EXPECT_EQ(3, scalar(path, "SELECT count(*) FROM samples"));
    EXPECT_EQ(120, scalar(path, "SELECT rate FROM samples WHERE link = 3 AND t = 1772323200"));
    EXPECT_EQ(90, scalar(path, "SELECT rate FROM samples WHERE link = 7"));
    EXPECT_EQ(120, scalar(path, "SELECT samples FROM hourly WHERE link = 7"));
    EXPECT_EQ(2, scalar(path, "SELECT count(*) FROM event"));
    EXPECT_EQ(7, scalar(path, "SELECT link FROM event WHERE kind = 'dropout'"));
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr);
    ASSERT_EQ(SQLITE_ROW, sqlite3_step(s));
    EXPECT_STREQ("ok", reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
    sqlite3_finalize(s);
    sqlite3_close(db);

    // The next cycle goes on in the old links, and its pairs go in beside them.
    CycleRecord next = cycleAt(1772326830, {sampleOf(0x11, 100), sampleOf(0x12, 95)});
    next.pairs = {pairOf(0x11, 0x12, 200), pairOf(0x12, 0x11, 180), pairOf(0x11, 0x10, 130)};
    ASSERT_EQ(HistoryResult::Ok, store.recordCycle(next)) << store.lastError();
    EXPECT_EQ(2, scalar(path, "SELECT count(*) FROM link WHERE pair = 0"));
    EXPECT_EQ(3, scalar(path, "SELECT count(*) FROM link WHERE pair = 1"));
    EXPECT_EQ(100, scalar(path, "SELECT rate FROM samples WHERE link = 3 AND t = 1772326830"));
    EXPECT_EQ(95, scalar(path, "SELECT rate FROM samples WHERE link = 7 AND t = 1772326830"));
    std::vector<HistoryLink> links;
    ASSERT_EQ(HistoryResult::Ok, store.links({}, links));
    EXPECT_EQ(2u, links.size()) << "pairs are not links of the local adapter";
    ASSERT_EQ(HistoryResult::Ok, store.pairLinks(kMac11, kMac12, links));
    ASSERT_EQ(1u, links.size());
    EXPECT_TRUE(links[0].pair);
    std::vector<HistoryPoint> points;
    ASSERT_EQ(HistoryResult::Ok, store.points(links[0].id, 1772326800, 1772330400, false, points));
    ASSERT_EQ(1u, points.size());
    EXPECT_DOUBLE_EQ(200, points[0].mean);
    // The local adapter's direction of a pair is its link.
    ASSERT_EQ(HistoryResult::Ok, store.pairLinks(kLocal, kMac11, links));
    ASSERT_EQ(1u, links.size());
    EXPECT_EQ(3, links[0].id);
    EXPECT_FALSE(links[0].pair);
}

TEST_F(LinkHistoryTest, PairsShareTheLinksRetentionAndRecordNoDropOuts) {
    // An hour of cycles with one pair, then the pair unknown (absent) for a cycle.
    CycleRecord first = cycleAt(kDay0, {sampleOf(0x11, 120)});
    first.pairs = {pairOf(0x11, 0x12, 200)};
    ASSERT_EQ(HistoryResult::Ok, store.recordCycle(first));
    CycleRecord second = cycleAt(kDay0 + 30, {sampleOf(0x11, 120)});
    ASSERT_EQ(HistoryResult::Ok, store.recordCycle(second));
    EXPECT_EQ(0, scalar(path, "SELECT count(*) FROM event WHERE kind = 'dropout'"));
    EXPECT_EQ(1, scalar(path, "SELECT count(*) FROM samples WHERE link = "
                              "(SELECT id FROM link WHERE pair = 1)"));
    // A pair whose ends are the local link's ends stays apart from it.
    CycleRecord mirrored = cycleAt(kDay0 + 60, {sampleOf(0x11, 120)});
    mirrored.pairs = {pairOf(0x10, 0x11, 77)};
    ASSERT_EQ(HistoryResult::Ok, store.recordCycle(mirrored));
    EXPECT_EQ(120, scalar(path, "SELECT rate FROM samples WHERE t = " + std::to_string(kDay0 + 60) +
                                    " AND link = (SELECT id FROM link WHERE pair = 0)"));
    // Eight days on, the pair's hour is folded like the link's.
    for (int k = 0; k < 40; ++k)
        ASSERT_EQ(HistoryResult::Ok, store.pruneStep(kDay0 + 8 * 86400 + k));
    EXPECT_EQ(0, scalar(path, "SELECT count(*) FROM samples"));
    EXPECT_EQ(1, scalar(path, "SELECT samples FROM hourly WHERE link = (SELECT id FROM link "
                              "WHERE pair = 1 AND local_mac = 0x00B052000011)"));
    EXPECT_EQ(200, scalar(path, "SELECT rate_max FROM hourly WHERE link = (SELECT id FROM link "
                                "WHERE pair = 1 AND local_mac = 0x00B052000011)"));
}
