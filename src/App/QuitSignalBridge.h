#pragma once

#include <QObject>

class QSocketNotifier;

namespace korvalen {

// Turns SIGTERM and SIGINT into a quit request on the main thread. The handler only writes one
// byte into a socket pair (all a signal handler may safely do); the event loop reads it.
class QuitSignalBridge : public QObject {
    Q_OBJECT

public:
    explicit QuitSignalBridge(QObject* parent = nullptr);
    ~QuitSignalBridge() override;

    bool isInstalled() const { return notifier_ != nullptr; }

signals:
    void quitRequested(int signalNumber);

private:
    void drain();
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace korvalen
