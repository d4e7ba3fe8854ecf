#pragma once

// tolvane-term's window: one port, the terminal on it, LEDs for its lines and its traffic, the
// port and terminal settings dialogs, and the settings kept in an ini file between runs. A device
// that goes away leaves the screen as it was and is reopened when it comes back; a session log
// keeps what was received; a file can be sent to the port.
// GUI thread only.

#include "cport/ComLink.h"
#include "cportui/core/ComTerminalCore.h"
#include "platform/toolkit/Component.h"
#include "platform/toolkit/Handoff.h"
#include "tools/term/core/SessionLog.h"
#include "tools/term/core/TermSettings.h"
#include "tools/term/core/Transfer.h"

#include <QMainWindow>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QLabel;
class QProgressBar;
class QSocketNotifier;
class QTimer;
class QToolButton;
class TComLed;
class TComPort;
class TComReconnect;
class TComTerminal;
class TFileSender;

// What the command line chose for this run; none of it is saved.
struct TTermOptions {
    std::string Port;            // COMn, a device path or a network port; empty: the saved port
    TLineOptions Line;           // rate, framing, flow and echo for this run
    std::string SettingsFile;    // the ini file; empty: the user's config directory
    std::string LogFile;         // a session log from the start; empty: none
    std::optional<bool> LogText; // the log's form for this run; none: the saved choice
    std::string DeviceDir;       // the device folder watched for a device coming back; empty: the default
};

// The ini file under the user's config directory ($XDG_CONFIG_HOME/tolvane/term.ini).
std::string DefaultTermSettingsFile();

class TTermWindow : public QMainWindow, public TComponent {
    Q_OBJECT
  public:
    explicit TTermWindow(const TTermOptions& Options);
    ~TTermWindow() override;
    std::string ClassName() const override { return "TTermWindow"; }

    TComPort& Port() { return *FPort; }
    TComTerminal& Terminal() { return *FTerminal; }
    // The LEDs in status-strip order: CTS, DSR, RLSD, Ring, Rx, Tx.
    TComLed* Led(int Index) const { return FLeds.at(static_cast<std::size_t>(Index)); }
    QString StatusText() const;

    // Opens or closes the port; errors are shown and leave the port closed.
    void Connect();
    void Disconnect();
    void SaveSettings();

    // Reopening the port when its device comes back; kept in the settings.
    bool AutoReconnect() const;
    void SetAutoReconnect(bool Value);
    // The follower of the port's device (null when the device folder cannot be watched).
    TComReconnect* Reconnect() const { return FReconnect.get(); }

    // The session log: every received byte appended to FileName, raw or as text lines with times.
    // Errors are shown and leave no log running.
    void StartLog(const std::string& FileName, TLogFormat Format);
    void StopLog();
    const TSessionLog& Log() const { return FLog; }
    bool LogFlushPending() const; // the flush timer runs (only while bytes wait)

    // Sends a file to the port with a progress bar in the status strip; errors are shown.
    void SendFile(const std::string& FileName);
    void CancelSend();
    bool Sending() const;
    // Sends or receives by XMODEM, YMODEM or ZMODEM (the lrzsz programs); Path as TTransfer takes
    // it. Progress and cancel as for a plain send; errors are shown.
    void StartTransfer(TTransferProtocol Protocol, TTransferDirection Direction, const std::string& Path);
    int SendProgress() const; // per mille of the file the port took

    // Pasted text goes to the port as typed, from the sender's thread (paced by flow control);
    // a long or multi-line paste asks first unless the user said not to.
    void Paste(const std::string& Text);
    bool ConfirmPaste() const { return FConfirmPaste; }
    void SetConfirmPaste(bool Value);
    // The find bar (Ctrl+Shift+F): matches highlighted, Enter and Shift+Enter go to the next and the
    // previous one.
    void ShowFindBar();
    bool FindNext(const QString& Text, bool Backward);

  protected:
    void closeEvent(QCloseEvent* Event) override;

  private:
    void LoadSettings();
    void ShowState();
    void SetNote(const QString& Note);
    void StartReconnect(const std::string& DeviceDir);
    void ServeReconnect();
    void ReconnectState(int State, const std::string& Text);
    void Received(const std::string& Bytes);
    void FlushLog();
    void LogFailed(const std::exception& Error);
    void TypedWhileDisconnected();
    void ChooseLog();
    void ChooseSendFile();
    void SendDone(int Result, int64_t Sent, const std::string& Text);
    void UpdateActions();
    void DarkenLeds();
    void PortSettings();
    void TerminalSettings();
    void ChooseFont();
    void SendBreak();
    void SetLine(bool Dtr, bool On);
    void BaudChosen();
    void ShowBaud();
    void LineMapsChosen();
    void ShowLineMaps();
    void ChooseTransfer(TTransferProtocol Protocol, TTransferDirection Direction);
    void EndTransfer();
    void FinishTransfer();
    void TransferDone(bool Ok, const std::string& Text);
    void BuildEditMenu();
    void MakeSender();
    void StartPaste(const std::string& Bytes);
    void BuildFindBar();

    std::string FSettingsFile;
    bool FPortFromCommandLine = false;
    // The saved values the command line replaced for this run (written back on save).
    std::optional<TTermEmulation> FSavedEmulation;
    std::optional<bool> FSavedLocalEcho;
    TComPort* FPort;
    TComTerminal* FTerminal;
    std::vector<TComLed*> FLeds;
    QLabel* FState;
    QLabel* FLogLabel;
    QProgressBar* FSendBar;
    QToolButton* FSendCancel;
    QAction* FConnectAction;
    QAction* FDisconnectAction;
    QAction* FPortSettingsAction;
    QAction* FAutoReconnectAction;
    QAction* FSendAction;
    QAction* FCancelSendAction;
    QAction* FStartLogAction;
    QAction* FStopLogAction;
    QAction* FLogTextAction;
    QAction* FDtrAction = nullptr;
    QAction* FAltEscAction = nullptr;
    QAction* FUtf8Action = nullptr;
    QAction* FFitAction = nullptr;
    QAction* FTimestampsAction = nullptr;
    QAction* FConfirmPasteAction = nullptr;
    class QToolBar* FFindBar = nullptr;
    class QLineEdit* FFindEdit = nullptr;
    class QCheckBox* FFindCase = nullptr;
    bool FConfirmPaste = true;
    bool FPasting = false;   // the running send is a paste
    std::string FPasteQueue; // pastes made while it runs, to follow it
    QAction* FRtsAction = nullptr;
    QAction* FLfReturnsAction = nullptr;
    QAction* FDropCrAction = nullptr;
    std::vector<QAction*> FEnterActions, FBackspaceActions;
    class QComboBox* FBaudBox = nullptr;
    QString FNote;          // what the status strip adds after the state
    std::string FStateText; // the follower's last word ("disconnected: device removed", "reconnected" ...)
    bool FTypingNoted = false;
    bool FAutoReconnect = true;
    int FScrollbackRows = 10000;       // kept in the settings
    bool FLogTextSaved = false;        // the log form kept in the settings (the command line may differ)
    std::atomic<bool> FLogging{false}; // read by the port's event thread
    bool FSending = false;             // a send started and its end not shown yet
    // Takes received bytes for the log and hears that the device went away when nothing follows
    // it; the callbacks come on the port's event thread.
    std::unique_ptr<TComLink> FLink;
    TThreadHandoff FHandoff;
    std::unique_ptr<TComReconnect> FReconnect;
    QSocketNotifier* FDeviceNotifier = nullptr;
    QTimer* FRetryTimer;
    TSessionLog FLog;
    QTimer* FLogTimer;
    std::unique_ptr<TFileSender> FSender;
    std::unique_ptr<TTransfer> FTransfer;
    QString FTransferName;
    std::vector<QAction*> FTransferActions;
    std::string FSendFile;
};
