#include "platform/host_info.h"

#include <cstdio>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

#include "halyard_version.h"
#include "platform/capture_library.h"

namespace {
constexpr size_t kNameMax = 80;

SystemHostInfo systemSource;
HostInfoSource* installed = nullptr;

std::string cut(std::string text) {
    if (text.size() > kNameMax)
        text.resize(kNameMax);
    return text;
}

std::string computerName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "";
    return cut(name);
}

std::string userName() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_name == nullptr)
        return "";
    return cut(found->pw_name);
}
} // namespace

int processorTypeOfMachine(const std::string& machine) {
    if (machine == "x86_64" || machine == "amd64")
        return 8664;
    if (machine == "ia64")
        return 2200;
    if (machine == "i386")
        return 386;
    if (machine == "i486")
        return 486;
    if (machine == "i586" || machine == "i686")
        return 586;
    return 0;
}

void parseKernelRelease(const std::string& release, int& major, int& minor, int& build) {
    int parts[3] = {0, 0, 0};
    size_t pos = 0;
    for (int& part : parts) {
        long value = 0;
        size_t digits = 0;
        while (pos < release.size() && release[pos] >= '0' && release[pos] <= '9') {
            if (value < 1000000)
                value = value * 10 + (release[pos] - '0');
            ++pos;
            ++digits;
        }
        part = static_cast<int>(value);
        if (digits == 0 || pos >= release.size() || release[pos] != '.')
            break;
        ++pos;
    }
    major = parts[0];
    minor = parts[1];
    build = parts[2];
}

HostInfo SystemHostInfo::hostInfo() {
    HostInfo info;
    info.computerName = computerName();
    info.userName = userName();
    utsname names{};
    if (uname(&names) == 0) {
        info.processorType = processorTypeOfMachine(names.machine);
        info.osName = names.sysname;
        parseKernelRelease(names.release, info.osMajor, info.osMinor, info.osBuild);
    }
    info.programVersionPresent = true;
    info.programVersion[0] = HALYARD_VERSION_MAJOR;
    info.programVersion[1] = HALYARD_VERSION_MINOR;
    info.programVersion[2] = HALYARD_VERSION_PATCH;
    info.programVersion[3] = 0;
    info.libraryName = captureLibraryVersion();
    return info;
}

std::time_t SystemHostInfo::now() {
    return std::time(nullptr);
}

HostInfoSource& hostInfoSource() {
    return installed != nullptr ? *installed : systemSource;
}

void setHostInfoSource(HostInfoSource* source) {
    installed = source;
}
