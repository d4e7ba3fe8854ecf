#include "tools/gallery/GalleryPages.h"

#include <algorithm>

namespace {
// Function-local so registrations from any file's static initialisers find it constructed.
std::vector<TGalleryPage>& Registry() {
    static std::vector<TGalleryPage> pages;
    return pages;
}
} // namespace

TGalleryPageRegistration::TGalleryPageRegistration(int Order, const char* Title, TGalleryPageMaker Make) {
    Registry().push_back(TGalleryPage{Order, QString::fromUtf8(Title), Make});
}

std::vector<TGalleryPage> GalleryPages() {
    std::vector<TGalleryPage> pages = Registry();
    std::stable_sort(pages.begin(), pages.end(), [](const TGalleryPage& A, const TGalleryPage& B) {
        return A.Order != B.Order ? A.Order < B.Order : A.Title < B.Title;
    });
    return pages;
}
