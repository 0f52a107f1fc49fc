// The four files of the diagnostics that hold device passwords, network keys
// or parameter blocks: the saved report, diagnostics.txt, the parameters log
// and scan.log. Each is created mode 0600 under umask 0, and a symbolic link
// planted under its name is never followed.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "diagnostics/diagnostics_report.h"
#include "diagnostics/scan_log.h"
#include "network/model.h"
#include "platform/host_info.h"
#include "platform/messages.h"
#include "platform/working_folder.h"
#include "storage/preferences.h"
#include "support/temp_dir.h"
#include "ui/diagnostics_page_logic.h"
#include "ui/outcome_boxes.h"

namespace {

const std::string kVictimText = "root:x:0:0:root:/root:/bin/bash\n";

std::string text(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

class PrivateFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetDeviceModel();
        resetPreferences();
        resetDiagnostics();
        setMessageSink(&messages);
        installOutcomeSinks();
        setHostInfoSource(&host);
        host.time = 1701887525;
        copyText(preferences.appName, "Plexora");
        interfaceCount = 1;
        networkRecords[0].hostMac[0] = 0x02;
        networkRecords[0].localPresent = 1;
        uint8_t mac[6] = {0x00, 0xB0, 0x52, 0, 0, 0x11};
        std::memcpy(networkRecords[0].remotes[0].mac, mac, 6);
        const int entry = appendDeviceEntry(mac, "Kitchen");
        copyText(deviceTable[entry - 1].password, "ABCD-EFGH-IJKL-MNOP");
        setWorkingFolder(dir.path());
        setLogDirectory(dir.path());
        writeFileText(victim, kVictimText);
        chmod(victim.c_str(), 0644);
        oldMask = umask(0);
    }
    void TearDown() override {
        umask(oldMask);
        resetDiagnostics();
        setWorkingFolder("");
        removeOutcomeSinks();
        setMessageSink(nullptr);
        setHostInfoSource(nullptr);
        resetPreferences();
        resetDeviceModel();
    }

    static mode_t modeOf(const std::string& path) {
        struct stat st {};
        return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
    }
    void plantLink(const std::string& path) { ASSERT_EQ(0, symlink(victim.c_str(), path.c_str())); }
    void expectVictimUntouched() {
        EXPECT_EQ(kVictimText, text(readFileBytes(victim)));
        EXPECT_EQ(S_IFREG | 0644, modeOf(victim));
    }

    TempDir dir;
    const std::string victim = dir.file("victim");
    RecordingMessages messages;
    FixedHostInfo host;
    mode_t oldMask = 0;
};

TEST_F(PrivateFilesTest, SavedReportIsPrivateAndNeverWrittenThroughALink) {
    const std::string path = dir.file("site visit.TXT");
    ASSERT_TRUE(saveDiagnosticsReport(path));
    EXPECT_EQ(S_IFREG | 0600, modeOf(path));
    EXPECT_EQ(diagnosticsReportText(), text(readFileBytes(path)));

    // An older report of mode 0644 that the user chose to overwrite.
    chmod(path.c_str(), 0644);
    ASSERT_TRUE(saveDiagnosticsReport(path));
    EXPECT_EQ(S_IFREG | 0600, modeOf(path));
    EXPECT_TRUE(messages.shown.empty());

    const std::string planted = dir.file("report.TXT");
    plantLink(planted);
    EXPECT_FALSE(saveDiagnosticsReport(planted));
    expectVictimUntouched();
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("Error", messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::Error, messages.shown[0].icon);
    EXPECT_EQ("The report could not be saved to " + planted +
                  ": Too many levels of symbolic links.",
              messages.shown[0].text);

    EXPECT_FALSE(saveDiagnosticsReport(dir.file("no/such/folder/report.TXT")));
    ASSERT_EQ(2u, messages.shown.size());
    EXPECT_NE(std::string::npos, messages.shown[1].text.find("No such file or directory"));
}

TEST_F(PrivateFilesTest, PrintedReportIsPrivateAndNeverWrittenThroughALink) {
    const std::string path = dir.file("diagnostics.txt");
    ASSERT_FALSE(writePrintedReport().empty());
    EXPECT_EQ(S_IFREG | 0600, modeOf(path));
    std::remove(path.c_str());

    plantLink(path);
    EXPECT_EQ("", writePrintedReport());
    expectVictimUntouched();
}

TEST_F(PrivateFilesTest, ParametersLogIsPrivateReplacesALinkAndStaysInItsFolder) {
    const uint8_t block[50] = {0x01, 0x23, 0x45, 0x67, 0x89};
    const std::string path = dir.file("Plexora.log");
    EXPECT_EQ(path, parametersLogPath());
    plantLink(path);
    appendParametersLog(2, block);
    EXPECT_EQ(S_IFREG | 0600, modeOf(path));
    const std::string log = text(readFileBytes(path));
    EXPECT_EQ(0u, log.find("Time "));
    EXPECT_NE(std::string::npos, log.find("\n\n**SETNEK** 01 23 45 67 89 00"));
    expectVictimUntouched();

    // An application name that climbs out of the folder stays in it.
    copyText(preferences.appName, "../x");
    EXPECT_EQ(dir.file(".._x.log"), parametersLogPath());
    appendParametersLog(0, block);
    EXPECT_EQ(S_IFREG | 0600, modeOf(dir.file(".._x.log")));
    EXPECT_FALSE(
        std::filesystem::exists(std::filesystem::path(dir.path()).parent_path() / "x.log"));
}

TEST_F(PrivateFilesTest, ScanLogIsPrivateAndNeverWrittenThroughALink) {
    const std::string path = dir.file("scan.log");
    writeFileText(path, "an old log of mode 0644\n");
    chmod(path.c_str(), 0644);
    appendScanLog(false);
    EXPECT_EQ(S_IFREG | 0600, modeOf(path));
    const std::string log = text(readFileBytes(path));
    EXPECT_NE(std::string::npos, log.find("\tdevice\t\t\tpresent\tmissesTillDrop\n\n"));
    EXPECT_NE(std::string::npos, log.find("NIC #0:\t02:00:00:00:00:00\tPresent=1\n"));
    EXPECT_EQ(std::string::npos, log.find("an old log"));

    std::remove(path.c_str());
    plantLink(path);
    appendScanLog(true);
    appendScanLog(true);
    expectVictimUntouched();
    EXPECT_TRUE(std::filesystem::is_symlink(path));
}

} // namespace
