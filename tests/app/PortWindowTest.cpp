#include "AppFixture.h"

#include "cport/ComPort.h"
#include "cportui/ComSelect.h"

#include <QPushButton>
#include <QTest>

#include <sstream>

namespace {

void Pick(TComComboBox* Box, int Index) {
    Box->setCurrentIndex(Index);
    emit Box->activated(Index);
}

// The key names of an ini file's lines, in order, and the sections seen.
struct TIniShape {
    std::vector<std::string> Sections;
    std::vector<std::string> Keys;
};
TIniShape Shape(const std::string& Text) {
    TIniShape s;
    std::istringstream in(Text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (line.front() == '[')
            s.Sections.push_back(line);
        else
            s.Keys.push_back(line.substr(0, line.find('=')));
    }
    return s;
}

} // namespace

TEST_F(AppTest, PortWindowListsThePortMapAndSelectsTheCurrentPort) {
    Ports({"COM4", "COM2", "COM9"});
    WriteFile("port.cfg", "[ComPort1]\nPort=com2\n");
    Start();
    TComComboBox& box = *Form2->ComComboBox1;
    ASSERT_EQ(box.count(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(box.itemText(i), (QStringList{"COM4", "COM2", "COM9"}[i]));
    EXPECT_EQ(box.ItemIndex(), 1);
    EXPECT_EQ(box.itemData(1, Qt::ToolTipRole).toString(), "virtual:COM2");
    EXPECT_EQ(box.ComProperty(), cpPort);
    EXPECT_TRUE(box.AutoApply());
    EXPECT_EQ(box.ComPort(), Form1->ComPort1);
}

TEST_F(AppTest, UnknownPortLeavesTheSelectionEmptyAndOkStoresTheSixKeys) {
    Ports({"COM4"});
    WriteFile("port.cfg", "[ComPort1]\nPort=COM7\n");
    Start();
    EXPECT_EQ(Form2->ComComboBox1->ItemIndex(), -1);
    EXPECT_EQ(Form2->ComComboBox1->Text(), "");
    std::filesystem::remove(Dir.File("port.cfg"));
    Form2->show();
    QTest::mouseClick(Form2->Button1, Qt::LeftButton);
    EXPECT_FALSE(Form2->isVisible());
    TIniShape s = Shape(ReadFile(Dir.File("port.cfg")));
    EXPECT_EQ(s.Sections, std::vector<std::string>{"[ComPort1]"});
    EXPECT_EQ(s.Keys.size(), 6u);
    EXPECT_EQ(Form1->ComPort1->Port(), "COM7");
    std::string text = ReadFile(Dir.File("port.cfg"));
    EXPECT_NE(text.find("COM7"), std::string::npos);
    EXPECT_NE(text.find("38400"), std::string::npos);
}

TEST_F(AppTest, CloseBoxHidesWithoutStoringButThePickStaysForTheRun) {
    Start({"COM1", "COM2"});
    ASSERT_TRUE(Form1->ComPort1->Connected());
    Form2->show();
    Pick(Form2->ComComboBox1, 1);
    EXPECT_EQ(Form1->ComPort1->Port(), "COM2");
    EXPECT_TRUE(Form1->ComPort1->Connected()); // reopened on the new name
    EXPECT_TRUE(Devices[1]->IsOpen());
    EXPECT_FALSE(Devices[0]->IsOpen());
    Form2->close();
    EXPECT_FALSE(Form2->isVisible());
    EXPECT_FALSE(std::filesystem::exists(Dir.File("port.cfg")));
    // The next start uses what was stored before: nothing, so the design's COM1.
    Start();
    EXPECT_EQ(Form1->ComPort1->Port(), "COM1");
}

TEST_F(AppTest, PickingTheSelectedEntryChangesNothingOnThePort) {
    Start({"COM1", "COM2"});
    ASSERT_TRUE(Form1->ComPort1->Connected());
    int opens = Devices[0]->OpenCount();
    Pick(Form2->ComComboBox1, 0);
    EXPECT_EQ(Devices[0]->OpenCount(), opens);
    EXPECT_TRUE(Devices[0]->IsOpen());
    EXPECT_TRUE(Errors.empty());
}

TEST_F(AppTest, PickThatCannotOpenIsShownAndTheWindowGoesOn) {
    Ports({"COM1"});
    std::vector<TSystemPort> list{{"COM1:", "virtual:COM1"}, {"COM6:", "virtual:COM6"}}; // COM6 has no device
    SetSystemPortListOverride(list);
    Start();
    ASSERT_TRUE(Form1->ComPort1->Connected());
    Pick(Form2->ComComboBox1, 1);
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_NE(Errors[0].find("Unable to open com port"), std::string::npos) << Errors[0];
    EXPECT_EQ(Form2->ComComboBox1->Text(), "COM6"); // the selection stays as picked
}

TEST_F(AppTest, StoringErrorIsShownAndTheWindowStaysOpen) {
    Start({"COM1"});
    std::filesystem::create_directory(Dir.File("port.cfg")); // a directory where the file should go
    Form2->show();
    QTest::mouseClick(Form2->Button1, Qt::LeftButton);
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_NE(Errors[0].find("Failed to store settings"), std::string::npos) << Errors[0];
    EXPECT_TRUE(Form2->isVisible());
}
