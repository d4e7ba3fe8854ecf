#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

class QTabWidget;

// The gallery's window: one tab per registered page. GUI thread only.
class TGalleryWindow : public QWidget {
  public:
    explicit TGalleryWindow(QWidget* Parent = nullptr);

    int PageCount() const;
    QString PageTitle(int Index) const;
    QWidget* Page(int Index) const;
    void ShowPage(int Index);
    // The whole window with page Index shown, as it is on screen.
    QImage Picture(int Index);

  private:
    QTabWidget* FTabs;
};
