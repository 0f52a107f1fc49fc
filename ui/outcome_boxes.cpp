#include "ui/outcome_boxes.h"

#include <cstring>

#include "network/auto_scan.h"
#include "platform/main_window.h"

namespace {

// One row of a table from an outcome's message to its box.
template <typename Message> struct Row {
    Message message;
    OutcomeBox box;
};

// Every message has its row, at the index of its value.
template <typename Message, size_t N> constexpr bool rowsInOrder(const Row<Message> (&rows)[N]) {
    for (size_t i = 0; i < N; ++i) {
        if (static_cast<size_t>(rows[i].message) != i)
            return false;
    }
    return true;
}

// The box of `message`; a value past the table gets the first (empty) row.
template <typename Message, size_t N>
const OutcomeBox& boxOf(const Row<Message> (&rows)[N], Message message) {
    size_t i = static_cast<size_t>(message);
    return rows[i < N ? i : 0].box;
}

// One row per message, in KeyMessage order.
constexpr Row<KeyMessage> kBoxes[] = {
    {KeyMessage::None, {"", "", MessageIcon::None, BoxOwner::None}},
    {KeyMessage::KeyChanged,
     {"Encryption key has been changed successfully.", "Information", MessageIcon::Information,
      BoxOwner::Caller}},
    {KeyMessage::SomeDevicesRefused,
     {"One or more devices could not be added to your network due to invalid device password.",
      "Attention", MessageIcon::Warning, BoxOwner::Caller}},
    {KeyMessage::DeviceAdded,
     {"Device was added to your network.", "Information", MessageIcon::Information,
      BoxOwner::Caller}},
    {KeyMessage::NotDetected,
     {"A Device With The Entered Password Was Not Detected. \nPlease Check The Password and "
      "Check Your Device Connection.",
      "Attention", MessageIcon::Warning, BoxOwner::MainWindow}},
    {KeyMessage::LocalNmkUnreadable,
     {"Error reading NMK from the local device", "Error!!", MessageIcon::None, BoxOwner::None}},
    {KeyMessage::RemoteNmkNotSet,
     {"Unable to set the NMK of remote device!!!", "Attention", MessageIcon::Warning,
      BoxOwner::MainWindow}},
    {KeyMessage::AddingFailed,
     {"Error occured while adding the device", "Attention", MessageIcon::Warning,
      BoxOwner::MainWindow}},
    {KeyMessage::AddingProblem,
     {"Some unknown problem occured while adding the device. Try adding again!", "Error!!!",
      MessageIcon::None, BoxOwner::None}},
    {KeyMessage::NoDeviceSelected,
     {"There is no device been selected.", "Attention", MessageIcon::Warning,
      BoxOwner::MainWindow}},
    {KeyMessage::InvalidDevicePassword,
     {"The Device Password entered is invalid.\nPlease check it and try again.", "Invalid Entry",
      MessageIcon::Error, BoxOwner::Caller}},
    {KeyMessage::InvalidNetworkPassword,
     {"The encryption key entered is invalid.\nPlease enter an encryption key between 4 and 24 "
      "characters",
      "Invalid Entry", MessageIcon::Error, BoxOwner::MainWindow}},
};

static_assert(rowsInOrder(kBoxes), "one row per KeyMessage, in order");
static_assert(std::size(kBoxes) == static_cast<size_t>(KeyMessage::InvalidNetworkPassword) + 1);

// One row per message, in DiagnosticsMessage order.
constexpr Row<DiagnosticsMessage> kDiagnosticsBoxes[] = {
    {DiagnosticsMessage::None, {"", "", MessageIcon::None, BoxOwner::None}},
    {DiagnosticsMessage::SelectDeviceFirst,
     {"Please select a device first by clicking on it.", "Attention", MessageIcon::Warning,
      BoxOwner::Caller}},
    {DiagnosticsMessage::FillFailed,
     {"Unknown error occured", "updateDiagnosticsList", MessageIcon::None, BoxOwner::Caller}},
    {DiagnosticsMessage::ReportNotSaved,
     {"The report could not be saved to %s: %s.", "Error", MessageIcon::Error, BoxOwner::Caller}},
    {DiagnosticsMessage::InstallPrinter,
     {"Before you can perform printer-related tasks such as page setup or printing a document, "
      "you need to install a printer.",
      "Attention", MessageIcon::Warning, BoxOwner::Caller}},
};

static_assert(rowsInOrder(kDiagnosticsBoxes), "one row per DiagnosticsMessage, in order");
static_assert(std::size(kDiagnosticsBoxes) ==
              static_cast<size_t>(DiagnosticsMessage::InstallPrinter) + 1);

constexpr OutcomeBox upgradeError(const char* text) {
    return {text, "Error", MessageIcon::Error, BoxOwner::MainWindow};
}

// One row per message, in AvUpgradeMessage order. FileTooLarge's text is built
// with its values (fileTooLargeText).
constexpr Row<AvUpgradeMessage> kAvUpgradeBoxes[] = {
    {AvUpgradeMessage::None, {"", "", MessageIcon::None, BoxOwner::None}},
    {AvUpgradeMessage::FirmwareUnreadable, upgradeError("Unable to open firmware file")},
    {AvUpgradeMessage::WrongNvmHeader, upgradeError("Wrong NVM Block Header")},
    {AvUpgradeMessage::PibUnreadable, upgradeError("Error in PIB file opening...")},
    {AvUpgradeMessage::PibOperation, upgradeError("Error in PIB file Operation")},
    {AvUpgradeMessage::PibChecksum, upgradeError("Error in PIB file checksum. Operation aborted")},
    {AvUpgradeMessage::NotStarted, upgradeError("Upgrade failed. Operation aborted")},
    {AvUpgradeMessage::TransferAborted, upgradeError("Upgrade failed. Operation aborted.")},
    {AvUpgradeMessage::FileTooLarge, upgradeError("")},
};

static_assert(rowsInOrder(kAvUpgradeBoxes), "one row per AvUpgradeMessage, in order");
static_assert(std::size(kAvUpgradeBoxes) ==
              static_cast<size_t>(AvUpgradeMessage::FileTooLarge) + 1);

void* ownerOf(const OutcomeBox& box, void* caller) {
    return box.owner == BoxOwner::Caller       ? caller
           : box.owner == BoxOwner::MainWindow ? mainWindowHandle
                                               : nullptr;
}

// Shows `box` with `text` (its own text, or its pattern filled with values)
// inside a busy scope.
void showBox(const OutcomeBox& box, const std::string& text, void* caller) {
    BusyScope busy;
    showMessage(text, box.caption, box.icon, MessageButtons::Ok, ownerOf(box, caller));
}

// A message whose box text carries no values; None shows nothing.
template <typename Message> void showFixedText(Message message, void* caller) {
    if (message == Message::None)
        return;
    const OutcomeBox& box = outcomeBox(message);
    showBox(box, box.text, caller);
}

} // namespace

std::string fillPattern(const char* pattern, std::initializer_list<std::string> values) {
    std::string text;
    const std::string* value = values.begin();
    for (const char* p = pattern; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 's' && value != values.end()) {
            text += *value++;
            ++p;
        } else {
            text += *p;
        }
    }
    return text;
}

const OutcomeBox& outcomeBox(DiagnosticsMessage message) {
    return boxOf(kDiagnosticsBoxes, message);
}

std::string outcomeText(DiagnosticsMessage message) {
    return outcomeBox(message).text;
}

void showOutcome(DiagnosticsMessage message, void* caller) {
    showFixedText(message, caller);
}

std::string outcomeText(const ReportSaving& saving) {
    if (saving.saved)
        return "";
    return fillPattern(outcomeBox(DiagnosticsMessage::ReportNotSaved).text,
                       {saving.path, std::strerror(saving.error)});
}

void showOutcome(const ReportSaving& saving, void* caller) {
    if (saving.saved)
        return;
    showBox(outcomeBox(DiagnosticsMessage::ReportNotSaved), outcomeText(saving), caller);
}

const OutcomeBox& outcomeBox(AvUpgradeMessage message) {
    return boxOf(kAvUpgradeBoxes, message);
}

std::string outcomeText(const AvUpgradeOutcome& outcome) {
    if (outcome.message == AvUpgradeMessage::FileTooLarge)
        return fileTooLargeText(outcome.tooLargeFile, outcome.tooLargeSize, outcome.tooLargeLimit);
    return outcomeBox(outcome.message).text;
}

void showOutcome(const AvUpgradeOutcome& outcome, void* caller) {
    if (outcome.message != AvUpgradeMessage::None)
        showBox(outcomeBox(outcome.message), outcomeText(outcome), caller);
}

const OutcomeBox& dataDirectoryFallbackBox() {
    static constexpr OutcomeBox box = {
        "Unable to create Tollbeam.data file at location: %s, Creating Tollbeam.data file at "
        "location: %s",
        "Information", MessageIcon::Information, BoxOwner::Caller};
    return box;
}

std::string outcomeText(const DataDirectoryChoice& choice) {
    if (!choice.tellFallback)
        return "";
    return fillPattern(dataDirectoryFallbackBox().text,
                       {choice.machineDirectory, choice.fallbackDirectory});
}

void showOutcome(const DataDirectoryChoice& choice, void* caller) {
    if (choice.tellFallback)
        showBox(dataDirectoryFallbackBox(), outcomeText(choice), caller);
}

const OutcomeBox& outcomeBox(KeyMessage message) {
    return boxOf(kBoxes, message);
}

std::string outcomeText(KeyMessage message) {
    return outcomeBox(message).text;
}

void showOutcome(KeyMessage message, void* caller) {
    showFixedText(message, caller);
}
