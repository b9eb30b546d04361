#include "Views/ContentView.h"

#include "Assistant/Views/FocusHandOff.h"
#include "Views/MainResultsView.h"
#include "Views/SidebarView.h"

#include <QHBoxLayout>
#include <QPushButton>

namespace korvalen {

ContentView::ContentView(BenchmarkStore& store, std::optional<Settings> settings, QWidget* parent) : QWidget(parent)
{
    setObjectName("ContentView");
    setAttribute(Qt::WA_StyledBackground, true);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    sidebar_ = new SidebarView(store, this);
    results_ = new MainResultsView(store, std::move(settings), this);
    layout->addWidget(sidebar_);
    layout->addWidget(results_, 1);
    // Return, like Space, presses the focused button: the window is worked by keyboard too.
    for (QPushButton* button : findChildren<QPushButton*>()) button->setAutoDefault(true);
    takeFocusFromTabOnly(this);
}

void ContentView::resizeEvent(QResizeEvent* event)
{
    // Near the minimum size the results table needs every pixel; the sidebar's controls still fit.
    sidebar_->setFixedWidth(width() < 1100 ? 256 : 292);
    QWidget::resizeEvent(event);
}

}  // namespace korvalen
