// Writes the default branding's OEMPrefs.dat with brandkit's own writer, so the
// packaged file is exactly what brandkit would save (269 bytes).
// Usage: make_default_prefs OUTPUT
#include <cstdio>
#include <cstring>
#include <string>

#include "brandkit/editor_logic.h"

namespace {
template <size_t N> void setText(char (&field)[N], const char* text) {
    std::memset(field, 0, N);
    std::strncpy(field, text, N - 1);
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
        return 2;
    }
    std::memset(&prefsBlock, 0, sizeof prefsBlock);
    prefsBlock.scanInterval = 30;
    prefsBlock.qualityType = 1; // "Fair" .. "Excellent"
    prefsBlock.color = 0;       // black list text
    prefsBlock.iconSize = 24;
    // The detailed Diagnostics page and the scan log (in the user's state folder):
    // this is the project's own branding, used by people who look after their own
    // network; a reseller's branding sets its own level.
    prefsBlock.diagnosticsLevel = 20;
    prefsBlock.showOnlyActive = 1;
    prefsBlock.autoScan = 1;
    prefsBlock.smLogoLeft = 10;
    prefsBlock.smLogoTop = 310;
    prefsBlock.lgLogoLeft = 80;
    prefsBlock.lgLogoTop = 25;
    prefsBlock.showRate = 1;
    prefsBlock.showQuality = 1;
    prefsBlock.ampm = 0;
    prefsBlock.upgradeCapability = 1;
    // No web address: the project has no site to name, and a made-up one would mislead.
    setText(prefsBlock.appName, "Halyard");
    setText(prefsBlock.vendorName, "");
    setText(prefsBlock.copyright, "Copyright (c) the halyard developers");
    std::string error;
    if (!writePrefsFile(argv[1], &error)) {
        std::fprintf(stderr, "make_default_prefs: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    return 0;
}
