#pragma once

#include <exception>
#include <string>

// Base of every error the system raises on purpose: carries the message text shown to the user.
class Exception : public std::exception {
  public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    const std::string& Message() const noexcept { return FMessage; }
    void SetMessage(std::string message) { FMessage = std::move(message); }
    const char* what() const noexcept override { return FMessage.c_str(); }

  private:
    std::string FMessage;
};

// Raised when an object is assigned from an object of a class it cannot take values from.
class EConvertError : public Exception {
  public:
    using Exception::Exception;
};

// Raised when a value or a count falls outside the range a container or a conversion allows.
class ERangeError : public Exception {
  public:
    using Exception::Exception;
};
