#include "tools/gallery/CpuLoad.h"
#include "tools/gallery/GalleryWindow.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <set>

TEST(GalleryCpuLoad, ProcStatLinesParseOrFailWithAReason) {
    const struct {
        const char* Text;
        bool Ok;
        uint64_t User, Idle, Steal;
    } lines[] = {
        {"cpu  4705 356 584 3699 23 23 0 0 0 0\ncpu0 1 2 3 4\n", true, 4705, 3699, 0},
        {"cpu 1 2 3 4", true, 1, 4, 0},                    // older kernels: four columns
        {"cpu 1 2 3 4 5 6 7 8 9 10 11 12", true, 1, 4, 8}, // columns we do not use
        {"cpu0 1 2 3 4", false, 0, 0, 0},
        {"intr 1 2 3 4", false, 0, 0, 0},
        {"cpu 1 2 3", false, 0, 0, 0},
        {"cpu 1 2 x 4", false, 0, 0, 0},
        {"cpu 1 2 -3 4", false, 0, 0, 0},
        {"cpu 1 2 3 99999999999999999999999", false, 0, 0, 0}, // beyond 64 bits
        {"", false, 0, 0, 0},
    };
    for (const auto& l : lines) {
        TCpuTimes t;
        std::string error;
        EXPECT_EQ(ParseProcStat(l.Text, t, error), l.Ok) << l.Text;
        EXPECT_EQ(error.empty(), l.Ok) << l.Text;
        if (!l.Ok) continue;
        EXPECT_EQ(t.User, l.User);
        EXPECT_EQ(t.Idle, l.Idle);
        EXPECT_EQ(t.Steal, l.Steal);
    }
}

TEST(GalleryCpuLoad, LoadIsTheBusyShareBetweenTwoReadings) {
    const TCpuTimes before{100, 0, 50, 1000, 10, 0, 0, 0};
    const struct {
        TCpuTimes After;
        bool Ok;
        int32_t Kernel, Busy;
    } cases[] = {
        {{100, 0, 50, 1000, 10, 0, 0, 0}, true, 0, 0},        // no time passed
        {{170, 0, 70, 1080, 20, 5, 5, 10}, true, 150, 550},   // 200 ticks: 30 kernel, 110 not idle or waiting
        {{100, 0, 50, 1300, 10, 0, 0, 0}, true, 0, 0},        // all idle
        {{100, 0, 350, 1000, 10, 0, 0, 0}, true, 1000, 1000}, // all kernel
        {{99, 0, 50, 1000, 10, 0, 0, 0}, false, 0, 0},        // went backwards
        {{UINT64_MAX, 0, 50, UINT64_MAX, 10, 0, 0, 0}, false, 0, 0}, // a sum beyond 64 bits
    };
    for (const auto& c : cases) {
        TCpuLoad load{-1, -1};
        EXPECT_EQ(LoadBetween(before, c.After, load), c.Ok) << c.After.User;
        if (!c.Ok) continue;
        EXPECT_EQ(load.Kernel, c.Kernel) << c.After.User;
        EXPECT_EQ(load.Busy, c.Busy) << c.After.User;
    }
}

TEST(GalleryCpuLoad, TheReaderReportsFromTheSecondReadingAndNamesItsErrors) {
    TempDir dir;
    std::string path = dir.File("stat");
    auto write = [&](const char* Text) { Spit(path, Text); };
    TCpuLoadReader reader(path);
    TCpuLoad load;
    std::string error;
    EXPECT_FALSE(reader.Sample(load, error));
    EXPECT_NE(error.find("cannot read"), std::string::npos);
    write("cpu 100 0 0 100\n");
    EXPECT_FALSE(reader.Sample(load, error));
    EXPECT_EQ(error, "") << "only the starting reading";
    write("cpu 150 0 0 150\n");
    ASSERT_TRUE(reader.Sample(load, error)) << error;
    EXPECT_EQ(load.Busy, 500);
    write("cpu 10 0 0 10\n");
    EXPECT_FALSE(reader.Sample(load, error));
    EXPECT_NE(error.find("backwards"), std::string::npos);
    write("garbage\n");
    EXPECT_FALSE(reader.Sample(load, error));
    EXPECT_NE(error.find("not the processor total"), std::string::npos);

    TCpuLoadReader real;
    real.Sample(load, error);
    EXPECT_EQ(error, "") << "this machine's /proc/stat reads";
}

TEST(Gallery, EveryPageRendersOffscreen) {
    TGalleryWindow window;
    window.resize(760, 460);
    window.show();
    std::set<QString> titles;
    for (int i = 0; i < window.PageCount(); ++i) {
        titles.insert(window.PageTitle(i));
        QImage picture = window.Picture(i);
        ASSERT_FALSE(picture.isNull()) << window.PageTitle(i).toStdString();
        EXPECT_GE(picture.width(), 760);
        std::set<QRgb> colours;
        for (int y = 0; y < picture.height(); y += 3)
            for (int x = 0; x < picture.width(); x += 3)
                colours.insert(picture.pixel(x, y));
        EXPECT_GT(colours.size(), 8u)
            << window.PageTitle(i).toStdString() << " shows more than a plain window";
    }
    for (const char* t : {"Gauge", "Performance graph", "Colour grid"})
        EXPECT_TRUE(titles.count(t)) << t;
}
