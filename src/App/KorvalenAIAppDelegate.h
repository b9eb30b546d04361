#pragma once

#include "Platform/Foundation/NotificationCenter.h"

#include <QObject>

#include <functional>
#include <vector>

namespace korvalen {

// Decides when the application may quit. It counts the operations that must finish first (runs
// and local-model downloads, announced by their start and finish notifications) and answers a quit
// request with "now" when none is active, otherwise with "later": it then asks them to stop
// ("KorvalenAIStopRequested", once) and quits when the last one has finished.
class KorvalenAIAppDelegate : public QObject {
    Q_OBJECT

public:
    // `quit` ends the application (default: leave the event loop).
    explicit KorvalenAIAppDelegate(NotificationCenter& notifications = NotificationCenter::defaultCenter(),
                                   std::function<void()> quit = {}, QObject* parent = nullptr);
    ~KorvalenAIAppDelegate() override;

    int activeOperations() const { return activeOperations_; }
    // True from a deferred quit request until the application may quit.
    bool terminationPending() const { return terminationPending_; }

    // Every quit request (keyboard, menu, last window closed, SIGTERM or SIGINT) comes here.
    // True when the application quits now; false when the quit waits for running work.
    bool requestQuit();

    // After the first window is shown.
    void applicationDidFinishLaunching();
    // Right before the application ends.
    void applicationWillTerminate();

signals:
    void terminationPendingChanged(bool pending);

private:
    void operationStarted();
    void operationFinished();
    void onMainThread(std::function<void()> work);

    NotificationCenter& notifications_;
    std::function<void()> quit_;
    int activeOperations_ = 0;
    bool terminationPending_ = false;
    bool stopRequested_ = false;
    bool quitting_ = false;
    std::vector<ScopedObserver> observers_;
};

}  // namespace korvalen
