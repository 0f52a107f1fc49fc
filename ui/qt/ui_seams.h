#pragma once
// The core's seams as the halyard window provides them: message boxes as
// QMessageBox, the automatic scan's 50 ms timer as a QTimer, the wait cursor
// as an override cursor, and a clock whose sleeps keep the window painted.
#include <QObject>
#include <map>

#include "network/auto_scan.h"
#include "platform/clock.h"
#include "platform/messages.h"

class QTimer;

// Shows every box as a modal QMessageBox owned by the given QWidget (or none);
// a box asked for by another thread is shown by the window's thread while the
// asking thread waits for the answer. On a platform without a screen ("offscreen", "minimal")
// nobody could press a button, so the box is written to standard error and answered affirmatively.
class QtMessageBoxSink : public MessageSink {
  public:
    MessageResult show(void* owner, const std::string& text, const std::string& caption,
                       MessageIcon icon, MessageButtons buttons) override;
};

// Real time, but a sleep on the window's thread keeps repainting the window
// (events other than user input are handled every ~15 ms) while the user's
// clicks and keys wait. Sleeps on other threads are plain sleeps.
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
    unsigned start(unsigned periodMs, std::function<void()> routine) override;
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
