// Loading and saving the device database file.
#include "storage/device_database.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "packet/packet.h"
#include "platform/file_io.h"
#include "security/keys.h"
#include "storage/data_directory.h"

static_assert(std::endian::native == std::endian::little,
              "the device database is read and written as raw little-endian records");

namespace {

// The first five columns of the device list in creation order, at their
// initial widths; sorted by column 1, direction flag set.
constexpr DeviceListLayout kDefaultLayout = {{0, 1, 2, 3, 4}, {140, 310, 120, 70, 80}, 1, 1};

DatabaseNoticeSink noticeSink;

DatabaseNotice noticeOf(DatabaseMessage message, const std::string& path) {
    DatabaseNotice notice;
    notice.message = message;
    notice.path = path;
    return notice;
}

void tell(const DatabaseNotice& notice) {
    if (noticeSink)
        noticeSink(notice);
}

SaveFault pendingFault = SaveFault::None;
size_t faultAfterBytes = 0;

// A database file the load refused to read (unreadable, newer layout, or one
// that could not be moved aside). It is never saved over in this run.
std::string heldPath;
DatabaseLoad heldReason = DatabaseLoad::Unreadable;

std::string databaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Keeps the file out of every later save and tells the user why. A file that
// was not read at all leaves the tables as a missing one does.
DatabaseLoad holdFile(DatabaseLoad reason, const DatabaseNotice& why, bool resetTables = true) {
    heldPath = why.path;
    heldReason = reason;
    if (resetTables) {
        resetDeviceDatabase();
    }
    tell(why);
    return reason;
}

DatabaseLoad holdUnreadable(const std::string& path, const std::string& problem) {
    DatabaseNotice why = noticeOf(DatabaseMessage::Unreadable, path);
    why.reason = problem;
    return holdFile(DatabaseLoad::Unreadable, why);
}

// Renames the file to "<path><suffix>". When that fails the file is held, so
// nothing is written over it.
bool moveAside(const std::string& path, const char* suffix) {
    if (rename(path.c_str(), (path + suffix).c_str()) == 0) {
        syncDirectory(dataDirectory());
        return true;
    }
    DatabaseNotice why = noticeOf(DatabaseMessage::NotMovedAside, path);
    why.asideName = databaseName(path) + suffix;
    why.reason = std::strerror(errno);
    holdFile(DatabaseLoad::Unreadable, why, false);
    return false;
}

// Sequential reads from the bytes that really arrived.
class Reader {
  public:
    explicit Reader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    bool take(void* out, size_t size) {
        if (bytes_.size() - pos_ < size) {
            return false;
        }
        std::memcpy(out, bytes_.data() + pos_, size);
        pos_ += size;
        return true;
    }
    bool takeInt(int32_t& out) { return take(&out, sizeof out); }

  private:
    const std::vector<uint8_t>& bytes_;
    size_t pos_ = 0;
};

void appendBytes(std::vector<uint8_t>& out, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    out.insert(out.end(), p, p + size);
}

void appendInt(std::vector<uint8_t>& out, int32_t value) {
    appendBytes(out, &value, sizeof value);
}

// Text fields loaded from a file must end inside their field.
template <size_t N> void terminate(char (&field)[N]) {
    field[N - 1] = '\0';
}

void terminateTexts(NetworkRecord& record) {
    terminate(record.keyLabel);
    // Link statistics are doubles read as raw bytes: any bit pattern may be there.
    cleanLinkStats(record.localStats);
    for (RemoteDevice& remote : record.remotes) {
        cleanLinkStats(remote.stats);
        terminate(remote.vendor);
        terminate(remote.product);
        terminate(remote.version);
        terminate(remote.keyLabel);
    }
}

void terminateTexts(DeviceEntry& entry) {
    terminate(entry.name);
    terminate(entry.password);
    terminate(entry.keyLabel);
}

// A slot without a MAC holds no device: a file that marks one active is not
// believed (the device list would show a device 00:00:00:00:00:00 until the
// automatic scan dropped it).
void checkSlots(NetworkRecord& record) {
    for (RemoteDevice& remote : record.remotes) {
        if (!macIsSet(remote.mac)) {
            remote.active = 0;
        }
    }
}

bool isColumnPermutation(const int32_t (&order)[kListColumns]) {
    bool seen[kListColumns] = {};
    for (int32_t column : order) {
        if (column < 0 || column >= kListColumns || seen[column]) {
            return false;
        }
        seen[column] = true;
    }
    return true;
}

// The file could not be read whole: keep it for inspection under ".bad" (any
// older one is replaced) so the next save starts afresh and nothing is lost.
// When it cannot be moved, it is kept in place and not saved over.
DatabaseLoad recover(const std::string& path) {
    if (!moveAside(path, ".bad"))
        return DatabaseLoad::Unreadable;
    return DatabaseLoad::Recovered;
}

std::vector<uint8_t> databaseImage() {
    std::vector<uint8_t> image;
    image.reserve(databaseFileSize(deviceCount));
    appendInt(image, kDatabaseVersion);
    appendInt(image, currentInterface);
    appendBytes(image, networkRecords, sizeof networkRecords);
    appendInt(image, deviceCount);
    appendBytes(image, deviceTable, sizeof(DeviceEntry) * static_cast<size_t>(deviceCount));
    appendBytes(image, &deviceListLayout, sizeof deviceListLayout);
    return image;
}

void reportWriteProblem() {
    tell(noticeOf(DatabaseMessage::WriteProblem, deviceDatabasePath()));
}

} // namespace

DeviceListLayout deviceListLayout = kDefaultLayout;

void setDatabaseNoticeSink(DatabaseNoticeSink sink) {
    noticeSink = std::move(sink);
}

DatabaseLoad loadDeviceDatabase() {
    const std::string path = deviceDatabasePath();
    if (path.empty()) {
        resetDeviceDatabase();
        return DatabaseLoad::Missing;
    }
    // A file refused earlier in the run is not read again; the tables keep
    // what the user did since.
    if (path == heldPath) {
        return heldReason;
    }
    // A save that was killed leaves its temporary file, with every device
    // password in it; nothing will ever rename it.
    removeStaleTemporaryFiles(path);

    std::vector<uint8_t> bytes;
    const FileReadResult read = readFileLimited(path, databaseFileSize(kMaxDeviceEntries), bytes);
    if (read.status == FileRead::Missing) {
        resetDeviceDatabase();
        return DatabaseLoad::Missing;
    }
    // Never taken for a missing file: the next save would replace it.
    if (read.status == FileRead::Unreadable) {
        return holdUnreadable(path, fileReadProblem(read));
    }
    Reader in(bytes);

    int32_t version = 0;
    if (!in.takeInt(version)) {
        return recover(path);
    }
    if (version > kDatabaseVersion) {
        DatabaseNotice why = noticeOf(DatabaseMessage::NewerVersion, path);
        why.layout = version;
        return holdFile(DatabaseLoad::NewerVersion, why);
    }
    if (version < kDatabaseVersion) {
        // Moved aside before anything is written, so the first save cannot
        // destroy the only copy of what the older layout holds.
        if (!moveAside(path, ".old")) {
            resetDeviceDatabase();
            return DatabaseLoad::Unreadable;
        }
        resetDeviceDatabase();
        tell(noticeOf(DatabaseMessage::OldVersion, path));
        return DatabaseLoad::OldVersion;
    }

    int32_t storedInterface = 0;
    if (!in.takeInt(storedInterface)) {
        return recover(path);
    }
    // The stored value is used as an index: bring it into 0..7.
    setCurrentInterface(storedInterface);

    // Staged like the entries below: a short file changes no record.
    static NetworkRecord records[kMaxInterfaces];
    if (!in.take(records, sizeof records)) {
        return recover(path);
    }
    for (NetworkRecord& record : records) {
        terminateTexts(record);
        checkSlots(record);
    }
    adoptNetworkRecords(records);

    int32_t count = 0;
    if (!in.takeInt(count)) {
        return recover(path);
    }
    if (count > kMaxDeviceEntries || count <= 0) {
        clearDeviceEntries();
        tell(noticeOf(DatabaseMessage::BadCount, path));
        return recover(path);
    }
    // Staged, so that a short table leaves the entries in memory as they were.
    static DeviceEntry entries[kMaxDeviceEntries];
    const size_t entryBytes = sizeof(DeviceEntry) * static_cast<size_t>(count);
    if (!in.take(entries, entryBytes)) {
        return recover(path);
    }
    for (int i = 0; i < count; ++i) {
        terminateTexts(entries[i]);
    }
    adoptDeviceEntries(entries, count);

    DeviceListLayout layout{};
    if (!in.take(&layout, sizeof layout)) {
        return recover(path);
    }
    if (isColumnPermutation(layout.columnOrder)) {
        std::memcpy(deviceListLayout.columnOrder, layout.columnOrder, sizeof layout.columnOrder);
    }
    std::memcpy(deviceListLayout.columnWidths, layout.columnWidths, sizeof layout.columnWidths);
    deviceListLayout.sortDirection = layout.sortDirection;
    deviceListLayout.sortColumn = layout.sortColumn;
    return DatabaseLoad::Loaded;
}

bool saveDeviceDatabase() {
    if (deviceCount <= 0 || deviceCount > kMaxDeviceEntries) {
        return false;
    }
    const std::string path = deviceDatabasePath();
    if (path.empty() || path == heldPath) {
        return false;
    }
    const std::vector<uint8_t> image = databaseImage();

    const SaveFault fault = pendingFault;
    pendingFault = SaveFault::None;
    if (fault != SaveFault::None) {
        const size_t after = faultAfterBytes;
        setAtomicWriteHook([fault, after](const std::string&) {
            return WriteFault{true, after, fault == SaveFault::Crash};
        });
    }
    const WriteOutcome outcome = writeFileAtomically(path, image.data(), image.size());
    if (fault != SaveFault::None) {
        setAtomicWriteHook({});
    }
    switch (outcome) {
    case WriteOutcome::Written:
        return true;
    case WriteOutcome::NotCreated:
        return false; // no usable data directory: silent, as before
    case WriteOutcome::Failed:
        if (fault != SaveFault::Crash) {
            reportWriteProblem();
        }
        return false;
    }
    return false;
}

bool saveDeviceDatabaseAfterDelete() {
    if (deviceCount > 0) {
        return saveDeviceDatabase();
    }
    const std::string path = deviceDatabasePath();
    if (path.empty() || path == heldPath) {
        return false;
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        reportWriteProblem();
        return false;
    }
    syncDirectory(dataDirectory());
    return true;
}

void resetDeviceDatabase() {
    openAllInterfaces();
    clearNetworkRecords(kDefaultNetworkPassword);
    clearDeviceEntries();
    setCurrentInterface(0);
}

void resetDeviceDatabaseState() {
    resetDataDirectory();
    deviceListLayout = kDefaultLayout;
    pendingFault = SaveFault::None;
    faultAfterBytes = 0;
    heldPath.clear();
    heldReason = DatabaseLoad::Unreadable;
}

void injectSaveFault(SaveFault fault, size_t afterBytes) {
    pendingFault = fault;
    faultAfterBytes = afterBytes;
}

void recordDeviceListLayout(const std::vector<int>& displayOrder, const std::vector<int>& widths) {
    int k = 0;
    for (int sub : displayOrder)
        if (sub >= 0 && sub < kListColumns && k < kListColumns)
            deviceListLayout.columnOrder[k++] = sub;
    for (int sub = 0; sub < kListColumns && k < kListColumns; ++sub) {
        bool present = std::find(deviceListLayout.columnOrder, deviceListLayout.columnOrder + k,
                                 sub) != deviceListLayout.columnOrder + k;
        if (!present)
            deviceListLayout.columnOrder[k++] = sub;
    }
    for (int sub = 0; sub < kListColumns && sub < static_cast<int>(widths.size()); ++sub)
        deviceListLayout.columnWidths[sub] = widths[sub];
}
