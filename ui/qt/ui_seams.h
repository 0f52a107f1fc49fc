#pragma once
// The core's seams as the halyard window provides them: message boxes as
// QMessageBox, the automatic scan's 50 ms timer as a QTimer, the wait cursor
// as an override cursor, and a clock whose sleeps keep the window painted.
#include <QObject>
#include <functional>
#include <map>
#include <optional>

#include "network/auto_scan.h"
#include "platform/clock.h"
#include "platform/messages.h"

class QTimer;

// Shows every box as a modal QMessageBox owned by the given QWidget (or none);
// a box asked for by another thread is shown by the window's thread while the
// asking thread waits for the answer. On a platform without a screen ("offscreen", "minimal")
// nobody could press a button, so the box is written to standard error and answered affirmatively.
//
// Every box runs inside a ModalScope (see below).
class QtMessageBoxSink : public MessageSink {
  public:
    MessageResult show(MessageOwner* owner, const std::string& text, const std::string& caption,
                       MessageIcon icon, MessageButtons buttons) override;
    // Shows real boxes on the headless platforms too: the live tests answer
    // them later from a timer, the way a user would.
    static void setRealBoxesWhenHeadless(bool real);
};

// The window's one rule for nested event loops. A message box, a modal
// dialog, a context menu and the in-place editor each run an event loop in
// which the 50 ms scan timer keeps firing; for as long as one is open:
//   - the automatic scan does no work (the process-wide busy flag is set),
//     so no cycle clears or rebuilds a list under a row the user is looking at;
//   - the normal arrow cursor shows over it, never the wait cursor of the
//     operation that asked the question;
//   - user input reaches it even inside a fixed wait (which otherwise
//     discards input, see UiClock).
// Scopes nest; each restores what it found.
class ModalScope {
  public:
    // `setBusy` false for a dialog that suspends and restores the automatic
    // scan itself (Add Device lets it run again after OK: the refresh that
    // finds the new device is what closes the dialog).
    explicit ModalScope(bool setBusy = true);
    ~ModalScope();
    ModalScope(const ModalScope&) = delete;
    ModalScope& operator=(const ModalScope&) = delete;
    // How many modal scopes are open now.
    static int depth();

  private:
    std::optional<BusyScope> busy_; // the one busy mechanism (network/auto_scan.h)
};

class QDialog;
// Runs `dialog` modally inside a ModalScope; returns its result.
int execModal(QDialog& dialog, bool setBusy = true);

// Calls `fn` from the window's event loop once the current event is handled,
// never inside a fixed wait (it is postponed until the wait is over). For
// work that must not run inside a Qt signal (a dialog opened from an item
// change) or inside an editor that is closing.
void runWhenIdle(QObject* context, std::function<void()> fn);

// Real time, but a sleep on the window's thread keeps repainting the window
// (events are handled every ~15 ms) while the user's clicks and keys are
// discarded: an event filter drops them, so nothing is queued and replayed
// when the wait is over (no second "Set Selected Devices", no late Cancel).
// Input for a box opened inside the wait still reaches it. Sleeps on other
// threads are plain sleeps.
class UiClock : public Clock {
  public:
    uint32_t tickCount() override;
    void sleepMs(uint32_t ms) override;
    // True while a sleep on the window's thread is handling events: the
    // automatic scan's ticks wait until the sleeping operation is done.
    static bool insideWait();

  private:
    RealClock real_;
};

// The automatic scan's timer: one QTimer per start. A tick that arrives while
// an operation sleeps in UiClock (and so handles events) is skipped, so the
// cycle never runs inside another exchange.
class QtScanTimer : public QObject, public ScanTimer {
    Q_OBJECT
  public:
    explicit QtScanTimer(QObject* parent = nullptr) : QObject(parent) {}
    ~QtScanTimer() override;
    unsigned start(unsigned periodMs, std::function<void()> routine, IdleTicks idle = {}) override;
    void stop(unsigned id) override;

  private:
    std::map<unsigned, QTimer*> timers_;
    unsigned nextId_ = 1;
};

// The wait cursor of long operations as an application override cursor
// (window thread only).
void installWaitCursor();

// Installs all four for the life of the object and restores the core's
// defaults afterwards (the program's main uses this).
class UiSeams {
  public:
    UiSeams();
    ~UiSeams();
    UiSeams(const UiSeams&) = delete;
    UiSeams& operator=(const UiSeams&) = delete;

  private:
    QtMessageBoxSink messages_;
    UiClock clock_;
    QtScanTimer timer_;
};
