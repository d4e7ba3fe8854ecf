#pragma once

#include <QFrame>
#include <QProgressBar>
#include <QString>
#include <QWidget>

#include <vector>

class QLabel;

// A progress bar that keeps the position it was given even when that lies outside its range, and
// shows it clamped: the last block of an image brings the position one past the maximum, and the
// bar must then stand full instead of ignoring the value. A maximum of 0 shows an empty bar, not
// a busy indicator. GUI thread only.
class TProgressBar : public QProgressBar {
    Q_OBJECT
  public:
    explicit TProgressBar(QWidget* Parent);
    int Max() const { return FMax; }
    int Position() const { return FPosition; }
    void SetMax(int Value);
    void SetPosition(int Value);

  private:
    void Redraw();
    int FMax = 100;
    int FPosition = 0;
};

// A status bar of fixed-width panels: each panel but the last has its own width, the last reaches
// to the right edge of the bar. GUI thread only.
class TStatusBar : public QWidget {
    Q_OBJECT
  public:
    explicit TStatusBar(QWidget* Parent);
    // Appends a panel of the given width with its start text.
    void AddPanel(int Width, const QString& Text);
    int PanelCount() const { return static_cast<int>(FPanels.size()); }
    QLabel* Panel(int Index) const { return FPanels.at(static_cast<size_t>(Index)); }
    QString PanelText(int Index) const;
    void SetPanelText(int Index, const QString& Text);

  protected:
    void resizeEvent(QResizeEvent* Event) override;

  private:
    void Arrange();
    std::vector<QLabel*> FPanels;
    std::vector<int> FWidths;
};
