// The About page against real pictures in a temporary working folder: the
// texts from the preferences, both logos drawn with their white keyed to the
// page colour, a missing logo drawing nothing, the web address opened through
// the desktop, and the screenshot.
#include <QDesktopServices>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QUrl>
#include <gtest/gtest.h>
#include <memory>

#include "network/model.h"
#include "platform/messages.h"
#include "platform/working_folder.h"
#include "storage/preferences.h"
#include "support/bmp_builder.h"
#include "support/temp_dir.h"
#include "ui/bitmap.h"
#include "ui/qt/about_page.h"

class UrlCatcher : public QObject {
    Q_OBJECT
  public slots:
    void open(const QUrl& url) { opened.push_back(url); }

  public:
    std::vector<QUrl> opened;
};

namespace {
constexpr int kLogoWidth = 220;
constexpr int kLogoHeight = 90;
constexpr uint32_t kWhiteRgb = 0xFFFFFF;

// A blue lozenge with an orange bar on white: the white corners take the page colour.
uint32_t logoColour(int x, int y) {
    const double dx = (x - kLogoWidth / 2.0) / (kLogoWidth / 2.0);
    const double dy = (y - kLogoHeight / 2.0) / (kLogoHeight / 2.0);
    if (dx * dx + dy * dy > 1.0)
        return kWhiteRgb;
    if (y > 38 && y < 52 && x > 40 && x < 180)
        return 0xF28C28;
    return 0x1F4E9A + static_cast<uint32_t>(y);
}

// 8 bits, palette: 0 green, 1 white; a green ring on white.
std::vector<uint8_t> certPicture() {
    std::vector<std::vector<uint8_t>> rows;
    for (int y = 47; y >= 0; --y) {
        std::vector<uint8_t> row;
        for (int x = 0; x < 48; ++x) {
            const int d = (x - 24) * (x - 24) + (y - 24) * (y - 24);
            row.push_back(d < 22 * 22 && d > 12 * 12 ? 0 : 1);
        }
        rows.push_back(row);
    }
    return bmp::build(48, 48, 8, {0x002E8B57, 0x00FFFFFF}, rows);
}

class AboutPageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetDeviceModel();
        resetPreferences();
        resetBitmaps();
        setMessageSink(&messages);
        setWorkingFolder(dir.path());
        copyText(preferences.appName, "Plexora");
        copyText(preferences.copyright, "Copyright (c) 2010 Plexora. All rights reserved.");
        copyText(preferences.webAddress, "www.plexora.example");
        preferences.lgLogoLeft = 80;
        preferences.lgLogoTop = 25;
        writeFileBytes(dir.file("oemBig.bmp"),
                       bmp::trueColour(kLogoWidth, kLogoHeight, logoColour));
        writeFileBytes(dir.file("cert.bmp"), certPicture());
        writeFileText(dir.file("Readme.txt"), "Plexora powerline utility\r\n\r\nThis program uses "
                                              "libpcap, (c) The Tcpdump Group.\r\n");
    }
    void TearDown() override {
        page.reset();
        setMessageSink(nullptr);
        setWorkingFolder("");
        resetPreferences();
        resetBitmaps();
    }

    QImage shown() {
        page = std::make_unique<AboutPage>();
        page->resize(825, 420);
        page->show();
        page->pageActivated();
        QCoreApplication::processEvents();
        return page->grab().toImage().convertToFormat(QImage::Format_RGB32);
    }
    QRgb pageColour() const { return page->palette().color(page->backgroundRole()).rgb(); }

    TempDir dir;
    RecordingMessages messages;
    std::unique_ptr<AboutPage> page;
};
} // namespace

TEST_F(AboutPageTest, ShowsTheBrandingTexts) {
    shown();
    EXPECT_EQ(QStringLiteral("Version: 1.00"), page->versionLabel()->text());
    EXPECT_EQ(QStringLiteral("Plexora"), page->appNameLabel()->text());
    EXPECT_EQ(QStringLiteral("Copyright (c) 2010 Plexora. All rights reserved."),
              page->copyrightLabel()->text());
    EXPECT_EQ(QStringLiteral("www.plexora.example"), page->webAddressButton()->text());
    EXPECT_TRUE(page->licenceText()->isReadOnly());
    EXPECT_TRUE(page->licenceText()->toPlainText().startsWith("Plexora powerline utility\n\n"));
    // The texts start below the large logo.
    EXPECT_EQ(25 + kLogoHeight + 12, page->textTop());
    EXPECT_GE(page->appNameLabel()->geometry().top(), page->textTop());
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(AboutPageTest, LogosAreDrawnWithWhiteKeyedToThePage) {
    const QImage image = shown();
    // Inside the lozenge and on its bar: the picture's own colours.
    EXPECT_EQ(0xFF000000u | (0x1F4E9A + 20), image.pixel(80 + 110, 25 + 20));
    EXPECT_EQ(0xFFF28C28u, image.pixel(80 + 110, 25 + 45));
    // The white corner shows the page colour.
    EXPECT_EQ(pageColour(), image.pixel(80, 25));
    EXPECT_NE(0xFFFFFFFFu, pageColour());
    // cert.bmp at (500, 10): ring green, white keyed through the palette.
    EXPECT_EQ(0xFF2E8B57u, image.pixel(500 + 24, 10 + 24 - 17));
    EXPECT_EQ(pageColour(), image.pixel(500 + 24, 10 + 24));
    EXPECT_EQ(pageColour(), image.pixel(500, 10));
}

TEST_F(AboutPageTest, ALogoAtTheLeftEdgeKeepsItsWhite) {
    preferences.lgLogoLeft = 0;
    const QImage image = shown();
    // The pixel left of the corner lies outside the page: no page colour to take.
    EXPECT_EQ(0xFFFFFFFFu, image.pixel(0, 25));
    EXPECT_EQ(0xFFF28C28u, image.pixel(110, 25 + 45));
}

TEST_F(AboutPageTest, MissingOrBrokenLogosDrawNothingAndSayNothing) {
    std::remove(dir.file("oemBig.bmp").c_str());
    writeFileText(dir.file("cert.bmp"), "BM");
    std::remove(dir.file("Readme.txt").c_str());
    const QImage image = shown();
    EXPECT_EQ(pageColour(), image.pixel(80 + 110, 25 + 45));
    EXPECT_EQ(pageColour(), image.pixel(500 + 24, 10 + 7));
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(12, page->textTop());
    EXPECT_TRUE(page->licenceText()->toPlainText().startsWith("Readme.txt is missing."));
}

TEST_F(AboutPageTest, WebAddressOpensThroughTheDesktop) {
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
    shown();
    QTest::mouseClick(page->webAddressButton(), Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    ASSERT_EQ(1u, catcher.opened.size());
    EXPECT_EQ(QUrl(QStringLiteral("http://www.plexora.example")), catcher.opened[0]);

    copyText(preferences.webAddress, "");
    shown();
    EXPECT_FALSE(page->webAddressButton()->isVisible());
}

// The branding file is anybody's to write: only an http or https address is
// opened; a file:, a program's own scheme or a path is shown as plain text and
// never handed to the desktop. Branding texts are never rendered as markup.
TEST_F(AboutPageTest, OnlyWebAddressesOpenAndBrandingIsPlainText) {
    UrlCatcher catcher;
    for (const char* scheme : {"http", "https", "file", "x-halyard-test", "javascript"})
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &catcher, "open");
    for (const char* address : {"file:///etc/passwd", "x-halyard-test:run?cmd=rm",
                                "javascript:alert(1)", "/etc/passwd", "smb://host/share"}) {
        SCOPED_TRACE(address);
        copyText(preferences.webAddress, address);
        shown();
        EXPECT_FALSE(page->webAddressButton()->isVisible());
        ASSERT_TRUE(page->webAddressText()->isVisible());
        EXPECT_EQ(QString::fromLatin1(address), page->webAddressText()->text());
        EXPECT_EQ(Qt::PlainText, page->webAddressText()->textFormat());
        QTest::mouseClick(page->webAddressButton(), Qt::LeftButton); // hidden: nothing opens
    }
    copyText(preferences.webAddress, "HTTPS://secure.plexora.example/support");
    shown();
    EXPECT_FALSE(page->webAddressText()->isVisible());
    QTest::mouseClick(page->webAddressButton(), Qt::LeftButton);
    for (const char* scheme : {"http", "https", "file", "x-halyard-test", "javascript"})
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    ASSERT_EQ(1u, catcher.opened.size());
    EXPECT_EQ(QStringLiteral("https"), catcher.opened[0].scheme());

    const char* markup = "<a href=\"file:///etc\">Plexora</a><img src=\"/tmp/x.png\">";
    copyText(preferences.appName, markup);
    copyText(preferences.copyright, "<b>bold</b>");
    shown();
    for (QLabel* label : {page->appNameLabel(), page->copyrightLabel(), page->versionLabel()})
        EXPECT_EQ(Qt::PlainText, label->textFormat()) << label->text().toStdString();
    EXPECT_EQ(QString::fromLatin1(markup), page->appNameLabel()->text());
}

TEST_F(AboutPageTest, Screenshot) {
    const QImage image = shown();
    ASSERT_FALSE(image.isNull());
    const QString shot = QStringLiteral(UI_SCREENSHOT_DIR "/halyard-about.png");
    ASSERT_TRUE(image.save(shot));
    EXPECT_EQ(QImage(shot).size(), image.size());
}

#include "halyard_about_test.moc"
