#include "Platform/Async/Async.h"

#include <QCoreApplication>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace korvalen::detail {

namespace {

// Benchmark items run for minutes; a pool of their own keeps them from queueing behind (or
// starving) Qt's global pool, and its threads are reused so no thread starts inside a measurement.
QThreadPool& workerPool()
{
    static QThreadPool* pool = [] {
        auto* p = new QThreadPool;
        p->setMaxThreadCount(std::max(16, QThread::idealThreadCount() * 2));
        return p;
    }();
    return *pool;
}

QObject& mainContext()
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        std::fputs("Korvalen AI: a main-thread task needs a running QCoreApplication\n", stderr);
        std::abort();
    }
    return *app;
}

void finishSleep(const std::shared_ptr<SleepState>& state, bool completed)
{
    if (state->finished) return;
    state->finished = true;
    state->completed = completed;
    state->flag.forget(state->wakerKey);
    if (auto* timer = static_cast<QTimer*>(state->timer)) {
        timer->stop();
        timer->deleteLater();
        state->timer = nullptr;
    }
    state->continuation.resume();
}

}  // namespace

void reportDetachedTaskFailure(std::exception_ptr error) noexcept
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Korvalen AI: a background task ended with an error: %s\n", e.what());
    } catch (...) {
        std::fputs("Korvalen AI: a background task ended with an unknown error\n", stderr);
    }
}

void startOnWorker(std::function<void()> work)
{
    workerPool().start(std::move(work));
}

void resumeOnMain(std::coroutine_handle<> handle)
{
    QMetaObject::invokeMethod(
        &mainContext(), [handle] { handle.resume(); }, Qt::QueuedConnection);
}

void startSleep(const std::shared_ptr<SleepState>& state, std::chrono::milliseconds duration)
{
    QObject& context = mainContext();
    auto* timer = new QTimer(&context);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    state->timer = timer;
    QObject::connect(timer, &QTimer::timeout, &context, [state] { finishSleep(state, true); });
    timer->start(std::max<std::chrono::milliseconds::rep>(0, duration.count()));
    // The flag may be set on any thread: the wake-up always travels through the event loop, so the
    // coroutine resumes on the main thread and never inside the caller of cancel().
    QObject* contextPtr = &context;
    state->wakerKey = state->flag.onCancel([state, contextPtr] {
        QMetaObject::invokeMethod(
            contextPtr, [state] { finishSleep(state, false); }, Qt::QueuedConnection);
    });
}

}  // namespace korvalen::detail
