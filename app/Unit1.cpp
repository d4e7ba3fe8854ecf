#include "app/Unit1.h"

#include "app/Logo.h"
#include "app/Unit2.h"
#include "app/engine/PortReport.h"
#include "cport/ComPort.h"
#include "cportui/FormStyle.h"
#include "platform/toolkit/FormData.h"
#include "platform/toolkit/ShowException.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QUrl>

namespace {

QString ToQ(const std::string& S) {
    return QString::fromUtf8(S.data(), static_cast<qsizetype>(S.size()));
}

// Runs a button handler the way the application runs every handler: an error is shown, and the
// window goes on.
template <class F> void Guarded(F&& Body) {
    try {
        Body();
    } catch (const std::exception& e) {
        ShowException(e);
    } catch (...) {
        ShowException(std::current_exception());
    }
}

} // namespace

// A port error as the window shows it: the port's own message, then the port, its device and the
// reason in a person's words.
void TForm1::ShowPortError(const std::exception_ptr& Error) {
    try {
        std::rethrow_exception(Error);
    } catch (const Exception& e) {
        ShowException(Exception(e.Message() + "\n" + DescribePortProblem(ComPort1->Port(), e)));
    } catch (const std::exception& e) {
        ShowException(e);
    } catch (...) {
        ShowException(Error);
    }
}

template <class F> void TForm1::PortGuarded(F&& Body) {
    try {
        Body();
    } catch (...) {
        ShowPortError(std::current_exception());
    }
}

const char* TForm1::FormData() {
    return "Form1: TForm1 {\n"
           "  ComPort1: TComPort {\n"
           "    BaudRate = br38400\n"
           "    Port = \"COM1\"\n"
           "    DataBits = dbEight\n"
           "    StopBits = sbOneStopBit\n"
           "    Parity.Bits = prNone\n"
           "    FlowControl.OutCTSFlow = false\n"
           "    FlowControl.OutDSRFlow = false\n"
           "    FlowControl.ControlDTR = dtrDisable\n"
           "    FlowControl.ControlRTS = rtsDisable\n"
           "    FlowControl.XonXoffOut = false\n"
           "    FlowControl.XonXoffIn = false\n"
           "    Events = [evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, "
           "evRx80Full]\n"
           "    SyncMethod = smNone\n"
           "    OnRxChar = ComPort1RxChar\n"
           "  }\n"
           "}\n";
}

void RegisterForm1() {
    static const bool done = [] {
        TPublished<TForm1>("TForm1", "TComponent")
            .Method<TRxCharEvent>("ComPort1RxChar",
                                  [](TForm1& Form) {
                                      return [&Form](TObject* Sender, int Count) {
                                          Form.ComPort1RxChar(Sender, Count);
                                      };
                                  })
            .Register();
        return true;
    }();
    (void)done;
}

QPixmap MakeLogo() {
    QPixmap pm(69, 49);
    pm.fill(Qt::transparent); // the window's own face shows around the chip
    QPainter p(&pm);
    PaintLogo(p);
    return pm;
}

QString DroppedImageFile(const QMimeData* Data) {
    if (!Data || !Data->hasUrls()) return {};
    const QList<QUrl> urls = Data->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile()) return {};
    QString path = urls.front().toLocalFile();
    if (!path.endsWith(".flash", Qt::CaseInsensitive)) return {};
    return path;
}

TForm1::TForm1(QWidget* Parent) : QWidget(Parent), TComponent(nullptr) {
    SetName("Form1");
    MakeFixedDialog(this, "Tolvane V2.00  =MERISK=  ", 439, 132);
    setAcceptDrops(true);

    auto button = [this](const char* Text, int Left, void (TForm1::*Handler)(TObject*)) {
        auto* b = new QPushButton(Text, this);
        b->setGeometry(Left, 12, 75, 25);
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, [this, Handler] { (this->*Handler)(this); });
        return b;
    };
    Button4 = button("Ustaw Port", 12, &TForm1::Button4Click);
    Button2 = button("Wczytaj Plik", 92, &TForm1::Button2Click);
    Button1 = button("Zapisz Flash", 172, &TForm1::Button1Click);
    Button3 = button("Koniec", 252, &TForm1::Button3Click);

    auto label = [this](const QString& Text, int Left, int Top) {
        auto* l = new QLabel(Text, this);
        l->setTextFormat(Qt::PlainText);
        l->move(Left, Top);
        l->adjustSize();
        return l;
    };
    Label1 = label("Plik:", 4, 56);
    Label2 = label(QString(), 52, 60);
    Label3 = label("Rozmiar:", 4, 76);
    Label4 = label("0", 52, 76);

    Image2 = new QLabel(this);
    Image2->setGeometry(352, 24, 69, 49);
    Image2->setPixmap(MakeLogo());

    ProgressBar1 = new TProgressBar(this);
    ProgressBar1->setGeometry(4, 92, 429, 17);
    ProgressBar1->SetMax(100);
    ProgressBar1->SetPosition(0);
    ProgressBar1->setFocusPolicy(Qt::NoFocus);

    StatusBar1 = new TStatusBar(this);
    StatusBar1->setGeometry(0, 113, 439, 19);
    StatusBar1->AddPanel(100, "CRC Error: 0");
    StatusBar1->AddPanel(100, "Verify Error: 0");
    StatusBar1->AddPanel(50, "Status:");
    StatusBar1->setFocusPolicy(Qt::NoFocus);

    // The keyboard cycles through the buttons only; the bars hold no tab stop.
    setTabOrder(Button1, Button2);
    setTabOrder(Button2, Button3);
    setTabOrder(Button3, Button4);

    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setNameFilter("(*.flash)");
    OpenDialog1->setDefaultSuffix("flash");
    OpenDialog1->setFileMode(QFileDialog::ExistingFile);
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);

    OnWarning = [this](const std::string& Text) { QMessageBox::warning(this, windowTitle(), ToQ(Text)); };

    // The engine reports from the thread that changed its state; every notice is copied into a
    // queued call so the widgets are touched on the GUI thread only, in the order of the notices.
    FEngine.SetOnNotify([this](const TFlashNotice& Notice) {
        QMetaObject::invokeMethod(
            this, [this, Notice] { ApplyNotice(Notice); }, Qt::QueuedConnection);
    });

    RegisterForm1();
    TComPort::StaticClassInfo();
    ReadComponentData(*this, FormData());
    ComPort1 = dynamic_cast<TComPort*>(FindComponent("ComPort1"));
    if (!ComPort1) throw Exception("The main window's form data holds no port ComPort1");
    FPortIO = std::make_unique<TFlashPortOf<TCustomComPort>>(*ComPort1);
    FEngine.SetPort(FPortIO.get());
    // The port says when its device went away (on its event thread here): a running job ends with
    // the port's error, and the port is closed on the GUI thread so that the port window's OK (or
    // the next start) opens it afresh once the device is back.
    FRemovalLink.OnRemoved = [this](TObject*, const EComPort& Error) {
        FEngine.PortRemoved(Error);
        QMetaObject::invokeMethod(
            this, [this] { ClosePortQuietly(); }, Qt::QueuedConnection);
    };
    ComPort1->RegisterLink(&FRemovalLink);

    FSettingsFile = TForm2::SettingsFileAtStart();
    FormCreate(this);
}

TForm1::~TForm1() {
    // The port goes first: closing it stops its event thread, the only other user of the engine
    // and of this window's queued calls.
    ComPort1->UnRegisterLink(&FRemovalLink);
    delete ComPort1;
    ComPort1 = nullptr;
}

void TForm1::FormCreate(TObject*) {
    // A settings file that cannot be read, or whose Port names no port, is told once and the port
    // stays closed: opening the defaults (COM1) could write firmware into a device nobody chose.
    // The port window's OK stores a valid choice and opens it.
    const TSettingsCheck check = CheckSettingsFile(FSettingsFile, ComPort1->Name());
    if (check.Problem != spNone) {
        ShowException(Exception(check.Message));
        return;
    }
    PortGuarded([this] {
        ComPort1->LoadSettings(stIniFile, FSettingsFile);
        ComPort1->SetConnected(true);
    });
}

void TForm1::ClosePortQuietly() {
    try {
        ComPort1->Close();
    } catch (const std::exception&) {
        // The device is gone; what Close could not release the port's destructor will.
    }
}

void TForm1::Button1Click(TObject* Sender) {
    PortGuarded([&] { FEngine.Button1Click(Sender); });
}

void TForm1::Button2Click(TObject*) {
    Guarded([this] { LoadImageFile(); });
    ProgressBar1->SetPosition(0);
}

void TForm1::Button3Click(TObject*) {
    close();
}

void TForm1::Button4Click(TObject*) {
    if (!FPortWindow) return;
    FPortWindow->show();
    FPortWindow->raise();
    FPortWindow->activateWindow();
}

void TForm1::ComPort1RxChar(TObject* Sender, int Count) {
    FEngine.ComPort1RxChar(Sender, Count);
}

void TForm1::LoadImageFile() {
    if (!FLastFolder.isEmpty()) OpenDialog1->setDirectory(FLastFolder);
    bool chosen = FDialogRunner ? FDialogRunner(*OpenDialog1) : OpenDialog1->exec() == QDialog::Accepted;
    if (!chosen || OpenDialog1->selectedFiles().isEmpty()) return;
    LoadChosenFile(OpenDialog1->selectedFiles().front());
}

void TForm1::LoadChosenFile(const QString& FileName) {
    // The name as the file system spells it, which need not be valid UTF-8.
    TLoadResult r = FEngine.LoadImageFile(QFile::encodeName(FileName).toStdString());
    if (!r.Ok) throw Exception(r.Error);
    FLastFolder = QFileInfo(FileName).absolutePath();
    Label2->setText(FileName);
    Label2->adjustSize();
    Label4->setText(ToQ(ImageSizeText(r.Size)));
    Label4->adjustSize();
    if (!r.Warning.empty() && OnWarning) OnWarning(r.Warning);
}

void TForm1::LoadImage(const QString& FileName) {
    Guarded([&] { LoadChosenFile(FileName); });
    ProgressBar1->SetPosition(0);
}

void TForm1::ApplyNotice(const TFlashNotice& Notice) {
    switch (Notice.Kind) {
    case fnPanel:
        if (Notice.Panel >= 0 && Notice.Panel < StatusBar1->PanelCount())
            StatusBar1->SetPanelText(Notice.Panel, ToQ(Notice.Text));
        break;
    case fnProgress:
        ProgressBar1->SetMax(static_cast<int>(Notice.State.ProgressMax()));
        ProgressBar1->SetPosition(static_cast<int>(Notice.State.ProgressPosition()));
        break;
    case fnJobDone:
        break;
    case fnPortError:
        ShowException(Exception(Notice.Text + "\n" +
                                DescribePortProblem(ComPort1->Port(), Notice.ErrorCode, Notice.ErrorWinCode)));
        break;
    }
}

void TForm1::showEvent(QShowEvent* Event) {
    if (!FShown) {
        FShown = true;
        CentreOnScreen(this);
        Button1->setFocus(Qt::OtherFocusReason);
    }
    QWidget::showEvent(Event);
}

void TForm1::dragEnterEvent(QDragEnterEvent* Event) {
    if (!DroppedImageFile(Event->mimeData()).isEmpty()) Event->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* Event) {
    QString file = DroppedImageFile(Event->mimeData());
    if (file.isEmpty()) return;
    Event->acceptProposedAction();
    LoadImage(file);
}
