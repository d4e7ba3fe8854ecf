#include "cport/ComPort.h"
#include "cportui/ComSelect.h"
#include "platform/toolkit/FormData.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

// The selectors name their port in stored form data and bind to it once the form is read; the
// combo box's style is stored when it is not the drop-down list.
TEST(SelectorFormData, PortReferenceAndStyleAreReadAndWrittenBack) {
    RegisterComSelectors();
    TPublished<TComponent>("TComponent").Register();
    TComPort::StaticClassInfo();
    TComponent form(nullptr);
    ReadComponentData(form,
                      "Form: TComponent {\n"
                      "  Box: TComComboBox {\n    ComPort = ComPort1\n    ComProperty = cpBaudRate\n"
                      "    Style = csDropDown\n  }\n"
                      "  Group: TComRadioGroup {\n    ComPort = ComPort1\n    ComProperty = cpStopBits\n  }\n"
                      "  Plain: TComComboBox {\n  }\n"
                      "  ComPort1: TComPort {\n    BaudRate = br19200\n  }\n"
                      "}\n");
    // Widgets without a widget owner have no Qt parent: the test deletes them.
    std::unique_ptr<TComComboBox> box(dynamic_cast<TComComboBox*>(form.FindComponent("Box")));
    std::unique_ptr<TComRadioGroup> group(dynamic_cast<TComRadioGroup*>(form.FindComponent("Group")));
    std::unique_ptr<TComComboBox> plain(dynamic_cast<TComComboBox*>(form.FindComponent("Plain")));
    auto* port = dynamic_cast<TComPort*>(form.FindComponent("ComPort1"));
    ASSERT_TRUE(box && group && plain && port);
    EXPECT_EQ(box->ComPort(), port);
    EXPECT_EQ(group->ComPort(), port);
    EXPECT_EQ(box->Text(), "19200"); // bound after the port's own values were read
    EXPECT_EQ(box->Style(), csDropDown);
    EXPECT_TRUE(box->isEditable());
    EXPECT_EQ(plain->Style(), csDropDownList);
    EXPECT_FALSE(plain->isEditable());

    const std::string text = WriteComponent(form);
    EXPECT_NE(text.find("  Box: TComComboBox {\n    ComPort = ComPort1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  Group: TComRadioGroup {\n    ComPort = ComPort1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Style = csDropDown\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Style = csDropDownList"), std::string::npos) << text;
}
