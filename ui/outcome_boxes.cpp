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
    {KeyMessage::SetKeyFailed,
     {"Unknown error occurred. Please try after some time.", "setLocalNEK", MessageIcon::None,
      BoxOwner::None}},
    {KeyMessage::SourceMacUnset,
     {"Source MAC is NULL", "ERROR SA", MessageIcon::Warning, BoxOwner::None}},
};

static_assert(rowsInOrder(kBoxes), "one row per KeyMessage, in order");
static_assert(std::size(kBoxes) == static_cast<size_t>(KeyMessage::SourceMacUnset) + 1);

constexpr OutcomeBox addDeviceAttention(const char* text) {
    return {text, "Attention", MessageIcon::Warning, BoxOwner::Caller};
}
// One row per refusal, in AddDeviceRefusal order.
constexpr Row<AddDeviceRefusal> kAddDeviceRefusalBoxes[] = {
    {AddDeviceRefusal::None, {"", "", MessageIcon::None, BoxOwner::None}},
    {AddDeviceRefusal::OldFirmware,
     addDeviceAttention("Please upgrade the Device's FirmWare to 1.8 and then try to add the "
                        "device.\nThe present device has older FirmWare version.")},
    {AddDeviceRefusal::AnotherName, addDeviceAttention("Please enter another name.")},
    {AddDeviceRefusal::NameTooLong,
     addDeviceAttention("Device Name should be less than 31 characters")},
    {AddDeviceRefusal::NoPassword, addDeviceAttention("Please enter a Password.")},
    {AddDeviceRefusal::InvalidPassword,
     kBoxes[static_cast<size_t>(KeyMessage::InvalidDevicePassword)].box},
    {AddDeviceRefusal::AlreadyAdded, addDeviceAttention("Device is already added in the network")},
};
static_assert(rowsInOrder(kAddDeviceRefusalBoxes), "one row per AddDeviceRefusal, in order");
static_assert(std::size(kAddDeviceRefusalBoxes) ==
              static_cast<size_t>(AddDeviceRefusal::AlreadyAdded) + 1);

// One row per result, in RenameResult order; Renamed tells nothing.
constexpr Row<RenameResult> kRenameBoxes[] = {
    {RenameResult::Renamed, {"", "", MessageIcon::None, BoxOwner::None}},
    {RenameResult::NameTaken, addDeviceAttention("Please enter another name.")},
    {RenameResult::NotStored, addDeviceAttention("Device Name should be less than 31 characters")},
};
static_assert(rowsInOrder(kRenameBoxes), "one row per RenameResult, in order");
static_assert(std::size(kRenameBoxes) == static_cast<size_t>(RenameResult::NotStored) + 1);

// One row per result, in DevicePasswordResult order; Stored tells nothing.
constexpr Row<DevicePasswordResult> kDevicePasswordBoxes[] = {
    {DevicePasswordResult::Stored, {"", "", MessageIcon::None, BoxOwner::None}},
    {DevicePasswordResult::OldFirmware,
     addDeviceAttention("Please upgrade the Device's FirmWare to 1.8 and then try to Enter "
                        "Password.\nThe present device has older FirmWare version.")},
    {DevicePasswordResult::Invalid,
     kBoxes[static_cast<size_t>(KeyMessage::InvalidDevicePassword)].box},
    {DevicePasswordResult::NoEntry,
     addDeviceAttention("Please select a device first by clicking on it.")},
};
static_assert(rowsInOrder(kDevicePasswordBoxes), "one row per DevicePasswordResult, in order");
static_assert(std::size(kDevicePasswordBoxes) ==
              static_cast<size_t>(DevicePasswordResult::NoEntry) + 1);

// One row per message, in UpgradeKindMessage order.
constexpr Row<UpgradeKindMessage> kUpgradeKindBoxes[] = {
    {UpgradeKindMessage::None, {"", "", MessageIcon::None, BoxOwner::None}},
    {UpgradeKindMessage::FirmwareTypeUnknown,
     {"Can not retrive firmware type of local device", "Information", MessageIcon::Information,
      BoxOwner::MainWindow}},
    {UpgradeKindMessage::NotUpgradable,
     {"Application does not have firmware upgrade capabilty for this type of devices", "Stop",
      MessageIcon::Information, BoxOwner::MainWindow}},
};
static_assert(rowsInOrder(kUpgradeKindBoxes), "one row per UpgradeKindMessage, in order");
static_assert(std::size(kUpgradeKindBoxes) ==
              static_cast<size_t>(UpgradeKindMessage::NotUpgradable) + 1);

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

// One row per message, in Hp10UpgradeMessage order; ImageTooLarge's text is
// built with its values.
constexpr OutcomeBox hp10Error(const char* text) {
    return {text, "Error", MessageIcon::Error, BoxOwner::None};
}
constexpr Row<Hp10UpgradeMessage> kHp10UpgradeBoxes[] = {
    {Hp10UpgradeMessage::None, {"", "", MessageIcon::None, BoxOwner::None}},
    {Hp10UpgradeMessage::NoFileSelected, hp10Error("No File is selected")},
    {Hp10UpgradeMessage::NoImageSelected, hp10Error("No Image File is selected")},
    {Hp10UpgradeMessage::ImageUnopenable, hp10Error("Can not open Image file")},
    {Hp10UpgradeMessage::ConfigUnopenable, hp10Error("Can not open Config file")},
    {Hp10UpgradeMessage::PacketNotSent, hp10Error("Packet Sending Failure")},
    {Hp10UpgradeMessage::NoResponse, hp10Error("Packet sent but no response")},
    {Hp10UpgradeMessage::LoaderStartFailed, hp10Error("Reset Device to Secondary Loader Failed")},
    {Hp10UpgradeMessage::ImageSendingFailed, hp10Error("MAC Image Sending Failed")},
    {Hp10UpgradeMessage::CommitFailed, hp10Error("Commit Module Failed")},
    {Hp10UpgradeMessage::VerifyFailed, hp10Error("Verify Module Failed")},
    {Hp10UpgradeMessage::ImageMismatch, hp10Error("Mac Image Verification Failed")},
    {Hp10UpgradeMessage::IdentityMismatch, hp10Error("Identy Section Verification Failed")},
    {Hp10UpgradeMessage::OptionMismatch, hp10Error("Option section Verification Failed")},
    {Hp10UpgradeMessage::ParamMismatch, hp10Error("Param Module Verification Failed")},
    {Hp10UpgradeMessage::ResetFailed, hp10Error("Hardware Reset Failed")},
    {Hp10UpgradeMessage::ImageTooLarge, hp10Error("")},
    {Hp10UpgradeMessage::Upgraded,
     {"Device firmware has been upgraded successfully.", "Information", MessageIcon::Information,
      BoxOwner::None}},
};
static_assert(rowsInOrder(kHp10UpgradeBoxes), "one row per Hp10UpgradeMessage, in order");
static_assert(std::size(kHp10UpgradeBoxes) ==
              static_cast<size_t>(Hp10UpgradeMessage::Upgraded) + 1);

constexpr Row<ConfigurationBlockMessage> kConfigurationBlockBoxes[] = {
    {ConfigurationBlockMessage::None, {"", "", MessageIcon::None, BoxOwner::None}},
    {ConfigurationBlockMessage::NotBuilt,
     {"Error in plcapi_ReadConfigurationBlock", "Error", MessageIcon::Error, BoxOwner::MainWindow}},
};
static_assert(rowsInOrder(kConfigurationBlockBoxes));
static_assert(std::size(kConfigurationBlockBoxes) ==
              static_cast<size_t>(ConfigurationBlockMessage::NotBuilt) + 1);

constexpr Row<FactoryResetMessage> kFactoryResetBoxes[] = {
    {FactoryResetMessage::None, {"", "", MessageIcon::None, BoxOwner::None}},
    {FactoryResetMessage::Done,
     {"Device has been reset to factory default successfully.", "Information",
      MessageIcon::Information, BoxOwner::None}},
    {FactoryResetMessage::Failed,
     {"Device can't found or not support yet.", "Information", MessageIcon::Information,
      BoxOwner::None}},
};
static_assert(rowsInOrder(kFactoryResetBoxes));
static_assert(std::size(kFactoryResetBoxes) ==
              static_cast<size_t>(FactoryResetMessage::Failed) + 1);

// The database's boxes, all owned by the main window. The first three are
// patterns: the path, then the message's values, then the note that the file
// is kept.
constexpr OutcomeBox databaseBox(const char* text, const char* caption,
                                 MessageIcon icon = MessageIcon::Warning) {
    return {text, caption, icon, BoxOwner::MainWindow};
}
constexpr Row<DatabaseMessage> kDatabaseBoxes[] = {
    {DatabaseMessage::None, {"", "", MessageIcon::None, BoxOwner::None}},
    {DatabaseMessage::Unreadable,
     databaseBox("The device database %s cannot be read (%s). It is kept as it is, and device "
                 "names and passwords are not saved in this run.",
                 "Problem Occurred")},
    {DatabaseMessage::NotMovedAside,
     databaseBox("The device database %s cannot be moved aside to %s (%s). It is kept as it is, "
                 "and device names and passwords are not saved in this run.",
                 "Problem Occurred")},
    {DatabaseMessage::NewerVersion,
     databaseBox("The device database %s was written by a newer version of this program (layout "
                 "%s; this one reads layout %s). It is kept as it is, and device names and "
                 "passwords are not saved in this run.",
                 "Attention")},
    {DatabaseMessage::OldVersion,
     databaseBox("Unexpected condition reading database. Attempting to recover.", "Attention")},
    {DatabaseMessage::BadCount,
     databaseBox("Unexpected condition reading database. Attempting to recover.",
                 "Problem Occurred")},
    {DatabaseMessage::WriteProblem,
     databaseBox("Unexpected condition writing database. Attempting to recover.",
                 "Problem Occurred", MessageIcon::Error)},
};
static_assert(rowsInOrder(kDatabaseBoxes), "one row per DatabaseMessage, in order");
static_assert(std::size(kDatabaseBoxes) == static_cast<size_t>(DatabaseMessage::WriteProblem) + 1);

constexpr Row<PacketError> kPacketErrorBoxes[] = {
    {PacketError::Send,
     {"Unknown error occurred while sending packets. Please try after some time.",
      "Send Packet Error", MessageIcon::None, BoxOwner::None}},
    {PacketError::Read,
     {"Error occured while reading the frame. Please try after sometime.", "Reading Error",
      MessageIcon::Error, BoxOwner::None}},
};
static_assert(rowsInOrder(kPacketErrorBoxes), "one row per PacketError, in order");
static_assert(std::size(kPacketErrorBoxes) == static_cast<size_t>(PacketError::Read) + 1);

MessageOwner* ownerOf(const OutcomeBox& box, void* caller) {
    return box.owner == BoxOwner::Caller       ? messageOwner(caller)
           : box.owner == BoxOwner::MainWindow ? mainWindowHandle
                                               : nullptr;
}

// Shows `box` with `text` (its own text, or its pattern filled with values)
// inside a busy scope.
void showBox(const OutcomeBox& box, const std::string& text, void* caller) {
    BusyScope busy;
    showMessage(text, box.caption, box.icon, MessageButtons::Ok, ownerOf(box, caller));
}

// A box told as it happens, from wherever the core met it (a cycle, the
// upgrade's worker thread): shown as it stands, without a busy scope of its
// own, as the core's code there already holds what it needs.
void tellBox(const OutcomeBox& box, const std::string& text) {
    showMessage(text, box.caption, box.icon, MessageButtons::Ok, ownerOf(box, nullptr));
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

const OutcomeBox& outcomeBox(Hp10UpgradeMessage message) {
    return boxOf(kHp10UpgradeBoxes, message);
}

std::vector<std::string> outcomeTexts(const Hp10UpgradeOutcome& outcome) {
    std::vector<std::string> texts;
    for (Hp10UpgradeMessage message : outcome.messages) {
        if (message == Hp10UpgradeMessage::ImageTooLarge)
            texts.push_back(fileTooLargeText("image", outcome.tooLargeSize, outcome.tooLargeLimit));
        else if (message != Hp10UpgradeMessage::None)
            texts.push_back(outcomeBox(message).text);
    }
    return texts;
}

void showOutcome(const Hp10UpgradeOutcome& outcome) {
    const std::vector<std::string> texts = outcomeTexts(outcome);
    size_t next = 0;
    for (Hp10UpgradeMessage message : outcome.messages) {
        if (message != Hp10UpgradeMessage::None)
            showBox(outcomeBox(message), texts[next++], nullptr);
    }
}

const OutcomeBox& outcomeBox(ConfigurationBlockMessage message) {
    return boxOf(kConfigurationBlockBoxes, message);
}

void showOutcome(ConfigurationBlockMessage message) {
    showFixedText(message, nullptr);
}

const OutcomeBox& outcomeBox(FactoryResetMessage message) {
    return boxOf(kFactoryResetBoxes, message);
}

std::string outcomeText(FactoryResetMessage message) {
    return outcomeBox(message).text;
}

void showOutcome(FactoryResetMessage message, void* caller) {
    showFixedText(message, caller);
}

const OutcomeBox& outcomeBox(DatabaseMessage message) {
    return boxOf(kDatabaseBoxes, message);
}

std::string outcomeText(const DatabaseNotice& notice) {
    const char* pattern = outcomeBox(notice.message).text;
    switch (notice.message) {
    case DatabaseMessage::Unreadable:
        return fillPattern(pattern, {notice.path, notice.reason});
    case DatabaseMessage::NotMovedAside:
        return fillPattern(pattern, {notice.path, notice.asideName, notice.reason});
    case DatabaseMessage::NewerVersion:
        return fillPattern(pattern, {notice.path, std::to_string(notice.layout),
                                     std::to_string(kDatabaseVersion)});
    default:
        return pattern;
    }
}

const OutcomeBox& outcomeBox(PacketError error) {
    return boxOf(kPacketErrorBoxes, error);
}

std::string outcomeText(PacketError error) {
    return outcomeBox(error).text;
}

void installOutcomeSinks() {
    setDatabaseNoticeSink([](const DatabaseNotice& notice) {
        if (notice.message != DatabaseMessage::None)
            tellBox(outcomeBox(notice.message), outcomeText(notice));
    });
    setPacketErrorSink([](PacketError error) { tellBox(outcomeBox(error), outcomeText(error)); });
    setKeyNoticeSink([](KeyMessage message) {
        if (message != KeyMessage::None)
            tellBox(outcomeBox(message), outcomeText(message));
    });
}

void removeOutcomeSinks() {
    setDatabaseNoticeSink({});
    setPacketErrorSink({});
    setKeyNoticeSink({});
}

const OutcomeBox& outcomeBox(AddDeviceRefusal refusal) {
    return boxOf(kAddDeviceRefusalBoxes, refusal);
}

std::string outcomeText(AddDeviceRefusal refusal) {
    return outcomeBox(refusal).text;
}

void showOutcome(AddDeviceRefusal refusal, void* caller) {
    showFixedText(refusal, caller);
}

const OutcomeBox& outcomeBox(RenameResult result) {
    return boxOf(kRenameBoxes, result);
}

std::string outcomeText(RenameResult result) {
    return outcomeBox(result).text;
}

void showOutcome(RenameResult result, void* caller) {
    if (result != RenameResult::Renamed)
        showBox(outcomeBox(result), outcomeText(result), caller);
}

const OutcomeBox& outcomeBox(DevicePasswordResult result) {
    return boxOf(kDevicePasswordBoxes, result);
}

std::string outcomeText(DevicePasswordResult result) {
    return outcomeBox(result).text;
}

void showOutcome(DevicePasswordResult result, void* caller) {
    if (result != DevicePasswordResult::Stored)
        showBox(outcomeBox(result), outcomeText(result), caller);
}

const OutcomeBox& outcomeBox(UpgradeKindMessage message) {
    return boxOf(kUpgradeKindBoxes, message);
}

void showOutcome(const LocalUpgradeKind& local) {
    if (!local.blockRead)
        showOutcome(local.blockRead.message);
    showFixedText(local.message, nullptr);
}
