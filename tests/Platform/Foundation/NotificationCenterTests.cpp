#include "Platform/Foundation/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace korvalen;

TEST(NotificationCenter, DeliversByNameInRegistrationOrderOnThePostingThread)
{
    NotificationCenter center;
    std::vector<std::string> calls;
    const auto poster = std::this_thread::get_id();
    center.addObserver("A", [&](const Notification& n) {
        EXPECT_EQ(std::this_thread::get_id(), poster);
        calls.push_back("first " + n.name);
    });
    center.addObserver("B", [&](const Notification& n) { calls.push_back("other " + n.name); });
    center.addObserver("A", [&](const Notification& n) { calls.push_back("second " + n.name); });

    center.post("A");
    center.post("Nobody");
    EXPECT_EQ(calls, (std::vector<std::string>{"first A", "second A"}));
    EXPECT_EQ(center.observerCount("A"), 2u);
    EXPECT_EQ(center.observerCount("Nobody"), 0u);
}

TEST(NotificationCenter, RemovalStopsDeliveryAndUnknownTokensAreRefused)
{
    NotificationCenter center;
    int calls = 0;
    const auto token = center.addObserver("A", [&](const Notification&) { ++calls; });
    center.post("A");
    EXPECT_TRUE(center.removeObserver(token));
    EXPECT_FALSE(center.removeObserver(token));
    EXPECT_FALSE(center.removeObserver(ObserverToken{}));
    center.post("A");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(center.observerCount("A"), 0u);

    {
        ScopedObserver scoped(center, "A", [&](const Notification&) { ++calls; });
        ScopedObserver moved = std::move(scoped);
        center.post("A");
    }
    center.post("A");
    EXPECT_EQ(calls, 2);
}

TEST(NotificationCenter, ObserversMayChangeRegistrationsDuringDelivery)
{
    NotificationCenter center;
    std::vector<std::string> calls;
    ObserverToken self, later;
    self = center.addObserver("A", [&](const Notification&) {
        calls.push_back("self");
        center.removeObserver(self);
        center.removeObserver(later);  // not yet called in this delivery: must not be
        center.addObserver("A", [&](const Notification&) { calls.push_back("added"); });
        center.post("B");  // posting from inside a delivery must not deadlock
    });
    later = center.addObserver("A", [&](const Notification&) { calls.push_back("later"); });
    center.addObserver("A", [&](const Notification&) { calls.push_back("last"); });
    center.addObserver("B", [&](const Notification&) { calls.push_back("B"); });

    center.post("A");
    EXPECT_EQ(calls, (std::vector<std::string>{"self", "B", "last"}));
    calls.clear();
    center.post("A");
    EXPECT_EQ(calls, (std::vector<std::string>{"last", "added"}));
}

TEST(NotificationCenter, ObserverOwningStateSurvivesItsOwnRemoval)
{
    NotificationCenter center;
    auto owned = std::make_shared<std::string>("kept");
    ObserverToken token;
    std::string seen;
    token = center.addObserver("A", [&, owned](const Notification&) {
        center.removeObserver(token);  // the running callback's captures must stay valid
        seen = *owned;
    });
    owned.reset();
    center.post("A");
    EXPECT_EQ(seen, "kept");
}

TEST(NotificationCenter, ConcurrentPostsAndRegistrationsAreSafe)
{
    NotificationCenter center;
    std::atomic<int> delivered{0};
    center.addObserver("Run", [&](const Notification&) { delivered.fetch_add(1); });

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) center.post("Run");
        });
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                const auto token = center.addObserver("Run", [](const Notification&) {});
                center.removeObserver(token);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(delivered.load(), 2000);
    EXPECT_EQ(center.observerCount("Run"), 1u);
}
