#pragma once

// The signal LED: shows one signal of a port (CTS, DSR, RLSD, ring, receive or transmit activity)
// as a lit or unlit picture. Without a port it is a two-state indicator the program switches.
//
// Threads: the LED is a widget and lives on the GUI thread. Its link callbacks arrive on whatever
// thread the port delivers on (the event thread for smNone, a writer's thread for Tx activity);
// they are handed to the GUI thread without waiting (TThreadHandoff), so the LED suits every
// SyncMethod and never blocks the port's threads.

#include "cport/ComLink.h"
#include "cport/ComTypes.h"
#include "platform/toolkit/Component.h"
#include "platform/toolkit/Handoff.h"

#include <QImage>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QTimer;
class TCanvas;
class TCustomComPort;
struct TClassInfo;

enum TLedKind : uint8_t {
    lkRedLight,
    lkGreenLight,
    lkBlueLight,
    lkYellowLight,
    lkPurpleLight,
    lkBulb,
    lkCustom
};
enum TLedState : uint8_t { lsOff, lsOn };

using TLedStateEvent = std::function<void(TObject* Sender, TLedState AState)>;

// The built-in 15 x 15 picture of a kind (null for lkCustom). Its surround, bottom-left pixel
// included, is the transparent colour: olive, or purple for the yellow pair.
QImage LedPicture(TLedKind Kind, bool On);

class TComLed : public QWidget, public TComponent {
    Q_OBJECT
  public:
    TComLed(QWidget* Parent, TComponent* AOwner);
    // For the form-data reader: the owner, when it is a widget, is also the Qt parent.
    explicit TComLed(TComponent* AOwner);
    ~TComLed() override;

    std::string ClassName() const override { return "TComLed"; }
    // The published properties and their stored defaults (registered once, on first use).
    static const TClassInfo& StaticClassInfo();

    TCustomComPort* ComPort() const { return FComPort; }
    void SetComPort(TCustomComPort* Value);
    TComLedSignal LedSignal() const { return FLedSignal.load(std::memory_order_acquire); }
    void SetLedSignal(TComLedSignal Value);
    TLedKind Kind() const { return FKind; }
    void SetKind(TLedKind Value);
    TLedState State() const { return FState; }
    // Raises EComPort code 19 while a port is set: the port decides the state then.
    void SetState(TLedState Value);
    int RingDuration() const { return FRingDuration; }
    // Milliseconds a ring keeps the LED lit; 0 or less lights it for 1 ms (never for good).
    void SetRingDuration(int Value);
    bool Enabled() const { return isEnabled(); }
    void SetEnabled(bool Value) { setEnabled(Value); }
    // Whether the LED is meant to be shown (not hidden on purpose), whether or not its window is.
    bool Visible() const {
        return !(testAttribute(Qt::WA_WState_ExplicitShowHide) && testAttribute(Qt::WA_WState_Hidden));
    }
    void SetVisible(bool Value) { setVisible(Value); }
    // The hint is the tooltip; ShowHint decides whether it shows.
    const std::string& Hint() const { return FHint; }
    void SetHint(const std::string& Value) {
        FHint = Value;
        setToolTip(FShowHint ? QString::fromStdString(Value) : QString());
    }
    bool ShowHint() const { return FShowHint; }
    void SetShowHint(bool Value) {
        FShowHint = Value;
        SetHint(FHint);
    }

    // Index 0 is the on picture, 1 the off picture; any other index gives a null picture.
    QImage GetGlyph(int Index) const;
    // Replaces a picture; ignored unless Kind is lkCustom. Drawn with its bottom-left pixel's
    // colour transparent.
    void SetGlyph(int Index, const QImage& Bitmap);
    QImage GlyphOn() const { return GetGlyph(0); }
    void SetGlyphOn(const QImage& Value) { SetGlyph(0, Value); }
    QImage GlyphOff() const { return GetGlyph(1); }
    void SetGlyphOff(const QImage& Value) { SetGlyph(1, Value); }
    // The pictures are stored with the control only for lkCustom.
    bool StoredGlyph() const { return FKind == lkCustom; }
    // Form data keeps a custom picture as PNG bytes; bytes that are no picture raise Exception.
    std::string GlyphData(int Index) const;
    void SetGlyphData(int Index, const std::string& Png);

    const TLedStateEvent& OnChange() const { return FOnChange; }
    void SetOnChange(TLedStateEvent Value) { FOnChange = std::move(Value); }

    void Notification(TComponent* AComponent, TOperation Operation) override;
    QSize sizeHint() const override { return {25, 25}; }

    // Draws the LED as its paint event does, into a canvas of the control's size.
    void PaintOn(TCanvas& Canvas);

  protected:
    virtual void DoChange(TLedState AState);
    void SetStateInternal(TLedState AState);
    bool IsStateOn() const;

    // Link callbacks: any thread (handed to the GUI thread).
    void SignalChange(TComLedSignal Signal, bool OnOff);
    void RingDetect();
    // The ring timer ran out (GUI thread).
    void DoTimer();

    bool BitmapNeeded() const { return FGlyphOn.isNull() || FGlyphOff.isNull(); }
    void SelectLedBitmap(TLedKind LedKind);
    QPoint CalcBitmapPos() const;
    const QImage& BitmapToDraw() const;

    void paintEvent(QPaintEvent* Event) override;
    void changeEvent(QEvent* Event) override;

  private:
    bool Loading() const { return ComponentState().Contains(csLoading); }
    bool Designing() const { return ComponentState().Contains(csDesigning); }

    TCustomComPort* FComPort = nullptr;
    // Read by the port's threads to pick the callbacks that count; written on the GUI thread.
    std::atomic<TComLedSignal> FLedSignal{lsCTS};
    TLedKind FKind = lkRedLight;
    TLedState FState = lsOff;
    TLedStateEvent FOnChange;
    QImage FGlyphOn;
    QImage FGlyphOff;
    std::unique_ptr<TComLink> FComLink;
    QTimer* FRingTimer;
    int FRingDuration = 1000;
    TThreadHandoff FHandoff;
    std::string FHint;
    bool FShowHint = false;
};

// Makes the LED known to stored form data; idempotent.
void RegisterComLed();
