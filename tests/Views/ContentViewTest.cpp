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
#include <QDir>
#include <QFile>
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

}  // namespace

namespace {

TEST_F(ContentViewTest, TheHistoryNoticeShowsBesideTheHistoryOnlyWhenThereIsOne)
{
    auto quiet = makeStore();
    ContentView calm(*quiet);
    EXPECT_TRUE(calm.sidebar()->historyNoticeLabel()->isHidden());

    QDir().mkpath(dir.path() + "/data");
    QFile broken(dir.path() + "/data/history.json");
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("not json");
    broken.close();
    auto store = makeStore();
    ContentView view(*store);
    QLabel* notice = view.sidebar()->historyNoticeLabel();
    EXPECT_FALSE(notice->isHidden());
    EXPECT_EQ(notice->text(), "The unreadable history file is kept as history.corrupt.json.");
}

}  // namespace
