#pragma once
// Outcomes of the core's operations turned into the message boxes the user
// reads. The core returns which message applies; this is the one place that
// knows its text, caption, icon and which window owns the box. halyardctl
// prints the same texts through outcomeText() and decides on the outcome
// itself, never on a text.
#include <initializer_list>
#include <string>
#include <vector>

#include "diagnostics/diagnostics_page_logic.h"
#include "diagnostics/diagnostics_report.h"
#include "maintenance/av_maintenance.h"
#include "maintenance/hp10_upgrade.h"
#include "packet/packet.h"
#include "platform/messages.h"
#include "security/add_device_flow.h"
#include "security/device_password.h"
#include "security/key_operations.h"
#include "storage/data_directory.h"
#include "storage/device_database.h"
#include "storage/device_naming.h"

// Who a box belongs to: the window that asked for the operation, the main
// window, or none.
enum class BoxOwner { Caller, MainWindow, None };

struct OutcomeBox {
    const char* text;
    const char* caption;
    MessageIcon icon;
    BoxOwner owner;
};

// The box of `message`; KeyMessage::None has an empty text and shows nothing.
const OutcomeBox& outcomeBox(KeyMessage message);

// The box's text, for output that is not a box (halyardctl).
std::string outcomeText(KeyMessage message);

// Shows the box of `message` (nothing for KeyMessage::None) inside a busy
// scope, so the automatic scan does no work while it is open. `caller` owns
// the boxes that belong to the window that asked.
void showOutcome(KeyMessage message, void* caller);

// Why an addition did not go ahead: boxes owned by the Add Device dialog;
// InvalidPassword is KeyMessage::InvalidDevicePassword's box.
const OutcomeBox& outcomeBox(AddDeviceRefusal refusal);
std::string outcomeText(AddDeviceRefusal refusal);
void showOutcome(AddDeviceRefusal refusal, void* caller);

// ---- Diagnostics ---------------------------------------------------------------------
// The box of `message`; DiagnosticsMessage::ReportNotSaved's text is a pattern
// whose "%s" take the path and the reason (see outcomeText(ReportSaving)).
const OutcomeBox& outcomeBox(DiagnosticsMessage message);
std::string outcomeText(DiagnosticsMessage message);
void showOutcome(DiagnosticsMessage message, void* caller);
// "The report could not be saved to <path>: <reason>."; empty when it was saved.
std::string outcomeText(const ReportSaving& saving);
void showOutcome(const ReportSaving& saving, void* caller);

// ---- AV upgrade ----------------------------------------------------------------------
// Every AV upgrade message: caption "Error", error icon, owned by the main window.
const OutcomeBox& outcomeBox(AvUpgradeMessage message);
// The text of an upgrade's outcome (the too-large text with its values); empty
// for AvUpgradeMessage::None.
std::string outcomeText(const AvUpgradeOutcome& outcome);
void showOutcome(const AvUpgradeOutcome& outcome, void* caller);

// ---- Storage -------------------------------------------------------------------------
// The fallback box of a data directory choice ("Unable to create Tollbeam.data
// file at location: <machine>, Creating ... <fallback>"); its text is empty
// when the choice tells nothing.
const OutcomeBox& dataDirectoryFallbackBox();
std::string outcomeText(const DataDirectoryChoice& choice);
void showOutcome(const DataDirectoryChoice& choice, void* caller);

// `pattern` with each "%s" replaced by the next of `values`, in order.
std::string fillPattern(const char* pattern, std::initializer_list<std::string> values);

// ---- HomePlug 1.0 upgrade ------------------------------------------------------------
// Every message: caption "Error", error icon, no owner; Upgraded: "Information".
const OutcomeBox& outcomeBox(Hp10UpgradeMessage message);
// The texts of an upgrade's messages, in order (ImageTooLarge with its values).
std::vector<std::string> outcomeTexts(const Hp10UpgradeOutcome& outcome);
// Shows each message of the upgrade in turn.
void showOutcome(const Hp10UpgradeOutcome& outcome);

// ---- Other maintenance ----------------------------------------------------------------
const OutcomeBox& outcomeBox(ConfigurationBlockMessage message);
void showOutcome(ConfigurationBlockMessage message);
const OutcomeBox& outcomeBox(FactoryResetMessage message);
std::string outcomeText(FactoryResetMessage message);
void showOutcome(FactoryResetMessage message, void* caller);

// ---- A device's name and password ---------------------------------------------------
// The refusals of a rename and of filing a device password, owned by the
// caller ("Attention"); Renamed and Stored tell nothing.
const OutcomeBox& outcomeBox(RenameResult result);
std::string outcomeText(RenameResult result);
void showOutcome(RenameResult result, void* caller);
const OutcomeBox& outcomeBox(DevicePasswordResult result);
std::string outcomeText(DevicePasswordResult result);
void showOutcome(DevicePasswordResult result, void* caller);

// ---- Which upgrade the local device takes ------------------------------------------------
const OutcomeBox& outcomeBox(UpgradeKindMessage message);
// A failed configuration block read's box (if any), then the message's (if any).
void showOutcome(const LocalUpgradeKind& local);

// ---- Told as it happens: the device database, the packet interface, the key exchanges
// Every database box is owned by the main window; the first three texts are
// patterns that end with the note that the file is kept.
const OutcomeBox& outcomeBox(DatabaseMessage message);
std::string outcomeText(const DatabaseNotice& notice);
const OutcomeBox& outcomeBox(PacketError error);
std::string outcomeText(PacketError error);

// Registers the sinks of the core's notices that show them as boxes through
// the message seam (the window, halyard-demo, the tests of the window's
// logic); removeOutcomeSinks() unregisters them. halyardctl registers its own.
void installOutcomeSinks();
void removeOutcomeSinks();
