#pragma once

#include "platform/toolkit/Object.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The escape codes shared by the parsers and the terminal; ordinals are fixed.
enum TEscapeCode : uint8_t {
    ecUnknown,
    ecNotCompleted, // the sequence is still open; never delivered as a result
    ecCursorUp,
    ecCursorDown,
    ecCursorLeft,
    ecCursorRight,
    ecCursorHome,
    ecCursorMove,
    ecReverseLineFeed,
    ecAppCursorLeft,
    ecAppCursorRight,
    ecAppCursorUp,
    ecAppCursorDown,
    ecEraseLineFrom,
    ecEraseScreenFrom,
    ecEraseLine,
    ecEraseScreen,
    ecSetTab,
    ecClearTab,
    ecClearAllTabs,
    ecIdentify,
    ecIdentResponse,
    ecQueryDevice,
    ecReportDeviceOK,
    ecReportDeviceFailure,
    ecQueryCursorPos,
    ecReportCursorPos,
    ecAttributes,
    ecSetMode,
    ecResetMode,
    ecReset,
    ecSaveCaretAndAttr,
    ecRestoreCaretAndAttr,
    ecSaveCaret,
    ecRestoreCaret,
    ecTest
};
constexpr int EscapeCodeCount = ecTest + 1;

// What feeding one character gave: plain text, a just completed sequence, or a character taken
// into a sequence that is still open (the opening ESC included).
enum TEscapeResult : uint8_t { erChar, erCode, erNothing };

// The parameters of a code, as strings; a missing list is passed as nullptr.
using TEscapeParams = std::vector<std::string>;

// A parser of one dialect: classifies the received stream byte by byte into text and complete
// sequences, and renders codes as the bytes the terminal sends. It knows nothing of the screen.
// Used by one terminal on the thread that owns the terminal's window.
class TEscapeCodes : public TObject {
  public:
    // The longest text after the ESC that an open control sequence may collect. A noisy line
    // must not grow a parser without end: at this length a sequence without a final letter
    // completes as ecUnknown and the next byte starts afresh.
    static constexpr std::size_t MaxDataLength = 257;

    std::string ClassName() const override { return "TEscapeCodes"; }

    // Feeds one received byte. After erChar, ReceivedChar is Ch; after erCode, Code, Parameters
    // and Data describe the completed sequence.
    virtual TEscapeResult ProcessChar(char Ch) = 0;
    // The bytes (ESC included) this dialect sends for Code with values from Params; empty for a
    // code the dialect does not send.
    virtual std::string EscCodeToStr(TEscapeCode Code, const TEscapeParams* Params = nullptr) const = 0;

    // The integer value of the Num-th parameter (from 1): decimal with an optional sign. A
    // missing list or parameter, or one that is not an integer within 32 bits, gives 1.
    static int GetParam(int Num, const TEscapeParams* Params);

    char ReceivedChar() const { return FReceivedChar; }
    TEscapeCode Code() const { return FCode; }
    // The text after the ESC of the current or latest sequence.
    const std::string& Data() const { return FData; }
    // The parameters of the latest code. The caller empties the list once it has handled a code.
    TEscapeParams& Parameters() { return FParameters; }
    const TEscapeParams& Parameters() const { return FParameters; }

  protected:
    // The step both dialects share while no sequence is open: an ESC opens one, anything else
    // is text.
    TEscapeResult ProcessIdle(char Ch, bool& InEscape);
    // Ends the open sequence with Code unless it is still open.
    TEscapeResult Complete(TEscapeCode Code, bool& InEscape);

    char FReceivedChar = 0;
    TEscapeCode FCode = ecUnknown;
    std::string FData;
    TEscapeParams FParameters;
};

// The VT52 dialect: one character after the ESC, except ESC "Y" line column and ESC "/" x.
class TEscapeCodesVT52 : public TEscapeCodes {
  public:
    std::string ClassName() const override { return "TEscapeCodesVT52"; }
    TEscapeResult ProcessChar(char Ch) override;
    std::string EscCodeToStr(TEscapeCode Code, const TEscapeParams* Params = nullptr) const override;
    bool InEscape() const { return FInEscape; }

  protected:
    // Decides the code of Data; a cursor move adds its line and column to Parameters.
    TEscapeCode DetectCode(const std::string& Str);

  private:
    bool FInEscape = false;
};

// The VT100/ANSI dialect: short sequences of at most two characters after the ESC, and control
// sequences ESC "[" parameters final-letter.
class TEscapeCodesVT100 : public TEscapeCodes {
  public:
    std::string ClassName() const override { return "TEscapeCodesVT100"; }
    TEscapeResult ProcessChar(char Ch) override;
    std::string EscCodeToStr(TEscapeCode Code, const TEscapeParams* Params = nullptr) const override;
    bool InEscape() const { return FInEscape; }
    bool InControlSequence() const { return FInControlSequence; }

  protected:
    // Decides a sequence that does not begin with '['.
    TEscapeCode DetectCode(const std::string& Str) const;
    // Decides a control sequence (Str begins with '['); replaces Parameters once a final letter
    // has arrived.
    TEscapeCode DetectExtCode(const std::string& Str);
    // Cuts a control sequence's body at ';'. A ';' that would start a token is kept in it, so
    // ";5" is the one parameter ";5" and "1;;2" gives "1" and ";2".
    static TEscapeParams SplitParameters(const std::string& Body);

  private:
    bool FInEscape = false;
    bool FInControlSequence = false;
};

// The name of a code as written in the source ("ecCursorUp"); "" for a value outside the list.
std::string EscapeCodeName(TEscapeCode Code);
