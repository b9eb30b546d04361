#include "App/KorvalenAIAppDelegate.h"

#include "Model/KorvalenAILogger.h"
#include "Model/NotificationNames.h"
#include "Platform/Foundation/NumberFormat.h"
#include "Platform/System/ResidentMemory.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>

namespace korvalen {

KorvalenAIAppDelegate::KorvalenAIAppDelegate(NotificationCenter& notifications, std::function<void()> quit,
                                             QObject* parent)
    : QObject(parent), notifications_(notifications), quit_(std::move(quit))
{
    if (!quit_) quit_ = [] { QCoreApplication::exit(0); };
    QPointer<KorvalenAIAppDelegate> self(this);
    auto started = [self](const Notification&) {
        if (self)
            self->onMainThread([self] {
                if (self) self->operationStarted();
            });
    };
    auto finished = [self](const Notification&) {
        if (self)
            self->onMainThread([self] {
                if (self) self->operationFinished();
            });
    };
    observers_.emplace_back(notifications_, NotificationName::korvalenAIRunDidStart, started);
    observers_.emplace_back(notifications_, NotificationName::korvalenAILocalAIOperationDidStart, started);
    observers_.emplace_back(notifications_, NotificationName::korvalenAIRunDidFinish, finished);
    observers_.emplace_back(notifications_, NotificationName::korvalenAILocalAIOperationDidFinish, finished);
}

KorvalenAIAppDelegate::~KorvalenAIAppDelegate() = default;

void KorvalenAIAppDelegate::onMainThread(std::function<void()> work)
{
    // The count belongs to the main thread; a notification posted elsewhere is carried over.
    if (QThread::currentThread() == thread())
        work();
    else
        QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

void KorvalenAIAppDelegate::operationStarted()
{
    ++activeOperations_;
}

void KorvalenAIAppDelegate::operationFinished()
{
    // A finish without its start (a notification from before this delegate existed) must not
    // leave the count negative, or a later quit would wait for work that never ends.
    if (activeOperations_ > 0) --activeOperations_;
    if (terminationPending_ && activeOperations_ == 0 && !quitting_) {
        quitting_ = true;
        KorvalenAILogger::info("APP_TERMINATION_RESUMED");
        quit_();
    }
}

bool KorvalenAIAppDelegate::requestQuit()
{
    if (quitting_) return true;
    if (activeOperations_ == 0) {
        quitting_ = true;
        quit_();
        return true;
    }
    if (!terminationPending_) {
        terminationPending_ = true;
        KorvalenAILogger::info("APP_TERMINATION_DEFERRED activeOperations=" + std::to_string(activeOperations_));
        emit terminationPendingChanged(true);
    }
    if (!stopRequested_) {
        stopRequested_ = true;
        notifications_.post(NotificationName::korvalenAIStopRequested);
    }
    return false;
}

void KorvalenAIAppDelegate::applicationDidFinishLaunching()
{
    KorvalenAILogger::info("APP_LAUNCH_COMPLETE");
}

void KorvalenAIAppDelegate::applicationWillTerminate()
{
    KorvalenAILogger::info("APP_WILL_TERMINATE residentMB=" + formatFixed(sys::residentMB(), 1));
    observers_.clear();
}

}  // namespace korvalen
