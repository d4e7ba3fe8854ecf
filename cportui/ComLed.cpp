#include "cportui/ComLed.h"

#include "cport/ComPort.h"
#include "platform/toolkit/FormData.h"
#include "platform/toolkit/qt/Canvas.h"

#include <QBuffer>
#include <QEvent>
#include <QPainter>
#include <QTimer>

#include <algorithm>

namespace {

QWidget* ParentOf(TComponent* AOwner) {
    return dynamic_cast<QWidget*>(AOwner);
}

} // namespace

TComLed::TComLed(QWidget* Parent, TComponent* AOwner)
    : QWidget(Parent), TComponent(AOwner, coDeletedElsewhere), FComLink(std::make_unique<TComLink>()),
      FRingTimer(new QTimer(this)) {
    resize(25, 25);
    // Every signal callback is set once, before the link can be registered: the port's threads
    // read them while they run, so changing LedSignal filters instead of rewriting them.
    FComLink->OnCTSChange = [this](TObject*, bool OnOff) { SignalChange(lsCTS, OnOff); };
    FComLink->OnDSRChange = [this](TObject*, bool OnOff) { SignalChange(lsDSR, OnOff); };
    FComLink->OnRLSDChange = [this](TObject*, bool OnOff) { SignalChange(lsRLSD, OnOff); };
    FComLink->OnRxSignal = [this](TObject*, bool OnOff) { SignalChange(lsRx, OnOff); };
    FComLink->OnTxSignal = [this](TObject*, bool OnOff) { SignalChange(lsTx, OnOff); };
    FComLink->OnRing = [this](TObject*) { RingDetect(); };
    FRingTimer->setSingleShot(false);
    FRingTimer->setInterval(FRingDuration);
    connect(FRingTimer, &QTimer::timeout, this, [this] { DoTimer(); });
}

TComLed::TComLed(TComponent* AOwner) : TComLed(ParentOf(AOwner), AOwner) {}

TComLed::~TComLed() {
    // Nothing queued for this LED may run once it is going away, also not while unregistering
    // the link below serves the GUI thread's queue.
    FHandoff.Close();
    FRingTimer->stop();
    try {
        // Through the setter, as any unbinding: the LED goes off and its handler hears of it.
        SetComPort(nullptr);
    } catch (...) {
        // The link is registered only through SetComPort, so unregistering cannot fail; a
        // destructor must not raise whatever happens.
    }
}

void TComLed::SetComPort(TCustomComPort* Value) {
    if (Value == FComPort) return;
    UnbindLink(*this, *FComLink, FComPort);
    // What the old port's threads handed over before the link went is out of date now: run later,
    // it would light an LED that no longer follows that port.
    FHandoff.Discard();
    if (!Value) {
        SetStateInternal(lsOff);
        return;
    }
    BindLink(*this, *FComLink, FComPort, Value);
    if (Value->Connected() && !Designing() && !Loading()) SetStateInternal(IsStateOn() ? lsOn : lsOff);
}

void TComLed::SetLedSignal(TComLedSignal Value) {
    // The state is not read again: the LED shows the new signal from its next change on.
    FLedSignal.store(Value, std::memory_order_release);
}

void TComLed::SetKind(TLedKind Value) {
    if (Value == FKind) return;
    FKind = Value;
    SelectLedBitmap(Value);
    update();
}

void TComLed::SetState(TLedState Value) {
    if (FComPort) throw EComPort(ErrLedState);
    SetStateInternal(Value);
}

void TComLed::SetRingDuration(int Value) {
    FRingDuration = Value;
    FRingTimer->setInterval(std::max(1, Value));
}

QImage TComLed::GetGlyph(int Index) const {
    switch (Index) {
    case 0:
        return FGlyphOn;
    case 1:
        return FGlyphOff;
    default:
        return {};
    }
}

void TComLed::SetGlyph(int Index, const QImage& Bitmap) {
    if (FKind != lkCustom || (Index != 0 && Index != 1)) return;
    (Index == 0 ? FGlyphOn : FGlyphOff) = Bitmap;
    update();
}

std::string TComLed::GlyphData(int Index) const {
    const QImage glyph = GetGlyph(Index);
    if (glyph.isNull()) return {};
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!glyph.save(&buffer, "PNG")) throw Exception("The LED picture cannot be stored as PNG");
    return bytes.toStdString();
}

void TComLed::SetGlyphData(int Index, const std::string& Png) {
    QImage glyph;
    if (!Png.empty() &&
        !glyph.loadFromData(reinterpret_cast<const uchar*>(Png.data()), static_cast<int>(Png.size()), "PNG"))
        throw Exception("The LED picture is not a PNG image");
    SetGlyph(Index, glyph);
}

void TComLed::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation != opRemove || AComponent == nullptr || AComponent != FComPort) return;
    if (FHandoff.IsOwnerThread()) {
        SetComPort(nullptr);
        return;
    }
    // A port destroyed on another thread: the reference goes at once (the port is going), but the
    // widget is only touched on its own thread, where the LED goes off and tells its handler.
    UnbindLink(*this, *FComLink, FComPort);
    FHandoff.Discard();
    FHandoff.Run([this] { SetStateInternal(lsOff); });
}

void TComLed::DoChange(TLedState AState) {
    if (FOnChange) FOnChange(this, AState);
}

void TComLed::SetStateInternal(TLedState AState) {
    FState = AState;
    if (!Loading()) DoChange(AState);
    // Only a repaint request: processing window messages here would let a close or unbind that
    // is waiting in the queue run under this very callback.
    update();
}

bool TComLed::IsStateOn() const {
    if (!FComPort) return false;
    switch (LedSignal()) {
    case lsCTS:
        return FComPort->Signals().Contains(csCTS);
    case lsDSR:
        return FComPort->Signals().Contains(csDSR);
    case lsRLSD:
        return FComPort->Signals().Contains(csRLSD);
    default:
        return false;
    }
}

// Any thread. The signal is checked again on the GUI thread: LedSignal may have changed meanwhile.
void TComLed::SignalChange(TComLedSignal Signal, bool OnOff) {
    if (LedSignal() != Signal) return;
    FHandoff.Run([this, Signal, OnOff] {
        if (LedSignal() == Signal) SetStateInternal(OnOff ? lsOn : lsOff);
    });
}

// Any thread. A ring while lit does not restart the timer: the LED goes out RingDuration after the
// ring that lit it.
void TComLed::RingDetect() {
    if (LedSignal() != lsRing) return;
    FHandoff.Run([this] {
        if (LedSignal() != lsRing) return;
        if (!FRingTimer->isActive()) FRingTimer->start();
        SetStateInternal(lsOn);
    });
}

void TComLed::DoTimer() {
    FRingTimer->stop();
    SetStateInternal(lsOff);
}

void TComLed::SelectLedBitmap(TLedKind LedKind) {
    if (LedKind == lkCustom) return;
    FGlyphOn = LedPicture(LedKind, true);
    FGlyphOff = LedPicture(LedKind, false);
}

QPoint TComLed::CalcBitmapPos() const {
    const QImage& picture = BitmapToDraw();
    return {std::max(0, (width() - picture.width()) / 2), std::max(0, (height() - picture.height()) / 2)};
}

const QImage& TComLed::BitmapToDraw() const {
    return (isEnabled() && FState == lsOn) ? FGlyphOn : FGlyphOff;
}

void TComLed::PaintOn(TCanvas& Canvas) {
    if (BitmapNeeded()) SelectLedBitmap(FKind);
    const QPoint at = CalcBitmapPos();
    Canvas.DrawTransparent(at.x(), at.y(), BitmapToDraw());
}

void TComLed::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    TCanvas canvas(painter);
    PaintOn(canvas);
}

void TComLed::changeEvent(QEvent* Event) {
    QWidget::changeEvent(Event);
    if (Event->type() == QEvent::EnabledChange) update();
}

namespace {

const std::vector<std::string>& LedSignalNames() {
    static const std::vector<std::string> names{"lsCTS", "lsDSR", "lsRLSD", "lsRing", "lsRx", "lsTx"};
    return names;
}

const TClassInfo& RegisterComLedClass() {
    using C = TComLed;
    return TPublished<C>("TComLed", "TComponent")
        .Component<TCustomComPort>("ComPort", &C::ComPort, &C::SetComPort, "TCustomComPort")
        .Enum("LedSignal", &C::LedSignal, &C::SetLedSignal, LedSignalNames(), Default(lsCTS))
        .Enum("Kind", &C::Kind, &C::SetKind,
              {"lkRedLight", "lkGreenLight", "lkBlueLight", "lkYellowLight", "lkPurpleLight", "lkBulb",
               "lkCustom"},
              Default(lkRedLight))
        .String(
            "GlyphOn", [](const C& c) { return c.GlyphData(0); },
            [](C& c, const std::string& v) { c.SetGlyphData(0, v); })
        .StoredWhen([](const C& c) { return c.StoredGlyph(); })
        .String(
            "GlyphOff", [](const C& c) { return c.GlyphData(1); },
            [](C& c, const std::string& v) { c.SetGlyphData(1, v); })
        .StoredWhen([](const C& c) { return c.StoredGlyph(); })
        .Enum("State", &C::State, &C::SetState, {"lsOff", "lsOn"}, Default(lsOff))
        .Integer("RingDuration", &C::RingDuration, &C::SetRingDuration, Default(1000))
        .Bool("Enabled", &C::Enabled, &C::SetEnabled, Default(true))
        .Bool("ShowHint", &C::ShowHint, &C::SetShowHint, Default(false))
        .String("Hint", &C::Hint, &C::SetHint)
        .StoredWhen([](const C& c) { return !c.Hint().empty(); })
        .Bool("Visible", &C::Visible, &C::SetVisible, Default(true))
        .Event<TLedStateEvent>("OnChange", &C::OnChange, &C::SetOnChange)
        .Register();
}

} // namespace

const TClassInfo& TComLed::StaticClassInfo() {
    static const TClassInfo& info = RegisterComLedClass();
    return info;
}

void RegisterComLed() {
    TComLed::StaticClassInfo();
}
