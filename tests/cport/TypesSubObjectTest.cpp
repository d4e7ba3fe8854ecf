#include "PortTestSupport.h"

#include "cport/ComTypes.h"

#include <gtest/gtest.h>

namespace {

std::vector<int> FieldsOf(const TComFlowControl& f) {
    return {f.OutCTSFlow(), f.OutDSRFlow(),     f.ControlDTR(),       f.ControlRTS(), f.XonXoffOut(),
            f.XonXoffIn(),  f.DSRSensitivity(), f.TxContinueOnXoff(), f.XonChar(),    f.XoffChar()};
}

std::vector<int> FieldsOf(const TComParity& p) {
    return {p.Bits(), p.Check(), p.Replace(), p.ReplaceChar()};
}

TEST(TypesSubObject, BufferSizesAreStoredEven) {
    TComBuffer b;
    b.SetInputSize(4097);
    EXPECT_EQ(b.InputSize(), 4096);
    b.SetInputSize(-3);
    EXPECT_EQ(b.InputSize(), -3);
    b.SetInputSize(1);
    EXPECT_EQ(b.InputSize(), 0);
    b.SetOutputSize(2049);
    EXPECT_EQ(b.OutputSize(), 2048);
    b.SetOutputSize(0);
    EXPECT_EQ(b.OutputSize(), 0);
}

TEST(TypesSubObject, FlowControlSummaryReadsFromFourFieldsOnly) {
    TComFlowControl f;
    f.SetControlDTR(dtrHandshake);
    f.SetOutDSRFlow(true);
    f.SetDSRSensitivity(true);
    f.SetTxContinueOnXoff(true);
    EXPECT_EQ(f.FlowControl(), fcNone);
    f.SetXonXoffIn(true);
    EXPECT_EQ(f.FlowControl(), fcCustom);
    f.SetXonXoffOut(true);
    EXPECT_EQ(f.FlowControl(), fcSoftware);
    f.SetOutCTSFlow(true);
    EXPECT_EQ(f.FlowControl(), fcCustom);
    f.SetXonXoffIn(false);
    f.SetXonXoffOut(false);
    EXPECT_EQ(f.FlowControl(), fcCustom); // CTS without RTS handshake
    f.SetControlRTS(rtsHandshake);
    EXPECT_EQ(f.FlowControl(), fcHardware);
    f.SetControlRTS(rtsEnable);
    EXPECT_EQ(f.FlowControl(), fcCustom);
}

TEST(TypesSubObject, FlowControlPresetKeepsTheOtherFields) {
    TComFlowControl f;
    f.SetControlDTR(dtrHandshake);
    f.SetOutDSRFlow(true);
    f.SetXonChar('a');
    f.SetFlowControl(fcHardware);
    EXPECT_EQ(f.ControlDTR(), dtrHandshake);
    EXPECT_TRUE(f.OutDSRFlow());
    EXPECT_EQ(f.XonChar(), 'a');
    EXPECT_EQ(f.ControlRTS(), rtsHandshake);
    EXPECT_TRUE(f.OutCTSFlow());
    EXPECT_EQ(f.FlowControl(), fcHardware);

    f.SetFlowControl(fcSoftware);
    EXPECT_EQ(f.ControlRTS(), rtsDisable);
    EXPECT_FALSE(f.OutCTSFlow());
    EXPECT_TRUE(f.XonXoffIn());
    EXPECT_TRUE(f.XonXoffOut());

    f.SetFlowControl(fcCustom); // changes nothing
    EXPECT_EQ(f.FlowControl(), fcSoftware);

    f.SetFlowControl(fcNone);
    EXPECT_FALSE(f.XonXoffIn());
    EXPECT_FALSE(f.XonXoffOut());
    EXPECT_EQ(f.FlowControl(), fcNone);
    EXPECT_EQ(f.ControlDTR(), dtrHandshake);
}

TEST(TypesSubObject, AssignCopiesEveryFieldButNotTheBackReference) {
    TVirtualPort vp;
    TComFlowControl src;
    src.SetOutCTSFlow(true);
    src.SetOutDSRFlow(true);
    src.SetControlDTR(dtrEnable);
    src.SetControlRTS(rtsToggle);
    src.SetXonXoffOut(true);
    src.SetXonXoffIn(true);
    src.SetDSRSensitivity(true);
    src.SetTxContinueOnXoff(true);
    src.SetXonChar('x');
    src.SetXoffChar('y');
    TComFlowControl& dst = vp.Port->FlowControl();
    dst.Assign(src);
    EXPECT_EQ(dst.ComPort(), vp.Port.get());
    // Every field of src is away from its default, so each one must have been copied.
    EXPECT_EQ(FieldsOf(dst), FieldsOf(src));

    TComParity p;
    p.SetBits(prMark);
    p.SetCheck(true);
    p.SetReplace(true);
    p.SetReplaceChar('?');
    vp.Port->Parity().Assign(p);
    EXPECT_EQ(FieldsOf(vp.Port->Parity()), FieldsOf(p));
    EXPECT_EQ(vp.Port->Parity().ComPort(), vp.Port.get());
}

TEST(TypesSubObject, AssignFromAnotherClassRaisesTheConversionError) {
    TComBuffer b;
    TComParity p;
    p.SetBits(prEven);
    EXPECT_THROW(b.Assign(p), EConvertError);
    EXPECT_THROW(p.Assign(b), EConvertError);
    EXPECT_EQ(p.Bits(), prEven);
    TComTimeouts t;
    TComFlowControl f;
    EXPECT_THROW(t.Assign(f), EConvertError);
    EXPECT_THROW(f.Assign(t), EConvertError);
    try {
        b.Assign(p);
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "Cannot assign a TComParity to a TComBuffer");
    }
}

// Each setter of an owned sub-object applies its group once when the value changes, never when
// it does not, and assignment alone applies nothing.
TEST(TypesSubObject, SettersOfAnOpenPortApplyExactlyOnceWhenChanged) {
    TVirtualPort vp;
    vp.Port->SetEvents({});
    vp.Port->Open();
    ASSERT_TRUE(vp.Port->Connected());
    TApplyCounts before = CountsOf(*vp.Dev);

    vp.Port->Parity().SetBits(prNone);
    vp.Port->Parity().SetCheck(false);
    vp.Port->FlowControl().SetXonChar(17);
    vp.Port->Timeouts().SetReadInterval(-1);
    vp.Port->Buffer().SetInputSize(1024);
    EXPECT_EQ(CountsOf(*vp.Dev), before);

    vp.Port->Parity().SetBits(prEven);
    vp.Port->Parity().SetReplaceChar('*');
    vp.Port->FlowControl().SetControlRTS(rtsEnable);
    EXPECT_EQ(CountsOf(*vp.Dev), (TApplyCounts{before.Buffer, before.State + 3, before.Timeouts}));
    EXPECT_EQ(vp.Dev->LastDCB().Parity, EVENPARITY);

    vp.Port->Timeouts().SetWriteTotalC(500);
    EXPECT_EQ(CountsOf(*vp.Dev), (TApplyCounts{before.Buffer, before.State + 3, before.Timeouts + 1}));
    EXPECT_EQ(vp.Dev->LastTimeouts().WriteTotalTimeoutConstant, 500u);

    vp.Port->Buffer().SetOutputSize(4096);
    EXPECT_EQ(CountsOf(*vp.Dev), (TApplyCounts{before.Buffer + 1, before.State + 3, before.Timeouts + 1}));
    EXPECT_EQ(vp.Dev->OutQueueSize(), 4096u);

    // The preset applies even when it changes nothing.
    vp.Port->FlowControl().SetFlowControl(fcCustom);
    EXPECT_EQ(vp.Dev->SetCommStateCount(), before.State + 4);

    TComParity other;
    vp.Port->Parity().Assign(other);
    vp.Port->Buffer().Assign(TComBuffer());
    EXPECT_EQ(CountsOf(*vp.Dev), (TApplyCounts{before.Buffer + 1, before.State + 4, before.Timeouts + 1}));
}

TEST(TypesSubObject, SettersOfAClosedPortOnlyStoreUntilOpen) {
    TVirtualPort vp;
    vp.Port->SetEvents({});
    vp.Port->Parity().SetBits(prOdd);
    vp.Port->Timeouts().SetReadTotalC(250);
    vp.Port->Buffer().SetInputSize(2048);
    EXPECT_EQ(CountsOf(*vp.Dev), (TApplyCounts{0, 0, 0}));
    vp.Port->Open();
    EXPECT_EQ(CountsOf(*vp.Dev), (TApplyCounts{1, 1, 1}));
    EXPECT_EQ(vp.Dev->LastDCB().Parity, ODDPARITY);
    EXPECT_EQ(vp.Dev->LastTimeouts().ReadTotalTimeoutConstant, 250u);
    EXPECT_EQ(vp.Dev->InQueueSize(), 2048u);
}

} // namespace
