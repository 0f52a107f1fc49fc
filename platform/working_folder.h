#pragma once
// The working folder: the current directory remembered when the Main page is
// created. The pictures (oemBig.bmp, cert.bmp, the device pictures),
// Readme.txt and the printed report's diagnostics.txt are found there. Tests
// point it at a temporary folder.
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

// `name` inside the working folder.
inline std::string inWorkingFolder(const std::string& name) {
    const std::string& folder = workingFolder();
    if (folder.empty())
        return name;
    if (folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}
