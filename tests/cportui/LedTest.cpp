#include "cport/DispatchTestKit.h"

#include "cport/ComPort.h"
#include "cportui/ComLed.h"
#include "platform/toolkit/FormData.h"
#include "platform/toolkit/qt/Canvas.h"

#include <QApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr QRgb Background = qRgb(1, 2, 3);

// Serves both the Qt event loop (timers, repaints) and the toolkit's queue for the GUI thread
// until Pred holds or the time runs out.
bool ServeGui(const std::function<bool()>& Pred, std::chrono::milliseconds Limit = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + Limit;
    while (!Pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        ProcessMessages();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

QImage Render(TComLed& Led) {
    QImage image(Led.width(), Led.height(), QImage::Format_RGB32);
    image.fill(Background);
    TCanvas canvas(image);
    Led.PaintOn(canvas);
    return image;
}

// Every state change the LED reports, in order.
// Made after its LED, so it goes first: a destroyed LED reports its last change, which must not
// reach a recorder already gone.
struct TChanges {
    explicit TChanges(TComLed& Led) : FLed(Led) {
        Led.SetOnChange([this](TObject*, TLedState s) { States.push_back(s); });
    }
    ~TChanges() { FLed.SetOnChange(nullptr); }
    std::vector<TLedState> States;

  private:
    TComLed& FLed;
};

class Led : public testing::Test {
  protected:
    void SetUp() override { RegisterComLed(); }
};

} // namespace

TEST_F(Led, BuiltInPicturesAreCentredWithTheirSurroundTransparent) {
    const QRgb red = qRgb(255, 0, 0), halfRed = qRgb(128, 0, 0), yellow = qRgb(255, 255, 0),
               halfYellow = qRgb(128, 128, 0), white = qRgb(255, 255, 255), black = qRgb(0, 0, 0),
               silver = qRgb(192, 192, 192), blue = qRgb(0, 0, 255), halfBlue = qRgb(0, 0, 128);
    struct TRow {
        TLedKind Kind;
        TLedState State;
        int X, Y; // in the picture; the picture sits at (5, 5) of the 25 x 25 control
        QRgb Want;
    };
    const TRow rows[] = {
        {lkRedLight, lsOn, 7, 7, red},
        {lkRedLight, lsOff, 7, 7, halfRed},
        {lkRedLight, lsOff, 7, 0, black},
        {lkRedLight, lsOn, 2, 3, white},
        {lkRedLight, lsOn, 0, 14, Background},
        {lkRedLight, lsOff, 0, 0, Background},
        {lkRedLight, lsOn, -1, 7, Background},
        {lkRedLight, lsOn, 15, 7, Background},
        {lkBlueLight, lsOn, 7, 7, blue},
        {lkBlueLight, lsOff, 7, 7, halfBlue},
        {lkYellowLight, lsOn, 7, 7, yellow},
        {lkYellowLight, lsOff, 7, 7, halfYellow},
        {lkYellowLight, lsOn, 0, 0, Background}, // purple surround, keyed on its bottom-left pixel
        {lkBulb, lsOn, 7, 5, yellow},
        {lkBulb, lsOff, 7, 5, white},
        {lkBulb, lsOn, 7, 0, yellow},
        {lkBulb, lsOff, 7, 0, Background},
        {lkBulb, lsOff, 7, 11, silver},
        {lkBulb, lsOff, 0, 14, Background},
    };
    for (const TRow& r : rows) {
        TComLed led(nullptr, nullptr);
        led.SetKind(r.Kind);
        led.SetState(r.State);
        EXPECT_EQ(Render(led).pixel(5 + r.X, 5 + r.Y), r.Want)
            << "kind " << int(r.Kind) << " state " << int(r.State) << " at " << r.X << "," << r.Y;
    }
    // Every kind has two distinct pictures whose bottom-left pixel is the surround colour.
    for (int k = lkRedLight; k <= lkBulb; ++k) {
        const QImage on = LedPicture(TLedKind(k), true), off = LedPicture(TLedKind(k), false);
        EXPECT_EQ(on.size(), QSize(15, 15));
        EXPECT_NE(on, off) << k;
        EXPECT_EQ(on.pixel(0, 14), k == lkYellowLight ? qRgb(128, 0, 128) : qRgb(128, 128, 0)) << k;
    }
}

TEST_F(Led, ANewLedIsRedAndOffAndItsPaintEventCentresThePicture) {
    QWidget parent;
    parent.resize(40, 40);
    parent.setAutoFillBackground(true);
    QPalette pal = parent.palette();
    pal.setColor(QPalette::Window, QColor(Background));
    parent.setPalette(pal);
    TComLed led(&parent, nullptr);
    EXPECT_EQ(led.size(), QSize(25, 25));
    EXPECT_EQ(led.Kind(), lkRedLight);
    EXPECT_EQ(led.State(), lsOff);
    EXPECT_EQ(led.RingDuration(), 1000);
    led.move(3, 4);
    led.resize(31, 20); // picture at (8, 2) inside the control
    const QImage shot = parent.grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(shot.pixel(3 + 8 + 7, 4 + 2 + 7), qRgb(128, 0, 0));
    EXPECT_EQ(shot.pixel(3 + 8, 4 + 2), Background);
    // Smaller than the picture: drawn from the top-left corner.
    led.resize(10, 10);
    EXPECT_EQ(Render(led).pixel(7, 7), qRgb(128, 0, 0));
}

TEST_F(Led, ADisabledLedLooksOffWhateverItsState) {
    TComLed led(nullptr, nullptr);
    led.SetState(lsOn);
    led.SetEnabled(false);
    EXPECT_EQ(Render(led).pixel(12, 12), qRgb(128, 0, 0));
    EXPECT_EQ(led.State(), lsOn);
    led.SetEnabled(true);
    EXPECT_EQ(Render(led).pixel(12, 12), qRgb(255, 0, 0));
}

TEST_F(Led, CustomGlyphsOnlyForTheCustomKindAndStoredAsPng) {
    TComponent form(nullptr);
    form.SetName("Form");
    TPublished<TComponent>("TComponent").Register();
    // Widgets without a Qt parent: the form only names them, the test deletes them.
    auto led = std::make_unique<TComLed>(nullptr, &form);
    led->SetName("Led1");
    QImage glyph(5, 3, QImage::Format_RGB32);
    glyph.fill(qRgb(0, 200, 0));
    glyph.setPixel(0, 2, qRgb(9, 9, 9)); // the transparent colour
    glyph.setPixel(4, 2, qRgb(9, 9, 9));
    led->SetGlyphOn(glyph);
    EXPECT_TRUE(led->GlyphOn().isNull()) << "a built-in kind took a custom picture";
    EXPECT_EQ(WriteComponent(form).find("Glyph"), std::string::npos);

    led->SetKind(lkCustom);
    led->SetGlyphOn(glyph);
    led->SetState(lsOn);
    led->SetVisible(false);
    led->SetHint("CTS of the board");
    const QImage shot = Render(*led);
    EXPECT_EQ(shot.pixel(10, 11), qRgb(0, 200, 0));
    EXPECT_EQ(shot.pixel(10, 13), Background);
    EXPECT_TRUE(led->GetGlyph(2).isNull());

    const std::string text = WriteComponent(form);
    EXPECT_NE(text.find("GlyphOn = \"\\x89PNG"), std::string::npos) << text;
    TComponent copy(nullptr);
    auto led2 = std::make_unique<TComLed>(nullptr, &copy);
    led2->SetName("Led1");
    ReadComponentData(copy, text);
    EXPECT_EQ(led2->Kind(), lkCustom);
    EXPECT_EQ(led2->GlyphOn().convertToFormat(QImage::Format_RGB32), glyph);
    EXPECT_EQ(led2->State(), lsOn);
    EXPECT_FALSE(led2->Visible()) << "hidden on purpose, and stored so";
    EXPECT_EQ(led2->Hint(), "CTS of the board");
    EXPECT_NE(text.find("Visible = false"), std::string::npos) << text;

    TComponent bad(nullptr);
    auto led3 = std::make_unique<TComLed>(nullptr, &bad);
    led3->SetName("Led1");
    EXPECT_THROW(ReadComponentData(bad, "Form: TComponent {\n  Led1: TComLed {\n    Kind = lkCustom\n"
                                        "    GlyphOn = \"not a picture\"\n  }\n}\n"),
                 EFormDataError);
}

TEST_F(Led, StateBelongsToThePortOnceOneIsSetAndEveryChangeIsReported) {
    dispatchkit::TVirtualPort vp("COM13", smNone);
    TComLed led(nullptr, nullptr);
    TChanges changes(led);
    led.SetState(lsOn);
    led.SetState(lsOn); // the same state is still reported
    EXPECT_EQ(changes.States, (std::vector<TLedState>{lsOn, lsOn}));

    // A closed port leaves the state as it was.
    led.SetComPort(vp.Port.get());
    EXPECT_EQ(led.State(), lsOn);
    try {
        led.SetState(lsOff);
        ADD_FAILURE() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.Code(), 19);
        EXPECT_EQ(e.Message(), "Cannot change led state if ComPort is selected");
    }
    EXPECT_EQ(led.State(), lsOn);
    led.SetComPort(nullptr);
    EXPECT_EQ(led.State(), lsOff);

    // A connected port whose CTS is on lights the LED at once.
    vp.Dev->SetCTS(true);
    vp.Port->Open();
    led.SetComPort(vp.Port.get());
    EXPECT_EQ(led.State(), lsOn);
    vp.Dev->SetCTS(false);
    EXPECT_TRUE(ServeGui([&] { return led.State() == lsOff; }));
    // Another signal is not followed.
    led.SetLedSignal(lsDSR);
    vp.Dev->SetCTS(true);
    ServeGui([] { return false; }, 50ms);
    EXPECT_EQ(led.State(), lsOff);
    vp.Dev->SetDSR(true);
    EXPECT_TRUE(ServeGui([&] { return led.State() == lsOn; }));

    // Destroying the port unbinds the LED and turns it off.
    vp.Port.reset();
    EXPECT_EQ(led.ComPort(), nullptr);
    EXPECT_EQ(led.State(), lsOff);

    // An LED destroyed while it follows a port goes off on the way, and says so.
    auto port = std::make_unique<TComPort>(nullptr);
    std::vector<TLedState> last;
    {
        TComLed doomed(nullptr, nullptr);
        doomed.SetComPort(port.get());
        doomed.SetOnChange([&](TObject*, TLedState s) { last.push_back(s); });
    }
    EXPECT_EQ(last, (std::vector<TLedState>{lsOff}));
}

TEST_F(Led, ActivityFollowsWritesAndReadsAndAnEmptyWriteShowsNothing) {
    dispatchkit::TVirtualPort vp("COM14", smNone);
    TComLed tx(nullptr, nullptr), rx(nullptr, nullptr);
    tx.SetLedSignal(lsTx);
    rx.SetLedSignal(lsRx);
    vp.Port->Open();
    tx.SetComPort(vp.Port.get());
    rx.SetComPort(vp.Port.get());
    TChanges txChanges(tx), rxChanges(rx);

    vp.Port->WriteStr("");
    vp.Port->WriteStr("abc");
    ASSERT_TRUE(ServeGui([&] { return txChanges.States.size() >= 2; }));
    EXPECT_EQ(txChanges.States, (std::vector<TLedState>{lsOn, lsOff}));

    vp.Dev->Deliver("xy");
    ASSERT_TRUE(ServeGui([&] { return rx.State() == lsOn; }));
    std::string got;
    vp.Port->ReadStr(got, 2);
    EXPECT_EQ(got, "xy");
    EXPECT_TRUE(ServeGui([&] { return rx.State() == lsOff; }));
}

TEST_F(Led, ARingLightsTheLedForTheRingDurationFromTheFirstRing) {
    dispatchkit::TVirtualPort vp("COM15", smNone);
    TComLed led(nullptr, nullptr);
    led.SetLedSignal(lsRing);
    led.SetRingDuration(400);
    vp.Port->Open();
    led.SetComPort(vp.Port.get());
    TChanges changes(led);
    auto ring = [&] {
        vp.Dev->SetRing(true);
        vp.Dev->SetRing(false);
    };
    auto* timer = led.findChild<QTimer*>();
    ASSERT_NE(timer, nullptr);

    ring();
    ASSERT_TRUE(ServeGui([&] { return led.State() == lsOn; }));
    ServeGui([&] { return timer->remainingTime() < 200; });
    ring(); // lit again (reported) but the timer keeps running from the first ring
    ASSERT_TRUE(ServeGui([&] { return changes.States.size() >= 2; }, 350ms));
    EXPECT_LE(timer->remainingTime(), 250);
    ASSERT_TRUE(ServeGui([&] { return led.State() == lsOff; }));
    EXPECT_EQ(changes.States, (std::vector<TLedState>{lsOn, lsOn, lsOff}));

    // A duration of 0 still ends: the LED goes out after a moment instead of staying lit.
    led.SetRingDuration(0);
    EXPECT_EQ(led.RingDuration(), 0);
    ring();
    ASSERT_TRUE(ServeGui([&] { return led.State() == lsOn; }));
    EXPECT_TRUE(ServeGui([&] { return led.State() == lsOff; }, 3000ms));
}

// The port's threads keep sending Tx and Rx activity while the GUI thread closes and then destroys
// the port, and destroys an LED: nothing deadlocks, and an LED left without a port stays off.
TEST_F(Led, PortClosedAndDestroyedWhileOtherThreadsSendActivity) {
    for (int round = 0; round < 3; ++round) {
        dispatchkit::TVirtualPort vp("COM16", smNone);
        auto tx = std::make_unique<TComLed>(nullptr, nullptr);
        TComLed rx(nullptr, nullptr);
        tx->SetLedSignal(lsTx);
        rx.SetLedSignal(lsRx);
        vp.Port->Open();
        tx->SetComPort(vp.Port.get());
        rx.SetComPort(vp.Port.get());
        std::atomic<bool> stop{false};
        TComPort* port = vp.Port.get();
        std::thread writer([&] {
            while (!stop.load()) {
                try {
                    port->WriteStr("0123456789");
                } catch (const EComPort&) {
                    // The port closed under the writer.
                }
                vp.Dev->Deliver("r");
            }
        });
        ServeGui([] { return false; }, 30ms);
        if (round == 1) tx.reset();       // an LED destroyed while its callbacks arrive
        if (round != 2) vp.Port->Close(); // round 2: the destructor closes it
        ServeGui([] { return false; }, 10ms);
        stop.store(true);
        writer.join();
        vp.Dev->Deliver("last"); // still on its way through the event thread while the port goes
        vp.Port.reset();
        ServeGui([] { return false; }, 20ms);
        EXPECT_EQ(rx.ComPort(), nullptr);
        EXPECT_EQ(rx.State(), lsOff);
        if (tx) {
            EXPECT_EQ(tx->State(), lsOff);
        }
    }
}

// A port destroyed on another thread leaves the LED at once, but the LED goes off (and says so)
// only on its own thread.
TEST_F(Led, APortDestroyedOnAnotherThreadTurnsTheLedOffOnItsOwnThread) {
    auto port = std::make_unique<TComPort>(nullptr);
    TComLed led(nullptr, nullptr);
    led.SetComPort(port.get());
    std::vector<std::thread::id> where;
    led.SetOnChange([&](TObject*, TLedState) { where.push_back(std::this_thread::get_id()); });
    std::thread([&] { port.reset(); }).join();
    EXPECT_EQ(led.ComPort(), nullptr);
    EXPECT_TRUE(where.empty()) << "the widget was touched on the destroying thread";
    ASSERT_TRUE(ServeGui([&] { return !where.empty(); }));
    EXPECT_EQ(where, std::vector<std::thread::id>{std::this_thread::get_id()});
    EXPECT_EQ(led.State(), lsOff);
    led.SetOnChange(nullptr);
}
