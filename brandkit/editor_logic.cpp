#include "brandkit/editor_logic.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/file_io.h"

PrefsFile prefsBlock;

namespace {

constexpr size_t kNumberTextMax = 255;
constexpr size_t kTextMax = 79;

// Where a control's value lives in the block.
struct FieldRef {
    void* data = nullptr;
    size_t size = 0;
};

FieldRef fieldOf(int id) {
    PrefsFile& p = prefsBlock;
    switch (id) {
    case 1010:
        return {&p.autoScan, sizeof p.autoScan};
    case 1012:
        return {&p.scanInterval, sizeof p.scanInterval};
    case 1013:
        return {&p.qualityType, sizeof p.qualityType};
    case 1014:
        return {&p.iconSize, sizeof p.iconSize};
    case 1017:
        return {&p.color, sizeof p.color};
    case 1032:
        return {&p.diagnosticsLevel, sizeof p.diagnosticsLevel};
    case 1019:
        return {&p.showOnlyActive, sizeof p.showOnlyActive};
    case 1021:
        return {&p.showRate, sizeof p.showRate};
    case 1022:
        return {&p.showQuality, sizeof p.showQuality};
    case 1023:
        return {&p.ampm, sizeof p.ampm};
    case 1101:
        return {&p.upgradeCapability, sizeof p.upgradeCapability};
    case 1031:
        return {p.vendorName, sizeof p.vendorName};
    case 1033:
        return {p.oui, sizeof p.oui};
    case 1015:
        return {&p.smLogoLeft, sizeof p.smLogoLeft};
    case 1016:
        return {&p.smLogoTop, sizeof p.smLogoTop};
    case 1018:
        return {&p.lgLogoLeft, sizeof p.lgLogoLeft};
    case 1020:
        return {&p.lgLogoTop, sizeof p.lgLogoTop};
    case 1028:
        return {p.webAddress, sizeof p.webAddress};
    case 1029:
        return {p.copyright, sizeof p.copyright};
    case 1030:
        return {p.appName, sizeof p.appName};
    default:
        return {};
    }
}

const PageControl* findControl(int id) {
    for (const PageControl& c : kPageControls)
        if (c.id == id)
            return &c;
    return nullptr;
}

long loadNumber(const FieldRef& f) {
    if (f.size == sizeof(int16_t)) {
        int16_t v;
        std::memcpy(&v, f.data, sizeof v);
        return v;
    }
    int32_t v;
    std::memcpy(&v, f.data, sizeof v);
    return v;
}

// Stores the low bits that fit the field's width.
void storeNumber(const FieldRef& f, long value) {
    if (f.size == sizeof(int16_t)) {
        auto v = static_cast<int16_t>(static_cast<uint16_t>(value));
        std::memcpy(f.data, &v, sizeof v);
    } else {
        auto v = static_cast<int32_t>(static_cast<uint32_t>(value));
        std::memcpy(f.data, &v, sizeof v);
    }
}

std::string fieldText(const FieldRef& f) {
    const char* s = static_cast<const char*>(f.data);
    return std::string(s, strnlen(s, f.size));
}

void storeText(const FieldRef& f, const std::string& text) {
    size_t length = std::min(text.size(), f.size - 1);
    std::memset(f.data, 0, f.size);
    std::memcpy(f.data, text.data(), length);
}

std::string formatNumber(const PageControl& c, long value) {
    char buffer[32];
    if (c.kind == ControlKind::Hex)
        std::snprintf(buffer, sizeof buffer, "%x", static_cast<unsigned>(value));
    else
        std::snprintf(buffer, sizeof buffer, "%ld", value);
    return buffer;
}

// One "%X" conversion at `pos`; moves `pos` past it.
bool parseHexPart(const std::string& text, size_t& pos, unsigned long& value) {
    const char* start = text.c_str() + pos;
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(start, &end, 16);
    if (end == start || errno == ERANGE)
        return false;
    pos += static_cast<size_t>(end - start);
    return true;
}

} // namespace

size_t controlMaxLength(int id) {
    const PageControl* c = findControl(id);
    if (!c)
        return 0;
    switch (c->kind) {
    case ControlKind::Decimal:
    case ControlKind::Hex:
        return kNumberTextMax;
    case ControlKind::Oui:
        return kTextMax;
    case ControlKind::Text:
        return std::min(kTextMax, fieldOf(id).size - 1);
    case ControlKind::CheckBox:
        break;
    }
    return 0;
}

bool readPrefsFile(const std::string& path) {
    std::memset(&prefsBlock, 0, sizeof prefsBlock);
    // Read without blocking: a FIFO at the path cannot hold the start-up.
    std::vector<uint8_t> bytes;
    if (readFileLimited(path, sizeof prefsBlock, bytes).status != FileRead::Ok)
        return false;
    std::memcpy(&prefsBlock, bytes.data(), bytes.size()); // a short file leaves zeros
    return true;
}

bool writePrefsFile(const std::string& path, std::string* error) {
    // A new file in the same folder, flushed and renamed over the old one: a
    // full disk or a crash leaves the old file whole. The file keeps its
    // permissions, so halyard run by other users can still read it.
    if (writeFileAtomically(path, &prefsBlock, sizeof prefsBlock, ReplaceMode::KeepExisting) ==
        WriteOutcome::Written)
        return true;
    if (error)
        *error = std::strerror(errno ? errno : EIO);
    return false;
}

void fillControls(PageControls& controls) {
    for (const PageControl& c : kPageControls) {
        FieldRef f = fieldOf(c.id);
        switch (c.kind) {
        case ControlKind::CheckBox:
            controls.setChecked(c.id, loadNumber(f) != 0);
            break;
        case ControlKind::Decimal:
        case ControlKind::Hex:
            controls.setText(c.id, formatNumber(c, loadNumber(f)));
            break;
        case ControlKind::Oui:
            controls.setText(c.id, formatOui(prefsBlock.oui));
            break;
        case ControlKind::Text:
            controls.setText(c.id, fieldText(f));
            break;
        }
    }
}

void readControls(const PageControls& controls) {
    for (const PageControl& c : kPageControls) {
        if (c.kind != ControlKind::Decimal && c.kind != ControlKind::Hex)
            continue;
        long value;
        if (parseNumber(controls.text(c.id).substr(0, kNumberTextMax), c.kind == ControlKind::Hex,
                        value))
            storeNumber(fieldOf(c.id), value);
    }
    uint8_t oui[3];
    if (parseOui(controls.text(1033).substr(0, kTextMax), oui))
        std::memcpy(prefsBlock.oui, oui, sizeof oui);
    for (int id : {1028, 1030, 1031, 1029})
        storeText(fieldOf(id), controls.text(id).substr(0, kTextMax));
}

bool toggleFlag(int id) {
    const PageControl* c = findControl(id);
    if (!c || c->kind != ControlKind::CheckBox)
        return false;
    FieldRef f = fieldOf(id);
    storeNumber(f, loadNumber(f) == 0 ? 1 : 0);
    return true;
}

bool parseNumber(const std::string& text, bool hex, long& value) {
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    long v = hex ? static_cast<long>(std::strtoul(start, &end, 16)) : std::strtol(start, &end, 10);
    if (end == start || errno == ERANGE)
        return false;
    value = v;
    return true;
}

bool parseOui(const std::string& text, uint8_t oui[3]) {
    unsigned long parts[3];
    size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (pos >= text.size() || text[pos] != ':')
                return false;
            ++pos;
        }
        if (!parseHexPart(text, pos, parts[i]))
            return false;
    }
    for (int i = 0; i < 3; ++i)
        oui[i] = static_cast<uint8_t>(parts[i]);
    return true;
}

std::string formatOui(const uint8_t oui[3]) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%02X:%02X:%02X", oui[0], oui[1], oui[2]);
    return buffer;
}

void resetEditor() {
    std::memset(&prefsBlock, 0, sizeof prefsBlock);
}
