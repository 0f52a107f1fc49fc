#pragma once
// The two logs of the automatic scan and the HomePlug 1.0 frame handling:
// "scan.log", one picture of every interface's remote slots per scan, and the
// parameters log "<appName>.log", a short rolling log of raw local
// parameters blocks (they hold the network key). Both are private files (mode
// 0600, never written through a link); the parameters log is replaced whole
// on every entry. Both live in the log folder (setLogDirectory).
#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr const char* kScanLogName = "scan.log";
// The parameters log keeps at most this many lines (seven entries of three lines).
constexpr size_t kParametersLogMaxLines = 21;
constexpr size_t kParametersLogLineMax = 199;

// Appends the current scan picture to scan.log (opened and truncated at the
// first write of the run). Without `keepOpen` the log is closed afterwards.
void appendScanLog(bool keepOpen);

// Appends one dated line about the run itself (the link history pausing or
// resuming) to scan.log, whatever the diagnostics level.
void appendScanLogLine(const std::string& line);

// Adds one entry to the parameters log: kind 0 stored copy ("**EEPROM**"),
// 1 running copy ("** RAM  **"), 2 key setting ("**SETNEK**"), then the 50
// bytes. The log keeps the newest entries; the new one is always written.
void appendParametersLog(int kind, const uint8_t block[50]);

// Path of the parameters log: "%s.log" with the application name, a "/" in
// it replaced by "_" as in the database name, so it stays in the log folder.
std::string parametersLogPath();

// Folder both logs and the printed report's diagnostics.txt are written into
// ("" = the current directory). halyard's start-up sets it (platform/working_folder.h).
void setLogDirectory(const std::string& dir);
// `name` inside that folder.
std::string inLogDirectory(const std::string& name);

// Closes scan.log and forgets the folder.
void resetScanLog();
