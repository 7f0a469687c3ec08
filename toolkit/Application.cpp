#include "toolkit/Application.h"

#include <cstdio>
#include <mutex>
#include <utility>

#include "toolkit/Exception.h"

namespace toolkit {
namespace {

std::mutex& HandlerMutex() {
  static std::mutex m;
  return m;
}

ExceptionHandler& Handler() {
  static ExceptionHandler handler;
  return handler;
}

}  // namespace

void SetExceptionHandler(ExceptionHandler handler) {
  std::lock_guard lock(HandlerMutex());
  Handler() = std::move(handler);
}

std::string ExceptionReportText(std::exception_ptr error) {
  std::string text;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    text = e.what();
  } catch (...) {
    text = "Unknown exception";
  }
  if (!text.empty() && text.back() != '.') text += '.';
  return text;
}

void HandleException(std::exception_ptr error) noexcept {
  try {
    try {
      std::rethrow_exception(error);
    } catch (const EAbort&) {
      return;
    } catch (...) {
    }
    const std::string text = ExceptionReportText(error);
    ExceptionHandler handler;
    {
      std::lock_guard lock(HandlerMutex());
      handler = Handler();
    }
    if (handler) {
      handler(text);
    } else {
      std::fprintf(stderr, "%s\n", text.c_str());
    }
  } catch (...) {
    std::fputs("exception while reporting an exception\n", stderr);
  }
}

}  // namespace toolkit
