#pragma once

#include "app/Unit1.h"
#include "app/Unit2.h"
#include "cport/ComPort.h"
#include "platform/comm/VirtualDevice.h"
#include "platform/ports/DeviceMap.h"
#include "platform/toolkit/ShowException.h"
#include "platform/toolkit/Thread.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Runs each test in a fresh working directory (port.cfg is read from "./"), with a port list and
// device map the test controls and the error display recorded instead of shown.
class AppTest : public testing::Test {
  protected:
    void SetUp() override {
        FOldDir = std::filesystem::current_path();
        std::filesystem::current_path(Dir.Path());
        SetDeviceMapOverride(std::vector<TDeviceMapEntry>{});
        SetSystemPortListOverride(std::vector<TSystemPort>{});
        FOldHandler = SetShowExceptionHandler([this](const std::string& m) { Errors.push_back(m); });
        // Errors raised on the event thread come to the GUI thread through the toolkit's queue.
        SetMainThreadWakeHook([] {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [] { CheckSynchronize(); }, Qt::QueuedConnection);
        });
    }
    void TearDown() override {
        Form2.reset();
        Form1.reset();
        SetMainThreadWakeHook({});
        SetShowExceptionHandler(FOldHandler);
        SetSystemPortListOverride(std::nullopt);
        SetDeviceMapOverride(std::nullopt);
        std::filesystem::current_path(FOldDir);
    }
    // The listed ports, each backed by a virtual device of the same name when Present.
    void Ports(const std::vector<std::string>& Names, bool Present = true) {
        std::vector<TSystemPort> list;
        for (const auto& n : Names) {
            list.push_back({n + ":", "virtual:" + n});
            if (Present) Devices.push_back(TVirtualDevice::Create(n));
        }
        SetSystemPortListOverride(list);
    }
    // Starts the application's windows as main() does, without the message loop.
    void Start() {
        Form2.reset();
        Form1.reset();
        Form1 = std::make_unique<TForm1>();
        Form2 = std::make_unique<TForm2>(Form1->ComPort1);
        Form1->SetPortWindow(Form2.get());
    }
    void Start(const std::vector<std::string>& Names) {
        Ports(Names);
        Start();
    }
    std::string WriteFile(const std::string& Name, const std::string& Bytes) {
        std::string path = Dir.File(Name);
        std::ofstream(path, std::ios::binary) << Bytes;
        return path;
    }
    static std::string ReadFile(const std::string& Path) {
        std::ifstream f(Path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }

    TempDir Dir;
    std::vector<std::string> Errors;
    std::vector<std::shared_ptr<TVirtualDevice>> Devices;
    std::unique_ptr<TForm1> Form1;
    std::unique_ptr<TForm2> Form2;

  private:
    std::filesystem::path FOldDir;
    std::function<void(const std::string&)> FOldHandler;
};
