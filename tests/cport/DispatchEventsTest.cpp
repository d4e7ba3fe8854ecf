// Event delivery over a virtual device: order within a wake-up, received data with and without
// links that take blocks, signals to links, open and close reports, link registration.

#include "cport/DispatchTestKit.h"

#include <future>
#include <thread>

using namespace dispatchkit;

namespace {

// Logs every published event of a port as a short text.
void LogPortEvents(TComPort& Port, TLog& Log) {
    Port.SetOnRxChar([&Log](TObject*, int Count) { Log.Add("rxchar " + std::to_string(Count)); });
    Port.SetOnTxEmpty([&Log](TObject*) { Log.Add("txempty"); });
    Port.SetOnBreak([&Log](TObject*) { Log.Add("break"); });
    Port.SetOnRing([&Log](TObject*) { Log.Add("ring"); });
    Port.SetOnCTSChange([&Log](TObject*, bool On) { Log.Add(OnOff("cts", On)); });
    Port.SetOnDSRChange([&Log](TObject*, bool On) { Log.Add(OnOff("dsr", On)); });
    Port.SetOnRxFlag([&Log](TObject*) { Log.Add("rxflag"); });
    Port.SetOnRLSDChange([&Log](TObject*, bool On) { Log.Add(OnOff("rlsd", On)); });
    Port.SetOnError([&Log](TObject*, TComErrors) { Log.Add("error"); });
    Port.SetOnRx80Full([&Log](TObject*) { Log.Add("rx80full"); });
}

// A one-shot gate a handler waits at until the test opens it.
struct TGate {
    std::promise<void> Opened;
    std::shared_future<void> Wait = Opened.get_future().share();
    void Open() { Opened.set_value(); }
};

// The first N items (fewer if there are not so many).
std::vector<std::string> First(const std::vector<std::string>& Items, size_t N) {
    return {Items.begin(), Items.begin() + static_cast<long>(std::min(N, Items.size()))};
}

std::vector<std::string> After(const std::vector<std::string>& Items, const std::string& Marker) {
    for (size_t i = 0; i < Items.size(); ++i)
        if (Items[i] == Marker) return {Items.begin() + static_cast<long>(i) + 1, Items.end()};
    return {};
}

// A port on COM9 whose handlers run on the event thread (smNone), and a log.
class TDispatch : public ::testing::Test {
  protected:
    TVirtualPort p;
    TComPort& port = *p.Port;
    TLog log;
};
class DispatchOrder : public TDispatch {};
class DispatchRx : public TDispatch {};
class DispatchSignals : public TDispatch {};
class DispatchOpenClose : public TDispatch {};
class DispatchLinks : public TDispatch {};

} // namespace

TEST_F(DispatchOrder, EveryEventOfOneWakeUpComesInTheFixedOrder) {
    LogPortEvents(port, log);
    TGate gate;
    std::atomic<int> rxCalls{0};
    // The first received-character event holds the event thread, so everything the far end does
    // meanwhile is latched and arrives as one wake-up.
    port.SetOnRxChar([&](TObject*, int Count) {
        log.Add("rxchar " + std::to_string(Count));
        if (rxCalls++ == 0) {
            log.Add("held");
            gate.Wait.wait();
        }
    });
    port.SetEventChar('~');
    port.Open();
    p.Dev->Deliver("a");
    ASSERT_TRUE(log.WaitFor("held"));

    port.Write("w", 1);
    p.Dev->InjectBreak();
    p.Dev->SetRing(true);
    p.Dev->SetCTS(true);
    p.Dev->SetDSR(true);
    p.Dev->SetRLSD(true);
    p.Dev->InjectFrame('f');
    p.Dev->Deliver(std::string(900, 'b') + "~");
    ASSERT_TRUE(p.Dev->WaitSent(1, 2000));
    gate.Open();
    ASSERT_TRUE(log.WaitFor("rx80full"));
    port.Close();

    const auto second = After(log.Items(), "held");
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(second.front().rfind("rxchar ", 0), 0u) << second.front();
    const std::vector<std::string> rest(second.begin() + 1,
                                        second.begin() + std::min<long>(10, second.size()));
    EXPECT_EQ(rest, (std::vector<std::string>{"txempty", "break", "ring", "cts on", "dsr on", "rxflag",
                                              "rlsd on", "error", "rx80full"}));
}

TEST_F(DispatchRx, WithoutABlockTakingLinkTheHandlerGetsTheCountAndTheDataStays) {
    TComLink quiet;
    LogEverything(quiet, log, "L", false);
    port.RegisterLink(&quiet);
    EXPECT_TRUE(port.TriggersOnRxChar());
    std::string got;
    port.SetOnRxChar([&](TObject*, int Count) {
        log.Add("rxchar " + std::to_string(Count));
        got.resize(static_cast<size_t>(Count));
        got.resize(static_cast<size_t>(port.Read(got.data(), Count)));
        log.Add("read " + got);
    });
    port.Open();
    log.Clear();
    p.Dev->Deliver("hello");
    ASSERT_TRUE(log.WaitFor("read hello"));
    port.Close();
    const auto items = log.Items();
    EXPECT_EQ(First(items, 4), (std::vector<std::string>{"L rx on", "rxchar 5", "L rx off", "read hello"}));
    port.UnRegisterLink(&quiet);
}

TEST_F(DispatchRx, BlockTakingLinksShareOneReadAndOnRxCharStaysQuiet) {
    TComLink a, b, c;
    LogEverything(a, log, "A", true);
    LogEverything(b, log, "B", false);
    LogEverything(c, log, "C", true);
    LogPortEvents(port, log);
    port.SetOnRxBuf([&](TObject*, const char* Buf, int Count) {
        log.Add("port rxbuf " + std::string(Buf, static_cast<size_t>(Count)));
    });
    port.RegisterLink(&a);
    port.RegisterLink(&b);
    EXPECT_FALSE(port.TriggersOnRxChar());
    port.RegisterLink(&c);
    port.Open();
    log.Clear();
    p.Dev->Deliver("hello");
    ASSERT_TRUE(log.WaitFor("C rxbuf hello"));
    EXPECT_EQ(port.InputCount(), 0);
    port.SetOnRxBuf(nullptr);
    port.Close();
    const auto items = log.Items();
    EXPECT_EQ(First(items, 9),
              (std::vector<std::string>{"A rx on", "B rx on", "C rx on", "A rx off", "B rx off", "C rx off",
                                        "port rxbuf hello", "A rxbuf hello", "C rxbuf hello"}));
    for (const auto& i : items)
        EXPECT_NE(i.rfind("rxchar", 0), 0u) << "OnRxChar raised beside a block-taking link";
    for (TComLink* l : {&a, &b, &c})
        port.UnRegisterLink(l);
    EXPECT_TRUE(port.TriggersOnRxChar());
}

TEST_F(DispatchRx, AWakeUpThatFindsTheQueueEmptyRaisesNothing) {
    // With smThreadSync the wake-up is handled only when the main thread serves it, so the data can
    // be taken away first.
    port.SetSyncMethod(smThreadSync);
    TComLink link;
    LogEverything(link, log, "L", false);
    port.RegisterLink(&link);
    LogPortEvents(port, log);
    port.Open();
    p.Dev->Deliver("x");
    char c;
    ASSERT_EQ(port.Read(&c, 1), 1);
    log.Clear();
    p.Dev->SetCTS(true);
    // CTS is handled after any received-character event of the same or an earlier wake-up.
    ASSERT_TRUE(log.WaitFor("cts on"));
    port.Close();
    for (const auto& i : log.Items()) {
        EXPECT_NE(i.rfind("rxchar", 0), 0u) << i;
        EXPECT_NE(i, "L rx on");
    }
    port.UnRegisterLink(&link);
}

TEST_F(DispatchSignals, TransmitEmptyTurnsTxOffBeforeOnTxEmpty) {
    TComLink link;
    LogEverything(link, log, "L", false);
    port.RegisterLink(&link);
    LogPortEvents(port, log);
    port.Open();
    log.Clear();
    port.Write("abc", 3);
    ASSERT_TRUE(log.WaitFor("txempty"));
    port.Close();
    const auto items = log.Items();
    EXPECT_EQ(First(items, 3), (std::vector<std::string>{"L tx on", "L tx off", "txempty"}));
    port.UnRegisterLink(&link);
}

TEST_F(DispatchSignals, RingReachesLinksInOrderThenTheHandler) {
    TComLink a, b;
    LogEverything(a, log, "A", false);
    LogEverything(b, log, "B", false);
    port.RegisterLink(&a);
    port.RegisterLink(&b);
    LogPortEvents(port, log);
    port.Open();
    log.Clear();
    p.Dev->SetRing(true);
    ASSERT_TRUE(log.WaitFor("ring"));
    port.Close();
    const auto items = log.Items();
    EXPECT_EQ(First(items, 3), (std::vector<std::string>{"A ring", "B ring", "ring"}));
    port.UnRegisterLink(&a);
    port.UnRegisterLink(&b);
}

TEST_F(DispatchOpenClose, OpenReportsTheLinesAndCloseTurnsThemOffBeforeTheThreadStops) {
    TComLink link;
    LogEverything(link, log, "L", false);
    port.RegisterLink(&link);
    LogPortEvents(port, log);
    const auto thread = [&] { return port.ThreadCreated() ? " [thread]" : ""; };
    port.SetOnBeforeOpen(
        [&](TObject*) { log.Add(std::string("before open") + (port.Connected() ? " [open]" : "")); });
    port.SetOnAfterOpen([&](TObject*) { log.Add(std::string("after open") + thread()); });
    port.SetOnBeforeClose([&](TObject*) { log.Add(std::string("before close") + thread()); });
    port.SetOnAfterClose([&](TObject*) { log.Add(std::string("after close") + thread()); });
    port.SetOnCTSChange([&](TObject*, bool On) { log.Add(OnOff("cts", On) + thread()); });
    port.SetOnDSRChange([&](TObject*, bool On) { log.Add(OnOff("dsr", On) + thread()); });
    port.SetOnRLSDChange([&](TObject*, bool On) { log.Add(OnOff("rlsd", On) + thread()); });
    p.Dev->SetCTS(true);
    p.Dev->SetRLSD(true);
    port.Open();
    EXPECT_EQ(log.Items(),
              (std::vector<std::string>{"before open", "after open [thread]", "L cts on", "cts on [thread]",
                                        "L dsr off", "dsr off [thread]", "L rlsd on", "rlsd on [thread]"}));
    log.Clear();
    port.Close();
    EXPECT_EQ(log.Items(), (std::vector<std::string>{"before close [thread]", "L cts off", "L dsr off",
                                                     "L rlsd off", "cts off [thread]", "dsr off [thread]",
                                                     "rlsd off [thread]", "after close"}));
    port.UnRegisterLink(&link);
}

TEST_F(DispatchOpenClose, NoEventsMeansNoThreadButTheLinesAreStillReported) {
    port.SetSyncMethod(smWindowSync);
    LogPortEvents(port, log);
    port.SetEvents(TComEvents{});
    p.Dev->SetDSR(true);
    port.Open();
    EXPECT_FALSE(port.ThreadCreated());
    EXPECT_EQ(log.Items(), (std::vector<std::string>{"cts off", "dsr on", "rlsd off"}));
    p.Dev->Deliver("zz");
    EXPECT_EQ(port.InputCount(), 2) << "nobody may take the data without an event thread";
    port.Close();
}

TEST_F(DispatchLinks, RegisteringTwiceOrUnregisteringAStrangerFails) {
    TComLink a, b;
    a.OnRxBuf = [](TObject*, const char*, int) {};
    port.RegisterLink(&a);
    const auto expect18 = [](const std::function<void()>& Op) {
        try {
            Op();
            ADD_FAILURE() << "no error";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.Code(), ErrLinkRegistration);
            EXPECT_EQ(e.WinCode(), -1);
            EXPECT_STREQ(e.what(), "Link (un)registration failed");
        }
    };
    expect18([&] { port.RegisterLink(&a); });
    expect18([&] { port.UnRegisterLink(&b); });
    expect18([&] { port.RegisterLink(nullptr); });
    EXPECT_FALSE(port.TriggersOnRxChar()) << "a failed call must leave the links as they were";
    port.UnRegisterLink(&a);
    expect18([&] { port.UnRegisterLink(&a); });
    EXPECT_TRUE(port.TriggersOnRxChar());
}

TEST_F(DispatchLinks, ALinkUnregisteredDuringDeliveryIsNotCalledAfterwards) {
    TComLink a, b;
    a.OnRxBuf = [&](TObject*, const char*, int) {
        log.Add("A");
        port.UnRegisterLink(&b);
    };
    b.OnRxBuf = [&](TObject*, const char*, int) { log.Add("B"); };
    port.RegisterLink(&a);
    port.RegisterLink(&b);
    port.Open();
    p.Dev->Deliver("1");
    ASSERT_TRUE(log.WaitFor("A"));
    port.Close();
    EXPECT_EQ(log.Items(), std::vector<std::string>{"A"});
    port.UnRegisterLink(&a);
}

TEST_F(DispatchLinks, UnregisteringWaitsForACallbackInFlightOnAnotherThread) {
    TGate gate;
    auto link = std::make_unique<TComLink>();
    link->OnRxBuf = [&](TObject*, const char*, int) {
        log.Add("in callback");
        gate.Wait.wait();
        log.Add("callback done");
    };
    port.RegisterLink(link.get());
    port.Open();
    p.Dev->Deliver("1");
    ASSERT_TRUE(log.WaitFor("in callback"));
    std::thread owner([&] {
        port.UnRegisterLink(link.get());
        log.Add("unregistered");
        link.reset();
    });
    // Give an unregistration that does not wait the chance to overtake the callback.
    std::this_thread::sleep_for(30ms);
    gate.Open();
    owner.join();
    port.Close();
    EXPECT_EQ(log.Items(), (std::vector<std::string>{"in callback", "callback done", "unregistered"}));
}

TEST_F(DispatchRx, LinksGetOnlyTheBytesTheReadReallyReturned) {
    // Another reader takes bytes between the count and the read (here a link reacting to the Rx
    // signal, which comes in between): the block must hold what was read, not the stale count.
    TComLink thief, taker;
    thief.OnRxSignal = [&](TObject*, bool On) {
        if (!On) return;
        char two[2];
        log.Add("thief " + std::string(two, static_cast<size_t>(port.Read(two, 2))));
    };
    taker.OnRxBuf = [&](TObject*, const char* Buf, int Count) {
        log.Add("taker " + std::string(Buf, static_cast<size_t>(Count)));
    };
    port.RegisterLink(&thief);
    port.RegisterLink(&taker);
    port.Open();
    p.Dev->Deliver("hello");
    ASSERT_TRUE(log.WaitFor("taker llo"));
    port.Close();
    EXPECT_EQ(log.Items(), (std::vector<std::string>{"thief he", "taker llo"}));
    port.UnRegisterLink(&thief);
    port.UnRegisterLink(&taker);
}
