#pragma once
// The About page apart from its widgets: the texts it shows, where its two
// pictures go, where the texts start below them, and the licence text.
#include <string>
#include <utility>
#include <vector>

inline constexpr const char* kBigLogoFile = "oemBig.bmp";
inline constexpr const char* kCertLogoFile = "cert.bmp";
constexpr int kAboutCertLeft = 500;
constexpr int kAboutCertTop = 10;
inline constexpr const char* kReadmeFile = "Readme.txt";
inline constexpr const char* kReadmeMissingText =
    "Readme.txt is missing.\nThe Tollbeam program may not have been installed properly.\n"
    "Further copyright information is on the copyright page of the packet capture "
    "library (libpcap).";
// Readme.txt is shown up to this size.
constexpr size_t kReadmeMaxBytes = 1u << 20;

struct AboutTexts {
    std::string versionLabel; // "Version:"
    std::string version;      // "1.00": major.minor of the program
    std::string appName;      // appName of the preferences
    std::string copyright;    // copyright of the preferences
    std::string webAddress;   // webAddress of the preferences
};
AboutTexts aboutTexts();

struct PicturePlacement {
    std::string file;
    int x;
    int y;
};
// "oemBig.bmp" at (lgLogoLeft, lgLogoTop), then "cert.bmp" at (500, 10).
std::vector<PicturePlacement> aboutPictures();

// Top of the text block: below both pictures (sizes in pixels, (0, 0) for a
// missing picture) with a gap of 12 pixels, at least 12.
int aboutTextTop(std::pair<int, int> bigLogoSize, std::pair<int, int> certSize);

// The address the About page opens for the branding's web address: the
// address itself when it is an http or https address with a host; "http://"
// and the address when it is a bare host name ("www.example.com", optionally
// with a path), as a browser takes it; "" for anything else (another scheme
// such as file: or a program's own, a path, blanks or control characters).
// The branding file is anybody's to write: an address that is not a web
// address is shown as text and never handed to the desktop to open.
std::string webAddressToOpen(const std::string& address);

// The licence text: Readme.txt of the working folder (line ends as "\n", at
// most kReadmeMaxBytes), or the fixed message that it is missing.
std::string readmeText();
