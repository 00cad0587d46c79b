// Exceptions that reach the top-level handler. Each carries the class name the
// handler prints; EAbort is the silent abort a fatal error raises after the log
// has already printed the message.
#pragma once

#include <stdexcept>
#include <string>

#include "compiler/driver/Messages.h"

namespace vorak {

class EVorakError : public std::runtime_error {
 public:
  EVorakError(const char* cls, const std::string& msg) : std::runtime_error(msg), cls_(cls) {}
  const char* className() const noexcept { return cls_; }

 private:
  const char* cls_;
};

// Raised by a fatal error once its message is printed; never printed again.
class EAbort : public EVorakError {
 public:
  EAbort() : EVorakError("EAbort", msg::text(msg::Aborted)) {}
};

// A file could not be read or written (log file, listing, source).
class EInOutError : public EVorakError {
 public:
  explicit EInOutError(const std::string& msg) : EVorakError("EInOutError", msg) {}
};

// An output file could not be created.
class EFCreateError : public EVorakError {
 public:
  explicit EFCreateError(const std::string& msg) : EVorakError("EFCreateError", msg) {}
};

// A failure raised under the plain base class name "Exception": the
// top-level handler prints it as "Exception: " and its message.
class EException : public EVorakError {
 public:
  explicit EException(const std::string& msg) : EVorakError("Exception", msg) {}
};

// Arithmetic failures of compile-time evaluation, named and worded as the
// top-level handler reports them.
class EDivByZero : public EVorakError {
 public:
  EDivByZero() : EVorakError("EDivByZero", msg::text(msg::DivByZero)) {}
};

class EIntOverflow : public EVorakError {
 public:
  EIntOverflow() : EVorakError("EIntOverflow", msg::text(msg::IntOverflow)) {}
};

class EZeroDivide : public EVorakError {
 public:
  EZeroDivide() : EVorakError("EZeroDivide", msg::text(msg::FloatDivByZero)) {}
};

class EInvalidOp : public EVorakError {
 public:
  EInvalidOp() : EVorakError("EInvalidOp", msg::text(msg::FloatInvalid)) {}
};

class EOverflow : public EVorakError {
 public:
  EOverflow() : EVorakError("EOverflow", msg::text(msg::FloatOverflow)) {}
};

}  // namespace vorak
