#include "cportui/ComTerminal.h"
#include "cportui/core/ExtraKeys.h"

#include "cport/ComPort.h"
#include "cportui/ComTrmSetForm.h"
#include "platform/toolkit/FormData.h"
#include "platform/toolkit/ShowException.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QMimeData>
#include <QMouseEvent>
#include <QFontDatabase>
#include <QFontDialog>
#include <QFontInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QWheelEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>

#include <algorithm>
#include <exception>
#include <utility>

namespace {

// "Fixedsys" is the stored name of the terminal's font; on this system it stands for the
// fixed-pitch face the desktop names (installed by setup-deps when missing).
void InstallFixedsys() {
    static const bool Done = [] {
        QFont::insertSubstitution("Fixedsys", QFontDatabase::systemFont(QFontDatabase::FixedFont).family());
        return true;
    }();
    (void)Done;
}

QWidget* ParentOf(TComponent* AOwner) {
    return dynamic_cast<QWidget*>(AOwner);
}

QFont ToQFont(const TCanvasFont& F, bool Underline) {
    QFont Q(QString::fromStdString(F.Name));
    if (F.Height > 0)
        Q.setPixelSize(F.Height);
    else
        Q.setPointSize(std::max(F.Size, 1));
    Q.setBold(F.Bold);
    Q.setItalic(F.Italic);
    Q.setUnderline(Underline);
    Q.setStyleHint(QFont::TypeWriter);
    return Q;
}

QRect ToQRect(const TRect& R) {
    return QRect(R.Left, R.Top, R.Right - R.Left, R.Bottom - R.Top);
}

// The platform's virtual-key code of a key, from an explicit table (Qt's own codes are never
// passed on: Qt's '(' has the number of the Down key). Letters and digits are named by their
// unshifted key, so a shifted digit or punctuation mark of the US layout gives the code of the key
// it sits on (Shift+9, '(' , gives the 9 key). 0 for a key without a code.
uint16_t VirtualKey(int Key) {
    if (Key >= Qt::Key_A && Key <= Qt::Key_Z) return static_cast<uint16_t>('A' + (Key - Qt::Key_A));
    if (Key >= Qt::Key_0 && Key <= Qt::Key_9) return static_cast<uint16_t>('0' + (Key - Qt::Key_0));
    if (Key >= Qt::Key_F1 && Key <= Qt::Key_F24) return static_cast<uint16_t>(0x70 + (Key - Qt::Key_F1));
    static const struct {
        int Qt;
        uint16_t Vk;
    } Named[] = {
        {Qt::Key_Backspace, 0x08},
        {Qt::Key_Tab, 0x09},
        {Qt::Key_Backtab, 0x09},
        {Qt::Key_Return, 0x0D},
        {Qt::Key_Enter, 0x0D},
        {Qt::Key_Shift, 0x10},
        {Qt::Key_Control, 0x11},
        {Qt::Key_Alt, 0x12},
        {Qt::Key_Pause, 0x13},
        {Qt::Key_CapsLock, 0x14},
        {Qt::Key_Escape, 0x1B},
        {Qt::Key_Space, 0x20},
        {Qt::Key_PageUp, 0x21},
        {Qt::Key_PageDown, 0x22},
        {Qt::Key_End, 0x23},
        {Qt::Key_Home, VK_HOME},
        {Qt::Key_Left, VK_LEFT},
        {Qt::Key_Up, VK_UP},
        {Qt::Key_Right, VK_RIGHT},
        {Qt::Key_Down, VK_DOWN},
        {Qt::Key_Print, 0x2C},
        {Qt::Key_Insert, 0x2D},
        {Qt::Key_Delete, 0x2E},
        {Qt::Key_Meta, 0x5B},
        {Qt::Key_Menu, 0x5D},
        {Qt::Key_NumLock, 0x90},
        {Qt::Key_ScrollLock, 0x91},
        // Shifted digits of the US layout: the digit's key.
        {Qt::Key_ParenRight, '0'},
        {Qt::Key_Exclam, '1'},
        {Qt::Key_At, '2'},
        {Qt::Key_NumberSign, '3'},
        {Qt::Key_Dollar, '4'},
        {Qt::Key_Percent, '5'},
        {Qt::Key_AsciiCircum, '6'},
        {Qt::Key_Ampersand, '7'},
        {Qt::Key_Asterisk, '8'},
        {Qt::Key_ParenLeft, '9'},
        // Punctuation keys, shifted or not.
        {Qt::Key_Semicolon, 0xBA},
        {Qt::Key_Colon, 0xBA},
        {Qt::Key_Equal, 0xBB},
        {Qt::Key_Plus, 0xBB},
        {Qt::Key_Comma, 0xBC},
        {Qt::Key_Less, 0xBC},
        {Qt::Key_Minus, 0xBD},
        {Qt::Key_Underscore, 0xBD},
        {Qt::Key_Period, 0xBE},
        {Qt::Key_Greater, 0xBE},
        {Qt::Key_Slash, 0xBF},
        {Qt::Key_Question, 0xBF},
        {Qt::Key_QuoteLeft, 0xC0},
        {Qt::Key_AsciiTilde, 0xC0},
        {Qt::Key_BracketLeft, 0xDB},
        {Qt::Key_BraceLeft, 0xDB},
        {Qt::Key_Backslash, 0xDC},
        {Qt::Key_Bar, 0xDC},
        {Qt::Key_BracketRight, 0xDD},
        {Qt::Key_BraceRight, 0xDD},
        {Qt::Key_Apostrophe, 0xDE},
        {Qt::Key_QuoteDbl, 0xDE},
    };
    for (const auto& N : Named)
        if (N.Qt == Key) return N.Vk;
    return 0;
}

// The keys the terminal itself acts on in KeyDown; every other key types its characters.
bool IsTerminalKey(uint16_t Vk) {
    return Vk == VK_HOME || Vk == VK_LEFT || Vk == VK_UP || Vk == VK_RIGHT || Vk == VK_DOWN;
}

// The characters a key press types, as bytes in the system code page (UTF-8). Keys whose text a
// platform may leave empty (Ctrl+letter, Enter, Backspace ...) get the character a terminal sends.
std::string TypedBytes(const QKeyEvent& E) {
    const int Key = E.key();
    if ((E.modifiers() & Qt::ControlModifier) && Key >= Qt::Key_A && Key <= Qt::Key_Z)
        return std::string(1, static_cast<char>(Key - Qt::Key_A + 1));
    if (!E.text().isEmpty()) return E.text().toStdString();
    switch (Key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return "\r";
    case Qt::Key_Backspace:
        return "\b";
    case Qt::Key_Tab:
        return "\t";
    case Qt::Key_Escape:
        return "\x1b";
    case Qt::Key_Delete:
        return "\x7f";
    default:
        return {};
    }
}

// A colour halfway between two (the gutter's dimmed text).
QColor Between(TColor A, TColor B) {
    const QColor P = ToQColor(A), Q = ToQColor(B);
    return QColor((P.red() + Q.red()) / 2, (P.green() + Q.green()) / 2, (P.blue() + Q.blue()) / 2);
}

} // namespace

// The timestamp gutter left of the viewport; the terminal paints it.
class TTermGutter final : public QWidget {
  public:
    explicit TTermGutter(TCustomComTerminal* Terminal) : QWidget(Terminal), FTerminal(Terminal) {
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

  protected:
    void paintEvent(QPaintEvent* Event) override {
        QPainter Painter(this);
        FTerminal->PaintGutter(Painter, Event->rect());
    }

  private:
    TCustomComTerminal* FTerminal;
};

TCanvasFont ComTerminalFont() {
    TCanvasFont F;
    F.Name = "Fixedsys";
    F.Color = clWhite;
    F.Size = 9;
    return F;
}

TCustomComTerminal::TCustomComTerminal(QWidget* Parent, TComponent* AOwner)
    : QAbstractScrollArea(Parent), TComponent(AOwner, coDeletedElsewhere),
      TComTerminalCore(static_cast<TComponent*>(this), static_cast<TComTerminalView*>(this)),
      FBlinkTimer(new QTimer(this)) {
    InstallFixedsys();
    // Every pixel of the viewport is painted by us, so Qt may move its pixels when it scrolls.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setCursor(Qt::IBeamCursor);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    horizontalScrollBar()->setTracking(false);
    verticalScrollBar()->setTracking(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    connect(FBlinkTimer, &QTimer::timeout, this, [this] {
        FBlinkOn = !FBlinkOn;
        UpdateCaretRect(CaretRect());
    });
    resize(400, 250);
    TComTerminalCore::SetColor(clBlack);
    SetFont(ComTerminalFont());
}

TCustomComTerminal::TCustomComTerminal(TComponent* AOwner) : TCustomComTerminal(ParentOf(AOwner), AOwner) {}

TCustomComTerminal::~TCustomComTerminal() {
    // Unbind and stop taking data while this view still exists.
    Shutdown();
}

void TCustomComTerminal::Loaded() {
    TComponent::Loaded();
    FinishLoading();
}

void TCustomComTerminal::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent && AComponent == static_cast<TComponent*>(ComPort()))
        SetComPort(nullptr);
}

void TCustomComTerminal::ViewPortChanging(TCustomComPort* Old, TCustomComPort* New) {
    if (Old) RemoveFreeNotification(Old);
    if (New) FreeNotification(New);
}

void TCustomComTerminal::ShowSetupDialog() {
    EditComTerminal(*this);
}

void TCustomComTerminal::SelectFont() {
    bool Ok = false;
    QFont Picked = QFontDialog::getFont(&Ok, FQFont, this, QString(), QFontDialog::MonospacedFonts);
    if (!Ok) return;
    TCanvasFont F = FFont;
    F.Name = Picked.family().toStdString();
    F.Height = Picked.pixelSize() > 0 ? Picked.pixelSize() : 0;
    if (Picked.pointSize() > 0) F.Size = Picked.pointSize();
    F.Bold = Picked.bold();
    F.Italic = Picked.italic();
    F.Underline = Picked.underline();
    SetFont(F);
}

// ---- font and size ----

bool TCustomComTerminal::CalculateMetrics() {
    QFontMetrics M(FQFont);
    SetCharSize(M.horizontalAdvance(QLatin1Char('M')), M.height());
    FAscent = M.ascent();
    return QFontInfo(FQFont).fixedPitch();
}

void TCustomComTerminal::SetFont(const TCanvasFont& Value) {
    FFont = Value;
    FFontFallbackDone = false;
    FontChanged();
}

// The terminal draws with a fixed-pitch face and no underline: a proportional font falls back to
// the default name once (and is accepted as it then is, should that face not be fixed either),
// an underlined one loses the underline.
void TCustomComTerminal::FontChanged() {
    for (;;) {
        FQFont = ToQFont(FFont, false);
        const bool Fixed = CalculateMetrics();
        if (!Fixed && !FFontFallbackDone && FFont.Name != ComTerminalFont().Name) {
            FFontFallbackDone = true;
            FFont.Name = ComTerminalFont().Name;
            continue;
        }
        if (FFont.Underline) {
            FFont.Underline = false;
            continue;
        }
        break;
    }
    FQFontUnderlined = ToQFont(FFont, true);
    FQFontBold = FQFont;
    FQFontBold.setBold(true);
    FQFontBoldUnderlined = FQFontUnderlined;
    FQFontBoldUnderlined.setBold(true);
    setFont(FQFont);
    SetFontColor(FFont.Color);
    AdjustSize();
    PlaceGutter();
    UpdateScrollRange();
    Fit();
    viewport()->update();
}

void TCustomComTerminal::SetColor(TColor Value) {
    TComTerminalCore::SetColor(Value);
    viewport()->update();
}

void TCustomComTerminal::SetBorderStyle(TBorderStyle Value) {
    if (Value == FBorderStyle) return;
    FBorderStyle = Value;
    ApplyFrame();
}

void TCustomComTerminal::SetCtl3D(bool Value) {
    if (Value == FCtl3D) return;
    FCtl3D = Value;
    ApplyFrame();
}

void TCustomComTerminal::ApplyFrame() {
    const int Frame = FBorderStyle != bsSingle ? QFrame::NoFrame
                      : FCtl3D                 ? QFrame::StyledPanel | QFrame::Sunken
                                               : QFrame::Box | QFrame::Plain;
    setFrameStyle(Frame);
    AdjustSize();
    UpdateScrollRange();
}

// ---- the font as a stored sub-object ----

void TComTerminalFont::Change(const std::function<void(TCanvasFont&)>& Edit) {
    TCanvasFont F = FTerminal.Font();
    Edit(F);
    FTerminal.SetFont(F);
}

std::string TComTerminalFont::Name() const {
    return FTerminal.Font().Name;
}
void TComTerminalFont::SetName(const std::string& Value) {
    Change([&](TCanvasFont& F) { F.Name = Value; });
}
int32_t TComTerminalFont::Size() const {
    return FTerminal.Font().Size;
}
void TComTerminalFont::SetSize(int32_t Value) {
    Change([&](TCanvasFont& F) { F.Size = Value; });
}
TColor TComTerminalFont::Color() const {
    return FTerminal.Font().Color;
}
void TComTerminalFont::SetColor(TColor Value) {
    Change([&](TCanvasFont& F) { F.Color = Value; });
}
TFontStyles TComTerminalFont::Style() const {
    const TCanvasFont F = FTerminal.Font();
    TFontStyles S;
    if (F.Bold) S.Include(fsBold);
    if (F.Italic) S.Include(fsItalic);
    if (F.Underline) S.Include(fsUnderline);
    return S;
}
void TComTerminalFont::SetStyle(TFontStyles Value) {
    Change([&](TCanvasFont& F) {
        F.Bold = Value.Contains(fsBold);
        F.Italic = Value.Contains(fsItalic);
        F.Underline = Value.Contains(fsUnderline);
    });
}

void TCustomComTerminal::SetAutoSize(bool Value) {
    FAutoSize = Value;
    AdjustSize();
}

void TCustomComTerminal::SetTabStop(bool Value) {
    FTabStop = Value;
    setFocusPolicy(Value ? Qt::StrongFocus : Qt::NoFocus);
}

QSize TCustomComTerminal::sizeHint() const {
    return {CharWidth() * Columns() + 2 * frameWidth(), CharHeight() * Rows() + 2 * frameWidth()};
}

// With AutoSize the control takes the grid's size plus its border; scroll bars are not counted.
void TCustomComTerminal::AdjustSize() {
    if (FAutoSize && !FitToWindow()) resize(sizeHint());
}

void TCustomComTerminal::SetFitToWindow(bool Value) {
    TComTerminalCore::SetFitToWindow(Value);
    ApplyBarPolicy();
    Fit();
}

// The grid takes what fits in the viewport.
void TCustomComTerminal::Fit() {
    // A hidden control has no real size yet: it fits when it is shown.
    if (!FitToWindow() || ViewDesigning() || !isVisible()) return;
    const int C = viewport()->width() / CharWidth(), R = viewport()->height() / CharHeight();
    const int BeforeC = Columns(), BeforeR = Rows();
    FitGrid(C, R);
    // Only a change the user can have seen is told: not the fits while the window first lays out.
    if ((Columns() != BeforeC || Rows() != BeforeR) && FPaintCount > 0) emit GridResized(Columns(), Rows());
}

void TCustomComTerminal::SetBoldFace(bool Value) {
    FBoldFace = Value;
    viewport()->update();
}

void TCustomComTerminal::SetTimestamps(bool Value) {
    TComTerminalCore::SetTimestamps(Value);
    if (Value && !FGutter) FGutter = new TTermGutter(this);
    if (FGutter) FGutter->setVisible(Value);
    PlaceGutter();
    Fit();
}

// The gutter holds "HH:MM:SS" and a blank, in the margin left of the viewport.
void TCustomComTerminal::PlaceGutter() {
    const int Width = Timestamps() ? 9 * CharWidth() : 0;
    setViewportMargins(Width, 0, 0, 0);
    if (!FGutter) return;
    const QRect V = viewport()->geometry();
    FGutter->setGeometry(V.left() - Width, V.top(), Width, V.height());
    FGutter->update();
}

void TCustomComTerminal::PaintGutter(QPainter& Painter, const QRect& Clip) {
    Painter.fillRect(Clip, ToQColor(TComTerminalCore::Color()));
    Painter.setFont(FQFont);
    Painter.setPen(Between(FontColor(), TComTerminalCore::Color()));
    const int CH = CharHeight();
    for (int VY = std::max(Clip.top() / CH, 0) + 1; (VY - 1) * CH <= Clip.bottom(); ++VY) {
        const int64_t Stamp = LineStamp(ViewLine(VY + TopLeft().Y - 1));
        if (Stamp == 0) continue;
        Painter.drawText(0, (VY - 1) * CH + FAscent,
                         QDateTime::fromMSecsSinceEpoch(Stamp).toString("HH:mm:ss"));
    }
}

int TCustomComTerminal::ViewClientWidth() const {
    return viewport()->width();
}

int TCustomComTerminal::ViewClientHeight() const {
    return viewport()->height();
}

void TCustomComTerminal::ViewGridChanged() {
    AdjustSize();
    UpdateScrollRange();
    viewport()->update();
}

// ---- scroll bars ----

void TCustomComTerminal::SetScrollBars(TScrollStyle Value) {
    if (Value == FScrollBars) return;
    FScrollBars = Value;
    ApplyBarPolicy();
    const bool H = Value == ssHorizontal || Value == ssBoth, V = Value == ssVertical || Value == ssBoth;
    if (!H) horizontalScrollBar()->setRange(0, 0);
    if (!V) verticalScrollBar()->setRange(0, 0);
    UpdateScrollRange();
    SyncTopLeft();
}

// A grid that follows the window never needs a horizontal bar; its vertical bar is for the
// scrollback and stays, so the grid's width does not change as the scrollback fills.
void TCustomComTerminal::ApplyBarPolicy() {
    const bool H = FScrollBars == ssHorizontal || FScrollBars == ssBoth;
    const bool V = FScrollBars == ssVertical || FScrollBars == ssBoth;
    if (FitToWindow()) {
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setVerticalScrollBarPolicy(V && ScrollbackRows() > 0 ? Qt::ScrollBarAlwaysOn
                                                             : Qt::ScrollBarAlwaysOff);
        return;
    }
    setHorizontalScrollBarPolicy(H ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(V ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
}

int TCustomComTerminal::BarHistoryRows() const {
    const bool V = FScrollBars == ssVertical || FScrollBars == ssBoth;
    return V && ScrollbackRows() > 0 ? History().Count() : 0;
}

// The vertical bar covers the scrollback above the grid: its value counts rows from the oldest.
void TCustomComTerminal::SetVerticalBar() {
    const int Back = BarHistoryRows();
    FSettingBar = true;
    verticalScrollBar()->setRange(0, FVMax + Back);
    verticalScrollBar()->setValue(Back - std::min(ViewBack(), Back) + TopLeft().Y - 1);
    FSettingBar = false;
}

// Output may change the scrollback many times in one turn of the event loop: the bar and the
// gutter follow once, when the loop comes round.
void TCustomComTerminal::ViewHistoryChanged() {
    if (std::exchange(FHistoryPending, true)) return;
    QMetaObject::invokeMethod(this, &TCustomComTerminal::FollowHistory, Qt::QueuedConnection);
}

void TCustomComTerminal::FollowHistory() {
    FHistoryPending = false;
    const bool Bar = ScrollbackRows() > 0 && (FScrollBars == ssVertical || FScrollBars == ssBoth);
    if (FitToWindow() && (verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn) != Bar) ApplyBarPolicy();
    if (FScrollBars == ssVertical || FScrollBars == ssBoth) SetVerticalBar();
    if (FGutter && Timestamps()) FGutter->update();
}

void TCustomComTerminal::SetSmoothScroll(bool Value) {
    TComTerminalCore::SetSmoothScroll(Value);
    // Without smooth scrolling the view jumps when the thumb is released.
    horizontalScrollBar()->setTracking(Value);
    verticalScrollBar()->setTracking(Value);
}

// A bar is shown only while the grid does not fit (its range is then not empty). The client
// size without bars decides first; a bar that appears takes room from the other direction, so
// the ranges are computed again with that room taken.
void TCustomComTerminal::UpdateScrollRange() {
    if (FScrollBars == ssNone || FInScrollUpdate) return;
    FInScrollUpdate = true;
    struct TLeave {
        bool& Flag;
        ~TLeave() { Flag = false; }
    } Leave{FInScrollUpdate};
    const bool HOn = FScrollBars == ssHorizontal || FScrollBars == ssBoth;
    const bool VOn = FScrollBars == ssVertical || FScrollBars == ssBoth;
    const int Extent = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    const QSize Full = maximumViewportSize();
    int W = Full.width(), H = Full.height();
    auto Excess = [](int Pixels, int Unit, int Cells) {
        return std::max(Cells - std::max(Pixels, 0) / Unit, 0);
    };
    int HMax = 0, VMax = 0;
    for (int Round = 0; Round < 2; ++Round) {
        HMax = HOn ? Excess(W, CharWidth(), Columns()) : 0;
        const int HClient = H - (HMax > 0 ? Extent : 0);
        VMax = VOn ? Excess(HClient, CharHeight(), Rows()) : 0;
        if (VMax == 0 || Round == 1) break;
        W = Full.width() - Extent; // the vertical bar takes its room
    }
    const int HClient = H - (HMax > 0 ? Extent : 0);
    horizontalScrollBar()->setRange(0, HMax);
    horizontalScrollBar()->setPageStep(std::max(W / CharWidth(), 1));
    horizontalScrollBar()->setSingleStep(1);
    FVMax = VMax;
    if (BarHistoryRows() > 0)
        SetVerticalBar();
    else
        verticalScrollBar()->setRange(0, VMax);
    verticalScrollBar()->setPageStep(std::max(HClient / CharHeight(), 1));
    verticalScrollBar()->setSingleStep(1);
    SyncTopLeft();
}

// TopLeft follows the bars' positions, which the bars have clamped to their ranges; the part of
// the vertical bar above the grid moves the view over the scrollback.
void TCustomComTerminal::SyncTopLeft() {
    int V = verticalScrollBar()->value();
    if (const int Back = BarHistoryRows(); Back > 0) {
        ScrollView(Back - std::min(V, Back) - ViewBack());
        V = std::max(V - Back, 0);
    }
    SetTopLeft({horizontalScrollBar()->value() + 1, V + 1});
}

void TCustomComTerminal::scrollContentsBy(int DX, int DY) {
    if (FSettingBar) return;
    SyncTopLeft();
    if (DY != 0 && BarHistoryRows() > 0) {
        viewport()->update(); // the view moved over the scrollback: a repaint, not a pixel move
        return;
    }
    if (FDoubleBuffered || FUpdatePending) {
        viewport()->update();
        return;
    }
    ViewScroll(DX * CharWidth(), DY * CharHeight(), Rect(0, 0, viewport()->width(), viewport()->height()));
}

void TCustomComTerminal::showEvent(QShowEvent* Event) {
    QAbstractScrollArea::showEvent(Event);
    Fit();
}

void TCustomComTerminal::resizeEvent(QResizeEvent* Event) {
    QAbstractScrollArea::resizeEvent(Event);
    PlaceGutter();
    UpdateScrollRange();
    Fit();
}

// ---- painting ----

void TCustomComTerminal::ViewInvalidate(const TRect& Pixels) {
    FUpdatePending = true;
    viewport()->update(ToQRect(Pixels));
}

// The pixels move only while what is on screen is up to date; with a repaint still pending they
// could carry stale pixels to a place nobody repaints, so the area is repainted instead.
void TCustomComTerminal::ViewScroll(int DX, int DY, const TRect& Clip) {
    const QRect R = ToQRect(Clip);
    if (FUpdatePending || FDoubleBuffered) {
        FUpdatePending = true;
        viewport()->update(R);
        return;
    }
    viewport()->scroll(DX, DY, R);
    FScrolledPixels +=
        static_cast<int64_t>(std::abs(DX) * R.height()) + static_cast<int64_t>(std::abs(DY) * R.width());
    // The drawn caret moved with the pixels: repaint where it went.
    if (!FCaretPainted.isNull()) {
        FCaretPainted.translate(DX, DY);
        viewport()->update(FCaretPainted);
    }
}

void TCustomComTerminal::paintEvent(QPaintEvent* Event) {
    FUpdatePending = false;
    ++FPaintCount;
    QPainter Painter(viewport());
    const QRect Clip = Event->rect();
    Painter.fillRect(Clip, ToQColor(TComTerminalCore::Color()));
    if (ViewDesigning()) {
        PaintDesign(Painter);
        return;
    }
    PaintTerminal(Painter, Clip);
    const QRect Caret = CaretRect();
    if (FCaretCreated && FCaretHidden == 0 && FBlinkOn && !Caret.isEmpty() && ViewBack() == 0) {
        // The caret inverts the cell's pixels, as a system caret does.
        Painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
        Painter.fillRect(Caret, Qt::white);
        Painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        FCaretPainted = Caret;
    } else if (Clip.contains(FCaretPainted)) {
        FCaretPainted = QRect();
    }
}

// Selected cells show inverted; matches of the find text on a yellow ground.
void TCustomComTerminal::PaintTerminal(QPainter& Painter, const QRect& Clip) {
    const TRect Cells = ViewCellsInClip(Rect(Clip.left(), Clip.top(), Clip.right() + 1, Clip.bottom() + 1));
    const int CW = CharWidth(), CH = CharHeight();
    const TPoint Origin = TopLeft();
    const bool Selection = !TComTerminalCore::Selection().Empty();
    const std::u32string& Find = Highlight();
    static const QColor MatchBack(230, 190, 40), MatchFore(Qt::black);
    std::vector<char> Match;
    Painter.setFont(FQFont);
    int Face = 0; // bit 0 underlined, bit 1 bold
    const QFont* Faces[] = {&FQFont, &FQFontUnderlined, &FQFontBold, &FQFontBoldUnderlined};
    for (int VY = Cells.Top; VY <= Cells.Bottom; ++VY) {
        const int64_t Line = ViewLine(VY + Origin.Y - 1);
        if (!Find.empty()) {
            Match.assign(static_cast<std::size_t>(Columns()) + 2, 0);
            for (int X : LineMatches(*this, Line, Find, HighlightMatchCase()))
                for (int I = X; I < X + static_cast<int>(Find.size()) && I <= Columns(); ++I)
                    Match[static_cast<std::size_t>(I)] = 1;
        }
        for (int VX = Cells.Left; VX <= Cells.Right; ++VX) {
            const int X = VX + Origin.X - 1;
            const TComTermChar Cell = ViewChar(X, VY + Origin.Y - 1);
            const bool Selected = Selection && TComTerminalCore::Selection().Contains(Line, X);
            const bool Matched =
                !Find.empty() && X < static_cast<int>(Match.size()) && Match[static_cast<std::size_t>(X)];
            if (Cell.CharCode == 0 && !Selected && !Matched) continue;
            const QRect R((VX - 1) * CW, (VY - 1) * CH, CW, CH);
            QColor Back = ToQColor(Cell.CharCode ? Cell.BackColor : TComTerminalCore::Color());
            QColor Fore = ToQColor(Cell.ForeColor);
            if (Selected) {
                const QColor Ink = Cell.CharCode ? Fore : ToQColor(FontColor());
                Fore = Back;
                Back = Ink;
            } else if (Matched)
                Back = MatchBack, Fore = MatchFore;
            Painter.fillRect(R, Back);
            if (Cell.CharCode == 0) continue;
            const int Want = (Cell.Underlined ? 1 : 0) | (FBoldFace && Cell.Bold ? 2 : 0);
            if (Want != Face) Painter.setFont(*Faces[Face = Want]);
            Painter.setPen(Fore);
            Painter.drawText(R.left(), R.top() + FAscent,
                             Cell.Code ? QString::fromUcs4(&Cell.Code, 1)
                                       : QString(QLatin1Char(Cell.CharCode)));
        }
    }
}

// At design time the control shows its name in the two text colours and a block caret.
void TCustomComTerminal::PaintDesign(QPainter& Painter) {
    Painter.setFont(FQFont);
    Painter.setPen(ToQColor(FontColor()));
    Painter.drawText(0, FAscent, "Varnelo Library");
    Painter.setPen(ToQColor(AltColor()));
    Painter.drawText(0, CharHeight() + FAscent, "Varnelo Library");
    Painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    Painter.fillRect(QRect(0, 0, CharWidth(), 2 * CharHeight()), Qt::white);
}

// ---- caret ----

QRect TCustomComTerminal::CaretRect() const {
    const int H = CaretHeight();
    if (H <= 0) return {};
    const TPoint P = CaretPixelPos();
    return QRect(P.X, P.Y, CharWidth(), H);
}

void TCustomComTerminal::UpdateCaretRect(const QRect& R) {
    if (!R.isEmpty()) viewport()->update(R);
}

void TCustomComTerminal::InitCaret() {
    FCaretCreated = CaretHeight() > 0;
    FBlinkOn = true;
    const int Flash = QApplication::cursorFlashTime();
    if (FCaretCreated && Flash > 0)
        FBlinkTimer->start(Flash / 2);
    else
        FBlinkTimer->stop();
    UpdateCaretRect(CaretRect());
}

void TCustomComTerminal::DestroyCaret() {
    FCaretCreated = false;
    FBlinkTimer->stop();
    UpdateCaretRect(FCaretPainted);
}

void TCustomComTerminal::ViewHideCaret() {
    ++FCaretHidden;
}

void TCustomComTerminal::ViewShowCaret() {
    if (FCaretHidden > 0) --FCaretHidden;
    if (FCaretHidden == 0 && FCaretCreated) UpdateCaretRect(CaretRect());
}

void TCustomComTerminal::ViewCaretMoved() {
    if (!FCaretCreated) return;
    UpdateCaretRect(FCaretPainted);
    FBlinkOn = true; // a moving caret stays visible, as a system caret does
    UpdateCaretRect(CaretRect());
}

void TCustomComTerminal::ViewCaretShapeChanged() {
    if (!hasFocus()) return;
    DestroyCaret();
    InitCaret();
}

void TCustomComTerminal::focusInEvent(QFocusEvent* Event) {
    QAbstractScrollArea::focusInEvent(Event);
    InitCaret();
}

void TCustomComTerminal::focusOutEvent(QFocusEvent* Event) {
    DestroyCaret();
    QAbstractScrollArea::focusOutEvent(Event);
}

// ---- keys ----

bool TCustomComTerminal::focusNextPrevChild(bool Next) {
    return FWantTabs ? false : QAbstractScrollArea::focusNextPrevChild(Next);
}

// The key-down handler sees the key first, then the terminal acts on cursor keys; a key that
// types characters then goes through the key-press handler and is sent. Errors of the port end
// here, in the application's error display: an event handler must not let them into Qt.
namespace {
TKeyStroke Stroke(const QKeyEvent& E) {
    TKeyStroke K;
    K.Vk = VirtualKey(E.key());
    K.Shift = E.modifiers() & Qt::ShiftModifier;
    K.Ctrl = E.modifiers() & Qt::ControlModifier;
    K.Alt = E.modifiers() & Qt::AltModifier;
    if (!K.Ctrl) K.Text = E.text().toStdString();
    return K;
}
} // namespace

bool TCustomComTerminal::event(QEvent* Event) {
    // With Alt sending ESC, Alt+key belongs to the line, not to the window's menu mnemonics.
    if (Event->type() == QEvent::ShortcutOverride && ExtraKeys() && AltSendsEscape()) {
        const TKeyStroke K = Stroke(*static_cast<QKeyEvent*>(Event));
        if (K.Alt && !K.Text.empty()) {
            Event->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(Event);
}

void TCustomComTerminal::wheelEvent(QWheelEvent* Event) {
    // With scrollback the wheel moves the view over it, three rows a notch.
    if (ScrollbackRows() > 0 && Event->angleDelta().y() != 0) {
        ScrollView(Event->angleDelta().y() / 40);
        Event->accept();
        return;
    }
    QAbstractScrollArea::wheelEvent(Event);
}

// ---- mouse: selection and paste ----

TTermTextPos TCustomComTerminal::CellAt(const QPoint& Pixel, bool* RightHalf) const {
    const int CW = CharWidth(), CH = CharHeight();
    const int VX = std::clamp(Pixel.x() / CW + 1, 1, std::max(Columns() - TopLeft().X + 1, 1));
    const int VY = std::clamp(Pixel.y() / CH + 1, 1, std::max(Rows() - TopLeft().Y + 1, 1));
    if (RightHalf) *RightHalf = Pixel.x() >= 0 && (Pixel.x() % CW) * 2 >= CW;
    return {ViewLine(VY + TopLeft().Y - 1), VX + TopLeft().X - 1};
}

void TCustomComTerminal::mousePressEvent(QMouseEvent* Event) {
    const QPoint At = Event->position().toPoint();
    if (Event->button() == Qt::MiddleButton) {
        QClipboard* Clip = QGuiApplication::clipboard();
        if (Clip->supportsSelection()) PasteText(Clip->text(QClipboard::Selection));
        return Event->accept();
    }
    if (Event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(Event);
    setFocus(Qt::MouseFocusReason);
    // A press soon after a double click on the same spot is the third click: a line.
    const qint64 Now = QDateTime::currentMSecsSinceEpoch();
    const bool Near = (At - FLastClickAt).manhattanLength() <= QApplication::startDragDistance();
    FClicks = FClicks == 2 && Near && Now - FLastClickMs <= QApplication::doubleClickInterval() ? 3 : 1;
    FLastClickMs = Now;
    FLastClickAt = At;
    bool Right = false;
    const TTermTextPos Cell = CellAt(At, &Right);
    FSelecting = true;
    if (FClicks == 1 && (Event->modifiers() & Qt::ShiftModifier) && !TComTerminalCore::Selection().Empty())
        SelectExtend(Cell, Right);
    else
        SelectBegin(Cell, Right, FClicks == 3 ? suLine : suChar);
    Event->accept();
}

void TCustomComTerminal::mouseDoubleClickEvent(QMouseEvent* Event) {
    if (Event->button() != Qt::LeftButton) return QAbstractScrollArea::mouseDoubleClickEvent(Event);
    FClicks = 2;
    FLastClickMs = QDateTime::currentMSecsSinceEpoch();
    FLastClickAt = Event->position().toPoint();
    bool Right = false;
    SelectBegin(CellAt(FLastClickAt, &Right), Right, suWord);
    FSelecting = true;
    Event->accept();
}

void TCustomComTerminal::mouseMoveEvent(QMouseEvent* Event) {
    if (!FSelecting || !(Event->buttons() & Qt::LeftButton))
        return QAbstractScrollArea::mouseMoveEvent(Event);
    const QPoint At = Event->position().toPoint();
    // Dragging past the top or the bottom moves the view a row.
    if (At.y() < 0) ScrollView(1);
    if (At.y() >= viewport()->height()) ScrollView(-1);
    bool Right = false;
    const TTermTextPos Cell = CellAt(At, &Right);
    SelectExtend(Cell, Right);
    Event->accept();
}

void TCustomComTerminal::mouseReleaseEvent(QMouseEvent* Event) {
    if (Event->button() != Qt::LeftButton || !FSelecting)
        return QAbstractScrollArea::mouseReleaseEvent(Event);
    FSelecting = false;
    SelectionToPrimary();
    Event->accept();
}

void TCustomComTerminal::SelectionToPrimary() {
    QClipboard* Clip = QGuiApplication::clipboard();
    if (Clip->supportsSelection() && !TComTerminalCore::Selection().Empty())
        Clip->setText(QString::fromStdString(SelectedText()), QClipboard::Selection);
}

void TCustomComTerminal::CopySelection() {
    if (!TComTerminalCore::Selection().Empty())
        QGuiApplication::clipboard()->setText(QString::fromStdString(SelectedText()));
}

void TCustomComTerminal::SelectAllText() {
    SelectAll();
    SelectionToPrimary();
}

void TCustomComTerminal::PasteClipboard() {
    PasteText(QGuiApplication::clipboard()->text());
}

void TCustomComTerminal::PasteText(const QString& Text) {
    if (Text.isEmpty()) return;
    const std::string Utf8 = Text.toStdString();
    try {
        if (FOnPaste)
            FOnPaste(static_cast<TComponent*>(this), Utf8);
        else
            SendTyped(TypedText(Utf8));
    } catch (const std::exception& E) {
        ShowException(E);
    }
}

void TCustomComTerminal::keyPressEvent(QKeyEvent* Event) {
    // With scrollback, Shift+Page Up/Down moves the view a screen, Shift+Home/End to the top of
    // the scrollback and back to the live screen.
    if (ScrollbackRows() > 0 && Event->modifiers() == Qt::ShiftModifier) {
        const int Page = std::max(Rows() - 1, 1);
        switch (Event->key()) {
        case Qt::Key_PageUp:
            ScrollView(Page);
            return Event->accept();
        case Qt::Key_PageDown:
            ScrollView(-Page);
            return Event->accept();
        case Qt::Key_Home:
            ScrollView(History().Count());
            return Event->accept();
        case Qt::Key_End:
            ViewLive();
            return Event->accept();
        default:
            break;
        }
    }
    if (ExtraKeys()) {
        const TKeyStroke K = Stroke(*Event);
        if (IsWindowShortcut(K)) {
            Event->ignore(); // the window's copy, paste, select all and find
            return;
        }
        if (const std::string Seq = ExtraKeySequence(K, AltSendsEscape()); !Seq.empty()) {
            try {
                uint16_t Key = K.Vk;
                if (FOnKeyDown) FOnKeyDown(static_cast<TComponent*>(this), Key);
                SendKeySequence(Seq);
            } catch (const std::exception& E) {
                ShowException(E);
            }
            Event->accept();
            return;
        }
    }
    try {
        uint16_t Key = VirtualKey(Event->key());
        if (FOnKeyDown) FOnKeyDown(static_cast<TComponent*>(this), Key);
        if (IsTerminalKey(Key)) KeyDown(Key);
        if (!IsTerminalKey(VirtualKey(Event->key()))) {
            for (char Ch : TypedBytes(*Event)) {
                if (FOnKeyPress) FOnKeyPress(static_cast<TComponent*>(this), Ch);
                if (Ch) KeyPress(Ch);
            }
        }
    } catch (const std::exception& E) {
        ShowException(E);
    }
    Event->accept();
}

// ---- form data ----

const std::vector<std::string>& ScrollStyleNames() {
    static const std::vector<std::string> Names{"ssNone", "ssHorizontal", "ssVertical", "ssBoth"};
    return Names;
}

const TClassInfo& TComTerminal::StaticClassInfo() {
    using C = TComTerminal;
    static const bool FontRegistered = [] {
        const TCanvasFont D = ComTerminalFont();
        TPublished<TComTerminalFont>("TFont", "TPersistent")
            .String("Name", &TComTerminalFont::Name, &TComTerminalFont::SetName, Default(D.Name))
            .Integer("Size", &TComTerminalFont::Size, &TComTerminalFont::SetSize, Default(D.Size))
            .Integer("Color", &TComTerminalFont::Color, &TComTerminalFont::SetColor, Default(D.Color), 0,
                     0xFFFFFFFF)
            .Set("Style", &TComTerminalFont::Style, &TComTerminalFont::SetStyle,
                 {"fsBold", "fsItalic", "fsUnderline"}, Default(TFontStyles{}))
            .Register();
        return true;
    }();
    (void)FontRegistered;
    static const TClassInfo& Info =
        TPublished<C>("TComTerminal", "TComponent")
            .Integer("AltColor", &C::AltColor, &C::SetAltColor, Default(0xA6A6A6))
            .Bool("AppendLF", &C::AppendLF, &C::SetAppendLF, Default(false))
            .Enum("ArrowKeys", &C::ArrowKeys, &C::SetArrowKeys, ArrowKeysNames(), Default(akTerminal))
            .Enum("BorderStyle", &C::BorderStyle, &C::SetBorderStyle, {"bsNone", "bsSingle"},
                  Default(bsSingle))
            .Enum("Caret", &C::Caret, &C::SetCaret, TermCaretNames(), Default(tcBlock))
            .Integer("Columns", &C::Columns, &C::SetColumns, Default(80))
            .Component<TCustomComPort>("ComPort", &C::ComPort, &C::SetComPort, "TCustomComPort")
            .Enum("Emulation", &C::Emulation, &C::SetEmulation, TermEmulationNames(), Always())
            .Bool("Force7Bit", &C::Force7Bit, &C::SetForce7Bit, Default(false))
            .Bool("LocalEcho", &C::LocalEcho, &C::SetLocalEcho, Default(false))
            .Integer("Rows", &C::Rows, &C::SetRows, Default(24))
            .Enum("ScrollBars", &C::ScrollBars, &C::SetScrollBars, ScrollStyleNames(), Always())
            .Bool("SendLF", &C::SendLF, &C::SetSendLF, Default(false))
            .Bool("SmoothScroll", &C::SmoothScroll, &C::SetSmoothScroll, Default(false))
            .Bool("WrapLines", &C::WrapLines, &C::SetWrapLines, Default(false))
            .Bool("AutoSize", &C::AutoSize, &C::SetAutoSize, Default(false))
            .Integer("Color", &C::Color, &C::SetColor, Default(clBlack))
            // The port's state, never stored: a stored form does not open a port by itself.
            .Bool("Connected", &C::Connected, &C::SetConnected, Never())
            .Bool("Ctl3D", &C::Ctl3D, &C::SetCtl3D, Default(true))
            .Bool("Enabled", &C::Enabled, &C::SetEnabled, Default(true))
            .Object(
                "Font", [](C& c) { return &c.FontObject(); }, "TFont")
            .Bool("TabStop", &C::TabStop, &C::SetTabStop, Default(true))
            .Event<TChScreenEvent>("OnChar", &C::OnChar, &C::SetOnChar)
            .Event<TEscapeEvent>("OnGetEscapeCodes", &C::OnGetEscapeCodes, &C::SetOnGetEscapeCodes)
            .Event<TStrRecvEvent>("OnStrRecieved", &C::OnStrRecieved, &C::SetOnStrRecieved)
            .Event<TUnhandledEvent>("OnUnhandledCode", &C::OnUnhandledCode, &C::SetOnUnhandledCode)
            .Event<TKeyEvent>("OnKeyDown", &C::OnKeyDown, &C::SetOnKeyDown)
            .Event<TKeyPressEvent>("OnKeyPress", &C::OnKeyPress, &C::SetOnKeyPress)
            .Register();
    return Info;
}

void RegisterComTerminal() {
    (void)TComTerminal::StaticClassInfo();
}
