#include "Assistant/Views/AssistantBubble.h"
#include "Assistant/Views/AssistantPane.h"
#include "Assistant/Views/AssistantProviderSelector.h"
#include "Model/AIRecordsJSON.h"
#include "State/BenchmarkStore.h"
#include "State/SessionPersistence.h"
#include "Views/ContentView.h"
#include "Views/MainResultsView.h"
#include "Views/ScoreDashboardView.h"
#include "Views/SidebarView.h"
#include "Views/Theme.h"
#include "support/FakeBenchmarkEngine.h"
#include "support/FileBytes.h"
#include "support/QtTestApp.h"
#include "support/ScreenInk.h"
#include "support/SessionBuilders.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QStandardItemModel>
#include <QStyleOption>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

using namespace korvalen;
using korvalen::test::processEventsUntil;
using korvalen::testing::FakeBenchmarkEngine;

namespace {

struct ContentViewTest : ::testing::Test {
    QTemporaryDir dir;
    NotificationCenter notifications;
    FakeBenchmarkEngine engine;

    void SetUp() override
    {
        korvalen::test::qtApp(true);
        Theme::applyToApplication();
    }

    // In a folder of its own under `subfolder`, with a history of its own.
    std::unique_ptr<BenchmarkStore> makeStore(AISystemProfile profile = korvalen::testing::comparableSystem(),
                                              const QString& subfolder = {})
    {
        const QString root = dir.path() + "/" + subfolder;
        return std::make_unique<BenchmarkStore>(
            engine.storeServices(notifications, root + "/data", root + "/settings.conf", profile));
    }
};

int indexOf(QComboBox* box, const QString& text)
{
    return box->findText(text);
}

// The text a table cell shows after eliding, worked out the way the cell's delegate draws it.
QString shownText(QTableWidget* table, int row, int column)
{
    struct Access : QStyledItemDelegate {
        static void init(const QStyledItemDelegate* delegate, QStyleOptionViewItem* option, const QModelIndex& index)
        {
            (delegate->*&Access::initStyleOption)(option, index);
        }
    };
    const auto* delegate =
        qobject_cast<const QStyledItemDelegate*>(table->itemDelegateForIndex(table->model()->index(row, column)));
    const QModelIndex index = table->model()->index(row, column);
    QStyleOptionViewItem option;
    option.initFrom(table->viewport());
    option.widget = table;
    option.rect = table->visualRect(index);
    option.font = table->font();
    option.textElideMode = table->textElideMode();
    const int icon = table->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, table);
    option.decorationSize = QSize(icon, icon);
    Access::init(delegate, &option, index);
    const QRect area = table->style()->subElementRect(QStyle::SE_ItemViewItemText, &option, table);
    const int margin = table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table) + 1;
    return QFontMetrics(option.font).elidedText(option.text, option.textElideMode, area.width() - 2 * margin);
}

// Grey levels of a widget's pixels inside `area`: what is left of a rendering once colour is removed.
std::vector<std::vector<int>> greyLevels(QWidget& widget, QRect area)
{
    const QImage image = widget.grab().toImage().convertToFormat(QImage::Format_Grayscale8);
    std::vector<std::vector<int>> rows;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        rows.emplace_back();
        for (int x = area.left(); x <= area.right(); ++x) rows.back().push_back(qGray(image.pixel(x, y)));
    }
    return rows;
}

// Drags the divider between the results and the assistant as a mouse would, to `y` in the splitter.
void dragDivider(QSplitter* split, int y)
{
    QSplitterHandle* handle = split->handle(1);
    const QPoint grab = handle->rect().center();
    const QPoint target = split->mapToGlobal(QPoint(grab.x(), y));
    QMouseEvent press(QEvent::MouseButtonPress, grab, handle->mapToGlobal(grab), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent move(QEvent::MouseMove, handle->mapFromGlobal(target), target, Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, handle->mapFromGlobal(target), target, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    for (QMouseEvent* event : {&press, &move, &release}) QCoreApplication::sendEvent(handle, event);
    QCoreApplication::processEvents();
}

// What a reader of the results and the assistant must see whole, wherever the divider is: every
// assistant control at its hinted height, the score cards' texts unsqueezed and clear of the
// table, the table's first `rows` rows and the newest message's first `lines` lines.
void expectLegible(ContentView& view, int rows, int lines)
{
    MainResultsView* results = view.results();
    AssistantPane* pane = results->assistantPane();
    for (QWidget* control : pane->findChildren<QWidget*>()) {
        if (!control->isVisible() || !(qobject_cast<QAbstractButton*>(control) || qobject_cast<QComboBox*>(control) ||
                                       qobject_cast<QLineEdit*>(control)))
            continue;
        EXPECT_GE(control->height(), control->sizeHint().height())
            << control->metaObject()->className() << " " << control->property("text").toString().toStdString();
    }
    QTableWidget* table = results->resultsTable();
    for (QWidget* card :
         {static_cast<QWidget*>(results->scoreDashboard()), static_cast<QWidget*>(results->hardwareProfile())}) {
        for (QLabel* label : card->findChildren<QLabel*>()) {
            if (!label->isVisible()) continue;
            const int needed = label->wordWrap() ? label->heightForWidth(label->width()) : label->sizeHint().height();
            EXPECT_GE(label->height(), needed) << label->text().toStdString();
            EXPECT_TRUE(label->parentWidget()->rect().contains(label->geometry())) << label->text().toStdString();
        }
        EXPECT_LT(card->mapTo(&view, QPoint(0, card->height())).y(), table->mapTo(&view, QPoint(0, 0)).y());
    }
    EXPECT_GE(table->viewport()->height(), rows * table->rowHeight(0));
    // A line's height as the message's text view lays text out: one line more, less one line.
    const AssistantBubbleText* newest = pane->bubbles().back()->textView();
    AssistantBubbleText probe;
    probe.setFont(newest->font());
    probe.setText("x\nx");
    const int twoLines = probe.heightForWidth(400);
    probe.setText("x");
    const int line = twoLines - probe.heightForWidth(400);
    const QWidget* conversation = pane->conversation()->viewport();
    EXPECT_LE(newest->mapTo(conversation, QPoint(0, lines * line)).y(), conversation->height());
}

TEST_F(ContentViewTest, TheResultsAndTheLocalModelControlsStayLegibleWhereverTheDividerIs)
{
    auto store = makeStore();
    store->setShowLiveVisualizations(false);
    store->selectAssistantProvider(AIAssistantProvider::localModel);
    const Settings settings(dir.path() + "/settings.conf");
    auto view = std::make_unique<ContentView>(*store, settings);
    view->show();
    view->sidebar()->startButton()->click();
    ASSERT_TRUE(processEventsUntil([&] { return !store->isBusy() && !store->hasActiveRunTask(); }));
    QSplitter* split = view->results()->splitter();

    const struct {
        QSize size;
        int rows, lines;
    } sizes[] = {{QSize(1280, 820), 4, 5}, {QSize(960, 620), 2, 2}};
    for (const auto& [size, rows, lines] : sizes) {
        SCOPED_TRACE(std::to_string(size.width()) + "x" + std::to_string(size.height()));
        view->resize(size);
        QCoreApplication::processEvents();
        expectLegible(*view, rows, lines);
        dragDivider(split, 0);
        expectLegible(*view, 2, lines);
        dragDivider(split, split->height());
        expectLegible(*view, 2, 2);
    }

    // Where the user left the divider is where a new window puts it.
    dragDivider(split, split->height() - 340);
    const int pane = split->sizes().value(1);
    view = std::make_unique<ContentView>(*store, settings);
    view->resize(960, 620);
    view->show();
    QCoreApplication::processEvents();
    EXPECT_EQ(view->results()->splitter()->sizes().value(1), pane);
}

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

    // Filtering by category hides the other rows; a category with nothing in it says so.
    QComboBox* filter = results->categoryFilter();
    filter->setCurrentIndex(filter->findText("AI Compute"));
    EXPECT_EQ(table->rowCount(), 1);
    EXPECT_FALSE(results->emptyFilterNotice()->isVisible());
    filter->setCurrentIndex(filter->findText("AI Training"));
    EXPECT_EQ(table->rowCount(), 0);
    EXPECT_TRUE(results->emptyFilterNotice()->isVisible());
    EXPECT_EQ(results->emptyFilterNotice()->text(), "Nothing in AI Training was measured in this session.");
    filter->setCurrentIndex(0);
    EXPECT_EQ(table->rowCount(), 3);
    EXPECT_FALSE(results->emptyFilterNotice()->isVisible());
}

TEST_F(ContentViewTest, EveryColumnToCertifiedStaysInViewAndTitlesKeepTheirEnds)
{
    engine.state().workloads = workloadIDs(AIRunMode::quick);
    engine.state().edit = [](const AIExecutionItem&, std::vector<AIBenchmarkResult> results) {
        // Each workload also on a GPU with a long device name and a note, as on a real machine.
        AIBenchmarkResult gpu = results.front();
        gpu.backend = AIBackend::gpu;
        gpu.gpuName = "pthread-skylake-avx512-Intel(R) Xeon(R) Processor";
        gpu.certificationNotes = std::vector<std::string>{"Latency stability was outside the certified range"};
        results.insert(results.begin(), gpu);
        return results;
    };
    auto store = makeStore();
    store->setShowLiveVisualizations(false);  // the table is what is looked at here
    ContentView view(*store);
    view.resize(960, 620);
    view.show();
    view.sidebar()->startButton()->click();
    ASSERT_TRUE(processEventsUntil([&] { return !store->isBusy() && !store->hasActiveRunTask(); }));
    QTableWidget* table = view.results()->resultsTable();
    ASSERT_GT(table->rowCount(), 8);
    const QScrollBar* rows = table->verticalScrollBar();
    EXPECT_GT(rows->maximum(), 0);
    EXPECT_EQ(rows->value(), rows->maximum()) << "the table followed the newest result";

    for (const QSize size : {QSize(1280, 820), QSize(960, 620)}) {
        SCOPED_TRACE(std::to_string(size.width()) + "x" + std::to_string(size.height()));
        view.resize(size);
        QCoreApplication::processEvents();
        const int viewport = table->viewport()->width();
        QHeaderView* header = table->horizontalHeader();
        for (int c = 0; c <= 7; ++c) {  // Workload to Certified
            EXPECT_GE(header->sectionViewportPosition(c), 0) << c;
            EXPECT_LE(header->sectionViewportPosition(c) + header->sectionSize(c), viewport) << c;
        }
        // Whole at the default size; shortened near the minimum, but no two workloads look alike.
        std::map<QString, QString> shownTitles;
        for (int r = 0; r < table->rowCount(); ++r) {
            const QString title = table->item(r, 0)->text(), shown = shownText(table, r, 0);
            if (size.width() == 1280) {
                EXPECT_EQ(shown, title);
            }
            shownTitles[title] = shown;
        }
        std::set<QString> distinct;
        for (const auto& [title, shown] : shownTitles)
            EXPECT_TRUE(distinct.insert(shown).second) << shown.toStdString();
        const QString fp32 = shownTitles[QString::fromStdString(definition(AIWorkloadID::matrixFP32).title)];
        EXPECT_TRUE(fp32.endsWith("FP32")) << fp32.toStdString();
        EXPECT_EQ(shownText(table, 0, 6), "✓") << "Valid shows whole";
    }
}

TEST_F(ContentViewTest, CheckStatesDifferInShapeNotOnlyInColour)
{
    QWidget window;
    auto* box = new QCheckBox("Compare all backends", &window);
    auto* toggle = new QCheckBox("Live visualizations", &window);
    toggle->setObjectName("SwitchToggle");
    toggle->move(0, 40);
    window.resize(300, 80);
    window.show();
    const auto indicator = [](QCheckBox* check) {
        QStyleOptionButton option;
        option.initFrom(check);
        return check->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, check);
    };
    // A check box: a mark inside the box when checked, an even box when not.
    const QRect inside = indicator(box).adjusted(4, 4, -4, -4);
    const auto spread = [](const std::vector<std::vector<int>>& grey) {
        int low = 255, high = 0;
        for (const auto& row : grey)
            for (int v : row) low = std::min(low, v), high = std::max(high, v);
        return high - low;
    };
    box->setChecked(false);
    EXPECT_LT(spread(greyLevels(*box, inside)), 20);
    box->setChecked(true);
    EXPECT_GT(spread(greyLevels(*box, inside)), 80) << "no tick inside the checked box";

    // The switch: its knob, the brightest part, sits left when off and right when on.
    const QRect track = indicator(toggle);
    const auto knobCentre = [&] {
        const auto grey = greyLevels(*toggle, track);
        int high = 0;
        for (const auto& row : grey)
            for (int v : row) high = std::max(high, v);
        double sum = 0, count = 0;
        for (const auto& row : grey)
            for (std::size_t x = 0; x < row.size(); ++x)
                if (row[x] >= high - 25) sum += double(x), ++count;
        return sum / count / double(track.width());
    };
    toggle->setChecked(false);
    EXPECT_LT(knobCentre(), 0.35);
    toggle->setChecked(true);
    EXPECT_GT(knobCentre(), 0.65);
}

// The assistant's status lines are the quiet secondary ink of the theme, not the answer's text colour.
TEST_F(ContentViewTest, TheAssistantStatusLinesAreSecondaryText)
{
    auto store = makeStore();
    store->selectAssistantProvider(AIAssistantProvider::localModel);
    ContentView view(*store);
    view.resize(1280, 820);
    view.show();
    QCoreApplication::processEvents();
    AssistantPane* pane = view.results()->assistantPane();
    for (QLabel* label : {pane->statusLabel(), pane->managerStatusLabel()}) {
        label->setText("Local model stopped");
        const QColor ink = test::inkOf(label);
        EXPECT_TRUE(test::nearColour(ink, QColor(0x8b, 0x95, 0xa7))) << ink.name().toStdString();
    }
}

TEST_F(ContentViewTest, TabVisitsEachControlOnceAndShortcutsStartAndStop)
{
    auto store = makeStore();
    ContentView view(*store);
    view.resize(1280, 820);
    view.show();
    SidebarView* sidebar = view.sidebar();
    MainResultsView* results = view.results();
    const auto tab = [&] {
        QKeyEvent key(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
        QCoreApplication::sendEvent(view.focusWidget(), &key);
        return view.focusWidget();
    };
    sidebar->startButton()->setFocus();
    EXPECT_NE(tab(), sidebar->historyList()) << "an empty history is no tab stop";
    sidebar->startButton()->click();
    ASSERT_TRUE(processEventsUntil([&] { return !store->isBusy() && !store->hasActiveRunTask(); }));

    // Disabled controls (Compare all GPUs, Stop) are skipped; the table is one stop.
    const std::vector<QWidget*> expected{sidebar->modePicker(),
                                         sidebar->acceleratorPicker(),
                                         sidebar->compareBackendsToggle(),
                                         sidebar->liveVisualizationsToggle(),
                                         sidebar->startButton(),
                                         sidebar->historyList(),
                                         results->categoryFilter(),
                                         results->clearButton(),
                                         results->resultsTable()};
    sidebar->modePicker()->setFocus();
    for (std::size_t i = 1; i < expected.size(); ++i)
        EXPECT_EQ(tab(), expected[i]) << "step " << i << ": " << view.focusWidget()->metaObject()->className();
    // After the table the assistant's controls, each once, then back to the start.
    std::set<QWidget*> assistantStops;
    QWidget* next = tab();
    for (int guard = 0; next != sidebar->modePicker() && guard < 30; ++guard, next = tab()) {
        EXPECT_TRUE(results->assistantPane()->isAncestorOf(next)) << next->metaObject()->className();
        EXPECT_TRUE(assistantStops.insert(next).second) << "visited twice: " << next->metaObject()->className();
    }
    EXPECT_EQ(next, sidebar->modePicker());
    EXPECT_FALSE(assistantStops.empty());
    QTableWidget* table = results->resultsTable();
    table->setFocus();
    table->setCurrentCell(0, 0);
    QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    QCoreApplication::sendEvent(table, &down);
    EXPECT_EQ(table->currentRow(), 1) << "arrows move inside the table";

    // The shortcuts act as the buttons do, and the buttons' tool tips tell them.
    QAction *start = nullptr, *stop = nullptr;
    for (QAction* action : sidebar->actions()) {
        if (action->shortcut() == SidebarView::startShortcut()) start = action;
        if (action->shortcut() == SidebarView::stopShortcut()) stop = action;
    }
    ASSERT_TRUE(start && stop);
    EXPECT_TRUE(sidebar->startButton()->toolTip().contains("Ctrl+R"));
    engine.holdItems(true);
    start->trigger();
    ASSERT_TRUE(store->isBusy());
    start->trigger();  // ignored while a run is busy
    EXPECT_EQ(results->assistantPane()->selector()->segment(AIAssistantProvider::localModel)->cursor().shape(),
              Qt::ArrowCursor)
        << "a blocked provider choice does not invite a click";
    stop->trigger();
    EXPECT_TRUE(std::holds_alternative<AIRunState::Stopping>(store->runState().value));
    engine.holdItems(false);
    ASSERT_TRUE(processEventsUntil([&] { return !store->isBusy() && !store->hasActiveRunTask(); }));
}

// The run's buttons, pressed from the keyboard, hand focus to each other and never down the chain to
// the results' filter, where typed letters would change what the table shows.
TEST_F(ContentViewTest, TheRunsButtonsHandFocusToEachOther)
{
    enum class During { nothing, stopPressed, composerClicked };
    for (const During during : {During::nothing, During::stopPressed, During::composerClicked}) {
        SCOPED_TRACE(static_cast<int>(during));
        auto store = makeStore();
        ContentView view(*store);
        view.show();
        SidebarView* sidebar = view.sidebar();
        QComboBox* filter = view.results()->categoryFilter();
        QLineEdit* composer = view.results()->assistantPane()->composer();
        const auto press = [](QPushButton* button) {
            button->setFocus(Qt::TabFocusReason);
            button->click();
        };
        // Space too while the run stops: it would press a button or pick a choice handed the focus.
        const auto typeKeys = [&](bool space) {
            for (const auto& [key, text] : {std::pair{Qt::Key_A, "a"}, std::pair{Qt::Key_Space, " "}})
                for (auto type : {QEvent::KeyPress, QEvent::KeyRelease}) {
                    if (key == Qt::Key_Space && !space) continue;
                    QKeyEvent event(type, key, Qt::NoModifier, text);
                    QCoreApplication::sendEvent(view.focusWidget(), &event);
                }
        };
        const int category = filter->currentIndex();
        engine.holdItems(true);
        press(sidebar->startButton());
        ASSERT_TRUE(store->isBusy());
        EXPECT_EQ(view.focusWidget(), sidebar->stopButton());
        if (during == During::stopPressed) {
            press(sidebar->stopButton());
            ASSERT_TRUE(std::holds_alternative<AIRunState::Stopping>(store->runState().value));
            EXPECT_EQ(view.focusWidget(), sidebar) << "neither Start nor Stop is usable while the run stops";
            typeKeys(true);
        }
        if (during == During::composerClicked) composer->setFocus(Qt::MouseFocusReason);
        engine.holdItems(false);
        ASSERT_TRUE(processEventsUntil([&] { return !store->isBusy() && !store->hasActiveRunTask(); }));
        // The run's end takes focus only from its own Stop.
        EXPECT_EQ(view.focusWidget(),
                  during == During::composerClicked ? static_cast<QWidget*>(composer) : sidebar->startButton());
        typeKeys(false);
        EXPECT_EQ(filter->currentIndex(), category);
    }
}

// A click does its one action and leaves the keyboard in the composer: the words typed next are the
// next question, and no Space repeats the click.
TEST_F(ContentViewTest, AClickLeavesTheKeyboardWhereTheUserTypes)
{
    using Step = std::function<void(BenchmarkStore&, ContentView&)>;
    const auto settled = [](BenchmarkStore& store) {
        ASSERT_TRUE(processEventsUntil([&] { return !store.isBusy() && !store.hasActiveRunTask(); }));
    };
    struct Row {
        const char* what;
        Step click;   // with the mouse, while the composer holds the keyboard
        Step expect;  // once the words are typed and the run, if any, has ended
    };
    const Step nothing = [](BenchmarkStore& store, ContentView&) { EXPECT_TRUE(store.history().empty()); };
    const Row rows[] = {
        {"Start Benchmark",
         [&](BenchmarkStore&, ContentView& v) { QTest::mouseClick(v.sidebar()->startButton(), Qt::LeftButton); },
         [](BenchmarkStore& store, ContentView&) { EXPECT_EQ(store.history().size(), 1u) << "the run is kept"; }},
        {"the run's Stop",
         [&](BenchmarkStore& store, ContentView& v) {
             store.start();
             QTest::mouseClick(v.sidebar()->stopButton(), Qt::LeftButton);
             engine.holdItems(false);
             settled(store);
         },
         [](BenchmarkStore& store, ContentView&) {
             EXPECT_FALSE(store.isBusy()) << "no new run";
             EXPECT_TRUE(store.history().empty());
         }},
        {"a mode chosen from the list",
         [](BenchmarkStore&, ContentView& v) {
             QComboBox* modes = v.sidebar()->modePicker();
             QTest::mouseClick(modes, Qt::LeftButton);
             ASSERT_TRUE(processEventsUntil([&] { return modes->view()->isVisible(); }));
             // A release within a double click of the opening press is taken as part of it and
             // ignored, however late it comes on a loaded machine: click until the list takes one.
             const QRect item = modes->view()->visualRect(modes->model()->index(1, 0));
             ASSERT_TRUE(processEventsUntil([&] {
                 if (modes->view()->isVisible())
                     QTest::mouseClick(modes->view()->viewport(), Qt::LeftButton, {}, item.center(), 20);
                 return !modes->view()->isVisible();
             }));
         },
         [](BenchmarkStore& store, ContentView&) { EXPECT_EQ(store.selectedMode(), AIRunMode::complete); }},
        {"a check box",
         [](BenchmarkStore&, ContentView& v) {
             QTest::mouseClick(v.sidebar()->compareBackendsToggle(), Qt::LeftButton);
         },
         [](BenchmarkStore& store, ContentView& v) {
             EXPECT_TRUE(store.compareAllBackends());
             EXPECT_TRUE(v.sidebar()->compareBackendsToggle()->isChecked());
         }},
        {"the conversation's empty space",
         [](BenchmarkStore&, ContentView& v) {
             QWidget* viewport = v.results()->assistantPane()->conversation()->viewport();
             QPoint empty(viewport->width() - 2, 2);
             ASSERT_EQ(viewport->childAt(empty), v.results()->assistantPane()->conversation()->widget());
             QTest::mouseClick(viewport->childAt(empty), Qt::LeftButton, {},
                               viewport->childAt(empty)->mapFrom(viewport, empty));
         },
         nothing},
        {"the conversation's scroll bar",
         [](BenchmarkStore& store, ContentView& v) {
             QScrollArea* conversation = v.results()->assistantPane()->conversation();
             for (int i = 0; i < 3 && !conversation->verticalScrollBar()->isVisible(); ++i) {
                 store.sendAssistantMessage("Why is my GPU slower?");
                 ASSERT_TRUE(processEventsUntil([&] { return !store.assistant().isResponding(); }));
             }
             QScrollBar* bar = conversation->verticalScrollBar();
             ASSERT_TRUE(bar->isVisible());
             const int value = bar->value();
             // On the groove, clear of the handle: a page towards the end that has more.
             const int y = value < bar->maximum() ? bar->height() - 4 : 4;
             QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() / 2, y));
             EXPECT_NE(bar->value(), value) << "the click scrolled";
         },
         nothing},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto store = makeStore(korvalen::testing::comparableSystem(), row.what);
        ContentView view(*store);
        view.show();
        view.activateWindow();
        ASSERT_TRUE(processEventsUntil([&] { return view.isActiveWindow(); }));
        QLineEdit* composer = view.results()->assistantPane()->composer();
        QTest::mouseClick(composer, Qt::LeftButton);  // a text field still takes the keyboard on a click
        engine.holdItems(true);
        row.click(*store, view);
        // The main window's own focus: a run's scene window may be the active one meanwhile.
        EXPECT_EQ(view.focusWidget(), composer);
        QTest::keyClicks(view.focusWidget(), "and why is that");
        EXPECT_EQ(composer->text(), "and why is that");
        engine.holdItems(false);
        settled(*store);
        row.expect(*store, view);
    }
}

// Whatever holds the keyboard shows it, the red Stops too.
TEST_F(ContentViewTest, EveryStopShowsTheKeyboardFocus)
{
    auto store = makeStore();
    ContentView view(*store);
    view.show();
    view.activateWindow();
    ASSERT_TRUE(processEventsUntil([&] { return view.isActiveWindow(); }));
    AssistantPane* pane = view.results()->assistantPane();
    const auto showsFocus = [&](QPushButton* button) {
        ASSERT_TRUE(button->isEnabled()) << button->text().toStdString();
        button->setFocus(Qt::TabFocusReason);
        const QImage focused = button->grab().toImage();
        pane->composer()->setFocus(Qt::TabFocusReason);
        EXPECT_NE(focused, button->grab().toImage()) << button->text().toStdString();
    };
    showsFocus(view.sidebar()->startButton());
    // No event runs between the question and the look: the answer is still pending.
    store->sendAssistantMessage("Why is my GPU slower?");
    showsFocus(pane->stopButton());
    ASSERT_TRUE(processEventsUntil([&] { return !store->assistant().isResponding(); }));
    engine.holdItems(true);
    store->start();
    showsFocus(view.sidebar()->stopButton());
    store->stop();
    engine.holdItems(false);
    ASSERT_TRUE(processEventsUntil([&] { return !store->isBusy() && !store->hasActiveRunTask(); }));
}

TEST_F(ContentViewTest, UnavailableChoicesAreDisabledAndTitlesSayWhatRan)
{
    AISystemProfile machine = korvalen::testing::comparableSystem();
    machine.neuralEngineAvailable = false;
    machine.neuralEngineProbe = "CPU + Neural Engine probe failed: no such unit";
    auto store = makeStore(machine);
    ContentView view(*store);
    view.show();
    QComboBox* accelerator = view.sidebar()->acceleratorPicker();
    const auto* items = qobject_cast<QStandardItemModel*>(accelerator->model());
    const QStandardItem* neural = items->item(accelerator->findText("Neural Engine Preferred"));
    EXPECT_FALSE(neural->isEnabled());
    EXPECT_TRUE(neural->toolTip().contains("no such unit")) << neural->toolTip().toStdString();
    EXPECT_TRUE(items->item(accelerator->findText("CPU"))->isEnabled());

    store->setCompareAllBackends(true);
    EXPECT_FALSE(accelerator->isEnabled()) << "every backend is compared";
    view.sidebar()->startButton()->click();
    ASSERT_TRUE(processEventsUntil([&] { return !store->isBusy() && !store->hasActiveRunTask(); }));
    EXPECT_EQ(view.results()->sessionTitle()->text(), "Quick AI  ·  all backends compared");
    EXPECT_TRUE(view.sidebar()->historyList()->item(0)->text().endsWith("All backends"));
    ASSERT_EQ(view.sidebar()->progressBar()->value(), view.sidebar()->progressBar()->maximum());

    // A start that is refused does not leave the last run's full bar beside its message.
    engine.state().workloads.clear();
    view.sidebar()->startButton()->click();
    EXPECT_FALSE(store->isBusy());
    EXPECT_EQ(view.sidebar()->progressBar()->value(), 0);
}

TEST_F(ContentViewTest, TheKeyboardOpensSessionsFromTheHistoryAndPressesButtons)
{
    auto store = makeStore();
    ContentView view(*store);
    view.show();
    for (int run = 0; run < 2; ++run) {
        view.sidebar()->startButton()->click();
        ASSERT_TRUE(processEventsUntil([&] { return !store->isBusy() && !store->hasActiveRunTask(); }));
    }
    QListWidget* history = view.sidebar()->historyList();
    ASSERT_EQ(history->count(), 2);
    QLabel* status = view.sidebar()->statusLabel();
    EXPECT_TRUE(status->text().startsWith("Completed")) << status->text().toStdString();
    const auto press = [](QWidget* widget, Qt::Key key) {
        widget->setFocus();
        QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier, key == Qt::Key_Space ? " " : "\r");
        QCoreApplication::sendEvent(widget, &event);
    };

    // Opening another session leaves the last run's status and bar behind.
    history->setCurrentItem(history->item(1));
    press(history, Qt::Key_Space);
    ASSERT_TRUE(store->currentSession());
    EXPECT_EQ(store->currentSession()->id, store->history()[1].id);
    EXPECT_EQ(status->text(), "Ready");
    EXPECT_EQ(view.sidebar()->progressBar()->value(), 0);
    history->setCurrentItem(history->item(0));
    press(history, Qt::Key_Return);
    EXPECT_EQ(store->currentSession()->id, store->history()[0].id);
    EXPECT_EQ(view.results()->resultsTable()->rowCount(), 3);

    press(view.results()->clearButton(), Qt::Key_Return);
    EXPECT_FALSE(store->currentSession());
    EXPECT_TRUE(history->selectedItems().isEmpty());
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

    // A second damaged file is kept under a long dated name: it wraps inside the sidebar, never cut.
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("[{\"partial session data\"");
    broken.close();
    auto again = makeStore();
    ContentView wide(*again);
    wide.resize(1280, 820);
    wide.show();
    QLabel* dated = wide.sidebar()->historyNoticeLabel();
    ASSERT_TRUE(processEventsUntil([&] { return again->historyNotice().contains("history.corrupt-"); }));
    EXPECT_LE(dated->minimumSizeHint().width(), dated->width()) << dated->text().toStdString();
    EXPECT_EQ(dated->text().remove(QChar(0x200B)), again->historyNotice());
}

// A history changed outside is kept aside under its whole path, which the user needs to find its runs:
// at every window size the notice reads whole (scrolled where the room is short) above the list, and
// the list shows whole rows only, wherever it is scrolled.
TEST_F(ContentViewTest, TheKeptHistoryNoticeReadsWholeAndTheListShowsWholeRowsAtEverySize)
{
    const QString data = dir.path() + "/a rather deeply nested folder/of the user data of several programs/Korvalen AI";
    SessionPersistence persistence(data);
    std::vector<AIBenchmarkSession> saved;
    for (int i = 0; i < 6; ++i) saved.push_back(korvalen::testing::sampleSession(10 + i));
    ASSERT_TRUE(persistence.save(saved));
    ASSERT_TRUE(persistence.save(saved));
    korvalen::test::writeAll(persistence.historyPath(), "[{\"truncated");
    auto store = std::make_unique<BenchmarkStore>(engine.storeServices(
        notifications, data, dir.path() + "/settings.conf", korvalen::testing::comparableSystem()));
    ContentView view(*store);
    view.resize(960, 620);
    view.show();
    std::vector<AIBenchmarkSession> changed = store->history();
    changed.insert(changed.begin(), korvalen::testing::sampleSession(2));
    korvalen::test::writeAll(persistence.historyPath(), QByteArray::fromStdString(toJSON(changed).dump()));
    view.sidebar()->startButton()->click();
    ASSERT_TRUE(processEventsUntil([&] { return !store->isBusy() && !store->hasActiveRunTask(); }));
    ASSERT_TRUE(store->historyNotice().contains(data + "/history.changed-")) << store->historyNotice().toStdString();

    SidebarView* sidebar = view.sidebar();
    QLabel* notice = sidebar->historyNoticeLabel();
    QListWidget* list = sidebar->historyList();
    ASSERT_EQ(list->count(), 7);
    for (const QSize size :
         {QSize(960, 620), QSize(1099, 700), QSize(1100, 620), QSize(1280, 820), QSize(1400, 1000)}) {
        SCOPED_TRACE(std::to_string(size.width()) + "x" + std::to_string(size.height()));
        view.resize(size);
        QCoreApplication::processEvents();
        EXPECT_EQ(notice->text().remove(QChar(0x200B)), store->historyNotice());
        EXPECT_GE(notice->height(), notice->heightForWidth(notice->width())) << "laid out whole";
        const QRect inView = notice->visibleRegion().boundingRect();
        const int hidden = notice->height() - inView.height();
        if (hidden > 0) {
            QScrollArea* area = nullptr;
            for (QWidget* w = notice->parentWidget(); w && !area; w = w->parentWidget())
                area = qobject_cast<QScrollArea*>(w);
            ASSERT_TRUE(area) << "cut with no way to scroll to the rest";
            EXPECT_GE(area->verticalScrollBar()->maximum(), hidden);
            EXPECT_TRUE(notice->textInteractionFlags() & Qt::TextSelectableByMouse);
        }
        const int noticeBottom = notice->mapTo(sidebar, inView.bottomLeft()).y();
        EXPECT_LT(noticeBottom, list->mapTo(sidebar, QPoint(0, 0)).y()) << "above the list";

        const QRect viewport = list->viewport()->rect();
        EXPECT_LE(list->mapTo(sidebar, QPoint(0, list->height())).y(), sidebar->height());
        QScrollBar* bar = list->verticalScrollBar();
        for (int value = bar->minimum(); value <= bar->maximum(); ++value) {
            bar->setValue(value);
            int whole = 0;
            for (int i = 0; i < list->count(); ++i) {
                const QRect rect = list->visualItemRect(list->item(i));
                if (!rect.intersects(viewport)) continue;
                EXPECT_TRUE(viewport.contains(rect)) << "row " << i << " sliced at scroll " << value;
                ++whole;
            }
            EXPECT_GE(whole, 1);
        }
        bar->setValue(bar->minimum());
    }
}

}  // namespace

namespace {

// Saved sessions of 1, 2 and 40 results with 1, 2 and 3 certification notes.
TEST_F(ContentViewTest, TheHeaderCountsInTheRightNumberAndAnotherSessionStartsAtItsTop)
{
    const auto saved = [](int minutesAgo, std::vector<AIWorkloadID> workloads, int notes) {
        AIBenchmarkSession session = korvalen::testing::sampleSession(minutesAgo, std::move(workloads));
        session.certificationNotes = std::vector<std::string>(notes, "Thermal state changed.");
        return session;
    };
    const std::vector<AIBenchmarkSession> sessions{
        saved(1, {AIWorkloadID::matrixFP32}, 1),
        saved(2, {AIWorkloadID::matrixFP32, AIWorkloadID::imageClassification}, 2),
        saved(3, workloadIDs(AIRunMode::extended), 3),
        saved(4, workloadIDs(AIRunMode::extended), 1),
    };
    ASSERT_TRUE(SessionPersistence(dir.path() + "/data").save(sessions));
    auto store = makeStore();
    ContentView view(*store);
    view.resize(1200, 780);
    view.show();
    ASSERT_TRUE(processEventsUntil([&] { return store->historyLoaded(); }));
    const struct {
        int session;
        const char* counts;
    } cases[] = {
        {0, "  ·  1 result  ·  Thermal state changed."},
        {1, "  ·  2 results  ·  Thermal state changed. (+1 note)"},
        {2, " results  ·  Thermal state changed. (+2 notes)"},
    };
    for (const auto& c : cases) {
        store->showSession(sessions[c.session].id);
        EXPECT_TRUE(view.results()->sessionSubtitle()->text().endsWith(c.counts))
            << view.results()->sessionSubtitle()->text().toStdString();
    }
    EXPECT_EQ(view.sidebar()->historyList()->item(0)->toolTip(), "1 result");
    EXPECT_EQ(view.sidebar()->historyList()->item(1)->toolTip(), "2 results");

    // Scrolled down to half a row in one long session, then another: it shows its first row whole.
    QScrollBar* scroll = view.results()->resultsTable()->verticalScrollBar();
    ASSERT_TRUE(processEventsUntil([&] { return scroll->maximum() > 100; }));
    scroll->setValue(scroll->maximum() / 2 + 7);
    store->showSession(sessions[3].id);
    EXPECT_EQ(scroll->value(), 0);
    // The same session shown again keeps the reader's place.
    scroll->setValue(40);
    store->showSession(sessions[3].id);
    EXPECT_EQ(scroll->value(), 40);
    // Unloaded, then opened again: it is opened anew.
    store->clearCurrent();
    store->showSession(sessions[3].id);
    EXPECT_EQ(scroll->value(), 0);
}

}  // namespace
