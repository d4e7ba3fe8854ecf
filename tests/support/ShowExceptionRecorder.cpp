#include "support/ShowExceptionRecorder.h"

#include "platform/toolkit/ShowException.h"

ShowExceptionRecorder::ShowExceptionRecorder() {
    FPrevious = SetShowExceptionHandler([this](const std::string& Text) {
        std::lock_guard lk(FLock);
        FMessages.push_back(Text);
    });
}

ShowExceptionRecorder::~ShowExceptionRecorder() {
    SetShowExceptionHandler(std::move(FPrevious));
}

std::vector<std::string> ShowExceptionRecorder::Messages() const {
    std::lock_guard lk(FLock);
    return FMessages;
}
