#include "platform/toolkit/Thread.h"
#include "platform/toolkit/qt/ToolkitQt.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {
class TWorker : public TThread {
  public:
    std::atomic<int> Calls{0};
    std::thread::id RanOn;
    ~TWorker() override { TerminateAndWait(); }

  protected:
    void Execute() override {
        for (int i = 0; i < 5; ++i)
            TThread::Synchronize([this] {
                RanOn = std::this_thread::get_id();
                ++Calls;
            });
    }
};
} // namespace

TEST(ToolkitQtHooks, TheQtEventLoopServesSynchronizeCalls) {
    TToolkitQtHooks hooks(false);
    TWorker worker;
    worker.Resume();
    // Only Qt's own event processing runs here: without the wake-up hook nothing would serve the
    // worker's calls and only the guard timer would end the loop.
    bool timedOut = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] { timedOut = true; });
    guard.start(10000);
    while (worker.Calls < 5 && !timedOut)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(worker.Calls, 5);
    EXPECT_EQ(worker.RanOn, MainThreadId());
    worker.WaitFor();
}
