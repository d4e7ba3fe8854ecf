#pragma once

#include <QString>

#include <vector>

class QWidget;

// One page of the gallery: a sample control with the live inputs that drive it.
using TGalleryPageMaker = QWidget* (*)(QWidget* Parent);

struct TGalleryPage {
    int Order = 0; // tab position, lower first
    QString Title;
    TGalleryPageMaker Make = nullptr;
};

// A page adds itself to the gallery from its own source file with one line at namespace scope:
//   const TGalleryPageRegistration LedPage{60, "LED", &MakeLedPage}; // in an anonymous namespace
// Orders in use: 10 gauge, 20 performance graph, 40 colour grid.
// Runs during static initialisation, before main.
class TGalleryPageRegistration {
  public:
    TGalleryPageRegistration(int Order, const char* Title, TGalleryPageMaker Make);
};

// Every registered page, by Order and then by title.
std::vector<TGalleryPage> GalleryPages();
