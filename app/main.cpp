#include "app/Unit1.h"
#include "app/Unit2.h"
#include "cport/ComPort.h"
#include "platform/toolkit/ShowException.h"
#include "platform/toolkit/qt/ToolkitQt.h"
#include "tolvane/Version.h"

#include <QApplication>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {
const char* const Usage = "Usage: tolvane [QT-OPTIONS]\n"
                          "Writes a .flash image into the device on a serial port, in a window. The port\n"
                          "is set up from ./port.cfg (section ComPort1), chosen with \"Ustaw Port\".\n"
                          "\n"
                          "  -h, --help     this text\n"
                          "      --version  the program's version\n"
                          "\n"
                          "Qt's own options (-platform NAME, -style NAME, ...) work as in every Qt program.\n";
} // namespace

int main(int argc, char** argv) {
    // Both answered before the window system is reached, so they work without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("tolvane %s\n", TOLVANE_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(Usage, stdout);
            return 0;
        }
    }
    QApplication app(argc, argv);
    // Calls queued for the GUI thread (errors shown from the event thread among them) are served by
    // the Qt event loop, and errors are shown in a message box — also one escaping start-up.
    TToolkitQtHooks hooks;
    try {
        // The application's title is what the task bar shows; it ends with one blank where the
        // main window's caption ends with two.
        QCoreApplication::setApplicationName("Tolvane V2.00  =MERISK= ");

        auto form1 = std::make_unique<TForm1>();
        // The port window belongs to the main window, so closing the main window ends the run.
        auto* form2 = new TForm2(form1->ComPort1, form1.get());
        form1->SetPortWindow(form2);
        form1->show();
        QApplication::exec();
    } catch (const std::exception& e) {
        ShowException(e);
    } catch (...) {
        ShowException(std::current_exception());
    }
    return 0;
}
