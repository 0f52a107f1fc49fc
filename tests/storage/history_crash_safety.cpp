// Crash safety of the link history, measured: a child process records cycles
// into the history file over and over (cycle g: 64 links, every sample at
// time T0 + g, rate g) and reports every cycle that returned. The parent kills
// it with SIGKILL after a random delay, then checks the file as the next
// start would open it:
//   - it opens for writing and passes SQLite's integrity check;
//   - the last cycle on file is the last one reported or the one after it (a
//     cycle whose commit landed just before the kill): at most the cycle being
//     written is lost;
//   - every cycle on file is whole (64 samples), none half-written.
// The next child goes on from the file's last cycle. The figures are printed.
//
// Usage: history_crash_safety [kills]   (default 100)
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "storage/link_history.h"
#include "support/temp_dir.h"

namespace {

constexpr int kLinks = 64;
constexpr int64_t kT0 = 1772323200;

CycleRecord generation(uint32_t g) {
    CycleRecord r;
    r.time = kT0 + g;
    r.interfaceName = "eth0";
    r.localMac[1] = 0xB0;
    r.localFirmware = "FW-" + std::to_string(g / 50); // a firmware event now and then
    r.spanSeconds = 1;
    for (int k = 0; k < kLinks; ++k) {
        CycleSample s;
        s.remoteMac[0] = 0x02;
        s.remoteMac[5] = static_cast<uint8_t>(k);
        s.family = 4;
        s.rate = g;
        r.samples.push_back(s);
    }
    return r;
}

[[noreturn]] void recordForever(const std::string& path, uint32_t from, int report) {
    HistoryStore store;
    if (store.open(path, HistoryMode::Write, 1000) != HistoryResult::Ok)
        _exit(3);
    for (uint32_t g = from;; ++g) {
        if (store.recordCycle(generation(g)) != HistoryResult::Ok)
            _exit(4);
        if (write(report, &g, sizeof g) != static_cast<ssize_t>(sizeof g))
            _exit(5);
    }
}

int64_t query(sqlite3* db, const char* sql) {
    sqlite3_stmt* s = nullptr;
    int64_t v = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        v = sqlite3_column_type(s, 0) == SQLITE_NULL ? 0 : sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return v;
}

std::string integrity(sqlite3* db) {
    sqlite3_stmt* s = nullptr;
    std::string v = "no answer";
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW)
        v = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
    return v;
}

} // namespace

int main(int argc, char** argv) {
    const int kills = argc > 1 ? std::atoi(argv[1]) : 100;
    TempDir dir;
    const std::string path = dir.file("halyard/history.sqlite3");
    std::mt19937 random(
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::uniform_int_distribution<long> delay(1000, 150000); // microseconds

    int failures = 0;
    uint32_t onFile = 0;
    long reportedTotal = 0;
    for (int k = 0; k < kills; ++k) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            return 2;
        const pid_t child = fork();
        if (child < 0)
            return 2;
        if (child == 0) {
            close(ends[0]);
            recordForever(path, onFile + 1, ends[1]);
        }
        close(ends[1]);
        const long us = delay(random);
        timespec ts{us / 1000000, (us % 1000000) * 1000};
        nanosleep(&ts, nullptr);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        uint32_t g = 0, reported = onFile;
        while (read(ends[0], &g, sizeof g) == sizeof g) {
            reported = g;
            ++reportedTotal;
        }
        close(ends[0]);
        if (!WIFSIGNALED(status)) {
            std::fprintf(stderr, "kill %d: the recorder ended by itself (status %d)\n", k, status);
            ++failures;
        }

        // As the next start opens it.
        HistoryStore store;
        std::string movedTo;
        if (openHistoryForWriting(store, path, 1000, movedTo) != HistoryResult::Ok ||
            !movedTo.empty()) {
            std::fprintf(stderr, "kill %d: the file did not open (%s)\n", k,
                         movedTo.empty() ? store.lastError().c_str() : "moved aside");
            ++failures;
            break;
        }
        store.close();
        sqlite3* db = nullptr;
        sqlite3_open(path.c_str(), &db);
        const std::string check = integrity(db);
        const int64_t maxTime = query(db, "SELECT max(t) FROM samples");
        const int64_t torn = query(db, "SELECT count(*) FROM (SELECT t FROM samples GROUP BY t "
                                       "HAVING count(*) <> 64)");
        sqlite3_close(db);
        if (check != "ok") {
            std::fprintf(stderr, "kill %d: integrity check: %s\n", k, check.c_str());
            ++failures;
        }
        if (torn != 0) {
            std::fprintf(stderr, "kill %d: %lld cycles are not whole\n", k,
                         static_cast<long long>(torn));
            ++failures;
        }
        const int64_t lastOnFile = maxTime > 0 ? maxTime - kT0 : 0;
        if (lastOnFile != reported && lastOnFile != reported + 1) {
            std::fprintf(stderr, "kill %d: reported %u, on file %lld\n", k, reported,
                         static_cast<long long>(lastOnFile));
            ++failures;
        }
        onFile = static_cast<uint32_t>(lastOnFile);
    }
    std::printf("%d kills, %ld cycles reported recorded, %u cycles on file, %d failures\n", kills,
                reportedTotal, onFile, failures);
    return failures == 0 ? 0 : 1;
}
