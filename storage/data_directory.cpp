// Choice of the data directory and the database file name.
#include "storage/data_directory.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/working_folder.h"
#include "storage/preferences.h"

namespace {

std::string chosenDirectory;

bool isUsableDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           access(path.c_str(), W_OK | X_OK) == 0;
}

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::string homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && *home) {
        return home;
    }
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir) {
        return pw->pw_dir;
    }
    return ".";
}

std::string userDataHome() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    // Relative values are invalid by the base directory rules and are ignored.
    if (xdg && xdg[0] == '/') {
        return xdg;
    }
    return homeDirectory() + "/.local/share";
}

} // namespace

DataDirectoryPlaces defaultDataDirectoryPlaces() {
    return {"/var/lib/tollbeam", userDataHome() + "/tollbeam", geteuid() == 0};
}

DataDirectoryChoice chooseDataDirectory() {
    return chooseDataDirectory(defaultDataDirectoryPlaces());
}

DataDirectoryChoice chooseDataDirectory(const DataDirectoryPlaces& places) {
    DataDirectoryChoice choice;
    choice.machineDirectory = places.machineDirectory;
    choice.fallbackDirectory = places.fallbackDirectory;
    const std::string& machine = places.machineDirectory;
    if (!places.perMachine) {
        // The per-user folder will hold device passwords: only its owner may enter.
        if (isUsableDirectory(places.fallbackDirectory) ||
            makeFolders(places.fallbackDirectory, 0700)) {
            chosenDirectory = places.fallbackDirectory;
            choice.ready = true;
            return choice;
        }
    } else if (isUsableDirectory(machine) ||
               (!exists(machine) && mkdir(machine.c_str(), 0755) == 0 &&
                isUsableDirectory(machine))) {
        chosenDirectory = machine;
        choice.ready = true;
        return choice;
    }
    // Root without a usable machine directory is told once, when the fallback
    // is first made; at later starts the fallback is simply used. An ordinary
    // user is told only when the per-user folder cannot be made.
    if (isUsableDirectory(places.fallbackDirectory)) {
        chosenDirectory = places.fallbackDirectory;
        choice.ready = true;
        return choice;
    }
    choice.tellFallback = true;
    chosenDirectory = places.fallbackDirectory;
    // The fallback is per user and will hold device passwords: only its owner may enter.
    choice.ready = makeFolders(places.fallbackDirectory, 0700);
    return choice;
}

const std::string& dataDirectory() {
    return chosenDirectory;
}

std::string deviceDatabasePath() {
    if (chosenDirectory.empty()) {
        return {};
    }
    return chosenDirectory + "/" + appNameFileName(".data");
}

std::string appNameFileName(const std::string& suffix) {
    std::string name = prefAppName();
    for (char& c : name) {
        if (c == '/') {
            c = '_';
        }
    }
    return name + suffix;
}

void resetDataDirectory() {
    chosenDirectory.clear();
}
