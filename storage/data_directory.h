#pragma once
// The data directory that holds the device database. Run as root, halyard
// keeps it per machine and falls back to the per-user directory with a word to
// the user; run as an ordinary user (the window never holds a privilege) it
// uses the per-user directory directly, since the per-machine one was never
// that user's to write.
#include <string>

struct DataDirectoryPlaces {
    std::string machineDirectory;  // "/var/lib/tollbeam"
    std::string fallbackDirectory; // "${XDG_DATA_HOME:-$HOME/.local/share}/tollbeam"
    // False: the machine directory is not tried (an ordinary user's start).
    bool perMachine = true;
};

// The places of this machine and user, from the environment; per machine
// only when running as root.
DataDirectoryPlaces defaultDataDirectoryPlaces();

// How the choice of the data directory went.
struct DataDirectoryChoice {
    // False: not even the fallback could be made; saves fail until a later
    // choice succeeds.
    bool ready = false;
    // The user is to be told that the machine directory could not be used and
    // the fallback is made instead (the message names both places).
    bool tellFallback = false;
    std::string machineDirectory;
    std::string fallbackDirectory;
};

// Chooses the data directory among the default places.
DataDirectoryChoice chooseDataDirectory();
// Chooses the data directory: the machine directory when it exists and is
// writable, or can be created (one level); otherwise (telling the user, the
// first time) creates the fallback directory with its parents and uses it.
// Without `perMachine` the fallback directory is used (and created) at once,
// and the user is told only when it cannot be made.
DataDirectoryChoice chooseDataDirectory(const DataDirectoryPlaces& places);

// The chosen data directory; empty before prepareDataDirectory.
const std::string& dataDirectory();

// The database file: the data directory, "/", the application name from the
// preferences and ".data". Built anew on every call, so it follows the
// preferences. A "/" in the name is replaced by "_" so the file always lies in
// the data directory. Empty while no data directory is chosen.
std::string deviceDatabasePath();

// The application name from the preferences followed by `suffix`, as a file
// name: every "/" becomes "_", so "../x" names a file in the folder it is
// placed in. Used for the database and the parameters log.
std::string appNameFileName(const std::string& suffix);

// Forgets the chosen data directory (part of resetDeviceDatabaseState).
void resetDataDirectory();
