#pragma once
// Outcomes of the core's operations turned into the message boxes the user
// reads. The core returns which message applies; this is the one place that
// knows its text, caption, icon and which window owns the box. halyardctl
// prints the same texts through outcomeText() and decides on the outcome
// itself, never on a text.
#include <string>

#include "platform/messages.h"
#include "security/key_operations.h"

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
