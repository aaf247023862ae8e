// Pieces of the packet parser's one-pass reader of the usual recipe: what
// an item's byte order and encoding name select, found without a call that
// can fail or run Python code.  Anything they do not take is left to the
// general path, which raises its errors.  The packet builder's one pass
// keeps its own copies: when both passes called these, each pass took
// 60-100 ns more (of ~600 and ~1200 ns on 3.13, measured in alternating
// processes), from code generation across the link-time-optimised module
// that was not pinned down further.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/recipe_items.hpp"
#include "python/module_state.hpp"
#include "recipe/encoding_names.hpp"

namespace bitloom {

// Encoding names met by a one-pass reader, by str object identity (a recipe
// repeats the same few strings): each distinct object is looked up once per
// call.  Under the GIL the objects are borrowed: the pass runs no Python
// code, so the items keep every object alive until it ends.  Without the GIL
// another thread may change an item between its critical sections and free
// a name, and a str made later at the same address must not find the old
// name's row: each object is held until the pass ends.
class UsualEncodings {
  public:
    explicit UsualEncodings(NameDirection direction) noexcept : direction_(direction) {}
    UsualEncodings(const UsualEncodings&) = delete;
    UsualEncodings& operator=(const UsualEncodings&) = delete;
    ~UsualEncodings() {
#ifdef Py_GIL_DISABLED
        // Exact str objects: releasing one runs no Python code.
        for (std::size_t i = 0; i < count_; ++i) Py_DECREF(known_[i].object);
#endif
    }

    // What the name selects for a field of `bits` bits, or false for a name
    // that selects nothing there (the general path then raises its error).
    bool find(const TextField& name, std::uint32_t bits, FieldEncoding& out) noexcept {
        const EncodingNameRow* row = nullptr;
        std::size_t i = 0;
        while (i < count_ && known_[i].object != name.object) ++i;
        if (i < count_) {
            row = known_[i].row;
        } else {
            row = look_up(name);
            if (!row) return false;
            if (count_ < known_.size()) {
#ifdef Py_GIL_DISABLED
                Py_INCREF(name.object);
#endif
                known_[count_++] = {name.object, row};
            }
        }
        return encoding_for_width(row, bits, out);
    }

  private:
    // As NameCache: the interned str of a row's name, else the text as it
    // stands, else its lowercase form (the text is ASCII here).
    const EncodingNameRow* look_up(const TextField& name) const noexcept {
        const EncodingNameRow* row = interned_encoding_names(direction_).find(name.object);
        if (row) return row;
        row = find_encoding_name(direction_, name.text);
        if (row) return row;
        std::array<char, 32> lowered;
        if (name.text.size() > lowered.size()) return nullptr;
        bool changed = false;
        for (std::size_t i = 0; i < name.text.size(); ++i) {
            const char c = name.text[i];
            changed |= c >= 'A' && c <= 'Z';
            lowered[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        }
        if (!changed) return nullptr;
        return find_encoding_name(direction_, {lowered.data(), name.text.size()});
    }

    struct Known {
        PyObject* object;
        const EncodingNameRow* row;
    };
    NameDirection direction_;
    std::array<Known, 8> known_;  // the first count_ are set
    std::size_t count_ = 0;
};

// Whether `text` is `expected`, compared character by character: the
// lengths are known, so this stays in line where memcmp was a call.
template <std::size_t N>
[[gnu::always_inline]] inline bool is_usual_text(std::string_view text,
                                                 const char (&expected)[N]) noexcept {
    if (text.size() != N - 1) return false;
    bool same = true;
    for (std::size_t i = 0; i + 1 < N; ++i) same &= text[i] == expected[i];
    return same;
}

// "big" or "little" exactly as written; any other text is left to the
// general path, which lowercases it.
[[gnu::always_inline]] inline bool usual_byte_order(std::string_view text, ByteOrder& out) noexcept {
    if (is_usual_text(text, "big")) {
        out = ByteOrder::big;
        return true;
    }
    if (is_usual_text(text, "little")) {
        out = ByteOrder::little;
        return true;
    }
    return false;
}

}  // namespace bitloom
