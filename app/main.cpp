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

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("tolvane %s\n", TOLVANE_VERSION);
            return 0;
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
