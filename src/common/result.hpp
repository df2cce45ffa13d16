// A value or an error text. Inner operations report failures this way and
// never throw; only the Python surface turns an error text into an exception.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace nimbo {

struct Error {
  std::string message;
  // The operation was stopped from outside (an interrupt), not refused.
  bool interrupted = false;
  // More about the failure, for the callers that add it to the message
  // (what a circuit that did not settle kept changing); nimbo.core's
  // messages leave it out.
  std::string detail = {};
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }

  const std::string& error() const& { return std::get<1>(state_).message; }
  const std::string& detail() const& { return std::get<1>(state_).detail; }
  bool interrupted() const noexcept { return !ok() && std::get<1>(state_).interrupted; }
  std::string&& error() && { return std::move(std::get<1>(state_).message); }

 private:
  std::variant<T, Error> state_;
};

using Status = Result<std::monostate>;

inline Status ok_status() {
  return Status(std::monostate{});
}

}  // namespace nimbo
