#include "AppFixture.h"

#include "cport/ComPort.h"
#include "cportui/ComSelect.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QUrl>

namespace {

QString Shots() {
    return qEnvironmentVariable("TOLVANE_BUILD_DIR", QDir::tempPath());
}

// The next widget that takes the keyboard focus by Tab.
QWidget* NextTabStop(QWidget* W) {
    do
        W = W->nextInFocusChain();
    while (!(W->focusPolicy() & Qt::TabFocus) || !W->isVisibleTo(W->window()));
    return W;
}

} // namespace

TEST_F(AppTest, MainWindowLayoutTextsAndTabOrder) {
    Start({"COM1"});
    TForm1& f = *Form1;
    EXPECT_EQ(f.windowTitle(), "Tolvane V2.00  =MERISK=  ");
    EXPECT_EQ(f.size(), QSize(439, 132));
    EXPECT_EQ(f.minimumSize(), f.maximumSize());
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(f.windowFlags() & Qt::WindowCloseButtonHint);

    struct {
        QPushButton* b;
        QRect r;
        const char* text;
    } buttons[] = {{f.Button4, {12, 12, 75, 25}, "Ustaw Port"},
                   {f.Button2, {92, 12, 75, 25}, "Wczytaj Plik"},
                   {f.Button1, {172, 12, 75, 25}, "Zapisz Flash"},
                   {f.Button3, {252, 12, 75, 25}, "Koniec"}};
    for (auto& b : buttons) {
        EXPECT_EQ(b.b->geometry(), b.r) << b.text;
        EXPECT_EQ(b.b->text(), b.text);
    }
    EXPECT_EQ(f.Label1->pos(), QPoint(4, 56));
    EXPECT_EQ(f.Label1->text(), "Plik:");
    EXPECT_EQ(f.Label2->pos(), QPoint(52, 60));
    EXPECT_EQ(f.Label2->text(), "");
    EXPECT_EQ(f.Label3->pos(), QPoint(4, 76));
    EXPECT_EQ(f.Label3->text(), "Rozmiar:");
    EXPECT_EQ(f.Label4->pos(), QPoint(52, 76));
    EXPECT_EQ(f.Label4->text(), "0");
    // Labels size themselves to their text.
    EXPECT_GE(f.Label3->width(), f.Label3->fontMetrics().horizontalAdvance("Rozmiar:"));
    EXPECT_EQ(f.Image2->geometry(), QRect(352, 24, 69, 49));
    EXPECT_FALSE(f.Image2->pixmap().isNull());
    EXPECT_EQ(f.ProgressBar1->geometry(), QRect(4, 92, 429, 17));
    EXPECT_EQ(f.ProgressBar1->Max(), 100);
    EXPECT_EQ(f.ProgressBar1->Position(), 0);
    EXPECT_EQ(f.StatusBar1->geometry(), QRect(0, 113, 439, 19));
    ASSERT_EQ(f.StatusBar1->PanelCount(), 3);
    EXPECT_EQ(f.StatusBar1->PanelText(0), "CRC Error: 0");
    EXPECT_EQ(f.StatusBar1->PanelText(1), "Verify Error: 0");
    EXPECT_EQ(f.StatusBar1->PanelText(2), "Status:");
    EXPECT_EQ(f.StatusBar1->Panel(0)->width(), 100);
    EXPECT_EQ(f.StatusBar1->Panel(1)->width(), 100);
    EXPECT_EQ(f.StatusBar1->Panel(2)->geometry().right(), f.StatusBar1->width() - 1);

    EXPECT_EQ(f.OpenDialog1->nameFilters(), QStringList{"(*.flash)"});
    EXPECT_EQ(f.OpenDialog1->defaultSuffix(), "flash");

    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    f.activateWindow();
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(f.Button1));
    // Tab cycles through the four buttons only.
    QWidget* tabOrder[] = {f.Button1, f.Button2, f.Button3, f.Button4, f.Button1};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(NextTabStop(tabOrder[i]), tabOrder[i + 1]) << i;
    f.grab().save(Shots() + "/main-window.png");

    TForm2& p = *Form2;
    EXPECT_EQ(p.windowTitle(), "Komunikacja");
    EXPECT_EQ(p.size(), QSize(167, 86));
    EXPECT_EQ(p.ComComboBox1->geometry(), QRect(12, 16, 145, 21));
    EXPECT_EQ(p.Button1->geometry(), QRect(44, 48, 75, 25));
    EXPECT_EQ(p.Button1->text(), "OK");
    EXPECT_EQ(NextTabStop(p.ComComboBox1), p.Button1);
    p.show();
    p.grab().save(Shots() + "/port-window.png");
}

TEST_F(AppTest, PortComesFromTheStoredDesign) {
    Start({"COM1"});
    TComPort& port = *Form1->ComPort1;
    EXPECT_TRUE(Errors.empty()) << Errors.front();
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(port.Port(), "COM1");
    EXPECT_EQ(port.BaudRate(), br38400);
    EXPECT_EQ(port.DataBits(), dbEight);
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
    EXPECT_EQ(port.Parity().Bits(), prNone);
    EXPECT_EQ(port.FlowControl().ControlDTR(), dtrDisable);
    EXPECT_EQ(port.FlowControl().ControlRTS(), rtsDisable);
    EXPECT_FALSE(port.FlowControl().OutCTSFlow());
    EXPECT_FALSE(port.FlowControl().XonXoffIn());
    EXPECT_EQ(port.Events().Count(), 10u);
    EXPECT_EQ(port.SyncMethod(), smNone);
    EXPECT_TRUE(static_cast<bool>(port.OnRxChar()));
    EXPECT_EQ(port.Owner(), static_cast<TComponent*>(Form1.get()));
    DCB dcb = Devices[0]->LastDCB();
    EXPECT_EQ(dcb.BaudRate, 38400u);
}

TEST_F(AppTest, StartWithoutSettingsOrDeviceShowsOneErrorAndFlashingSendsNothing) {
    Start({"COM3"});
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_NE(Errors[0].find("Unable to open com port"), std::string::npos) << Errors[0];
    EXPECT_NE(Errors[0].find("(win error code: 2)"), std::string::npos) << Errors[0];
    EXPECT_FALSE(Form1->ComPort1->Connected());

    QTest::mouseClick(Form1->Button1, Qt::LeftButton);
    ASSERT_EQ(Errors.size(), 2u);
    EXPECT_FALSE(Errors[1].empty());
    EXPECT_EQ(Devices[0]->ReadSent(), "");
    QCoreApplication::processEvents();
    // Nothing was reset: the failing port step comes first.
    EXPECT_EQ(Form1->StatusBar1->PanelText(2), "Status:");

    // Picking a port only records it; nothing opens it in this run.
    Form2->ComComboBox1->setCurrentIndex(0);
    emit Form2->ComComboBox1->activated(0);
    EXPECT_EQ(Form1->ComPort1->Port(), "COM3");
    EXPECT_FALSE(Form1->ComPort1->Connected());
    EXPECT_EQ(Devices[0]->OpenCount(), 0);
    QTest::mouseClick(Form2->Button1, Qt::LeftButton);
    EXPECT_EQ(Errors.size(), 2u);

    // The next start opens the stored port.
    Start();
    EXPECT_EQ(Errors.size(), 2u);
    EXPECT_TRUE(Form1->ComPort1->Connected());
    EXPECT_EQ(Form1->ComPort1->Port(), "COM3");
}

TEST_F(AppTest, FileDialogCancelKeepsTheImageAndResetsTheBar) {
    Start({"COM1"});
    std::string file = WriteFile("first.flash", std::string(600, 'A'));
    Form1->SetDialogRunner([&](QFileDialog& d) {
        d.selectFile(QString::fromStdString(file));
        return true;
    });
    QTest::mouseClick(Form1->Button2, Qt::LeftButton);
    EXPECT_EQ(Form1->Label2->text().toStdString(), file);
    EXPECT_EQ(Form1->Label4->text(), QString::fromUtf8("600 bajtów"));
    EXPECT_EQ(Form1->Engine().State().ImageSize, 600u);

    Form1->ProgressBar1->SetPosition(2);
    QString openedIn;
    Form1->SetDialogRunner([&](QFileDialog& d) {
        openedIn = d.directory().absolutePath();
        return false;
    });
    QTest::mouseClick(Form1->Button2, Qt::LeftButton);
    EXPECT_EQ(openedIn, QDir(QString::fromStdString(Dir.Path().string())).absolutePath());
    EXPECT_EQ(Form1->Label2->text().toStdString(), file);
    EXPECT_EQ(Form1->Label4->text(), QString::fromUtf8("600 bajtów"));
    EXPECT_EQ(Form1->ProgressBar1->Position(), 0);
    EXPECT_TRUE(Errors.empty());
}

TEST_F(AppTest, UnreadableFileIsReportedAndChangesNothing) {
    Start({"COM1"});
    std::string good = WriteFile("good.flash", std::string(300, 'g'));
    Form1->LoadImage(QString::fromStdString(good));
    ASSERT_TRUE(Errors.empty());
    Form1->LoadImage(QString::fromStdString(Dir.File("missing.flash")));
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_NE(Errors[0].find("missing.flash"), std::string::npos) << Errors[0];
    EXPECT_EQ(Form1->Label2->text().toStdString(), good);
    EXPECT_EQ(Form1->Engine().State().ImageSize, 300u);
}

TEST_F(AppTest, OversizedImageLoadsTheLimitAndWarns) {
    Start({"COM1"});
    std::vector<std::string> warnings;
    Form1->OnWarning = [&](const std::string& w) { warnings.push_back(w); };
    Form1->LoadImage(QString::fromStdString(WriteFile("big.flash", std::string(400000, 'x'))));
    EXPECT_EQ(Form1->Label4->text(), QString::fromUtf8("300000 bajtów"));
    EXPECT_EQ(warnings.size(), 1u);
}

TEST_F(AppTest, DroppedFlashFileLoadsAsTheDialogWould) {
    Start({"COM1"});
    std::string file = WriteFile("drop.flash", std::string(1000, 'd'));
    Form1->ProgressBar1->SetPosition(3);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(file))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(Form1.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(Form1.get(), &drop);
    EXPECT_EQ(Form1->Label2->text().toStdString(), file);
    EXPECT_EQ(Form1->Label4->text(), QString::fromUtf8("1000 bajtów"));
    EXPECT_EQ(Form1->ProgressBar1->Position(), 0);

    // The dialog then opens in the folder of the dropped image.
    QString openedIn;
    Form1->SetDialogRunner([&](QFileDialog& d) {
        openedIn = d.directory().absolutePath();
        return false;
    });
    Form1->Button2Click(nullptr);
    EXPECT_EQ(openedIn, QDir(QString::fromStdString(Dir.Path().string())).absolutePath());

    // Anything but one .flash file is refused.
    QMimeData other;
    other.setUrls({QUrl::fromLocalFile(QString::fromStdString(WriteFile("notes.txt", "x")))});
    QDragEnterEvent refused(QPoint(10, 10), Qt::CopyAction, &other, Qt::LeftButton, Qt::NoModifier);
    refused.ignore();
    QCoreApplication::sendEvent(Form1.get(), &refused);
    EXPECT_FALSE(refused.isAccepted());
    QMimeData two;
    two.setUrls({QUrl::fromLocalFile(QString::fromStdString(file)),
                 QUrl::fromLocalFile(QString::fromStdString(file))});
    EXPECT_TRUE(DroppedImageFile(&two).isEmpty());
}

TEST_F(AppTest, ProgressBarShowsPositionsPastItsMaximumAsFull) {
    TProgressBar bar(nullptr);
    bar.SetMax(2);
    bar.SetPosition(3);
    EXPECT_EQ(bar.Position(), 3);
    EXPECT_EQ(bar.value(), bar.maximum());
    bar.SetMax(0); // an empty image: no busy indicator
    bar.SetPosition(0);
    EXPECT_NE(bar.maximum(), 0);
    EXPECT_EQ(bar.value(), 0);
    bar.SetPosition(1);
    EXPECT_EQ(bar.value(), bar.maximum());
}

TEST_F(AppTest, UstawPortShowsOnePortWindow) {
    Start({"COM1"});
    Form1->show();
    QTest::mouseClick(Form1->Button4, Qt::LeftButton);
    EXPECT_TRUE(Form2->isVisible());
    QTest::mouseClick(Form1->Button4, Qt::LeftButton);
    EXPECT_TRUE(Form2->isVisible());
    int windows = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        windows += w->isVisible() && w->windowTitle() == "Komunikacja";
    EXPECT_EQ(windows, 1);
    QTest::mouseClick(Form1->Button3, Qt::LeftButton);
    EXPECT_FALSE(Form1->isVisible());
}
