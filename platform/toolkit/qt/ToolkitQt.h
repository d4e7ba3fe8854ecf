#pragma once

#include <memory>

// Ties the plain toolkit to a running Qt application. Create one on the main thread after the
// QCoreApplication and destroy it before the application object:
//  - work queued for the main thread (Synchronize, Queue, messages to main-thread targets) wakes the
//    Qt event loop, which then runs CheckSynchronize;
//  - with a QApplication (widgets), ShowException shows a critical message box, unless
//    InstallMessageBox is false (tests keep their recorder).
class TToolkitQtHooks {
  public:
    explicit TToolkitQtHooks(bool InstallMessageBox = true);
    ~TToolkitQtHooks();
    TToolkitQtHooks(const TToolkitQtHooks&) = delete;
    TToolkitQtHooks& operator=(const TToolkitQtHooks&) = delete;

  private:
    struct TState;
    std::shared_ptr<TState> FState;
    bool FMessageBox;
};
