#pragma once

#include <exception>
#include <functional>
#include <string>

// The application's standard error display: shows the message text of an error that reached the top
// of a handler. Callable from any thread: on the main thread the handler runs at once; elsewhere the
// display is queued to the main thread and the call returns without waiting.
void ShowException(const std::exception& E);
// Same for a caught exception of any kind; a non-standard one shows a generic text.
void ShowException(std::exception_ptr E);

// Installs the display (a message box in the GUI, a recorder in tests); returns the previous one.
// Without a handler the message goes to standard error. Call on the main thread.
std::function<void(const std::string&)>
SetShowExceptionHandler(std::function<void(const std::string&)> Handler);
