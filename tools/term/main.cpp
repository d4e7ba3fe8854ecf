// tolvane-term: a serial terminal made of the component set's port, terminal and LEDs.
//   tolvane-term                         the saved port and settings ($XDG_CONFIG_HOME/tolvane/term.ini)
//   tolvane-term -p COM3 -b 115200       that port and rate for this run (connects at start, VT100,
//                                        no local echo; not saved)
//   tolvane-term -p /dev/ttyUSB0         a device path works as well
//   tolvane-term -p COM3 --log boot.log [--log-text]
//                                        a session log from the start: raw bytes, or text lines
//                                        with the time at the start of each
//   tolvane-term --screenshot FILE [--wait S]
//                                        writes the window's picture after S seconds and ends
//   tolvane-term --console -p PORT [-b RATE …]
//                                        in the terminal it was started from, no display needed

#include "platform/toolkit/ShowException.h"
#include "platform/toolkit/qt/ToolkitQt.h"
#include "tolvane/Version.h"
#include "cport/ComPort.h"
#include "platform/profile/IniFiles.h"
#include "tools/term/TermWindow.h"
#include "tools/term/core/Console.h"
#include "tools/term/core/TermSettings.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

TConsole* gConsole = nullptr;

void EndConsole(int Signal) {
    if (gConsole) gConsole->Stop(128 + Signal);
}

// Console mode: the port set up as the window would (saved settings, then the command line).
int RunConsole(const TTermOptions& Options) {
    TComPort Port(nullptr);
    Port.SetName("ComPort1");
    Port.SetSyncMethod(smNone);
    Port.SetStoredProps(TStoredProps{spBasic, spFlowControl, spParity});
    const std::string File = Options.SettingsFile.empty() ? DefaultTermSettingsFile() : Options.SettingsFile;
    TConsoleOptions C;
    TIniFile Ini(File);
    if (QFileInfo::exists(QString::fromStdString(File))) {
        try {
            Port.LoadSettings(stIniFile, File);
        } catch (const std::exception& E) {
            std::fprintf(stderr, "tolvane-term: %s\n", E.what());
        }
        C.LocalEcho = Ini.ReadBool("Terminal", "LocalEcho", false);
        C.Maps = ReadLineMaps(Ini, "Terminal");
        C.LogFormat = Ini.ReadBool("Terminal", "LogText", false) ? lfText : lfRaw;
    }
    if (!Options.Port.empty()) Port.SetPort(NameForDevice(Options.Port));
    ApplyLineOptions(Port, Options.Line);
    if (Options.Line.Echo) C.LocalEcho = *Options.Line.Echo;
    if (Options.LogText) C.LogFormat = *Options.LogText ? lfText : lfRaw;
    C.LogFile = Options.LogFile;
    C.DeviceDir = Options.DeviceDir;
    TConsole Console(Port, C);
    gConsole = &Console;
    for (int Sig : {SIGTERM, SIGHUP, SIGINT, SIGQUIT})
        std::signal(Sig, EndConsole);
    const int Code = Console.Run();
    gConsole = nullptr;
    return Code;
}

// The options that take a line setting's name, each with what it parses into.
bool LineOption(const QCommandLineParser& P, const QCommandLineOption& O, const char* Name, TLineOptions& L) {
    if (!P.isSet(O)) return true;
    const std::string V = P.value(O).toStdString();
    bool Ok = false;
    if (std::strcmp(Name, "databits") == 0) {
        TDataBits D;
        if ((Ok = ParseDataBits(V, D))) L.DataBits = D;
    } else if (std::strcmp(Name, "parity") == 0) {
        TParityBits B;
        if ((Ok = ParseParity(V, B))) L.Parity = B;
    } else if (std::strcmp(Name, "stopbits") == 0) {
        TStopBits B;
        if ((Ok = ParseStopBits(V, B))) L.StopBits = B;
    } else if (std::strcmp(Name, "flow") == 0) {
        TFlowControl F;
        if ((Ok = ParseFlow(V, F))) L.Flow = F;
    } else {
        bool E;
        if ((Ok = ParseOnOff(V, E))) L.Echo = E;
    }
    if (!Ok) std::fprintf(stderr, "tolvane-term: --%s does not take \"%s\"\n", Name, V.c_str());
    return Ok;
}

} // namespace

int main(int argc, char** argv) {
    // Answered before the window system is reached, so it works without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-v") == 0) {
            std::printf("tolvane-term %s\n", TOLVANE_VERSION);
            return 0;
        }
    }
    // Console mode and the help need no display.
    bool NoDisplay = false;
    for (int i = 1; i < argc; ++i)
        for (const char* A : {"--console", "--help", "-h", "--help-all"})
            if (std::strcmp(argv[i], A) == 0) NoDisplay = true;
    std::unique_ptr<QCoreApplication> App =
        NoDisplay ? std::make_unique<QCoreApplication>(argc, argv) : std::make_unique<QApplication>(argc, argv);
    QCoreApplication& app = *App;
    QCoreApplication::setApplicationName("tolvane-term");
    QCoreApplication::setApplicationVersion(TOLVANE_VERSION);
    TToolkitQtHooks hooks;

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "A serial terminal.\n\nExit codes: 0 closed or quit, 1 usage, 2 the picture could not be written, 3 port "
        "error (console: the port could not be opened), 128+N ended by signal N (console).");
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption port({"p", "port"}, "COM1..COM16 (through the device map) or a device path.", "PORT");
    QCommandLineOption baud({"b", "baud"}, "Bit rate for this run.", "RATE");
    QCommandLineOption settings("settings", "The settings file (default: the user's config directory).",
                                "FILE");
    QCommandLineOption log("log", "Append every received byte to FILE.", "FILE");
    QCommandLineOption logText("log-text", "Log text lines with the time at the start of each.");
    QCommandLineOption shot("screenshot", "Write the window's picture to FILE and end.", "FILE");
    QCommandLineOption wait("wait", "Seconds before the picture is taken.", "S", "1");
    QCommandLineOption console("console",
                               "Run in this terminal, no window: raw pass-through, Ctrl+T h lists the commands.");
    QCommandLineOption dataBits("databits", "Data bits for this run: 5, 6, 7 or 8.", "N");
    QCommandLineOption parity("parity", "Parity for this run: none, odd, even, mark or space.", "P");
    QCommandLineOption stopBits("stopbits", "Stop bits for this run: 1, 1.5 or 2.", "N");
    QCommandLineOption flow("flow", "Flow control for this run: none, rtscts or xonxoff.", "F");
    QCommandLineOption echo("echo", "Local echo for this run: on or off.", "on|off");
    for (const QCommandLineOption& o :
         {port, baud, settings, log, logText, shot, wait, console, dataBits, parity, stopBits, flow, echo})
        parser.addOption(o);
    parser.process(app);

    TTermOptions options;
    options.Port = parser.value(port).toStdString();
    options.SettingsFile = parser.value(settings).toStdString();
    options.LogFile = parser.value(log).toStdString();
    if (parser.isSet(logText)) {
        if (!parser.isSet(log)) {
            std::fprintf(stderr, "tolvane-term: --log-text goes with --log FILE\n");
            return 1;
        }
        options.LogText = true;
    }
    if (parser.isSet(baud)) {
        bool ok = false;
        const int rate = parser.value(baud).toInt(&ok);
        if (!ok || rate < 50 || rate > 4000000) {
            std::fprintf(stderr, "tolvane-term: --baud takes a bit rate from 50 to 4000000\n");
            return 1;
        }
        options.Line.Baud = rate;
    }
    const std::pair<const QCommandLineOption*, const char*> lineOptions[] = {
        {&dataBits, "databits"}, {&parity, "parity"}, {&stopBits, "stopbits"}, {&flow, "flow"}, {&echo, "echo"}};
    for (auto [o, name] : lineOptions)
        if (!LineOption(parser, *o, name, options.Line)) return 1;
    if (parser.isSet(console)) {
        if (parser.isSet(shot)) {
            std::fprintf(stderr, "tolvane-term: --screenshot needs the window, not --console\n");
            return 1;
        }
        return RunConsole(options);
    }
    bool ok = false;
    const double seconds = parser.value(wait).toDouble(&ok);
    if (!ok || seconds < 0 || seconds > 3600) {
        std::fprintf(stderr, "tolvane-term: --wait takes a number of seconds from 0 to 3600\n");
        return 1;
    }

    int result = 0;
    try {
        TTermWindow window(options);
        window.show();
        if (parser.isSet(shot)) {
            QTimer::singleShot(static_cast<int>(seconds * 1000), [&] {
                if (!window.grab().save(parser.value(shot), "PNG")) {
                    std::fprintf(stderr, "tolvane-term: cannot write %s\n", qPrintable(parser.value(shot)));
                    result = 2;
                }
                window.close();
            });
        }
        QCoreApplication::exec();
    } catch (const std::exception& e) {
        ShowException(e);
        result = 3;
    }
    return result;
}
