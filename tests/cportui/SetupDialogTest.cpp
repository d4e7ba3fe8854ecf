#include "cport/ComPort.h"
#include "cportui/CPortSetup.h"
#include "cportui/ComSelect.h"
#include "platform/comm/VirtualDevice.h"
#include "platform/ports/DeviceMap.h"

#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace {

class SetupDialogTest : public testing::Test {
  protected:
    void SetUp() override {
        SetSystemPortListOverride(
            std::vector<TSystemPort>{{"COM3:", "virtual:COM3"}, {"COM5:", "virtual:COM5"}});
        Device = TVirtualDevice::Create("COM5");
        Port = std::make_unique<TComPort>(nullptr);
        Port->SetPort("COM5");
    }
    void TearDown() override {
        SetSetupDialogRunner({});
        Port.reset();
        Device.reset();
        SetSystemPortListOverride(std::nullopt);
    }
    // Runs EditComPort with Script playing the user; Script returns the dialog's result.
    void Edit(std::function<int(TComSetupFrm&)> Script) {
        SetSetupDialogRunner(std::move(Script));
        EditComPort(*Port);
    }
    static void Pick(TComComboBox* Box, const char* Text) {
        int i = Box->findText(Text);
        ASSERT_GE(i, 0) << Text;
        Box->setCurrentIndex(i);
        emit Box->activated(i);
    }
    std::shared_ptr<TVirtualDevice> Device;
    std::unique_ptr<TComPort> Port;
};

} // namespace

TEST_F(SetupDialogTest, LayoutTextsAndTabOrder) {
    TComSetupFrm f;
    EXPECT_EQ(f.windowTitle(), "Setup");
    EXPECT_EQ(f.size(), QSize(231, 216));
    EXPECT_EQ(f.GroupBox1->geometry(), QRect(8, 8, 217, 169));
    EXPECT_EQ(f.GroupBox1->title(), " Settings ");
    const char* labels[6] = {"Port", "Baud rate", "Data bits", "Stop bits", "Parity", "Flow control"};
    QLabel* ls[6] = {f.Label1, f.Label2, f.Label3, f.Label4, f.Label5, f.Label6};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(ls[i]->text(), labels[i]);
        EXPECT_EQ(ls[i]->parentWidget(), f.GroupBox1);
        EXPECT_EQ(ls[i]->pos(), QPoint(8, 24 + 24 * i));
        EXPECT_EQ(f.Combo(i)->parentWidget(), f.GroupBox1);
        EXPECT_EQ(f.Combo(i)->geometry(), QRect(80, 16 + 24 * i, 129, 21));
        EXPECT_FALSE(f.Combo(i)->AutoApply());
        EXPECT_FALSE(f.Combo(i)->isEditable());
    }
    EXPECT_EQ(f.Combo(0)->ComProperty(), cpPort);
    EXPECT_EQ(f.Combo(5)->ComProperty(), cpFlowControl);
    EXPECT_EQ(f.Button1->geometry(), QRect(70, 184, 75, 25));
    EXPECT_EQ(f.Button1->text(), "OK");
    EXPECT_TRUE(f.Button1->isDefault());
    EXPECT_EQ(f.Button2->geometry(), QRect(150, 184, 75, 25));
    EXPECT_EQ(f.Button2->text(), "Cancel");
    // Tab: the six selectors in order, then OK, then Cancel.
    QWidget* w = f.Combo(0);
    for (int i = 1; i < 6; ++i) {
        w = w->nextInFocusChain();
        while (!(w->focusPolicy() & Qt::TabFocus))
            w = w->nextInFocusChain();
        EXPECT_EQ(w, f.Combo(i));
    }
    f.show();
    // Escape is no way out: only the buttons and the close box end the dialog.
    QTest::keyClick(&f, Qt::Key_Escape);
    EXPECT_TRUE(f.isVisible());
    QString dir = qEnvironmentVariable("TOLVANE_BUILD_DIR", QDir::tempPath());
    f.grab().save(dir + "/setup-dialog.png");
}

TEST_F(SetupDialogTest, OkWithoutChangesWritesThePortsOwnValuesInOneBracket) {
    Port->SetBaudRate(br57600);
    Port->Open();
    int states = Device->SetCommStateCount();
    Edit([](TComSetupFrm& f) {
        EXPECT_EQ(f.Combo(0)->Text(), "COM5");
        EXPECT_EQ(f.Combo(1)->Text(), "57600");
        return int(QDialog::Accepted);
    });
    EXPECT_TRUE(Port->Connected());
    EXPECT_EQ(Port->Port(), "COM5");
    EXPECT_EQ(Port->BaudRate(), br57600);
    EXPECT_LE(Device->SetCommStateCount() - states, 1);
}

TEST_F(SetupDialogTest, OkAppliesAllPicksTogether) {
    Port->Open();
    int states = Device->SetCommStateCount();
    Edit([](TComSetupFrm& f) {
        Pick(f.Combo(1), "19200");
        Pick(f.Combo(2), "7");
        Pick(f.Combo(3), "2");
        Pick(f.Combo(4), "Even");
        Pick(f.Combo(5), "Software");
        return int(QDialog::Accepted);
    });
    EXPECT_EQ(Port->BaudRate(), br19200);
    EXPECT_EQ(Port->DataBits(), dbSeven);
    EXPECT_EQ(Port->StopBits(), sbTwoStopBits);
    EXPECT_EQ(Port->Parity().Bits(), prEven);
    EXPECT_EQ(Port->FlowControl().FlowControl(), fcSoftware);
    // Five settings changed, one state reached the device: the bracket batched them.
    EXPECT_EQ(Device->SetCommStateCount() - states, 1);
    DCB dcb = Device->LastDCB();
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.ByteSize, 7);
}

TEST_F(SetupDialogTest, CancelAfterPicksLeavesThePortAsItWas) {
    Edit([](TComSetupFrm& f) {
        Pick(f.Combo(0), "COM3");
        Pick(f.Combo(1), "300");
        Pick(f.Combo(4), "Odd");
        return int(QDialog::Rejected);
    });
    EXPECT_EQ(Port->Port(), "COM5");
    EXPECT_EQ(Port->BaudRate(), br9600);
    EXPECT_EQ(Port->Parity().Bits(), prNone);
}

TEST_F(SetupDialogTest, UnlistedPortShowsNoSelectionAndOkAppliesTheNormalisedEmptyName) {
    Port->SetPort("COM9");
    Edit([](TComSetupFrm& f) {
        EXPECT_EQ(f.Combo(0)->ItemIndex(), -1);
        for (int i = 1; i < 6; ++i)
            EXPECT_GE(f.Combo(i)->ItemIndex(), 0) << i;
        return int(QDialog::Accepted);
    });
    EXPECT_EQ(Port->Port(), "COM1");
}

TEST_F(SetupDialogTest, ApplyErrorStillEndsTheBracketAndPassesOn) {
    Port->Open();
    Device->FailNext(TVirtualDevice::foSetCommState, 87);
    EXPECT_THROW(Edit([](TComSetupFrm& f) {
                     Pick(f.Combo(1), "38400");
                     return int(QDialog::Accepted);
                 }),
                 EComPort);
    EXPECT_EQ(Port->BaudRate(), br38400); // stored before it was applied
    // The bracket is closed: a later change reaches the device at once.
    int states = Device->SetCommStateCount();
    Port->SetBaudRate(br4800);
    EXPECT_EQ(Device->SetCommStateCount() - states, 1);
}

// No install call: linking the library is enough.
TEST_F(SetupDialogTest, ShowSetupDialogReachesTheDialog) {
    bool shown = false;
    SetSetupDialogRunner([&](TComSetupFrm& f) {
        shown = true;
        Pick(f.Combo(2), "5");
        return int(QDialog::Accepted);
    });
    Port->ShowSetupDialog();
    EXPECT_TRUE(shown);
    EXPECT_EQ(Port->DataBits(), dbFive);
}

TEST_F(SetupDialogTest, EachDialogEnumeratesThePortsAgain) {
    int first = -1;
    Edit([&](TComSetupFrm& f) {
        first = f.Combo(0)->count();
        return int(QDialog::Rejected);
    });
    SetSystemPortListOverride(std::vector<TSystemPort>{{"COM3:", "x"}, {"COM5:", "y"}, {"COM8:", "z"}});
    Edit([&](TComSetupFrm& f) {
        EXPECT_EQ(f.Combo(0)->count(), first + 1);
        EXPECT_EQ(f.Combo(0)->itemText(2), "COM8");
        return int(QDialog::Rejected);
    });
}
