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

#include "platform/toolkit/ShowException.h"
#include "platform/toolkit/qt/ToolkitQt.h"
#include "tolvane/Version.h"
#include "tools/term/TermWindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    // Answered before the window system is reached, so it works without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-v") == 0) {
            std::printf("tolvane-term %s\n", TOLVANE_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName("tolvane-term");
    QCoreApplication::setApplicationVersion(TOLVANE_VERSION);
    TToolkitQtHooks hooks;

    QCommandLineParser parser;
    parser.setApplicationDescription("A serial terminal.");
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
    for (const QCommandLineOption& o : {port, baud, settings, log, logText, shot, wait})
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
        options.Baud = rate;
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
        QApplication::exec();
    } catch (const std::exception& e) {
        ShowException(e);
        result = 3;
    }
    return result;
}
