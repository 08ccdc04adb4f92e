// Errors as values: every fallible operation returns a Status or a Result<T>
// carrying one human-readable message. Nothing throws across modules.
#ifndef AURVANE_UTIL_RESULT_H_
#define AURVANE_UTIL_RESULT_H_

#include <cassert>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace aurvane {

struct Error {
  std::string message;
};

class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error error) : error_(std::move(error)) {}  // NOLINT: implicit by design

  static Status Ok() { return Status(); }
  bool ok() const { return !error_.has_value(); }
  const std::string& message() const {
    assert(error_ && "message() of an ok Status");
    return error_->message;
  }
  Error TakeError() && {
    assert(error_ && "TakeError() of an ok Status");
    return std::move(*error_);
  }

 private:
  std::optional<Error> error_;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  T& value() & {
    assert(ok() && "value() of a failed Result");
    return std::get<0>(v_);
  }
  const T& value() const& {
    assert(ok() && "value() of a failed Result");
    return std::get<0>(v_);
  }
  T&& value() && {
    assert(ok() && "value() of a failed Result");
    return std::get<0>(std::move(v_));
  }
  const std::string& message() const {
    assert(!ok() && "message() of a successful Result");
    return std::get<1>(v_).message;
  }
  Error TakeError() && {
    assert(!ok() && "TakeError() of a successful Result");
    return std::get<1>(std::move(v_));
  }
  Status status() const {
    if (ok()) return Status::Ok();
    return Error{message()};
  }

 private:
  std::variant<T, Error> v_;
};

}  // namespace aurvane

#endif  // AURVANE_UTIL_RESULT_H_
