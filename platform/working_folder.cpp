// The search order of the working folder and the choice of the log folder.
#include "platform/working_folder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_io.h"
#include "platform/prefs_file_name.h"

namespace {

bool isFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isWritableDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           access(path.c_str(), W_OK | X_OK) == 0;
}

std::string homeFolder() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/')
        return pw->pw_dir;
    return {};
}

// $variable when it is an absolute path, else $HOME/`fallback`; "" without a home.
std::string baseFolder(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    if (value && value[0] == '/')
        return value;
    std::string home = homeFolder();
    if (home.empty())
        return {};
    return inFolder(home, fallback);
}

std::string underBase(const std::string& base) {
    return base.empty() ? std::string() : inFolder(base, kProgramFolderName);
}

// Why the current directory's OEMPrefs.dat may not brand this program, or ""
// when it may: the folder and the file must belong to this user or to root,
// and nobody else may write either (a folder like /tmp, or a file another
// account could rewrite, would let that account choose the branding, the
// pictures and the log folder).
std::string currentFolderDistrust(const std::string& current) {
    const std::string prefs = inFolder(current, kPrefsFileName);
    struct stat folder {};
    if (stat(current.c_str(), &folder) != 0 || !folderIsTrusted(folder))
        return current + " belongs to another user or others may write it";
    struct stat file {};
    if (lstat(prefs.c_str(), &file) != 0 || !S_ISREG(file.st_mode))
        return prefs + " is not a regular file";
    if ((file.st_uid != geteuid() && file.st_uid != 0) || (file.st_mode & (S_IWGRP | S_IWOTH)))
        return prefs + " belongs to another user or others may write it";
    return {};
}

std::string currentDirectory() {
    char buffer[4096];
    if (getcwd(buffer, sizeof buffer) == nullptr)
        return {};
    return buffer;
}

} // namespace

std::string userConfigFolder() {
    return underBase(baseFolder("XDG_CONFIG_HOME", ".config"));
}

std::string userStateFolder() {
    return underBase(baseFolder("XDG_STATE_HOME", ".local/state"));
}

std::string programPath() {
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    buffer[n] = '\0';
    return buffer;
}

std::string folderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return {};
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string packagedFolder() {
    const std::string bin = folderOf(programPath());
    if (bin.empty())
        return {};
    const std::string prefix = folderOf(bin);
    return inFolder(inFolder(prefix, "share"), kProgramFolderName);
}

bool installedByPackage(const std::string& path, const std::string& packageList) {
    if (path.empty())
        return false;
    std::ifstream list(packageList);
    std::string line;
    while (std::getline(list, line))
        if (line == path)
            return true;
    return false;
}

WorkingFolderChoice chooseWorkingFolder(const std::string& current, const std::string& config,
                                        const std::string& packaged) {
    WorkingFolderChoice choice;
    bool currentTrusted = false;
    if (!current.empty() && isFile(inFolder(current, kPrefsFileName))) {
        choice.notice = currentFolderDistrust(current);
        if (!choice.notice.empty())
            choice.notice += ": it is ignored";
        currentTrusted = choice.notice.empty();
    }
    if (currentTrusted) {
        choice.folder = current;
        choice.isCurrent = true;
    } else if (!config.empty() && isFile(inFolder(config, kPrefsFileName))) {
        choice.folder = config;
    } else if (!packaged.empty() && isFile(inFolder(packaged, kPrefsFileName))) {
        choice.folder = packaged;
        choice.isPackaged = true;
    } else if (!config.empty()) {
        // Nothing anywhere: the preferences reader creates the file empty, and the
        // only place it may do so is the user's own config folder.
        choice.folder = config;
    } else {
        // No home folder at all: the current directory, as the program always did.
        choice.folder = current;
        choice.isCurrent = true;
    }
    choice.prefsPath = inFolder(choice.folder, kPrefsFileName);
    return choice;
}

WorkingFolderChoice chooseWorkingFolder() {
    WorkingFolderChoice choice =
        chooseWorkingFolder(currentDirectory(), userConfigFolder(), packagedFolder());
    if (!choice.notice.empty())
        std::fprintf(stderr, "%s\n", choice.notice.c_str());
    return choice;
}

std::string chooseLogFolder(const WorkingFolderChoice& choice, const std::string& stateFolder) {
    // Logs never go to the config folder (it holds settings, not records of runs) nor to
    // a folder that belongs to somebody else, where a planted file could catch them.
    struct stat st {};
    if (choice.isCurrent && isWritableDirectory(choice.folder) &&
        stat(choice.folder.c_str(), &st) == 0 && st.st_uid == getuid())
        return choice.folder;
    makeFolders(stateFolder, 0700);
    return stateFolder;
}

bool makeFolders(const std::string& path, unsigned mode) {
    if (path.empty())
        return false;
    if (isWritableDirectory(path))
        return true;
    const std::string parent = folderOf(path);
    struct stat st {};
    if (!parent.empty() && parent != path && stat(parent.c_str(), &st) != 0 &&
        !makeFolders(parent, mode))
        return false;
    if (mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST)
        return false;
    return isWritableDirectory(path);
}
