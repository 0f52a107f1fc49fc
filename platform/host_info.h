#pragma once
// The host-information seam: what the diagnostics report says about the
// computer (name, user, processor, operating system), the program's own
// version, the capture library and the current wall-clock time. Production
// asks the system (uname, gethostname, getpwuid, libpcap); tests install fixed
// values so the report is the same on every machine.
#include <cstdint>
#include <ctime>
#include <string>

struct HostInfo {
    std::string computerName; // network name of the computer, at most 80 characters
    std::string userName;     // name of the user running the program, at most 80 characters
    int processorType = 0;    // processor type number (386, 486, 586, 2200, 8664; 0 unknown)
    std::string osName;       // operating system name ("Linux")
    int osMajor = 0;          // kernel release, major.minor, build = the third number
    int osMinor = 0;
    int osBuild = 0;
    bool programVersionPresent = false; // the running program carries version information
    uint16_t programVersion[4] = {};    // major, minor, patch, tweak
    std::string libraryName;            // the capture library's version text
};

class HostInfoSource {
  public:
    virtual ~HostInfoSource() = default;
    virtual HostInfo hostInfo() = 0;
    // Seconds since 1970-01-01 UTC.
    virtual std::time_t now() = 0;
};

// Reads everything from the running system.
class SystemHostInfo : public HostInfoSource {
  public:
    HostInfo hostInfo() override;
    std::time_t now() override;
};

// Fixed answers, for tests.
class FixedHostInfo : public HostInfoSource {
  public:
    HostInfo info;
    std::time_t time = 0;
    HostInfo hostInfo() override { return info; }
    std::time_t now() override { return time; }
};

HostInfoSource& hostInfoSource();
void setHostInfoSource(HostInfoSource* source); // not owned; nullptr restores the system source

// The processor type number of a machine name as uname reports it.
int processorTypeOfMachine(const std::string& machine);
// Splits a kernel release ("6.8.0-45-generic") into its first three numbers;
// missing numbers are 0.
void parseKernelRelease(const std::string& release, int& major, int& minor, int& build);
