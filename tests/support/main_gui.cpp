#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>

// Widget tests need a QApplication on the main thread; they render offscreen so no display is needed.
int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
