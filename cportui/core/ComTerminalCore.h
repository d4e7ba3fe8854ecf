#pragma once

// The terminal's logic without a window: what arrives on the port goes through the escape parser
// onto the screen buffer, typed keys become characters and escape sequences on the line, and the
// host's queries are answered. The widget (cportui/ComTerminal.h) derives from this class and is
// only its view: it paints the buffer, draws the caret and keeps the scroll bars.
//
// Threads: everything runs on the thread that created the terminal (the GUI thread for the
// widget). Received blocks may arrive on the port's event thread (SyncMethod smNone); the link
// callback copies them and hands them to the terminal's thread, in order, without waiting.

#include "cport/ComLink.h"
#include "cportui/core/ComTermBuffer.h"
#include "cportui/core/ComTermHistory.h"
#include "cportui/core/ComTermText.h"
#include "cportui/core/LineMaps.h"
#include "cportui/core/Utf8.h"
#include "cportui/core/EscapeCodes.h"
#include "platform/toolkit/Handoff.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TCustomComPort;

enum TTermEmulation : uint8_t { teVT100orANSI, teVT52, teNone };
enum TTermCaret : uint8_t { tcBlock, tcUnderline, tcNone };
// akTerminal: cursor keys go to the line; akWindows: they move the local caret only.
enum TArrowKeys : uint8_t { akTerminal, akWindows };
enum TAdvanceCaret : uint8_t { acChar, acReturn, acLineFeed, acReverseLineFeed, acTab, acBackspace };

// The attributes given to characters as they are written.
struct TTermAttributes {
    bool Inverse = false;
    bool Bright = false; // drawn in AltColor
    bool Underline = false;
    bool operator==(const TTermAttributes&) const = default;
};

// Modes the host sets.
struct TTermMode {
    bool AppCursorKeys = false; // cursor keys send application-mode sequences
    bool operator==(const TTermMode&) const = default;
};

using TChScreenEvent = std::function<void(TObject* Sender, char Ch)>;
// Supplies a parser when Emulation is teNone; the terminal owns what the handler stores.
using TEscapeEvent = std::function<void(TObject* Sender, std::unique_ptr<TEscapeCodes>& EscapeCodes)>;
using TStrRecvEvent = std::function<void(TObject* Sender, std::string& Str)>;
using TUnhandledEvent = std::function<void(TObject* Sender, TEscapeCode Code, const std::string& Data)>;

// Key codes KeyDown acts on (the platform's virtual-key numbers).
constexpr uint16_t VK_HOME = 0x24, VK_LEFT = 0x25, VK_UP = 0x26, VK_RIGHT = 0x27, VK_DOWN = 0x28;

// What the terminal needs of the window that shows it. Every call comes on the terminal's thread;
// pixel rectangles exclude their right and bottom edge. A terminal without a view (benchmarks,
// tests of the logic) behaves the same and simply shows nothing.
class TComTerminalView {
  public:
    virtual ~TComTerminalView() = default;
    // Component state: while loading or designing the grid and parser are not rebuilt.
    virtual bool ViewLoading() const = 0;
    virtual bool ViewDesigning() const = 0;
    virtual int ViewClientWidth() const = 0;
    virtual int ViewClientHeight() const = 0;
    virtual bool ViewDoubleBuffered() const = 0;
    // Repaint Pixels from the buffer (background erased first).
    virtual void ViewInvalidate(const TRect& Pixels) = 0;
    // Move the pixels inside Clip by (DX, DY); the uncovered strip is invalidated separately.
    virtual void ViewScroll(int DX, int DY, const TRect& Clip) = 0;
    // Output starts or ends (the caret is hidden meanwhile); calls nest.
    virtual void ViewHideCaret() = 0;
    virtual void ViewShowCaret() = 0;
    // The caret cell or its shape changed: place (or re-create) the caret.
    virtual void ViewCaretMoved() = 0;
    virtual void ViewCaretShapeChanged() = 0;
    // Columns or Rows changed: adjust the size for AutoSize and the scroll ranges.
    virtual void ViewGridChanged() = 0;
    // The bound port changes (the view asks the new one for a removal notice).
    virtual void ViewPortChanging(TCustomComPort* Old, TCustomComPort* New) = 0;
    // The scrollback grew or the view moved over it (once per piece of output): the vertical
    // scroll bar follows.
    virtual void ViewHistoryChanged() {}
};

class TComTerminalCore : public TComTermBufferOwner, public TTermLines {
  public:
    // Sender is what the events name as their sender (the control); View may be null.
    explicit TComTerminalCore(TObject* Sender = nullptr, TComTerminalView* View = nullptr);
    ~TComTerminalCore() override;
    TComTerminalCore(const TComTerminalCore&) = delete;
    TComTerminalCore& operator=(const TComTerminalCore&) = delete;

    // Received bytes that may wait for this terminal's thread before the port's delivery waits.
    static constexpr std::size_t RxQueueLimit = 256 * 1024;

    // Output. WriteStr shows text as received but without escape parsing; WriteEscCode applies a
    // code when a parser exists.
    void WriteStr(const std::string& Str);
    void WriteEscCode(TEscapeCode Code, TEscapeParams* Params = nullptr);
    // Empties the screen and puts the caret home, whatever the emulation (WriteEscCode needs one).
    void ClearScreen();
    // The send path: only while a port is bound and connected; nothing otherwise.
    void SendChar(char Ch);
    void SendCode(TEscapeCode Code, TEscapeParams* Params = nullptr);
    void SendCodeNoEcho(TEscapeCode Code, TEscapeParams* Params = nullptr);

    void PutChar(char Ch);
    // Shows one character (a byte in 8-bit mode, a code point with UTF-8) at the caret.
    void Show(char32_t Ch);
    // True when the code was applied. Codes that answer or reset use a list of their own when
    // Params is null.
    bool PutEscapeCode(TEscapeCode Code, TEscapeParams* Params);
    void AdvanceCaret(TAdvanceCaret Kind);
    // Clamped into the grid; computed in 64 bits so far-off targets cannot wrap around.
    void MoveCaret(int64_t X, int64_t Y);
    void SetAttributes(const TEscapeParams* Params);
    void SetMode(const TEscapeParams* Params, bool OnOff);
    // The cell a character written now gets, with CharCode 0.
    TComTermChar GetCharAttr() const;
    void SaveCaretPos();
    void RestoreCaretPos();
    void SaveAttr();
    void RestoreAttr();
    // Fills the grid with Ch in the font colour on the background; the caret stays.
    void PerformTest(char Ch);
    void CreateEscapeCodes();

    // The link's OnRxBuf callback, on the terminal's thread: 7-bit and LF handling, then
    // StringReceived.
    void RxBuf(TObject* Sender, const char* Buffer, int Count);
    void StringReceived(std::string Str);

    // Keys after the control's own key handling: cursor keys (VK_*) and typed characters.
    void KeyDown(uint16_t Key);
    void KeyPress(char Key);

    // Loading has ended: the parser for the stored Emulation and, outside design time, a new grid.
    void FinishLoading();
    // Unbinds the port and stops taking received data; the view is not called any more. The widget
    // calls this first in its destructor.
    void Shutdown();

    // Properties.
    int Columns() const override { return FColumns; }
    void SetColumns(int Value);
    int Rows() const override { return FRows; }
    void SetRows(int Value);
    TColor AltColor() const { return FAltColor; }
    void SetAltColor(TColor Value) { FAltColor = Value; }
    bool AppendLF() const { return FAppendLF; }
    void SetAppendLF(bool Value) { FAppendLF = Value; }
    TArrowKeys ArrowKeys() const { return FArrowKeys; }
    void SetArrowKeys(TArrowKeys Value) { FArrowKeys = Value; }
    bool Force7Bit() const { return FForce7Bit; }
    void SetForce7Bit(bool Value) { FForce7Bit = Value; }
    bool LocalEcho() const { return FLocalEcho; }
    void SetLocalEcho(bool Value) { FLocalEcho = Value; }
    bool SendLF() const { return FSendLF; }
    void SetSendLF(bool Value) { FSendLF = Value; }
    // Extra line-end and key maps (off by default and never stored): applied to received bytes
    // after Force7Bit and AppendLF, and to typed characters before SendLF (a mapped Enter sends
    // only what the map says).
    const TLineMaps& LineMaps() const { return FLineMaps; }
    void SetLineMaps(const TLineMaps& Value) { FLineMaps = Value; }
    // The extra key table (ExtraKeys.h; off by default and never stored), Alt+key as ESC and the
    // key with it, and Ctrl+Shift+C/V/A/F left to the window instead of typing control bytes.
    bool ExtraKeys() const { return FExtraKeys; }
    void SetExtraKeys(bool Value) { FExtraKeys = Value; }
    bool AltSendsEscape() const { return FAltSendsEscape; }
    void SetAltSendsEscape(bool Value) { FAltSendsEscape = Value; }
    // Sends a key's sequence as it is (no line maps, no local echo); nothing while disconnected.
    void SendKeySequence(const std::string& Seq);

    // Scrollback (0 rows by default: off, and never stored). Rows that scroll off the top of the
    // grid are kept; the view can be moved back over them while escape codes keep addressing the
    // live grid. New output does not move a view that looks back (it stays on the same rows);
    // typing returns it to the live screen.
    int ScrollbackRows() const { return FHistory.Limit(); }
    void SetScrollbackRows(int Value);
    const TComTermHistory& History() const { return FHistory; }
    // Rows the view is moved back (0: the live grid), and moving it (positive: back; clamped).
    int ViewBack() const { return FViewBack; }
    void ScrollView(int Rows);
    void ViewLive() { ScrollView(-FViewBack); }
    // A cell of what the view shows, X and Y from 1 as on the grid.
    TComTermChar ViewChar(int X, int Y) const;
    // The line (TTermLines numbering) the view shows on its row Y, as ViewChar counts rows.
    int64_t ViewLine(int Y) const;
    // Moves the view the least that shows Line (over the scrollback; the live grid shows itself).
    void ShowLine(int64_t Line);

    // TTermLines: the scrollback's rows, then the grid's.
    int64_t FirstLine() const override { return FLinesGone; }
    int64_t EndLine() const override { return FLinesGone + FHistory.Count() + FBuffer.Rows(); }
    int LineWidth(int64_t Line) const override;
    TComTermChar LineCell(int64_t Line, int X) const override;
    bool LineContinues(int64_t Line) const override { return LineInfo(Line).Continues; }
    TComTermRowInfo LineInfo(int64_t Line) const;

    // Selection (the view repaints on every change). Copied text is UTF-8 with the blanks that end
    // each row left out. Rebuilding the grid (the Columns and Rows setters) drops it.
    const TComTermSelection& Selection() const { return FSelection; }
    void SelectBegin(TTermTextPos Cell, bool RightHalf, TSelectUnit Unit);
    void SelectExtend(TTermTextPos Cell, bool RightHalf);
    void SelectAll();
    void ClearSelection();
    std::string SelectedText() const;
    // Find: selects the next match after the selection (Backward: before it; without a selection
    // from the top of the view, or its bottom) and shows it; false when there is none. The text
    // stays as the highlight, which the view shows on every match.
    bool Find(const std::u32string& Needle, bool Backward, bool MatchCase);
    const std::u32string& Highlight() const { return FHighlight; }
    bool HighlightMatchCase() const { return FHighlightMatchCase; }
    void ClearHighlight();

    // Paste: the bytes typing Utf8 would send (line ends, whatever their form, as Enter; the line
    // maps and SendLF as for typed keys), and sending them with local echo. SendTyped does nothing
    // while disconnected.
    std::string TypedText(const std::string& Utf8) const;
    void SendTyped(const std::string& Bytes);
    void EchoTyped(const std::string& Bytes);

    // The grid follows the window (off by default, never stored): FitGrid resizes the grid keeping
    // its text (rows above the caret go to the scrollback as the grid gets shorter, so the caret's
    // row stays; columns are cut or padded, never re-wrapped); the host's 80/132-column switch is
    // ignored meanwhile. The Columns and Rows setters still rebuild an empty grid.
    bool FitToWindow() const { return FFitToWindow; }
    void SetFitToWindow(bool Value) { FFitToWindow = Value; }
    void FitGrid(int Columns, int Rows);

    // Timestamps (off by default, never stored): each row keeps the time it was first written, in
    // milliseconds of Clock (the system clock unless set), 0 for a row never written.
    bool Timestamps() const { return FTimestamps; }
    void SetTimestamps(bool Value) { FTimestamps = Value; }
    void SetTimestampClock(std::function<int64_t()> Clock) { FClock = std::move(Clock); }
    int64_t LineStamp(int64_t Line) const { return LineInfo(Line).Stamp; }

    // UTF-8 (off by default, never stored: the received bytes are 8-bit characters then). On, a
    // valid sequence becomes one cell holding its code point (a wide East Asian character takes
    // one cell too) and an invalid byte shows U+FFFD. OnChar handlers still see every byte, once,
    // as received; escape codes are read from the same bytes as without it.
    bool Utf8() const { return FUtf8; }
    void SetUtf8(bool Value) {
        FUtf8 = Value;
        FUtf8Decoder.Reset();
    }
    bool WrapLines() const { return FWrapLines; }
    void SetWrapLines(bool Value) { FWrapLines = Value; }
    bool SmoothScroll() const { return FSmoothScroll; }
    void SetSmoothScroll(bool Value) { FSmoothScroll = Value; }
    TTermEmulation Emulation() const { return FEmulation; }
    void SetEmulation(TTermEmulation Value);
    TTermCaret Caret() const { return FCaret; }
    void SetCaret(TTermCaret Value);
    // The control's background and the font colour, which new cells take.
    TColor Color() const { return FColor; }
    void SetColor(TColor Value) { FColor = Value; }
    TColor FontColor() const { return FFontColor; }
    void SetFontColor(TColor Value) { FFontColor = Value; }
    // The cell size in pixels; at least 1 each.
    int CharWidth() const override { return FCharWidth; }
    int CharHeight() const override { return FCharHeight; }
    void SetCharSize(int Width, int Height);

    TPoint CaretPos() const { return FCaretPos; }
    TPoint SavedCaretPos() const { return FSavedCaretPos; }
    // First visible column and row; set by the view's scroll bars.
    TPoint TopLeft() const { return FTopLeft; }
    void SetTopLeft(TPoint Value);
    const TTermAttributes& Attributes() const { return FAttributes; }
    const TTermAttributes& SavedAttributes() const { return FSavedAttributes; }
    const TTermMode& Mode() const { return FMode; }
    TComTermBuffer& Buffer() { return FBuffer; }
    const TComTermBuffer& Buffer() const { return FBuffer; }
    TEscapeCodes* EscapeCodes() const { return FEscapeCodes.get(); }

    TCustomComPort* ComPort() const { return FComPort; }
    void SetComPort(TCustomComPort* Value);
    // The port's state; false without a port. Writing without a port does nothing.
    bool Connected() const;
    void SetConnected(bool Value);
    TComLink& ComLink() { return *FComLink; }

    const TChScreenEvent& OnChar() const { return FOnChar; }
    void SetOnChar(TChScreenEvent Value) { FOnChar = std::move(Value); }
    const TEscapeEvent& OnGetEscapeCodes() const { return FOnGetEscapeCodes; }
    void SetOnGetEscapeCodes(TEscapeEvent Value) { FOnGetEscapeCodes = std::move(Value); }
    const TStrRecvEvent& OnStrRecieved() const { return FOnStrRecieved; }
    void SetOnStrRecieved(TStrRecvEvent Value) { FOnStrRecieved = std::move(Value); }
    const TUnhandledEvent& OnUnhandledCode() const { return FOnUnhandledCode; }
    void SetOnUnhandledCode(TUnhandledEvent Value) { FOnUnhandledCode = std::move(Value); }

    // Display arithmetic shared with the view.
    // The pixels of a grid rectangle (cells, Right and Bottom included) at the current TopLeft.
    TRect PortionPixels(const TRect& Cells) const;
    // The view cells (from 1, inclusive) a paint of Clip covers, limited so that the grid cells
    // they show exist; empty (Right < Left or Bottom < Top) when none.
    TRect ViewCellsInClip(const TRect& Clip) const;
    // Height of the caret for the current shape: a block, an eighth of a cell, or 0.
    int CaretHeight() const;
    // Top-left pixel of the caret on CaretPos, sitting on the bottom of the cell.
    TPoint CaretPixelPos() const;

    // TComTermBufferOwner: what the buffer asks goes through the output batching below.
    int ClientWidth() const override;
    int ClientHeight() const override;
    bool DoubleBuffered() const override;
    void Invalidate() override;
    void InvalidatePortion(const TRect& Cells) override;
    void ScrollWindowPixels(int DX, int DY, const TRect& Clip) override;

    // Output is collected while the caret is hidden and handed to the view as one scroll and one
    // repaint when it is shown again, so a burst costs the view one update. Calls nest.
    void HideCaret();
    void ShowCaret();

  protected:
    virtual void DoChar(char Ch);
    virtual void DoGetEscapeCodes(std::unique_ptr<TEscapeCodes>& EscapeCodes);
    virtual void DoStrRecieved(std::string& Str);
    virtual void DoUnhandledCode(TEscapeCode Code, const std::string& Data);

  private:
    bool Loading() const { return FView && FView->ViewLoading(); }
    bool Designing() const { return FView && FView->ViewDesigning(); }
    void DimensionsChanged();
    void RowLeft(const TComTermChar* Cells, int Columns, const TComTermRowInfo& Info);
    // What one typed key sends: the line maps' bytes, or the key with SendLF's LF after CR.
    std::string KeyBytes(char Ch) const;
    void SelectionChanged();
    // The combined index (0 .. Count + grid rows - 1) of a line still held; -1 otherwise.
    int64_t LineIndex(int64_t Line) const;
    void WriteToPort(const std::string& Str);
    void AddDirty(const TRect& Pixels);
    void FlushOutput();

    TObject* FSender;
    TComTerminalView* FView;
    std::unique_ptr<TComLink> FComLink;
    TCustomComPort* FComPort = nullptr;
    TArrowKeys FArrowKeys = akTerminal;
    int FColumns = 80;
    int FRows = 24;
    TColor FAltColor = 0xA6A6A6;
    bool FLocalEcho = false;
    bool FSendLF = false;
    TLineMaps FLineMaps;
    bool FExtraKeys = false;
    TComTermHistory FHistory;
    bool FUtf8 = false;
    TUtf8Decoder FUtf8Decoder;
    int FViewBack = 0;
    int64_t FLinesGone = 0; // lines numbered before the first one still held
    bool FHistoryChanged = false;
    TComTermSelection FSelection;
    std::u32string FHighlight;
    bool FHighlightMatchCase = false;
    bool FFitToWindow = false;
    bool FTimestamps = false;
    std::function<int64_t()> FClock;
    bool FAltSendsEscape = false;
    bool FAppendLF = false;
    bool FForce7Bit = false;
    bool FWrapLines = false;
    bool FSmoothScroll = false;
    int FCharHeight = 16;
    int FCharWidth = 8;
    TTermEmulation FEmulation = teVT100orANSI;
    TTermCaret FCaret = tcBlock;
    TPoint FCaretPos{1, 1};
    TPoint FSavedCaretPos{0, 0};
    TPoint FTopLeft{1, 1};
    TTermAttributes FSavedAttributes;
    TComTermBuffer FBuffer;
    std::unique_ptr<TEscapeCodes> FEscapeCodes;
    TTermAttributes FAttributes;
    TTermMode FMode;
    TColor FColor = clBlack;
    TColor FFontColor = clWhite;
    TChScreenEvent FOnChar;
    TEscapeEvent FOnGetEscapeCodes;
    TStrRecvEvent FOnStrRecieved;
    TUnhandledEvent FOnUnhandledCode;

    // Output collected while the caret is hidden: a pending pixel scroll and the pixels to repaint
    // after it (a bounding rectangle, empty when Right <= Left).
    int FHideCount = 0;
    int FPendingDY = 0;
    TRect FScrollClip;
    TRect FDirty;
    TThreadHandoff FHandoff;
};

// Names of the enumerations as written in the source (for stored form data and settings files).
const std::vector<std::string>& TermEmulationNames();
const std::vector<std::string>& TermCaretNames();
const std::vector<std::string>& ArrowKeysNames();
