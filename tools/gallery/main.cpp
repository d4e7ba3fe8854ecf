// tolvane-gallery: the sample controls live, each on its own page with inputs to play with.
//   tolvane-gallery                        opens the window
//   tolvane-gallery --screenshot DIR [--wait S]
//                                          shows each page in turn for S seconds (default 0) of
//                                          live input, writes its picture to DIR/gallery-<page>.png
//                                          and ends

#include "platform/toolkit/ShowException.h"
#include "platform/toolkit/qt/ToolkitQt.h"
#include "tolvane/Version.h"
#include "tools/gallery/GalleryWindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

QString FileName(const QString& Title) {
    QString name = Title.toLower();
    for (QChar& c : name)
        if (!c.isLetterOrNumber()) c = '-';
    return "gallery-" + name + ".png";
}

// Writes every page's picture; false (with a message on standard error) when one cannot be saved.
bool SaveScreenshots(TGalleryWindow& Window, const QString& Dir, int Seconds) {
    if (!QDir().mkpath(Dir)) {
        std::fprintf(stderr, "tolvane-gallery: cannot create the folder %s\n", qPrintable(Dir));
        return false;
    }
    for (int i = 0; i < Window.PageCount(); ++i) {
        Window.ShowPage(i);
        if (Seconds > 0) {
            QEventLoop live;
            QTimer::singleShot(Seconds * 1000, &live, &QEventLoop::quit);
            live.exec();
        }
        QString path = QDir(Dir).filePath(FileName(Window.PageTitle(i)));
        if (!Window.Picture(i).save(path, "PNG")) {
            std::fprintf(stderr, "tolvane-gallery: cannot write %s\n", qPrintable(path));
            return false;
        }
        std::printf("%s\n", qPrintable(path));
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    // The help and usage errors need no display: a core application answers them.
    bool NoDisplay = false;
    for (int i = 1; i < argc; ++i)
        for (const char* A : {"--help", "-h", "--help-all", "--version", "-v"})
            if (std::strcmp(argv[i], A) == 0) NoDisplay = true;
    std::unique_ptr<QCoreApplication> App =
        NoDisplay ? std::make_unique<QCoreApplication>(argc, argv) : std::make_unique<QApplication>(argc, argv);
    QCoreApplication& app = *App;
    QCoreApplication::setApplicationName("tolvane-gallery");
    QCoreApplication::setApplicationVersion(TOLVANE_VERSION);
    TToolkitQtHooks hooks;

    QCommandLineParser parser;
    parser.setApplicationDescription("The sample controls, live.");
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption shots("screenshot", "Write one picture per page into DIR and end.", "DIR");
    QCommandLineOption wait("wait", "Seconds of live input on each page before its picture.", "S", "0");
    parser.addOption(shots);
    parser.addOption(wait);
    parser.process(app);
    bool ok = false;
    int seconds = parser.value(wait).toInt(&ok);
    if (!ok || seconds < 0 || seconds > 3600) {
        std::fprintf(stderr, "tolvane-gallery: --wait takes a number of seconds from 0 to 3600\n");
        return 1;
    }

    int result = 0;
    try {
        TGalleryWindow window;
        window.show();
        if (parser.isSet(shots)) {
            QTimer::singleShot(0, [&] {
                result = SaveScreenshots(window, parser.value(shots), seconds) ? 0 : 2;
                QApplication::quit();
            });
        }
        QApplication::exec();
    } catch (const std::exception& e) {
        ShowException(e);
        result = 3;
    }
    return result;
}
