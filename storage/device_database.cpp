// Loading and saving the device database file.
#include "storage/device_database.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "packet/packet.h"
#include "platform/file_io.h"
#include "platform/main_window.h"
#include "platform/messages.h"
#include "security/keys.h"
#include "storage/data_directory.h"

static_assert(std::endian::native == std::endian::little,
              "the device database is read and written as raw little-endian records");

namespace {

// The first five columns of the device list in creation order, at their
// initial widths; sorted by column 1, direction flag set.
constexpr DeviceListLayout kDefaultLayout = {{0, 1, 2, 3, 4}, {140, 310, 120, 70, 80}, 1, 1};

constexpr const char* kReadProblem =
    "Unexpected condition reading database. Attempting to recover.";
constexpr const char* kWriteProblem =
    "Unexpected condition writing database. Attempting to recover.";

SaveFault pendingFault = SaveFault::None;
size_t faultAfterBytes = 0;

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

// Reads at most `limit` bytes of the file. Returns false when it cannot be
// opened or is not a regular file.
bool readFilePrefix(const std::string& path, size_t limit, std::vector<uint8_t>& out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    out.assign(limit, 0);
    size_t done = readFully(fd, out.data(), limit);
    close(fd);
    out.resize(done);
    return true;
}

// Text fields loaded from a file must end inside their field.
template <size_t N> void terminate(char (&field)[N]) {
    field[N - 1] = '\0';
}

void terminateTexts(NetworkRecord& record) {
    terminate(record.keyLabel);
    for (RemoteDevice& remote : record.remotes) {
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
DatabaseLoad recover(const std::string& path) {
    rename(path.c_str(), (path + ".bad").c_str());
    return DatabaseLoad::Recovered;
}

void clearDeviceTable() {
    deviceCount = 0;
    std::memset(deviceTable, 0, sizeof deviceTable);
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

// Writes all of `data`; honours an injected fault. Returns false on failure;
// `crashed` is set when the injected fault simulates the process dying.
bool writeAll(int fd, const std::vector<uint8_t>& data, bool& crashed) {
    size_t limit = data.size();
    SaveFault fault = pendingFault;
    pendingFault = SaveFault::None;
    if (fault != SaveFault::None) {
        limit = std::min(limit, faultAfterBytes);
    }
    size_t done = 0;
    while (done < limit) {
        ssize_t put = write(fd, data.data() + done, limit - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        done += static_cast<size_t>(put);
    }
    crashed = fault == SaveFault::Crash;
    return fault == SaveFault::None;
}

void syncDirectory(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

void reportWriteProblem() {
    showMessage(kWriteProblem, "Problem Occurred", MessageIcon::Error, MessageButtons::Ok,
                mainWindowHandle);
}

} // namespace

DeviceListLayout deviceListLayout = kDefaultLayout;

DatabaseLoad loadDeviceDatabase() {
    std::string path = deviceDatabasePath();
    std::vector<uint8_t> bytes;
    if (path.empty() || !readFilePrefix(path, databaseFileSize(kMaxDeviceEntries), bytes)) {
        resetDeviceDatabase();
        return DatabaseLoad::Missing;
    }
    Reader in(bytes);

    int32_t version = 0;
    if (!in.takeInt(version)) {
        return recover(path);
    }
    if (version < kDatabaseVersion) {
        resetDeviceDatabase();
        showMessage(kReadProblem, "Attention", MessageIcon::Warning, MessageButtons::Ok,
                    mainWindowHandle);
        return DatabaseLoad::OldVersion;
    }

    int32_t storedInterface = 0;
    if (!in.takeInt(storedInterface)) {
        return recover(path);
    }
    // The stored value is used as an index: bring it into 0..7.
    currentInterface = storedInterface >= kMaxInterfaces ? kMaxInterfaces - 1
                       : storedInterface < 0             ? 0
                                                         : storedInterface;

    if (!in.take(networkRecords, sizeof networkRecords)) {
        return recover(path);
    }
    for (NetworkRecord& record : networkRecords) {
        terminateTexts(record);
        checkSlots(record);
    }

    int32_t count = 0;
    if (!in.takeInt(count)) {
        return recover(path);
    }
    if (count > kMaxDeviceEntries || count <= 0) {
        clearDeviceTable();
        showMessage(kReadProblem, "Problem Occurred", MessageIcon::Warning, MessageButtons::Ok,
                    mainWindowHandle);
        return recover(path);
    }
    // Staged, so that a short table leaves the entries in memory as they were.
    static DeviceEntry entries[kMaxDeviceEntries];
    const size_t entryBytes = sizeof(DeviceEntry) * static_cast<size_t>(count);
    if (!in.take(entries, entryBytes)) {
        return recover(path);
    }
    clearDeviceTable();
    std::memcpy(deviceTable, entries, entryBytes);
    deviceCount = count;
    for (int i = 0; i < deviceCount; ++i) {
        terminateTexts(deviceTable[i]);
    }

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
    std::string path = deviceDatabasePath();
    if (path.empty()) {
        return false;
    }
    std::vector<uint8_t> image = databaseImage();

    // A stale temporary file from an interrupted save is replaced.
    std::string temporary = path + ".tmp";
    unlink(temporary.c_str());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return false;
    }
    bool crashed = false;
    bool ok = fchmod(fd, 0600) == 0 && writeAll(fd, image, crashed);
    if (crashed) {
        close(fd);
        return false; // as if the process ended here: nothing else happens
    }
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    ok = ok && rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        unlink(temporary.c_str());
        reportWriteProblem();
        return false;
    }
    syncDirectory(dataDirectory());
    return true;
}

void resetDeviceDatabase() {
    openAllInterfaces();
    std::memset(networkRecords, 0, sizeof networkRecords);
    for (NetworkRecord& record : networkRecords) {
        copyText(record.keyLabel, kDefaultNetworkPassword);
    }
    clearDeviceTable();
    currentInterface = 0;
}

void resetDeviceDatabaseState() {
    resetDataDirectory();
    deviceListLayout = kDefaultLayout;
    pendingFault = SaveFault::None;
    faultAfterBytes = 0;
}

void injectSaveFault(SaveFault fault, size_t afterBytes) {
    pendingFault = fault;
    faultAfterBytes = afterBytes;
}
