#include "app/Unit1.h"
#include "app/Unit2.h"
#include "cport/ComPort.h"
#include "cportui/CPortSetup.h"
#include "platform/toolkit/ShowException.h"
#include "platform/toolkit/Thread.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <memory>

int main(int argc, char** argv) {
    std::unique_ptr<QApplication> app;
    try {
        app = std::make_unique<QApplication>(argc, argv);
        // Calls queued for the GUI thread (errors shown from the event thread among them) are
        // served by the Qt event loop.
        SetMainThreadWakeHook([] {
            QMetaObject::invokeMethod(
                qApp, [] { CheckSynchronize(); }, Qt::QueuedConnection);
        });
        SetShowExceptionHandler([](const std::string& Message) {
            // Also on standard error, so a run started from a terminal or a script leaves a trace.
            std::fprintf(stderr, "tolvane: %s\n", Message.c_str());
            QMessageBox::critical(QApplication::activeWindow(), QCoreApplication::applicationName(),
                                  QString::fromStdString(Message));
        });
        InstallComSetupDialog();
        // The application's title is what the task bar shows; it ends with one blank where the
        // main window's caption ends with two.
        QCoreApplication::setApplicationName("Tolvane V2.00  =MERISK= ");

        auto form1 = std::make_unique<TForm1>();
        // The port window belongs to the main window, so closing the main window ends the run.
        auto* form2 = new TForm2(form1->ComPort1, form1.get());
        form1->SetPortWindow(form2);
        form1->show();
        QApplication::exec();
        return 0;
    } catch (const std::exception& e) {
        ShowException(e);
    } catch (...) {
        ShowException(std::current_exception());
    }
    return 0;
}
