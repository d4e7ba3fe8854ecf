#include "tools/term/TermWindow.h"
#include "tools/term/core/TermSettings.h"

#include "cport/ComPort.h"
#include "cport/ComReconnect.h"
#include "cportui/CPortCtl.h"
#include "cportui/CPortSetup.h"
#include "platform/ports/DeviceMap.h"
#include "platform/profile/IniFiles.h"
#include "platform/toolkit/ShowException.h"
#include "tools/term/core/FileSender.h"
#include "tools/term/core/Paste.h"
#include "tools/term/core/Transfer.h"

#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QIntValidator>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <exception>

namespace {

const char* const TermSection = "Terminal";

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
    // tolvane-term's defaults; the settings may say otherwise.
    FTerminal->SetUtf8(true);
    FTerminal->SetFitToWindow(true);

    LoadSettings();
    // What the command line chooses holds for this run only: the saved values are kept aside and
    // written back, unless the user chooses anew in the settings dialog.
    if (!Options.Port.empty() || Options.Line.Echo) {
        FSavedEmulation = FTerminal->Emulation();
        FSavedLocalEcho = FTerminal->LocalEcho();
    }
    if (!Options.Port.empty()) {
        FPortFromCommandLine = true;
        FPort->SetPort(NameForDevice(Options.Port));
        FTerminal->SetEmulation(teVT100orANSI);
        FTerminal->SetLocalEcho(false);
    }
    if (Options.Line.Any()) {
        FPortFromCommandLine = true;
        ApplyLineOptions(*FPort, Options.Line);
        if (Options.Line.Echo) FTerminal->SetLocalEcho(*Options.Line.Echo);
    }
    FTerminal->SetComPort(FPort);
    // The keys a host expects of a terminal today (End, Page Up/Down, F1–F12, …), and the
    // window's own Ctrl+Shift shortcuts never typed as control bytes.
    FTerminal->SetExtraKeys(true);
    // What scrolls off the top stays readable (wheel, the scroll bar, Shift+Page Up/Down,
    // Shift+Home/End); bright text is bold too; pastes go through Paste below.
    FTerminal->SetScrollbackRows(FScrollbackRows);
    FTerminal->SetBoldFace(true);
    FTerminal->SetOnPaste([this](TObject*, const std::string& Text) { Paste(Text); });
    connect(FTerminal, &TCustomComTerminal::GridResized, this, [this](int Columns, int Rows) {
        statusBar()->showMessage(QString("%1 \u00d7 %2").arg(Columns).arg(Rows), 1500);
    });
    // Keys go nowhere while the port is closed; the user hears of it once.
    FTerminal->SetOnKeyPress([this](TObject*, char&) {
        if (!FPort->Connected()) TypedWhileDisconnected();
    });
    FTerminal->SetOnKeyDown([this](TObject*, uint16_t& Key) {
        const bool Sends =
            (Key == VK_HOME || (Key >= VK_LEFT && Key <= VK_DOWN)) && FTerminal->ArrowKeys() == akTerminal;
        if (Sends && !FPort->Connected()) TypedWhileDisconnected();
    });

    QMenu* PortMenu = menuBar()->addMenu("&Port");
    FConnectAction = PortMenu->addAction("&Connect", this, &TTermWindow::Connect);
    FConnectAction->setShortcut(QKeySequence("Ctrl+Shift+O"));
    FDisconnectAction = PortMenu->addAction("&Disconnect", this, &TTermWindow::Disconnect);
    FDisconnectAction->setShortcut(QKeySequence("Ctrl+Shift+D"));
    FPortSettingsAction = PortMenu->addAction("Port &settings...", this, &TTermWindow::PortSettings);
    FAutoReconnectAction = PortMenu->addAction("&Reconnect automatically");
    FAutoReconnectAction->setCheckable(true);
    FAutoReconnectAction->setChecked(FAutoReconnect);
    connect(FAutoReconnectAction, &QAction::toggled, this, [this](bool On) {
        SetAutoReconnect(On);
        SaveSettings();
    });
    PortMenu->addSeparator();
    FSendAction = PortMenu->addAction("Send &file...", this, &TTermWindow::ChooseSendFile);
    QMenu* SendBy = PortMenu->addMenu("Send b&y");
    QMenu* ReceiveBy = PortMenu->addMenu("Recei&ve by");
    for (TTransferProtocol P : {tpXmodem, tpXmodemCrc, tpXmodem1k, tpYmodem, tpZmodem}) {
        // A sender does not choose checksum or CRC: the receiver asks for it.
        if (P != tpXmodemCrc) {
            QAction* A = SendBy->addAction(QString("%1...").arg(TransferProtocolName(P)), this,
                                           [this, P] { ChooseTransfer(P, tdSend); });
            FTransferActions.push_back(A);
        }
        if (P != tpXmodem1k) {
            QAction* A = ReceiveBy->addAction(QString("%1...").arg(TransferProtocolName(P)), this,
                                              [this, P] { ChooseTransfer(P, tdReceive); });
            FTransferActions.push_back(A);
        }
    }
    FCancelSendAction = PortMenu->addAction("Cancel s&end", this, &TTermWindow::CancelSend);
    PortMenu->addSeparator();
    PortMenu->addAction("&Quit", QKeySequence("Ctrl+Shift+Q"), this, &QWidget::close);
    BuildEditMenu();
    QMenu* LineMenu = menuBar()->addMenu("&Line");
    LineMenu->addAction("Send &break", QKeySequence("Ctrl+Shift+B"), this, &TTermWindow::SendBreak);
    FDtrAction = LineMenu->addAction("&DTR");
    FRtsAction = LineMenu->addAction("&RTS");
    for (QAction* A : {FDtrAction, FRtsAction}) {
        A->setCheckable(true);
        A->setChecked(true); // both go on when the port opens
        connect(A, &QAction::triggered, this, [this, A](bool On) { SetLine(A == FDtrAction, On); });
    }
    QMenu* TermMenu = menuBar()->addMenu("&Terminal");
    TermMenu->addAction("&Settings...", this, &TTermWindow::TerminalSettings);
    TermMenu->addAction("&Font...", this, &TTermWindow::ChooseFont);
    TermMenu->addAction("&Clear screen", this, [this] { FTerminal->ClearScreen(); });
    // A terminal choice kept in the settings, as a checkable entry (Set is the control's or its core's).
    const auto Choice = [&](const char* Text, bool On, auto Set) {
        QAction* A = TermMenu->addAction(Text);
        A->setCheckable(true);
        A->setChecked(On);
        connect(A, &QAction::toggled, this, [this, Set](bool Value) {
            (FTerminal->*Set)(Value);
            SaveSettings();
        });
        return A;
    };
    FUtf8Action = Choice("&UTF-8", FTerminal->Utf8(), &TComTerminalCore::SetUtf8);
    FFitAction =
        Choice("Grid follows the &window", FTerminal->FitToWindow(), &TCustomComTerminal::SetFitToWindow);
    FTimestampsAction =
        Choice("Show &times of rows", FTerminal->Timestamps(), &TCustomComTerminal::SetTimestamps);
    FAltEscAction = Choice("&Alt sends Esc (menus open with F10)", FTerminal->AltSendsEscape(),
                           &TComTerminalCore::SetAltSendsEscape);
    // While Alt goes to the line, F10 opens the menus (otherwise F10 goes to the line too).
    auto* MenuKey = new QAction(this);
    MenuKey->setShortcut(QKeySequence(Qt::Key_F10));
    connect(MenuKey, &QAction::triggered, this, [this] {
        if (!menuBar()->actions().isEmpty()) menuBar()->setActiveAction(menuBar()->actions().first());
    });
    addAction(MenuKey);
    MenuKey->setEnabled(FTerminal->AltSendsEscape());
    connect(FAltEscAction, &QAction::toggled, MenuKey, &QAction::setEnabled);
    QMenu* Ends = TermMenu->addMenu("Line &ends");
    FLfReturnsAction = Ends->addAction("Received LF also returns the carriage");
    FDropCrAction = Ends->addAction("Drop received CR");
    for (QAction* A : {FLfReturnsAction, FDropCrAction}) {
        A->setCheckable(true);
        connect(A, &QAction::triggered, this, [this] { LineMapsChosen(); });
    }
    Ends->addSeparator();
    const auto Choices = [&](const char* Title, int Count, const char* (*Name)(int),
                             std::vector<QAction*>& Into) {
        QMenu* Sub = Ends->addMenu(Title);
        auto* Group = new QActionGroup(Sub);
        for (int I = 0; I < Count; ++I) {
            QAction* A = Sub->addAction(Name(I));
            A->setCheckable(true);
            Group->addAction(A);
            connect(A, &QAction::triggered, this, [this] { LineMapsChosen(); });
            Into.push_back(A);
        }
    };
    Choices(
        "&Enter sends", 4, [](int I) { return EnterName(static_cast<TEnterSends>(I)); }, FEnterActions);
    Choices(
        "&Backspace sends", 3, [](int I) { return BackspaceName(static_cast<TBackspaceSends>(I)); },
        FBackspaceActions);
    ShowLineMaps();
    TermMenu->addSeparator();
    FStartLogAction = TermMenu->addAction("Start &log...", this, &TTermWindow::ChooseLog);
    FStopLogAction = TermMenu->addAction("S&top log", this, &TTermWindow::StopLog);
    FLogTextAction = TermMenu->addAction("Log as &text with times");
    FLogTextAction->setCheckable(true);
    FLogTextAction->setChecked(Options.LogText.value_or(FLogTextSaved));
    connect(FLogTextAction, &QAction::toggled, this, [this](bool On) {
        FLogTextSaved = On;
        SaveSettings();
    });
    QToolBar* Tools = addToolBar("Port");
    Tools->setMovable(false);
    Tools->addAction(FConnectAction);
    Tools->addAction(FDisconnectAction);
    for (QAction* A : menuBar()->actions())
        A->menu()->setFocusPolicy(Qt::NoFocus);

    FState = new QLabel(this);
    statusBar()->addWidget(FState, 1);
    // The bit rate can change while connected; the output lines show their state and toggle.
    FBaudBox = new QComboBox(this);
    FBaudBox->setEditable(true);
    FBaudBox->setValidator(new QIntValidator(50, 4000000, FBaudBox));
    FBaudBox->setToolTip("Bit rate");
    for (int Rate : {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600})
        FBaudBox->addItem(QString::number(Rate));
    FBaudBox->setFocusPolicy(Qt::ClickFocus);
    connect(FBaudBox, &QComboBox::activated, this, [this](int) { BaudChosen(); });
    statusBar()->addPermanentWidget(FBaudBox);
    for (QAction* A : {FDtrAction, FRtsAction}) {
        auto* B = new QToolButton(this);
        B->setDefaultAction(A);
        B->setText(A == FDtrAction ? "DTR" : "RTS");
        B->setToolTip(A == FDtrAction ? "DTR: click to turn it on or off"
                                      : "RTS: click to turn it on or off");
        B->setFocusPolicy(Qt::NoFocus);
        statusBar()->addPermanentWidget(B);
    }
    FLogLabel = new QLabel(this);
    FLogLabel->hide();
    statusBar()->addWidget(FLogLabel);
    FSendBar = new QProgressBar(this);
    FSendBar->setRange(0, 1000);
    FSendBar->setTextVisible(false);
    FSendBar->setFixedWidth(120);
    FSendBar->hide();
    statusBar()->addWidget(FSendBar);
    FSendCancel = new QToolButton(this);
    FSendCancel->setDefaultAction(FCancelSendAction);
    FSendCancel->setText("Cancel");
    FSendCancel->hide();
    statusBar()->addWidget(FSendCancel);
    BuildFindBar();
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

    // Received blocks for the log, copied on the port's event thread and written on this one. A
    // bounded amount waits here, as for the terminal, so a slow disk slows the port, never loses.
    FHandoff.SetQueueLimit(TComTerminalCore::RxQueueLimit);
    FLink->OnRxBuf = [this](TObject*, const char* Buffer, int Count) {
        if (!FLogging.load(std::memory_order_acquire) || Count <= 0) return;
        std::string Block(Buffer, static_cast<std::size_t>(Count));
        FHandoff.Run([this, Block = std::move(Block)] { Received(Block); }, static_cast<std::size_t>(Count));
    };
    // Without a follower of the device (its folder cannot be watched) the removal is handled here.
    FLink->OnRemoved = [this](TObject*, const EComPort&) {
        FHandoff.Run([this] {
            if (FReconnect || !FPort->Connected()) return;
            Disconnect();
            FStateText = "disconnected: device removed";
            ShowState();
        });
    };
    FPort->RegisterLink(FLink.get());

    FRetryTimer = new QTimer(this);
    FRetryTimer->setSingleShot(true);
    connect(FRetryTimer, &QTimer::timeout, this, &TTermWindow::ServeReconnect);
    FLogTimer = new QTimer(this);
    FLogTimer->setSingleShot(true);
    FLogTimer->setInterval(TSessionLog::FlushDelayMs);
    connect(FLogTimer, &QTimer::timeout, this, &TTermWindow::FlushLog);
    StartReconnect(Options.DeviceDir);

    if (!Options.LogFile.empty()) StartLog(Options.LogFile, FLogTextAction->isChecked() ? lfText : lfRaw);
    if (FPortFromCommandLine) Connect();
    ShowState();
    // The window opens large enough for the whole grid and for the status strip with its longest
    // state; the user may make it smaller later (the strip's tooltip has the whole text).
    FTerminal->setMinimumSize(FTerminal->sizeHint());
    int StripWidth = FState->sizeHint().width() + FState->fontMetrics().horizontalAdvance(
                                                      "disconnected: device removed  -  log: session.log");
    for (const TComLed* Led : FLeds)
        StripWidth += Led->parentWidget()->sizeHint().width() + 8;
    // A grid that follows the window keeps its saved size instead; the strip makes do.
    resize(FTerminal->FitToWindow() ? sizeHint().width() : std::max(sizeHint().width(), StripWidth),
           sizeHint().height());
    FTerminal->setMinimumSize(0, 0);
    FTerminal->setFocus();
}

TTermWindow::~TTermWindow() {
    // The sender ends before the port it writes to; nothing it handed over runs any more.
    FSender.reset();
    FTransfer.reset();
    FHandoff.Close();
    delete FDeviceNotifier;
    FReconnect.reset();
    FPort->UnRegisterLink(FLink.get());
    // The terminal and the LEDs unbind before the port goes.
    FTerminal->SetComPort(nullptr);
    for (TComLed* Led : FLeds)
        Led->SetComPort(nullptr);
    try {
        FPort->Close();
    } catch (const std::exception&) {
    }
    try {
        FLog.Close();
    } catch (const std::exception&) {
    }
}

void TTermWindow::Connect() {
    try {
        FPort->Open();
        FDtrAction->setChecked(true);
        FRtsAction->setChecked(true);
        FTypingNoted = false;
        FNote.clear();
        // The device opened now is the one to follow.
        if (FReconnect) FReconnect->Opened();
        ShowState();
    } catch (const std::exception& E) {
        SetNote("cannot connect");
        ShowException(E);
    }
}

void TTermWindow::Disconnect() {
    if (FSender) {
        FSender->Cancel();
        FSender->Wait();
    }
    EndTransfer();
    if (FReconnect) FReconnect->Stopped();
    try {
        FPort->Close();
    } catch (const std::exception& E) {
        ShowException(E);
    }
    DarkenLeds();
    ShowState();
}

// Closing turns the line LEDs off, but a traffic LED lit by a write the device never finished
// would stay lit: following the port afresh starts every LED dark.
void TTermWindow::DarkenLeds() {
    for (TComLed* Led : FLeds) {
        Led->SetComPort(nullptr);
        Led->SetComPort(FPort);
    }
}

QString TTermWindow::StatusText() const {
    return FState->text();
}

void TTermWindow::ShowState() {
    if (FBaudBox) ShowBaud();
    const std::string Name = FPort->Port();
    // A removed device is no longer in the folder: the path it had is the one waited for.
    const bool Waiting =
        FReconnect && FReconnect->State() == rsDisconnected && !FReconnect->DevicePath().empty();
    const std::string Device =
        Waiting ? FReconnect->DevicePath() : ResolvePortName(Name).value_or("not mapped");
    const char Parity[] = {'N', 'O', 'E', 'M', 'S'};
    const int Baud = FPort->BaudRate() == brCustom ? FPort->CustomBaudRate()
                                                   : static_cast<int>(BaudRateValue(FPort->BaudRate()));
    const std::string State = !FStateText.empty()  ? FStateText
                              : FPort->Connected() ? "connected"
                                                   : "disconnected";
    QString Text = QString("%1 (%2)  %3 %4%5%6  %7")
                       .arg(QString::fromStdString(Name), QString::fromStdString(Device))
                       .arg(Baud)
                       .arg(5 + FPort->DataBits())
                       .arg(QChar(Parity[FPort->Parity().Bits() % 5]))
                       .arg(FPort->StopBits() == sbOneStopBit    ? "1"
                            : FPort->StopBits() == sbTwoStopBits ? "2"
                                                                 : "1.5")
                       .arg(QString::fromStdString(State));
    if (!FNote.isEmpty()) Text += "  -  " + FNote;
    FState->setText(Text);
    FState->setToolTip(Text);
    UpdateActions();
    setWindowTitle(QString("tolvane-term - %1").arg(QString::fromStdString(Name)));
}

void TTermWindow::SetNote(const QString& Note) {
    FNote = Note;
    ShowState();
}

void TTermWindow::UpdateActions() {
    const bool Open = FPort->Connected();
    FConnectAction->setEnabled(!Open);
    FDisconnectAction->setEnabled(Open);
    FPortSettingsAction->setEnabled(!Sending());
    FSendAction->setEnabled(Open && !Sending());
    for (QAction* A : FTransferActions)
        A->setEnabled(Open && !Sending());
    FCancelSendAction->setEnabled(Sending());
    FStopLogAction->setEnabled(FLog.Active());
}

void TTermWindow::TypedWhileDisconnected() {
    if (FTypingNoted) return;
    FTypingNoted = true;
    SetNote("not connected: typing is not sent");
}

// ---- following the device ----

void TTermWindow::StartReconnect(const std::string& DeviceDir) {
    try {
        FReconnect = DeviceDir.empty() ? std::make_unique<TComReconnect>(*FPort)
                                       : std::make_unique<TComReconnect>(*FPort, DeviceDir);
    } catch (const std::exception& E) {
        FNote = QString("no automatic reconnect: %1").arg(E.what());
        return;
    }
    FReconnect->SetEnabled(FAutoReconnect);
    FReconnect->OnState = [this](TReconnectState State, const std::string& Text) {
        ReconnectState(State, Text);
    };
    // The device folder is read only when it changed: nothing runs while nothing happens.
    FDeviceNotifier = new QSocketNotifier(FReconnect->Fd(), QSocketNotifier::Read, this);
    connect(FDeviceNotifier, &QSocketNotifier::activated, this, &TTermWindow::ServeReconnect);
}

void TTermWindow::ServeReconnect() {
    if (!FReconnect) return;
    try {
        FReconnect->Process(0);
    } catch (const std::exception& E) {
        ShowException(E);
    }
    // A device that came back busy is tried again for a moment; otherwise no timer runs.
    const int Ms = FReconnect->RetryInMs();
    if (Ms >= 0)
        FRetryTimer->start(Ms);
    else
        FRetryTimer->stop();
}

void TTermWindow::ReconnectState(int State, const std::string& Text) {
    FStateText = Text;
    if (State == rsDisconnected && Text == "disconnected: device removed") {
        // The screen stays as it was; what was being sent stops.
        CancelSend();
        DarkenLeds();
        FTypingNoted = false;
        FNote.clear();
    }
    if (State == rsConnected && !Text.empty()) {
        FTypingNoted = false;
        FNote.clear();
    }
    // A network port has no device folder to tell of its return: its retries run on the timer.
    if (State == rsDisconnected && FReconnect && FReconnect->RetryInMs() >= 0)
        FRetryTimer->start(FReconnect->RetryInMs());
    ShowState();
}

bool TTermWindow::AutoReconnect() const {
    return FAutoReconnect;
}

void TTermWindow::SetAutoReconnect(bool Value) {
    FAutoReconnect = Value;
    FAutoReconnectAction->setChecked(Value);
    if (!FReconnect) return;
    FReconnect->SetEnabled(Value);
    ServeReconnect();
}

// ---- session log ----

void TTermWindow::StartLog(const std::string& FileName, TLogFormat Format) {
    StopLog();
    try {
        FLog.Open(FileName, Format);
    } catch (const std::exception& E) {
        ShowException(E);
        return;
    }
    FLogging.store(true, std::memory_order_release);
    FLogLabel->setText(QString("log: %1").arg(QFileInfo(QString::fromStdString(FileName)).fileName()));
    FLogLabel->setToolTip(QString::fromStdString(FileName));
    FLogLabel->show();
    UpdateActions();
}

void TTermWindow::StopLog() {
    FLogging.store(false, std::memory_order_release);
    FLogTimer->stop();
    FLogLabel->hide();
    try {
        FLog.Close();
    } catch (const std::exception& E) {
        ShowException(E);
    }
    UpdateActions();
}

bool TTermWindow::LogFlushPending() const {
    return FLogTimer->isActive();
}

void TTermWindow::Received(const std::string& Bytes) {
    if (!FLog.Active()) return;
    try {
        // The first byte left waiting starts the timer; later ones do not push it back.
        if (!FLog.Write(Bytes))
            FLogTimer->stop();
        else if (!FLogTimer->isActive())
            FLogTimer->start();
    } catch (const std::exception& E) {
        LogFailed(E);
    }
}

void TTermWindow::FlushLog() {
    try {
        FLog.Flush();
    } catch (const std::exception& E) {
        LogFailed(E);
    }
}

void TTermWindow::LogFailed(const std::exception& Error) {
    FLogging.store(false, std::memory_order_release);
    FLogTimer->stop();
    FLogLabel->hide();
    try {
        FLog.Close();
    } catch (const std::exception&) {
        // Already told below.
    }
    SetNote(QString("log stopped: %1").arg(Error.what()));
    ShowException(Error);
}

void TTermWindow::ChooseLog() {
    const QString File = QFileDialog::getSaveFileName(this, "Log received data to", QString(), QString(),
                                                      nullptr, QFileDialog::DontConfirmOverwrite);
    if (!File.isEmpty()) StartLog(File.toStdString(), FLogTextAction->isChecked() ? lfText : lfRaw);
}

// ---- send file ----

void TTermWindow::SendFile(const std::string& FileName) {
    MakeSender();
    try {
        FSender->Start(FileName);
    } catch (const std::exception& E) {
        ShowException(E);
        return;
    }
    FSending = true;
    FSendFile = FileName;
    FSendBar->setValue(0);
    FSendBar->show();
    FSendCancel->show();
    SetNote(QString("sending %1").arg(QFileInfo(QString::fromStdString(FileName)).fileName()));
}

void TTermWindow::MakeSender() {
    if (!FSender) {
        FSender = std::make_unique<TFileSender>(*FPort);
        FSender->OnProgress = [this](int64_t Sent, int64_t Total) {
            FHandoff.Run([this, Sent, Total] {
                FSendBar->setValue(Total > 0 ? static_cast<int>(Sent * 1000 / Total) : 1000);
            });
        };
        FSender->OnDone = [this](TSendResult Result, int64_t Sent, const std::string& Text) {
            FHandoff.Run([this, Result, Sent, Text] { SendDone(Result, Sent, Text); });
        };
    }
}

void TTermWindow::CancelSend() {
    if (FSender) FSender->Cancel();
    if (FTransfer) FTransfer->Cancel();
}

bool TTermWindow::Sending() const {
    return FSending;
}

int TTermWindow::SendProgress() const {
    return FSendBar->value();
}

void TTermWindow::SendDone(int Result, int64_t Sent, const std::string& Text) {
    FSender->Wait();
    FSending = false;
    FSendBar->hide();
    FSendCancel->hide();
    if (std::exchange(FPasting, false)) {
        // A paste that went whole needs no word and lets the next one go; one cut short takes the
        // waiting ones with it.
        if (Result == srDone && !FPasteQueue.empty()) return StartPaste(std::exchange(FPasteQueue, {}));
        FPasteQueue.clear();
        if (Result == srCancelled)
            SetNote(QString("paste cancelled after %1 of %2 bytes").arg(Sent).arg(FSender->Total()));
        else if (Result == srFailed)
            SetNote(QString("paste failed after %1 of %2 bytes: %3")
                        .arg(Sent)
                        .arg(FSender->Total())
                        .arg(QString::fromStdString(Text)));
        return;
    }
    const QString Name = QFileInfo(QString::fromStdString(FSendFile)).fileName();
    const int64_t Total = FSender->Total();
    if (Result == srDone)
        SetNote(QString("sent %1 (%2 bytes)").arg(Name).arg(Sent));
    else if (Result == srCancelled)
        SetNote(QString("send of %1 cancelled after %2 of %3 bytes").arg(Name).arg(Sent).arg(Total));
    else
        SetNote(QString("send of %1 failed after %2 of %3 bytes: %4")
                    .arg(Name)
                    .arg(Sent)
                    .arg(Total)
                    .arg(QString::fromStdString(Text)));
}

// ---- copy, paste, find ----

void TTermWindow::BuildEditMenu() {
    QMenu* Edit = menuBar()->addMenu("&Edit");
    Edit->addAction("&Copy", QKeySequence("Ctrl+Shift+C"), this, [this] { FTerminal->CopySelection(); });
    Edit->addAction("&Paste", QKeySequence("Ctrl+Shift+V"), this, [this] { FTerminal->PasteClipboard(); });
    Edit->addAction("Select &all", QKeySequence("Ctrl+Shift+A"), this,
                    [this] { FTerminal->SelectAllText(); });
    Edit->addSeparator();
    Edit->addAction("&Find...", QKeySequence("Ctrl+Shift+F"), this, &TTermWindow::ShowFindBar);
    Edit->addSeparator();
    FConfirmPasteAction = Edit->addAction("Ask before a &long or multi-line paste");
    FConfirmPasteAction->setCheckable(true);
    FConfirmPasteAction->setChecked(FConfirmPaste);
    connect(FConfirmPasteAction, &QAction::toggled, this, [this](bool On) {
        FConfirmPaste = On;
        SaveSettings();
    });
}

void TTermWindow::SetConfirmPaste(bool Value) {
    FConfirmPasteAction->setChecked(Value);
    FConfirmPaste = Value;
}

void TTermWindow::Paste(const std::string& Text) {
    if (!FPort->Connected()) return TypedWhileDisconnected();
    if (Sending() && !FPasting) {
        SetNote("a file is being sent: paste when it is done");
        return;
    }
    if (FConfirmPaste && PasteAsksFirst(Text)) {
        const auto Lines = std::count(Text.begin(), Text.end(), '\n') + (Text.back() == '\n' ? 0 : 1);
        QMessageBox Ask(QMessageBox::Question, "Paste",
                        QString("Send %1 bytes in %2 lines to the port?").arg(Text.size()).arg(Lines),
                        QMessageBox::Yes | QMessageBox::No, this);
        auto* DontAsk = new QCheckBox("Do not ask again");
        Ask.setCheckBox(DontAsk);
        if (Ask.exec() != QMessageBox::Yes) return;
        if (DontAsk->isChecked()) {
            SetConfirmPaste(false);
            SaveSettings();
        }
    }
    const std::string Bytes = FTerminal->TypedText(Text);
    if (Bytes.empty()) return;
    FTerminal->ViewLive();
    FTerminal->EchoTyped(Bytes);
    // A paste made while another is still going follows it.
    if (FPasting)
        FPasteQueue += Bytes;
    else
        StartPaste(Bytes);
}

void TTermWindow::StartPaste(const std::string& Bytes) {
    MakeSender();
    try {
        FSender->StartData(Bytes, "the paste");
    } catch (const std::exception& E) {
        ShowException(E);
        return;
    }
    FSending = FPasting = true;
    FSendBar->setValue(0);
    FSendBar->show();
    FSendCancel->show();
}

void TTermWindow::BuildFindBar() {
    FFindBar = new QToolBar("Find", this);
    FFindBar->setMovable(false);
    FFindBar->addWidget(new QLabel("Find: ", FFindBar));
    FFindEdit = new QLineEdit(FFindBar);
    FFindEdit->setObjectName("find");
    FFindEdit->setClearButtonEnabled(true);
    FFindBar->addWidget(FFindEdit);
    FFindBar->addAction("Previous", this, [this] { FindNext(FFindEdit->text(), true); });
    FFindBar->addAction("Next", this, [this] { FindNext(FFindEdit->text(), false); });
    FFindCase = new QCheckBox("Match case", FFindBar);
    FFindBar->addWidget(FFindCase);
    QAction* Close = FFindBar->addAction("Close");
    Close->setShortcut(QKeySequence(Qt::Key_Escape));
    Close->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(Close, &QAction::triggered, this, [this] {
        FFindBar->hide();
        FTerminal->ClearHighlight();
        FTerminal->setFocus();
    });
    // Typing searches from the top of the view; Enter goes on, Shift+Enter back.
    connect(FFindEdit, &QLineEdit::textEdited, this, [this](const QString& Text) {
        FTerminal->ClearSelection();
        FindNext(Text, false);
    });
    connect(FFindEdit, &QLineEdit::returnPressed, this,
            [this] { FindNext(FFindEdit->text(), QApplication::keyboardModifiers() & Qt::ShiftModifier); });
    connect(FFindCase, &QCheckBox::toggled, this, [this] { FindNext(FFindEdit->text(), false); });
    addToolBar(Qt::BottomToolBarArea, FFindBar);
    FFindBar->hide();
}

void TTermWindow::ShowFindBar() {
    FFindBar->show();
    FFindEdit->setFocus();
    FFindEdit->selectAll();
}

bool TTermWindow::FindNext(const QString& Text, bool Backward) {
    if (Text.isEmpty()) {
        FTerminal->ClearHighlight();
        return false;
    }
    const bool Found = FTerminal->Find(Text.toStdU32String(), Backward, FFindCase->isChecked());
    FFindEdit->setStyleSheet(Found ? QString() : QString("background: #f4c0c0"));
    if (!Found) SetNote(QString("not found: %1").arg(Text));
    return Found;
}

void TTermWindow::ChooseSendFile() {
    const QString File = QFileDialog::getOpenFileName(this, "Send file");
    if (!File.isEmpty()) SendFile(File.toStdString());
}

// ---- dialogs and settings ----

void TTermWindow::PortSettings() {
    const std::string Before = FPort->Port();
    try {
        EditComPort(*FPort);
        // The dialog may have reopened the port on another device: that one is followed now. A
        // port renamed while its device is away no longer waits for that device.
        if (FReconnect && FPort->Connected())
            FReconnect->Opened();
        else if (FReconnect && FPort->Port() != Before)
            FReconnect->Stopped();
        // A choice made in the dialog is the user's: it is kept even over the command line.
        FPortFromCommandLine = false;
        SaveSettings();
    } catch (const std::exception& E) {
        ShowException(E);
    }
    ShowState();
}

void TTermWindow::TerminalSettings() {
    const TTermEmulation Emulation = FTerminal->Emulation();
    const bool LocalEcho = FTerminal->LocalEcho();
    FTerminal->ShowSetupDialog();
    // Chosen in the dialog: the user's own choice, kept from now on.
    if (FTerminal->Emulation() != Emulation) FSavedEmulation.reset();
    if (FTerminal->LocalEcho() != LocalEcho) FSavedLocalEcho.reset();
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
    T.SetLineMaps(ReadLineMaps(Ini, TermSection));
    T.SetAltSendsEscape(Ini.ReadBool(TermSection, "AltSendsEscape", false));
    T.SetUtf8(Ini.ReadBool(TermSection, "UTF8", true));
    T.SetFitToWindow(Ini.ReadBool(TermSection, "FitToWindow", T.FitToWindow()));
    T.SetTimestamps(Ini.ReadBool(TermSection, "Timestamps", false));
    FConfirmPaste = Ini.ReadBool(TermSection, "ConfirmPaste", true);
    FScrollbackRows = std::clamp(Ini.ReadInteger(TermSection, "ScrollbackRows", FScrollbackRows), 0, 1000000);
    FAutoReconnect = Ini.ReadBool(TermSection, "AutoReconnect", FAutoReconnect);
    FLogTextSaved = Ini.ReadBool(TermSection, "LogText", FLogTextSaved);
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
        Ini.WriteInteger(TermSection, "Emulation", FSavedEmulation.value_or(T.Emulation()));
        Ini.WriteInteger(TermSection, "Caret", T.Caret());
        Ini.WriteInteger(TermSection, "ArrowKeys", T.ArrowKeys());
        Ini.WriteBool(TermSection, "LocalEcho", FSavedLocalEcho.value_or(T.LocalEcho()));
        Ini.WriteBool(TermSection, "SendLF", T.SendLF());
        Ini.WriteBool(TermSection, "AppendLF", T.AppendLF());
        Ini.WriteBool(TermSection, "Force7Bit", T.Force7Bit());
        Ini.WriteBool(TermSection, "WrapLines", T.WrapLines());
        Ini.WriteInteger(TermSection, "Columns", T.Columns());
        Ini.WriteInteger(TermSection, "Rows", T.Rows());
        WriteLineMaps(Ini, TermSection, T.LineMaps());
        Ini.WriteBool(TermSection, "AltSendsEscape", T.AltSendsEscape());
        Ini.WriteBool(TermSection, "UTF8", T.Utf8());
        Ini.WriteBool(TermSection, "FitToWindow", T.FitToWindow());
        Ini.WriteBool(TermSection, "Timestamps", T.Timestamps());
        Ini.WriteBool(TermSection, "ConfirmPaste", FConfirmPaste);
        Ini.WriteInteger(TermSection, "ScrollbackRows", FScrollbackRows);
        Ini.WriteString(TermSection, "FontName", T.Font().Name);
        Ini.WriteInteger(TermSection, "FontSize", T.Font().Size);
        Ini.WriteBool(TermSection, "AutoReconnect", FAutoReconnect);
        Ini.WriteBool(TermSection, "LogText", FLogTextSaved);
    } catch (const std::exception& E) {
        ShowException(E);
    }
}

void TTermWindow::closeEvent(QCloseEvent* Event) {
    SaveSettings();
    QMainWindow::closeEvent(Event);
}

// ---- line control ----

void TTermWindow::SendBreak() {
    if (!FPort->Connected()) return TypedWhileDisconnected();
    try {
        FPort->SetBreak(true);
        QTimer::singleShot(250, this, [this] {
            try {
                if (FPort->Connected()) FPort->SetBreak(false);
            } catch (const std::exception& E) {
                ShowException(E);
            }
        });
        SetNote("break sent");
    } catch (const std::exception& E) {
        ShowException(E);
    }
}

void TTermWindow::SetLine(bool Dtr, bool On) {
    QAction* A = Dtr ? FDtrAction : FRtsAction;
    if (!FPort->Connected()) {
        A->setChecked(!On);
        return TypedWhileDisconnected();
    }
    try {
        Dtr ? FPort->SetDTR(On) : FPort->SetRTS(On);
    } catch (const std::exception& E) {
        A->setChecked(!On);
        ShowException(E);
    }
}

void TTermWindow::BaudChosen() {
    bool Ok = false;
    const int Rate = FBaudBox->currentText().toInt(&Ok);
    if (!Ok || Rate < 50) return ShowBaud();
    try {
        SetBaud(*FPort, Rate);
    } catch (const std::exception& E) {
        ShowException(E);
    }
    ShowBaud();
    ShowState();
}

void TTermWindow::ShowBaud() {
    const DWORD B = BaudRateValue(FPort->BaudRate());
    FBaudBox->setCurrentText(QString::number(B ? B : static_cast<DWORD>(FPort->CustomBaudRate())));
}

void TTermWindow::LineMapsChosen() {
    TLineMaps M;
    M.LfReturns = FLfReturnsAction->isChecked();
    M.DropCr = FDropCrAction->isChecked();
    for (std::size_t I = 0; I < FEnterActions.size(); ++I)
        if (FEnterActions[I]->isChecked()) M.Enter = static_cast<TEnterSends>(I);
    for (std::size_t I = 0; I < FBackspaceActions.size(); ++I)
        if (FBackspaceActions[I]->isChecked()) M.Backspace = static_cast<TBackspaceSends>(I);
    FTerminal->SetLineMaps(M);
    SaveSettings();
}

void TTermWindow::ShowLineMaps() {
    const TLineMaps& M = FTerminal->LineMaps();
    FLfReturnsAction->setChecked(M.LfReturns);
    FDropCrAction->setChecked(M.DropCr);
    FEnterActions.at(M.Enter)->setChecked(true);
    FBackspaceActions.at(M.Backspace)->setChecked(true);
}

// ---- file transfer protocols ----

void TTermWindow::ChooseTransfer(TTransferProtocol Protocol, TTransferDirection Direction) {
    const QString Title =
        QString("%1 %2").arg(Direction == tdSend ? "Send by" : "Receive by", TransferProtocolName(Protocol));
    QString Path;
    if (Direction == tdSend)
        Path = QFileDialog::getOpenFileName(this, Title);
    else if (Protocol <= tpXmodem1k) // XMODEM carries no name: the user gives one
        Path = QFileDialog::getSaveFileName(this, Title);
    else
        Path = QFileDialog::getExistingDirectory(this, Title);
    if (!Path.isEmpty()) StartTransfer(Protocol, Direction, Path.toStdString());
}

void TTermWindow::StartTransfer(TTransferProtocol Protocol, TTransferDirection Direction,
                                const std::string& Path) {
    if (Sending()) return;
    FTransfer = std::make_unique<TTransfer>(*FPort);
    int64_t Total = 0;
    if (Direction == tdSend) Total = QFileInfo(QString::fromStdString(Path)).size();
    FTransfer->OnProgress = [this, Total](int64_t Bytes, const std::string&) {
        FHandoff.Run([this, Bytes, Total] {
            if (Total > 0)
                FSendBar->setValue(static_cast<int>(std::min<int64_t>(Bytes, Total) * 1000 / Total));
            SetNote(QString("%1: %2 bytes").arg(FTransferName).arg(Bytes));
        });
    };
    FTransfer->OnDone = [this](bool Ok, const std::string& Text) {
        FHandoff.Run([this, Ok, Text] { TransferDone(Ok, Text); });
    };
    // The protocol has the line: the terminal neither shows nor answers what comes meanwhile.
    FTerminal->SetComPort(nullptr);
    try {
        FTransfer->Start(Protocol, Direction, Path);
    } catch (const std::exception& E) {
        FTransfer.reset();
        FTerminal->SetComPort(FPort);
        ShowException(E);
        return;
    }
    FTransferName = QString("%1 %2 %3")
                        .arg(TransferProtocolName(Protocol), Direction == tdSend ? "send of" : "receive into",
                             QFileInfo(QString::fromStdString(Path)).fileName());
    FSending = true;
    FSendBar->setRange(0, Total > 0 ? 1000 : 0); // a receive's size is not known: a busy bar
    FSendBar->setValue(0);
    FSendBar->show();
    FSendCancel->show();
    SetNote(FTransferName);
}

void TTermWindow::EndTransfer() {
    if (!FTransfer) return;
    FTransfer->Cancel();
    FinishTransfer();
}

// The transfer's threads have ended or are told to: the terminal gets the line back.
void TTermWindow::FinishTransfer() {
    FTransfer->Wait();
    FTransfer.reset();
    FSending = false;
    FSendBar->hide();
    FSendCancel->hide();
    FSendBar->setRange(0, 1000);
    FTerminal->SetComPort(FPort);
}

void TTermWindow::TransferDone(bool Ok, const std::string& Text) {
    if (!FTransfer) return; // ended already (disconnect)
    FinishTransfer();
    SetNote(QString("%1 %2%3").arg(FTransferName, Ok ? "done" : "failed",
                                   Text.empty() ? QString() : ": " + QString::fromStdString(Text)));
    UpdateActions();
}
