#pragma once
// The HomePlug AV firmware upgrade off the user-interface thread. One worker
// per upgrade runs runUpgradeWorker (ui/device_dialogs_logic.h) on its own
// thread; it talks to the window only through queued signals and through
// message boxes that are handed to the user-interface thread to be shown.
//
// The worker is never suspended: Cancel sets upgradeCancelRequested and the
// transfer stops before its next block, so the thread never stops while it
// holds the packet interface. It is joined once it has said it finished.
#include <QObject>
#include <QString>

class QEventLoop;
#include <memory>
#include <string>
#include <thread>

#include "platform/messages.h"

// Shows every box on the user-interface thread: a call from another thread
// waits there until the box was answered. Wraps the sink installed before it.
class UiThreadMessages : public MessageSink {
  public:
    explicit UiThreadMessages(MessageSink& inner) : inner_(inner) {}
    MessageResult show(MessageOwner* owner, const std::string& text, const std::string& caption,
                       MessageIcon icon, MessageButtons buttons) override;

  private:
    MessageSink& inner_;
};

class UpgradeWorker : public QObject {
    Q_OBJECT
  public:
    UpgradeWorker(std::string nvmPath, std::string pibPath, QObject* parent = nullptr);
    // Waits for a thread still running (after asking it to stop).
    ~UpgradeWorker() override;

    // Clears upgradeCancelRequested and starts the thread. False when it could
    // not be started (nothing then runs).
    bool start();
    bool running() const { return thread_.joinable() && !joined_; }
    bool finishedOk() const { return result_; }
    // Runs the event loop (without user input) until the thread has ended,
    // then joins it. Message boxes the worker asks for are shown meanwhile.
    void waitUntilFinished();

  signals:
    void hideFileDialog();
    void closeProgress();
    void afterUpgrade();
    void finished(bool upgraded);

  private:
    void onFinished(bool upgraded);
    void joinThread();

    std::string nvmPath_;
    std::string pibPath_;
    std::thread thread_;
    std::unique_ptr<UiThreadMessages> messages_;
    MessageSink* previousSink_ = nullptr;
    QEventLoop* waiting_ = nullptr;
    bool joined_ = false;
    bool ended_ = false;
    bool result_ = false;
};
