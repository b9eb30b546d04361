#include "App/KorvalenAIApp.h"

#include "App/KorvalenAIAppDelegate.h"
#include "App/MainWindow.h"
#include "App/QuitSignalBridge.h"
#include "Execution/CPU/AllocatorPolicy.h"
#include "Model/KorvalenAILogger.h"
#include "Platform/Inference/BlasThreading.h"
#include "State/BenchmarkStore.h"
#include "State/InstanceLock.h"
#include "Views/Theme.h"

#include <QApplication>
#include <QMessageBox>

namespace korvalen {

int KorvalenAIApp::main(int argc, char** argv)
{
    // Decided once, before any product: OpenBLAS runs every call on its caller's thread.
    nn::BlasThreading::applyPolicy();
    // Also before any thread: freed kernel buffers stay in the allocator instead of faulting again.
    AllocatorPolicy::apply();
    QApplication app(argc, argv);
    QApplication::setApplicationName("Korvalen AI");
    // No display name: on X11 Qt appends it to every window title that does not end with it, and
    // the titles already carry the name where it belongs ("Korvalen AI — Image Classification").
    Theme::applyToApplication();
    // Closing the last window goes through the delegate like every other quit request.
    QApplication::setQuitOnLastWindowClosed(false);

    // A second instance on the same data folder would save over the first one's history: it
    // says so and leaves before reading or writing anything there.
    InstanceLock instanceLock(SessionPersistence::defaultFolder());
    if (instanceLock.tryAcquire() == InstanceLock::Outcome::heldByAnother) {
        KorvalenAILogger::warning("APP_ALREADY_RUNNING lock=" + instanceLock.lockPath().toStdString());
        QMessageBox::information(nullptr, "Korvalen AI",
                                 "Korvalen AI is already running. Only one window can use its history at a time.");
        return 0;
    }

    // Signals arriving during start-up (the profile takes a moment) are held until the loop runs.
    QuitSignalBridge quitSignals;

    Settings settings;
    KorvalenAIAppDelegate delegate;
    BenchmarkStoreServices services = BenchmarkStoreServices::standard();
    services.settings = settings;
    services.applicationIsTerminating = [&delegate] { return delegate.terminationPending(); };
    // The window first: a large history fills in when it has been read.
    services.loadHistoryInBackground = true;
    BenchmarkStore store(std::move(services));

    MainWindow window(store, delegate, settings);
    window.restoreFrameAndShow();
    delegate.applicationDidFinishLaunching();
    QObject::connect(&quitSignals, &QuitSignalBridge::quitRequested, &delegate,
                     [&delegate] { delegate.requestQuit(); });

    const int status = app.exec();
    window.saveFrame();
    delegate.applicationWillTerminate();
    return status;
}

}  // namespace korvalen
