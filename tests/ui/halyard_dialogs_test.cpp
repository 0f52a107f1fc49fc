// The device dialogs as widgets: "Set Device Password" and "Add Device to
// Network" opened, typed into and closed with OK or Cancel; the HomePlug AV
// upgrade through "Enter PIB & NVM files" and the "Upgrading Local Device"
// progress dialog with its worker thread against the emulator (completed and
// cancelled); "Config & Image". Message boxes are recorded and answered
// through the message seam; a screenshot of the Add Device dialog is written.
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "network/model.h"
#include "packet/packet.h"
#include "platform/main_window.h"
#include "platform/working_folder.h"
#include "security/key_operations.h"
#include "sim/network.h"
#include "storage/data_directory.h"
#include "storage/device_database.h"
#include "storage/preferences.h"
#include "support/bmp_builder.h"
#include "support/core_bench.h"
#include "support/image_builders.h"
#include "ui/device_dialogs_logic.h"
#include "ui/main_page_logic.h"
#include "ui/qt/device_dialogs.h"

namespace {

const uint8_t kHost[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const uint8_t kMacA[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x11};
const char* const kLocal = "00:B0:52:00:00:10";
const char* const kNew = "00:B0:52:00:00:20";
const char* const kUserNetwork = "Blue Harbour 42";
const char* const kNewPassword = "NEWD-EVIC-EPAS-SWRD";

// Runs `step` on the modal dialog named `name` once it is shown.
void onModal(const char* name, std::function<void(QWidget*)> step, int triesLeft = 300) {
    QTimer::singleShot(10, [name, step, triesLeft] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal->objectName() == name && modal->isVisible()) {
            step(modal);
            return;
        }
        if (triesLeft > 0)
            onModal(name, step, triesLeft - 1);
        else
            ADD_FAILURE() << "dialog " << name << " never showed";
    });
}

template <typename T> T* child(QWidget* dialog, const char* name) {
    T* widget = dialog->findChild<T*>(name);
    EXPECT_NE(nullptr, widget) << name;
    return widget;
}

void typeInto(QWidget* dialog, const char* edit, const QString& text) {
    QLineEdit* line = child<QLineEdit>(dialog, edit);
    line->selectAll();
    QTest::keyClicks(line, text);
}

void click(QWidget* dialog, const char* button) {
    QTest::mouseClick(child<QPushButton>(dialog, button), Qt::LeftButton);
}

class DialogsUi : public ::testing::Test {
  protected:
    CoreBench bench;
    RecordingMessages& messages = bench.messages;
    sim::Network net;
    QWidget window;
    int afterUpgrades = 0;
    int scans = 0;

    void SetUp() override {
        resetMainPage();
        resetDeviceDialogs();
        mainWindowHandle = messageOwner(&window);
        copyText(preferences.appName, "Tollbeam");
        preferences.autoScan = 1;
        preferences.scanInterval = 30;
        ASSERT_TRUE(chooseDataDirectory({bench.dir.file("data"), bench.dir.file("fb")}).ready);
        setWorkingFolder(bench.dir.path());
        setScanNowHook([this](void*) { ++scans; });
        MainPageLinks links;
        links.afterUpgrade = [this] { ++afterUpgrades; };
        setMainPageLinks(links);
        window.resize(600, 300);
        net.attach(bench.wire, bench.addPort("eth0", kHost));
    }
    void TearDown() override {
        setOpenFileChooser({});
        closeAllInterfaces();
        net.detach();
        setScanNowHook({});
        setWorkingFolder("");
        mainWindowHandle = nullptr;
        upgradeCancelRequested.store(false);
        resetDeviceDialogs();
        resetMainPage();
    }

    std::vector<std::string> texts() const {
        std::vector<std::string> t;
        for (const RecordedMessage& m : messages.shown)
            t.push_back(m.text);
        return t;
    }
    std::string storedPassword(int index1) const {
        char copy[sizeof(DeviceEntry::password) + 1] = {};
        std::memcpy(copy, deviceTable[index1 - 1].password, sizeof(DeviceEntry::password));
        return copy;
    }
    void addLocalAv() {
        sim::Station local = sim::Station::av(kLocal);
        local.local = true;
        local.setNetworkPassword(kUserNetwork);
        net.addStation(std::move(local));
    }
    // A device picture for the Add Device dialog: a grey box with a green light.
    void writeDevicePicture() {
        writeFileBytes(bench.dir.file("oemDevice.bmp"), bmp::trueColour(64, 96, [](int x, int y) {
                           if (x > 44 && x < 54 && y > 10 && y < 20)
                               return 0x20C040u;
                           return (x < 4 || x > 59 || y < 4 || y > 91) ? 0x404040u : 0xB8B8B8u;
                       }));
    }
};

// ---- Set Device Password ------------------------------------------------------------------

TEST_F(DialogsUi, PasswordDialogShowsTheCleanedPasswordAndStoresTheTypedOne) {
    int index = appendDeviceEntry(kMacA, "Kitchen");
    copyText(deviceTable[index - 1].password, "CHECK ABCD-EFGH");
    QString label = QString::fromStdString(deviceLabelText("Kitchen", "00:B0:52:00:00:11"));
    bool checked = false;
    onModal("setDevicePasswordDialog", [&](QWidget* dialog) {
        checked = true;
        EXPECT_EQ("Set Device Password", dialog->windowTitle());
        EXPECT_EQ(label, child<QLabel>(dialog, "deviceLabel")->text());
        QLineEdit* edit = child<QLineEdit>(dialog, "passwordEdit");
        EXPECT_EQ("ABCD-EFGH", edit->text());
        EXPECT_EQ("ABCD-EFGH", edit->selectedText());
        EXPECT_EQ(edit, dialog->focusWidget());
        EXPECT_TRUE(
            child<QLabel>(dialog, "helpLabel")->text().endsWith("It can be found on each device."));
        typeInto(dialog, "passwordEdit", "abc");
        click(dialog, "okButton");
        EXPECT_TRUE(dialog->isVisible()); // refused, stays open
        typeInto(dialog, "passwordEdit", "WXYZ-1234-ABCD-5678");
        click(dialog, "okButton");
    });
    EXPECT_TRUE(runSetDevicePasswordDialog(&window, index, label));
    EXPECT_TRUE(checked);
    EXPECT_EQ((std::vector<std::string>{
                  "The Device Password entered is invalid.\nPlease check it and try again."}),
              texts());
    EXPECT_EQ("Invalid Entry", messages.shown[0].caption);
    EXPECT_EQ("WXYZ-1234-ABCD-5678", storedPassword(index));
    resetDeviceModel();
    ASSERT_EQ(DatabaseLoad::Loaded, loadDeviceDatabase());
    EXPECT_EQ("WXYZ-1234-ABCD-5678", storedPassword(1));
}

TEST_F(DialogsUi, PasswordDialogCancelAndNoDevice) {
    int index = appendDeviceEntry(kMacA, "Kitchen");
    copyText(deviceTable[index - 1].password, "KEEP-THIS");
    onModal("setDevicePasswordDialog", [](QWidget* dialog) {
        typeInto(dialog, "passwordEdit", "OTHE-RPAS");
        click(dialog, "cancelButton");
    });
    EXPECT_FALSE(runSetDevicePasswordDialog(&window, index, "Kitchen  (00:B0:52:00:00:11)"));
    EXPECT_EQ("KEEP-THIS", storedPassword(index));
    EXPECT_FALSE(runSetDevicePasswordDialog(&window, 0, ""));
    EXPECT_EQ((std::vector<std::string>{"Please select a device first by clicking on it."}),
              texts());
}

TEST_F(DialogsUi, OldFirmwareClosesThePasswordDialogAndScans) {
    int index = appendDeviceEntry(kMacA, "Kitchen");
    oldFirmware = 1;
    onModal("setDevicePasswordDialog", [](QWidget* dialog) {
        typeInto(dialog, "passwordEdit", "ABCD-EFGH");
        click(dialog, "okButton");
    });
    EXPECT_FALSE(runSetDevicePasswordDialog(&window, index, "Kitchen  (00:B0:52:00:00:11)"));
    EXPECT_EQ(1, scans);
    EXPECT_EQ(1u, messages.shown.size());
    EXPECT_EQ("", storedPassword(index));
}

// ---- Add Device to Network ------------------------------------------------------------------

TEST_F(DialogsUi, AddDeviceDialogRefusesThePlaceholderAndCancels) {
    writeDevicePicture();
    busyFlag = 0;
    onModal("addDeviceDialog", [&](QWidget* dialog) {
        EXPECT_EQ("Add Device to Network", dialog->windowTitle());
        QLineEdit* name = child<QLineEdit>(dialog, "nameEdit");
        EXPECT_EQ("Name", name->text());
        EXPECT_EQ("Name", name->selectedText());
        EXPECT_EQ(name, dialog->focusWidget()); // focused once the window is active
        EXPECT_EQ("KEYS-TEXT-FILL-SLOT", child<QLineEdit>(dialog, "passwordEdit")->text());
        EXPECT_EQ(1, busyFlag); // the automatic scan waits while the dialog is open
        QTest::qWait(20);
        QImage shot = dialog->grab().toImage();
        EXPECT_FALSE(shot.isNull());
        // The device picture is drawn at (10, 70): its green light shows there.
        EXPECT_EQ(QColor(0x20, 0xC0, 0x40), shot.pixelColor(10 + 48, 70 + 15));
        QDir().mkpath(UI_SCREENSHOT_DIR);
        EXPECT_TRUE(shot.save(QString(UI_SCREENSHOT_DIR) + "/halyard-add-device.png"));
        typeInto(dialog, "nameEdit", "Den");
        click(dialog, "okButton");
        EXPECT_TRUE(dialog->isVisible());
        typeInto(dialog, "nameEdit", QString(32, 'n'));
        typeInto(dialog, "passwordEdit", "ABCD-EFGH");
        click(dialog, "okButton");
        click(dialog, "cancelButton");
    });
    EXPECT_FALSE(runAddDeviceDialog(&window));
    EXPECT_EQ((std::vector<std::string>{"Please enter a Password.",
                                        "Device Name should be less than 31 characters"}),
              texts());
    EXPECT_EQ(0, busyFlag);
    EXPECT_EQ(0, addingDevice);
}

TEST_F(DialogsUi, AddDeviceByPasswordThroughTheDialog) {
    addLocalAv();
    sim::Station fresh = sim::Station::av(kNew);
    fresh.setDevicePassword(kNewPassword);
    net.addStation(std::move(fresh));
    MainPageSetup setup;
    setup.workingFolder = bench.dir.path();
    setup.useDataPlaces = true;
    setup.machineDataDirectory = bench.dir.file("data");
    setup.fallbackDataDirectory = bench.dir.file("fb");
    ASSERT_TRUE(createMainPage(setup, &window));
    ASSERT_EQ(1, localIsAv);
    setScanNowHook([this](void*) { ++scans; });
    messages.shown.clear();
    QString statusAfterOk;
    onModal("addDeviceDialog", [&](QWidget* dialog) {
        typeInto(dialog, "nameEdit", "Den");
        typeInto(dialog, "passwordEdit", kNewPassword);
        click(dialog, "okButton");
        // Added: the dialog waits for the refresh that finds the device.
        EXPECT_TRUE(dialog->isVisible());
        statusAfterOk = child<QLabel>(dialog, "statusLabel")->text();
        EXPECT_EQ(1, addingDevice);
        refreshMainPage(1); // the automatic cycle's refresh names it and closes the dialog
    });
    EXPECT_TRUE(runAddDeviceDialog(&window));
    EXPECT_EQ("Proceeding...", statusAfterOk);
    EXPECT_TRUE(messages.shown.empty()) << ::testing::PrintToString(texts());
    EXPECT_EQ(sim::nmkOf(kUserNetwork), net.station(kNew).nmk);
}

// ---- Firmware upgrade ----------------------------------------------------------------------

class UpgradeUi : public DialogsUi {
  protected:
    std::string nvmPath, pibPath;
    std::vector<uint8_t> firmware;

    void SetUp() override {
        DialogsUi::SetUp();
        addLocalAv();
        openAllInterfaces();
        currentInterface = 0;
        ASSERT_TRUE(discoverLocalAv());
        NvmBlockSpec first, last;
        first.loadAddress = 0x00100000;
        first.image = patternBytes(6000, 4);
        last.loadAddress = 0x00200000;
        last.image = patternBytes(2600, 7);
        firmware = makeNvmImage({first, last});
        nvmPath = bench.dir.file("NEW.NVM");
        pibPath = bench.dir.file("NEW.PIB");
        writeFileBytes(nvmPath, firmware);
        writeFileBytes(pibPath, makeValidPib33());
        setOpenFileChooser(
            [this](QWidget*, const QString& filter, const QString& suffix, QString& path) {
                filters.push_back((filter + " " + suffix).toStdString());
                path = QString::fromStdString(filter.startsWith("PIB") ? pibPath : nvmPath);
                return FileChooserResult::Chosen;
            });
    }
    std::vector<std::string> filters;

    void chooseFilesAndConfirm(QWidget* dialog) {
        EXPECT_EQ("Enter PIB & NVM files", dialog->windowTitle());
        EXPECT_EQ("Please select appropriate PIB and NVM files.",
                  child<QLabel>(dialog, "titleLabel")->text());
        click(dialog, "okButton"); // nothing chosen yet
        click(dialog, "pibBrowse");
        click(dialog, "nvmBrowse");
        EXPECT_EQ(QString::fromStdString(pibPath), child<QLineEdit>(dialog, "pibEdit")->text());
        EXPECT_EQ(QString::fromStdString(nvmPath), child<QLineEdit>(dialog, "nvmEdit")->text());
        click(dialog, "okButton");
    }
};

TEST_F(UpgradeUi, AvUpgradeRunsOnTheWorkerAndReportsSuccess) {
    // During the transfer (worker thread) the progress dialog is the modal
    // window on the user-interface thread.
    QString progressTitle, progressText;
    bench.clock.atTime(bench.clock.now() + 3, [&] {
        QMetaObject::invokeMethod(
            qApp,
            [&] {
                QWidget* dialog = QApplication::activeModalWidget();
                ASSERT_NE(nullptr, dialog);
                progressTitle = dialog->windowTitle();
                progressText = child<QLabel>(dialog, "progressTitle")->text() + " " +
                               child<QLabel>(dialog, "progressText")->text();
            },
            Qt::BlockingQueuedConnection);
    });
    onModal("avUpgradeDialog", [&](QWidget* dialog) { chooseFilesAndConfirm(dialog); });
    runFirmwareUpgrade(&window);
    EXPECT_EQ(firmware, net.local().nvm);
    EXPECT_EQ(1u, net.local().commits);
    EXPECT_EQ((std::vector<std::string>{"PIB File (*.PIB) pib", "Firmware File (*.NVM) nvm"}),
              filters);
    EXPECT_EQ((std::vector<std::string>{
                  "Please select a PIB and Firmware files\n",
                  "Local Device is HomePlug AV Device\nMake sure you have selected correct files "
                  "to upgrade firmware",
                  "Device firmware has been upgraded successfully."}),
              texts());
    EXPECT_EQ(1, afterUpgrades);
    EXPECT_EQ("Upgrading Local Device", progressTitle);
    EXPECT_EQ(".....Upgrading firmware..... Please wait for few seconds.", progressText);
    EXPECT_EQ(&messageSink(), static_cast<MessageSink*>(&messages)); // the worker's sink is gone
}

TEST_F(UpgradeUi, CancelInTheProgressDialogStopsTheWorkerAtABlockBoundary) {
    std::vector<uint8_t> oldNvm = net.local().nvm;
    std::promise<void> cancelled;
    std::future<void> cancelledSeen = cancelled.get_future();
    // A few milliseconds into the transfer (worker thread) the user presses
    // Cancel and confirms it (user-interface thread); the worker waits for that.
    bench.clock.atTime(bench.clock.now() + 3, [&] {
        QMetaObject::invokeMethod(
            qApp,
            [&] {
                QWidget* progress = QApplication::activeModalWidget();
                ASSERT_NE(nullptr, progress);
                EXPECT_EQ("upgradeProgressDialog", progress->objectName());
                click(progress, "cancelButton");
                cancelled.set_value();
            },
            Qt::QueuedConnection);
        cancelledSeen.wait();
    });
    onModal("avUpgradeDialog", [&](QWidget* dialog) { chooseFilesAndConfirm(dialog); });
    runFirmwareUpgrade(&window);
    EXPECT_TRUE(upgradeCancelRequested.load());
    EXPECT_EQ(oldNvm, net.local().nvm);
    EXPECT_EQ(0u, net.local().commits);
    std::vector<std::string> shown = texts();
    ASSERT_EQ(4u, shown.size());
    EXPECT_EQ("Cancelling upgrade process may destroy the device. Click OK to continue.", shown[2]);
    EXPECT_EQ("Warning....", messages.shown[2].caption);
    EXPECT_EQ(kUpgradeCancelledText, shown[3]); // said so, never "upgraded successfully"
    EXPECT_EQ(1, afterUpgrades);                // the rescan follows a cancelled upgrade too
}

TEST_F(UpgradeUi, AvFileDialogCancelRestoresTheAutomaticScan) {
    busyFlag = 0;
    onModal("avUpgradeDialog", [&](QWidget* dialog) {
        EXPECT_EQ(1, busyFlag);
        click(dialog, "cancelButton");
    });
    runFirmwareUpgrade(&window);
    EXPECT_EQ(0, busyFlag);
    EXPECT_EQ(0, afterUpgrades);
}

TEST_F(UpgradeUi, FileDialogFailureIsReported) {
    setOpenFileChooser([](QWidget*, const QString&, const QString&, QString&) {
        return FileChooserResult::Failed;
    });
    onModal("avUpgradeDialog", [&](QWidget* dialog) {
        click(dialog, "pibBrowse");
        EXPECT_EQ("", child<QLineEdit>(dialog, "pibEdit")->text());
        click(dialog, "cancelButton");
    });
    runFirmwareUpgrade(&window);
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("CDERR_DIALOGFAILURE", messages.shown[0].text);
    EXPECT_EQ("Error", messages.shown[0].caption);
}

TEST_F(DialogsUi, ConfigAndImageWithoutImageSaysSoAndRescans) {
    localIsTurbo = 1;
    busyFlag = 0;
    onModal("hp10UpgradeDialog", [&](QWidget* dialog) {
        EXPECT_EQ("Config & Image", dialog->windowTitle());
        EXPECT_TRUE(child<QLineEdit>(dialog, "configEdit")->isReadOnly());
        EXPECT_TRUE(child<QLineEdit>(dialog, "imageEdit")->isReadOnly());
        EXPECT_EQ("Browse....", child<QPushButton>(dialog, "imageBrowse")->text());
        click(dialog, "okButton");
    });
    runFirmwareUpgrade(&window);
    EXPECT_EQ((std::vector<std::string>{"No File is selected"}), texts());
    EXPECT_EQ(1, afterUpgrades);
}

} // namespace
