// The application's standard exception report.
//
// An exception that escapes an event handler, a timer or a dispatched call is not fatal: it is
// shown to the user and the message loop goes on. Every place that runs user-level handlers hands
// what escaped them to HandleException; the program installs the handler that shows the report.
#pragma once

#include <exception>
#include <functional>
#include <string>

namespace toolkit {

using ExceptionHandler = std::function<void(const std::string& message)>;

// Installs the report; an empty handler restores the default, which writes to standard error.
// Called once at start-up, before any handler runs.
void SetExceptionHandler(ExceptionHandler handler);

// Reports an exception that escaped a handler; the silent abort (EAbort) is not reported. Never
// throws.
void HandleException(std::exception_ptr error) noexcept;

// The text the report shows for an exception: its message, ended by a period when it has none.
std::string ExceptionReportText(std::exception_ptr error);

// Runs a handler under the standard exception report.
template <typename F>
void RunGuarded(F&& handler) noexcept {
  try {
    handler();
  } catch (...) {
    HandleException(std::current_exception());
  }
}

}  // namespace toolkit
