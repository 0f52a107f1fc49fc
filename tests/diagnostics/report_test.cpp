// The diagnostics report byte for byte, the Diagnostics page's lists, the
// pieces they are made of, and the page's Delete, Print and sort rules.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "diagnostics/diagnostics_report.h"
#include "diagnostics/scan_log.h"
#include "maintenance/av_maintenance.h"
#include "network/model.h"
#include "platform/messages.h"
#include "platform/working_folder.h"
#include "storage/preferences.h"
#include "storage/vendor_list.h"
#include "support/temp_dir.h"
#include "ui/diagnostics_page_logic.h"
#include "ui/outcome_boxes.h"

namespace {
const std::string kRule(142, '-');

void setMac(uint8_t* out, std::initializer_list<uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), out);
}

void setStats(LinkStats& s, double rate, uint32_t drops, uint32_t fails, double hi, double lo) {
    s.rate = rate;
    s.drops = drops;
    s.fails = fails;
    s.highest = hi;
    s.lowest = lo;
}

RemoteDevice& slot(int n) {
    return networkRecords[0].remotes[n];
}

void addEntry(const uint8_t* mac, const char* name, const char* password, const char* label,
              int64_t lastSeen) {
    const int index = appendDeviceEntry(mac, name);
    ASSERT_GT(index, 0);
    DeviceEntry& e = deviceTable[index - 1];
    copyText(e.password, password);
    copyText(e.keyLabel, label);
    e.lastSeen = lastSeen;
}

class DiagnosticsReportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        savedTz_ = tz ? tz : "";
        hadTz_ = tz != nullptr;
        setenv("TZ", "UTC", 1);
        tzset();
        resetDeviceModel();
        resetPreferences();
        resetAvMaintenance();
        resetDiagnostics();
        setMessageSink(&messages);
        installOutcomeSinks();
        setHostInfoSource(&host);
        buildState();
    }
    void TearDown() override {
        removeOutcomeSinks();
        setMessageSink(nullptr);
        setHostInfoSource(nullptr);
        setWorkingFolder("");
        resetDiagnostics();
        resetDeviceModel();
        resetPreferences();
        resetAvMaintenance();
        if (hadTz_)
            setenv("TZ", savedTz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    void buildState() {
        host.info.computerName = "bench-pc";
        host.info.userName = "tech";
        host.info.processorType = 8664;
        host.info.osName = "Linux";
        host.info.osMajor = 6;
        host.info.osMinor = 8;
        host.info.osBuild = 12;
        host.info.programVersionPresent = true;
        host.info.programVersion[0] = 1;
        host.info.programVersion[2] = 3;
        host.info.libraryName = "libpcap";
        host.time = 1701887525; // Wed Dec  6 18:32:05 2023 UTC

        copyText(preferences.appName, "Plexora");
        copyText(preferences.copyright, "Copyright (c) 2010 Plexora.");
        preferences.diagnosticsLevel = 2;
        preferences.ampm = 1;
        setMac(preferences.oui, {0x00, 0xB0, 0x52});
        copyText(preferences.vendorName, "Plexora Inc");
        VendorEntry acme{{0x00, 0x11, 0x22}, "Acme Power"};
        vendorTable.push_back(acme);

        interfaceCount = 3;
        NetworkRecord& nic = networkRecords[0];
        setMac(nic.hostMac, {0x02, 0, 0, 0, 0, 0x01});
        nic.localPresent = 1;
        nic.deviceClass = kClassAv;
        setMac(nic.localMac, {0x00, 0xB0, 0x52, 0, 0, 0x0A});
        copyText(nic.keyLabel, "HomePlugAV");
        setStats(nic.localStats, 120, 3, 1, 190.0, 42.5);
        scanStates[0].reads = 12;
        scanStates[0].bytesRead = 5120;
        scanStates[0].writes = 7;
        scanStates[0].bytesWritten = 2047;
        copyText(localFirmwareVersion, "KARSA02-3.1.7");
        networkRecords[2].hostMac[0] = 0x02;
        networkRecords[2].hostMac[5] = 0x03;

        // Slot 0 holds the local device itself, slot 3 a device without a
        // database entry: neither is listed.
        std::memcpy(slot(0).mac, nic.localMac, 6);
        slot(0).deviceType = kTypeAv;
        setMac(slot(1).mac, {0x00, 0x11, 0x22, 0, 0, 0x01});
        slot(1).deviceType = kTypeAv;
        copyText(slot(1).version, "KARSA01-2.0");
        slot(1).seenCount = 40;
        slot(1).missTotal = 3;
        setStats(slot(1).stats, 85.6, 2, 0, 96.0, 60.25);
        setMac(slot(2).mac, {0x00, 0x11, 0x23, 0, 0, 0x02});
        slot(2).deviceType = kTypeTurbo;
        copyText(slot(2).vendor, "TurboCo");
        copyText(slot(2).product, "T-85");
        copyText(slot(2).version, "3.2.1");
        slot(2).seenCount = 7;
        setStats(slot(2).stats, 5, 0, 5, 85.0, 5.0);
        setMac(slot(3).mac, {0x00, 0x11, 0x24, 0, 0, 0x03});
        slot(3).deviceType = kTypeHp10;
        setMac(slot(4).mac, {0x00, 0x11, 0x25, 0, 0, 0x04});
        slot(4).deviceType = kTypeHp10;
        slot(4).seenCount = 1;
        slot(4).missTotal = 6;

        addEntry(slot(1).mac, "Kitchen", "ABCD-EFGH-IJKL-MNOP", "HomePlugAV", 1701887525);
        addEntry(slot(4).mac, "Garage", "", "", 1709251620);         // Fri Mar  1 00:07:00 2024
        addEntry(slot(2).mac, "Office", "", "HomePlug", 1709208059); // Thu Feb 29 12:00:59 2024
        addEntry(nic.localMac, "Adapter", "", "HomePlugAV", 1701887525);
    }

    RecordingMessages messages;
    FixedHostInfo host;
    std::string savedTz_;
    bool hadTz_ = false;
};

const std::string kReportHead = "Diagnostics Report:\t\t\t\t\tWed Dec  6 18:32:05 2023\n\n"
                                "Utility Released: February 25, 2010\n"
                                "Copyright (c) 2010 Plexora.\n\n"
                                "Host Computer Information:\n" +
                                kRule;

const std::string kHostPart =
    "\nOn NIC #1 MAC = 02:00:00:00:00:01"
    "\n   HomePlug Device #1 MAC = 00:B0:52:00:00:0A"
    "\n   Network password: HomePlugAV"
    "\n   Vendor: Plexora Inc"
    "\n   Firmware: KARSA02-3.1.7 "
    "\n   Reads: 12 (5 KB), Writes: 7 (1 KB)"
    "\n   Drops = 3, Fails = 1, Highest = 190.00 Mbps. Lowest = 42.50 Mbps"
    "\n"
    "\nOn NIC #2 MAC = 02:00:00:00:00:03"
    "\n   No HomePlug Device Connected"
    "\n"
    "\nComputer network name: bench-pc"
    "\nUser name: tech"
    "\nMicroprocessor: 8664"
    "\nOS Platform: Linux   V6.8, Build 12"
    "\n "
    "\nPlexora    V1.0, Build 3.0"
    "\nLibrary: libpcap       ";

const std::string kRemoteHead =
    "\n\n\nRemote Powerline Devices:\n" + kRule +
    "\nName\t\tMAC\t\t\tPassword\t\tRate\tNetwork\t\tLast Seen\tVendor\t\tFirmware\n" + kRule;
} // namespace

TEST_F(DiagnosticsReportTest, ReportTextByteForByte) {
    const std::string expected =
        kReportHead + kHostPart + kRemoteHead +
        "\nKitchen\t00:11:22:00:00:01\tABCD-EFGH-IJKL-MNOP\t85\tHomePlugAV\tDec  6 06:32PM"
        "\tAcme Power\tKARSA01-2.0\t40\t3\t2\t0\t96.00\t60.25"
        "\n"
        "\nOffice\t00:11:23:00:00:02\t--- not entered ---\t05\tHomePlug\tFeb 29 12:00PM"
        "\tTurboCo T-85\tMAC 3.2.1\t7\t0\t0\t5\t85.00\t5.00"
        "\n"
        "\nGarage\t00:11:25:00:00:04\t--- not entered ---\t?\t\tMar  1 12:07AM\tVarnel\tHP 1.0"
        "\t1\t6\t0\t0\t0.00\t0.00"
        "\n";
    EXPECT_EQ(expected.substr(0, kReportHead.size() + kHostPart.size()),
              diagnosticsReportText().substr(0, kReportHead.size() + kHostPart.size()));
    EXPECT_EQ(expected, diagnosticsReportText());
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(DiagnosticsReportTest, LevelOneLeavesOutCountersAndTurboDetails) {
    preferences.diagnosticsLevel = 1;
    preferences.ampm = 0;
    networkRecords[0].deviceClass = kClassTurbo;
    copyText(turboVersion, "1.4.2");
    copyText(turboFirmware, "FW 2006-05-01");
    const std::string text = diagnosticsReportText();
    EXPECT_NE(std::string::npos, text.find("\n   Vendor: Plexora Inc\n   Firmware:MAC 1.4.2   "
                                           "( FW 2006-05-01 )\n\nOn NIC #2"));
    EXPECT_EQ(std::string::npos, text.find("Reads:"));
    // Without ampm the hour stays and the seconds follow; the Turbo remote
    // is named by its OUI.
    EXPECT_NE(std::string::npos,
              text.find("\nOffice\t00:11:23:00:00:02\t--- not entered ---\t05\tHomePlug\t"
                        "Feb 29 12:00:59 \tVarnel\tMAC 3.2.1\n"));
    EXPECT_NE(std::string::npos, text.find("\tDec  6 18:32:05 \tAcme Power\tKARSA01-2.0\n"));

    preferences.diagnosticsLevel = 2;
    copyText(turboVendor, "TurboCo");
    copyText(turboProduct, "T-85 Local");
    const std::string detailed = diagnosticsReportText();
    EXPECT_NE(std::string::npos, detailed.find("\n   Vendor: TurboCo, Product: T-85 Local.\n"));
    EXPECT_NE(std::string::npos, detailed.find("\n   Reads: 12 (5 KB)"));
}

TEST_F(DiagnosticsReportTest, ListsCarryTheSameLinesAndSlotReferences) {
    const DiagnosticsLists lists = fillDiagnosticsLists();
    std::string system;
    for (const DiagnosticsRow& row : lists.system) {
        ASSERT_EQ(1u, row.cells.size());
        EXPECT_EQ(0, row.reference);
        system += "\n" + row.cells[0];
    }
    EXPECT_EQ(kHostPart, system);

    ASSERT_EQ(3u, lists.history.size());
    EXPECT_EQ(1, lists.history[0].reference);
    EXPECT_EQ(2, lists.history[1].reference);
    EXPECT_EQ(4, lists.history[2].reference);
    EXPECT_EQ(1709251620, lists.history[2].lastSeen);
    const std::vector<std::string> office = {"Office",
                                             "00:11:23:00:00:02",
                                             "--- not entered ---",
                                             "05",
                                             "HomePlug",
                                             "Feb 29 12:00PM",
                                             "TurboCo T-85",
                                             "MAC 3.2.1",
                                             "7",
                                             "0",
                                             "0",
                                             "5",
                                             "85.00",
                                             "5.00"};
    EXPECT_EQ(office, lists.history[1].cells);
    EXPECT_EQ(historyColumns(2).size(), office.size());

    preferences.diagnosticsLevel = 1;
    const DiagnosticsLists brief = fillDiagnosticsLists();
    EXPECT_EQ(8u, historyColumns(1).size());
    for (const DiagnosticsRow& row : brief.history)
        EXPECT_EQ(8u, row.cells.size());
    EXPECT_EQ("Firmware", std::string(historyColumns(1)[7].title));
    EXPECT_EQ(290, historyColumns(1)[7].width);
    EXPECT_EQ("Low Rate", std::string(historyColumns(2)[13].title));
}

TEST_F(DiagnosticsReportTest, AFailureWhileFillingIsReportedAndKeepsWhatWasWritten) {
    struct Failing : DiagnosticsTarget {
        std::vector<std::string> lines;
        void newLine(const std::string& text) override {
            if (lines.size() == 3)
                throw std::runtime_error("disk full");
            lines.push_back(text);
        }
        void nextColumn(const std::string&) override {}
        void startRemoteSection() override {}
        void rowReference(int) override {}
        void endRemoteRow() override {}
    } target;
    // The operation says it stopped; it shows nothing itself.
    EXPECT_FALSE(fillDiagnostics(target));
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(3u, target.lines.size());

    // The page shows the box for it.
    target.lines.clear();
    EXPECT_FALSE(fillDiagnosticsShowingFailure(target));
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("Unknown error occured", messages.shown[0].text);
    EXPECT_EQ("updateDiagnosticsList", messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::None, messages.shown[0].icon);
    EXPECT_EQ(3u, target.lines.size());
}

TEST_F(DiagnosticsReportTest, ReportFileEqualsTheTextAndUnopenableFilesAreSkipped) {
    TempDir dir;
    ASSERT_TRUE(writeDiagnosticsReportFile(dir.file("report.TXT")));
    const std::vector<uint8_t> bytes = readFileBytes(dir.file("report.TXT"));
    EXPECT_EQ(diagnosticsReportText(), std::string(bytes.begin(), bytes.end()));
    EXPECT_FALSE(writeDiagnosticsReportFile(dir.file("no/such/folder/report.TXT")));
    EXPECT_FALSE(writeDiagnosticsReport(nullptr));
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(DiagnosticsReportTest, CountersPastTwoGibibytesNeverShowNegative) {
    // 2 GiB and more: the 32-bit counters hold values that are negative as
    // signed numbers.
    scanStates[0].bytesRead = static_cast<int32_t>(0x80000000u + 5120);
    scanStates[0].bytesWritten = static_cast<int32_t>(0xFFFFFC00u);
    scanStates[0].reads = static_cast<int32_t>(0x80000001u);
    scanStates[0].writes = -1;
    networkRecords[0].localStats.drops = 0xFFFFFFFFu;
    slot(1).seenCount = static_cast<int32_t>(0x80000000u);
    slot(1).missTotal = -2;
    const std::string text = diagnosticsReportText();
    EXPECT_NE(std::string::npos,
              text.find("\n   Reads: 2147483649 (2097157 KB), Writes: 4294967295 (4194303 KB)"));
    EXPECT_NE(std::string::npos, text.find("\n   Drops = 4294967295, Fails = 1,"));
    EXPECT_NE(std::string::npos, text.find("\tKARSA01-2.0\t2147483648\t4294967294\t2\t0\t"));
}

TEST(DiagnosticsPieces, RatesDatesAndVersions) {
    EXPECT_EQ("85", rateText(85.6));
    EXPECT_EQ("05", rateText(5));
    EXPECT_EQ("?", rateText(0));
    EXPECT_EQ("200", rateText(200));
    // A corrupt database value must not be converted out of range.
    EXPECT_EQ("?", rateText(std::nan("")));
    EXPECT_EQ("2147483647", rateText(1e300));

    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ("Wed Dec  6 18:32:05 2023\n", standardDateText(1701887525));
    EXPECT_EQ("Thu Jan  1 00:00:00 1970\n", standardDateText(0));
    EXPECT_EQ("Dec  6 06:32PM", lastSeenText(1701887525, true));
    EXPECT_EQ("Dec  6 18:32:05 ", lastSeenText(1701887525, false));
    EXPECT_EQ("Jan 15 09:05AM", lastSeenText(1705309500, true));
    // Real 12-hour time: midnight is 12 AM, noon 12 PM, and 12:59 stays before 1 PM.
    EXPECT_EQ("Mar  1 12:07AM", lastSeenText(1709251620, true));    // 00:07
    EXPECT_EQ("Feb 29 12:00PM", lastSeenText(1709208059, true));    // 12:00:59
    EXPECT_EQ("Feb 29 12:59PM", lastSeenText(1709211540, true));    // 12:59
    EXPECT_EQ("Feb 29 01:00PM", lastSeenText(1709211600, true));    // 13:00
    EXPECT_EQ("Feb 29 11:59PM", lastSeenText(1709251140, true));    // 23:59
    EXPECT_EQ("Mar  1 01:05AM", lastSeenText(1709255100, true));    // 01:05
    EXPECT_EQ("Mar  1 00:07:00 ", lastSeenText(1709251620, false)); // 24-hour form unchanged
    // A time the calendar cannot hold gives an empty cell, never a crash.
    EXPECT_EQ("", lastSeenText(INT64_MAX, true));
    unsetenv("TZ");
    tzset();

    HostInfo host;
    host.osName = "Linux";
    host.osMajor = 6;
    host.osMinor = 2;
    EXPECT_EQ("OS Platform: Linux   V6.2, Build 0", describeOs(host));
    EXPECT_EQ("Not Present", fileVersionText(host));
    host.programVersionPresent = true;
    host.programVersion[0] = 2;
    host.programVersion[1] = 10;
    host.programVersion[2] = 7;
    host.programVersion[3] = 1;
    EXPECT_EQ("V2.10, Build 7.1", fileVersionText(host));

    int major = 0, minor = 0, build = 0;
    parseKernelRelease("6.8.0-45-generic", major, minor, build);
    EXPECT_EQ(6, major);
    EXPECT_EQ(8, minor);
    EXPECT_EQ(0, build);
    parseKernelRelease("5.15", major, minor, build);
    EXPECT_EQ(15, minor);
    EXPECT_EQ(0, build);
    parseKernelRelease("", major, minor, build);
    EXPECT_EQ(0, major);
    EXPECT_EQ(8664, processorTypeOfMachine("x86_64"));
    EXPECT_EQ(586, processorTypeOfMachine("i686"));
    EXPECT_EQ(0, processorTypeOfMachine("aarch64"));
}

TEST_F(DiagnosticsReportTest, DeleteAsksForDevicesWithAPassword) {
    EXPECT_FALSE(deleteHistoryDevice(""));
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("Please select a device first by clicking on it.", messages.shown[0].text);
    EXPECT_EQ("Attention", messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::Warning, messages.shown[0].icon);

    messages.answerNext(MessageResult::No);
    EXPECT_FALSE(deleteHistoryDevice("00:11:22:00:00:01"));
    ASSERT_EQ(2u, messages.shown.size());
    EXPECT_EQ("A Password for this device has been entered. \nAre you sure you want to delete it?",
              messages.shown[1].text);
    EXPECT_EQ(MessageButtons::YesNo, messages.shown[1].buttons);
    EXPECT_EQ(4, +deviceCount);

    messages.answerNext(MessageResult::Yes);
    EXPECT_TRUE(deleteHistoryDevice("00:11:22:00:00:01"));
    EXPECT_EQ(3, +deviceCount);
    EXPECT_GT(findDeviceEntry(networkRecords[0].localMac), 0); // the local entry stays
    // The slot went too; the later slots moved down by one.
    EXPECT_EQ(0x23, +slot(1).mac[2]);

    // No password: deleted at once, no question.
    EXPECT_TRUE(deleteHistoryDevice("00:11:25:00:00:04"));
    EXPECT_EQ(3u, messages.shown.size());
    EXPECT_EQ(2, +deviceCount);
    // A MAC without an entry changes nothing.
    EXPECT_FALSE(deleteHistoryDevice("00:11:24:00:00:03"));
    EXPECT_EQ(2, +deviceCount);

    const DiagnosticsLists lists = fillDiagnosticsLists();
    ASSERT_EQ(1u, lists.history.size());
    EXPECT_EQ("Office", lists.history[0].cells[0]);
}

TEST_F(DiagnosticsReportTest, PrintWritesDiagnosticsTxtAndNeedsAPrinter) {
    // diagnostics.txt goes to the log folder, never to the working folder (which may
    // be the read-only packaged defaults).
    TempDir dir;
    TempDir working;
    setWorkingFolder(working.path());
    setLogDirectory(dir.path());
    const std::string text = writePrintedReport();
    ASSERT_FALSE(text.empty());
    const std::vector<uint8_t> bytes = readFileBytes(dir.file("diagnostics.txt"));
    EXPECT_EQ(text, std::string(bytes.begin(), bytes.end()));
    EXPECT_NE(0, access(working.file("diagnostics.txt").c_str(), F_OK));

    EXPECT_FALSE(mayPrintReport(DefaultPrinter::Absent));
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("Before you can perform printer-related tasks such as page setup or printing a "
              "document, you need to install a printer.",
              messages.shown[0].text);
    EXPECT_EQ("Attention", messages.shown[0].caption);
    EXPECT_FALSE(mayPrintReport(DefaultPrinter::QueryFailed));
    EXPECT_TRUE(mayPrintReport(DefaultPrinter::Present));
    EXPECT_EQ(1u, messages.shown.size());

    setLogDirectory(dir.file("missing"));
    EXPECT_EQ("", writePrintedReport());
    resetScanLog();
    setWorkingFolder("");
}

TEST_F(DiagnosticsReportTest, PrintedReportIsRemovedOnceHandedOverOrRefused) {
    TempDir dir;
    setLogDirectory(dir.path());
    const std::string path = dir.file("diagnostics.txt");
    std::vector<std::string> handed;
    auto printer = [&](const std::string& report) {
        // While the job is handed over the file is there, and private.
        struct stat st {};
        EXPECT_EQ(0, stat(path.c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 07777);
        handed.push_back(report);
        return true;
    };
    EXPECT_TRUE(printDiagnosticsReport(DefaultPrinter::Present, printer));
    ASSERT_EQ(1u, handed.size());
    EXPECT_EQ(diagnosticsReportText(), handed[0]);
    EXPECT_NE(std::string::npos, handed[0].find("ABCD-EFGH-IJKL-MNOP"));
    EXPECT_FALSE(std::filesystem::exists(path));

    // A print dialog that was cancelled, and no printer at all.
    EXPECT_FALSE(
        printDiagnosticsReport(DefaultPrinter::Present, [](const std::string&) { return false; }));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(printDiagnosticsReport(DefaultPrinter::Absent, printer));
    EXPECT_EQ(1u, handed.size());
    EXPECT_EQ(1u, messages.shown.size());
    EXPECT_FALSE(std::filesystem::exists(path));

    // A link planted under that name is neither followed nor removed; the
    // report is still printed from memory.
    const std::string victim = dir.file("victim");
    writeFileText(victim, "keep me");
    ASSERT_EQ(0, symlink(victim.c_str(), path.c_str()));
    EXPECT_TRUE(printDiagnosticsReport(DefaultPrinter::Present, [&](const std::string& report) {
        handed.push_back(report);
        return true;
    }));
    EXPECT_EQ(2u, handed.size());
    EXPECT_EQ(diagnosticsReportText(), handed[1]);
    EXPECT_TRUE(std::filesystem::is_symlink(path));
    const std::vector<uint8_t> kept = readFileBytes(victim);
    EXPECT_EQ("keep me", std::string(kept.begin(), kept.end()));
}

TEST(DiagnosticsSort, ClicksAndOrders) {
    ListSortState state;
    state.click(1); // the initial column again: direction flips
    EXPECT_EQ(1, state.lastColumn);
    EXPECT_EQ(0, state.direction);
    state.click(3); // a new column takes its saved flag (0) and flips it
    EXPECT_EQ(3, state.lastColumn);
    EXPECT_EQ(0, state.direction);
    state.click(0);
    state.click(3); // back to 3: its saved flag is now 1
    EXPECT_EQ(1, state.direction);

    auto row = [](std::string name, std::string rate, int64_t seen) {
        DiagnosticsRow r;
        r.cells = {name, "", "", rate, "", "", "", "", "9", "10"};
        r.lastSeen = seen;
        return r;
    };
    std::vector<DiagnosticsRow> rows = {row("b", "85", 30), row("a", "?", 10), row("c", "200", 20)};
    auto names = [&] {
        std::string s;
        for (const auto& r : rows)
            s += r.cells[0];
        return s;
    };
    sortHistoryRows(rows, 0, 1);
    EXPECT_EQ("abc", names());
    sortHistoryRows(rows, 0, 0);
    EXPECT_EQ("cba", names());
    sortHistoryRows(rows, 3, 1); // higher rate first, "?" counts as none
    EXPECT_EQ("cba", names());
    sortHistoryRows(rows, 3, 0);
    EXPECT_EQ("abc", names());
    sortHistoryRows(rows, 5, 1); // by the time itself
    EXPECT_EQ("acb", names());
    sortHistoryRows(rows, 8, 1); // equal keys keep their order
    EXPECT_EQ("acb", names());
    sortHistoryRows(rows, 40, 1); // a column the rows do not have
    EXPECT_EQ("acb", names());
}
