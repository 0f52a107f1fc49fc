// Writes the seed inputs of every fuzz target, built from the frame and file
// layouts: a few valid frames and files each, in the input format the target
// reads (see the comment at the top of each fuzz_<name>.cpp). The seeds are
// committed in tests/fuzz/corpus/<name>/; run this again after changing an
// input format:   build/tests/fuzz/make_corpus tests/fuzz/corpus
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "storage/device_database.h"
#include "storage/prefs_layout.h"
#include "support/bmp_builder.h"
#include "support/image_builders.h"

namespace {

using Bytes = std::vector<uint8_t>;
std::filesystem::path root;

void seed(const char* target, const char* name, const Bytes& bytes) {
    std::filesystem::path dir = root / target;
    std::filesystem::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

void append(Bytes& to, const Bytes& bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

// One record: 2-byte little-endian length, the control byte, the frame.
void record(Bytes& to, uint8_t control, const Bytes& frame) {
    size_t n = frame.size() + 1;
    to.push_back(static_cast<uint8_t>(n));
    to.push_back(static_cast<uint8_t>(n >> 8));
    to.push_back(control);
    append(to, frame);
}

const uint8_t kAvHost[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const uint8_t kAvDevice[6] = {0x00, 0xB0, 0x52, 0x12, 0x34, 0x56};

Bytes mme(uint16_t mmtype, size_t length) {
    Bytes f(length, 0);
    std::memcpy(&f[0], kAvHost, 6);
    std::memcpy(&f[6], kAvDevice, 6);
    f[12] = 0x88;
    f[13] = 0xE1;
    f[15] = static_cast<uint8_t>(mmtype);
    f[16] = static_cast<uint8_t>(mmtype >> 8);
    f[18] = 0xB0;
    f[19] = 0x52;
    return f;
}

void avDecodeSeeds() {
    Bytes idle = {0, 0};
    Bytes version = mme(0xA001, 88);
    version[21] = 2;
    version[22] = 12;
    std::memcpy(&version[23], "MV-3.3.1-X.1", 12);
    record(idle, 1, version);
    Bytes info = mme(0xA039, 120);
    info[20] = 1;
    info[21] = 1;
    record(idle, 1, info);
    Bytes config = mme(0xA059, 80);
    config[21] = 40;
    record(idle, 1, config);
    record(idle, 1, mme(0xA062, 64));
    Bytes a031 = mme(0xA031, 300);
    a031[21] = 1;
    record(idle, 1, a031);
    record(idle, 1, mme(0xA051, 64));
    record(idle, 1, mme(0xA07D, 64));
    seed("av_decode", "idle-replies", idle);

    // Module 1 read: header chunk, image chunk, next header, last image.
    Bytes read1 = {1, 0};
    Bytes chunk = mme(0xA025, 36 + 44);
    putLe32At(chunk, 36 + 12, 100);      // image length
    putLe32At(chunk, 36 + 36, 44 + 100); // next header
    record(read1, 7, chunk);
    record(read1, 7, mme(0xA025, 36 + 100));
    Bytes last = mme(0xA025, 36 + 44);
    putLe32At(last, 36 + 12, 60);
    record(read1, 7, last);
    record(read1, 7, mme(0xA025, 36 + 60));
    seed("av_decode", "read-firmware", read1);

    // Module 2 read: the first chunk carries the block length.
    Bytes read2 = {5, 0};
    Bytes first = mme(0xA025, 36 + 1024);
    putLe16At(first, 36 + 4, 2000);
    record(read2, 3, first);
    record(read2, 3, mme(0xA025, 36 + 976));
    seed("av_decode", "read-parameters", read2);

    // Writes: module mode with commit, memory mode with start.
    Bytes moduleWrite = {2, 0x21};
    for (int i = 0; i < 12; ++i)
        record(moduleWrite, 3, mme(0xA021, 64));
    record(moduleWrite, 1, mme(0xA029, 64));
    seed("av_decode", "write-modules", moduleWrite);
    Bytes memoryWrite = {2, 0x00};
    for (int i = 0; i < 10; ++i)
        record(memoryWrite, 3, mme(0xA005, 64));
    record(memoryWrite, 1, mme(0xA062, 64));
    record(memoryWrite, 3, mme(0xA005, 64));
    record(memoryWrite, 1, mme(0xA00D, 64));
    seed("av_decode", "write-memory", memoryWrite);
}

const uint8_t kHp10Local[6] = {0x00, 0x50, 0xC2, 0x00, 0x00, 0x10};
const uint8_t kHp10Remote[6] = {0x00, 0x50, 0xC2, 0x00, 0x00, 0x11};

Bytes hp10(const uint8_t* dst, const uint8_t* src, uint8_t type, uint8_t length, size_t size) {
    Bytes f(size, 0);
    std::memcpy(&f[0], dst, 6);
    std::memcpy(&f[6], src, 6);
    f[12] = 0x88;
    f[13] = 0x7B;
    f[14] = 1;
    f[15] = type;
    f[16] = length;
    return f;
}

void hp10FrameSeeds() {
    const uint8_t host[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    Bytes scan = {0x0C};
    record(scan, 0x0C, hp10(host, kHp10Remote, 0x08, 0, 60));
    Bytes stats = hp10(kHp10Local, kHp10Local, 0x1A, 187, 220);
    stats[17] = 3; // device class of a HomePlug 1.0 local device
    std::memcpy(&stats[24], kHp10Remote, 6);
    stats[30] = 0x40;
    stats[31] = 0x06;
    record(scan, 0x03, stats);
    Bytes params = hp10(host, kHp10Local, 0x19, 51, 80);
    params[17] = 1;
    for (int i = 0; i < 50; ++i)
        params[18 + i] = static_cast<uint8_t>(i * 7);
    record(scan, 0x00, params);
    record(scan, 0x02, params);
    record(scan, 0x00, hp10(host, kHp10Remote, 0x06, 0, 60));
    seed("hp10_frames", "hp10-scan", scan);

    Bytes turbo = {0x09};
    Bytes version = hp10(host, kHp10Remote, 0x02, 40, 80);
    version[20] = 0x90;
    version[21] = 0x01;
    version[23] = 2;
    version[24] = 1;
    version[25] = 4;
    version[26] = 8;
    std::memcpy(&version[27], "Morvanta", 8);
    version[35] = 5;
    std::memcpy(&version[36], "Turbo", 5);
    record(turbo, 0x00, version);
    version[21] = 0;
    record(turbo, 0x00, version);
    Bytes tstats = hp10(host, kHp10Local, 0x02, 31, 60);
    tstats[20] = 0x98;
    std::memcpy(&tstats[21], kHp10Remote, 6);
    tstats[27] = 0x01;
    tstats[28] = 0x20;
    record(turbo, 0x00, tstats);
    Bytes firmware = hp10(host, kHp10Local, 0x13, 20, 60);
    firmware[17] = 0x20;
    std::memcpy(&firmware[18], "INT5500-MAC-1-5-x", 17);
    record(turbo, 0x00, firmware);
    Bytes key = hp10(host, kHp10Local, 0x13, 10, 60);
    key[17] = 0x21;
    record(turbo, 0x00, key);
    record(turbo, 0x03, hp10(host, kHp10Local, 0x1E, 0, 60));
    seed("hp10_frames", "turbo", turbo);
}

void hp10LoaderSeeds() {
    const uint8_t host[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    Bytes write = {0x00, 5};
    Bytes reply = hp10(host, kHp10Local, 0x10, 1, 60);
    reply[17] = 0x81;
    record(write, 0x00, reply);
    seed("hp10_loader", "write-ack", write);
    Bytes sum = {0x01, 0};
    reply[17] = 0x83;
    reply[29] = 0x12;
    reply[30] = 0x34;
    reply[31] = 0x56;
    reply[32] = 0x78;
    record(sum, 0x00, reply);
    seed("hp10_loader", "checksum", sum);
}

void hp10UpgradeSeeds() {
    auto make = [](uint8_t flags, const Bytes& config, const Bytes& image) {
        Bytes in = {flags, static_cast<uint8_t>(config.size()),
                    static_cast<uint8_t>(config.size() >> 8)};
        append(in, config);
        append(in, image);
        return in;
    };
    seed("hp10_upgrade", "image-only", make(0, {}, patternBytes(1500, 1)));
    seed("hp10_upgrade", "with-options", make(1, patternBytes(960, 2), patternBytes(2100, 3)));
    seed("hp10_upgrade", "loader-address", make(3, patternBytes(384, 4), patternBytes(700, 5)));
}

void imageSeeds() {
    Bytes mac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x66};
    Bytes pib = mac;
    append(pib, makeValidPib33());
    seed("pib_image", "valid-3.3", pib);
    Bytes old = mac;
    Bytes block = makeValidPib33();
    block[0] = 1;
    block[1] = 2;
    append(old, block);
    seed("pib_image", "version-1.2", old);

    Bytes nvm = {0x00};
    append(nvm, makeNvmImage(
                    {{0x1000, patternBytes(300, 1), 1, 2}, {0x2000, patternBytes(1100, 2), 3, 4}}));
    seed("nvm_image", "memory-two-blocks", nvm);
    Bytes module = {0x03};
    append(module, makeNvmImage({{0x3000, patternBytes(900, 3), 5, 6}}));
    seed("nvm_image", "module-commit", module);
}

void storageSeeds() {
    // A database with two entries and one remote slot.
    Bytes db(databaseFileSize(2), 0);
    putLe32At(db, kDbVersionOffset, kDatabaseVersion);
    putLe32At(db, kDbCurrentInterfaceOffset, 0);
    size_t remote = kDbNetworkRecordsOffset + offsetof(NetworkRecord, remotes);
    putLe32At(db, remote + offsetof(RemoteDevice, active), 1);
    std::memcpy(&db[remote + offsetof(RemoteDevice, mac)], kHp10Remote, 6);
    std::memcpy(&db[remote + offsetof(RemoteDevice, vendor)], "Morvanta", 8);
    putLe32At(db, kDbDeviceCountOffset, 2);
    for (int i = 0; i < 2; ++i) {
        size_t e = kDbEntriesOffset + sizeof(DeviceEntry) * i;
        std::memcpy(&db[e + offsetof(DeviceEntry, name)], i ? "Kitchen" : "Office", i ? 7 : 6);
        std::memcpy(&db[e + offsetof(DeviceEntry, mac)], kHp10Remote, 6);
        db[e + offsetof(DeviceEntry, mac) + 5] = static_cast<uint8_t>(0x20 + i);
        std::memcpy(&db[e + offsetof(DeviceEntry, password)], "ABCD-EFGH-IJKL-MNOP", 19);
    }
    size_t trailer = kDbEntriesOffset + sizeof(DeviceEntry) * 2;
    const int32_t layout[12] = {4, 3, 2, 1, 0, 140, 310, 120, 70, 80, 1, 1};
    std::memcpy(&db[trailer], layout, sizeof layout);
    seed("device_database", "two-entries", db);
    Bytes old(16, 0);
    putLe32At(old, 0, 305);
    seed("device_database", "old-version", old);

    PrefsFile prefs{};
    prefs.scanInterval = 30;
    prefs.iconSize = 24;
    prefs.diagnosticsLevel = 1;
    prefs.autoScan = 1;
    prefs.showRate = 1;
    prefs.showQuality = 1;
    std::strcpy(prefs.webAddress, "http://www.tollbeam.example");
    std::strcpy(prefs.appName, "Tollbeam");
    prefs.oui[0] = 0x00;
    prefs.oui[1] = 0x50;
    prefs.oui[2] = 0xC2;
    std::strcpy(prefs.vendorName, "Tollbeam");
    std::strcpy(prefs.copyright, "Copyright (c) 2026 Tollbeam");
    const auto* p = reinterpret_cast<const uint8_t*>(&prefs);
    seed("preferences", "brandkit-269", Bytes(p, p + sizeof prefs));
    Bytes full(p, p + sizeof prefs);
    full.resize(kPrefsRecordSize, 'x');
    seed("preferences", "record-289", full);

    const char list[] = "0050C2\tMorvanta\n000487\tPlexora_Net\n\n00B052\tVarnel\n";
    seed("vendor_list", "three", Bytes(list, list + sizeof list - 1));
    const char unsorted[] = "FFFFFE Last_Vendor_Name_Long\r\n000001\tFirst\r\n";
    seed("vendor_list", "unsorted-crlf", Bytes(unsorted, unsorted + sizeof unsorted - 1));
}

void bitmapSeeds() {
    auto keyed = [](const Bytes& file) {
        Bytes in = {0x20, 0x40, 0x60};
        append(in, file);
        return in;
    };
    seed("bitmap", "24-bit", keyed(bmp::trueColour(3, 2, [](int x, int y) {
             return (x + y) % 2 ? 0xFFFFFFu : 0x102030u;
         })));
    seed("bitmap", "8-bit",
         keyed(bmp::build(4, -2, 8, {0xFFFFFF, 0x000000, 0x00FF00}, {{0, 1, 2, 0}, {2, 1, 0, 1}})));
    seed("bitmap", "4-bit",
         keyed(bmp::build(3, 2, 4, {0xFFFFFF, 0x123456}, {{0x01, 0x00}, {0x10, 0x00}})));
    seed("bitmap", "1-bit", keyed(bmp::build(9, 1, 1, {0xFFFFFF, 0x0000FF}, {{0xA5, 0x80}})));
    Bytes deep =
        bmp::build(2, 2, 32, {}, {{1, 2, 3, 0, 0xFF, 0xFF, 0xFF, 0}, {4, 5, 6, 0, 7, 8, 9, 0}});
    seed("bitmap", "32-bit", keyed(deep));
}

void simSeeds() {
    // AV: version, network info, module read, write module and commit.
    Bytes av = {0};
    Bytes version(60, 0);
    version[15] = 0x00;
    version[16] = 0xA0;
    version[18] = 0xB0;
    version[19] = 0x52;
    record(av, 1, version);
    Bytes read = version;
    read[15] = 0x24;
    read[20] = 2;
    putLe16At(read, 22, 1024);
    record(av, 1, read);
    Bytes info = version;
    info[15] = 0x38;
    record(av, 1, info);
    Bytes write(32 + 16, 0);
    std::memcpy(&write[15], "\x20\xA0\x00\xB0\x52", 5);
    write[20] = 2;
    putLe16At(write, 22, 16);
    putLe32At(write, 28, testChecksum32(&write[32], 4)); // verifies: ~(c ^ x) == 0
    record(av, 1, write);
    Bytes commit = version;
    commit[15] = 0x28;
    commit[20] = 2;
    record(av, 1, commit);
    seed("sim_frames", "av", av);

    Bytes h = {1};
    Bytes params(60, 0);
    params[14] = 1;
    params[15] = 0x07;
    record(h, 1, params);
    Bytes local = params;
    local[15] = 0x19;
    local[16] = 15;
    record(h, 1, local);
    Bytes stats = params;
    stats[15] = 0x1A;
    stats[16] = 187;
    stats[17] = 0x80;
    record(h, 1, stats);
    Bytes start = params;
    start[15] = 0x12;
    start[16] = 1;
    start[17] = 0x67;
    record(h, 1, start);
    Bytes chunk(30 + 128, 0);
    chunk[14] = 1;
    chunk[15] = 0x10;
    chunk[16] = 1;
    chunk[17] = 0x81;
    chunk[18] = 0;
    chunk[19] = 138;
    chunk[22] = 0;
    chunk[23] = 0x10; // module 0x10
    chunk[29] = 128;
    record(h, 4, chunk);
    seed("sim_frames", "hp10-loader", h);

    Bytes t = {2};
    Bytes vendor(60, 0);
    vendor[14] = 1;
    vendor[15] = 0x02;
    vendor[16] = 5;
    vendor[18] = 0x04;
    vendor[19] = 0x87;
    vendor[20] = 0x10;
    record(t, 1, vendor);
    vendor[20] = 0x18;
    record(t, 2, vendor);
    Bytes turboRead(272, 0);
    turboRead[14] = 1;
    turboRead[15] = 0x12;
    turboRead[16] = 1;
    turboRead[17] = 0x20;
    record(t, 1, turboRead);
    seed("sim_frames", "turbo", t);
}

// The capture helper's protocol: one message per seed, header (type, 0,
// 16-bit handle in the machine's order) and body.
Bytes helperMessage(uint8_t type, uint16_t handle, const Bytes& body = {}) {
    Bytes m = {type, 0, 0, 0};
    std::memcpy(m.data() + 2, &handle, 2);
    append(m, body);
    return m;
}

void captureSeeds() {
    Bytes frame(60, 0);
    std::memset(frame.data(), 0xFF, 6);
    const uint8_t source[6] = {0x02, 0x48, 0x59, 0, 0, 1};
    std::memcpy(frame.data() + 6, source, 6);
    frame[12] = 0x88;
    frame[13] = 0xE1;
    seed("capture_request", "enumerate", helperMessage(1, 0));
    seed("capture_request", "open", helperMessage(2, 0, {'e', 't', 'h', '0'}));
    seed("capture_request", "send", helperMessage(3, 1, frame));
    seed("capture_request", "close", helperMessage(4, 1));

    seed("capture_reply", "hello", helperMessage(0x81, 1));
    Bytes list = {2};
    for (const char* name : {"eth0", "hy0"}) {
        append(list, {0x02, 0x48, 0x59, 0, 0, 1, static_cast<uint8_t>(std::strlen(name))});
        append(list, Bytes(name, name + std::strlen(name)));
        list.push_back(4);
        append(list, {'L', 'A', 'N', ' '});
    }
    seed("capture_reply", "interfaces", helperMessage(0x82, 0, list));
    seed("capture_reply", "opened", helperMessage(0x83, 1));
    seed("capture_reply", "frame", helperMessage(0x86, 1, frame));
    seed("capture_reply", "error", helperMessage(0x88, 1, {3, 1, 'n', 'o'}));
}

// Network information confirmations of a remote adapter, as the map reads them.
void mapAnswerSeeds() {
    auto answer = [](uint8_t from, std::initializer_list<std::pair<uint8_t, uint8_t>> stations,
                     int countByte, size_t length) {
        Bytes f(std::max<size_t>(length, 39 + 15 * stations.size()), 0);
        const uint8_t head[] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0xB0, 0x52, 0x00,
                                0x00, 0x40, 0x88, 0xE1, 0x00, 0x39, 0xA0, 0x00, 0xB0, 0x52};
        std::memcpy(f.data(), head, sizeof head);
        f[11] = static_cast<uint8_t>(0x40 + from);
        f[20] = 1;
        f[38] = static_cast<uint8_t>(countByte >= 0 ? countByte : stations.size());
        size_t at = 39;
        for (auto [station, rate] : stations) {
            const uint8_t mac[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, station};
            std::memcpy(f.data() + at, mac, 6);
            f[at + 13] = rate;
            f[at + 14] = rate;
            at += 15;
        }
        f.resize(length ? length : f.size());
        Bytes in = {4, from};
        append(in, f);
        return in;
    };
    seed("map_answer", "four", answer(1, {{0x40, 91}, {0x42, 151}, {0x43, 46}}, -1, 0));
    seed("map_answer", "count-past-frame", answer(2, {{0x40, 76}, {0x41, 136}}, 0xFF, 0));
    seed("map_answer", "cut-entry", answer(3, {{0x40, 38}, {0x41, 57}, {0x42, 19}}, -1, 80));
    seed("map_answer", "strangers-and-self",
         answer(1, {{0x41, 10}, {0x99, 200}, {0xFF, 255}, {0x40, 255}}, -1, 0));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus CORPUS-FOLDER\n");
        return 2;
    }
    root = argv[1];
    avDecodeSeeds();
    hp10FrameSeeds();
    hp10LoaderSeeds();
    hp10UpgradeSeeds();
    imageSeeds();
    storageSeeds();
    bitmapSeeds();
    simSeeds();
    captureSeeds();
    mapAnswerSeeds();
    return 0;
}
