#pragma once

#include "cport/ComPort.h"
#include "platform/comm/VirtualDevice.h"
#include "platform/toolkit/ShowException.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// A port named after an in-process virtual device of the same name ("COM9" reaches it).
struct TVirtualPort {
    explicit TVirtualPort(const std::string& name = "COM9", TComponent* owner = nullptr)
        : Dev(TVirtualDevice::Create(name)), Port(std::make_unique<TComPort>(owner)) {
        EXPECT_NE(Dev, nullptr) << "virtual device " << name << " already exists";
        Port->SetPort(name);
    }
    ~TVirtualPort() { Port.reset(); }
    // Opens without an event thread, as most configuration tests want.
    void OpenQuiet() {
        Port->SetEvents({});
        Port->Open();
    }

    std::shared_ptr<TVirtualDevice> Dev;
    std::unique_ptr<TComPort> Port;
};

// How many times the device was configured, per group.
struct TApplyCounts {
    int Buffer;
    int State;
    int Timeouts;
    bool operator==(const TApplyCounts&) const = default;
};

inline TApplyCounts CountsOf(const TVirtualDevice& dev) {
    return {dev.SetupCommCount(), dev.SetCommStateCount(), dev.SetCommTimeoutsCount()};
}

inline std::ostream& operator<<(std::ostream& os, const TApplyCounts& c) {
    return os << "{buffer " << c.Buffer << ", state " << c.State << ", timeouts " << c.Timeouts << "}";
}

// Op must raise EComPort with these codes (and, when given, this message).
inline void ExpectComError(const std::function<void()>& op, int code, int winCode,
                           const char* message = nullptr) {
    try {
        op();
        ADD_FAILURE() << "no EComPort raised, expected code " << code;
    } catch (const EComPort& e) {
        EXPECT_EQ(e.Code(), code) << e.what();
        EXPECT_EQ(e.WinCode(), winCode) << e.what();
        if (message) {
            EXPECT_EQ(e.Message(), message);
        }
    }
}

// Collects what the application's error display would show, for the life of the object.
class TShownErrors {
  public:
    TShownErrors() {
        FPrevious = SetShowExceptionHandler([this](const std::string& text) { Texts.push_back(text); });
    }
    ~TShownErrors() { SetShowExceptionHandler(FPrevious); }
    TShownErrors(const TShownErrors&) = delete;
    TShownErrors& operator=(const TShownErrors&) = delete;

    std::vector<std::string> Texts;

  private:
    std::function<void(const std::string&)> FPrevious;
};

// Points the device map's environment entry somewhere for the life of the object.
class TDeviceEnv {
  public:
    explicit TDeviceEnv(const std::string& value) {
        if (const char* old = std::getenv("CPORT_DEVICES")) FOld = old;
        setenv("CPORT_DEVICES", value.c_str(), 1);
    }
    ~TDeviceEnv() {
        if (FOld)
            setenv("CPORT_DEVICES", FOld->c_str(), 1);
        else
            unsetenv("CPORT_DEVICES");
    }
    TDeviceEnv(const TDeviceEnv&) = delete;
    TDeviceEnv& operator=(const TDeviceEnv&) = delete;

  private:
    std::optional<std::string> FOld;
};
