// The engine's one error model: an operation either succeeds or fails with a
// message made where the failure is known ("cannot open D:\a.bin: access
// denied"); front ends only display it.
#pragma once

#include <string>
#include <utility>

namespace pkg {

class [[nodiscard]] Status {
 public:
  Status() = default;
  static Status Ok() { return Status(); }
  static Status Fail(std::string message) { return Status(std::move(message), true); }

  bool ok() const { return !failed_; }
  const std::string& message() const { return message_; }

 private:
  Status(std::string message, bool failed) : message_(std::move(message)), failed_(failed) {}
  std::string message_;
  bool failed_ = false;
};

}  // namespace pkg
