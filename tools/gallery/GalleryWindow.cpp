#include "tools/gallery/GalleryWindow.h"

#include "tools/gallery/GalleryPages.h"

#include <QApplication>
#include <QTabWidget>
#include <QVBoxLayout>

TGalleryWindow::TGalleryWindow(QWidget* Parent) : QWidget(Parent), FTabs(new QTabWidget(this)) {
    setWindowTitle("Tolvane sample controls");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addWidget(FTabs);
    for (const TGalleryPage& page : GalleryPages())
        FTabs->addTab(page.Make(FTabs), page.Title);
}

int TGalleryWindow::PageCount() const {
    return FTabs->count();
}

QString TGalleryWindow::PageTitle(int Index) const {
    return FTabs->tabText(Index);
}

QWidget* TGalleryWindow::Page(int Index) const {
    return FTabs->widget(Index);
}

void TGalleryWindow::ShowPage(int Index) {
    FTabs->setCurrentIndex(Index);
}

QImage TGalleryWindow::Picture(int Index) {
    ShowPage(Index);
    // Let the layouts settle and the page paint before taking the picture.
    QApplication::processEvents();
    return grab().toImage();
}
