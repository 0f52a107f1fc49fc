#pragma once
// brandkit's editing logic, plain C++: the preference block, reading and
// writing OEMPrefs.dat, and moving values between the block and the page's
// controls. The Qt window (prefs_window.h) is a thin layer over this.
#include <cstdint>
#include <string>

#include "storage/prefs_layout.h"

// The values being edited; zeroed before every read.
extern PrefsFile prefsBlock;

enum class ControlKind { CheckBox, Decimal, Hex, Oui, Text };

struct PageControl {
    int id;            // control id, also the widget's object name "control<id>"
    const char* label; // text beside the control
    ControlKind kind;
};

// Every control of the page, in the order the page shows them.
inline constexpr PageControl kPageControls[] = {
    {1010, "AutoScan", ControlKind::CheckBox},
    {1012, "scan interval", ControlKind::Decimal},
    {1013, "quality type", ControlKind::Decimal},
    {1014, "iconSize", ControlKind::Decimal},
    {1017, "color", ControlKind::Hex},
    {1032, "Diagnostics Level", ControlKind::Decimal},
    {1019, "showOnlyActive", ControlKind::CheckBox},
    {1021, "showRate", ControlKind::CheckBox},
    {1022, "showQuality", ControlKind::CheckBox},
    {1023, "ampm", ControlKind::CheckBox},
    {1101, "Upgrade Capabilty", ControlKind::CheckBox},
    {1031, "Vendor name", ControlKind::Text},
    {1033, "OUI", ControlKind::Oui},
    {1015, "smLogoLeft", ControlKind::Decimal},
    {1016, "smLogoTop", ControlKind::Decimal},
    {1018, "lgLogoLeft", ControlKind::Decimal},
    {1020, "lgLogoTop", ControlKind::Decimal},
    {1028, "webAddress", ControlKind::Text},
    {1029, "copyright", ControlKind::Text},
    {1030, "appName", ControlKind::Text},
};

// Longest text an edit accepts: numbers 255 characters, the OUI and the texts
// 79, and a text never more than its field minus the terminator.
size_t controlMaxLength(int id);

// The page's controls as the logic sees them; the Qt window and the tests
// implement it. Texts are 8-bit (Latin-1) bytes.
class PageControls {
  public:
    virtual ~PageControls() = default;
    virtual std::string text(int id) const = 0;
    virtual void setText(int id, const std::string& text) = 0;
    virtual void setChecked(int id, bool checked) = 0;
};

// Zeroes the block and reads `path` into it; a missing, unreadable or short
// file (or one that is not a regular file) leaves zeros. Returns whether the
// file could be read.
bool readPrefsFile(const std::string& path = kPrefsFileName);
// Writes the block as the 269-byte file, replacing what was there atomically
// (see writeFileAtomically), keeping the file's permissions. Returns false,
// with the reason in `error` when given, when the file could not be replaced;
// the old file is then as it was.
bool writePrefsFile(const std::string& path = kPrefsFileName, std::string* error = nullptr);

// Puts every field into its control: numbers "%ld", color "%x", the OUI
// "%02X:%02X:%02X", texts as they are, check boxes checked when non-zero.
void fillControls(PageControls& controls);
// Takes every edit back into its field (check boxes are not read: they toggle
// their field when clicked). A number or OUI that does not parse keeps the
// field's previous value; texts are cut to their field minus one.
void readControls(const PageControls& controls);
// Inverts the flag of check box `id`: 0 becomes 1, anything else 0. Returns
// false (and changes nothing) when `id` is not one of the six check boxes.
bool toggleFlag(int id);

// "%ld" (decimal) or "%x" (hexadecimal): optional blanks and sign, then at
// least one digit; what follows the digits is ignored.
bool parseNumber(const std::string& text, bool hex, long& value);
// "%X:%X:%X", each value kept as one byte.
bool parseOui(const std::string& text, uint8_t oui[3]);
std::string formatOui(const uint8_t oui[3]);

// Zeroes the block (reset function).
void resetEditor();
