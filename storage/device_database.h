#pragma once
// The device database: one binary file in the data directory that keeps, from
// one run to the next, the selected interface, the network records with their
// remote devices and statistics, the device entries (names, device passwords,
// key labels and keys) and the layout and sort state of the device list.
//
// File layout (32-bit signed little-endian integers, no padding, no checksum):
//   0                 version, written as 306
//   4                 currentInterface
//   8                 networkRecords, 8 x 16426 bytes
//   131416            deviceCount n, 1..100
//   131420            the first n entries of deviceTable, 198 bytes each
//   131420 + 198n     column order of the device list, 5 integers
//   131440 + 198n     column widths of the device list, 5 integers (pixels)
//   131460 + 198n     sort direction flag
//   131464 + 198n     sort column
// The file is 131468 + 198n bytes long.
//
// The file holds device passwords: it is written with mode 0600, through a
// temporary file that is flushed to disk and renamed over the old one, so a
// crash leaves either the old or the new database; a temporary file that a
// killed save left behind is removed at the next load. A short or corrupt file
// is moved aside to "<name>.data.bad", one of an older layout to
// "<name>.data.old", rather than emptied. A file that cannot be read, or one
// of a newer layout, is kept as it is: halyard says so and saves nothing over
// it for the rest of the run.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "network/model.h"

constexpr int32_t kDatabaseVersion = 306;
constexpr int kListColumns = 5;

constexpr size_t kDbVersionOffset = 0;
constexpr size_t kDbCurrentInterfaceOffset = 4;
constexpr size_t kDbNetworkRecordsOffset = 8;
constexpr size_t kDbDeviceCountOffset = kDbNetworkRecordsOffset + sizeof(networkRecords);
constexpr size_t kDbEntriesOffset = kDbDeviceCountOffset + 4;
constexpr size_t kDbTrailerSize = 4 * (2 * kListColumns + 2);
constexpr size_t databaseFileSize(int entries) {
    return kDbEntriesOffset + sizeof(DeviceEntry) * static_cast<size_t>(entries) + kDbTrailerSize;
}
static_assert(sizeof(networkRecords) == 131408);
static_assert(kDbDeviceCountOffset == 131416);
static_assert(kDbEntriesOffset == 131420);
static_assert(kDbTrailerSize == 48);
static_assert(databaseFileSize(0) == 131468);
static_assert(databaseFileSize(kMaxDeviceEntries) == 131468 + 198 * 100);

// Layout and sort state of the Main page's device list. The user interface
// records its column order and widths here whenever they change, and applies
// them after loadDeviceDatabase; the database writes and restores them.
struct DeviceListLayout {
    int32_t columnOrder[kListColumns];  // display position -> column
    int32_t columnWidths[kListColumns]; // pixels, columns 0..4
    int32_t sortDirection;              // 1 at start
    int32_t sortColumn;                 // 1 at start
};
static_assert(sizeof(DeviceListLayout) == kDbTrailerSize);
extern DeviceListLayout deviceListLayout;
// The list's columns as the user left them: `displayOrder` (display position
// -> column; columns it lacks follow in their own order, unknown ones are
// dropped) and the widths of columns 0..4.
void recordDeviceListLayout(const std::vector<int>& displayOrder, const std::vector<int>& widths);

enum class DatabaseLoad {
    Loaded,       // the whole file was read
    Missing,      // no file: the tables were reset
    OldVersion,   // version below 306: moved aside, the tables reset, "Attention" shown
    Recovered,    // short or corrupt: moved aside, values read before stay
    Unreadable,   // permission, I/O error, not a regular file: kept, reported, never saved over
    NewerVersion, // version above 306: kept, reported, never saved over
};

// What the database tells the user about its file while it loads or saves.
// The window shows each as a box owned by the main window (ui/outcome_boxes).
enum class DatabaseMessage {
    None,
    Unreadable,    // the file cannot be read (`reason`); kept, never saved over
    NotMovedAside, // the file cannot be renamed to `asideName` (`reason`); kept
    NewerVersion,  // written in `layout`, newer than kDatabaseVersion; kept
    OldVersion,    // an older layout, moved aside ("Unexpected condition reading ...")
    BadCount,      // a device count out of range, moved aside (the same text)
    WriteProblem,  // a save failed while writing ("Unexpected condition writing ...")
};
struct DatabaseNotice {
    DatabaseMessage message = DatabaseMessage::None;
    std::string path;
    std::string asideName;
    std::string reason;
    int32_t layout = 0;
};
// The program registers how a notice is told (the window: a box; halyardctl:
// a line on stderr). It is called where the load or save meets the problem;
// unregistered, nothing is told (the load's and save's results still say it).
using DatabaseNoticeSink = std::function<void(const DatabaseNotice&)>;
void setDatabaseNoticeSink(DatabaseNoticeSink sink); // empty: none

// Fills currentInterface, networkRecords, deviceCount, deviceTable and
// deviceListLayout from the database file. Temporary files of saves that were
// killed are removed first. An unreadable or newer file resets the tables like
// a missing one, once, with a message; later loads of the same file in the run
// leave the tables alone.
DatabaseLoad loadDeviceDatabase();

// Writes the database file when at least one device entry exists. Returns true
// when the file was replaced. Failing to create the file in the data directory
// is silent; a failure while writing shows "Problem Occurred" and keeps the old
// file. A file the load refused to read is never replaced.
bool saveDeviceDatabase();

// Saves after the user deleted a device entry. With entries left this is
// saveDeviceDatabase. After the last one the file is removed: a database
// without entries is never written, and the old file would bring the device
// and its password back at the next start. Returns true when the file on disk
// now matches the tables.
bool saveDeviceDatabaseAfterDelete();

// Reopens every interface, zeroes the network records with every key label set
// to the HomePlug AV default network password, empties the device table and
// selects interface 0.
void resetDeviceDatabase();

// Returns the database subsystem to its start state: no data directory, the
// default list layout, no injected save fault.
void resetDeviceDatabaseState();

// Failure injection for tests: the next save fails after writing `afterBytes`
// bytes of the temporary file, either as a write error (reported, cleaned up)
// or as if the process died there (nothing reported, the temporary file stays).
enum class SaveFault { None, WriteError, Crash };
void injectSaveFault(SaveFault fault, size_t afterBytes);
