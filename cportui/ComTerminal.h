#pragma once

// The terminal control: a character screen that shows what arrives on a port, with VT52 or
// VT100/ANSI escape handling, and sends what the user types. The logic lives in TComTerminalCore
// (cportui/core); this widget is its view: it measures the font, paints the cells inside the clip,
// draws its own caret and keeps the scroll bars.
//
// Threads: a widget, so the GUI thread only. Received data may arrive on the port's event thread;
// the core hands it to the GUI thread without waiting, so every SyncMethod works.

#include "cportui/core/ComTerminalCore.h"
#include "platform/toolkit/Component.h"
#include "platform/toolkit/TSet.h"
#include "platform/toolkit/qt/Canvas.h"
#include "platform/toolkit/qt/Controls.h"

#include <QAbstractScrollArea>
#include <QFont>

#include <cstdint>
#include <functional>
#include <string>

class QTimer;
struct TClassInfo;

enum TScrollStyle : uint8_t { ssNone, ssHorizontal, ssVertical, ssBoth };

// Key handlers that run before the terminal's own handling: Key is the virtual-key code (0 for
// keys the terminal has no code for); a key-press handler may change the character or clear it.
using TKeyEvent = std::function<void(TObject* Sender, uint16_t& Key)>;
using TKeyPressEvent = std::function<void(TObject* Sender, char& Key)>;
// Text the user pastes (UTF-8, as the clipboard had it); a handler that takes it sends it itself.
using TPasteEvent = std::function<void(TObject* Sender, const std::string& Text)>;

// The font every terminal starts with: "Fixedsys", white, 9 points. "Fixedsys" is a substitution
// for the system's fixed-pitch face, installed the first time a terminal is made.
TCanvasFont ComTerminalFont();

enum TFontStyle : uint8_t { fsBold, fsItalic, fsUnderline };
using TFontStyles = TSet<TFontStyle>;

class TCustomComTerminal;

// The terminal's Font as stored form data holds it: a sub-object whose properties read and change
// the terminal's font, each written only where it differs from the font every terminal starts with.
class TComTerminalFont final : public TPersistent {
  public:
    explicit TComTerminalFont(TCustomComTerminal& Terminal) : FTerminal(Terminal) {}
    std::string ClassName() const override { return "TFont"; }

    std::string Name() const;
    void SetName(const std::string& Value);
    int32_t Size() const;
    void SetSize(int32_t Value);
    TColor Color() const;
    void SetColor(TColor Value);
    TFontStyles Style() const;
    void SetStyle(TFontStyles Value);

  private:
    // Changes a copy of the terminal's font and gives it back (the terminal re-measures it).
    void Change(const std::function<void(TCanvasFont&)>& Edit);
    TCustomComTerminal& FTerminal;
};

class TCustomComTerminal : public QAbstractScrollArea,
                           public TComponent,
                           protected TComTerminalView,
                           public TComTerminalCore {
    Q_OBJECT
  public:
    TCustomComTerminal(QWidget* Parent, TComponent* AOwner);
    // For the form-data reader: the owner, when it is a widget, is also the Qt parent.
    explicit TCustomComTerminal(TComponent* AOwner);
    ~TCustomComTerminal() override;
    std::string ClassName() const override { return "TCustomComTerminal"; }

    // Opens the terminal settings dialog on this terminal.
    void ShowSetupDialog();
    // Lets the user pick a fixed-pitch font; the pick becomes the terminal's font.
    void SelectFont();

    // Reads CharWidth and CharHeight from the font; true when the font is fixed-pitch.
    bool CalculateMetrics();
    // Ranges and page sizes of the scroll bars for the grid, the cell size and the client area.
    void UpdateScrollRange();

    TCanvasFont Font() const { return FFont; }
    void SetFont(const TCanvasFont& Value);
    // The font as a stored sub-object (form data).
    TComTerminalFont& FontObject() { return FFontObject; }
    // A sunken three-dimensional border (true) or a flat line (false) when BorderStyle is bsSingle.
    bool Ctl3D() const { return FCtl3D; }
    void SetCtl3D(bool Value);
    TColor Color() const { return TComTerminalCore::Color(); }
    void SetColor(TColor Value);
    TBorderStyle BorderStyle() const { return FBorderStyle; }
    void SetBorderStyle(TBorderStyle Value);
    TScrollStyle ScrollBars() const { return FScrollBars; }
    void SetScrollBars(TScrollStyle Value);
    void SetSmoothScroll(bool Value);
    bool AutoSize() const { return FAutoSize; }
    void SetAutoSize(bool Value);
    // Repaints the whole control instead of moving its pixels when it scrolls.
    bool DoubleBuffered() const override { return FDoubleBuffered; }
    void SetDoubleBuffered(bool Value) { FDoubleBuffered = Value; }
    bool TabStop() const { return FTabStop; }
    void SetTabStop(bool Value);
    // Tab is sent to the line instead of moving the focus (a terminal window wants that; a
    // terminal in a dialog leaves Tab to the dialog).
    bool WantTabs() const { return FWantTabs; }
    void SetWantTabs(bool Value) { FWantTabs = Value; }
    bool Enabled() const { return isEnabled(); }
    void SetEnabled(bool Value) { setEnabled(Value); }
    bool Visible() const { return isVisible(); }
    void SetVisible(bool Value) { setVisible(Value); }
    bool CaretCreated() const { return FCaretCreated; }

    // Copy and paste. The mouse selects (drag; a double click a word, a triple click a line,
    // Shift+click extends) and a selection also becomes the X11 primary selection where the system
    // has one; the middle button pastes that. CopySelection puts it on the clipboard. A paste goes
    // to OnPaste when set, otherwise it is sent at once as typed (TypedText, SendTyped).
    void CopySelection();
    void SelectAllText();
    void PasteClipboard();
    void PasteText(const QString& Text);
    const TPasteEvent& OnPaste() const { return FOnPaste; }
    void SetOnPaste(TPasteEvent Value) { FOnPaste = std::move(Value); }
    // The grid follows the window (see TComTerminalCore::FitGrid); AutoSize has no effect meanwhile.
    void SetFitToWindow(bool Value);
    // Cells written bright are drawn in a bold face too (their colour stays AltColor). Off by default.
    bool BoldFace() const { return FBoldFace; }
    void SetBoldFace(bool Value);
    // A gutter left of the grid shows each row's time (TComTerminalCore::Timestamps), dimmed.
    void SetTimestamps(bool Value);

    const TKeyEvent& OnKeyDown() const { return FOnKeyDown; }
    void SetOnKeyDown(TKeyEvent Value) { FOnKeyDown = std::move(Value); }
    const TKeyPressEvent& OnKeyPress() const { return FOnKeyPress; }
    void SetOnKeyPress(TKeyPressEvent Value) { FOnKeyPress = std::move(Value); }

    // Counters for tests and benchmarks: paint events, and pixels moved by scrolling.
    int PaintCount() const { return FPaintCount; }
    int64_t ScrolledPixels() const { return FScrolledPixels; }

  signals:
    // The grid took a new size by following the window (once it has been painted).
    void GridResized(int Columns, int Rows);

  public:
    void Loaded() override;
    void Notification(TComponent* AComponent, TOperation Operation) override;
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    bool event(QEvent* Event) override;
    void wheelEvent(QWheelEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void mouseDoubleClickEvent(QMouseEvent* Event) override;
    void focusInEvent(QFocusEvent* Event) override;
    void focusOutEvent(QFocusEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void showEvent(QShowEvent* Event) override;
    void scrollContentsBy(int DX, int DY) override;
    bool focusNextPrevChild(bool Next) override;

    // TComTerminalView
    bool ViewLoading() const override { return ComponentState().Contains(csLoading); }
    bool ViewDesigning() const override { return ComponentState().Contains(csDesigning); }
    int ViewClientWidth() const override;
    int ViewClientHeight() const override;
    bool ViewDoubleBuffered() const override { return FDoubleBuffered; }
    void ViewInvalidate(const TRect& Pixels) override;
    void ViewScroll(int DX, int DY, const TRect& Clip) override;
    void ViewHideCaret() override;
    void ViewShowCaret() override;
    void ViewCaretMoved() override;
    void ViewCaretShapeChanged() override;
    void ViewGridChanged() override;
    void ViewPortChanging(TCustomComPort* Old, TCustomComPort* New) override;
    void ViewHistoryChanged() override;

  private:
    friend class TTermGutter;
    void FontChanged();
    void AdjustSize();
    void ApplyFrame(); // the frame for BorderStyle and Ctl3D
    void InitCaret();
    void DestroyCaret();
    QRect CaretRect() const;
    void UpdateCaretRect(const QRect& R);
    void PaintTerminal(QPainter& Painter, const QRect& Clip);
    void PaintDesign(QPainter& Painter);
    void SyncTopLeft();
    // The scrollback rows the vertical bar covers above the grid (0 without scrollback).
    int BarHistoryRows() const;
    void SetVerticalBar();
    void FollowHistory();
    void ApplyBarPolicy();
    void Fit();
    void PlaceGutter();
    // The cell under a viewport pixel (clamped into the view), and whether it is the cell's right half.
    TTermTextPos CellAt(const QPoint& Pixel, bool* RightHalf = nullptr) const;
    void SelectionToPrimary();
    void PaintGutter(QPainter& Painter, const QRect& Clip);

    TCanvasFont FFont;
    TComTerminalFont FFontObject{*this};
    bool FCtl3D = true;
    QFont FQFont, FQFontUnderlined, FQFontBold, FQFontBoldUnderlined;
    bool FBoldFace = false;
    bool FSettingBar = false;     // the vertical bar is set from the view, not moved by the user
    bool FHistoryPending = false; // FollowHistory is queued
    int FVMax = 0;                // grid rows beyond the viewport
    QWidget* FGutter = nullptr;
    int FClicks = 0; // 1, 2, 3: the press that starts a character, word or line selection
    qint64 FLastClickMs = 0;
    QPoint FLastClickAt;
    bool FSelecting = false;
    TPasteEvent FOnPaste;
    int FAscent = 12;
    TBorderStyle FBorderStyle = bsSingle;
    TScrollStyle FScrollBars = ssBoth;
    bool FAutoSize = false;
    bool FDoubleBuffered = false;
    bool FTabStop = true;
    bool FWantTabs = false;
    bool FFontFallbackDone = false;
    bool FInScrollUpdate = false;
    // Our own caret: exists while focused with a shape; hidden during output; blinks.
    bool FCaretCreated = false;
    int FCaretHidden = 0;
    bool FBlinkOn = true;
    QTimer* FBlinkTimer;
    QRect FCaretPainted; // where the caret was last drawn (moves with scrolled pixels)
    bool FUpdatePending = false;
    int FPaintCount = 0;
    int64_t FScrolledPixels = 0;
    TKeyEvent FOnKeyDown;
    TKeyPressEvent FOnKeyPress;
};

// The terminal as placed on a window: its properties are published to stored form data.
class TComTerminal : public TCustomComTerminal {
    Q_OBJECT
  public:
    using TCustomComTerminal::TCustomComTerminal;
    std::string ClassName() const override { return "TComTerminal"; }
    static const TClassInfo& StaticClassInfo();
};

// Makes the terminal known to stored form data; idempotent.
void RegisterComTerminal();
const std::vector<std::string>& ScrollStyleNames();
