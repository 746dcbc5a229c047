// The outcome of one operation below the session: success, or a failure with our own text and,
// where a system call failed, its errno; Valued<T> adds the value a success yields. Exceptions
// are kept for where a connection ends.
#ifndef KADREL_CORE_RESULT_H
#define KADREL_CORE_RESULT_H

#include <string>
#include <utility>

class Result {
 public:
  Result() = default;  // success
  static Result Failure(std::string text, int err = 0) { return Result(std::move(text), err); }

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  // Our own text of the failure; empty on success.
  const std::string& text() const { return text_; }
  // The errno of the failed call, 0 when none says why.
  int err() const { return err_; }

 private:
  Result(std::string text, int err) : failed_(true), text_(std::move(text)), err_(err) {}
  bool failed_ = false;
  std::string text_;
  int err_ = 0;
};

// Success with a value, or a failure (and no value).
template <typename T>
class Valued : public Result {
 public:
  Valued(T value) : value_(std::move(value)) {}
  Valued(Result failure) : Result(std::move(failure)) {}
  // The value of a success; a default T after a failure.
  const T& value() const& { return value_; }
  T& value() & { return value_; }
  T value() && { return std::move(value_); }

 private:
  T value_{};
};

#endif
