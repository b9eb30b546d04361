#include "Visualization/AIVisualizationCoordinator.h"

#include "Model/AIWorkloadCatalog.h"
#include "Platform/Async/Async.h"
#include "support/QtTestApp.h"

#include <gtest/gtest.h>

using namespace korvalen;
using namespace std::chrono_literals;

namespace {

// A window controller without a window: it counts its showings and lets a test close it as a user.
class FakeWindow : public AIVisualizationWindowController {
public:
    FakeWindow(const AIVisualizationRequest& request, std::vector<bool>& quietCloses)
        : AIVisualizationWindowController(request, WithoutWindow{}), quietCloses_(quietCloses)
    {}
    void showWindow() override { ++shown; }
    void close() override
    {
        quietCloses_.push_back(closingQuietly);
        ++closes;
        windowWillClose();
    }
    void closeByUser() { close(); }
    int shown = 0, closes = 0;

private:
    std::vector<bool>& quietCloses_;
};

class VisualizationCoordinator : public ::testing::Test {
protected:
    QCoreApplication& app = test::qtApp(true);
    double clock = 100;  // virtual seconds
    std::vector<double> slices;
    std::function<void()> atSlice;
    std::vector<QPointer<FakeWindow>> windows;
    std::vector<bool> quietCloses;  // one entry per close: whether it was quiet
    std::shared_ptr<BenchmarkCancellationToken> token = std::make_shared<BenchmarkCancellationToken>();

    AIVisualizationCoordinator coordinator{
        AIVisualizationCoordinator::Services{[this](const AIVisualizationRequest& request) {
                                                 auto* window = new FakeWindow(request, quietCloses);
                                                 windows.emplace_back(window);
                                                 return window;
                                             },
                                             [this] { return clock; },
                                             [this](std::chrono::nanoseconds d) -> Task<bool> {
                                                 slices.push_back(double(d.count()) / 1e9);
                                                 clock += double(d.count()) / 1e9;
                                                 if (atSlice) atSlice();
                                                 co_await nextEventLoopTurn();
                                                 co_return true;
                                             }}};

    // Runs complete() to its end and gives the virtual time it took.
    double completeItem(std::vector<AIBenchmarkResult> results, bool cancelled = false)
    {
        const double start = clock;
        Task<> task = coordinator.complete(std::move(results), cancelled, token);
        EXPECT_TRUE(test::processEventsUntil([&] { return task.isDone(); }));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return clock - start;
    }

    FakeWindow* current() { return static_cast<FakeWindow*>(coordinator.controller()); }
};

AIBenchmarkResult result(AIBackend backend, double score, bool valid = true, std::optional<AIScoreRole> role = {})
{
    AIBenchmarkResult r;
    r.backend = backend;
    r.score = score;
    r.valid = valid;
    r.scoreRole = role;
    r.throughput = 12.5;
    r.throughputUnit = "tokens/s";
    return r;
}

const AIWorkloadDefinition& workload(AIWorkloadID id)
{
    return definition(id);
}

}  // namespace

TEST_F(VisualizationCoordinator, ShowsTheFrozenSceneThenTheResultForTheHoldThenPauses)
{
    coordinator.prepare(workload(AIWorkloadID::imageClassification), AIBackend::cpu, true);
    ASSERT_TRUE(current());
    EXPECT_EQ(current()->shown, 1);
    EXPECT_EQ(current()->model().phase(), AIVisualizationPhase::scoring);
    EXPECT_EQ(current()->model().request().title, workload(AIWorkloadID::imageClassification).title);
    EXPECT_EQ(current()->model().request().accent, SceneColor::srgb(0.16, 0.78, 0.92));

    QPointer<FakeWindow> window = current();
    std::string shownDuringHold;
    atSlice = [&] { shownDuringHold = window ? window->model().scoreText() : "closed"; };
    // Equal scores: the earlier result is the one shown.
    auto first = result(AIBackend::cpu, 1234.6);
    auto second = result(AIBackend::cpu, 1234.6);
    second.throughput = 99;
    const double took = completeItem({result(AIBackend::cpu, 10, false), first, second});
    EXPECT_NEAR(took, 1.35, 1e-6);
    EXPECT_EQ(shownDuringHold, "closed") << "the last slice is the pause, after the window closed";
    EXPECT_TRUE(std::all_of(slices.begin(), slices.end(), [](double s) { return s <= 0.05 + 1e-12; }));
    EXPECT_FALSE(coordinator.controller());
    EXPECT_FALSE(coordinator.hasPending());
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(quietCloses, std::vector<bool>{true});
}

TEST_F(VisualizationCoordinator, ResultTextsOnTheWindow)
{
    struct Case {
        std::vector<AIBenchmarkResult> results;
        AIBackend backend;
        const char* score;
        const char* throughput;
    };
    const Case cases[] = {
        {{result(AIBackend::cpu, 1234.6)}, AIBackend::cpu, "Score 1235", "12.500 tokens/s"},
        {{result(AIBackend::cpu, 900, false)}, AIBackend::cpu, "Result unavailable", ""},
        {{result(AIBackend::cpu, 900)}, AIBackend::automatic, "Result unavailable", ""},  // no platform role
    };
    for (const auto& c : cases) {
        coordinator.prepare(workload(AIWorkloadID::imageClassification), c.backend, true);
        QPointer<FakeWindow> window = current();
        std::string score, throughput;
        atSlice = [&] {
            if (window && score.empty()) {
                score = window->model().scoreText();
                throughput = window->model().throughputText();
                EXPECT_EQ(window->model().phase(), AIVisualizationPhase::completed);
            }
        };
        completeItem(c.results);
        EXPECT_EQ(score, c.score);
        EXPECT_EQ(throughput, c.throughput);
    }
}

TEST_F(VisualizationCoordinator, StopDuringMeasurementClosesAtOnceWithoutHold)
{
    coordinator.prepare(workload(AIWorkloadID::textEmbeddings), AIBackend::gpu, true);
    FakeWindow* window = current();
    ASSERT_TRUE(window);
    token->cancel();
    coordinator.markStopping();
    EXPECT_EQ(window->model().phase(), AIVisualizationPhase::stopped);
    EXPECT_EQ(window->model().scoreText(), "Stopping after active AI kernel");
    EXPECT_EQ(window->model().throughputText(), "");
    EXPECT_EQ(completeItem({}, true), 0);
    EXPECT_EQ(quietCloses, std::vector<bool>{true});
    EXPECT_FALSE(coordinator.hasPending());
}

TEST_F(VisualizationCoordinator, StopDuringTheHoldEndsItWithinOneSliceAndSkipsThePause)
{
    coordinator.prepare(workload(AIWorkloadID::matrixFP16), AIBackend::gpu, true);
    QPointer<FakeWindow> window = current();
    atSlice = [&] {
        if (clock >= 100.5 && !token->isCancelled()) {
            token->cancel();
            coordinator.markStopping();
            EXPECT_EQ(window->model().phase(), AIVisualizationPhase::stopped);
        }
    };
    const double took = completeItem({result(AIBackend::gpu, 500)});
    EXPECT_LE(took, 0.5 + 0.05 + 1e-9);
    EXPECT_FALSE(window) << "closed and released";
    EXPECT_FALSE(coordinator.hasPending());
}

TEST_F(VisualizationCoordinator, AUserCloseDuringTheHoldIsNotReopenedAndTheRunGoesOn)
{
    coordinator.prepare(workload(AIWorkloadID::matrixFP16), AIBackend::gpu, true);
    QPointer<FakeWindow> window = current();
    atSlice = [&] {
        if (clock >= 100.3 && window && window->closes == 0) window->closeByUser();
    };
    const double took = completeItem({result(AIBackend::gpu, 500)});
    EXPECT_LE(took, 0.3 + 0.1 + 1e-9) << "no full hold and no pause";
    EXPECT_EQ(quietCloses, std::vector<bool>{false});
    EXPECT_EQ(windows.size(), 1u);
    EXPECT_FALSE(coordinator.controller());
    EXPECT_FALSE(coordinator.hasPending());
    // A late complete for the same item changes nothing.
    EXPECT_EQ(completeItem({result(AIBackend::gpu, 500)}), 0);
    EXPECT_EQ(windows.size(), 1u);

    // Closed while measuring on the automatic backend: the GPU's win does not bring a window back.
    coordinator.prepare(workload(AIWorkloadID::imageClassification), AIBackend::automatic, true);
    current()->closeByUser();
    EXPECT_TRUE(test::processEventsUntil([&] { return !coordinator.hasPending(); }));
    EXPECT_EQ(completeItem({result(AIBackend::gpu, 800, true, AIScoreRole::platform)}), 0);
    EXPECT_EQ(windows.size(), 2u);
}

TEST_F(VisualizationCoordinator, AutomaticBackendShowsTheWinnersScene)
{
    // The GPU wins image classification: the classification window gives way to the GPU scene.
    coordinator.prepare(workload(AIWorkloadID::imageClassification), AIBackend::automatic, true);
    QPointer<FakeWindow> first = current();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->model().request().style, AIVisualizationStyle::of(AIVisualizationStyle::Kind::classification));
    AIVisualizationRequest reopened;
    AIVisualizationPhase phase{};
    atSlice = [&] {
        if (auto* w = current()) {
            reopened = w->model().request();
            phase = w->model().phase();
        }
    };
    completeItem({result(AIBackend::cpu, 900, true, AIScoreRole::universal),
                  result(AIBackend::gpu, 800, true, AIScoreRole::universalAndPlatform)});
    ASSERT_EQ(windows.size(), 2u);
    EXPECT_FALSE(first) << "the first window was closed quietly and released";
    EXPECT_EQ(reopened.style, AIVisualizationStyle::gpu(GPUVisualizationStyle::visionClassification));
    EXPECT_EQ(reopened.backend, AIBackend::gpu);
    EXPECT_EQ(phase, AIVisualizationPhase::completed);

    // The CPU wins matrixFP32, which has only a GPU scene: no window at any time.
    coordinator.prepare(workload(AIWorkloadID::matrixFP32), AIBackend::automatic, true);
    EXPECT_FALSE(coordinator.controller());
    EXPECT_TRUE(coordinator.hasPending());
    EXPECT_EQ(completeItem({result(AIBackend::cpu, 700, true, AIScoreRole::platform)}), 0);
    EXPECT_FALSE(coordinator.hasPending());
    EXPECT_EQ(windows.size(), 2u);

    // mixedSustained keeps its dashboard, live, whatever wins.
    coordinator.prepare(workload(AIWorkloadID::mixedSustained), AIBackend::automatic, true);
    QPointer<FakeWindow> dashboard = current();
    ASSERT_TRUE(dashboard);
    EXPECT_EQ(dashboard->model().phase(), AIVisualizationPhase::sustainedLive);
    bool same = true;
    atSlice = [&] { same = same && (!current() || current() == dashboard); };
    completeItem({result(AIBackend::gpu, 700, true, AIScoreRole::platform)});
    EXPECT_TRUE(same);
    EXPECT_EQ(windows.size(), 3u);
}

TEST_F(VisualizationCoordinator, NoWindowWithoutASceneOrWhenDisabled)
{
    coordinator.prepare(workload(AIWorkloadID::textTokenization), AIBackend::automatic, true);
    coordinator.prepare(workload(AIWorkloadID::textEmbeddings), AIBackend::cpu, true);
    EXPECT_FALSE(coordinator.hasPending());
    coordinator.prepare(workload(AIWorkloadID::imageClassification), AIBackend::cpu, false);
    EXPECT_FALSE(coordinator.hasPending());
    EXPECT_TRUE(windows.empty());

    // prepare begins by closing what the last item left.
    coordinator.prepare(workload(AIWorkloadID::imageClassification), AIBackend::cpu, true);
    QPointer<FakeWindow> left = current();
    coordinator.prepare(workload(AIWorkloadID::objectDetection), AIBackend::cpu, true);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(left);
    coordinator.close();
    EXPECT_FALSE(coordinator.controller());
    EXPECT_FALSE(coordinator.hasPending());
}
