#pragma once
// Texts of the core (device names, passwords, preference texts, firmware
// texts) are 8-bit. Names and passwords typed in the window are stored as
// UTF-8; the preference texts written by brandkit are Latin-1. A text that is
// valid UTF-8 is shown as UTF-8, any other as Latin-1, so both kinds show as
// they were entered, also side by side in one list.
#include <QString>
#include <string>

QString textFromBytes(const std::string& text);
// The bytes to store for a text typed in the window: UTF-8. When the text is
// exactly what `shown` (the stored bytes) decodes to, those bytes themselves,
// so an unchanged Latin-1 name is never rewritten as another encoding.
std::string bytesFromText(const QString& text, const std::string& shown = {});
