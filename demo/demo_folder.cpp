#include "demo/demo_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "demo/demo_resources.h"
#include "network/model.h"
#include "platform/file_io.h"
#include "sim/internal.h"

namespace {

namespace fs = std::filesystem;

std::string inFolder(const std::string& dir, const std::string& name) {
    return (fs::path(dir) / name).string();
}

// A symbolic link at `path` is refused, never followed: in a folder that
// another account could write (a --keep folder in /tmp), a link planted at
// OEMPrefs.dat, a picture or data/ would make the demo read branding from, or
// write the device database to, wherever the link points.
bool refuseLink(const std::string& path, std::string& error) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        error = path + ": a symbolic link; halyard-demo does not follow links in its folder";
        return false;
    }
    return true;
}

// Writes `bytes` to `path` (mode 0600, never through a link); `replace` false
// leaves a regular file that is there already.
bool writeDemoFile(const std::string& path, std::string_view bytes, bool replace,
                   std::string& error) {
    if (!refuseLink(path, error))
        return false;
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL);
    int fd = ::open(path.c_str(), flags, 0600);
    if (fd < 0) {
        if (!replace && errno == EEXIST)
            return true;
        error = path + ": " + std::strerror(errno);
        return false;
    }
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (::close(fd) != 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string_view asText(const sim::Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out.push_back(digits[p[i] >> 4]);
        out.push_back(digits[p[i] & 15]);
    }
    return out;
}

// The version text of the demo's new firmware: the local adapter's text with
// its last number one higher ("KARSA01-MAC-3-1" -> "KARSA01-MAC-3-2"), so the
// Main page shows that the upgrade took.
std::string nextVersion(const std::string& version) {
    size_t end = version.size();
    size_t start = end;
    while (start > 0 && version[start - 1] >= '0' && version[start - 1] <= '9')
        --start;
    if (start == end || end - start > 6)
        return version.substr(0, 62) + "-2";
    return version.substr(0, start) + std::to_string(std::stoul(version.substr(start)) + 1);
}

// The images the upgrade of the local adapter takes, built by the emulator's
// own image builders so that the emulated adapter accepts them.
bool writeDemoImages(const std::string& dir, const sim::Network& network, std::string& error) {
    const sim::Station* local = nullptr;
    for (const sim::Station& s : network.stations())
        if (s.local)
            local = &s;
    if (!local)
        return true;
    std::string version = nextVersion(local->firmware);
    if (local->isAv())
        return writeDemoFile(inFolder(dir, kDemoAvFirmwareFile),
                             asText(sim::detail::makeNvm(version)), false, error) &&
               writeDemoFile(inFolder(dir, kDemoAvParametersFile),
                             asText(sim::detail::makePib(local->mac, local->nmk)), false, error);
    // The configuration file: identity (128 bytes), parameters (256 bytes at
    // 128) and options (512 bytes at 448), 960 bytes in all.
    sim::Bytes config(960, 0);
    for (auto [module, offset] : {std::pair{0x10u, 0u}, {0x20u, 128u}, {0x80u, 448u}}) {
        sim::Bytes section = sim::detail::makeConfigSection(module, local->mac);
        std::memcpy(config.data() + offset, section.data(), section.size());
    }
    return writeDemoFile(inFolder(dir, kDemoHp10ImageFile),
                         asText(sim::detail::makeHp10Image(version)), false, error) &&
           writeDemoFile(inFolder(dir, kDemoHp10ConfigFile), asText(config), false, error);
}

} // namespace

sim::Network loadDemoScenario(const std::string& scenarioFile) {
    if (!scenarioFile.empty())
        return sim::Network::fromFile(scenarioFile);
    const DemoResource* builtIn = findDemoResource("scenario.json");
    if (!builtIn)
        throw sim::ScenarioError("the built-in scenario is missing from this build");
    return sim::Network::fromJson(builtIn->bytes());
}

std::string createTemporaryDemoFolder(std::string& error) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/halyard-demo-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        error = "cannot make a folder like " + pattern + ": " + std::strerror(errno);
        return {};
    }
    return pattern;
}

void removeDemoFolder(const std::string& dir) {
    std::error_code ec;
    fs::remove_all(dir, ec);
}

PrefsFile demoPreferences() {
    PrefsFile p{};
    p.scanInterval = 30;
    p.qualityType = 1;
    p.iconSize = 24;
    // The level that also writes scan.log: the demo shows every diagnostic.
    p.diagnosticsLevel = 20;
    p.autoScan = 1;
    p.lgLogoLeft = 80;
    p.lgLogoTop = 25;
    p.showRate = 1;
    p.showQuality = 1;
    p.upgradeCapability = 1;
    copyText(p.webAddress, "http://www.example.com/halyard");
    copyText(p.appName, "Halyard Demo");
    const uint8_t oui[3] = {0x00, 0xB0, 0x52};
    std::memcpy(p.oui, oui, sizeof oui);
    copyText(p.vendorName, "Demo Vendor");
    copyText(p.copyright, "Copyright (c) halyard demo");
    return p;
}

bool prepareDemoFolder(const std::string& dir, const sim::Network& network, std::string& error) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir)) {
        error = dir + ": " + (ec ? ec.message() : std::string("not a folder"));
        return false;
    }
    // The folder must be the user's own and closed to others: otherwise a
    // name could be swapped for a link between the checks below and the use.
    const int folder = openTrustedFolder(dir);
    if (folder < 0) {
        error = dir + ": " +
                (errno == EPERM ? std::string("another account may write into this folder")
                                : std::string(std::strerror(errno)));
        return false;
    }
    ::close(folder);
    PrefsFile prefs = demoPreferences();
    if (!writeDemoFile(inFolder(dir, kPrefsFileName),
                       {reinterpret_cast<const char*>(&prefs), sizeof prefs}, false, error))
        return false;
    for (size_t i = 0; i < kDemoResourceCount; ++i) {
        const DemoResource& r = kDemoResources[i];
        if (std::string_view(r.name) == "scenario.json")
            continue;
        if (!writeDemoFile(inFolder(dir, r.name), r.bytes(), false, error))
            return false;
    }
    // A Readme.txt of the folder's own (a reseller's) stays; the demo's own
    // is rewritten, since the scenario may have changed.
    std::string readme = inFolder(dir, "Readme.txt");
    if (!refuseLink(readme, error))
        return false;
    bool ours = true;
    if (fs::exists(readme)) {
        std::ifstream in(readme);
        std::string first;
        std::getline(in, first);
        ours = first == kDemoReadmeFirstLine;
    }
    if (ours && !writeDemoFile(readme, demoReadme(network), true, error))
        return false;
    if (!writeDemoImages(dir, network, error))
        return false;
    if (!refuseLink(inFolder(dir, "data"), error))
        return false;
    fs::create_directories(inFolder(dir, "data"), ec);
    if (ec) {
        error = inFolder(dir, "data") + ": " + ec.message();
        return false;
    }
    return true;
}

std::string demoReadme(const sim::Network& network) {
    std::ostringstream out;
    out << kDemoReadmeFirstLine << "\n\n"
        << "This window is halyard itself, running on emulated powerline adapters inside the\n"
           "program: nothing is sent on any network interface. Everything the adapters are\n"
           "asked to do (names, network keys, factory resets, firmware upgrades) happens to\n"
           "the emulated adapters and ends with the demo.\n\n";
    const sim::Station* local = nullptr;
    for (const sim::Station& s : network.stations())
        if (s.local)
            local = &s;
    out << "The adapters and the device passwords printed on them:\n\n";
    for (const sim::Station& s : network.stations()) {
        out << "  " << sim::formatMac(s.mac) << "  " << s.devicePassword;
        if (!s.name.empty())
            out << "  " << s.name;
        if (s.local)
            out << " (wired to this computer)";
        else if (local && !network.sameNetwork(*local, s))
            out << " (on another network: add it with Add Device and this password)";
        out << "\n";
    }
    out << "\nTry it:\n"
           "- Main: the adapters of the network. Set Device Password tells halyard a remote\n"
           "  adapter's password (above); Add Device brings an adapter of another network\n"
           "  into this one; Upgrade takes the demo images in this folder ("
        << (local && !local->isAv()
                ? std::string(kDemoHp10ImageFile) + ", " + kDemoHp10ConfigFile
                : std::string(kDemoAvParametersFile) + ", " + kDemoAvFirmwareFile)
        << ").\n"
           "- Security: check adapters whose password is known and give them a private\n"
           "  network password.\n"
           "- Diagnostics and About: the report and this text.\n\n"
           "The folder of this demo holds its OEMPrefs.dat, device database (data/) and\n"
           "scan.log; run halyard-demo --keep DIR to keep them.\n";
    return out.str();
}

MainPageSetup demoPageSetup(const std::string& dir) {
    MainPageSetup s;
    s.workingFolder = dir;
    s.useDataPlaces = true;
    s.machineDataDirectory = inFolder(dir, "data");
    s.fallbackDataDirectory = inFolder(dir, "data");
    return s;
}

std::string demoWindowTitle(const std::string& appName) {
    return appName + " - demonstration on emulated adapters";
}

std::string demoLockName(const std::string& dir) {
    std::error_code ec;
    fs::path canonical = fs::weakly_canonical(dir, ec);
    return "halyard-demo" + (ec ? dir : canonical.string());
}

std::string emulatorStateJson(const sim::Network& network) {
    nlohmann::json stations = nlohmann::json::array();
    for (const sim::Station& s : network.stations()) {
        nlohmann::json j;
        j["mac"] = sim::formatMac(s.mac);
        j["family"] = sim::familyName(s.family);
        j["local"] = s.local;
        j["name"] = s.name;
        j["devicePassword"] = s.devicePassword;
        if (s.isAv()) {
            j["dak"] = hex(s.dak.data(), s.dak.size());
            j["nmk"] = hex(s.nmk.data(), s.nmk.size());
        } else {
            j["dek"] = hex(s.dek.data(), s.dek.size());
            auto nek = s.nek();
            j["nek"] = hex(nek.data(), nek.size());
        }
        j["firmware"] = s.firmware;
        j["inLoader"] = s.inLoader;
        j["commits"] = s.commits;
        j["starts"] = s.starts;
        j["factoryResets"] = s.factoryResets;
        j["keyChanges"] = s.keyChanges;
        j["restarts"] = s.restarts;
        stations.push_back(std::move(j));
    }
    nlohmann::json state;
    state["stations"] = std::move(stations);
    state["answered"] = network.answered();
    return state.dump(2) + "\n";
}

bool writeEmulatorState(const std::string& path, const sim::Network& network, std::string& error) {
    return writeDemoFile(path, emulatorStateJson(network), true, error);
}
