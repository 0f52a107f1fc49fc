#pragma once
// The working folder: where OEMPrefs.dat, OUIList.txt, the pictures (oemBig.bmp,
// cert.bmp, the device pictures) and Readme.txt are read. Chosen once at start:
//   1. the current directory when it holds OEMPrefs.dat (a reseller's or a
//      developer's folder: found there exactly as before), provided the folder
//      and the file belong to the user (or root) and nobody else may write
//      them; otherwise it is passed over as if it held none, with one line on
//      standard error;
//   2. else the user's config folder, ${XDG_CONFIG_HOME:-$HOME/.config}/halyard,
//      when it holds OEMPrefs.dat (brandkit saves there);
//   3. else the packaged defaults, <prefix>/share/halyard beside the program's
//      bin/ folder (/usr/share/halyard for the package), read only;
//   4. with none of them, the config folder, where halyard creates OEMPrefs.dat
//      empty. Nothing is ever created in $HOME itself or in a system folder.
// The logs (scan.log, the parameters log) and the printed report's
// diagnostics.txt go to the log folder instead: the current directory when it is
// the working folder, writable and the user's own, else the user's state folder
// ${XDG_STATE_HOME:-$HOME/.local/state}/halyard (0700).
// Tests point the working folder at a temporary folder.
#include <string>

inline std::string& workingFolderStorage() {
    static std::string folder;
    return folder;
}

// "" means the current directory.
inline const std::string& workingFolder() {
    return workingFolderStorage();
}

inline void setWorkingFolder(const std::string& folder) {
    workingFolderStorage() = folder;
}

// `name` inside `folder` ("" = the current directory).
inline std::string inFolder(const std::string& folder, const std::string& name) {
    if (folder.empty())
        return name;
    if (folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

// `name` inside the working folder.
inline std::string inWorkingFolder(const std::string& name) {
    return inFolder(workingFolder(), name);
}

// The name of the program's folder under the config, state and share folders.
inline constexpr const char* kProgramFolderName = "halyard";

// ${XDG_CONFIG_HOME:-$HOME/.config}/halyard. A relative XDG value is ignored,
// as the base directory rules say.
std::string userConfigFolder();
// ${XDG_STATE_HOME:-$HOME/.local/state}/halyard.
std::string userStateFolder();
// <folder of the running program>/../share/halyard: /usr/share/halyard for
// /usr/bin/halyard; empty when the program's path cannot be read.
std::string packagedFolder();

// The running program's own path (/proc/self/exe, links resolved); "" when unknown.
std::string programPath();
// Whether `path` is one of the files the package list `packageList` names (dpkg
// keeps one such list per installed package).
bool installedByPackage(const std::string& path,
                        const std::string& packageList = "/var/lib/dpkg/info/halyard.list");

// Where the branding is read from, and which OEMPrefs.dat.
struct WorkingFolderChoice {
    std::string folder;      // the working folder
    std::string prefsPath;   // its OEMPrefs.dat
    bool isCurrent = false;  // the current directory was chosen
    bool isPackaged = false; // the packaged defaults (read only) were chosen
    std::string notice;      // why the current directory's OEMPrefs.dat was passed over
};

// The search order above over the three candidate folders. `current` is the
// current directory's absolute path.
WorkingFolderChoice chooseWorkingFolder(const std::string& current, const std::string& config,
                                        const std::string& packaged);
// The same for this process: its current directory, the user's config folder
// and the packaged folder; a notice goes to standard error as one line.
WorkingFolderChoice chooseWorkingFolder();

// The folder the logs and diagnostics.txt are written to for `choice`: its folder
// when it is the current directory, a directory, writable and owned by this
// user; else `stateFolder`, created 0700 (with missing parents 0700) when needed.
// Returns the state folder even when it could not be created: the writes then
// fail and nothing lands anywhere else.
std::string chooseLogFolder(const WorkingFolderChoice& choice, const std::string& stateFolder);

// Creates `path` and its missing parents, each with `mode` (like mkdir -p -m).
// Returns whether `path` is then a directory this process may write into.
bool makeFolders(const std::string& path, unsigned mode);

// The folder part of `path` ("" for a bare name).
std::string folderOf(const std::string& path);
