// The About page's texts, picture positions and licence text.
#include <gtest/gtest.h>

#include <cstring>

#include "network/model.h"
#include "platform/working_folder.h"
#include "storage/preferences.h"
#include "support/temp_dir.h"
#include "ui/about_logic.h"

namespace {
class AboutLogicTest : public ::testing::Test {
  protected:
    void SetUp() override { resetPreferences(); }
    void TearDown() override {
        resetPreferences();
        setWorkingFolder("");
    }
};
} // namespace

TEST_F(AboutLogicTest, TextsComeFromThePreferences) {
    copyText(preferences.appName, "Plexora");
    copyText(preferences.copyright, "Copyright (c) 2010 Plexora.");
    copyText(preferences.webAddress, "www.plexora.example");
    const AboutTexts texts = aboutTexts();
    EXPECT_EQ("Version:", texts.versionLabel);
    EXPECT_EQ("1.00", texts.version);
    EXPECT_EQ("Plexora", texts.appName);
    EXPECT_EQ("Copyright (c) 2010 Plexora.", texts.copyright);
    EXPECT_EQ("www.plexora.example", texts.webAddress);

    // A name that fills its whole field has no terminator and is not read past.
    std::memset(preferences.appName, 'A', sizeof preferences.appName);
    EXPECT_EQ(std::string(64, 'A'), aboutTexts().appName);
}

TEST_F(AboutLogicTest, PicturesAndTextPositions) {
    preferences.lgLogoLeft = 80;
    preferences.lgLogoTop = 25;
    const std::vector<PicturePlacement> pictures = aboutPictures();
    ASSERT_EQ(2u, pictures.size());
    EXPECT_EQ("oemBig.bmp", pictures[0].file);
    EXPECT_EQ(80, pictures[0].x);
    EXPECT_EQ(25, pictures[0].y);
    EXPECT_EQ("cert.bmp", pictures[1].file);
    EXPECT_EQ(500, pictures[1].x);
    EXPECT_EQ(10, pictures[1].y);

    EXPECT_EQ(25 + 100 + 12, aboutTextTop({300, 100}, {60, 40}));
    EXPECT_EQ(10 + 200 + 12, aboutTextTop({300, 100}, {60, 200}));
    EXPECT_EQ(10 + 40 + 12, aboutTextTop({0, 0}, {60, 40})); // oemBig.bmp deleted
    EXPECT_EQ(12, aboutTextTop({0, 0}, {0, 0}));
}

TEST_F(AboutLogicTest, ReadmeTextOrTheMissingMessage) {
    TempDir dir;
    setWorkingFolder(dir.path());
    EXPECT_EQ(kReadmeMissingText, readmeText());
    writeFileText(dir.file("Readme.txt"), "line one\r\nline two\nlast");
    EXPECT_EQ("line one\nline two\nlast", readmeText());
    writeFileText(dir.file("Readme.txt"), std::string(kReadmeMaxBytes + 100, 'x'));
    EXPECT_EQ(kReadmeMaxBytes, readmeText().size());
}

// Which branding web addresses the About page opens: http and https with a
// host, and bare host names as a browser takes them; nothing else.
TEST(AboutWebAddress, OnlyHttpAndHttpsAreOpened) {
    EXPECT_EQ("http://www.plexora.example", webAddressToOpen("http://www.plexora.example"));
    EXPECT_EQ("HTTPS://x.example/a?b#c", webAddressToOpen("HTTPS://x.example/a?b#c"));
    EXPECT_EQ("http://www.plexora.example", webAddressToOpen("www.plexora.example"));
    EXPECT_EQ("http://plexora.example:8080/x", webAddressToOpen("plexora.example:8080/x"));
    for (const char* refused :
         {"", "file:///etc/passwd", "FILE:/etc/passwd", "javascript:alert(1)", "/etc/passwd",
          "./run.sh", "smb://host/share", "x-scheme-handler:run", "http://", "http:///etc",
          "https://host with space", "http://host\n", "localhost", "plexora.example:evil",
          "ftp://files.example"})
        EXPECT_EQ("", webAddressToOpen(refused)) << refused;
}
