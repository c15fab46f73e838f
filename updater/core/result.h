// The result type of the daemon's own layers: a value, or an error that
// carries its reason and the context it travelled through.
//
// The documented entry points keep their integer result codes; behind them
// our functions return kv::Result<T> and the entry points adapt. Nothing
// throws: a caller checks ok() before it takes value().
#pragma once

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace kv {

class Error {
 public:
  Error() = default;
  // code: an errno value where a system call failed, 0 where a check refused.
  Error(int code, std::string message) : code_(code), message_(std::move(message)) {}

  [[nodiscard]] int code() const noexcept { return code_; }
  [[nodiscard]] const std::string& message() const noexcept { return message_; }

  // The same error seen from a caller: "<context>: <message>".
  [[nodiscard]] Error WithContext(std::string_view context) const {
    return Error(code_, std::string(context) + ": " + message_);
  }

 private:
  int code_ = 0;
  std::string message_;
};

// An error from the errno of a failed system call: "<what>: <strerror>".
inline Error SystemError(std::string_view what, int code = errno) {
  return Error(code, std::string(what) + ": " + std::strerror(code));
}

// A value of T, or an error E. E is kv::Error unless a caller must act on
// more than the reason: then the function names its own error type (what
// failed and what had been done by then), still carried the same way.
template <typename T, typename E = Error>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit on purpose
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit on purpose

  [[nodiscard]] bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  [[nodiscard]] T& value() & { return std::get<0>(v_); }
  [[nodiscard]] const T& value() const& { return std::get<0>(v_); }
  [[nodiscard]] T&& value() && { return std::get<0>(std::move(v_)); }
  [[nodiscard]] const E& error() const& { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : error_(std::move(error)) {}  // NOLINT: implicit on purpose

  [[nodiscard]] bool ok() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }
  [[nodiscard]] const E& error() const& { return *error_; }

 private:
  std::optional<E> error_;
};

using Status = Result<void>;

inline Status Ok() { return Status(); }

}  // namespace kv
