#include "Views/Theme.h"

#include <QApplication>
#include <QPalette>
#include <QStyleFactory>

namespace korvalen::Theme {

QColor categoryColor(AICategory category)
{
    const AIColor c = color(category);
    return QColor::fromRgbF(static_cast<float>(c.red), static_cast<float>(c.green), static_cast<float>(c.blue),
                            static_cast<float>(c.opacity));
}

void applyToApplication()
{
    // One style everywhere, whatever the desktop: Fusion drawn with the window's dark palette.
    if (QStyle* fusion = QStyleFactory::create("Fusion"))
        QApplication::setStyle(fusion);
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
}

QString styleSheet()
{
    return QStringLiteral(R"(
QWidget { color: #e6eaf2; font-size: 13px; }
QMainWindow, #ContentView { background: #0d1016; }
#SidebarView { background: #12161e; border-right: 1px solid #262d3a; }
#AppTitle { font-size: 19px; font-weight: 700; color: #ffffff; }
#AppSubtitle, .secondary, QLabel[secondary="true"] { color: #8b95a7; }
#SectionTitle { color: #8b95a7; font-size: 11px; font-weight: 700; letter-spacing: 1px; }
QComboBox { background: #1b2130; border: 1px solid #2c3445; border-radius: 6px; padding: 5px 8px; }
QComboBox:disabled, QCheckBox:disabled { color: #5b6475; }
QComboBox QAbstractItemView { background: #1b2130; border: 1px solid #2c3445; selection-background-color: #2b4f91; }
QCheckBox { spacing: 8px; }
QCheckBox::indicator { width: 16px; height: 16px; border-radius: 4px; border: 1px solid #3a4457; background: #1b2130; }
QCheckBox::indicator:checked { background: #4f8cff; border-color: #4f8cff; }
QCheckBox#SwitchToggle::indicator { width: 30px; height: 16px; border-radius: 8px; }
QPushButton { background: #1f2634; border: 1px solid #2f384a; border-radius: 7px; padding: 7px 14px; }
QPushButton:hover { background: #263043; }
QPushButton:disabled { color: #5b6475; background: #171c26; border-color: #222938; }
QPushButton#StartButton { background: #2f6df6; border-color: #2f6df6; color: white; font-weight: 700; }
QPushButton#StartButton:hover { background: #4a82ff; }
QPushButton#StartButton:disabled { background: #1e2c4d; border-color: #1e2c4d; color: #7d8aa6; }
QPushButton#StopButton:enabled { border-color: #a8434b; color: #ff9aa1; }
QProgressBar { background: #1b2130; border: none; border-radius: 3px; height: 6px; }
QProgressBar::chunk { background: #4f8cff; border-radius: 3px; }
QListWidget { background: transparent; border: none; outline: 0; }
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
QHeaderView::section { background: #1b2130; color: #8b95a7; border: none; border-bottom: 1px solid #262d3a;
                       padding: 6px 8px; font-size: 11px; font-weight: 700; }
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
