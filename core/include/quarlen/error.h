// The one failure type of the core: a human-readable message, and Result<T>,
// which holds either a T or an Error.
#ifndef QUARLEN_ERROR_H_
#define QUARLEN_ERROR_H_

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace quarlen {

class Error {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}

  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// A T or an Error. Test it before use:
//   auto r = open_archive(path); if (!r) return r.error();
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  explicit operator bool() const noexcept { return v_.index() == 0; }
  bool ok() const noexcept { return v_.index() == 0; }

  T& value() & { assert(ok()); return std::get<0>(v_); }
  const T& value() const& { assert(ok()); return std::get<0>(v_); }
  T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const& { assert(!ok()); return std::get<1>(v_); }
  Error&& error() && { assert(!ok()); return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), ok_(false) {}  // NOLINT

  explicit operator bool() const noexcept { return ok_; }
  bool ok() const noexcept { return ok_; }
  const Error& error() const& { assert(!ok_); return error_; }
  Error&& error() && { assert(!ok_); return std::move(error_); }

 private:
  Error error_{std::string()};
  bool ok_ = true;
};

}  // namespace quarlen

#endif  // QUARLEN_ERROR_H_
