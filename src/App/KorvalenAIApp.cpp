#include "App/KorvalenAIApp.h"

#include "App/KorvalenAIAppDelegate.h"
#include "App/MainWindow.h"
#include "App/QuitSignalBridge.h"
#include "Model/KorvalenAILogger.h"
#include "Platform/Inference/BlasThreading.h"
#include "State/BenchmarkStore.h"
#include "Views/Theme.h"

#include <QApplication>

namespace korvalen {

int KorvalenAIApp::main(int argc, char** argv)
{
    // Decided once, before any product: OpenBLAS runs every call on its caller's thread.
    nn::BlasThreading::applyPolicy();
    QApplication app(argc, argv);
    QApplication::setApplicationName("Korvalen AI");
    QApplication::setApplicationDisplayName("Korvalen AI");
    Theme::applyToApplication();
    // Closing the last window goes through the delegate like every other quit request.
    QApplication::setQuitOnLastWindowClosed(false);

    // Signals arriving during start-up (the profile takes a moment) are held until the loop runs.
    QuitSignalBridge quitSignals;

    Settings settings;
    KorvalenAIAppDelegate delegate;
    BenchmarkStoreServices services = BenchmarkStoreServices::standard();
    services.settings = settings;
    services.applicationIsTerminating = [&delegate] { return delegate.terminationPending(); };
    BenchmarkStore store(std::move(services));

    MainWindow window(store, delegate, settings);
    window.restoreFrameAndShow();
    delegate.applicationDidFinishLaunching();
    QObject::connect(&quitSignals, &QuitSignalBridge::quitRequested, &delegate, [&delegate] { delegate.requestQuit(); });

    const int status = app.exec();
    window.saveFrame();
    delegate.applicationWillTerminate();
    return status;
}

}  // namespace korvalen
