#include "ui/about_logic.h"

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
