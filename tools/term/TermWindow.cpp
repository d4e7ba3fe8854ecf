#include "tools/term/TermWindow.h"

#include "cport/ComPort.h"
#include "cportui/CPortCtl.h"
#include "cportui/CPortSetup.h"
#include "platform/ports/DeviceMap.h"
#include "platform/profile/IniFiles.h"
#include "platform/toolkit/ShowException.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QStandardPaths>
#include <QStatusBar>
#include <QToolBar>

#include <exception>

namespace {

const char* const TermSection = "Terminal";

// A device path gets a port name of its own for this process, beside the ports already mapped,
// so the port setup dialog still lists those.
std::string NameForDevice(const std::string& Given) {
    if (const int N = ComPortNumber(Given)) return "COM" + std::to_string(N);
    std::vector<TDeviceMapEntry> Map = PortMap();
    for (const TDeviceMapEntry& E : Map)
        if (E.Path == Given) return E.Name;
    int Free = 1;
    for (bool Taken = true; Taken && Free < 16;) {
        Taken = false;
        for (const TDeviceMapEntry& E : Map)
            if (ComPortNumber(E.Name) == Free) Taken = true;
        if (Taken) ++Free;
    }
    const std::string Name = "COM" + std::to_string(Free);
    std::erase_if(Map, [&](const TDeviceMapEntry& E) { return E.Name == Name; });
    Map.push_back({Name, Given});
    SetDeviceMapOverride(Map);
    return Name;
}

void SetBaud(TComPort& Port, int Baud) {
    for (int B = 0; B <= brCustom; ++B) {
        if (static_cast<int>(BaudRateValue(static_cast<TBaudRate>(B))) == Baud) {
            Port.SetBaudRate(static_cast<TBaudRate>(B));
            return;
        }
    }
    Port.SetCustomBaudRate(Baud);
    Port.SetBaudRate(brCustom);
}

} // namespace

std::string DefaultTermSettingsFile() {
    const QString Dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return QDir(Dir).filePath("tolvane/term.ini").toStdString();
}

TTermWindow::TTermWindow(const TTermOptions& Options)
    : TComponent(nullptr),
      FSettingsFile(Options.SettingsFile.empty() ? DefaultTermSettingsFile() : Options.SettingsFile),
      FLink(std::make_unique<TComLink>()) {
    setWindowTitle("tolvane-term");
    FPort = new TComPort(this);
    FPort->SetName("ComPort1");
    // Received data, lines and traffic are handed to this thread by the terminal and the LEDs.
    FPort->SetSyncMethod(smNone);
    FPort->SetStoredProps(TStoredProps{spBasic, spFlowControl, spParity});

    FTerminal = new TComTerminal(this, this);
    FTerminal->SetName("ComTerminal1");
    FTerminal->SetWantTabs(true);
    FTerminal->SetCaret(tcBlock);
    setCentralWidget(FTerminal);

    LoadSettings();
    if (!Options.Port.empty()) {
        FPortFromCommandLine = true;
        FPort->SetPort(NameForDevice(Options.Port));
        FTerminal->SetEmulation(teVT100orANSI);
        FTerminal->SetLocalEcho(false);
    }
    if (Options.Baud) {
        FPortFromCommandLine = true;
        SetBaud(*FPort, *Options.Baud);
    }
    FTerminal->SetComPort(FPort);

    QMenu* PortMenu = menuBar()->addMenu("&Port");
    FConnectAction = PortMenu->addAction("&Connect", this, &TTermWindow::Connect);
    FConnectAction->setShortcut(QKeySequence("Ctrl+Shift+O"));
    FDisconnectAction = PortMenu->addAction("&Disconnect", this, &TTermWindow::Disconnect);
    FDisconnectAction->setShortcut(QKeySequence("Ctrl+Shift+D"));
    PortMenu->addAction("Port &settings...", this, &TTermWindow::PortSettings);
    PortMenu->addSeparator();
    PortMenu->addAction("&Quit", QKeySequence("Ctrl+Shift+Q"), this, &QWidget::close);
    QMenu* TermMenu = menuBar()->addMenu("&Terminal");
    TermMenu->addAction("&Settings...", this, &TTermWindow::TerminalSettings);
    TermMenu->addAction("&Font...", this, &TTermWindow::ChooseFont);
    TermMenu->addAction("&Clear screen", this, [this] { FTerminal->WriteEscCode(ecEraseScreen); });
    QToolBar* Tools = addToolBar("Port");
    Tools->setMovable(false);
    Tools->addAction(FConnectAction);
    Tools->addAction(FDisconnectAction);
    for (QAction* A : menuBar()->actions())
        A->menu()->setFocusPolicy(Qt::NoFocus);

    FState = new QLabel(this);
    statusBar()->addWidget(FState, 1);
    const struct {
        TComLedSignal Signal;
        const char* Caption;
        TLedKind Kind;
    } Leds[] = {{lsCTS, "CTS", lkGreenLight},  {lsDSR, "DSR", lkGreenLight}, {lsRLSD, "CD", lkGreenLight},
                {lsRing, "RI", lkYellowLight}, {lsRx, "RX", lkRedLight},     {lsTx, "TX", lkRedLight}};
    for (const auto& L : Leds) {
        auto* Box = new QWidget(this);
        auto* Row = new QHBoxLayout(Box);
        Row->setContentsMargins(4, 0, 4, 0);
        Row->setSpacing(2);
        auto* Led = new TComLed(Box, this);
        Led->setFixedSize(17, 17);
        Led->SetKind(L.Kind);
        Led->SetLedSignal(L.Signal);
        Led->SetComPort(FPort);
        Row->addWidget(Led);
        Row->addWidget(new QLabel(L.Caption, Box));
        statusBar()->addPermanentWidget(Box);
        FLeds.push_back(Led);
    }

    // The device went away (unplugged, far end closed): say so and close the port here.
    FLink->OnRemoved = [this](TObject*, const EComPort& Error) {
        const QString Reason = QString::fromStdString(Error.what());
        FHandoff.Run([this, Reason] {
            Disconnect();
            ShowState("device removed: " + Reason);
        });
    };
    FPort->RegisterLink(FLink.get());

    if (FPortFromCommandLine) Connect();
    ShowState();
    // The window opens large enough for the whole grid; the user may make it smaller later.
    FTerminal->setMinimumSize(FTerminal->sizeHint());
    resize(sizeHint());
    FTerminal->setMinimumSize(0, 0);
    FTerminal->setFocus();
}

TTermWindow::~TTermWindow() {
    FHandoff.Close();
    FPort->UnRegisterLink(FLink.get());
    // The terminal and the LEDs unbind before the port goes.
    FTerminal->SetComPort(nullptr);
    for (TComLed* Led : FLeds)
        Led->SetComPort(nullptr);
    try {
        FPort->Close();
    } catch (const std::exception&) {
    }
}

void TTermWindow::Connect() {
    try {
        FPort->Open();
        ShowState();
    } catch (const std::exception& E) {
        ShowState("cannot connect");
        ShowException(E);
    }
}

void TTermWindow::Disconnect() {
    try {
        FPort->Close();
    } catch (const std::exception& E) {
        ShowException(E);
    }
    ShowState();
}

QString TTermWindow::StatusText() const {
    return FState->text();
}

void TTermWindow::ShowState(const QString& Note) {
    const std::string Name = FPort->Port();
    const std::string Device = ResolvePortName(Name).value_or("not mapped");
    const char Parity[] = {'N', 'O', 'E', 'M', 'S'};
    const int Baud = FPort->BaudRate() == brCustom ? FPort->CustomBaudRate()
                                                   : static_cast<int>(BaudRateValue(FPort->BaudRate()));
    QString Text = QString("%1 (%2)  %3 %4%5%6  %7")
                       .arg(QString::fromStdString(Name), QString::fromStdString(Device))
                       .arg(Baud)
                       .arg(5 + FPort->DataBits())
                       .arg(QChar(Parity[FPort->Parity().Bits() % 5]))
                       .arg(FPort->StopBits() == sbOneStopBit    ? "1"
                            : FPort->StopBits() == sbTwoStopBits ? "2"
                                                                 : "1.5")
                       .arg(FPort->Connected() ? "connected" : "disconnected");
    if (!Note.isEmpty()) Text += "  -  " + Note;
    FState->setText(Text);
    FConnectAction->setEnabled(!FPort->Connected());
    FDisconnectAction->setEnabled(FPort->Connected());
    setWindowTitle(QString("tolvane-term - %1").arg(QString::fromStdString(Name)));
}

void TTermWindow::PortSettings() {
    try {
        EditComPort(*FPort);
        // A choice made in the dialog is the user's: it is kept even over the command line.
        FPortFromCommandLine = false;
        SaveSettings();
    } catch (const std::exception& E) {
        ShowException(E);
    }
    ShowState();
}

void TTermWindow::TerminalSettings() {
    FTerminal->ShowSetupDialog();
    SaveSettings();
}

void TTermWindow::ChooseFont() {
    FTerminal->SelectFont();
    SaveSettings();
}

// Port settings live in the port's own section ("ComPort1"), the terminal's in "Terminal".
void TTermWindow::LoadSettings() {
    if (!QFileInfo::exists(QString::fromStdString(FSettingsFile))) return;
    try {
        FPort->LoadSettings(stIniFile, FSettingsFile);
    } catch (const std::exception& E) {
        ShowException(E);
    }
    TIniFile Ini(FSettingsFile);
    TComTerminal& T = *FTerminal;
    T.SetEmulation(static_cast<TTermEmulation>(
        std::clamp(Ini.ReadInteger(TermSection, "Emulation", T.Emulation()), 0, 2)));
    T.SetCaret(static_cast<TTermCaret>(std::clamp(Ini.ReadInteger(TermSection, "Caret", T.Caret()), 0, 2)));
    T.SetArrowKeys(
        static_cast<TArrowKeys>(std::clamp(Ini.ReadInteger(TermSection, "ArrowKeys", T.ArrowKeys()), 0, 1)));
    T.SetLocalEcho(Ini.ReadBool(TermSection, "LocalEcho", T.LocalEcho()));
    T.SetSendLF(Ini.ReadBool(TermSection, "SendLF", T.SendLF()));
    T.SetAppendLF(Ini.ReadBool(TermSection, "AppendLF", T.AppendLF()));
    T.SetForce7Bit(Ini.ReadBool(TermSection, "Force7Bit", T.Force7Bit()));
    T.SetWrapLines(Ini.ReadBool(TermSection, "WrapLines", T.WrapLines()));
    T.SetColumns(Ini.ReadInteger(TermSection, "Columns", T.Columns()));
    T.SetRows(Ini.ReadInteger(TermSection, "Rows", T.Rows()));
    TCanvasFont F = T.Font();
    F.Name = Ini.ReadString(TermSection, "FontName", F.Name);
    F.Size = std::clamp(Ini.ReadInteger(TermSection, "FontSize", F.Size), 4, 72);
    F.Height = 0;
    T.SetFont(F);
}

void TTermWindow::SaveSettings() {
    try {
        QDir().mkpath(QFileInfo(QString::fromStdString(FSettingsFile)).absolutePath());
        // What the command line chose holds for this run only.
        if (!FPortFromCommandLine) FPort->StoreSettings(stIniFile, FSettingsFile);
        TIniFile Ini(FSettingsFile);
        const TComTerminal& T = *FTerminal;
        Ini.WriteInteger(TermSection, "Emulation", T.Emulation());
        Ini.WriteInteger(TermSection, "Caret", T.Caret());
        Ini.WriteInteger(TermSection, "ArrowKeys", T.ArrowKeys());
        Ini.WriteBool(TermSection, "LocalEcho", T.LocalEcho());
        Ini.WriteBool(TermSection, "SendLF", T.SendLF());
        Ini.WriteBool(TermSection, "AppendLF", T.AppendLF());
        Ini.WriteBool(TermSection, "Force7Bit", T.Force7Bit());
        Ini.WriteBool(TermSection, "WrapLines", T.WrapLines());
        Ini.WriteInteger(TermSection, "Columns", T.Columns());
        Ini.WriteInteger(TermSection, "Rows", T.Rows());
        Ini.WriteString(TermSection, "FontName", T.Font().Name);
        Ini.WriteInteger(TermSection, "FontSize", T.Font().Size);
    } catch (const std::exception& E) {
        ShowException(E);
    }
}

void TTermWindow::closeEvent(QCloseEvent* Event) {
    SaveSettings();
    QMainWindow::closeEvent(Event);
}
