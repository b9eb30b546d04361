#include "State/BenchmarkStore.h"
#include "Views/ContentView.h"
#include "Views/MainResultsView.h"
#include "Views/ScoreDashboardView.h"
#include "Views/SidebarView.h"
#include "Views/Theme.h"
#include "support/FakeBenchmarkEngine.h"
#include "support/QtTestApp.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>

using namespace korvalen;
using korvalen::test::processEventsUntil;
using korvalen::testing::FakeBenchmarkEngine;

namespace {

struct ContentViewTest : ::testing::Test {
    QTemporaryDir dir;
    NotificationCenter notifications;
    FakeBenchmarkEngine engine;

    void SetUp() override { korvalen::test::qtApp(true); }

    std::unique_ptr<BenchmarkStore> makeStore(AISystemProfile profile = korvalen::testing::comparableSystem())
    {
        return std::make_unique<BenchmarkStore>(
            engine.storeServices(notifications, dir.path() + "/data", dir.path() + "/settings.conf", profile));
    }
};

int indexOf(QComboBox* box, const QString& text) { return box->findText(text); }

TEST_F(ContentViewTest, StartingFromTheSidebarFillsTheResultsWhileTheWindowStaysLive)
{
    auto store = makeStore();
    ContentView view(*store);
    view.resize(1200, 780);
    view.show();
    SidebarView* sidebar = view.sidebar();
    MainResultsView* results = view.results();

    emit sidebar->modePicker()->activated(indexOf(sidebar->modePicker(), "Complete AI"));
    emit sidebar->acceleratorPicker()->activated(indexOf(sidebar->acceleratorPicker(), "CPU"));
    EXPECT_EQ(store->selectedMode(), AIRunMode::complete);
    EXPECT_EQ(store->selectedBackend(), AIBackend::cpu);
    EXPECT_FALSE(sidebar->compareGPUsToggle()->isEnabled()) << "GPUs are compared only with all backends";

    engine.holdItems(true);
    sidebar->startButton()->click();
    ASSERT_TRUE(processEventsUntil([&] { return engine.itemsStarted() == 1; }));
    EXPECT_FALSE(sidebar->startButton()->isEnabled());
    EXPECT_TRUE(sidebar->stopButton()->isEnabled());
    EXPECT_FALSE(sidebar->modePicker()->isEnabled());
    EXPECT_TRUE(sidebar->statusLabel()->text().startsWith("Running Image Classification on CPU (1 of 3)"))
        << sidebar->statusLabel()->text().toStdString();
    engine.holdItems(false);

    QTableWidget* table = results->resultsTable();
    ASSERT_TRUE(processEventsUntil([&] { return !store->isBusy() && table->rowCount() == 3; }));
    EXPECT_EQ(table->item(0, 0)->text().toStdString(), definition(AIWorkloadID::imageClassification).title);
    EXPECT_EQ(table->item(0, 1)->text(), "CPU");
    EXPECT_EQ(table->item(0, 2)->text(), "1000");
    EXPECT_EQ(results->scoreDashboard()->overallText(), "1000");
    EXPECT_TRUE(results->sessionTitle()->text().startsWith("Complete AI"));
    EXPECT_TRUE(sidebar->startButton()->isEnabled());
    EXPECT_FALSE(sidebar->stopButton()->isEnabled());
    EXPECT_EQ(sidebar->progressBar()->value(), sidebar->progressBar()->maximum());
    ASSERT_EQ(sidebar->historyList()->count(), 1);
    EXPECT_TRUE(sidebar->historyList()->item(0)->isSelected());

    // Filtering by category hides the other rows.
    QComboBox* filter = results->categoryFilter();
    filter->setCurrentIndex(filter->findText("AI Compute"));
    EXPECT_EQ(table->rowCount(), 1);
    filter->setCurrentIndex(0);
    EXPECT_EQ(table->rowCount(), 3);
}

TEST_F(ContentViewTest, ClearingUnloadsTheSessionAndTheHistoryBringsItBack)
{
    auto store = makeStore();
    ContentView view(*store);
    view.show();
    view.sidebar()->startButton()->click();
    ASSERT_TRUE(processEventsUntil([&] { return !store->isBusy() && !store->hasActiveRunTask(); }));

    store->clearCurrent();
    EXPECT_FALSE(store->currentSession());
    EXPECT_EQ(view.sidebar()->statusLabel()->text(), "Ready");
    EXPECT_TRUE(view.sidebar()->historyList()->selectedItems().isEmpty());

    QListWidget* history = view.sidebar()->historyList();
    emit history->itemClicked(history->item(0));
    ASSERT_TRUE(store->currentSession());
    EXPECT_EQ(store->currentSession()->id, store->history().front().id);
    EXPECT_EQ(view.results()->resultsTable()->rowCount(), 3);
}

// Renders the window with a full session into $KORVALEN_SCREENSHOT_DIR, to look at it.
TEST_F(ContentViewTest, Screenshot)
{
    const QByteArray out = qgetenv("KORVALEN_SCREENSHOT_DIR");
    if (out.isEmpty())
        GTEST_SKIP() << "set KORVALEN_SCREENSHOT_DIR to render the window";
    AISystemProfile profile = korvalen::testing::comparableSystem();
    profile.cpuName = "AMD EPYC 7B13 64-Core Processor";
    profile.architecture = "x86_64";
    profile.physicalCores = 4;
    profile.logicalCores = 8;
    profile.memoryGB = 31.3;
    profile.osVersion = "Debian GNU/Linux 12 (bookworm) 6.1.0";
    profile.gpuName = "cpu-haswell-AMD EPYC 7B13 64-Core Processor";
    profile.gpuProfiles = std::vector<AIGPUProfile>{{.name = profile.gpuName, .registryID = 4242, .unifiedMemory = true,
                                                     .recommendedWorkingSetMB = 24000}};
    engine.state().workloads = workloadIDs(AIRunMode::quick);
    engine.state().edit = [](const AIExecutionItem& item, std::vector<AIBenchmarkResult> results) {
        // Spread the scores so the view shows realistic variety.
        const double factor = 0.55 + 0.09 * static_cast<double>(static_cast<int>(item.workload.id) % 11);
        for (auto& r : results) {
            r.score *= factor;
            r.throughput *= factor;
            r.latency.medianMS /= factor;
            r.latency.p99MS = r.latency.medianMS * 1.18;
        }
        if (item.workload.id == AIWorkloadID::llmTokenGeneration) {
            results[0].valid = false;
            results[0].score = 0;
            results[0].certifiedForComparison = false;
            results[0].error = "Accuracy validation failed: logits checksum mismatch";
        }
        if (item.workload.id == AIWorkloadID::matrixFP16) {
            results[0].certifiedForComparison = false;
            results[0].certificationNotes = std::vector<std::string>{"Latency stability was outside the comparison threshold (CV 7.9%)"};
        }
        return results;
    };
    Theme::applyToApplication();
    auto store = makeStore(profile);
    ContentView view(*store);
    view.resize(1280, 820);
    view.show();
    view.grab().save(QString::fromLocal8Bit(out) + "/empty-window.png");
    store->start();
    ASSERT_TRUE(processEventsUntil([&] { return !store->isBusy() && !store->hasActiveRunTask(); }));
    processEventsUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_TRUE(view.grab().save(QString::fromLocal8Bit(out) + "/main-window.png"));
    view.resize(960, 620);
    processEventsUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(view.size(), QSize(960, 620)) << "the content fits the smallest window";
    EXPECT_TRUE(view.grab().save(QString::fromLocal8Bit(out) + "/smallest-window.png"));
}

}  // namespace
