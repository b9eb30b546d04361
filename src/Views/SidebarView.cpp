#include "Views/SidebarView.h"

#include "Assistant/Views/FocusHandOff.h"
#include "Platform/Foundation/NumberFormat.h"
#include "State/BenchmarkStore.h"
#include "Views/ViewText.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QStyledItemDelegate>
#include <QTextDocument>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace korvalen {

namespace {

QLabel* sectionTitle(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text.toUpper(), parent);
    label->setObjectName("SectionTitle");
    return label;
}

QString localDateText(Date date)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(ms).toString("yyyy-MM-dd HH:mm");
}

// While the list has focus, the session that Return would open is outlined: the lists' style
// draws no focus rectangle of its own.
class HistoryItemDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::paint(painter, option, index);
        if (!(option.state & QStyle::State_HasFocus)) return;
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing, true);
        painter->setPen(QPen(QColor(0x7f, 0xb0, 0xff), 1));
        painter->setBrush(Qt::NoBrush);
        painter->drawRoundedRect(QRectF(option.rect).adjusted(0.5, 1.5, -0.5, -1.5), 6, 6);
        painter->restore();
    }
};

// The height of a line of selectable wrapped text as its label lays it out: whole pixels per line,
// more than the font's line spacing when that has a fraction.
int wrappedLineHeight(const QFont& font)
{
    QTextDocument probe;
    probe.setDefaultFont(font);
    probe.setDocumentMargin(0);
    probe.setPlainText("x");
    const qreal one = probe.size().height();
    probe.setPlainText("x\nx");
    return std::max(1, qRound(probe.size().height() - one));
}

}  // namespace

SidebarView::SidebarView(BenchmarkStore& store, QWidget* parent) : QWidget(parent), store_(store)
{
    setObjectName("SidebarView");
    setAttribute(Qt::WA_StyledBackground, true);
    setFixedWidth(292);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 20, 18, 16);
    layout->setSpacing(8);

    auto* title = new QLabel("Korvalen AI", this);
    title->setObjectName("AppTitle");
    auto* subtitle = new QLabel("On-device AI benchmark", this);
    subtitle->setObjectName("AppSubtitle");
    layout->addWidget(title);
    layout->addWidget(subtitle);
    layout->addSpacing(12);

    layout->addWidget(sectionTitle("Run mode", this));
    modePicker_ = new QComboBox(this);
    for (AIRunMode mode : allRunModes) modePicker_->addItem(qs(rawValue(mode)), static_cast<int>(mode));
    layout->addWidget(modePicker_);
    layout->addSpacing(6);

    layout->addWidget(sectionTitle("Accelerator", this));
    acceleratorPicker_ = new QComboBox(this);
    for (AIBackend backend : allBackends) acceleratorPicker_->addItem(qs(rawValue(backend)), static_cast<int>(backend));
    // Offered only where the machine's probe found the unit; elsewhere shown with the probe's reason.
    const AISystemProfile& machine = store_.systemProfile();
    if (!machine.neuralEngineAvailable) {
        auto* items = qobject_cast<QStandardItemModel*>(acceleratorPicker_->model());
        const int index = acceleratorPicker_->findData(static_cast<int>(AIBackend::neuralEnginePreferred));
        if (QStandardItem* item = items ? items->item(index) : nullptr) {
            item->setEnabled(false);
            item->setToolTip("Not available on this machine" +
                             (machine.neuralEngineProbe ? ": " + qs(*machine.neuralEngineProbe) : QString(".")));
        }
    }
    layout->addWidget(acceleratorPicker_);
    layout->addSpacing(6);

    compareBackends_ = new QCheckBox("Compare all backends", this);
    compareGPUs_ = new QCheckBox("Compare all GPUs", this);
    liveVisualizations_ = new QCheckBox("Live visualizations", this);
    liveVisualizations_->setObjectName("SwitchToggle");
    layout->addWidget(compareBackends_);
    layout->addWidget(compareGPUs_);
    layout->addWidget(liveVisualizations_);
    layout->addSpacing(10);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    start_ = new QPushButton("Start Benchmark", this);
    start_->setObjectName("StartButton");
    start_->setCursor(Qt::PointingHandCursor);
    stop_ = new QPushButton("Stop", this);
    stop_->setObjectName("StopButton");
    buttons->addWidget(start_, 1);
    buttons->addWidget(stop_);
    layout->addLayout(buttons);
    // Application-wide shortcuts, told in the buttons' tool tips: a run's scene window is the active
    // window while it lasts and may cover the buttons. A disabled button ignores its click.
    const auto shortcut = [this](QPushButton* button, const QKeySequence& keys) {
        auto* action = new QAction(button->text(), this);
        action->setShortcut(keys);
        action->setShortcutContext(Qt::ApplicationShortcut);
        connect(action, &QAction::triggered, button, &QPushButton::click);
        addAction(action);
        button->setToolTip(button->text() + " (" + keys.toString(QKeySequence::NativeText) + ")");
    };
    shortcut(start_, startShortcut());
    shortcut(stop_, stopShortcut());

    status_ = new QLabel(this);
    status_->setTextFormat(Qt::PlainText);
    status_->setWordWrap(true);
    status_->setProperty("secondary", true);
    progress_ = new QProgressBar(this);
    progress_->setRange(0, 1000);
    progress_->setTextVisible(false);
    progress_->setFixedHeight(6);
    layout->addWidget(progress_);
    layout->addWidget(status_);
    layout->addSpacing(14);

    layout->addWidget(sectionTitle("History", this));
    // The notice, the empty-history line and the list share what room the window leaves below the
    // run controls; layoutHistory() shares it out.
    historySection_ = new QWidget(this);
    historySection_->installEventFilter(this);
    history_ = new QListWidget(historySection_);
    history_->setSelectionMode(QAbstractItemView::SingleSelection);
    // Scrolled by whole rows into a list cut to whole rows: no row ever shows sliced.
    history_->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    history_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    history_->setTextElideMode(Qt::ElideRight);
    history_->setUniformItemSizes(true);
    history_->setItemDelegate(new HistoryItemDelegate(history_));
    historyEmpty_ = new QLabel("Completed runs appear here.", historySection_);
    historyEmpty_->setProperty("secondary", true);
    // Restored from the backup, a file kept aside, or saving failed: said where the history is. The
    // path is what the user needs from it, so it scrolls where the window is too small to show it
    // whole, and can be selected and copied.
    historyNotice_ = new QLabel;
    historyNotice_->setTextFormat(Qt::PlainText);
    historyNotice_->setWordWrap(true);
    historyNotice_->setProperty("secondary", true);
    historyNotice_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    historyNoticeArea_ = new QScrollArea(historySection_);
    historyNoticeArea_->setFrameShape(QFrame::NoFrame);
    historyNoticeArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    historyNoticeArea_->setFocusPolicy(Qt::NoFocus);
    historyNoticeArea_->setWidgetResizable(true);
    historyNoticeArea_->setWidget(historyNotice_);
    // On the sidebar's own background, as the label was before it could scroll.
    historyNoticeArea_->viewport()->setAutoFillBackground(false);
    historyNotice_->setAutoFillBackground(false);
    auto showNotice = [this] {
        historyNotice_->setText(breakableText(store_.historyNotice()));
        historyNotice_->setVisible(!store_.historyNotice().isEmpty());
        historyNoticeArea_->setVisible(!store_.historyNotice().isEmpty());
        layoutHistory();
    };
    showNotice();
    connect(&store_, &BenchmarkStore::historyNoticeChanged, this, showNotice);
    layout->addWidget(historySection_, 1);

    connect(modePicker_, &QComboBox::activated, this, [this](int index) {
        store_.setSelectedMode(static_cast<AIRunMode>(modePicker_->itemData(index).toInt()));
    });
    connect(acceleratorPicker_, &QComboBox::activated, this, [this](int index) {
        store_.setSelectedBackend(static_cast<AIBackend>(acceleratorPicker_->itemData(index).toInt()));
    });
    connect(compareBackends_, &QCheckBox::clicked, this, [this](bool on) { store_.setCompareAllBackends(on); });
    connect(compareGPUs_, &QCheckBox::clicked, this, [this](bool on) { store_.setCompareAllGPUs(on); });
    connect(liveVisualizations_, &QCheckBox::clicked, this, [this](bool on) { store_.setShowLiveVisualizations(on); });
    connect(start_, &QPushButton::clicked, this, [this] { store_.start(); });
    connect(stop_, &QPushButton::clicked, this, [this] { store_.stop(); });
    connect(history_, &QListWidget::itemClicked, this, &SidebarView::openHistoryItem);
    // Return and Space open the focused session as a click does.
    history_->installEventFilter(this);

    connect(&store_, &BenchmarkStore::configurationChanged, this, &SidebarView::refreshConfiguration);
    connect(&store_, &BenchmarkStore::showLiveVisualizationsChanged, this, &SidebarView::refreshConfiguration);
    connect(&store_, &BenchmarkStore::runStateChanged, this, &SidebarView::refreshRunState);
    connect(&store_, &BenchmarkStore::statusTextChanged, this, &SidebarView::refreshRunState);
    connect(&store_, &BenchmarkStore::progressChanged, this, &SidebarView::refreshRunState);
    connect(&store_, &BenchmarkStore::historyChanged, this, &SidebarView::refreshHistory);
    connect(&store_, &BenchmarkStore::currentSessionChanged, this, &SidebarView::refreshHistorySelection);

    refreshConfiguration();
    refreshRunState();
    refreshHistory();
}

void SidebarView::openHistoryItem(QListWidgetItem* item)
{
    if (updating_ || !item) return;
    if (auto id = Uuid::parse(item->data(Qt::UserRole).toString().toStdString())) store_.showSession(*id);
    refreshHistorySelection();
}

bool SidebarView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == historySection_ && (event->type() == QEvent::Resize || event->type() == QEvent::LayoutRequest))
        layoutHistory();
    if (watched == history_ && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool plain = (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
        if (plain && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter || key->key() == Qt::Key_Space)) {
            openHistoryItem(history_->currentItem());
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

QKeySequence SidebarView::startShortcut()
{
    return QKeySequence(Qt::CTRL | Qt::Key_R);
}
QKeySequence SidebarView::stopShortcut()
{
    return QKeySequence(Qt::CTRL | Qt::Key_Period);
}

void SidebarView::refreshConfiguration()
{
    updating_ = true;
    modePicker_->setCurrentIndex(modePicker_->findData(static_cast<int>(store_.selectedMode())));
    acceleratorPicker_->setCurrentIndex(acceleratorPicker_->findData(static_cast<int>(store_.selectedBackend())));
    compareBackends_->setChecked(store_.compareAllBackends());
    compareGPUs_->setChecked(store_.compareAllGPUs());
    liveVisualizations_->setChecked(store_.showLiveVisualizations());
    updating_ = false;
    refreshRunState();
}

void SidebarView::refreshRunState()
{
    const bool busy = store_.isBusy();
    const bool stopping = std::holds_alternative<AIRunState::Stopping>(store_.runState().value);
    const EnabledControl controls[] = {
        {modePicker_, !busy},
        // With every backend compared, the accelerator choice plays no part in the plan.
        {acceleratorPicker_, !busy && !store_.compareAllBackends()},
        {compareBackends_, !busy},
        {compareGPUs_, !busy && store_.compareAllBackends()},
        {liveVisualizations_, !busy},
        {start_, !busy},
        {stop_, busy && !stopping},
        {history_, !busy},
    };
    // Focus goes from Start Benchmark to Stop and back, not down the chain to the results' filter,
    // which typed letters would change. While the run stops neither is usable: the side bar itself
    // holds the focus, and hands it to Start Benchmark once the run has ended.
    setEnabledHandingFocus(controls, {stop_, start_, this});
    if (!busy && window()->focusWidget() == this) start_->setFocus(Qt::OtherFocusReason);
    status_->setText(store_.statusText());
    progress_->setValue(static_cast<int>(std::lround(std::clamp(store_.progress(), 0.0, 1.0) * 1000)));
}

void SidebarView::refreshHistory()
{
    updating_ = true;
    history_->clear();
    for (const AIBenchmarkSession& session : store_.history()) {
        const QString line1 = qs(rawValue(session.mode)) + "  ·  " + qs(formatFixed(session.scores.overall, 0));
        const QString line2 =
            localDateText(session.startedAt) + "  ·  " +
            (session.compareAllBackends ? QString("All backends") : qs(rawValue(session.requestedBackend)));
        auto* item = new QListWidgetItem(line1 + "\n" + line2, history_);
        item->setData(Qt::UserRole, qs(session.id.text()));
        item->setToolTip(qs(countText(session.results.size(), "result", "results")));
    }
    // While the history is read, the notice says so instead.
    historyEmpty_->setVisible(store_.history().empty() && store_.historyLoaded());
    // An empty list is no place for Tab to stop: it would only outline a blank box.
    history_->setFocusPolicy(store_.history().empty() ? Qt::NoFocus : Qt::StrongFocus);
    updating_ = false;
    layoutHistory();
    refreshHistorySelection();
}

// Top to bottom as a column would place them: the notice, the empty-history line, the list. The
// notice gets the height its wrapped text needs as long as a row of the list still shows below it,
// and scrolls within what is left beyond that; the list is cut to whole rows.
void SidebarView::layoutHistory()
{
    const int width = historySection_->width();
    const int height = historySection_->height();
    const int gap = layout()->spacing();
    const int frame = 2 * history_->frameWidth();
    const int row = history_->count() > 0 ? history_->sizeHintForRow(0) : 0;
    const bool notice = !historyNoticeArea_->isHidden();
    const bool empty = !historyEmpty_->isHidden();
    const int emptyHeight = empty ? historyEmpty_->sizeHint().height() : 0;

    int y = 0;
    if (notice) {
        const int needed = historyNotice_->heightForWidth(width);
        const int room = height - (empty ? emptyHeight + gap : 0) - (row > 0 ? gap + frame + row : 0);
        const int line = wrappedLineHeight(historyNotice_->font());
        // Scrolled, it shows whole lines; too little room even for that, still its first three.
        const int shown = needed <= room ? needed : std::min(needed, std::max(room, 3 * line) / line * line);
        historyNoticeArea_->verticalScrollBar()->setSingleStep(line);
        historyNoticeArea_->setGeometry(0, y, width, shown);
        y += shown + gap;
    }
    if (empty) {
        historyEmpty_->setGeometry(0, y, width, emptyHeight);
        y += emptyHeight + gap;
    }
    const int left = std::max(0, height - y);
    const int rows = row > 0 ? std::max(0, left - frame) / row : 0;
    history_->setGeometry(0, y, width, row > 0 ? frame + rows * row : left);
}

void SidebarView::refreshHistorySelection()
{
    updating_ = true;
    const auto& current = store_.currentSession();
    const QString currentID = current ? qs(current->id.text()) : QString();
    history_->clearSelection();
    for (int i = 0; i < history_->count(); ++i) {
        QListWidgetItem* item = history_->item(i);
        if (!currentID.isEmpty() && item->data(Qt::UserRole).toString() == currentID) {
            item->setSelected(true);
            history_->setCurrentItem(item);
        }
    }
    updating_ = false;
}

}  // namespace korvalen
