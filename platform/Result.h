#pragma once

#include <string.h>

#include <array>
#include <cerrno>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace quillmere::platform {

// The system's description of an errno value (thread-safe, unlike strerror).
inline std::string errorText(int errorNumber) {
  std::array<char, 256> buffer{};
  // GNU strerror_r may return a static string instead of filling the buffer.
  return ::strerror_r(errorNumber, buffer.data(), buffer.size());
}

// Why an operation on the system failed: the errno of the failing call and the step it was
// taking ("connect", "set mode", ...). A step that found something wrong without the system
// refusing (a file that is not a socket, say) has number 0 and says it all in `what`.
struct SystemError {
  int number = 0;
  std::string what;

  // "what: <the errno's text>", or `what` alone when there is no errno.
  std::string describe() const { return number == 0 ? what : what + ": " + errorText(number); }
};

// The value of an operation on the system, or why it failed. Shaped like std::expected (not in
// C++20), so that callers read the same once it is.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(SystemError error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const SystemError& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, SystemError> state_;
};

// The outcome of an operation on the system that has no value: done, or why not.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(SystemError error) : error_(std::move(error)) {}

  bool has_value() const { return !error_.has_value(); }
  explicit operator bool() const { return has_value(); }

  const SystemError& error() const { return *error_; }

 private:
  std::optional<SystemError> error_;
};

// The failure of `what` with the errno left by the call that just failed.
inline SystemError lastError(std::string what) { return SystemError{errno, std::move(what)}; }

}  // namespace quillmere::platform
