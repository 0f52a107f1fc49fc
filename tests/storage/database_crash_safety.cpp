// Crash safety of the device database, measured rather than assumed.
//
// A child process saves the database over and over, each save a new
// generation g of the tables (min(g, 100) entries, every one stamped with g),
// and reports every save that returned. The parent kills it with SIGKILL after
// a random delay, then loads the database the way halyard's next start does.
// After every kill the database must load whole and be exactly generation G,
// where G is the last generation reported saved or the one after it (a save
// whose rename happened just before the kill): every entry saved before is
// there, nothing is torn. A temporary file left by the kill must be gone after
// the load. The figures are printed at the end.
//
// Usage: database_crash_safety [kills]   (default 240; at least 200 for CI)
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "network/model.h"
#include "packet/driver.h"
#include "packet/memory_wire.h"
#include "packet/packet.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "storage/data_directory.h"
#include "storage/device_database.h"
#include "storage/preferences.h"
#include "support/temp_dir.h"
#include "ui/outcome_boxes.h"

namespace {

// Generation g of the tables.
void buildGeneration(uint32_t g) {
    resetDeviceModel();
    const int entries = g < kMaxDeviceEntries ? static_cast<int>(g) : kMaxDeviceEntries;
    for (int j = 0; j < entries; ++j) {
        uint8_t mac[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, static_cast<uint8_t>(j + 1)};
        const std::string name = "Device " + std::to_string(j + 1);
        appendDeviceEntry(mac, name.c_str());
        DeviceEntry& e = deviceTable[j];
        copyText(e.password, ("pw-" + std::to_string(g) + "-" + std::to_string(j)).c_str());
        copyText(e.keyLabel, "Private");
        e.lastSeen = g;
    }
    for (int r = 0; r < kMaxInterfaces; ++r) {
        NetworkRecord& record = networkRecords[r];
        copyText(record.keyLabel, ("net-" + std::to_string(g)).c_str());
        for (int s = 0; s < kRemoteSlots; ++s)
            record.remotes[s].seenCount = static_cast<int32_t>(g + s);
    }
    currentInterface = static_cast<int32_t>(g % kMaxInterfaces);
    deviceListLayout.sortColumn = static_cast<int32_t>(g);
}

struct Tables {
    std::vector<uint8_t> records, entries;
    int32_t count = 0, iface = 0, sortColumn = 0;
    bool operator==(const Tables&) const = default;
};

Tables currentTables() {
    Tables t;
    auto* r = reinterpret_cast<const uint8_t*>(networkRecords);
    t.records.assign(r, r + sizeof networkRecords);
    auto* e = reinterpret_cast<const uint8_t*>(deviceTable);
    t.entries.assign(e, e + sizeof deviceTable);
    t.count = deviceCount;
    t.iface = currentInterface;
    t.sortColumn = deviceListLayout.sortColumn;
    return t;
}

Tables generationTables(uint32_t g) {
    buildGeneration(g);
    return currentTables();
}

void sleepMicroseconds(long us) {
    timespec t{us / 1000000, (us % 1000000) * 1000};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// The child: saves generation after generation and reports each one saved.
[[noreturn]] void saveForever(uint32_t first, int report) {
    for (uint32_t g = first;; ++g) {
        buildGeneration(g);
        if (!saveDeviceDatabase())
            _exit(3);
        if (write(report, &g, sizeof g) != sizeof g)
            _exit(4);
    }
}

} // namespace

int main(int argc, char** argv) {
    const int kills = argc > 1 ? std::atoi(argv[1]) : 240;
    TempDir dir;
    VirtualClock clock;
    MemoryWire wire{clock};
    RecordingMessages messages;
    setSystemClock(&clock);
    setPacketDriver(&wire);
    setMessageSink(&messages);
    installOutcomeSinks();
    copyText(preferences.appName, "Plexora");
    if (!chooseDataDirectory({dir.file("tollbeam"), dir.file("fallback")}).ready) {
        std::fprintf(stderr, "cannot prepare the data directory\n");
        return 2;
    }
    const std::string folder = dir.file("tollbeam");

    // How long one save takes here decides the range of the kill delays, so
    // the kills fall before, inside and after the saves on any machine.
    const auto started = std::chrono::steady_clock::now();
    const int timedSaves = 20;
    for (int i = 1; i <= timedSaves; ++i) {
        buildGeneration(static_cast<uint32_t>(i));
        if (!saveDeviceDatabase()) {
            std::fprintf(stderr, "a plain save failed\n");
            return 2;
        }
    }
    const long saveMicros =
        std::max<long>(50, std::chrono::duration_cast<std::chrono::microseconds>(
                               std::chrono::steady_clock::now() - started)
                                   .count() /
                               timedSaves);
    uint32_t durable = timedSaves; // the generation on disk

    std::mt19937 random(
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::uniform_int_distribution<long> delay(0, 4 * saveMicros);

    int failures = 0, leftTemporary = 0, beforeFirstSave = 0, renamedNotReported = 0;
    long savesReported = 0;
    for (int k = 0; k < kills; ++k) {
        int pipeEnds[2];
        if (pipe2(pipeEnds, O_CLOEXEC) != 0)
            return 2;
        const pid_t child = fork();
        if (child < 0)
            return 2;
        if (child == 0) {
            close(pipeEnds[0]);
            saveForever(durable + 1, pipeEnds[1]);
        }
        close(pipeEnds[1]);
        sleepMicroseconds(delay(random));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFSIGNALED(status)) {
            std::fprintf(stderr, "kill %d: the saving process ended by itself (status %d)\n", k,
                         status);
            ++failures;
        }
        uint32_t reported = 0, g = 0;
        long count = 0;
        while (read(pipeEnds[0], &g, sizeof g) == sizeof g) {
            reported = g;
            ++count;
        }
        close(pipeEnds[0]);
        savesReported += count;
        if (count == 0)
            ++beforeFirstSave;
        const uint32_t lastSaved = count ? reported : durable;

        // The next start.
        leftTemporary += !temporaryFilesIn(folder).empty();
        resetDeviceModel();
        messages.shown.clear();
        const DatabaseLoad load = loadDeviceDatabase();
        const Tables loaded = currentTables();
        const uint32_t found = deviceCount > 0 ? static_cast<uint32_t>(deviceTable[0].lastSeen) : 0;
        bool ok = load == DatabaseLoad::Loaded && messages.shown.empty() &&
                  (found == lastSaved || found == lastSaved + 1) &&
                  loaded == generationTables(found);
        if (!temporaryFilesIn(folder).empty()) {
            std::fprintf(stderr, "kill %d: a temporary file survived the next start\n", k);
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr,
                         "kill %d: load %d, generation %u found, %u saved last: entries lost\n", k,
                         static_cast<int>(load), found, lastSaved);
            ++failures;
            break;
        }
        renamedNotReported += found == lastSaved + 1;
        durable = found;
    }

    std::printf("device database crash safety: %d SIGKILLs during saves (delays 0..%ld us, one "
                "save takes %ld us)\n",
                kills, 4 * saveMicros, saveMicros);
    std::printf("  saves completed and reported: %ld; kills before the child's first save "
                "returned: %d\n",
                savesReported, beforeFirstSave);
    std::printf("  kills after the rename but before the report: %d\n", renamedNotReported);
    std::printf("  kills that left a temporary file: %d, all removed at the next start\n",
                leftTemporary);
    std::printf("  databases that failed to load or lost an entry: %d\n", failures);
    removeOutcomeSinks();
    setMessageSink(nullptr);
    setPacketDriver(nullptr);
    setSystemClock(nullptr);
    return failures == 0 && kills >= 1 ? 0 : 1;
}
