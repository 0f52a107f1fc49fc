#include "ui/about_logic.h"

#include <cstring>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "halyard_version.h"
#include "platform/working_folder.h"
#include "storage/preferences.h"

namespace {
constexpr int kTextGap = 12;
}

AboutTexts aboutTexts() {
    char version[32];
    std::snprintf(version, sizeof version, "%d.%02d", HALYARD_VERSION_MAJOR, HALYARD_VERSION_MINOR);
    return AboutTexts{"Version:", version, prefAppName(), prefCopyright(), prefWebAddress()};
}

std::vector<PicturePlacement> aboutPictures() {
    const int left = preferences.lgLogoLeft;
    const int top = preferences.lgLogoTop;
    return {{kBigLogoFile, left, top}, {kCertLogoFile, kAboutCertLeft, kAboutCertTop}};
}

int aboutTextTop(std::pair<int, int> bigLogoSize, std::pair<int, int> certSize) {
    const int top = preferences.lgLogoTop;
    int bottom = 0;
    if (bigLogoSize.second > 0)
        bottom = std::max(bottom, top + bigLogoSize.second);
    if (certSize.second > 0)
        bottom = std::max(bottom, kAboutCertTop + certSize.second);
    return std::max(bottom, 0) + kTextGap;
}

std::string readmeText() {
    std::ifstream in(inWorkingFolder(kReadmeFile), std::ios::binary);
    if (!in)
        return kReadmeMissingText;
    std::string raw(kReadmeMaxBytes, '\0');
    in.read(raw.data(), static_cast<std::streamsize>(raw.size()));
    raw.resize(static_cast<size_t>(in.gcount()));
    std::string text;
    text.reserve(raw.size());
    for (size_t n = 0; n < raw.size(); ++n) {
        if (raw[n] == '\r' && n + 1 < raw.size() && raw[n + 1] == '\n')
            continue;
        text += raw[n];
    }
    return text;
}

namespace {

bool hostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-';
}

// Whether `text` starts with `prefix`, letters compared without case.
bool startsWithNoCase(const std::string& text, const char* prefix) {
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= text.size())
            return false;
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

// A host name of letters, digits, dots and hyphens, with at least one dot,
// from `from` up to the first "/", ":" (a port), "?" or "#" or the end.
bool hostAt(const std::string& text, size_t from, bool needDot) {
    size_t end = from;
    bool dot = false;
    while (end < text.size() && hostCharacter(text[end])) {
        dot = dot || text[end] == '.';
        ++end;
    }
    if (end == from || text[from] == '.' || text[from] == '-' || (needDot && !dot))
        return false;
    return end == text.size() || text[end] == '/' || text[end] == ':' || text[end] == '?' ||
           text[end] == '#';
}

} // namespace

std::string webAddressToOpen(const std::string& address) {
    for (char c : address)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F)
            return {};
    for (const char* scheme : {"http://", "https://"})
        if (startsWithNoCase(address, scheme))
            return hostAt(address, std::strlen(scheme), false) ? address : std::string();
    // No scheme: a bare host name only ("www.example.com/halyard"); a colon
    // before it means another scheme ("file:", "javascript:").
    if (hostAt(address, 0, true) && address.find("://") == std::string::npos) {
        const size_t colon = address.find(':');
        const size_t slash = address.find('/');
        if (colon == std::string::npos || (slash != std::string::npos && slash < colon) ||
            (colon + 1 < address.size() && address[colon + 1] >= '0' && address[colon + 1] <= '9'))
            return "http://" + address;
    }
    return {};
}
