#include "cport/ComTypes.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// Every member's text reads back as the member, whatever the ASCII case.
template <typename Enum, typename ToStr, typename FromStr>
void ExpectRoundTrips(int count, ToStr toStr, FromStr fromStr) {
    for (int i = 0; i < count; ++i) {
        Enum e = static_cast<Enum>(i);
        std::string text = toStr(e);
        ASSERT_FALSE(text.empty()) << "ordinal " << i;
        EXPECT_EQ(fromStr(text), e) << text;
        EXPECT_EQ(fromStr(Lower(text)), e) << text;
        EXPECT_EQ(fromStr(Upper(text)), e) << text;
    }
}

TEST(TypesConversion, EveryMemberRoundTripsIgnoringCase) {
    ExpectRoundTrips<TBaudRate>(16, BaudRateToStr, StrToBaudRate);
    ExpectRoundTrips<TStopBits>(3, StopBitsToStr, StrToStopBits);
    ExpectRoundTrips<TDataBits>(4, DataBitsToStr, StrToDataBits);
    ExpectRoundTrips<TParityBits>(5, ParityToStr, StrToParity);
    ExpectRoundTrips<TFlowControl>(4, FlowControlToStr, StrToFlowControl);
    ExpectRoundTrips<TDTRFlowControl>(3, DTRControlToStr, StrToDTRControl);
    ExpectRoundTrips<TRTSFlowControl>(4, RTSControlToStr, StrToRTSControl);
}

TEST(TypesConversion, StoredTextsAndOrdinals) {
    EXPECT_EQ(BaudRateToStr(brCustom), "Custom");
    EXPECT_EQ(BaudRateToStr(br9600), "9600");
    EXPECT_EQ(static_cast<int>(br9600), 7);
    EXPECT_EQ(BaudRateValue(br56000), 56000u);
    EXPECT_EQ(StopBitsToStr(sbOne5StopBits), "1.5");
    EXPECT_EQ(FlowControlToStr(fcNone), "None");
    EXPECT_EQ(RTSControlToStr(rtsToggle), "Toggle");
}

TEST(TypesConversion, UnrecognisedTextGivesEachFallback) {
    EXPECT_EQ(StrToBaudRate("custom"), brCustom);
    EXPECT_EQ(StrToBaudRate("9600 "), br9600);
    EXPECT_EQ(StrToBaudRate("4800 "), br9600); // no trimming: falls back, not 4800
    EXPECT_EQ(StrToBaudRate("12345"), br9600);
    EXPECT_EQ(StrToBaudRate(""), br9600);
    EXPECT_EQ(StrToStopBits("1.5"), sbOne5StopBits);
    EXPECT_EQ(StrToStopBits("2 "), sbOneStopBit);
    EXPECT_EQ(StrToDataBits("9"), dbEight);
    EXPECT_EQ(StrToDataBits("5"), dbFive);
    EXPECT_EQ(StrToParity("none"), prNone);
    EXPECT_EQ(StrToParity("Od"), prNone);
    EXPECT_EQ(StrToFlowControl("none"), fcNone);
    EXPECT_EQ(StrToFlowControl("whatever"), fcCustom);
    EXPECT_EQ(StrToFlowControl("Hardwar"), fcCustom);
    EXPECT_EQ(StrToDTRControl("HANDSHAKE"), dtrHandshake);
    EXPECT_EQ(StrToDTRControl("Toggle"), dtrDisable);
    EXPECT_EQ(StrToRTSControl("toggle"), rtsToggle);
    EXPECT_EQ(StrToRTSControl(" Enable"), rtsDisable);
}

TEST(TypesConversion, YesNo) {
    EXPECT_EQ(BoolToYesNo(true), "Yes");
    EXPECT_EQ(BoolToYesNo(false), "No");
    EXPECT_TRUE(YesNoToBool("Yes"));
    EXPECT_TRUE(YesNoToBool("yes"));
    EXPECT_TRUE(YesNoToBool("yEs"));
    for (const char* no : {"No", "TRUE", "1", "", "Yes ", "Y", "yess"})
        EXPECT_FALSE(YesNoToBool(no)) << '"' << no << '"';
}

TEST(TypesConversion, CharToStrWritesPrintablesPlainAndTheRestAsCodes) {
    const std::pair<int, std::string> table[] = {{0, "#0"},     {13, "#13"},   {17, "#17"},  {32, "#32"},
                                                 {33, "!"},     {'A', "A"},    {'#', "#"},   {127, "\x7f"},
                                                 {128, "#128"}, {200, "#200"}, {255, "#255"}};
    for (const auto& [code, text] : table)
        EXPECT_EQ(CharToStr(static_cast<char>(code)), text) << code;
}

TEST(TypesConversion, EveryCharacterRoundTrips) {
    for (int code = 0; code < 256; ++code) {
        char c = static_cast<char>(code);
        EXPECT_EQ(static_cast<unsigned char>(StrToChar(CharToStr(c))), code) << CharToStr(c);
    }
}

TEST(TypesConversion, StrToCharReadsMalformedTextWithoutFailing) {
    // "#321" keeps the low 8 bits; "#99999999999" is no 32-bit integer.
    const std::pair<std::string, char> table[] = {{"", 0},
                                                  {"AB", 'A'},
                                                  {"#", '#'},
                                                  {"#65", 'A'},
                                                  {"#321", 'A'},
                                                  {"#abc", 0},
                                                  {"#6a", 0},
                                                  {"# 65", 0},
                                                  {"#-1", static_cast<char>(255)},
                                                  {"#99999999999", 0},
                                                  {std::string("\0x", 2), 0}};
    for (const auto& [text, c] : table)
        EXPECT_EQ(StrToChar(text), c) << '"' << text << '"';
}

TEST(TypesConversion, NormalizePortName) {
    for (const auto& [in, out] :
         {std::pair{"com3", "COM3"}, {"Com3", "COM3"}, {"COM16", "COM16"}, {"16", "COM16"}, {"7", "COM7"}})
        EXPECT_EQ(NormalizePortName(in), out) << in;
    for (const char* bad : {"COM0", "COM17", "LPT1", "", "COMx", "COM", "COM 3", "COM3:", "COM-2", "co"})
        EXPECT_EQ(NormalizePortName(bad), "COM1") << '"' << bad << '"';
}

TEST(TypesError, MessagesWithAndWithoutPlatformCode) {
    EComPort alone(ErrEventThreadRunning);
    EXPECT_EQ(alone.Code(), 20);
    EXPECT_EQ(alone.WinCode(), -1);
    EXPECT_STREQ(alone.what(), "Cannot wait for event if event thread is created");

    EComPort withCode(ErrSetCommState, 87);
    EXPECT_EQ(withCode.Code(), 7);
    EXPECT_EQ(withCode.WinCode(), 87);
    EXPECT_EQ(withCode.Message(), "SetCommState function failed (win error code: 87)");

    EXPECT_EQ(EComPort(ErrOpenPort, -3).Message(), "Unable to open com port (win error code: -3)");
}

TEST(TypesError, TwentyOneDistinctMessagesAndNoneOutsideTheTable) {
    std::set<std::string> seen;
    for (int code = 1; code <= 21; ++code) {
        std::string m = EComPort::MessageOfCode(code);
        EXPECT_FALSE(m.empty()) << code;
        seen.insert(m);
    }
    EXPECT_EQ(seen.size(), 21u);
    EXPECT_EQ(EComPort::MessageOfCode(0), "");
    EXPECT_EQ(EComPort::MessageOfCode(22), "");
    // An EComPort is the system's Exception, so the application's handlers catch it.
    try {
        throw EComPort(ErrPurgeComm, 6);
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "PurgeComm function failed (win error code: 6)");
    }
}

TEST(TypesAsync, InitMakesASignalledManualResetEventAndDoneFreesIt) {
    PAsync p = nullptr;
    InitAsync(p);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->Overlapped.Internal, 0u);
    EXPECT_EQ(p->Overlapped.InternalHigh, 0u);
    ASSERT_NE(p->Overlapped.hEvent, nullptr);
    // Signalled, and stays so after a wait (manual reset).
    EXPECT_EQ(WaitForSingleObject(p->Overlapped.hEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(p->Overlapped.hEvent, 0), WAIT_OBJECT_0);
    HANDLE event = p->Overlapped.hEvent;
    DoneAsync(p);
    EXPECT_EQ(p, nullptr);
    // The event is closed with the record.
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    DoneAsync(p); // a null record is left alone
    EXPECT_EQ(p, nullptr);
}

} // namespace
