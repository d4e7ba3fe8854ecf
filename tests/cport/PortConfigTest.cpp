#include "PortTestSupport.h"

#include <gtest/gtest.h>

namespace {

// The fields of a device control block after the flag word, in declaration order.
std::vector<int> DcbTail(const DCB& d) {
    return {d.XonLim,  d.XoffLim,  d.ByteSize,  d.Parity,  d.StopBits,
            d.XonChar, d.XoffChar, d.ErrorChar, d.EofChar, d.EvtChar};
}

// Read interval, read multiplier, read constant, write multiplier, write constant.
std::vector<DWORD> TimeoutsOf(const TVirtualDevice& dev) {
    const COMMTIMEOUTS t = dev.LastTimeouts();
    return {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
            t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
}

// Opening applies every group once; the construction values hold the lines off.
TEST(PortConfig, OpenAppliesTheConstructionValuesOnce) {
    TVirtualPort vp;
    vp.OpenQuiet();
    EXPECT_EQ(CountsOf(*vp.Dev), (TApplyCounts{1, 1, 1}));
    EXPECT_FALSE(vp.Dev->DTR());
    EXPECT_FALSE(vp.Dev->RTS());
    EXPECT_EQ(vp.Dev->InQueueSize(), 1024u);
    EXPECT_EQ(vp.Dev->OutQueueSize(), 1024u);
    DCB d = vp.Dev->LastDCB();
    EXPECT_EQ(d.DCBlength, sizeof(DCB));
    EXPECT_EQ(d.BaudRate, 9600u);
    EXPECT_EQ(DcbFlags(d), 0x0001u); // binary only: no parity check, no flow control, DTR/RTS off
    // XonLim, XoffLim, ByteSize, Parity, StopBits, XonChar, XoffChar, ErrorChar, EofChar, EvtChar
    EXPECT_EQ(DcbTail(d), (std::vector<int>{256, 256, 8, NOPARITY, ONESTOPBIT, 17, 19, 0, 0, 0}));
}

TEST(PortConfig, DeviceControlBlockOfEverySettingTurnedOn) {
    TVirtualPort vp;
    TComPort& p = *vp.Port;
    p.SetEvents({});
    p.SetBaudRate(br57600);
    p.SetDataBits(dbSeven);
    p.SetStopBits(sbTwoStopBits);
    p.SetDiscardNull(true);
    p.SetEventChar('\n');
    p.Parity().SetBits(prEven);
    p.Parity().SetCheck(true);
    p.Parity().SetReplace(true);
    p.Parity().SetReplaceChar('?');
    TComFlowControl& f = p.FlowControl();
    f.SetOutCTSFlow(true);
    f.SetOutDSRFlow(true);
    f.SetControlDTR(dtrHandshake);
    f.SetControlRTS(rtsHandshake);
    f.SetDSRSensitivity(true);
    f.SetTxContinueOnXoff(true);
    f.SetXonXoffOut(true);
    f.SetXonXoffIn(true);
    f.SetXonChar('a');
    f.SetXoffChar('b');
    p.Buffer().SetInputSize(4096);
    p.Open();
    DCB d = vp.Dev->LastDCB();
    EXPECT_EQ(d.BaudRate, 57600u);
    // binary, parity, CTS, DSR, DTR handshake, DSR sensitivity, TX continue, out X, in X,
    // error char, null, RTS handshake.
    EXPECT_EQ(DcbFlags(d), 0x0001u | 0x0002u | 0x0004u | 0x0008u | 0x0020u | 0x0040u | 0x0080u | 0x0100u |
                               0x0200u | 0x0400u | 0x0800u | 0x2000u);
    EXPECT_EQ(d.fAbortOnError, 0u);
    EXPECT_EQ(DcbTail(d), (std::vector<int>{1024, 1024, 7, EVENPARITY, TWOSTOPBITS, 'a', 'b', '?', 0, '\n'}));
}

TEST(PortConfig, ReplaceWithoutCheckSetsNoErrorCharacter) {
    TVirtualPort vp;
    vp.Port->SetEvents({});
    vp.Port->Parity().SetReplace(true);
    vp.Port->Parity().SetReplaceChar('?');
    vp.Port->Open();
    DCB d = vp.Dev->LastDCB();
    EXPECT_EQ(d.fParity, 0u);
    EXPECT_EQ(d.fErrorChar, 0u);
    EXPECT_EQ(d.ErrorChar, 0);
    // Check alone: parity checked, still no replacement.
    vp.Port->Parity().SetReplace(false);
    vp.Port->Parity().SetCheck(true);
    d = vp.Dev->LastDCB();
    EXPECT_EQ(d.fParity, 1u);
    EXPECT_EQ(d.fErrorChar, 0u);
    EXPECT_EQ(d.ErrorChar, 0);
}

TEST(PortConfig, FlowLimitsFollowTheInputSize) {
    TVirtualPort vp;
    vp.OpenQuiet();
    vp.Port->Buffer().SetInputSize(4096);
    vp.Port->FlowControl().SetFlowControl(fcCustom); // input size alone applies the queues, not the DCB
    EXPECT_EQ(vp.Dev->LastDCB().XonLim, 1024);
    EXPECT_EQ(vp.Dev->LastDCB().XoffLim, 1024);
    vp.Port->Buffer().SetInputSize(2);
    vp.Port->FlowControl().SetFlowControl(fcCustom);
    EXPECT_EQ(vp.Dev->LastDCB().XonLim, 0);
    vp.Port->Buffer().SetInputSize(1030);
    vp.Port->FlowControl().SetFlowControl(fcCustom);
    EXPECT_EQ(vp.Dev->LastDCB().XonLim, 257); // 1030 / 4, truncated
}

TEST(PortConfig, TimeoutsGoOutAsTheirThirtyTwoBitPatterns) {
    TVirtualPort vp;
    vp.OpenQuiet();
    EXPECT_EQ(TimeoutsOf(*vp.Dev), (std::vector<DWORD>{0xFFFFFFFFu, 0, 0, 100, 1000}));

    TComTimeouts other;
    other.SetReadInterval(10);
    other.SetReadTotalM(20);
    other.SetReadTotalC(30);
    other.SetWriteTotalM(40);
    other.SetWriteTotalC(50);
    int before = vp.Dev->SetCommTimeoutsCount();
    vp.Port->SetTimeouts(other);
    EXPECT_EQ(vp.Dev->SetCommTimeoutsCount(), before + 1);
    EXPECT_EQ(TimeoutsOf(*vp.Dev), (std::vector<DWORD>{10, 20, 30, 40, 50}));
}

TEST(PortConfig, PortSettersApplyOnlyOnChangeButWholeObjectsAlways) {
    TVirtualPort vp;
    vp.OpenQuiet();
    TApplyCounts base = CountsOf(*vp.Dev);
    vp.Port->SetBaudRate(br9600);
    vp.Port->SetDataBits(dbEight);
    vp.Port->SetStopBits(sbOneStopBit);
    vp.Port->SetDiscardNull(false);
    vp.Port->SetEventChar(0);
    vp.Port->SetCustomBaudRate(9600);
    EXPECT_EQ(CountsOf(*vp.Dev), base);

    vp.Port->SetBaudRate(br19200);
    EXPECT_EQ(vp.Dev->SetCommStateCount(), base.State + 1);
    EXPECT_EQ(vp.Dev->LastDCB().BaudRate, 19200u);

    // An equal object still applies its group, once.
    vp.Port->SetParity(TComParity());
    EXPECT_EQ(vp.Dev->SetCommStateCount(), base.State + 2);
    vp.Port->SetFlowControl(TComFlowControl());
    EXPECT_EQ(vp.Dev->SetCommStateCount(), base.State + 3);
    vp.Port->SetBuffer(TComBuffer());
    vp.Port->SetTimeouts(TComTimeouts());
    EXPECT_EQ(CountsOf(*vp.Dev), (TApplyCounts{base.Buffer + 1, base.State + 3, base.Timeouts + 1}));
    // Assigning the port's own object is harmless.
    vp.Port->SetParity(vp.Port->Parity());
    EXPECT_EQ(vp.Port->Parity().ComPort(), vp.Port.get());
}

TEST(PortConfig, UpdateBatchAppliesEveryGroupOnceAtTheOutermostEnd) {
    TVirtualPort vp;
    vp.OpenQuiet();
    TApplyCounts base = CountsOf(*vp.Dev);
    vp.Port->BeginUpdate();
    vp.Port->BeginUpdate();
    vp.Port->SetBaudRate(br115200);
    vp.Port->Parity().SetBits(prOdd);
    vp.Port->EndUpdate();
    EXPECT_EQ(CountsOf(*vp.Dev), base);
    EXPECT_EQ(vp.Port->UpdateCount(), 1);
    vp.Port->EndUpdate();
    EXPECT_EQ(CountsOf(*vp.Dev), (TApplyCounts{base.Buffer + 1, base.State + 1, base.Timeouts + 1}));
    EXPECT_EQ(vp.Dev->LastDCB().BaudRate, 115200u);
    EXPECT_EQ(vp.Dev->LastDCB().Parity, ODDPARITY);
    vp.Port->EndUpdate(); // unmatched: nothing
    EXPECT_EQ(vp.Port->UpdateCount(), 0);
    EXPECT_EQ(CountsOf(*vp.Dev), (TApplyCounts{base.Buffer + 1, base.State + 1, base.Timeouts + 1}));
}

TEST(PortConfig, OpenInsideABatchAppliesAtTheEnd) {
    TVirtualPort vp;
    vp.Port->SetEvents({});
    vp.Port->BeginUpdate();
    vp.Port->Open();
    EXPECT_TRUE(vp.Port->Connected());
    EXPECT_EQ(CountsOf(*vp.Dev), (TApplyCounts{0, 0, 0}));
    vp.Port->SetStopBits(sbTwoStopBits);
    vp.Port->EndUpdate();
    EXPECT_EQ(CountsOf(*vp.Dev), (TApplyCounts{1, 1, 1}));
    EXPECT_EQ(vp.Dev->LastDCB().StopBits, TWOSTOPBITS);
}

TEST(PortConfig, RefusedGroupAtTheEndOfABatchReachesTheCaller) {
    TVirtualPort vp;
    vp.OpenQuiet();
    vp.Port->BeginUpdate();
    vp.Port->Timeouts().SetReadTotalC(5);
    vp.Dev->FailNext(TVirtualDevice::foSetCommTimeouts, ERROR_GEN_FAILURE);
    ExpectComError([&] { vp.Port->EndUpdate(); }, ErrSetCommTimeouts, 31);
    EXPECT_EQ(vp.Port->UpdateCount(), 0);
    EXPECT_TRUE(vp.Port->Connected());
    EXPECT_EQ(vp.Port->Timeouts().ReadTotalConstant(), 5);
}

} // namespace
