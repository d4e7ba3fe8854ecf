#include "cport/ComPort.h"
#include "cportui/CPortCtl.h"
#include "cportui/CPortTrmSet.h"
#include "platform/comm/VirtualDevice.h"
#include "platform/toolkit/FormData.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

const std::string E = "\x1b";

TCanvasFont TestFont() {
    TCanvasFont F = ComTerminalFont();
    F.Name = "DejaVu Sans Mono";
    F.Height = 16;
    return F;
}

// A shown, top-level terminal with a fixed font and no blinking, so pictures are stable.
std::unique_ptr<TComTerminal> Shown(int Columns, int Rows, bool DoubleBuffered = false) {
    QApplication::setCursorFlashTime(0);
    auto T = std::make_unique<TComTerminal>(nullptr);
    T->SetFont(TestFont());
    T->SetColumns(Columns);
    T->SetRows(Rows);
    T->SetBorderStyle(bsNone);
    T->SetDoubleBuffered(DoubleBuffered);
    T->SetAutoSize(true);
    T->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(T.get()));
    return T;
}

// What the window shows: the viewport's pixels as the platform holds them after every pending
// paint (so pixels moved by scrolling count as they were moved, not as a fresh paint would be).
QImage Shot(TCustomComTerminal& T) {
    QApplication::processEvents();
    QApplication::processEvents();
    const QPoint At = T.viewport()->mapTo(&T, QPoint(0, 0));
    return T.screen()
        ->grabWindow(T.winId(), At.x(), At.y(), T.viewport()->width(), T.viewport()->height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

// The colours inside one cell (view cell, from 1) and how many pixels have each: background and ink.
int CountColour(const QImage& Img, const QRect& R, QRgb C) {
    int N = 0;
    for (int Y = R.top(); Y <= R.bottom(); ++Y)
        for (int X = R.left(); X <= R.right(); ++X)
            N += (Img.pixel(X, Y) & 0xFFFFFF) == (C & 0xFFFFFF);
    return N;
}

// A port opened on the virtual device Name, without events.
std::unique_ptr<TComPort> OpenOn(const std::string& Name) {
    auto Port = std::make_unique<TComPort>(nullptr);
    Port->SetPort(Name);
    Port->SetEvents({});
    Port->Open();
    return Port;
}

QRect CellRect(const TCustomComTerminal& T, int X, int Y) {
    return QRect((X - 1) * T.CharWidth(), (Y - 1) * T.CharHeight(), T.CharWidth(), T.CharHeight());
}

} // namespace

TEST(ComTerminal, CellsAreDrawnInTheirColoursAndEmptyCellsShowTheBackground) {
    auto T = Shown(10, 4);
    T->SetAltColor(0x0000FF); // red, to tell it from white
    T->StringReceived("A" + E + "[7mB" + E + "[0;1mC" + E + "[0;4m_" + E + "[0m ");
    const QImage Img = Shot(*T);
    const int Cell = T->CharWidth() * T->CharHeight();
    // A: white ink on black.
    EXPECT_GT(CountColour(Img, CellRect(*T, 1, 1), 0xFFFFFF), 0);
    EXPECT_GT(CountColour(Img, CellRect(*T, 1, 1), 0x000000), Cell / 2);
    // B inverse: black ink on white.
    EXPECT_GT(CountColour(Img, CellRect(*T, 2, 1), 0xFFFFFF), Cell / 2);
    // C bright: AltColor ink on black.
    EXPECT_GT(CountColour(Img, CellRect(*T, 3, 1), 0xFF0000), 0);
    // The underlined cell has ink on its lower part; the blank cell and the empty ones none (the
    // caret, on the cell after the blank, is left out).
    EXPECT_GT(CountColour(Img, CellRect(*T, 4, 1).adjusted(0, T->CharHeight() / 2, 0, 0), 0xFFFFFF), 0);
    EXPECT_EQ(CountColour(Img, CellRect(*T, 5, 1), 0x000000), Cell);
    EXPECT_EQ(CountColour(Img, CellRect(*T, 7, 1), 0x000000), Cell);
    EXPECT_EQ(CountColour(Img, CellRect(*T, 1, 2), 0x000000), Cell);
    // A changed background colour shows in empty cells only; written cells keep theirs.
    T->SetColor(0x00FF00);
    const QImage Img2 = Shot(*T);
    EXPECT_EQ(CountColour(Img2, CellRect(*T, 1, 2), 0x00FF00), Cell);
    EXPECT_EQ(CountColour(Img2, CellRect(*T, 1, 1), 0x00FF00), 0);
}

TEST(ComTerminal, CaretShapesAndFocus) {
    struct TRow {
        TTermCaret Shape;
        bool Focused;
        int InvertedRows; // pixel rows of the caret cell drawn inverted
    } Rows[] = {{tcBlock, true, -1}, {tcUnderline, true, 2}, {tcNone, true, 0}, {tcBlock, false, 0}};
    for (const TRow& R : Rows) {
        auto T = Shown(10, 4);
        T->SetCaret(R.Shape);
        T->StringReceived(E + "[2;3H");
        if (R.Focused) {
            T->activateWindow();
            T->setFocus();
        } else {
            T->clearFocus();
        }
        QApplication::processEvents();
        EXPECT_EQ(T->CaretCreated(), R.Focused && R.Shape != tcNone);
        const QImage Img = Shot(*T);
        const QRect Cell = CellRect(*T, 3, 2);
        const int Want = R.InvertedRows < 0 ? T->CharHeight() : R.InvertedRows;
        EXPECT_EQ(CountColour(Img, Cell, 0xFFFFFF), Want * T->CharWidth()) << R.Shape << " " << R.Focused;
        if (Want > 0 && Want < T->CharHeight()) {
            EXPECT_EQ(CountColour(Img, Cell.adjusted(0, T->CharHeight() - Want, 0, 0), 0xFFFFFF),
                      Want * T->CharWidth());
        }
        // Output still updates the screen without a caret; the caret follows the output.
        T->StringReceived("xy");
        const QImage After = Shot(*T);
        EXPECT_GT(CountColour(After, CellRect(*T, 3, 2), 0xFFFFFF), 0);
        EXPECT_EQ(CountColour(After, CellRect(*T, 5, 2), 0xFFFFFF), Want * T->CharWidth());
    }
}

// Moving pixels and repainting everything must give the same picture, for output that scrolls
// the screen and for the scroll bars, by line and by page.
TEST(ComTerminal, PixelScrollingAndDoubleBufferedRepaintShowTheSame) {
    auto Moved = Shown(80, 24, false);
    auto Repainted = Shown(80, 24, true);
    for (TComTerminal* T : {Moved.get(), Repainted.get()}) {
        T->SetAutoSize(false);
        // 60 columns and every row visible: only the horizontal bar is needed.
        const int Extent = T->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, T);
        T->resize(60 * T->CharWidth(), 24 * T->CharHeight() + Extent);
    }
    auto Both = [&](const std::function<void(TComTerminal&)>& Step) {
        Step(*Moved);
        Step(*Repainted);
        EXPECT_EQ(Shot(*Moved), Shot(*Repainted));
    };
    Both([](TComTerminal& T) {
        for (int I = 1; I <= 30; ++I)
            T.StringReceived("line " + std::to_string(I) + " " + std::string(I, '#') + "\r\n");
    });
    Both([](TComTerminal& T) { T.StringReceived(E + "[5;70Hfar right" + E + "[24;1H\n\n"); });
    EXPECT_EQ(Moved->horizontalScrollBar()->maximum(), 20);
    EXPECT_EQ(Moved->verticalScrollBar()->maximum(), 0);
    Both([](TComTerminal& T) {
        T.horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    });
    EXPECT_EQ(Moved->TopLeft(), (TPoint{2, 1}));
    Both([](TComTerminal& T) { T.StringReceived("\r\nmore"); });
    Both([](TComTerminal& T) { T.horizontalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepAdd); });
    EXPECT_EQ(Moved->TopLeft(), (TPoint{21, 1}));
    Both([](TComTerminal& T) {
        T.horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    });
    EXPECT_GT(Moved->ScrolledPixels(), 0) << "the pixel path was not taken";
    EXPECT_EQ(Repainted->ScrolledPixels(), 0);
    // The picture is the grid as a fresh paint draws it.
    Moved->viewport()->repaint();
    EXPECT_EQ(Shot(*Moved), Shot(*Repainted));
}

TEST(ComTerminal, ScrollRangesAndThumbDragging) {
    auto T = Shown(80, 24);
    EXPECT_EQ(T->size(), QSize(80 * T->CharWidth(), 24 * T->CharHeight())) << "AutoSize without a border";
    EXPECT_EQ(T->horizontalScrollBar()->maximum(), 0);
    EXPECT_EQ(T->verticalScrollBar()->maximum(), 0);
    T->SetAutoSize(false);
    T->resize(40 * T->CharWidth(), 10 * T->CharHeight());
    QApplication::processEvents();
    const int Extent = T->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, T.get());
    // Both bars shown: each takes room from the other direction.
    EXPECT_EQ(T->verticalScrollBar()->maximum(), 24 - (10 * T->CharHeight() - Extent) / T->CharHeight());
    EXPECT_EQ(T->horizontalScrollBar()->maximum(), 80 - (40 * T->CharWidth() - Extent) / T->CharWidth());
    // Without smooth scrolling the view waits for the thumb's release.
    QScrollBar* V = T->verticalScrollBar();
    V->setSliderDown(true);
    V->setSliderPosition(5);
    EXPECT_EQ(T->TopLeft().Y, 1);
    V->setSliderDown(false);
    EXPECT_EQ(T->TopLeft().Y, 6);
    T->SetSmoothScroll(true);
    V->setSliderDown(true);
    V->setSliderPosition(3);
    EXPECT_EQ(T->TopLeft().Y, 4);
    V->setSliderDown(false);
    // Shrinking the grid brings the origin and the caret back inside it.
    T->StringReceived(E + "[24;80H");
    T->SetRows(5);
    T->SetColumns(10);
    EXPECT_LE(T->TopLeft().Y, 5);
    EXPECT_EQ(T->CaretPos(), (TPoint{10, 5}));
}

TEST(ComTerminal, FontsFallBackToFixedPitchWithoutUnderline) {
    TComTerminal T(nullptr);
    EXPECT_EQ(T.Font().Name, "Fixedsys");
    EXPECT_EQ(T.Font().Size, 9);
    EXPECT_EQ(T.Font().Color, clWhite);
    EXPECT_GT(T.CharWidth(), 1);
    EXPECT_GT(T.CharHeight(), T.CharWidth());
    TCanvasFont F = TestFont();
    F.Name = "Nimbus Sans"; // proportional
    F.Underline = true;
    F.Color = clYellow;
    T.SetFont(F);
    EXPECT_EQ(T.Font().Name, "Fixedsys");
    EXPECT_FALSE(T.Font().Underline);
    EXPECT_EQ(T.FontColor(), clYellow);
    T.StringReceived("a");
    EXPECT_EQ(T.Buffer().GetChar(1, 1).ForeColor, clYellow);
    // With a border, AutoSize adds the frame on each side.
    T.SetBorderStyle(bsSingle);
    T.SetAutoSize(true);
    EXPECT_EQ(T.width(), 80 * T.CharWidth() + 2 * T.frameWidth());
}

TEST(ComTerminal, KeysReachThePortAlsoInsideADialog) {
    auto Dev = TVirtualDevice::Create("COM9");
    const auto Port = OpenOn("COM9");
    QDialog Dialog;
    auto* T = new TComTerminal(&Dialog, nullptr);
    auto* Other = new QLineEdit(&Dialog);
    auto* Layout = new QVBoxLayout(&Dialog);
    Layout->addWidget(T);
    Layout->addWidget(Other);
    T->SetComPort(Port.get());
    Dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Dialog));
    T->setFocus();
    std::string Pressed;
    T->SetOnKeyPress([&](TObject*, char& Ch) {
        Pressed += Ch;
        if (Ch == 'z') Ch = 'Z';
    });
    std::vector<uint16_t> Codes;
    T->SetOnKeyDown([&](TObject*, uint16_t& Key) { Codes.push_back(Key); });
    QTest::keyClick(T, Qt::Key_Up);
    QTest::keyClick(T, Qt::Key_Left);
    QTest::keyClicks(T, "az");
    QTest::keyClick(T, Qt::Key_Return);
    QTest::keyClick(T, Qt::Key_C, Qt::ControlModifier);
    // Qt's '(' has the number of the Down key: it is still typed, and named by the 9 key.
    QTest::keyClick(T, '(');
    QTest::keyClick(T, Qt::Key_F5);
    QTest::keyClick(T, Qt::Key_Home, Qt::ShiftModifier);
    std::string Want = E + "[A" + E + "[DaZ\r\x03(" + E + "[H";
    ASSERT_TRUE(Dev->WaitSent(Want.size(), 2000));
    EXPECT_EQ(Dev->ReadSent(), Want);
    EXPECT_EQ(Pressed, "az\r\x03(");
    // The modifier keys themselves come too (QTest presses Ctrl and Shift before the key).
    EXPECT_EQ(Codes,
              (std::vector<uint16_t>{0x26, 0x25, 0x41, 0x5A, 0x0D, 0x11, 0x43, 0x39, 0x74, 0x10, 0x24}));
    EXPECT_TRUE(T->hasFocus()) << "the arrow keys stayed with the terminal";
    // In a dialog Tab moves on; a terminal that wants tabs sends it.
    QTest::keyClick(T, Qt::Key_Tab);
    EXPECT_TRUE(Other->hasFocus());
    T->setFocus();
    T->SetWantTabs(true);
    QTest::keyClick(T, Qt::Key_Tab);
    EXPECT_TRUE(T->hasFocus());
    ASSERT_TRUE(Dev->WaitSent(1, 2000));
    EXPECT_EQ(Dev->ReadSent(), "\t");
    // The port's removal unbinds the terminal.
    Port->Close();
}

TEST(ComTerminal, RemovedPortUnbindsTheTerminal) {
    auto Port = std::make_unique<TComPort>(nullptr);
    TComTerminal T(nullptr);
    T.SetComPort(Port.get());
    EXPECT_FALSE(T.Connected());
    Port.reset();
    EXPECT_EQ(T.ComPort(), nullptr);
    T.SetConnected(true);
    EXPECT_FALSE(T.Connected());
}

namespace {

class TTerminalForm : public QWidget, public TComponent {
  public:
    TTerminalForm() : TComponent(nullptr) {
        static const TClassInfo& Info = TPublished<TTerminalForm>("TTerminalForm", "TComponent").Register();
        (void)Info;
        RegisterComTerminal();
    }
    std::string ClassName() const override { return "TTerminalForm"; }
};

} // namespace

TEST(ComTerminal, StoredFormDataWritesOnlyWhatDiffersFromTheDefaults) {
    TTerminalForm Form;
    ReadComponentData(Form, "Form: TTerminalForm {\n"
                            "  Term: TComTerminal {\n"
                            "    Columns = 132\n"
                            "    Emulation = teVT52\n"
                            "    WrapLines = true\n"
                            "    Caret = tcUnderline\n"
                            "    ScrollBars = ssVertical\n"
                            "    Ctl3D = false\n"
                            "    Font.Name = \"DejaVu Sans Mono\"\n"
                            "    Font.Size = 12\n"
                            "    Font.Style = [fsBold]\n"
                            "  }\n"
                            "}\n");
    auto* T = dynamic_cast<TComTerminal*>(Form.FindComponent("Term"));
    ASSERT_NE(T, nullptr);
    EXPECT_EQ(T->parentWidget(), &Form);
    EXPECT_EQ(T->Buffer().Columns(), 132) << "the grid follows the stored size once loading ends";
    EXPECT_NE(dynamic_cast<TEscapeCodesVT52*>(T->EscapeCodes()), nullptr);
    const std::string Text = WriteComponent(Form);
    EXPECT_EQ(T->Font().Name, "DejaVu Sans Mono");
    EXPECT_EQ(T->Font().Size, 12);
    EXPECT_TRUE(T->Font().Bold);
    EXPECT_FALSE(T->Ctl3D());
    EXPECT_EQ(T->frameStyle(), int(QFrame::Box | QFrame::Plain));
    for (const char* Want : {"Columns = 132", "Emulation = teVT52", "WrapLines = true", "Caret = tcUnderline",
                             "ScrollBars = ssVertical", "Ctl3D = false", "Font.Name = \"DejaVu Sans Mono\"",
                             "Font.Size = 12", "Font.Style = [fsBold]"})
        EXPECT_NE(Text.find(Want), std::string::npos) << Want << "\n" << Text;
    // The port's state and the font's untouched colour are never written.
    for (const char* Not :
         {"Rows", "AltColor", "LocalEcho", "BorderStyle", "ArrowKeys", "Connected", "Font.Color"})
        EXPECT_EQ(Text.find(Not), std::string::npos) << Not << "\n" << Text;
}

namespace {

// Runs EditComTerminal with Script playing the user.
void Edit(TCustomComTerminal& T, std::function<int(TComTrmSetForm&)> Script) {
    SetTrmSetDialogRunner(std::move(Script));
    EditComTerminal(T);
    SetTrmSetDialogRunner({});
}

} // namespace

TEST(ComTrmSetForm, LayoutAndTexts) {
    TComTrmSetForm F;
    EXPECT_EQ(F.windowTitle(), "Setup");
    EXPECT_EQ(F.size(), QSize(295, 287));
    EXPECT_EQ(F.CheckBox1->text(), "Echo typed charachters locally");
    EXPECT_EQ(F.CheckBox5->geometry(), QRect(8, 88, 241, 17));
    EXPECT_EQ(F.ComboBox2->count(), 3);
    EXPECT_EQ(F.ComboBox2->itemText(0), "ANSI/VT100");
    EXPECT_FALSE(F.ComboBox1->isEditable());
    EXPECT_EQ(F.ComboBox3->itemText(1), "Act as windows keys");
    EXPECT_EQ(F.Edit2->geometry(), QRect(184, 64, 49, 21));
    EXPECT_EQ(F.Button1->geometry(), QRect(134, 256, 75, 25));
}

TEST(ComTrmSetForm, ConfirmConvertsAndCancelKeepsEverything) {
    struct TRow {
        QString Columns, Rows;
        int WantColumns, WantRows;
    } Rows[] = {{"abc", "x", 80, 24},
                {"", "500", 80, 100},
                {"0", "3", 2, 3},
                {"999", " 40 ", 256, 40},
                {"99999999999", "-5", 80, 2}};
    for (const TRow& R : Rows) {
        TComTerminal T(nullptr);
        Edit(T, [&](TComTrmSetForm& F) {
            F.Edit1->setText(R.Columns);
            F.Edit2->setText(R.Rows);
            return QDialog::Accepted;
        });
        EXPECT_EQ(T.Columns(), R.WantColumns) << R.Columns.toStdString();
        EXPECT_EQ(T.Rows(), R.WantRows) << R.Rows.toStdString();
    }
    // Unchanged values leave the screen as it was; every control reaches its property.
    TComTerminal T(nullptr);
    T.StringReceived("kept");
    T.SetCaret(tcNone);
    Edit(T, [](TComTrmSetForm& F) {
        EXPECT_EQ(F.ComboBox1->currentIndex(), -1);
        EXPECT_EQ(F.Edit1->text(), "80");
        return QDialog::Accepted;
    });
    EXPECT_EQ(T.Buffer().GetChar(1, 1).CharCode, 'k');
    EXPECT_EQ(T.Caret(), tcNone);
    auto ChangeAll = [](TComTrmSetForm& F) {
        for (QCheckBox* C : {F.CheckBox1, F.CheckBox2, F.CheckBox3, F.CheckBox4, F.CheckBox5})
            C->setChecked(true);
        F.ComboBox1->setCurrentIndex(1);
        F.ComboBox2->setCurrentIndex(2);
        F.ComboBox3->setCurrentIndex(1);
        F.Edit1->setText("40");
        F.Edit2->setText("10");
    };
    Edit(T, [&](TComTrmSetForm& F) {
        ChangeAll(F);
        return QDialog::Rejected;
    });
    EXPECT_FALSE(T.LocalEcho() || T.SendLF() || T.WrapLines() || T.Force7Bit() || T.AppendLF());
    EXPECT_EQ(T.Caret(), tcNone);
    EXPECT_EQ(T.Emulation(), teVT100orANSI);
    EXPECT_EQ(T.ArrowKeys(), akTerminal);
    EXPECT_EQ(T.Columns(), 80);
    Edit(T, [&](TComTrmSetForm& F) {
        ChangeAll(F);
        return QDialog::Accepted;
    });
    EXPECT_TRUE(T.LocalEcho() && T.SendLF() && T.WrapLines() && T.Force7Bit() && T.AppendLF());
    EXPECT_EQ(T.Caret(), tcUnderline);
    EXPECT_EQ(T.Emulation(), teNone);
    EXPECT_EQ(T.EscapeCodes(), nullptr);
    EXPECT_EQ(T.ArrowKeys(), akWindows);
    EXPECT_EQ(T.Columns(), 40);
    EXPECT_EQ(T.Rows(), 10);
    EXPECT_EQ(T.Buffer().GetChar(1, 1).CharCode, 0) << "a new size clears the screen";
}

// The control's own paste sends the text as typed when no handler takes it; a selected cell is
// drawn inverted, and a bright cell bold once BoldFace is on.
TEST(ComTerminal, PasteAsTypedSelectionInvertedAndBoldFace) {
    auto Dev = TVirtualDevice::Create("COM10");
    const auto Port = OpenOn("COM10");
    auto T = Shown(20, 4);
    T->SetComPort(Port.get());
    T->PasteText("ab\r\ncd\n");
    ASSERT_TRUE(Dev->WaitSent(6, 2000));
    EXPECT_EQ(Dev->ReadSent(), "ab\rcd\r");
    std::string Handed;
    T->SetOnPaste([&](TObject*, const std::string& Text) { Handed = Text; });
    T->PasteText("x\ny");
    EXPECT_EQ(Handed, "x\ny");
    EXPECT_FALSE(Dev->WaitSent(1, 100)) << "a handler that takes the paste sends it itself";

    T->StringReceived("xy " + E + "[1mB" + E + "[0m");
    const int64_t Line = T->ViewLine(1);
    T->SelectBegin({Line, 1}, false, suChar);
    T->SelectExtend({Line, 1}, true);
    const QImage Img = Shot(*T);
    const int Cell = T->CharWidth() * T->CharHeight();
    EXPECT_GT(CountColour(Img, CellRect(*T, 1, 1), ToQColor(clWhite).rgb()), Cell / 2) << "inverted";
    EXPECT_LT(CountColour(Img, CellRect(*T, 2, 1), ToQColor(clWhite).rgb()), Cell / 2) << "not selected";
    const int Thin = CountColour(Img, CellRect(*T, 4, 1), ToQColor(T->AltColor()).rgb());
    T->SetBoldFace(true);
    const int Bold = CountColour(Shot(*T), CellRect(*T, 4, 1), ToQColor(T->AltColor()).rgb());
    EXPECT_GT(Thin, 0);
    EXPECT_GT(Bold, Thin) << "a bold face has more ink";
    Port->Close();
}
