// The one failure type of the core: a human-readable message with the subject
// it names, and Result<T>, which holds either a T or an Error.
#ifndef QUARLEN_ERROR_H_
#define QUARLEN_ERROR_H_

#include <cassert>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace quarlen {

// The message is the whole text for people. The subject's parts are set where
// the message is composed with them, so that a caller never has to parse the
// text to learn which file, member or row it is about:
//   return Error(member + ": ...").with_member(member);
class Error {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}

  const std::string& message() const noexcept { return message_; }

  // The file as the caller named it (raw bytes, not the display form).
  const std::optional<std::string>& path() const noexcept { return path_; }
  const std::optional<std::string>& member() const noexcept { return member_; }
  // 1-based; 0 when the message names no row.
  uint64_t row() const noexcept { return row_; }

  Error& with_path(std::string path) & {
    path_ = std::move(path);
    return *this;
  }
  Error&& with_path(std::string path) && { return std::move(with_path(std::move(path))); }
  Error& with_member(std::string member) & {
    member_ = std::move(member);
    return *this;
  }
  Error&& with_member(std::string member) && {
    return std::move(with_member(std::move(member)));
  }
  Error& with_row(uint64_t row) & {
    row_ = row;
    return *this;
  }
  Error&& with_row(uint64_t row) && { return std::move(with_row(row)); }

 private:
  std::string message_;
  std::optional<std::string> path_;
  std::optional<std::string> member_;
  uint64_t row_ = 0;
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
