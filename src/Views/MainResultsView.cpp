#include "Views/MainResultsView.h"

#include "Views/ElidedLabel.h"

#include "Assistant/Views/AssistantPane.h"

#include "State/BenchmarkStore.h"
#include "Views/ResultCard.h"
#include "Views/ScoreDashboardView.h"
#include "Views/Theme.h"
#include "Views/ViewText.h"
#include "Visualization/SymbolGlyph.h"

#include <algorithm>

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace korvalen {

namespace {

constexpr int rowHeight = 30;
// Where the assistant pane's height is kept once the user has moved the divider.
constexpr const char* paneHeightKey = "KorvalenAIAssistantPaneHeight";

enum Column {
    workloadColumn,
    backendColumn,
    scoreColumn,
    throughputColumn,
    medianColumn,
    p99Column,
    validColumn,
    certifiedColumn,
    notesColumn,
    columnCount
};

QString dateText(Date date)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(ms).toString("yyyy-MM-dd HH:mm:ss");
}

QTableWidgetItem* cell(const QString& text, Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter)
{
    auto* item = new QTableWidgetItem(text);
    item->setTextAlignment(alignment);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    return item;
}

// Workload titles often differ only in their last word ("… FP32", "… FP16"): when a title must be
// shortened, that word stays whole and the words before it give way.
QString shortenedTitle(const QString& title, const QFontMetrics& metrics, int width)
{
    if (metrics.horizontalAdvance(title) <= width) return title;
    const qsizetype space = title.lastIndexOf(' ');
    if (space > 0) {
        const QString tail = title.mid(space);
        const int tailWidth = metrics.horizontalAdvance(tail);
        if (tailWidth * 5 <= width * 3)
            return metrics.elidedText(title.left(space), Qt::ElideRight, width - tailWidth) + tail;
    }
    return metrics.elidedText(title, Qt::ElideMiddle, width);
}

// A cell whose text is fitted to the width the cell gives it when painted; measuring the column's
// natural width still sees the whole text.
class FittedTextDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    virtual void fit(QStyleOptionViewItem& option, int width) const = 0;

    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        if (option->rect.isEmpty()) return;
        const QWidget* widget = option->widget;
        const QStyle* style = widget ? widget->style() : QApplication::style();
        const QRect area = style->subElementRect(QStyle::SE_ItemViewItemText, option, widget);
        fit(*option, area.width() - 2 * (style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1));
    }
};

class WorkloadTitleDelegate : public FittedTextDelegate {
public:
    using FittedTextDelegate::FittedTextDelegate;

protected:
    void fit(QStyleOptionViewItem& option, int width) const override
    {
        option.text = shortenedTitle(option.text, option.fontMetrics, width);
    }
};

// A backend with its device ("GPU · OpenCL on CPU") that does not fit shows the backend alone;
// the tool tip names the device in full.
class BackendDelegate : public FittedTextDelegate {
public:
    using FittedTextDelegate::FittedTextDelegate;

protected:
    void fit(QStyleOptionViewItem& option, int width) const override
    {
        const qsizetype device = option.text.indexOf(" · ");
        if (device > 0 && option.fontMetrics.horizontalAdvance(option.text) > width) {
            option.text = option.text.left(device);
            option.textElideMode = Qt::ElideRight;
        }
    }
};

// Notes read from their start.
class LeadingTextDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        option->textElideMode = Qt::ElideRight;
    }
};

}  // namespace

MainResultsView::MainResultsView(BenchmarkStore& store, std::optional<Settings> settings, QWidget* parent)
    : QWidget(parent), store_(store), settings_(std::move(settings))
{
    placeDividerTimer_.setSingleShot(true);
    placeDividerTimer_.setInterval(0);
    connect(&placeDividerTimer_, &QTimer::timeout, this, &MainResultsView::placeDivider);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    // The assistant sits under the results, so the table keeps the whole width for its columns.
    auto* split = new QSplitter(Qt::Vertical, this);
    split_ = split;
    split->setChildrenCollapsible(false);
    outer->addWidget(split);
    pages_ = new QStackedWidget(split);
    split->addWidget(pages_);

    // The first screen: nothing loaded yet.
    auto* empty = new QWidget(pages_);
    auto* emptyLayout = new QVBoxLayout(empty);
    emptyLayout->setContentsMargins(28, 28, 28, 24);
    emptyLayout->setSpacing(10);
    auto* emptyTitle = new QLabel("No session loaded", empty);
    emptyTitle->setObjectName("EmptyTitle");
    auto* emptyText = new QLabel(
        "Choose a run mode and an accelerator, then start a benchmark. Every workload is "
        "validated against a reference, scored against its baseline and checked for "
        "comparability. Saved sessions are listed in the history.",
        empty);
    emptyText->setWordWrap(true);
    emptyText->setProperty("secondary", true);
    emptyHardware_ = new HardwareProfileView(empty);
    emptyHardware_->setMinimumWidth(420);
    emptyHardware_->setMaximumWidth(720);
    emptyLayout->addWidget(emptyTitle);
    emptyLayout->addWidget(emptyText);
    emptyLayout->addSpacing(8);
    emptyLayout->addWidget(emptyHardware_);
    emptyLayout->addStretch(1);
    pages_->addWidget(empty);

    // A loaded session.
    auto* page = new QWidget(pages_);
    auto* layout = new QVBoxLayout(page);
    pageLayout_ = layout;
    layout->setContentsMargins(24, 20, 24, 18);
    layout->setSpacing(12);

    auto* header = new QHBoxLayout;
    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    title_ = new ElidedLabel(page);
    title_->setObjectName("SessionTitle");
    // Wraps rather than cuts: the session's notes are what a reader of the scores must see.
    subtitle_ = new QLabel(page);
    subtitle_->setTextFormat(Qt::PlainText);
    subtitle_->setWordWrap(true);
    subtitle_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    subtitle_->setProperty("secondary", true);
    titles->addWidget(title_);
    titles->addWidget(subtitle_);
    header->addLayout(titles, 1);
    categoryFilter_ = new QComboBox(page);
    categoryFilter_->addItem("All categories", -1);
    for (AICategory category : allCategories)
        categoryFilter_->addItem(
            SymbolGlyph::icon(SymbolGlyph::categorySymbol(category), Theme::categoryColor(category)),
            qs(rawValue(category)), static_cast<int>(category));
    clear_ = new QPushButton("Clear", page);
    header->addWidget(categoryFilter_, 0, Qt::AlignTop);
    header->addWidget(clear_, 0, Qt::AlignTop);
    layout->addLayout(header);

    auto* summary = new QHBoxLayout;
    summary->setSpacing(10);
    dashboard_ = new ScoreDashboardView(page);
    hardware_ = new HardwareProfileView(page);
    hardware_->setMinimumWidth(190);
    summary->addWidget(dashboard_, 3);
    summary->addWidget(hardware_, 2);
    layout->addLayout(summary);

    table_ = new QTableWidget(0, columnCount, page);
    table_->setHorizontalHeaderLabels(
        {"Workload", "Backend", "Score", "Throughput", "Median", "P99", "Valid", "Certified", "Notes"});
    table_->verticalHeader()->setVisible(false);
    table_->setAlternatingRowColors(true);
    table_->setShowGrid(false);
    table_->setWordWrap(false);
    // Titles keep their last word when shortened, backends their name, notes their start.
    table_->setTextElideMode(Qt::ElideMiddle);
    table_->setItemDelegateForColumn(workloadColumn, new WorkloadTitleDelegate(table_));
    table_->setItemDelegateForColumn(notesColumn, new LeadingTextDelegate(table_));
    table_->setItemDelegateForColumn(backendColumn, new BackendDelegate(table_));
    // One stop in the Tab chain; the arrow keys move inside.
    table_->setTabKeyNavigation(false);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    table_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    table_->verticalHeader()->setDefaultSectionSize(rowHeight);
    QHeaderView* columns = table_->horizontalHeader();
    columns->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    columns->setSectionResizeMode(QHeaderView::Interactive);
    columns->setStretchLastSection(false);
    for (int c : {scoreColumn, throughputColumn, medianColumn, p99Column})
        table_->horizontalHeaderItem(c)->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    for (int c : {validColumn, certifiedColumn}) table_->horizontalHeaderItem(c)->setTextAlignment(Qt::AlignCenter);
    table_->viewport()->installEventFilter(this);
    emptyFilter_ = new QLabel(table_->viewport());
    emptyFilter_->setProperty("secondary", true);
    emptyFilter_->setAlignment(Qt::AlignCenter);
    emptyFilter_->setWordWrap(true);
    auto* overlay = new QVBoxLayout(table_->viewport());
    overlay->addWidget(emptyFilter_);
    emptyFilter_->hide();
    layout->addWidget(table_, 1);
    pages_->addWidget(page);

    // Made after the results so that Tab reaches it after the table. Its minimum height is what its
    // controls need, so the divider never squeezes them.
    assistantPane_ = new AssistantPane(
        store_.assistant(), [&store] { return store.isBusy(); }, split);
    split->addWidget(assistantPane_);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 0);
    if (settings_)
        if (auto saved = settings_->stringValue(paneHeightKey)) {
            bool ok = false;
            const int height = saved->toInt(&ok);
            if (ok && height > 0) userPaneHeight_ = height;
        }
    connect(split, &QSplitter::splitterMoved, this, [this] {
        // A drag against a limit that left the divider where it was chooses no height.
        if (split_->sizes().value(1) == placedPaneHeight_) return;
        userPaneHeight_ = placedPaneHeight_ = split_->sizes().value(1);
        if (settings_ && userPaneHeight_) settings_->setString(paneHeightKey, QString::number(*userPaneHeight_));
    });
    // The table's minimum holds its sideways scroll bar only while there is one.
    connect(table_->horizontalScrollBar(), &QScrollBar::rangeChanged, this, [this](int, int maximum) {
        if ((maximum > 0) != sidewaysScrolling_) {
            sidewaysScrolling_ = maximum > 0;
            schedulePlaceDivider();
        }
    });
    // Choosing the local model shows its controls: the pane's height follows.
    connect(&store_.assistant(), &AssistantConversationController::providerChanged, this,
            [this] { schedulePlaceDivider(); });

    connect(clear_, &QPushButton::clicked, this, [this] { store_.clearCurrent(); });
    connect(categoryFilter_, &QComboBox::currentIndexChanged, this, &MainResultsView::refresh);
    connect(&store_, &BenchmarkStore::currentSessionChanged, this, &MainResultsView::refresh);
    connect(&store_, &BenchmarkStore::runStateChanged, this, &MainResultsView::refresh);
    connect(&store_, &BenchmarkStore::runStateChanged, assistantPane_, &AssistantPane::refreshControls);
    refresh();
}

QLabel* MainResultsView::sessionTitle() const
{
    return title_;
}

QString MainResultsView::runTitle(const AIBenchmarkSession& session)
{
    // Comparing every backend ignores the accelerator choice: name what the run measured.
    QString title = qs(rawValue(session.mode)) + "  ·  ";
    if (!session.compareAllBackends) return title + qs(rawValue(session.requestedBackend));
    return title +
           (session.compareAllGPUs.value_or(false) ? "all backends and GPUs compared" : "all backends compared");
}

void MainResultsView::resizeEvent(QResizeEvent* event)
{
    // Near the minimum size the margins give their room to the table and the conversation.
    const int side = width() < 760 ? 14 : 24;
    const bool low = height() < 700;
    pageLayout_->setContentsMargins(side, low ? 12 : 20, side, low ? 10 : 18);
    pageLayout_->setSpacing(low ? 8 : 12);
    dashboard_->setCompact(low);
    hardware_->setCompact(low);
    // The local model's controls take two rows: tighter rows keep five lines of conversation
    // beside four table rows at the usual window height.
    assistantPane_->setCompact(height() < 880);
    QWidget::resizeEvent(event);
    placeDivider();
}

int MainResultsView::resultsMinimumHeight(int rows) const
{
    // The header, the scores and the machine whole (their texts wrap at this width), then the
    // table's header and `rows` rows; the table's own minimum holds two. Nested layouts learn of a
    // label's new wrapping only when the page's layout is done again.
    pageLayout_->activate();
    return pageLayout_->totalMinimumHeightForWidth(std::max(1, pages_->width())) + (rows - 2) * rowHeight;
}

void MainResultsView::schedulePlaceDivider()
{
    // Several refreshes in one turn of the event loop (a run's results) measure the page once.
    if (!placeDividerTimer_.isActive()) placeDividerTimer_.start();
}

void MainResultsView::placeDivider()
{
    if (placingDivider_) return;
    placingDivider_ = true;
    // A horizontal scroll bar, when Notes run past the edge, covers part of the rows.
    const int sideways = sidewaysScrolling_ ? table_->horizontalScrollBar()->sizeHint().height() : 0;
    table_->setMinimumHeight(table_->horizontalHeader()->sizeHint().height() + 2 * rowHeight +
                             2 * table_->frameWidth() + sideways);
    const bool results = pages_->currentIndex() == 1;
    const int pageMinimum = results ? resultsMinimumHeight(2) : 0;
    const int pageWithFourRows = pageMinimum + 2 * rowHeight;
    pages_->setMinimumHeight(pageMinimum);
    const int total = split_->height() - split_->handleWidth();
    if (total > 0) {
        const int paneMinimum = assistantPane_->minimumSizeHint().height();
        int pane;
        if (userPaneHeight_) {
            pane = *userPaneHeight_;
        } else {
            // Untouched, the pane shows five lines of conversation or two fifths of the height,
            // whichever is more, as long as the table keeps four rows.
            pane = std::max(paneMinimum + assistantPane_->conversationHeight(5) - assistantPane_->conversationHeight(2),
                            total * 2 / 5);
            if (results) pane = std::min(pane, total - pageWithFourRows);
        }
        pane = std::max(paneMinimum, std::min(pane, total - pageMinimum));
        if (split_->sizes().value(1) != pane) split_->setSizes({total - pane, pane});
        placedPaneHeight_ = split_->sizes().value(1);
    }
    placingDivider_ = false;
}

bool MainResultsView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == table_->viewport() && event->type() == QEvent::Resize) fitColumns();
    return QWidget::eventFilter(watched, event);
}

void MainResultsView::fitColumns()
{
    // Workload to Certified stay in view; Notes takes what is left and scrolls sideways beyond it.
    constexpr int workloadCap = 230, backendCap = 190, workloadMinimum = 100, backendMinimum = 72, notesMinimum = 140;
    if (fittingColumns_) return;
    fittingColumns_ = true;
    QHeaderView* header = table_->horizontalHeader();
    int natural[columnCount];
    int widths[columnCount];
    for (int c = 0; c < columnCount; ++c)
        widths[c] = natural[c] =
            std::max(header->sectionSizeHint(c), static_cast<const QAbstractItemView*>(table_)->sizeHintForColumn(c));
    widths[workloadColumn] = std::min(natural[workloadColumn], workloadCap);
    widths[backendColumn] = std::min(natural[backendColumn], backendCap);
    widths[notesColumn] = std::max(notesMinimum, natural[notesColumn]);
    const auto measured = [&] {
        int sum = 0;
        for (int c = workloadColumn; c <= certifiedColumn; ++c) sum += widths[c];
        return sum;
    };
    const int available = table_->viewport()->width();
    int spare = available - measured() - widths[notesColumn];
    if (spare > 0) {
        // Room to spare: long titles and device names are shown whole first, then every column
        // widens a little, rather than all of it going to Notes.
        for (int c : {backendColumn, workloadColumn}) {
            const int give = std::min(spare, natural[c] - widths[c]);
            widths[c] += give;
            spare -= give;
        }
        const int share = spare / columnCount;
        for (int c = 0; c < columnCount; ++c) widths[c] += share;
        widths[notesColumn] += spare - share * columnCount;
    } else {
        // Too narrow: Backend, then Workload give up width; both keep their ends readable and show
        // whole in the tool tip.
        for (const auto& [c, minimum] :
             {std::pair{backendColumn, backendMinimum}, std::pair{workloadColumn, workloadMinimum}}) {
            const int over = measured() - available;
            if (over > 0) widths[c] -= std::min(over, std::max(0, widths[c] - minimum));
        }
        widths[notesColumn] = std::max(notesMinimum, available - measured());
    }
    for (int c = 0; c < columnCount; ++c)
        if (table_->columnWidth(c) != widths[c]) table_->setColumnWidth(c, widths[c]);
    fittingColumns_ = false;
}

void MainResultsView::refresh()
{
    const auto& session = store_.currentSession();
    clear_->setEnabled(!store_.isBusy());
    if (!session) {
        emptyHardware_->show(store_.systemProfile());
        pages_->setCurrentIndex(0);
        tableSession_.reset();
        schedulePlaceDivider();
        return;
    }
    pages_->setCurrentIndex(1);
    title_->setFullText(runTitle(*session));
    QString state;
    if (store_.isBusy())
        state = "In progress";
    else if (session->cancelled)
        state = "Stopped";
    else if (session->completedAt)
        state = "Completed";
    QString subtitle = "Started " + dateText(session->startedAt);
    if (!state.isEmpty()) subtitle += "  ·  " + state;
    subtitle += "  ·  " + qs(countText(session->results.size(), "result", "results"));
    if (session->certificationNotes && !session->certificationNotes->empty())
        subtitle += "  ·  " + qs(session->certificationNotes->front()) +
                    (session->certificationNotes->size() > 1
                         ? qs(" (+" + countText(session->certificationNotes->size() - 1, "note", "notes") + ")")
                         : QString());
    subtitle_->setText(subtitle);
    subtitle_->setToolTip(QString());
    if (session->certificationNotes && !session->certificationNotes->empty()) {
        QString all;
        for (const auto& note : *session->certificationNotes) all += (all.isEmpty() ? "" : "\n") + qs(note);
        subtitle_->setToolTip(all);
    }
    dashboard_->show(*session);
    hardware_->show(session->system);
    fillTable(*session);
    // New texts may wrap onto more lines: the results' minimum height follows.
    schedulePlaceDivider();
}

void MainResultsView::fillTable(const AIBenchmarkSession& session)
{
    const int filter = categoryFilter_->currentData().toInt();
    // Another session starts at its first row and column. Within one, during a run the newest row
    // stays in view unless the reader scrolled away from it; otherwise a refill keeps the place.
    const bool sameSession = tableSession_ == session.id;
    tableSession_ = session.id;
    QScrollBar* scroll = table_->verticalScrollBar();
    const int previous = sameSession ? scroll->value() : 0;
    const bool follow = sameSession && store_.isBusy() && previous >= scroll->maximum() - 2;
    if (!sameSession) table_->horizontalScrollBar()->setValue(0);
    table_->setRowCount(0);
    const Qt::Alignment right = Qt::AlignRight | Qt::AlignVCenter;
    for (const AIBenchmarkResult& result : session.results) {
        const AICategory category = definition(result.workloadID).category;
        if (filter >= 0 && static_cast<int>(category) != filter) continue;
        const ResultCard::Row row = ResultCard::row(result);
        const int r = table_->rowCount();
        table_->insertRow(r);
        auto* workload = cell(row.workload);
        workload->setForeground(Theme::text);
        workload->setToolTip(row.workload + "\n" + row.category);
        workload->setData(Qt::DecorationRole, Theme::categoryColor(category));
        table_->setItem(r, workloadColumn, workload);
        auto* backend = cell(row.backend);
        backend->setToolTip(row.backendDetail);
        table_->setItem(r, backendColumn, backend);
        auto* score = cell(row.score, right);
        QFont bold = score->font();
        bold.setBold(true);
        score->setFont(bold);
        table_->setItem(r, scoreColumn, score);
        table_->setItem(r, throughputColumn, cell(row.throughput, right));
        table_->setItem(r, medianColumn, cell(row.medianLatency, right));
        table_->setItem(r, p99Column, cell(row.p99Latency, right));
        auto* valid = cell(row.valid ? "✓" : "✗", Qt::AlignCenter);
        valid->setForeground(row.valid ? Theme::good : Theme::bad);
        valid->setToolTip(row.validity);
        table_->setItem(r, validColumn, valid);
        auto* certified = cell(row.certificationMark, Qt::AlignCenter);
        certified->setForeground(!row.valid ? Theme::bad : row.certified ? Theme::good : Theme::warning);
        certified->setToolTip(row.certification);
        table_->setItem(r, certifiedColumn, certified);
        auto* notes = cell(row.notes);
        notes->setToolTip(row.notes);
        if (!row.valid)
            notes->setForeground(Theme::bad);
        else
            notes->setForeground(Theme::secondaryText);
        table_->setItem(r, notesColumn, notes);
    }
    if (table_->rowCount() == 0 && filter >= 0) {
        const QString category = categoryFilter_->currentText();
        emptyFilter_->setText(store_.isBusy() ? "Nothing in " + category + " has been measured yet."
                                              : "Nothing in " + category + " was measured in this session.");
        emptyFilter_->show();
    } else {
        emptyFilter_->hide();
    }
    fitColumns();
    if (follow)
        table_->scrollToBottom();
    else
        scroll->setValue(previous);
}

}  // namespace korvalen
