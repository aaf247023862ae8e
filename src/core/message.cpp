#include "core/message.hpp"

#include <charconv>

namespace bitloom {

void MessageArgument::append_to(std::string& out) const {
    char digits[24];
    std::to_chars_result end{};
    switch (kind_) {
        case Kind::signed_integer:
            end = std::to_chars(digits, digits + sizeof digits, signed_);
            out.append(digits, end.ptr);
            break;
        case Kind::unsigned_integer:
            end = std::to_chars(digits, digits + sizeof digits, unsigned_);
            out.append(digits, end.ptr);
            break;
        case Kind::text:
            out.append(text_);
            break;
    }
}

std::string format_message(std::string_view pattern,
                           std::initializer_list<MessageArgument> arguments) {
    std::string out;
    out.reserve(pattern.size() + 16 * arguments.size());
    const MessageArgument* next = arguments.begin();
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '{' && i + 1 < pattern.size() && pattern[i + 1] == '}' &&
            next != arguments.end()) {
            next->append_to(out);
            ++next;
            ++i;
        } else {
            out.push_back(pattern[i]);
        }
    }
    return out;
}

CodecError make_error(ErrorKind kind, std::string_view pattern,
                      std::initializer_list<MessageArgument> arguments) {
    return CodecError{kind, format_message(pattern, arguments)};
}

std::string to_hex(std::uint64_t value, int digits) {
    char buffer[17];
    auto end = std::to_chars(buffer, buffer + sizeof buffer, value, 16);
    std::string text(buffer, end.ptr);
    for (char& c : text) {
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    }
    // Built whole rather than by insert(0, ...): GCC 12's link-time
    // optimisation took the insert for a write of 2 GiB into the buffer.
    if (static_cast<int>(text.size()) < digits) {
        return std::string(static_cast<std::size_t>(digits) - text.size(), '0') + text;
    }
    return text;
}

}  // namespace bitloom
