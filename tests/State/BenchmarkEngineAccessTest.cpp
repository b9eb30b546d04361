#include "State/BenchmarkEngineAccess.h"
#include "State/BenchmarkStore.h"
#include "support/FakeRunners.h"
#include "support/QtTestApp.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

using namespace korvalen;
using namespace korvalen::testing;

namespace {

TEST(BenchmarkEngineAccess, PlansWithTheEngineAndRoutesEachItemByItsBackend)
{
    FakeRunners fakes;
    const AIBenchmarkEngine engine = engineWith(fakes, twoGPUMachine());
    const BenchmarkEngineAccess access = BenchmarkEngineAccess::standard();

    const auto plan = access.executionPlan(engine, AIRunMode::quick, AIBackend::automatic, false, false);
    const auto expected = engine.executionPlan(AIRunMode::quick, AIBackend::automatic, false, false);
    ASSERT_EQ(plan.size(), expected.size());
    ASSERT_FALSE(plan.empty());
    EXPECT_EQ(plan.front().backend, AIBackend::automatic);

    // Automatic: brief runs on every backend, then the scored Universal (and maybe Platform) run.
    const auto calibrated = access.runItem(engine, plan.front(), AIRunMode::quick);
    ASSERT_FALSE(calibrated.empty());
    EXPECT_GT(fakes.calls.size(), calibrated.size());
    for (const auto& r : calibrated) {
        EXPECT_TRUE(r.valid);
        EXPECT_NE(r.scoreRole, AIScoreRole::requested);
    }

    // A fixed backend: exactly one measurement and one result carrying the item's role.
    fakes.calls.clear();
    AIExecutionItem fixed = plan.front();
    fixed.backend = AIBackend::cpu;
    fixed.role = AIScoreRole::requested;
    const auto explicitRun = access.runItem(engine, fixed, AIRunMode::quick);
    ASSERT_EQ(explicitRun.size(), 1u);
    EXPECT_EQ(fakes.calls.size(), 1u);
    EXPECT_EQ(explicitRun[0].backend, AIBackend::cpu);
    EXPECT_EQ(explicitRun[0].scoreRole, AIScoreRole::requested);
}

TEST(BenchmarkEngineAccess, AStoreRunThroughTheEngineEndsInAScoredSavedSession)
{
    korvalen::test::qtApp();
    QTemporaryDir dir;
    NotificationCenter notifications;
    auto fakes = std::make_shared<FakeRunners>();
    const BenchmarkEngineAccess real = BenchmarkEngineAccess::standard();

    BenchmarkStoreServices services;
    services.engine.executionPlan = real.executionPlan;
    // The store's engine with this test's runners in place of the machine's.
    services.engine.runItem = [real, fakes](const AIBenchmarkEngine& engine, const AIExecutionItem& item,
                                            AIRunMode mode) {
        AIBenchmarkEngine faked = engine;
        faked.runners = fakes->runners();
        return real.runItem(faked, item, mode);
    };
    services.currentProfile = [] { return twoGPUMachine(); };
    services.persistence = std::make_shared<SessionPersistence>(dir.path());
    services.settings = Settings(dir.path() + "/settings.conf");
    services.notifications = &notifications;
    BenchmarkStore store(std::move(services));

    store.start();
    ASSERT_TRUE(korvalen::test::processEventsUntil([&] { return !store.isBusy() && !store.hasActiveRunTask(); }));
    ASSERT_TRUE(std::holds_alternative<AIRunState::Completed>(store.runState().value));
    const AIBenchmarkSession& session = *store.currentSession();
    EXPECT_GE(session.results.size(), workloadIDs(AIRunMode::quick).size());
    for (const auto& r : session.results)
        EXPECT_TRUE(r.valid) << rawValue(r.workloadID) << ": " << r.error.value_or("");
    EXPECT_GT(session.scores.universalScore(), 0);
    EXPECT_GT(session.scores.overall, 0);
    EXPECT_EQ(SessionPersistence(dir.path()).load().front(), session);
}

}  // namespace
