// The framework's exception: a message text. Every exception the program raises on purpose derives
// from it, so the standard exception report can show its message.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace toolkit {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }

 private:
  std::string message_;
};

// The silent abort: unwinds like any exception, but the standard exception report ignores it.
class EAbort : public Exception {
 public:
  EAbort() : Exception("Operation aborted") {}
};

}  // namespace toolkit
