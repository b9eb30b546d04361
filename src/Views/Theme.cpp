#include "Views/Theme.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOption>
#include <QWidget>

namespace korvalen::Theme {

namespace {

const QColor focusRing{0x7f, 0xb0, 0xff};

// Fusion, with check boxes that show a tick and the switch a knob: a state told by colour alone is
// lost on many eyes and every grey-scale screen.
class ThemeStyle : public QProxyStyle {
public:
    ThemeStyle() : QProxyStyle(QStyleFactory::create("Fusion")) {}

    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override
    {
        if (metric == PM_IndicatorWidth) return isSwitch(widget) ? 32 : 16;
        if (metric == PM_IndicatorHeight) return isSwitch(widget) ? 18 : 16;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override
    {
        if (element == PE_IndicatorCheckBox) {
            painter->save();
            painter->setRenderHint(QPainter::Antialiasing, true);
            if (!(option->state & State_Enabled)) painter->setOpacity(0.45);
            if (isSwitch(widget))
                drawSwitch(option, painter);
            else
                drawCheckBox(option, painter);
            painter->restore();
            return;
        }
        if (element == PE_FrameFocusRect) {
            painter->save();
            painter->setRenderHint(QPainter::Antialiasing, true);
            painter->setPen(QPen(focusRing, 1));
            painter->setBrush(Qt::NoBrush);
            painter->drawRoundedRect(QRectF(option->rect).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
            painter->restore();
            return;
        }
        QProxyStyle::drawPrimitive(element, option, painter, widget);
    }

private:
    static bool isSwitch(const QWidget* widget) { return widget && widget->objectName() == "SwitchToggle"; }

    static void drawCheckBox(const QStyleOption* option, QPainter* painter)
    {
        const QRectF box = QRectF(option->rect).adjusted(1, 1, -1, -1);
        const bool on = option->state & State_On;
        const bool partial = option->state & State_NoChange;
        painter->setPen(QPen((on || partial) ? accent : QColor(0x4a, 0x55, 0x68), 1));
        painter->setBrush((on || partial) ? accent : QColor(0x1b, 0x21, 0x30));
        painter->drawRoundedRect(box, 4, 4);
        if (option->state & State_HasFocus) {
            painter->setPen(QPen(focusRing, 1.5));
            painter->setBrush(Qt::NoBrush);
            painter->drawRoundedRect(box.adjusted(-1, -1, 1, 1), 5, 5);
        }
        QPen mark(Qt::white, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        painter->setPen(mark);
        painter->setBrush(Qt::NoBrush);
        const double w = box.width(), h = box.height();
        if (on) {
            QPainterPath tick;
            tick.moveTo(box.left() + 0.24 * w, box.top() + 0.53 * h);
            tick.lineTo(box.left() + 0.43 * w, box.top() + 0.72 * h);
            tick.lineTo(box.left() + 0.77 * w, box.top() + 0.31 * h);
            painter->drawPath(tick);
        } else if (partial) {
            painter->drawLine(QPointF(box.left() + 0.27 * w, box.center().y()),
                              QPointF(box.right() - 0.27 * w, box.center().y()));
        }
    }

    static void drawSwitch(const QStyleOption* option, QPainter* painter)
    {
        const QRectF track = QRectF(option->rect).adjusted(1, 1, -1, -1);
        const bool on = option->state & State_On;
        const double radius = track.height() / 2;
        painter->setPen(QPen(on ? accent : QColor(0x4a, 0x55, 0x68), 1));
        painter->setBrush(on ? accent : QColor(0x1b, 0x21, 0x30));
        painter->drawRoundedRect(track, radius, radius);
        if (option->state & State_HasFocus) {
            painter->setPen(QPen(focusRing, 1.5));
            painter->setBrush(Qt::NoBrush);
            painter->drawRoundedRect(track.adjusted(-1, -1, 1, 1), radius + 1, radius + 1);
        }
        // The knob sits left when off and right when on.
        const double knob = track.height() - 4;
        const double x = on ? track.right() - 2 - knob : track.left() + 2;
        painter->setPen(Qt::NoPen);
        painter->setBrush(on ? QColor(Qt::white) : secondaryText);
        painter->drawEllipse(QRectF(x, track.top() + 2, knob, knob));
    }
};

}  // namespace

QColor categoryColor(AICategory category)
{
    const AIColor c = color(category);
    return QColor::fromRgbF(static_cast<float>(c.red), static_cast<float>(c.green), static_cast<float>(c.blue),
                            static_cast<float>(c.opacity));
}

void applyToApplication()
{
    // One style everywhere, whatever the desktop: Fusion drawn with the window's dark palette.
    QApplication::setStyle(new ThemeStyle);
    QPalette p;
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, QColor(0x1b, 0x21, 0x30));
    p.setColor(QPalette::AlternateBase, panel);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0x1f, 0x26, 0x34));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::Highlight, QColor(0x2b, 0x4f, 0x91));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::ToolTipBase, QColor(0x1b, 0x21, 0x30));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, secondaryText);
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x5b, 0x64, 0x75));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x5b, 0x64, 0x75));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x5b, 0x64, 0x75));
    QApplication::setPalette(p);
    // The default text size lives in the application's font, not in a style sheet rule: a rule that
    // matches every widget would override each view's own font and colours.
    QFont font = QApplication::font();
    font.setPixelSize(defaultFontPixels);
    QApplication::setFont(font);
    // Qt's own dialogs, drawn with this style and palette: a desktop's native one would be light.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs, true);
    // On the application, not on one window: pop-up lists and tool tips are windows of their own.
    qApp->setStyleSheet(styleSheet());
}

QString styleSheet()
{
    return QStringLiteral(R"(
QMainWindow, #ContentView { background: #0d1016; }
#SidebarView { background: #12161e; border-right: 1px solid #262d3a; }
#AppTitle { font-size: 19px; font-weight: 700; color: #ffffff; }
#AppSubtitle, .secondary, QLabel[secondary="true"] { color: #8b95a7; }
#SectionTitle { color: #8b95a7; font-size: 11px; font-weight: 700; letter-spacing: 1px; }
QComboBox { background: #1b2130; border: 1px solid #2c3445; border-radius: 6px; padding: 5px 8px; }
QComboBox:focus { border-color: #7fb0ff; }
QComboBox::drop-down { subcontrol-origin: padding; subcontrol-position: center right; width: 22px; border: none; }
QComboBox::down-arrow { image: url(:/theme/chevron-down.xpm); }
QComboBox::down-arrow:disabled { image: url(:/theme/chevron-down-disabled.xpm); }
QComboBox:disabled, QCheckBox:disabled { color: #5b6475; }
QComboBox QAbstractItemView { background: #1b2130; border: 1px solid #2c3445; selection-background-color: #2b4f91;
                              outline: 0; }
QComboBox QAbstractItemView::item:disabled { color: #5b6475; }
QCheckBox { spacing: 8px; }
QPushButton { background: #1f2634; border: 1px solid #2f384a; border-radius: 7px; padding: 7px 14px; }
QPushButton:hover { background: #263043; }
QPushButton:focus { border-color: #7fb0ff; outline: none; }
QPushButton:disabled { color: #5b6475; background: #171c26; border-color: #222938; }
QPushButton#StartButton { background: #2f6df6; border-color: #2f6df6; color: white; font-weight: 700; }
QPushButton#StartButton:hover { background: #4a82ff; }
QPushButton#StartButton:focus { border: 2px solid #cfe0ff; }
QPushButton#StartButton:disabled { background: #1e2c4d; border-color: #1e2c4d; color: #7d8aa6; }
QPushButton#StopButton:enabled { border-color: #a8434b; color: #ff9aa1; }
QPushButton#StopButton:enabled:focus { border-color: #7fb0ff; }
QProgressBar { background: #1b2130; border: none; border-radius: 3px; height: 6px; }
QProgressBar::chunk { background: #4f8cff; border-radius: 3px; }
QListWidget { background: transparent; border: 1px solid transparent; border-radius: 6px; outline: 0; }
QListWidget:focus { border-color: #7fb0ff; }
QListWidget::item { border-radius: 6px; padding: 6px 6px; margin: 1px 0; }
QListWidget::item:selected { background: #223252; color: #ffffff; }
QListWidget::item:hover:!selected { background: #1a2130; }
#Panel { background: #171c26; border: 1px solid #262d3a; border-radius: 10px; }
#ScoreValue { font-size: 30px; font-weight: 700; color: #ffffff; }
#ScoreCaption { color: #8b95a7; font-size: 11px; font-weight: 700; letter-spacing: 1px; }
#ScoreDetail { color: #8b95a7; font-size: 12px; }
#SessionTitle { font-size: 18px; font-weight: 700; color: #ffffff; }
#EmptyTitle { font-size: 20px; font-weight: 700; color: #ffffff; }
QTableWidget { background: #171c26; border: 1px solid #262d3a; border-radius: 10px; gridline-color: #232a37;
               selection-background-color: #223252; alternate-background-color: #1a202b; }
QTableWidget:focus { border-color: #7fb0ff; }
QHeaderView::section { background: #1b2130; color: #8b95a7; border: none; border-bottom: 1px solid #262d3a;
                       padding: 6px 6px; font-size: 11px; font-weight: 700; }
QTableCornerButton::section { background: #1b2130; border: none; }
QScrollBar:vertical { background: transparent; width: 10px; margin: 2px; }
QScrollBar::handle:vertical { background: #2c3445; border-radius: 4px; min-height: 24px; }
QScrollBar::add-line, QScrollBar::sub-line { height: 0; width: 0; }
QScrollBar:horizontal { background: transparent; height: 10px; margin: 2px; }
QScrollBar::handle:horizontal { background: #2c3445; border-radius: 4px; min-width: 24px; }
QToolTip { background: #1b2130; color: #e6eaf2; border: 1px solid #2c3445; }
)");
}

}  // namespace korvalen::Theme
