#pragma once

// Header-only helpers for tests that need Qt's event loop; include only from test programs that
// link Qt (the shared support library itself stays Qt-free).

#include <QCoreApplication>
#if __has_include(<QApplication>)
#include <QApplication>
#define KORVALEN_TEST_HAS_WIDGETS 1
#endif
#include <QElapsedTimer>
#include <QEventLoop>

#include <chrono>
#include <cstdlib>
#include <functional>

namespace korvalen::test {

// One application object per test program, made on first use on the main thread. A GUI program
// gets a QApplication on the offscreen platform unless the caller chose another one.
inline QCoreApplication& qtApp(bool gui = false)
{
    static int argc = 1;
    static char name[] = "korvalen-tests";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) {
#ifdef KORVALEN_TEST_HAS_WIDGETS
        if (gui) {
            setenv("QT_QPA_PLATFORM", "offscreen", 0);
            new QApplication(argc, argv);
            return *QCoreApplication::instance();
        }
#endif
        (void)gui;
        new QCoreApplication(argc, argv);
    }
    return *QCoreApplication::instance();
}

// Runs the event loop until `done` holds or the time-out passes; gives whether it held. Tests may
// spin the loop this way; the application itself never does.
inline bool processEventsUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout.count()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

}  // namespace korvalen::test
