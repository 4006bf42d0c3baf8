// The error family of the class-library stand-in. Every error that the
// application's error display shows derives from Exception and carries the
// text that is shown.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace platform {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Text that does not read as a number.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// A settings file that refuses a write.
class EIniFileException : public Exception {
 public:
  using Exception::Exception;
};

// A file that cannot be created or replaced.
class EFCreateError : public Exception {
 public:
  using Exception::Exception;
};

// A file that exists but cannot be opened or read.
class EFOpenError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace platform
