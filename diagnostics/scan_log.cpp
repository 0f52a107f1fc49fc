#include "diagnostics/scan_log.h"

#include <cstdio>
#include <ctime>
#include <deque>
#include <sstream>
#include <vector>

#include "network/model.h"
#include "platform/file_io.h"
#include "storage/data_directory.h"
#include "storage/preferences.h"

namespace {
// The log holds at most 21 lines of at most 199 characters; a longer file is
// not one this program wrote, and only its end would be kept anyway.
constexpr size_t kParametersLogReadLimit = 64 * 1024;

std::FILE* scanLog = nullptr;
std::string logDirectory;

// The standard 24-character date text of the current local time, with its newline.
std::string dateText() {
    std::time_t now = std::time(nullptr);
    char text[64] = {};
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr || asctime_r(&local, text) == nullptr)
        return "\n";
    return text;
}

const char* parametersTag(int kind) {
    switch (kind) {
    case 0:
        return "**EEPROM**";
    case 1:
        return "** RAM  **";
    default:
        return "**SETNEK**";
    }
}

void writeInterfacePicture(int i) {
    const NetworkRecord& record = networkRecords[i];
    std::fprintf(scanLog, "NIC #%d:\t%s\tPresent=%d\n", i, formatMac(record.hostMac).c_str(),
                 record.localPresent);
    if (!record.localPresent)
        return;
    for (const RemoteDevice& slot : record.remotes)
        if (macIsSet(slot.mac))
            std::fprintf(scanLog, "\t%s\t%d\t%d\n", formatMac(slot.mac).c_str(), slot.active,
                         slot.missesTillDrop);
    std::fprintf(scanLog, "\n");
}
} // namespace

namespace {
// Opens scan.log for this run (emptied at the first write), once.
bool openScanLog() {
    if (scanLog == nullptr) {
        // The picture names every device on the network: a private file,
        // never written through a link planted in a shared folder.
        scanLog = openPrivateStream(inLogDirectory(kScanLogName));
        if (scanLog != nullptr)
            std::fprintf(scanLog, "%s\tdevice\t\t\tpresent\tmissesTillDrop\n\n",
                         dateText().c_str());
    }
    return scanLog != nullptr;
}
} // namespace

void appendScanLogLine(const std::string& line) {
    // The log stays open for the rest of the run, as the cycle keeps it: a
    // later picture goes on after the line instead of emptying the file.
    if (!openScanLog())
        return;
    std::string date = dateText();
    if (!date.empty() && date.back() == '\n')
        date.pop_back();
    std::fprintf(scanLog, "%s\t%s\n", date.c_str(), line.c_str());
    std::fflush(scanLog);
}

void appendScanLog(bool keepOpen) {
    if (!openScanLog())
        return;
    for (int i = 0; i < interfaceCount && i < kMaxInterfaces; ++i)
        writeInterfacePicture(i);
    std::fflush(scanLog);
    if (!keepOpen) {
        std::fclose(scanLog);
        scanLog = nullptr;
    }
}

std::string parametersLogPath() {
    return inLogDirectory(appNameFileName(".log"));
}

void appendParametersLog(int kind, const uint8_t block[50]) {
    const std::string path = parametersLogPath();
    // Keep the newest old lines that leave room for the three of the new entry.
    std::deque<std::string> lines;
    {
        std::vector<uint8_t> bytes;
        // Not through a link: what it points at must not end up in the log.
        readFileLimited(path, kParametersLogReadLimit, bytes, false);
        std::istringstream in(std::string(bytes.begin(), bytes.end()));
        std::string line;
        while (std::getline(in, line)) {
            if (line.size() > kParametersLogLineMax)
                line.resize(kParametersLogLineMax);
            lines.push_back(line);
            if (lines.size() > kParametersLogMaxLines - 3)
                lines.pop_front();
        }
    }
    std::string entry = parametersTag(kind);
    char byte[8];
    for (int n = 0; n < 50; ++n) {
        std::snprintf(byte, sizeof byte, " %.2x", block[n]);
        entry += byte;
    }
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    text += "Time " + dateText() + "\n";
    text += entry + "\n";
    // The blocks hold the network key: the log is private, and it is replaced
    // whole, so a crash never leaves half of it.
    writeFileAtomically(path, text.data(), text.size());
}

std::string inLogDirectory(const std::string& name) {
    if (logDirectory.empty())
        return name;
    return logDirectory + "/" + name;
}

void setLogDirectory(const std::string& dir) {
    logDirectory = dir;
}

void resetScanLog() {
    if (scanLog != nullptr)
        std::fclose(scanLog);
    scanLog = nullptr;
    logDirectory.clear();
}
