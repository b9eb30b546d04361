#include "Views/MainResultsView.h"

#include "Views/ElidedLabel.h"

#include "State/BenchmarkStore.h"
#include "Views/ResultCard.h"
#include "Views/ScoreDashboardView.h"
#include "Views/Theme.h"
#include "Views/ViewText.h"
#include "Visualization/SymbolGlyph.h"

#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QTableWidget>
#include <QVBoxLayout>

namespace korvalen {

namespace {

enum Column { workloadColumn, backendColumn, scoreColumn, throughputColumn, medianColumn, p99Column,
              validColumn, certifiedColumn, notesColumn, columnCount };

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

}  // namespace

MainResultsView::MainResultsView(BenchmarkStore& store, QWidget* parent) : QWidget(parent), store_(store)
{
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    pages_ = new QStackedWidget(this);
    outer->addWidget(pages_);

    // The first screen: nothing loaded yet.
    auto* empty = new QWidget(pages_);
    auto* emptyLayout = new QVBoxLayout(empty);
    emptyLayout->setContentsMargins(28, 28, 28, 24);
    emptyLayout->setSpacing(10);
    auto* emptyTitle = new QLabel("No session loaded", empty);
    emptyTitle->setObjectName("EmptyTitle");
    auto* emptyText = new QLabel("Choose a run mode and an accelerator, then start a benchmark. Every workload is "
                                 "validated against a reference, scored against its baseline and checked for "
                                 "comparability. Saved sessions are listed in the history.",
                                 empty);
    emptyText->setWordWrap(true);
    emptyText->setProperty("secondary", true);
    emptyHardware_ = new HardwareProfileView(empty);
    emptyHardware_->setFixedWidth(460);
    emptyLayout->addWidget(emptyTitle);
    emptyLayout->addWidget(emptyText);
    emptyLayout->addSpacing(8);
    emptyLayout->addWidget(emptyHardware_, 0, Qt::AlignLeft);
    emptyLayout->addStretch(1);
    pages_->addWidget(empty);

    // A loaded session.
    auto* page = new QWidget(pages_);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(24, 20, 24, 18);
    layout->setSpacing(12);

    auto* header = new QHBoxLayout;
    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    title_ = new ElidedLabel(page);
    title_->setObjectName("SessionTitle");
    subtitle_ = new ElidedLabel(page);
    subtitle_->setProperty("secondary", true);
    titles->addWidget(title_);
    titles->addWidget(subtitle_);
    header->addLayout(titles, 1);
    categoryFilter_ = new QComboBox(page);
    categoryFilter_->addItem("All categories", -1);
    for (AICategory category : allCategories)
        categoryFilter_->addItem(SymbolGlyph::icon(SymbolGlyph::categorySymbol(category), Theme::categoryColor(category)),
                                 qs(rawValue(category)), static_cast<int>(category));
    clear_ = new QPushButton("Clear", page);
    header->addWidget(categoryFilter_);
    header->addWidget(clear_);
    layout->addLayout(header);

    auto* summary = new QHBoxLayout;
    summary->setSpacing(10);
    dashboard_ = new ScoreDashboardView(page);
    hardware_ = new HardwareProfileView(page);
    hardware_->setMinimumWidth(210);
    hardware_->setMaximumWidth(380);
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
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    table_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    table_->verticalHeader()->setDefaultSectionSize(30);
    QHeaderView* columns = table_->horizontalHeader();
    columns->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    columns->setSectionResizeMode(QHeaderView::Interactive);
    columns->setStretchLastSection(true);
    const int widths[columnCount] = {196, 104, 70, 142, 80, 80, 46, 68, 160};
    for (int c = 0; c < columnCount; ++c)
        table_->setColumnWidth(c, widths[c]);
    for (int c : {scoreColumn, throughputColumn, medianColumn, p99Column})
        table_->horizontalHeaderItem(c)->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    for (int c : {validColumn, certifiedColumn})
        table_->horizontalHeaderItem(c)->setTextAlignment(Qt::AlignCenter);
    layout->addWidget(table_, 1);
    pages_->addWidget(page);

    connect(clear_, &QPushButton::clicked, this, [this] { store_.clearCurrent(); });
    connect(categoryFilter_, &QComboBox::currentIndexChanged, this, &MainResultsView::refresh);
    connect(&store_, &BenchmarkStore::currentSessionChanged, this, &MainResultsView::refresh);
    connect(&store_, &BenchmarkStore::runStateChanged, this, &MainResultsView::refresh);
    refresh();
}

QLabel* MainResultsView::sessionTitle() const { return title_; }

void MainResultsView::refresh()
{
    const auto& session = store_.currentSession();
    clear_->setEnabled(!store_.isBusy());
    if (!session) {
        emptyHardware_->show(store_.systemProfile());
        pages_->setCurrentIndex(0);
        return;
    }
    pages_->setCurrentIndex(1);
    title_->setFullText(qs(std::string(rawValue(session->mode)) + "  ·  " + std::string(rawValue(session->requestedBackend))
                       + (session->compareAllBackends ? "  ·  all backends compared" : "")));
    QString state;
    if (store_.isBusy())
        state = "In progress";
    else if (session->cancelled)
        state = "Stopped";
    else if (session->completedAt)
        state = "Completed";
    QString subtitle = "Started " + dateText(session->startedAt);
    if (!state.isEmpty())
        subtitle += "  ·  " + state;
    subtitle += "  ·  " + qs(std::to_string(session->results.size()) + " results");
    if (session->certificationNotes && !session->certificationNotes->empty())
        subtitle += "  ·  " + qs(session->certificationNotes->front())
            + (session->certificationNotes->size() > 1 ? qs(" (+" + std::to_string(session->certificationNotes->size() - 1) + " notes)") : QString());
    subtitle_->setFullText(subtitle);
    if (session->certificationNotes && !session->certificationNotes->empty()) {
        QString all;
        for (const auto& note : *session->certificationNotes)
            all += (all.isEmpty() ? "" : "\n") + qs(note);
        subtitle_->setToolTip(all);
    }
    dashboard_->show(*session);
    hardware_->show(session->system);
    fillTable(*session);
}

void MainResultsView::fillTable(const AIBenchmarkSession& session)
{
    const int filter = categoryFilter_->currentData().toInt();
    table_->setRowCount(0);
    const Qt::Alignment right = Qt::AlignRight | Qt::AlignVCenter;
    for (const AIBenchmarkResult& result : session.results) {
        const AICategory category = definition(result.workloadID).category;
        if (filter >= 0 && static_cast<int>(category) != filter)
            continue;
        const ResultCard::Row row = ResultCard::row(result);
        const int r = table_->rowCount();
        table_->insertRow(r);
        auto* workload = cell(row.workload);
        workload->setForeground(Theme::text);
        workload->setToolTip(row.category);
        workload->setData(Qt::DecorationRole, Theme::categoryColor(category));
        table_->setItem(r, workloadColumn, workload);
        auto* backend = cell(row.backend);
        backend->setToolTip(row.backend);
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
        auto* certified = cell(row.certified ? "✓" : "◐", Qt::AlignCenter);
        certified->setForeground(row.certified ? Theme::good : Theme::warning);
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
}

}  // namespace korvalen
