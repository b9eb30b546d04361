#include "Platform/Async/Async.h"
#include "support/QtTestApp.h"

#include <gtest/gtest.h>

#include <QThread>
#include <QTimer>

#include <stdexcept>
#include <thread>

using namespace korvalen;
using namespace std::chrono_literals;
using korvalen::test::processEventsUntil;
using korvalen::test::qtApp;

namespace {

struct AsyncTest : ::testing::Test {
    void SetUp() override { qtApp(); }
};

Task<int> doubledOnWorker(int x, Qt::HANDLE* workerThread, Qt::HANDLE* resumedThread)
{
    int result = co_await runDetached([x, workerThread] {
        *workerThread = QThread::currentThreadId();
        return x * 2;
    });
    *resumedThread = QThread::currentThreadId();
    co_return result;
}

TEST_F(AsyncTest, DetachedWorkRunsOffTheMainThreadAndResumesOnIt)
{
    Qt::HANDLE worker = nullptr, resumed = nullptr;
    std::optional<int> seen;
    auto outer = [&]() -> Task<> { seen = co_await doubledOnWorker(21, &worker, &resumed); };
    Task<> task = outer();
    EXPECT_FALSE(task.isDone()) << "the hand-off must suspend, not run inline";
    ASSERT_TRUE(processEventsUntil([&] { return task.isDone(); }));
    EXPECT_EQ(seen, 42);
    EXPECT_NE(worker, QThread::currentThreadId());
    EXPECT_EQ(resumed, QThread::currentThreadId());
}

TEST_F(AsyncTest, CapturedValuesSurviveTheHandOffExactlyOnce)
{
    // Copies of owning values travel to the worker and back; each is destroyed once (a double
    // destruction would abort here or corrupt the heap).
    std::string seen;
    auto run = [&](std::vector<std::string> words) -> Task<> {
        auto join = [words] {
            std::string all;
            for (const auto& w : words) all += w;
            return all;
        };
        seen = co_await runDetached(join);
    };
    Task<> task = run({std::string(40, 'a'), std::string(40, 'b')});
    ASSERT_TRUE(processEventsUntil([&] { return task.isDone(); }));
    EXPECT_EQ(seen, std::string(40, 'a') + std::string(40, 'b'));
}

TEST_F(AsyncTest, MainThreadKeepsServingEventsWhileWorkerIsBusy)
{
    std::atomic<bool> release{false};
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (++ticks == 3) release = true;
    });
    ticker.start(5);
    auto run = [&]() -> Task<> {
        co_await runDetached([&release] {
            while (!release) std::this_thread::sleep_for(1ms);
        });
    };
    Task<> task = run();
    ASSERT_TRUE(processEventsUntil([&] { return task.isDone(); }));
    EXPECT_GE(ticks, 3);
}

TEST_F(AsyncTest, FailuresTravelToTheAwaitingCoroutine)
{
    std::string caught;
    auto inner = []() -> Task<int> {
        co_await runDetached([]() -> int { throw std::runtime_error("worker failed"); });
        co_return 1;
    };
    auto outer = [&]() -> Task<> {
        try {
            co_await inner();
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
    };
    Task<> task = outer();
    ASSERT_TRUE(processEventsUntil([&] { return task.isDone(); }));
    EXPECT_EQ(caught, "worker failed");

    // A failing task nobody awaits must neither throw into the event loop nor leak.
    auto failing = []() -> Task<> {
        co_await sleepFor(1ms);
        throw std::runtime_error("unobserved");
    };
    failing().detach();
    processEventsUntil([] { return false; }, 20ms);  // reaching the next line is the check
}

struct LifeCounter {
    int* alive;
    explicit LifeCounter(int* a) : alive(a) { ++*alive; }
    ~LifeCounter() { --*alive; }
};

TEST_F(AsyncTest, DetachedTasksRunToTheEndAndFreeThemselves)
{
    int alive = 0;
    bool finished = false;
    auto body = [](int* alive, bool* finished) -> Task<> {
        LifeCounter guard(alive);
        co_await sleepFor(5ms);
        co_await runDetached([] {});
        *finished = true;
    };
    body(&alive, &finished).detach();
    EXPECT_EQ(alive, 1);
    ASSERT_TRUE(processEventsUntil([&] { return finished; }));
    EXPECT_EQ(alive, 0) << "the coroutine frame of a detached task is freed when it ends";

    // Dropping the handle of an unfinished task detaches it as well.
    finished = false;
    {
        Task<> dropped = body(&alive, &finished);
    }
    ASSERT_TRUE(processEventsUntil([&] { return finished; }));
    EXPECT_EQ(alive, 0);
}

TEST_F(AsyncTest, SleepEndsAfterItsDurationOrEarlyWhenCancelled)
{
    std::optional<bool> full, interrupted, already;
    auto sleeper = [](std::chrono::milliseconds d, CancelFlag flag, std::optional<bool>* out) -> Task<> {
        *out = co_await sleepFor(d, flag);
    };

    Task<> a = sleeper(10ms, {}, &full);
    EXPECT_FALSE(a.isDone());
    ASSERT_TRUE(processEventsUntil([&] { return a.isDone(); }));
    EXPECT_EQ(full, true);

    // Cancelled from another thread: resumes on the main thread long before the hour is up.
    CancelFlag flag;
    Task<> b = sleeper(std::chrono::hours(1), flag, &interrupted);
    std::thread([flag] { flag.cancel(); }).join();
    EXPECT_FALSE(b.isDone()) << "a cancel must not resume the coroutine inside the canceller";
    ASSERT_TRUE(processEventsUntil([&] { return b.isDone(); }, 2s));
    EXPECT_EQ(interrupted, false);

    // A flag set beforehand does not suspend at all.
    Task<> c = sleeper(std::chrono::hours(1), flag, &already);
    EXPECT_TRUE(c.isDone());
    EXPECT_EQ(already, false);
}

TEST_F(AsyncTest, CancelFlagWakesEachWaiterOnceAndForgetsFinishedOnes)
{
    CancelFlag flag;
    int calls = 0;
    auto kept = flag.onCancel([&] { ++calls; });
    auto forgotten = flag.onCancel([&] { calls += 100; });
    flag.forget(forgotten);
    flag.cancel();
    flag.cancel();
    EXPECT_EQ(calls, 1);
    (void)kept;
    flag.onCancel([&] { ++calls; });  // already set: called at once
    EXPECT_EQ(calls, 2);
}

}  // namespace
