#include "platform/toolkit/qt/ToolkitQt.h"

#include "platform/toolkit/ShowException.h"
#include "platform/toolkit/Thread.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QObject>

#include <cstdio>
#include <mutex>

struct TToolkitQtHooks::TState {
    std::mutex Lock;
    QObject* Receiver = nullptr; // lives on the main thread; null once the hooks are gone
};

TToolkitQtHooks::TToolkitQtHooks(bool InstallMessageBox)
    : FState(std::make_shared<TState>()), FMessageBox(InstallMessageBox) {
    FState->Receiver = new QObject();
    // Runs on whichever thread queued work: only posts, under the lock that keeps Receiver alive.
    SetMainThreadWakeHook([state = FState] {
        std::lock_guard lk(state->Lock);
        if (state->Receiver)
            QMetaObject::invokeMethod(
                state->Receiver, [] { CheckSynchronize(); }, Qt::QueuedConnection);
    });
    if (FMessageBox && qobject_cast<QApplication*>(QCoreApplication::instance()))
        SetShowExceptionHandler([](const std::string& Text) {
            // Also on standard error, so a run started from a terminal or a script leaves a trace.
            std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), Text.c_str());
            QMessageBox box(QMessageBox::Critical, QCoreApplication::applicationName(),
                            QString::fromStdString(Text), QMessageBox::Ok, QApplication::activeWindow());
            box.exec();
        });
}

TToolkitQtHooks::~TToolkitQtHooks() {
    SetMainThreadWakeHook({});
    if (FMessageBox && qobject_cast<QApplication*>(QCoreApplication::instance())) SetShowExceptionHandler({});
    QObject* receiver;
    {
        std::lock_guard lk(FState->Lock);
        receiver = FState->Receiver;
        FState->Receiver = nullptr;
    }
    delete receiver;
    // Calls that were queued but not yet served still run on the next toolkit wait or check.
    CheckSynchronize();
}
