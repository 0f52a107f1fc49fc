// The link history's figures, on real SQLite files in a temporary folder:
//
// 1. Recording one cycle of 256 links (8 interfaces x 32 remotes, the most the
//    tables hold), pruning step included: median, 90th percentile and maximum
//    over `cycles` cycles 30 s apart. Goal: median <= 2 ms. Then the same
//    with the network map open: a home's 8 links and 64 pairs, and the
//    largest map's 31 links and 961 pairs.
// 2. `halyardctl history <MAC> --since 24h` (the command's own code, output
//    thrown away) on a file holding 7 days of raw samples at 30 s and a year
//    of hourly summaries for 256 links. Goal: <= 50 ms.
// 3. The size of the file at the default 30 s interval once it is full (7 days
//    raw + two years of summaries): for one home (one interface, 8 adapters)
//    and for 256 links; the second is extrapolated from the one-year file by
//    the size of its summaries.
//
// The week view's opening time is bench_history_view (it needs the window).
//
// Usage: bench_history [cycles, default 2000] [keep-file-path]
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_runner.h"
#include "cli/halyardctl.h"
#include "history_fill.h"
#include "network/model.h"
#include "platform/clock.h"
#include "storage/link_history.h"
#include "support/temp_dir.h"

namespace {

using bench::msSince;
using bench::Steady;

int64_t fileSize(const std::string& path) {
    struct stat st {};
    int64_t total = 0;
    for (const char* suffix : {"", "-wal"})
        if (stat((path + suffix).c_str(), &st) == 0)
            total += st.st_size;
    return total;
}

int64_t tableBytes(const std::string& path, const char* table) {
    // The pages a table (and its key) takes, from SQLite's own accounting.
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* s = nullptr;
    int64_t pages = 0, pageSize = 4096;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM dbstat WHERE name = ?1", -1, &s, nullptr) ==
        SQLITE_OK) {
        sqlite3_bind_text(s, 1, table, -1, SQLITE_STATIC);
        if (sqlite3_step(s) == SQLITE_ROW)
            pages = sqlite3_column_int64(s, 0);
    }
    sqlite3_finalize(s);
    if (sqlite3_prepare_v2(db, "PRAGMA page_size", -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW)
        pageSize = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    sqlite3_close(db);
    return pages * pageSize;
}

} // namespace

int main(int argc, char** argv) {
    const int cycles = bench::countArgument(argc, argv, 1, 2000, 10);
    TempDir dir;

    // 1. Recording.
    {
        const std::string path = dir.file("record.sqlite3");
        HistoryStore store;
        if (store.open(path, HistoryMode::Write, 1000) != HistoryResult::Ok) {
            std::fprintf(stderr, "cannot create %s\n", path.c_str());
            return 1;
        }
        std::vector<double> ms;
        const int64_t t0 = 1772323200;
        for (int n = 0; n < cycles; ++n) {
            std::vector<CycleRecord> perInterface;
            for (int i = 0; i < 8; ++i)
                perInterface.push_back(cycleOf(i, 32, t0 + n * 30, n));
            // One cycle of the tables: every interface's 32 remotes.
            CycleRecord all = perInterface[0];
            for (int i = 1; i < 8; ++i)
                all.samples.insert(all.samples.end(), perInterface[i].samples.begin(),
                                   perInterface[i].samples.end());
            const auto start = Steady::now();
            if (store.recordCycle(all) != HistoryResult::Ok) {
                std::fprintf(stderr, "recording failed: %s\n", store.lastError().c_str());
                return 1;
            }
            ms.push_back(msSince(start));
        }
        const bench::Spread f = bench::spreadOf(ms);
        std::printf("record one cycle of 256 links (%d cycles): median %.3f ms, p90 %.3f ms, max "
                    "%.3f ms (goal: median <= 2 ms)\n",
                    cycles, f.median, f.p90, f.max);
    }

    // 1b. Recording with the network map open: the selected interface's links
    // and every pair the map learned beside them, for one home (1 local + 8
    // remote adapters: 8 links, 64 pairs) and for the largest map (32
    // adapters: 31 links, 961 pairs).
    for (int adapters : {9, 32}) {
        const std::string path = dir.file("pairs" + std::to_string(adapters) + ".sqlite3");
        HistoryStore store;
        if (store.open(path, HistoryMode::Write, 1000) != HistoryResult::Ok)
            return 1;
        std::vector<double> ms;
        const int64_t t0 = 1772323200;
        const int runs = std::min(cycles, 500);
        for (int n = 0; n < runs; ++n) {
            CycleRecord record = cycleOf(0, adapters - 1, t0 + n * 30, n);
            for (int from = 0; from < adapters - 1; ++from)
                for (int to = -1; to < adapters - 1; ++to) {
                    if (to == from)
                        continue;
                    PairSample pair;
                    std::copy(record.samples[static_cast<size_t>(from)].remoteMac,
                              record.samples[static_cast<size_t>(from)].remoteMac + 6,
                              pair.fromMac);
                    const uint8_t* toMac = to < 0
                                               ? record.localMac
                                               : record.samples[static_cast<size_t>(to)].remoteMac;
                    std::copy(toMac, toMac + 6, pair.toMac);
                    pair.family = 4;
                    pair.rate = 60 + (from * 11 + to * 5 + n) % 120;
                    pair.quality = linkQuality(pair.rate, 4);
                    record.pairs.push_back(pair);
                }
            const auto start = Steady::now();
            if (store.recordCycle(record) != HistoryResult::Ok) {
                std::fprintf(stderr, "recording failed: %s\n", store.lastError().c_str());
                return 1;
            }
            ms.push_back(msSince(start));
        }
        const bench::Spread f = bench::spreadOf(ms);
        std::printf("record one cycle with the map open, %d adapters (%d links + %d pairs, %d "
                    "cycles): median %.3f ms, p90 %.3f ms, max %.3f ms\n",
                    adapters, adapters - 1, (adapters - 1) * (adapters - 1), runs, f.median, f.p90,
                    f.max);
    }

    // 2. The query, and 3. the sizes.
    const int64_t now = utcNowMs() / 1000;
    const std::string big = argc > 2 ? argv[2] : dir.file("big.sqlite3");
    auto started = Steady::now();
    if (argc <= 2 || access(big.c_str(), F_OK) != 0) // a kept file is used again as it is
        fill(big, 8, 32, 7, 365, now);
    std::printf("filled 256 links x (7 days raw + 365 days hourly) in %.1f s: %.1f MB\n",
                msSince(started) / 1000, fileSize(big) / 1e6);
    {
        halyardctl::Environment env;
        env.historyPath = big;
        env.setup.useDataPlaces = true;
        env.setup.workingFolder = dir.path();
        env.setup.machineDataDirectory = dir.file("data");
        env.setup.fallbackDataDirectory = dir.file("fallback");
        std::vector<double> ms;
        size_t lines = 0;
        for (int n = 0; n < 21; ++n) {
            std::ostringstream out, err;
            const auto start = Steady::now();
            int code =
                halyardctl::run({"history", "00:B0:52:02:03:07", "--since", "24h"}, out, err, env);
            ms.push_back(msSince(start));
            if (code != 0) {
                std::fprintf(stderr, "history failed: %s\n", err.str().c_str());
                return 1;
            }
            const std::string text = out.str();
            lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
        }
        const bench::Spread f = bench::spreadOf(ms);
        std::printf("history <MAC> --since 24h (%zu lines): median %.1f ms, p90 %.1f ms, max %.1f "
                    "ms (goal <= 50 ms)\n",
                    lines, f.median, f.p90, f.max);
    }
    {
        const int64_t raw = tableBytes(big, "sample");
        const int64_t hourly = tableBytes(big, "hourly");
        const int64_t full = fileSize(big) + hourly; // a second year of summaries
        std::printf("256 links at 30 s, full (7 days raw + 2 years hourly): about %.0f MB "
                    "(raw samples %.0f MB, a year of summaries %.0f MB)\n",
                    full / 1e6, raw / 1e6, hourly / 1e6);
        const std::string home = dir.file("home.sqlite3");
        fill(home, 1, 8, 7, 730, now);
        std::printf("one home (1 interface, 8 adapters) at 30 s, full: %.1f MB\n",
                    fileSize(home) / 1e6);
    }
    return 0;
}
