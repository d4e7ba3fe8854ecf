#include "platform/toolkit/ShowException.h"

#include "platform/toolkit/Thread.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex gLock;
std::function<void(const std::string&)> gHandler;

void Display(const std::string& Text) {
    std::function<void(const std::string&)> handler;
    {
        std::lock_guard lk(gLock);
        handler = gHandler;
    }
    if (handler) {
        try {
            handler(Text);
            return;
        } catch (...) {
            // A failing display must not take the program down; fall back to standard error.
        }
    }
    std::fprintf(stderr, "%s\n", Text.c_str());
}

void ShowText(std::string Text) {
    if (IsMainThread())
        Display(Text);
    else
        TThread::Queue([t = std::move(Text)] { Display(t); });
}

} // namespace

void ShowException(const std::exception& E) {
    ShowText(E.what());
}

void ShowException(std::exception_ptr E) {
    if (!E) return;
    try {
        std::rethrow_exception(E);
    } catch (const std::exception& e) {
        ShowText(e.what());
    } catch (...) {
        ShowText("Unknown error");
    }
}

std::function<void(const std::string&)>
SetShowExceptionHandler(std::function<void(const std::string&)> Handler) {
    std::lock_guard lk(gLock);
    auto previous = std::move(gHandler);
    gHandler = std::move(Handler);
    return previous;
}
