#pragma once

// tolvane-flash and tolvane-devsim run as child processes over real pseudo-terminals.

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace flashtools {
using Clock = std::chrono::steady_clock;

inline std::string ToolDir() {
    if (const char* b = std::getenv("TOLVANE_BUILD_DIR")) return std::string(b) + "/tools";
    // Run by hand from the build tree: the tools sit beside the tests folder.
    return (std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "tools").string();
}

// A child process with stdout and stderr in one file.
class Child {
  public:
    // stdoutFd >= 0: standard output goes there instead of into the log.
    Child(const std::vector<std::string>& args, const std::string& log, int stdoutFd = -1) {
        FPid = ::fork();
        if (FPid == 0) {
            const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(stdoutFd >= 0 ? stdoutFd : fd, 1);
            ::dup2(fd, 2);
            std::vector<char*> argv;
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~Child() {
        if (FPid > 0 && !FDone) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
        }
    }
    // The exit code (128 + signal for a killed process), or -1 when it did not end in time.
    int Wait(double seconds) {
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
            int st = 0;
            if (::waitpid(FPid, &st, WNOHANG) == FPid) {
                FDone = true;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }
    void Signal(int sig) { ::kill(FPid, sig); }

  private:
    pid_t FPid = -1;
    bool FDone = false;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline std::string Image(std::size_t n) {
    std::string s(n, '\0');
    uint32_t x = 0x12345678u + static_cast<uint32_t>(n);
    for (auto& c : s) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

class FlashEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(ToolDir() + "/tolvane-flash") ||
            !std::filesystem::exists(ToolDir() + "/tolvane-devsim"))
            GTEST_SKIP() << "tools not built in " << ToolDir();
    }
    // Starts the device and waits until its link exists.
    std::unique_ptr<Child> StartDevice(std::vector<std::string> extra) {
        std::vector<std::string> args = {ToolDir() + "/tolvane-devsim", "--link", Link(), "--output",
                                         Output()};
        args.insert(args.end(), extra.begin(), extra.end());
        auto child = std::make_unique<Child>(args, dir.File("devsim.log"));
        for (int i = 0; i < 400 && !std::filesystem::is_symlink(Link()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_TRUE(std::filesystem::is_symlink(Link())) << ReadFile(dir.File("devsim.log"));
        return child;
    }
    std::unique_ptr<Child> StartFlash(std::vector<std::string> args, int stdoutFd = -1) {
        args.insert(args.begin(), ToolDir() + "/tolvane-flash");
        return std::make_unique<Child>(args, dir.File("flash.log"), stdoutFd);
    }
    std::string WriteImage(const std::string& bytes) {
        const std::string p = dir.File("image.flash");
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }
    std::string Link() const { return dir.File("device"); }
    std::string Output() const { return dir.File("flash.bin"); }
    std::string FlashLog() const { return ReadFile(dir.File("flash.log")); }

    TempDir dir;
};
} // namespace flashtools
