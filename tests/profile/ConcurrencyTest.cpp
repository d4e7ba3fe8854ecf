#include "platform/profile/PrivateProfile.h"
#include "platform/profile/Registry.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

// Writers on several threads change different keys of one file: each write reads the file, changes
// one line and replaces the file, so an unserialised pair would drop the other thread's key.
TEST(ProfileConcurrency, ParallelIniWritesLoseNoKey) {
    TempDir dir;
    std::string file = dir.File("shared.ini");
    constexpr int Threads = 4, Keys = 15;
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < Threads; ++t)
        workers.emplace_back([&, t] {
            for (int k = 0; k < Keys; ++k)
                if (!WritePrivateProfileString("S" + std::to_string(k % 3),
                                               "T" + std::to_string(t) + "K" + std::to_string(k),
                                               std::to_string(t * 100 + k), file))
                    ++failures;
        });
    for (auto& w : workers)
        w.join();
    EXPECT_EQ(failures.load(), 0);
    for (int t = 0; t < Threads; ++t)
        for (int k = 0; k < Keys; ++k)
            EXPECT_EQ(GetPrivateProfileString("S" + std::to_string(k % 3),
                                              "T" + std::to_string(t) + "K" + std::to_string(k), "missing",
                                              file),
                      std::to_string(t * 100 + k));
}

TEST(ProfileConcurrency, ParallelRegistryWritesLoseNoValue) {
    TempDir dir;
    SetRegistryDirectoryOverride(dir.File("reg"));
    constexpr int Threads = 4, Values = 15;
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < Threads; ++t)
        workers.emplace_back([&, t] {
            TRegistry reg;
            if (!reg.OpenKey("Software\\Shared", true)) {
                ++failures;
                return;
            }
            for (int v = 0; v < Values; ++v)
                reg.WriteInteger("T" + std::to_string(t) + "V" + std::to_string(v), t * 100 + v);
        });
    for (auto& w : workers)
        w.join();
    EXPECT_EQ(failures.load(), 0);
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software\\Shared", false));
    for (int t = 0; t < Threads; ++t)
        for (int v = 0; v < Values; ++v)
            EXPECT_EQ(reg.ReadInteger("T" + std::to_string(t) + "V" + std::to_string(v)), t * 100 + v);
    SetRegistryDirectoryOverride(std::nullopt);
}
