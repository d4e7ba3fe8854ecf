#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Collects what ShowException displays while it lives; restores the previous display afterwards.
class ShowExceptionRecorder {
  public:
    ShowExceptionRecorder();
    ~ShowExceptionRecorder();
    ShowExceptionRecorder(const ShowExceptionRecorder&) = delete;
    ShowExceptionRecorder& operator=(const ShowExceptionRecorder&) = delete;
    std::vector<std::string> Messages() const;

  private:
    mutable std::mutex FLock;
    std::vector<std::string> FMessages;
    std::function<void(const std::string&)> FPrevious;
};
