#pragma once

// tolvane-term's window: one port, the terminal on it, LEDs for its lines and its traffic, the
// port and terminal settings dialogs, and the settings kept in an ini file between runs.
// GUI thread only.

#include "cport/ComLink.h"
#include "platform/toolkit/Component.h"
#include "platform/toolkit/Handoff.h"

#include <QMainWindow>

#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QLabel;
class TComLed;
class TComPort;
class TComTerminal;

// What the command line chose for this run; none of it is saved.
struct TTermOptions {
    std::string Port; // COMn or a device path; empty: the saved port
    std::optional<int> Baud;
    std::string SettingsFile; // the ini file; empty: the user's config directory
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

  protected:
    void closeEvent(QCloseEvent* Event) override;

  private:
    void LoadSettings();
    void ShowState(const QString& Note = {});
    void PortSettings();
    void TerminalSettings();
    void ChooseFont();

    std::string FSettingsFile;
    bool FPortFromCommandLine = false;
    TComPort* FPort;
    TComTerminal* FTerminal;
    std::vector<TComLed*> FLeds;
    QLabel* FState;
    QAction* FConnectAction;
    QAction* FDisconnectAction;
    // Hears that the device went away; the notice comes on the port's event thread.
    std::unique_ptr<TComLink> FLink;
    TThreadHandoff FHandoff;
};
