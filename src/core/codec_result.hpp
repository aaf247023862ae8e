// The value every codec routine and recipe routine returns: its result, or a
// codec error (the Python exception type to raise and its message).  Routines
// never raise; exactly one place in src/module turns a CodecError into a
// Python exception.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace bitloom {

enum class ErrorKind : std::uint8_t {
    value_error,
    key_error,
    not_implemented_error,
    type_error,
    overflow_error,
};

struct CodecError {
    ErrorKind kind;
    std::string message;
};

template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(CodecError error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() noexcept { return *std::get_if<0>(&state_); }
    const T& value() const noexcept { return *std::get_if<0>(&state_); }
    CodecError& error() noexcept { return *std::get_if<1>(&state_); }
    const CodecError& error() const noexcept { return *std::get_if<1>(&state_); }

  private:
    std::variant<T, CodecError> state_;
};

// A routine that only checks: success carries no value.
struct Done {};
using Status = Result<Done>;

}  // namespace bitloom
