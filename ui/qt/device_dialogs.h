#pragma once
// The modal device dialogs of the halyard window, opened by the Main and
// Security pages: "Set Device Password", "Add Device to Network" and the
// firmware upgrade ("Enter PIB & NVM files" with the "Upgrading Local Device"
// progress dialog and its worker thread, or "Config & Image").
class QWidget;
class QString;

// Opens "Set Device Password" for the device entry `deviceEntryIndex1`
// (1-based; 0 when the device has none yet) labelled `deviceText` (name, two
// blanks, MAC in parentheses; empty when no row is remembered). True when a
// password was stored.
bool runSetDevicePasswordDialog(QWidget* parent, int deviceEntryIndex1, const QString& deviceText);

// Opens "Add Device to Network". True when the device was added (the dialog
// then closed through the Main page's refresh, or the user closed it).
bool runAddDeviceDialog(QWidget* parent);

// Upgrades the local device: chooses the dialog by its family ("Enter PIB &
// NVM files" for HomePlug AV, "Config & Image" for Turbo) and runs it. The
// caller has checked that the local device's row is the selected one.
void runFirmwareUpgrade(QWidget* parent);

// ---- Open-file dialogs --------------------------------------------------------------
#include <functional>

enum class FileChooserResult { Chosen, Cancelled, Failed };
// Asks for one existing file. `filter` is e.g. "PIB File (*.PIB)", `defaultSuffix`
// the extension added to a name without one. The default shows a QFileDialog;
// ui tests install their own answer.
using OpenFileChooser = std::function<FileChooserResult(
    QWidget* parent, const QString& filter, const QString& defaultSuffix, QString& path)>;
void setOpenFileChooser(OpenFileChooser chooser); // empty function restores the QFileDialog
