#include "tools/term/core/Paste.h"

#include <gtest/gtest.h>

// A paste asks first when it is long or holds more than one line; one line with its Enter does not.
TEST(Paste, AsksFirstWhenLongOrMultiLine) {
    const struct {
        std::string Text;
        bool Asks;
    } Rows[] = {
        {"reboot", false},
        {"reboot\n", false},
        {"reboot\r\n", false},
        {"a\nb", true},
        {"a\r\n\r\nb", true},
        {"a\rb", true},
        {std::string(1000, 'x'), false},
        {std::string(1001, 'x'), true},
    };
    for (const auto& R : Rows)
        EXPECT_EQ(PasteAsksFirst(R.Text), R.Asks) << R.Text.substr(0, 20);
}
