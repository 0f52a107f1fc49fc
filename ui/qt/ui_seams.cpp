#include "ui/qt/ui_seams.h"

#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <memory>

#include "network/model.h"
#include "platform/wait_cursor.h"
#include "ui/outcome_boxes.h"
#include "ui/qt/message_box_mapping.h"
#include "ui/qt/text_codec.h"

namespace {

constexpr uint32_t kRepaintEveryMs = 15;
int waitDepth = 0;
int modalDepth = 0;
bool realBoxesWhenHeadless = false;
// The modal depth at which the innermost running wait discards input; -1
// when no wait runs. A box opened inside the wait is one level deeper and
// gets its input.
int discardAtModalDepth = -1;

bool isUserInput(QEvent::Type type) {
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::DragEnter:
    case QEvent::Drop:
        return true;
    default:
        return false;
    }
}

// Drops the user's clicks and keys while a fixed wait runs.
class InputDiscarder : public QObject {
  public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (discardAtModalDepth >= 0 && modalDepth == discardAtModalDepth &&
            isUserInput(event->type()))
            return true;
        return QObject::eventFilter(watched, event);
    }
};

void installInputDiscarder() {
    static InputDiscarder* discarder = nullptr;
    if (discarder || !QCoreApplication::instance())
        return;
    discarder = new InputDiscarder;
    discarder->setParent(QCoreApplication::instance());
    QCoreApplication::instance()->installEventFilter(discarder);
}

bool onWindowThread() {
    return QCoreApplication::instance() &&
           QThread::currentThread() == QCoreApplication::instance()->thread();
}

bool headless() {
    if (realBoxesWhenHeadless)
        return false;
    QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

bool haveWidgets() {
    return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

} // namespace

// ---- Message boxes -----------------------------------------------------------------------

MessageResult QtMessageBoxSink::show(MessageOwner* owner, const std::string& text,
                                     const std::string& caption, MessageIcon icon,
                                     MessageButtons buttons) {
    if (headless() || !QCoreApplication::instance()) {
        ConsoleMessages console;
        return console.show(owner, text, caption, icon, buttons);
    }
    if (!onWindowThread()) {
        // A worker's box (the upgrade's outcome) is shown by the window's
        // thread; the worker waits for the answer.
        MessageResult result = MessageResult::Ok;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [&] { result = show(owner, text, caption, icon, buttons); },
            Qt::BlockingQueuedConnection);
        return result;
    }
    QMessageBox box(qtIcon(icon), textFromBytes(caption), textFromBytes(text), qtButtons(buttons),
                    ownerWindow<QWidget>(owner));
    // A box's text can carry a device's name or a file's contents: shown as
    // the characters they are, never as markup, links or pictures.
    box.setTextFormat(Qt::PlainText);
    ModalScope modal;
    return fromQt(box.exec());
}

void QtMessageBoxSink::setRealBoxesWhenHeadless(bool real) {
    realBoxesWhenHeadless = real;
}

// ---- Modal scopes ------------------------------------------------------------------------

ModalScope::ModalScope(bool setBusy) {
    if (setBusy)
        busy_.emplace();
    ++modalDepth;
    if (onWindowThread() && haveWidgets())
        QApplication::setOverrideCursor(QCursor(Qt::ArrowCursor));
}

ModalScope::~ModalScope() {
    if (onWindowThread() && haveWidgets())
        QApplication::restoreOverrideCursor();
    --modalDepth;
}

int ModalScope::depth() {
    return modalDepth;
}

int execModal(QDialog& dialog, bool setBusy) {
    ModalScope modal(setBusy);
    return dialog.exec();
}

void runWhenIdle(QObject* context, std::function<void()> fn) {
    auto call = [context, fn = std::move(fn)]() mutable {
        if (UiClock::insideWait()) {
            // Postponed, not run inside another operation's wait.
            QTimer::singleShot(kTimerPeriodMs, context, [context, fn = std::move(fn)]() mutable {
                runWhenIdle(context, std::move(fn));
            });
            return;
        }
        fn();
    };
    QTimer::singleShot(0, context, std::move(call));
}

// ---- Clock -------------------------------------------------------------------------------

uint32_t UiClock::tickCount() {
    return real_.tickCount();
}

void UiClock::sleepMs(uint32_t ms) {
    if (!onWindowThread()) {
        real_.sleepMs(ms);
        return;
    }
    static uint32_t lastEvents = 0;
    const uint32_t start = real_.tickCount();
    for (;;) {
        uint32_t now = real_.tickCount();
        uint32_t elapsed = now - start;
        if (now - lastEvents >= kRepaintEveryMs) {
            lastEvents = now;
            installInputDiscarder();
            const int outerDiscard = discardAtModalDepth;
            discardAtModalDepth = modalDepth;
            ++waitDepth;
            // All events, user input included, so that the discarder sees the
            // input and drops it instead of leaving it queued for later.
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            --waitDepth;
            discardAtModalDepth = outerDiscard;
            now = real_.tickCount();
            elapsed = now - start;
        }
        if (elapsed >= ms)
            return;
        real_.sleepMs(std::min<uint32_t>(ms - elapsed, kRepaintEveryMs));
    }
}

bool UiClock::insideWait() {
    return waitDepth > 0;
}

// ---- Scan timer --------------------------------------------------------------------------

QtScanTimer::~QtScanTimer() {
    for (auto& [id, timer] : timers_)
        delete timer;
}

// Between cycles the window would wake twenty times a second only to count
// ticks; the timer then fires once per batch of them (at most a second), and
// a cycle still starts on its tick.
unsigned QtScanTimer::start(unsigned periodMs, std::function<void()> routine, IdleTicks idle) {
    unsigned id = nextId_++;
    auto* timer = new QTimer(this);
    timer->setInterval(static_cast<int>(periodMs));
    auto batch = std::make_shared<int>(1);
    QPointer<QTimer> self(timer);
    connect(timer, &QTimer::timeout, this,
            [self, periodMs, batch, routine = std::move(routine), idle = std::move(idle)] {
                if (UiClock::insideWait() || !routine)
                    return;
                if (*batch > 1 && idle.pass)
                    idle.pass(*batch - 1);
                routine();
                // The routine may have stopped this timer, and a box's loop
                // inside it may have deleted it already.
                if (!self)
                    return;
                int ahead = idle.ahead ? idle.ahead() : 0;
                *batch = std::clamp(ahead + 1, 1, kMaxIdleBatch);
                int interval = static_cast<int>(periodMs) * *batch;
                if (self->interval() != interval)
                    self->setInterval(interval);
            });
    timers_[id] = timer;
    timer->start();
    return id;
}

void QtScanTimer::stop(unsigned id) {
    auto found = timers_.find(id);
    if (found == timers_.end())
        return;
    found->second->stop();
    found->second->deleteLater();
    timers_.erase(found);
}

// ---- Wait cursor ---------------------------------------------------------------------------

void installWaitCursor() {
    setWaitCursorHook([](bool waiting) {
        if (!onWindowThread() || !qobject_cast<QApplication*>(QCoreApplication::instance()))
            return;
        if (waiting)
            QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        else
            QApplication::restoreOverrideCursor();
    });
}

// ---- All of them -------------------------------------------------------------------------------

UiSeams::UiSeams() {
    setMessageSink(&messages_);
    setSystemClock(&clock_);
    setScanTimer(&timer_);
    installOutcomeSinks();
    installWaitCursor();
}

UiSeams::~UiSeams() {
    stopTimer();
    setScanTimer(nullptr);
    setSystemClock(nullptr);
    removeOutcomeSinks();
    setMessageSink(nullptr);
    setWaitCursorHook({});
}
