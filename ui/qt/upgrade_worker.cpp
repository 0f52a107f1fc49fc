#include "ui/qt/upgrade_worker.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <system_error>

#include "maintenance/av_maintenance.h"
#include "ui/device_dialogs_logic.h"

MessageResult UiThreadMessages::show(MessageOwner* owner, const std::string& text,
                                     const std::string& caption, MessageIcon icon,
                                     MessageButtons buttons) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() == app->thread())
        return inner_.show(owner, text, caption, icon, buttons);
    MessageResult answer = MessageResult::Cancel;
    QMetaObject::invokeMethod(
        app, [&] { answer = inner_.show(owner, text, caption, icon, buttons); },
        Qt::BlockingQueuedConnection);
    return answer;
}

UpgradeWorker::UpgradeWorker(std::string nvmPath, std::string pibPath, QObject* parent)
    : QObject(parent), nvmPath_(std::move(nvmPath)), pibPath_(std::move(pibPath)) {
    connect(this, &UpgradeWorker::finished, this, &UpgradeWorker::onFinished, Qt::QueuedConnection);
}

UpgradeWorker::~UpgradeWorker() {
    if (thread_.joinable() && !joined_) {
        upgradeCancelRequested.store(true);
        waitUntilFinished();
    }
}

bool UpgradeWorker::start() {
    if (thread_.joinable())
        return false;
    upgradeCancelRequested.store(false);
    previousSink_ = &messageSink();
    messages_ = std::make_unique<UiThreadMessages>(*previousSink_);
    setMessageSink(messages_.get());
    UpgradeWorkerHooks hooks;
    hooks.hideFileDialog = [this] { emit hideFileDialog(); };
    hooks.closeProgress = [this] { emit closeProgress(); };
    hooks.afterUpgrade = [this] { emit afterUpgrade(); };
    try {
        thread_ = std::thread([this, hooks] {
            bool upgraded = runUpgradeWorker(nvmPath_, pibPath_, hooks);
            emit finished(upgraded);
        });
    } catch (const std::system_error&) {
        setMessageSink(previousSink_);
        messages_.reset();
        return false;
    }
    return true;
}

void UpgradeWorker::onFinished(bool upgraded) {
    result_ = upgraded;
    ended_ = true;
    joinThread();
    if (waiting_ != nullptr)
        waiting_->quit();
}

void UpgradeWorker::joinThread() {
    if (joined_ || !thread_.joinable())
        return;
    thread_.join();
    joined_ = true;
    setMessageSink(previousSink_);
    messages_.reset();
}

void UpgradeWorker::waitUntilFinished() {
    if (!thread_.joinable() || joined_)
        return;
    // onFinished (a queued call still to come) joins and ends the loop.
    if (!ended_) {
        QEventLoop loop;
        waiting_ = &loop;
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        waiting_ = nullptr;
    }
    joinThread();
}
