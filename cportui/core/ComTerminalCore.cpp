#include "cportui/core/ComTerminalCore.h"

#include "cport/ComPort.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <utility>

namespace {

bool Empty(const TRect& R) {
    return R.Right <= R.Left || R.Bottom <= R.Top;
}

TRect Union(const TRect& A, const TRect& B) {
    if (Empty(A)) return B;
    if (Empty(B)) return A;
    return Rect(std::min(A.Left, B.Left), std::min(A.Top, B.Top), std::max(A.Right, B.Right),
                std::max(A.Bottom, B.Bottom));
}

TRect Intersect(const TRect& A, const TRect& B) {
    TRect R = Rect(std::max(A.Left, B.Left), std::max(A.Top, B.Top), std::min(A.Right, B.Right),
                   std::min(A.Bottom, B.Bottom));
    return Empty(R) ? TRect{} : R;
}

int ClampToInt(int64_t V) {
    return static_cast<int>(
        std::clamp<int64_t>(V, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

} // namespace

// Hides the caret for one piece of output and shows it again however the piece ends.
class TOutputBatch {
  public:
    explicit TOutputBatch(TComTerminalCore& Terminal) : FTerminal(Terminal) { FTerminal.HideCaret(); }
    ~TOutputBatch() { FTerminal.ShowCaret(); }
    TOutputBatch(const TOutputBatch&) = delete;
    TOutputBatch& operator=(const TOutputBatch&) = delete;

  private:
    TComTerminalCore& FTerminal;
};

TComTerminalCore::TComTerminalCore(TObject* Sender, TComTerminalView* View)
    : FSender(Sender), FView(View), FComLink(std::make_unique<TComLink>()), FBuffer(this) {
    // Link callbacks run on whatever thread the port delivers on: copy the block and hand it to
    // this terminal's thread. Past a bounded amount waiting there the callback waits, which holds
    // the port's input back (and the sender with it) instead of growing without end; unbinding
    // (which waits for callbacks in flight) calls that wait off first.
    FHandoff.SetQueueLimit(RxQueueLimit);
    FComLink->OnRxBuf = [this](TObject* PortSender, const char* Buf, int Count) {
        std::string Block(Buf, static_cast<std::size_t>(std::max(Count, 0)));
        const std::size_t Bytes = Block.size();
        FHandoff.Run(
            [this, PortSender, Block = std::move(Block)] {
                RxBuf(PortSender, Block.data(), static_cast<int>(Block.size()));
            },
            Bytes);
    };
    // A terminal made in code (not read from stored form data) shows received data at once. The
    // view is not asked anything here: the control deriving from it is still being built.
    FEscapeCodes = std::make_unique<TEscapeCodesVT100>();
    FBuffer.OnRowLeaves = [this](const TComTermChar* Cells, int Columns, const TComTermRowInfo& Info) {
        RowLeft(Cells, Columns, Info);
    };
    FBuffer.Init();
}

TComTerminalCore::~TComTerminalCore() {
    Shutdown();
}

void TComTerminalCore::Shutdown() {
    FHandoff.Close();
    SetComPort(nullptr);
    FView = nullptr;
}

void TComTerminalCore::FinishLoading() {
    FEscapeCodes.reset();
    CreateEscapeCodes();
    if (!Designing()) {
        FBuffer.Init();
        DimensionsChanged();
    }
}

// ---- receiving ----

void TComTerminalCore::RxBuf(TObject*, const char* Buffer, int Count) {
    std::string Str;
    Str.reserve(static_cast<std::size_t>(std::max(Count, 0)));
    for (int I = 0; I < Count; ++I) {
        char Ch = Buffer[I];
        if (FForce7Bit) Ch = static_cast<char>(Ch & 0x7F);
        Str += Ch;
        if (FAppendLF && Ch == '\r') Str += '\n';
    }
    if (!FLineMaps.Identity()) Str = FLineMaps.Incoming(Str);
    StringReceived(std::move(Str));
}

void TComTerminalCore::StringReceived(std::string Str) {
    DoStrRecieved(Str);
    TOutputBatch Batch(*this);
    for (char Ch : Str) {
        TEscapeCodes* Parser = FEscapeCodes.get();
        if (!Parser) {
            PutChar(Ch);
            continue;
        }
        switch (Parser->ProcessChar(Ch)) {
        case erChar:
            PutChar(Parser->ReceivedChar());
            break;
        case erCode: {
            TEscapeCode Code = Parser->Code();
            if (!PutEscapeCode(Code, &Parser->Parameters())) {
                std::string Data = Parser->Data();
                DoUnhandledCode(Code, Data);
            }
            // A handler may have replaced the parser; the old one is gone then.
            if (FEscapeCodes.get() == Parser) Parser->Parameters().clear();
            break;
        }
        case erNothing:
            break;
        }
    }
}

void TComTerminalCore::WriteStr(const std::string& Str) {
    TOutputBatch Batch(*this);
    for (char Ch : Str)
        PutChar(Ch);
}

void TComTerminalCore::WriteEscCode(TEscapeCode Code, TEscapeParams* Params) {
    if (!FEscapeCodes) return;
    TOutputBatch Batch(*this);
    PutEscapeCode(Code, Params);
}

void TComTerminalCore::ClearScreen() {
    TOutputBatch Batch(*this);
    PutEscapeCode(ecEraseScreen, nullptr);
}

// ---- the screen ----

void TComTerminalCore::PutChar(char Ch) {
    if (FUtf8) {
        char32_t Out[2];
        const int N = FUtf8Decoder.Feed(static_cast<unsigned char>(Ch), Out);
        for (int I = 0; I < N; ++I)
            Show(Out[I]);
    } else {
        Show(static_cast<unsigned char>(Ch));
    }
    DoChar(Ch);
}

void TComTerminalCore::Show(char32_t Ch) {
    switch (Ch) {
    case 8:
        AdvanceCaret(acBackspace);
        break;
    case 9:
        AdvanceCaret(acTab);
        break;
    case 10:
    case 12:
        AdvanceCaret(acLineFeed);
        break;
    case 13:
        AdvanceCaret(acReturn);
        break;
    default:
        // 8-bit: the printable ASCII characters; UTF-8 also every code point from U+00A0 on.
        if ((Ch >= 32 && Ch <= 126) || (FUtf8 && Ch >= 0xA0)) {
            TComTermChar Cell = GetCharAttr();
            Cell.CharCode = Ch <= 126 ? static_cast<char>(Ch) : '?';
            if (Ch > 126) Cell.Code = Ch;
            FBuffer.SetChar(FCaretPos.X, FCaretPos.Y, Cell);
            if (FTimestamps && FBuffer.RowStamp(FCaretPos.Y) == 0)
                FBuffer.SetRowStamp(FCaretPos.Y,
                                    FClock ? FClock()
                                           : std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 std::chrono::system_clock::now().time_since_epoch())
                                                 .count());
            InvalidatePortion(Rect(FCaretPos.X, FCaretPos.Y, FCaretPos.X, FCaretPos.Y));
            AdvanceCaret(acChar);
        }
        break;
    }
}

TComTermChar TComTerminalCore::GetCharAttr() const {
    TComTermChar Cell;
    Cell.ForeColor = FAttributes.Bright ? FAltColor : FAttributes.Inverse ? FColor : FFontColor;
    Cell.BackColor = FAttributes.Inverse ? FFontColor : FColor;
    Cell.Underlined = FAttributes.Underline;
    Cell.Bold = FAttributes.Bright;
    return Cell;
}

void TComTerminalCore::MoveCaret(int64_t X, int64_t Y) {
    FCaretPos.X = static_cast<int>(std::clamp<int64_t>(X, 1, FColumns));
    FCaretPos.Y = static_cast<int>(std::clamp<int64_t>(Y, 1, FRows));
    if (FView && FHideCount == 0) FView->ViewCaretMoved();
}

void TComTerminalCore::AdvanceCaret(TAdvanceCaret Kind) {
    const int X = FCaretPos.X, Y = FCaretPos.Y;
    switch (Kind) {
    case acChar:
        if (X < FColumns)
            MoveCaret(X + 1, Y);
        else if (FWrapLines) {
            FBuffer.SetRowContinues(Y, true); // copied text joins the two rows again
            if (Y < FRows)
                MoveCaret(1, Y + 1);
            else {
                FBuffer.ScrollDown();
                MoveCaret(1, Y);
            }
        }
        break;
    case acReturn:
        MoveCaret(1, Y);
        break;
    case acLineFeed:
        if (Y >= FRows)
            FBuffer.ScrollDown();
        else
            MoveCaret(X, Y + 1);
        break;
    case acReverseLineFeed:
        if (Y <= 1)
            FBuffer.ScrollUp();
        else
            MoveCaret(X, Y - 1);
        break;
    case acTab:
        if (int T = FBuffer.NextTab(X + 1); T > 0) MoveCaret(T, Y);
        break;
    case acBackspace:
        MoveCaret(int64_t{X} - 1, Y);
        break;
    }
}

bool TComTerminalCore::PutEscapeCode(TEscapeCode Code, TEscapeParams* Params) {
    const int64_t P1 = TEscapeCodes::GetParam(1, Params), P2 = TEscapeCodes::GetParam(2, Params);
    const int64_t X = FCaretPos.X, Y = FCaretPos.Y;
    TEscapeParams Local;
    TEscapeParams& List = Params ? *Params : Local;
    switch (Code) {
    case ecCursorUp:
    case ecAppCursorUp:
        MoveCaret(X, Y - P1);
        break;
    case ecCursorDown:
    case ecAppCursorDown:
        MoveCaret(X, Y + P1);
        break;
    case ecCursorLeft:
    case ecAppCursorLeft:
        MoveCaret(X - P1, Y);
        break;
    case ecCursorRight:
    case ecAppCursorRight:
        MoveCaret(X + P1, Y);
        break;
    case ecCursorHome:
    case ecCursorMove:
        MoveCaret(P2, P1);
        break;
    case ecReverseLineFeed:
        AdvanceCaret(acReverseLineFeed);
        break;
    case ecEraseLineFrom:
        FBuffer.EraseLine(FCaretPos.X, FCaretPos.Y);
        break;
    case ecEraseScreenFrom:
        FBuffer.EraseScreen(FCaretPos.X, FCaretPos.Y);
        break;
    case ecEraseLine:
        FBuffer.EraseLine(1, FCaretPos.Y);
        MoveCaret(1, Y);
        break;
    case ecEraseScreen:
        FBuffer.EraseScreen(1, 1);
        MoveCaret(1, 1);
        break;
    case ecSetTab:
        FBuffer.SetTab(FCaretPos.X, true);
        break;
    case ecClearTab:
        FBuffer.SetTab(FCaretPos.X, false);
        break;
    case ecClearAllTabs:
        FBuffer.ClearAllTabs();
        break;
    case ecIdentify:
        List.clear();
        List.push_back("2");
        SendCodeNoEcho(ecIdentResponse, &List);
        break;
    case ecQueryDevice:
        SendCodeNoEcho(ecReportDeviceOK, nullptr);
        break;
    case ecQueryCursorPos:
        List.clear();
        List.push_back(std::to_string(Y));
        List.push_back(std::to_string(X));
        SendCodeNoEcho(ecReportCursorPos, &List);
        break;
    case ecAttributes:
        SetAttributes(Params);
        break;
    case ecSetMode:
        SetMode(Params, true);
        break;
    case ecResetMode:
        SetMode(Params, false);
        break;
    case ecReset:
        List.clear();
        List.push_back("0");
        SetAttributes(&List);
        break;
    case ecSaveCaretAndAttr:
        SaveCaretPos();
        SaveAttr();
        break;
    case ecRestoreCaretAndAttr:
        RestoreCaretPos();
        RestoreAttr();
        break;
    case ecSaveCaret:
        SaveCaretPos();
        break;
    case ecRestoreCaret:
        RestoreCaretPos();
        break;
    case ecTest:
        PerformTest('E');
        break;
    default:
        return false;
    }
    return true;
}

void TComTerminalCore::SetAttributes(const TEscapeParams* Params) {
    if (!Params || Params->empty()) {
        FAttributes = {};
        return;
    }
    for (int I = 1; I <= static_cast<int>(Params->size()); ++I) {
        switch (TEscapeCodes::GetParam(I, Params)) {
        case 0:
            FAttributes = {};
            break;
        case 1:
            FAttributes.Bright = true;
            break;
        case 4:
            FAttributes.Underline = true;
            break;
        case 7:
            FAttributes.Inverse = true;
            break;
        case 21:
            FAttributes.Bright = false;
            break;
        case 24:
            FAttributes.Underline = false;
            break;
        case 27:
            FAttributes.Inverse = false;
            break;
        default:
            break;
        }
    }
}

void TComTerminalCore::SetMode(const TEscapeParams* Params, bool OnOff) {
    if (!Params || Params->empty()) return;
    const std::string& First = (*Params)[0];
    if (First == "?1")
        FMode.AppCursorKeys = OnOff;
    else if (First == "?7")
        FWrapLines = OnOff;
    else if (First == "?3" && !FFitToWindow) // a grid that follows the window keeps its width
        SetColumns(OnOff ? 132 : 80);
}

void TComTerminalCore::SaveCaretPos() {
    FSavedCaretPos = FCaretPos;
}

void TComTerminalCore::RestoreCaretPos() {
    MoveCaret(FSavedCaretPos.X, FSavedCaretPos.Y);
}

void TComTerminalCore::SaveAttr() {
    FSavedAttributes = FAttributes;
}

void TComTerminalCore::RestoreAttr() {
    FAttributes = FSavedAttributes;
}

void TComTerminalCore::PerformTest(char Ch) {
    TComTermChar Cell{Ch, FFontColor, FColor, false};
    for (int Y = 1; Y <= FBuffer.Rows(); ++Y)
        for (int X = 1; X <= FBuffer.Columns(); ++X)
            FBuffer.SetChar(X, Y, Cell);
    Invalidate();
}

void TComTerminalCore::CreateEscapeCodes() {
    if (Designing()) return;
    switch (FEmulation) {
    case teVT100orANSI:
        FEscapeCodes = std::make_unique<TEscapeCodesVT100>();
        break;
    case teVT52:
        FEscapeCodes = std::make_unique<TEscapeCodesVT52>();
        break;
    case teNone:
        FEscapeCodes.reset();
        DoGetEscapeCodes(FEscapeCodes);
        break;
    }
}

// ---- keys and sending ----

void TComTerminalCore::KeyDown(uint16_t Key) {
    static constexpr struct {
        uint16_t Key;
        TEscapeCode Normal, App;
        int DX, DY;
    } Keys[] = {{VK_HOME, ecCursorHome, ecUnknown, 0, 0},
                {VK_LEFT, ecCursorLeft, ecAppCursorLeft, -1, 0},
                {VK_UP, ecCursorUp, ecAppCursorUp, 0, -1},
                {VK_RIGHT, ecCursorRight, ecAppCursorRight, 1, 0},
                {VK_DOWN, ecCursorDown, ecAppCursorDown, 0, 1}};
    for (const auto& K : Keys) {
        if (K.Key != Key) continue;
        if (FMode.AppCursorKeys) {
            if (K.App != ecUnknown) SendCode(K.App);
        } else if (FArrowKeys == akTerminal) {
            SendCode(K.Normal);
        } else {
            TOutputBatch Batch(*this);
            if (K.Key == VK_HOME)
                PutEscapeCode(ecCursorHome, nullptr);
            else
                MoveCaret(int64_t{FCaretPos.X} + K.DX, int64_t{FCaretPos.Y} + K.DY);
        }
        return;
    }
}

void TComTerminalCore::SendKeySequence(const std::string& Seq) {
    if (!Connected()) return;
    ViewLive();
    WriteToPort(Seq);
}

void TComTerminalCore::SetScrollbackRows(int Value) {
    const int Before = FHistory.Count();
    FHistory.SetLimit(Value);
    FLinesGone += Before - FHistory.Count();
    FSelection.Forget(FLinesGone);
    FViewBack = std::min(FViewBack, FHistory.Count());
    Invalidate();
    if (FView) FView->ViewHistoryChanged();
}

// A row leaves the top of the grid: into the scrollback when there is one; its line is gone
// otherwise, and so is the scrollback's oldest when it is full.
void TComTerminalCore::RowLeft(const TComTermChar* Cells, int Columns, const TComTermRowInfo& Info) {
    if (FHistory.Limit() == 0) {
        ++FLinesGone;
    } else if (FHistory.Push(Cells, Columns, Info)) {
        ++FLinesGone;
    } else {
        // A view that looks back stays on the rows it shows.
        if (FViewBack > 0) ++FViewBack;
        FHistoryChanged = true;
        return;
    }
    if (!FSelection.Empty()) FSelection.Forget(FLinesGone);
    if (FHistory.Limit() > 0) FHistoryChanged = true;
}

void TComTerminalCore::ScrollView(int Rows) {
    const int Back = std::clamp(FViewBack + Rows, 0, FHistory.Count());
    if (Back == FViewBack) return;
    FViewBack = Back;
    FHistoryChanged = true;
    Invalidate();
}

TComTermChar TComTerminalCore::ViewChar(int X, int Y) const {
    const int Line = Y - FViewBack;
    if (Line >= 1) return FBuffer.GetChar(X, Line);
    return FHistory.Cell(FHistory.Count() + Line - 1, X);
}

int64_t TComTerminalCore::ViewLine(int Y) const {
    return FLinesGone + FHistory.Count() - FViewBack + Y - 1;
}

void TComTerminalCore::ShowLine(int64_t Line) {
    const int64_t Index = LineIndex(Line), Top = FHistory.Count() - FViewBack;
    if (Index < 0 || (Index >= Top && Index < Top + FRows)) return;
    // The line comes to a third of the way down, where the eye looks first.
    const int64_t Back = std::clamp<int64_t>(FHistory.Count() + FRows / 3 - Index, 0, FHistory.Count());
    ScrollView(static_cast<int>(Back) - FViewBack);
}

int64_t TComTerminalCore::LineIndex(int64_t Line) const {
    const int64_t Index = Line - FLinesGone;
    return Index >= 0 && Index < FHistory.Count() + FBuffer.Rows() ? Index : -1;
}

int TComTerminalCore::LineWidth(int64_t Line) const {
    const int64_t Index = LineIndex(Line);
    if (Index < 0) return 0;
    return Index < FHistory.Count() ? std::max(FHistory.Width(static_cast<int>(Index)), FBuffer.Columns())
                                    : FBuffer.Columns();
}

TComTermChar TComTerminalCore::LineCell(int64_t Line, int X) const {
    const int64_t Index = LineIndex(Line);
    if (Index < 0) return {};
    const int Count = FHistory.Count();
    return Index < Count ? FHistory.Cell(static_cast<int>(Index), X)
                         : FBuffer.GetChar(X, static_cast<int>(Index - Count) + 1);
}

TComTermRowInfo TComTerminalCore::LineInfo(int64_t Line) const {
    const int64_t Index = LineIndex(Line);
    if (Index < 0) return {};
    const int Count = FHistory.Count();
    return Index < Count ? FHistory.Info(static_cast<int>(Index))
                         : FBuffer.RowInfo(static_cast<int>(Index - Count) + 1);
}

// ---- selection and find ----

void TComTerminalCore::SelectionChanged() {
    Invalidate();
}

void TComTerminalCore::SelectBegin(TTermTextPos Cell, bool RightHalf, TSelectUnit Unit) {
    FSelection.Begin(*this, Cell, RightHalf, Unit);
    SelectionChanged();
}

void TComTerminalCore::SelectExtend(TTermTextPos Cell, bool RightHalf) {
    FSelection.Extend(*this, Cell, RightHalf);
    SelectionChanged();
}

// Everything up to the end of the last row that holds text (the empty rows below stay out).
void TComTerminalCore::SelectAll() {
    int64_t Last = EndLine() - 1;
    while (Last > FirstLine() && LinesText(*this, {Last, 1}, {Last + 1, 1}).size() <= 1)
        --Last;
    FSelection.Set({FirstLine(), 1}, {Last, LineWidth(Last) + 1});
    SelectionChanged();
}

void TComTerminalCore::ClearSelection() {
    if (FSelection.Empty()) return;
    FSelection.Clear();
    SelectionChanged();
}

std::string TComTerminalCore::SelectedText() const {
    return LinesText(*this, FSelection.From(), FSelection.To());
}

bool TComTerminalCore::Find(const std::u32string& Needle, bool Backward, bool MatchCase) {
    FHighlight = Needle;
    FHighlightMatchCase = MatchCase;
    const TTermTextPos At = !FSelection.Empty() ? FSelection.From()
                            : Backward          ? TTermTextPos{ViewLine(FRows) + 1, 0}
                                                : TTermTextPos{ViewLine(1), 0};
    const std::optional<TTermTextPos> Hit = FindText(*this, Needle, At, Backward, MatchCase);
    if (!Hit) {
        SelectionChanged();
        return false;
    }
    FSelection.Set(*Hit, {Hit->Line, Hit->X + static_cast<int>(Needle.size())});
    ShowLine(Hit->Line);
    SelectionChanged();
    return true;
}

void TComTerminalCore::ClearHighlight() {
    if (FHighlight.empty()) return;
    FHighlight.clear();
    Invalidate();
}

// ---- paste ----

std::string TComTerminalCore::TypedText(const std::string& Utf8) const {
    std::string Out;
    Out.reserve(Utf8.size());
    for (std::size_t I = 0; I < Utf8.size(); ++I) {
        char Ch = Utf8[I];
        if (Ch == '\r' && I + 1 < Utf8.size() && Utf8[I + 1] == '\n') ++I;
        if (Ch == '\n') Ch = '\r';
        Out += KeyBytes(Ch);
    }
    return Out;
}

std::string TComTerminalCore::KeyBytes(char Ch) const {
    if (std::string Mapped = FLineMaps.Key(Ch); !Mapped.empty()) return Mapped;
    return Ch == '\r' && FSendLF ? std::string("\r\n") : std::string(1, Ch);
}

void TComTerminalCore::SendTyped(const std::string& Bytes) {
    if (!Connected() || Bytes.empty()) return;
    ViewLive();
    WriteToPort(Bytes);
    EchoTyped(Bytes);
}

void TComTerminalCore::EchoTyped(const std::string& Bytes) {
    if (!FLocalEcho) return;
    TOutputBatch Batch(*this);
    for (char C : Bytes)
        PutChar(C);
}

// ---- the grid follows the window ----

void TComTerminalCore::FitGrid(int Columns, int Rows) {
    Columns = std::clamp(Columns, 2, 256);
    Rows = std::clamp(Rows, 2, 100);
    if ((Columns == FColumns && Rows == FRows) || Loading() || Designing()) return;
    TOutputBatch Batch(*this);
    const int Drop = std::max(FCaretPos.Y - Rows, 0);
    FBuffer.Resize(Columns, Rows, Drop);
    FColumns = Columns;
    FRows = Rows;
    FCaretPos.Y -= Drop;
    if (FSavedCaretPos.Y > 0) FSavedCaretPos.Y = std::max(FSavedCaretPos.Y - Drop, 1);
    FSavedCaretPos.X = std::min(FSavedCaretPos.X, FColumns);
    FSavedCaretPos.Y = std::min(FSavedCaretPos.Y, FRows);
    FTopLeft.X = std::min(FTopLeft.X, FColumns);
    FTopLeft.Y = std::min(FTopLeft.Y, FRows);
    MoveCaret(FCaretPos.X, FCaretPos.Y);
    FHistoryChanged = true;
    Invalidate();
    if (FView) FView->ViewGridChanged();
}

void TComTerminalCore::KeyPress(char Key) {
    SendChar(Key);
}

bool TComTerminalCore::Connected() const {
    return FComPort && FComPort->Connected();
}

void TComTerminalCore::SetConnected(bool Value) {
    if (FComPort) FComPort->SetConnected(Value);
}

void TComTerminalCore::WriteToPort(const std::string& Str) {
    // An empty string (a key the dialect has no sequence for) is no traffic at all.
    if (!Str.empty()) FComPort->WriteStr(Str);
}

void TComTerminalCore::SendChar(char Ch) {
    SendTyped(KeyBytes(Ch));
}

void TComTerminalCore::SendCode(TEscapeCode Code, TEscapeParams* Params) {
    if (!Connected() || !FEscapeCodes) return;
    WriteToPort(FEscapeCodes->EscCodeToStr(Code, Params));
    if (FLocalEcho) {
        TOutputBatch Batch(*this);
        PutEscapeCode(Code, Params);
    }
}

void TComTerminalCore::SendCodeNoEcho(TEscapeCode Code, TEscapeParams* Params) {
    if (!Connected() || !FEscapeCodes) return;
    WriteToPort(FEscapeCodes->EscCodeToStr(Code, Params));
}

// ---- the port ----

void TComTerminalCore::SetComPort(TCustomComPort* Value) {
    if (Value == FComPort) return;
    TCustomComPort* Old = FComPort;
    if (Old) {
        TThreadHandoff::TNoWait NoWait(FHandoff);
        Old->UnRegisterLink(FComLink.get());
        // Blocks still queued came from the port let go of; they must not show after the next.
        FHandoff.Discard();
    }
    if (FView) FView->ViewPortChanging(Old, Value);
    FComPort = Value;
    if (Value) Value->RegisterLink(FComLink.get());
}

// ---- properties ----

void TComTerminalCore::SetColumns(int Value) {
    Value = std::clamp(Value, 2, 256);
    if (Value == FColumns) return;
    FColumns = Value;
    DimensionsChanged();
}

void TComTerminalCore::SetRows(int Value) {
    Value = std::clamp(Value, 2, 100);
    if (Value == FRows) return;
    FRows = Value;
    DimensionsChanged();
}

// The grid is rebuilt empty outside loading and design time. The caret, the saved caret and the
// view's origin are brought back inside the new grid, so no later access leaves it.
void TComTerminalCore::DimensionsChanged() {
    if (!Loading() && !Designing()) {
        FBuffer.Init();
        FSelection.Clear();
        Invalidate();
    }
    FSavedCaretPos.X = std::min(FSavedCaretPos.X, FColumns);
    FSavedCaretPos.Y = std::min(FSavedCaretPos.Y, FRows);
    FTopLeft.X = std::min(FTopLeft.X, FColumns);
    FTopLeft.Y = std::min(FTopLeft.Y, FRows);
    MoveCaret(FCaretPos.X, FCaretPos.Y);
    if (FView) FView->ViewGridChanged();
}

void TComTerminalCore::SetEmulation(TTermEmulation Value) {
    if (Value == FEmulation) return;
    FEmulation = Value;
    if (Loading()) return;
    FEscapeCodes.reset();
    CreateEscapeCodes();
}

void TComTerminalCore::SetCaret(TTermCaret Value) {
    if (Value == FCaret) return;
    FCaret = Value;
    if (FView) FView->ViewCaretShapeChanged();
}

void TComTerminalCore::SetCharSize(int Width, int Height) {
    FCharWidth = std::max(Width, 1);
    FCharHeight = std::max(Height, 1);
}

void TComTerminalCore::SetTopLeft(TPoint Value) {
    FlushOutput();
    FTopLeft.X = std::clamp(Value.X, 1, FColumns);
    FTopLeft.Y = std::clamp(Value.Y, 1, FRows);
}

// ---- display arithmetic ----

TRect TComTerminalCore::PortionPixels(const TRect& Cells) const {
    auto Px = [](int64_t Cell, int64_t Origin, int64_t Unit) {
        return ClampToInt(std::max<int64_t>((Cell - Origin) * Unit, 0));
    };
    return Rect(Px(Cells.Left, FTopLeft.X, FCharWidth), Px(Cells.Top, FTopLeft.Y, FCharHeight),
                Px(int64_t{Cells.Right} + 1, FTopLeft.X, FCharWidth),
                Px(int64_t{Cells.Bottom} + 1, FTopLeft.Y, FCharHeight));
}

TRect TComTerminalCore::ViewCellsInClip(const TRect& Clip) const {
    if (Empty(Clip)) return {1, 1, 0, 0};
    // Only cells the buffer holds: its own size may lag behind Columns while loading.
    const int GridColumns = std::min(FColumns, FBuffer.Columns()), GridRows = std::min(FRows, FBuffer.Rows());
    TRect R;
    R.Left = std::max(Clip.Left, 0) / FCharWidth + 1;
    R.Top = std::max(Clip.Top, 0) / FCharHeight + 1;
    R.Right = std::min((Clip.Right - 1) / FCharWidth + 1, GridColumns - FTopLeft.X + 1);
    R.Bottom = std::min((Clip.Bottom - 1) / FCharHeight + 1, GridRows - FTopLeft.Y + 1);
    return R;
}

int TComTerminalCore::CaretHeight() const {
    switch (FCaret) {
    case tcBlock:
        return FCharHeight;
    case tcUnderline:
        return std::max(FCharHeight / 8, 1);
    default:
        return 0;
    }
}

TPoint TComTerminalCore::CaretPixelPos() const {
    return {(FCaretPos.X - FTopLeft.X) * FCharWidth,
            (FCaretPos.Y - FTopLeft.Y) * FCharHeight + FCharHeight - CaretHeight()};
}

// ---- output batching ----

int TComTerminalCore::ClientWidth() const {
    return FView ? FView->ViewClientWidth() : FColumns * FCharWidth;
}

int TComTerminalCore::ClientHeight() const {
    return FView ? FView->ViewClientHeight() : FRows * FCharHeight;
}

bool TComTerminalCore::DoubleBuffered() const {
    return FView && FView->ViewDoubleBuffered();
}

void TComTerminalCore::Invalidate() {
    AddDirty(Rect(0, 0, std::max(ClientWidth(), 0), std::max(ClientHeight(), 0)));
}

void TComTerminalCore::InvalidatePortion(const TRect& Cells) {
    AddDirty(PortionPixels(Cells));
}

void TComTerminalCore::AddDirty(const TRect& Pixels) {
    if (!FView) return;
    FDirty = Union(FDirty, Pixels);
    if (FHideCount == 0) FlushOutput();
}

// Scrolls compose: the pending move grows, the pixels already marked move with the grid (their
// old place stays marked too), and each uncovered strip is marked. Once the moves add up to the
// whole clip nothing is moved and the clip is repainted instead.
void TComTerminalCore::ScrollWindowPixels(int DX, int DY, const TRect& Clip) {
    if (!FView || Empty(Clip)) return;
    // A view that looks back keeps its rows in place: what moved is below it, if shown at all.
    if (FViewBack > 0) {
        AddDirty(Clip);
        return;
    }
    if (DX != 0) {
        AddDirty(Clip); // the grid only ever moves vertically; a sideways move repaints
        return;
    }
    if (FPendingDY != 0 && !(Clip == FScrollClip)) FlushOutput();
    FScrollClip = Clip;
    TRect Moved = Intersect(FDirty, Clip);
    if (!Empty(Moved)) {
        Moved.Top += DY, Moved.Bottom += DY;
        FDirty = Union(FDirty, Intersect(Moved, Clip));
    }
    TRect Strip = DY < 0 ? Rect(Clip.Left, Clip.Bottom + DY, Clip.Right, Clip.Bottom)
                         : Rect(Clip.Left, Clip.Top, Clip.Right, Clip.Top + DY);
    FDirty = Union(FDirty, Intersect(Strip, Clip));
    FPendingDY += DY;
    if (std::abs(FPendingDY) >= Clip.Height()) {
        FDirty = Union(FDirty, Clip);
        FPendingDY = 0;
    }
    if (FHideCount == 0) FlushOutput();
}

void TComTerminalCore::FlushOutput() {
    if (!FView) return;
    const int DY = std::exchange(FPendingDY, 0);
    const TRect Dirty = std::exchange(FDirty, TRect{});
    if (DY != 0 && !(Intersect(Dirty, FScrollClip) == FScrollClip)) FView->ViewScroll(0, DY, FScrollClip);
    if (!Empty(Dirty)) FView->ViewInvalidate(Dirty);
    if (std::exchange(FHistoryChanged, false)) FView->ViewHistoryChanged();
}

void TComTerminalCore::HideCaret() {
    if (FHideCount++ == 0 && FView) FView->ViewHideCaret();
}

void TComTerminalCore::ShowCaret() {
    if (FHideCount == 0 || --FHideCount > 0) return;
    if (!FView) return;
    FlushOutput();
    FView->ViewCaretMoved();
    FView->ViewShowCaret();
}

// ---- events ----

void TComTerminalCore::DoChar(char Ch) {
    if (FOnChar) FOnChar(FSender, Ch);
}

void TComTerminalCore::DoGetEscapeCodes(std::unique_ptr<TEscapeCodes>& EscapeCodes) {
    if (FOnGetEscapeCodes) FOnGetEscapeCodes(FSender, EscapeCodes);
}

void TComTerminalCore::DoStrRecieved(std::string& Str) {
    if (FOnStrRecieved) FOnStrRecieved(FSender, Str);
}

void TComTerminalCore::DoUnhandledCode(TEscapeCode Code, const std::string& Data) {
    if (FOnUnhandledCode) FOnUnhandledCode(FSender, Code, Data);
}

const std::vector<std::string>& TermEmulationNames() {
    static const std::vector<std::string> Names{"teVT100orANSI", "teVT52", "teNone"};
    return Names;
}

const std::vector<std::string>& TermCaretNames() {
    static const std::vector<std::string> Names{"tcBlock", "tcUnderline", "tcNone"};
    return Names;
}

const std::vector<std::string>& ArrowKeysNames() {
    static const std::vector<std::string> Names{"akTerminal", "akWindows"};
    return Names;
}
