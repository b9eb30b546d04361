#include "App/KorvalenAIAppDelegate.h"
#include "Model/KorvalenAILogger.h"
#include "Model/NotificationNames.h"
#include "State/BenchmarkStore.h"
#include "support/FakeBenchmarkEngine.h"
#include "support/QtTestApp.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <thread>

using namespace korvalen;
using korvalen::test::processEventsUntil;

namespace {

struct DelegateTest : ::testing::Test {
    NotificationCenter notifications;
    int quits = 0;
    int stopRequests = 0;
    ScopedObserver stopObserver;

    void SetUp() override
    {
        korvalen::test::qtApp(true);
        stopObserver = ScopedObserver(notifications, NotificationName::korvalenAIStopRequested,
                                      [this](const Notification&) { ++stopRequests; });
    }
    std::unique_ptr<KorvalenAIAppDelegate> makeDelegate()
    {
        return std::make_unique<KorvalenAIAppDelegate>(notifications, [this] { ++quits; });
    }
};

TEST_F(DelegateTest, QuitsAtOnceWhenNothingIsRunning)
{
    auto delegate = makeDelegate();
    EXPECT_TRUE(delegate->requestQuit());
    EXPECT_EQ(quits, 1);
    EXPECT_FALSE(delegate->terminationPending());
    EXPECT_EQ(stopRequests, 0);
}

TEST_F(DelegateTest, DefersTheQuitAsksOnceToStopAndQuitsWhenTheLastOperationEnds)
{
    auto delegate = makeDelegate();
    notifications.post(NotificationName::korvalenAIRunDidStart);
    notifications.post(NotificationName::korvalenAILocalAIOperationDidStart);
    EXPECT_EQ(delegate->activeOperations(), 2);

    EXPECT_FALSE(delegate->requestQuit());
    EXPECT_TRUE(delegate->terminationPending());
    EXPECT_FALSE(delegate->requestQuit());  // a second Ctrl+Q or signal
    EXPECT_EQ(stopRequests, 1) << "the stop request goes out once";
    EXPECT_EQ(quits, 0);

    notifications.post(NotificationName::korvalenAIRunDidFinish);
    EXPECT_EQ(quits, 0);
    notifications.post(NotificationName::korvalenAILocalAIOperationDidFinish);
    EXPECT_EQ(quits, 1);
    notifications.post(NotificationName::korvalenAIRunDidFinish);  // stray: no second quit
    EXPECT_EQ(quits, 1);
}

TEST_F(DelegateTest, CountNeverGoesBelowZero)
{
    auto delegate = makeDelegate();
    notifications.post(NotificationName::korvalenAIRunDidFinish);
    notifications.post(NotificationName::korvalenAILocalAIOperationDidFinish);
    EXPECT_EQ(delegate->activeOperations(), 0);
    notifications.post(NotificationName::korvalenAIRunDidStart);
    EXPECT_EQ(delegate->activeOperations(), 1) << "earlier stray finishes must not swallow a real start";
    EXPECT_FALSE(delegate->requestQuit());
}

TEST_F(DelegateTest, NotificationsFromAnotherThreadAreCountedOnTheMainThread)
{
    auto delegate = makeDelegate();
    std::thread([this] { notifications.post(NotificationName::korvalenAIRunDidStart); }).join();
    ASSERT_TRUE(processEventsUntil([&] { return delegate->activeOperations() == 1; }));
}

TEST_F(DelegateTest, AQuitDuringARunStopsTheRunAndQuitsWhenItHasEnded)
{
    QTemporaryDir dir;
    korvalen::testing::FakeBenchmarkEngine engine;
    auto delegate = makeDelegate();
    BenchmarkStoreServices services = engine.storeServices(notifications, dir.path(), dir.path() + "/settings.conf");
    services.applicationIsTerminating = [&] { return delegate->terminationPending(); };
    BenchmarkStore store(std::move(services));

    engine.holdItems(true);
    store.start();
    ASSERT_TRUE(processEventsUntil([&] { return engine.itemsStarted() == 1; }));
    EXPECT_FALSE(delegate->requestQuit());
    EXPECT_TRUE(std::holds_alternative<AIRunState::Stopping>(store.runState().value));
    store.start();  // while the quit is pending: refused
    ASSERT_TRUE(processEventsUntil([&] { return quits == 1; }));
    EXPECT_FALSE(store.isBusy());
    EXPECT_EQ(engine.itemsStarted(), 1);
    store.start();
    EXPECT_FALSE(store.isBusy()) << "no new run once the application is quitting";
}

}  // namespace
