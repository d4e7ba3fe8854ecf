#include "app/FormControls.h"

#include <QLabel>
#include <QResizeEvent>

#include <algorithm>

TProgressBar::TProgressBar(QWidget* Parent) : QProgressBar(Parent) {
    setTextVisible(false);
    Redraw();
}

void TProgressBar::SetMax(int Value) {
    FMax = std::max(Value, 0);
    Redraw();
}

void TProgressBar::SetPosition(int Value) {
    FPosition = Value;
    Redraw();
}

void TProgressBar::Redraw() {
    // A range of 0..0 would turn the bar into a busy indicator, so an empty range shows as 0..1.
    int top = std::max(FMax, 1);
    setRange(0, top);
    setValue(std::clamp(FPosition, 0, top));
}

TStatusBar::TStatusBar(QWidget* Parent) : QWidget(Parent) {}

void TStatusBar::AddPanel(int Width, const QString& Text) {
    auto* panel = new QLabel(Text, this);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setIndent(2);
    panel->setTextFormat(Qt::PlainText);
    FPanels.push_back(panel);
    FWidths.push_back(Width);
    Arrange();
}

QString TStatusBar::PanelText(int Index) const {
    return Panel(Index)->text();
}

void TStatusBar::SetPanelText(int Index, const QString& Text) {
    Panel(Index)->setText(Text);
}

void TStatusBar::resizeEvent(QResizeEvent* Event) {
    QWidget::resizeEvent(Event);
    Arrange();
}

void TStatusBar::Arrange() {
    int x = 0;
    const int top = 2; // the bar's upper edge is a separator line, the panels sit below it
    for (size_t i = 0; i < FPanels.size(); ++i) {
        bool last = i + 1 == FPanels.size();
        int w = last ? std::max(width() - x, 0) : FWidths[i];
        FPanels[i]->setGeometry(x, top, w, std::max(height() - top, 0));
        x += w;
    }
}
