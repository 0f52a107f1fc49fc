// brandkit's real window on the offscreen platform: typing into the edits,
// clicking the check boxes and OK or Cancel, then reading OEMPrefs.dat; a failed
// save; the screenshot; and the program itself refusing a second start.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "brandkit/editor_logic.h"
#include "brandkit/prefs_window.h"
#include "platform/file_io.h"
#include "platform/messages.h"
#include "platform/single_instance.h"
#include "support/temp_dir.h"

namespace {

void putLe(std::vector<uint8_t>& b, size_t offset, uint32_t value, size_t width) {
    for (size_t i = 0; i < width; ++i)
        b[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void putText(std::vector<uint8_t>& b, size_t offset, const std::string& text) {
    std::memcpy(b.data() + offset, text.data(), text.size());
}

uint32_t getLe(const std::vector<uint8_t>& b, size_t offset, size_t width) {
    uint32_t v = 0;
    for (size_t i = 0; i < width; ++i)
        v |= uint32_t(b[offset + i]) << (8 * i);
    return v;
}

std::string getText(const std::vector<uint8_t>& b, size_t offset, size_t size) {
    const char* s = reinterpret_cast<const char*>(b.data() + offset);
    return std::string(s, strnlen(s, size));
}

std::vector<uint8_t> sampleFile() {
    std::vector<uint8_t> b(269, 0);
    putLe(b, 0, 30, 4);       // scan interval
    putLe(b, 6, 0x0000ff, 4); // color
    putLe(b, 10, 24, 2);      // iconSize
    putLe(b, 12, 1, 2);       // Diagnostics Level
    putLe(b, 14, 1, 2);       // showOnlyActive
    putLe(b, 16, 1, 2);       // AutoScan
    putLe(b, 18, 10, 2);      // smLogoLeft
    putLe(b, 20, 310, 2);     // smLogoTop
    putLe(b, 22, 80, 2);      // lgLogoLeft
    putLe(b, 24, 25, 2);      // lgLogoTop
    putLe(b, 26, 1, 2);       // showRate
    putLe(b, 30, 1, 2);       // ampm
    putText(b, 34, "http://www.plexora.com");
    putText(b, 98, "Plexora");
    b[162] = 0x00;
    b[163] = 0xB0;
    b[164] = 0x52;
    putText(b, 165, "Plexora Networks");
    putText(b, 189, "Copyright (c) 2010 Plexora. All rights reserved.");
    return b;
}

class BrandkitWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetEditor();
        setMessageSink(&messages);
    }
    void TearDown() override {
        setMessageSink(nullptr);
        resetEditor();
    }

    // Reads the file and opens the window on it, as brandkit's start does.
    void open(const std::string& file) {
        readPrefsFile(file);
        window = std::make_unique<PrefsWindow>(QString::fromStdString(file));
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    QLineEdit* edit(int id) {
        return window->findChild<QLineEdit*>(QStringLiteral("control%1").arg(id));
    }
    QCheckBox* box(int id) {
        return window->findChild<QCheckBox*>(QStringLiteral("control%1").arg(id));
    }
    QPushButton* button(QDialogButtonBox::StandardButton which) {
        return window->findChild<QDialogButtonBox*>()->button(which);
    }
    // Clicks on the check mark, where a user clicks.
    void click(int id) {
        QCheckBox* b = box(id);
        ASSERT_NE(b, nullptr) << id;
        bool was = b->isChecked();
        QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(6, b->height() / 2));
        ASSERT_NE(b->isChecked(), was) << "click did not reach check box " << id;
    }
    void type(int id, const QString& text) {
        QLineEdit* e = edit(id);
        ASSERT_NE(e, nullptr) << id;
        e->setFocus();
        QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(e, Qt::Key_Delete);
        QTest::keyClicks(e, text);
    }

    TempDir dir;
    std::string path = dir.file("OEMPrefs.dat");
    RecordingMessages messages;
    std::unique_ptr<PrefsWindow> window;
};

TEST_F(BrandkitWindowTest, WindowShowsEveryControlWithItsLabel) {
    writeFileBytes(path, sampleFile());
    open(path);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Plexora"));
    auto* group = window->findChild<QGroupBox*>();
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->title(), QStringLiteral("Preferences: "));
    for (const PageControl& c : kPageControls) {
        if (c.kind == ControlKind::CheckBox) {
            ASSERT_NE(box(c.id), nullptr) << c.id;
            EXPECT_EQ(box(c.id)->text(), QString::fromLatin1(c.label));
        } else {
            ASSERT_NE(edit(c.id), nullptr) << c.id;
            bool labelled = false;
            for (QLabel* l : group->findChildren<QLabel*>())
                labelled |= l->buddy() == edit(c.id) && l->text() == QString::fromLatin1(c.label);
            EXPECT_TRUE(labelled) << c.label;
        }
    }
    EXPECT_EQ(edit(1012)->text(), QStringLiteral("30"));
    EXPECT_EQ(edit(1017)->text(), QStringLiteral("ff"));
    EXPECT_EQ(edit(1033)->text(), QStringLiteral("00:B0:52"));
    EXPECT_EQ(edit(1029)->text(),
              QStringLiteral("Copyright (c) 2010 Plexora. All rights reserved."));
    EXPECT_TRUE(box(1010)->isChecked());
    EXPECT_FALSE(box(1022)->isChecked());
    QStringList statics;
    for (QLabel* l : window->findChildren<QLabel*>())
        statics << l->text();
    for (const char* t : {"brandkit", "Version:", "3.0.1.0", "Released 10/28/09"})
        EXPECT_TRUE(statics.contains(QString::fromLatin1(t))) << t;
    EXPECT_EQ(window->findChild<QTabWidget*>()->tabText(0), QStringLiteral("brandkit"));
    EXPECT_EQ(button(QDialogButtonBox::Apply), nullptr);
}

TEST_F(BrandkitWindowTest, TypedValuesAndClickedBoxesAreWrittenOnOk) {
    writeFileBytes(path, sampleFile());
    open(path);
    type(1012, "120");
    type(1017, "FFA0");
    type(1015, "-7");
    type(1033, "0:a:B");
    type(1030, "Brand Net");
    type(1031, "Brand_Vendor");
    type(1028, "https://brand.example");
    click(1010); // AutoScan 1 -> 0
    click(1022); // showQuality 0 -> 1
    QTest::mouseClick(button(QDialogButtonBox::Ok), Qt::LeftButton);

    EXPECT_EQ(window->result(), QDialog::Accepted);
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(messages.shown.empty());
    std::vector<uint8_t> b = readFileBytes(path);
    ASSERT_EQ(b.size(), 269u);
    EXPECT_EQ(getLe(b, 0, 4), 120u);
    EXPECT_EQ(getLe(b, 6, 4), 0xFFA0u);
    EXPECT_EQ(getLe(b, 18, 2), 0xFFF9u); // -7
    EXPECT_EQ(getLe(b, 16, 2), 0u);
    EXPECT_EQ(getLe(b, 28, 2), 1u);
    EXPECT_EQ(getLe(b, 26, 2), 1u); // untouched boxes keep their values
    EXPECT_EQ(getLe(b, 14, 2), 1u);
    EXPECT_EQ(b[162], 0x00);
    EXPECT_EQ(b[163], 0x0A);
    EXPECT_EQ(b[164], 0x0B);
    EXPECT_EQ(getText(b, 98, 64), "Brand Net");
    EXPECT_EQ(getText(b, 165, 24), "Brand_Vendor");
    EXPECT_EQ(getText(b, 34, 64), "https://brand.example");
    EXPECT_EQ(getText(b, 189, 80), "Copyright (c) 2010 Plexora. All rights reserved.");
    // The block was read again from the file just written.
    EXPECT_EQ(+prefsBlock.scanInterval, 120);
    EXPECT_EQ(std::string(prefsBlock.appName), "Brand Net");
}

TEST_F(BrandkitWindowTest, OkWithoutChangesKeepsTheFileAndCheckBoxClickedTwiceIsUnchanged) {
    writeFileBytes(path, sampleFile());
    open(path);
    click(1023);
    click(1023);
    EXPECT_TRUE(box(1023)->isChecked());
    QTest::mouseClick(button(QDialogButtonBox::Ok), Qt::LeftButton);
    EXPECT_EQ(readFileBytes(path), sampleFile());
}

TEST_F(BrandkitWindowTest, OverlongTextCannotBeTypedPastItsField) {
    writeFileBytes(path, sampleFile());
    open(path);
    type(1031, QString(40, QLatin1Char('v')));
    EXPECT_EQ(edit(1031)->text().size(), 23);
    QTest::mouseClick(button(QDialogButtonBox::Ok), Qt::LeftButton);
    std::vector<uint8_t> b = readFileBytes(path);
    ASSERT_EQ(b.size(), 269u);
    EXPECT_EQ(getText(b, 165, 24), std::string(23, 'v'));
    EXPECT_EQ(b[188], 0);
    EXPECT_EQ(getText(b, 189, 80), "Copyright (c) 2010 Plexora. All rights reserved.");
}

TEST_F(BrandkitWindowTest, CancelWritesNothing) {
    writeFileBytes(path, sampleFile());
    open(path);
    type(1012, "999");
    type(1030, "Changed");
    click(1019);
    QTest::mouseClick(button(QDialogButtonBox::Cancel), Qt::LeftButton);
    EXPECT_EQ(window->result(), QDialog::Rejected);
    EXPECT_EQ(readFileBytes(path), sampleFile());
}

TEST_F(BrandkitWindowTest, MissingFileShowsZerosAndCancelDoesNotCreateIt) {
    open(path);
    EXPECT_EQ(window->windowTitle(), QString());
    EXPECT_EQ(edit(1012)->text(), QStringLiteral("0"));
    EXPECT_EQ(edit(1033)->text(), QStringLiteral("00:00:00"));
    EXPECT_FALSE(box(1010)->isChecked());
    QTest::mouseClick(button(QDialogButtonBox::Cancel), Qt::LeftButton);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(BrandkitWindowTest, FailedSaveIsReportedAndTheWindowStaysOpen) {
    const std::string unwritable = dir.file("missing/OEMPrefs.dat");
    open(unwritable);
    type(1012, "60");
    QTest::mouseClick(button(QDialogButtonBox::Ok), Qt::LeftButton);
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].caption, "Error");
    EXPECT_EQ(messages.shown[0].icon, MessageIcon::Error);
    EXPECT_NE(messages.shown[0].text.find("could not be saved"), std::string::npos);
    EXPECT_NE(messages.shown[0].text.find(unwritable), std::string::npos);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(edit(1012)->text(), QStringLiteral("60")); // nothing typed is lost
}

TEST_F(BrandkitWindowTest, SaveFailingAfterTheOpenKeepsTheOldFileAndSaysNothingChanged) {
    const std::vector<uint8_t> old = sampleFile();
    writeFileBytes(path, old);
    open(path);
    type(1030, QStringLiteral("Renamed"));
    // The disk fills up once the new file has been created and 100 bytes written.
    setAtomicWriteHook([](const std::string&) { return WriteFault{true, 100, false}; });
    QTest::mouseClick(button(QDialogButtonBox::Ok), Qt::LeftButton);
    setAtomicWriteHook({});
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "The preferences could not be saved to " + path +
                                          ": No space left on device. Nothing was changed.");
    EXPECT_EQ(readFileBytes(path), old);
    EXPECT_TRUE(window->isVisible());

    // With room on the disk the same OK saves and closes.
    QTest::mouseClick(button(QDialogButtonBox::Ok), Qt::LeftButton);
    EXPECT_FALSE(window->isVisible());
    const std::vector<uint8_t> saved = readFileBytes(path);
    ASSERT_EQ(saved.size(), 269u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(saved.data()) + 98), "Renamed");
}

TEST_F(BrandkitWindowTest, BrandkitEndsWithOneWhenTheSheetCloses) {
    writeFileBytes(path, sampleFile());
    for (QDialogButtonBox::StandardButton which :
         {QDialogButtonBox::Cancel, QDialogButtonBox::Ok}) {
        readPrefsFile(path);
        // Closes the sheet as the user does, once it is up.
        QTimer closer;
        closer.setInterval(20);
        QObject::connect(&closer, &QTimer::timeout, [&closer, which] {
            auto* sheet = qobject_cast<PrefsWindow*>(QApplication::activeModalWidget());
            if (!sheet)
                return;
            closer.stop();
            QTest::mouseClick(sheet->findChild<QDialogButtonBox*>()->button(which), Qt::LeftButton);
        });
        closer.start();
        EXPECT_EQ(runEditor(QString::fromStdString(path)), 1) << which;
    }
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(BrandkitWindowTest, SaveToTheConfigFolderCreatesItPrivate) {
    // brandkit started where there is no OEMPrefs.dat saves to the user's config
    // folder, which need not exist yet.
    const std::string target = dir.file("home/.config/halyard/OEMPrefs.dat");
    open(target);
    window->setCreatesFolder(true);
    type(1012, "45");
    QTest::mouseClick(button(QDialogButtonBox::Ok), Qt::LeftButton);
    EXPECT_TRUE(messages.shown.empty());
    const std::vector<uint8_t> bytes = readFileBytes(target);
    ASSERT_EQ(269u, bytes.size());
    EXPECT_EQ(45, bytes[0]);
    struct stat st {};
    ASSERT_EQ(0, stat(dir.file("home/.config/halyard").c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);
}

TEST_F(BrandkitWindowTest, ScreenshotIsWrittenToTheBuildTree) {
    writeFileBytes(path, sampleFile());
    open(path);
    const QString shot = QStringLiteral(UI_SCREENSHOT_DIR "/brandkit.png");
    QImage image = window->grab().toImage();
    ASSERT_FALSE(image.isNull());
    EXPECT_GT(image.width(), 300);
    EXPECT_GT(image.height(), 300);
    ASSERT_TRUE(image.save(shot));
    EXPECT_EQ(QImage(shot).size(), image.size());
}

// Runs the brandkit program itself with its own runtime directory.
class BrandkitProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        releaseSingleInstance();
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        hadOld_ = old != nullptr;
        if (old)
            old_ = old;
        setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(runtime.path()));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        program.setProcessEnvironment(env);
        program.setWorkingDirectory(QString::fromStdString(work.path()));
        program.setProgram(QStringLiteral(BRANDKIT_BINARY));
    }
    void TearDown() override {
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            program.waitForFinished(5000);
        }
        releaseSingleInstance();
        if (hadOld_)
            setenv("XDG_RUNTIME_DIR", old_.c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
    }

    bool lockTaken() {
        int fd = ::open(singleInstanceLockPath("brandkit").c_str(), O_RDWR);
        if (fd < 0)
            return false;
        bool taken = flock(fd, LOCK_EX | LOCK_NB) != 0;
        close(fd);
        return taken;
    }

    TempDir runtime;
    TempDir work;
    QProcess program;

  private:
    bool hadOld_ = false;
    std::string old_;
};

TEST_F(BrandkitProgramTest, SecondStartExitsAtOnceWithoutAWindow) {
    ASSERT_TRUE(acquireSingleInstance("brandkit")); // the copy already running
    program.start();
    ASSERT_TRUE(program.waitForStarted(10000));
    // A shown window would be modal and keep the program running.
    ASSERT_TRUE(program.waitForFinished(20000)) << "second copy kept running";
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_FALSE(std::filesystem::exists(work.file("OEMPrefs.dat")));
}

TEST_F(BrandkitProgramTest, FirstStartHoldsTheLockAndKeepsItsWindowOpen) {
    program.start();
    ASSERT_TRUE(program.waitForStarted(10000));
    QElapsedTimer waited;
    waited.start();
    while (!lockTaken() && waited.elapsed() < 20000 && program.state() == QProcess::Running)
        QTest::qWait(20);
    EXPECT_TRUE(lockTaken());
    EXPECT_FALSE(acquireSingleInstance("brandkit"));
    EXPECT_FALSE(program.waitForFinished(300)); // its window is open
    program.terminate();
    program.waitForFinished(10000);
}

} // namespace
