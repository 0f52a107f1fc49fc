#pragma once
// Shared by the history benchmarks: cycles of many links, and a history file
// filled the fast way (one transaction, prepared statements).
#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "storage/link_history.h"

inline CycleRecord cycleOf(int interfaceIndex, int remotes, int64_t t, int n) {
    CycleRecord r;
    r.time = t;
    r.interfaceName = "eth" + std::to_string(interfaceIndex);
    const uint8_t local[6] = {0x00, 0xB0, 0x52, 0x01, 0x00, static_cast<uint8_t>(interfaceIndex)};
    std::copy(local, local + 6, r.localMac);
    r.localFirmware = "FW-1";
    r.spanSeconds = 30;
    for (int k = 0; k < remotes; ++k) {
        CycleSample s;
        const uint8_t mac[6] = {
            0x00, 0xB0, 0x52, 0x02, static_cast<uint8_t>(interfaceIndex), static_cast<uint8_t>(k)};
        std::copy(mac, mac + 6, s.remoteMac);
        s.family = 4;
        s.rate = 80 + (k * 7 + n) % 90;
        s.quality = linkQuality(s.rate, 4);
        r.samples.push_back(s);
    }
    return r;
}

// Fills a file the fast way (one transaction, prepared statements): `rawDays`
// of samples every 30 s and `hourlyDays` of summaries before them, for
// `interfaces` x `remotes` links, ending at `now`.
inline void fill(const std::string& path, int interfaces, int remotes, int rawDays, int hourlyDays,
                 int64_t now) {
    {
        HistoryStore store; // creates the file and its schema
        store.open(path, HistoryMode::Write, 1000);
        for (int i = 0; i < interfaces; ++i)
            store.recordCycle(cycleOf(i, remotes, now - rawDays * 86400 - 3600, 0));
    }
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "DELETE FROM sample; BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* sample = nullptr;
    sqlite3_stmt* hour = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO sample VALUES (?1, ?2, ?3, ?4, 30)", -1, &sample, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO hourly VALUES (?1, ?2, ?3, ?4, ?5, 120, 3600)", -1, &hour,
                       nullptr);
    const int links = interfaces * remotes;
    const int64_t rawStart = (now - rawDays * 86400) / 3600 * 3600;
    for (int64_t link = 1; link <= links; ++link) {
        for (int64_t h = rawStart - int64_t{hourlyDays} * 86400; h < rawStart; h += 3600) {
            const double mean = 80 + (link * 13 + h / 3600) % 90;
            sqlite3_bind_int64(hour, 1, link);
            sqlite3_bind_int64(hour, 2, h);
            sqlite3_bind_double(hour, 3, mean - 5);
            sqlite3_bind_double(hour, 4, mean);
            sqlite3_bind_double(hour, 5, mean + 5);
            sqlite3_step(hour);
            sqlite3_reset(hour);
        }
        for (int64_t t = rawStart; t < now; t += 30) {
            const double rate = 80 + (link * 7 + t / 30) % 90;
            sqlite3_bind_int64(sample, 1, link);
            sqlite3_bind_int64(sample, 2, t);
            sqlite3_bind_double(sample, 3, rate);
            sqlite3_bind_int(sample, 4, linkQuality(rate, 4));
            sqlite3_step(sample);
            sqlite3_reset(sample);
        }
    }
    sqlite3_finalize(sample);
    sqlite3_finalize(hour);
    sqlite3_exec(db, "COMMIT; PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}
