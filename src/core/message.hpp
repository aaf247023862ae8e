// Message formatting for codec errors.  Every message is a fixed sentence with
// "{}" for each inserted value; format_message fills them in order.  Callers
// build messages only on the failure path, so these helpers are kept out of
// line and marked cold.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/codec_result.hpp"

namespace bitloom {

// One inserted value: a signed or unsigned decimal integer, or text.
class MessageArgument {
  public:
    MessageArgument(std::int64_t v) : kind_(Kind::signed_integer), signed_(v) {}
    MessageArgument(std::uint64_t v) : kind_(Kind::unsigned_integer), unsigned_(v) {}
    MessageArgument(std::uint32_t v) : kind_(Kind::unsigned_integer), unsigned_(v) {}
    MessageArgument(int v) : kind_(Kind::signed_integer), signed_(v) {}
    MessageArgument(std::string_view v) : kind_(Kind::text), text_(v) {}
    MessageArgument(const char* v) : kind_(Kind::text), text_(v) {}
    MessageArgument(const std::string& v) : kind_(Kind::text), text_(v) {}

    void append_to(std::string& out) const;

  private:
    enum class Kind { signed_integer, unsigned_integer, text };
    Kind kind_;
    std::int64_t signed_ = 0;
    std::uint64_t unsigned_ = 0;
    std::string_view text_;
};

[[gnu::cold]] std::string format_message(std::string_view pattern,
                                          std::initializer_list<MessageArgument> arguments);

// Shorthand for the usual failure: a codec error with a formatted message.
[[gnu::cold]] CodecError make_error(ErrorKind kind, std::string_view pattern,
                                    std::initializer_list<MessageArgument> arguments = {});

// Upper-case hexadecimal, zero-padded to at least `digits` digits.
std::string to_hex(std::uint64_t value, int digits);

}  // namespace bitloom
