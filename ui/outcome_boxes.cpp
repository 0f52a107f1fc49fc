#include "ui/outcome_boxes.h"

#include "network/auto_scan.h"
#include "platform/main_window.h"

namespace {

struct Row {
    KeyMessage message;
    OutcomeBox box;
};

// One row per message, in KeyMessage order.
constexpr Row kBoxes[] = {
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

constexpr bool rowsInOrder() {
    for (size_t i = 0; i < std::size(kBoxes); ++i) {
        if (static_cast<size_t>(kBoxes[i].message) != i)
            return false;
    }
    return true;
}
static_assert(rowsInOrder(), "one row per KeyMessage, in order");
static_assert(std::size(kBoxes) == static_cast<size_t>(KeyMessage::InvalidNetworkPassword) + 1);

} // namespace

const OutcomeBox& outcomeBox(KeyMessage message) {
    size_t i = static_cast<size_t>(message);
    return kBoxes[i < std::size(kBoxes) ? i : 0].box;
}

std::string outcomeText(KeyMessage message) {
    return outcomeBox(message).text;
}

void showOutcome(KeyMessage message, void* caller) {
    if (message == KeyMessage::None)
        return;
    const OutcomeBox& box = outcomeBox(message);
    void* owner = box.owner == BoxOwner::Caller       ? caller
                  : box.owner == BoxOwner::MainWindow ? mainWindowHandle
                                                      : nullptr;
    BusyScope busy;
    showMessage(box.text, box.caption, box.icon, MessageButtons::Ok, owner);
}
