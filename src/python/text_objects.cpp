// Text codecs on Python objects.
//
// Decoding allocates the str with PyUnicode_New at the length and width the
// decoder asks for, and the decoder writes the code points straight into it;
// it may ask for a wider str later, which takes over what was written, and
// has the str cut to the text's length at the end.  Encoding reads the str's own
// storage (one, two or four bytes per code point) rather than its UTF-8 form,
// measures, allocates the bytes once and writes into them.  The result is the same as encoding
// the UTF-8 form: a str whose code points include a surrogate has no UTF-8
// form, and the interpreter's own UTF-8 conversion is asked to report it, so
// that the UnicodeEncodeError is exactly the one it raises elsewhere.
#include "python/text_objects.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "core/compiler.hpp"
#include "codecs/decoder/single_byte.hpp"
#include "codecs/decoder/unicode.hpp"
#include "codecs/encoder/single_byte.hpp"
#include "codecs/encoder/unicode.hpp"
#include "python/errors.hpp"
#include "python/python_ref.hpp"

namespace bitloom {

namespace {

// ---- decoding ------------------------------------------------------------

// Gives the decoders a new str as their room; the str is the result when the
// decode succeeds and is dropped when it fails.
class StrSink final : public TextSink {
  public:
    bool reserve(std::size_t length, std::uint32_t max_code_point, Room& room) override {
        // The length is at most the input's byte count, which fits Py_ssize_t.
        str_ = PyRef(PyUnicode_New(static_cast<Py_ssize_t>(length), max_code_point));
        if (!str_) {
            refused_ = true;
            return false;
        }
        room = {PyUnicode_DATA(str_.get()), static_cast<std::size_t>(PyUnicode_KIND(str_.get()))};
        return true;
    }
    bool widen(std::size_t written, std::size_t length, std::uint32_t max_code_point,
               Room& room) override {
        // The old str is first cut to what was written, so that the two
        // together take little more than the new one.
        PyObject* old = str_.release();
        if (PyUnicode_Resize(&old, static_cast<Py_ssize_t>(written)) < 0) {
            refused_ = true;
            return false;  // the resize dropped the old str
        }
        PyRef narrow(old);
        str_ = PyRef(PyUnicode_New(static_cast<Py_ssize_t>(length), max_code_point));
        if (!str_) {
            refused_ = true;
            return false;
        }
        const auto unit_size = static_cast<std::size_t>(PyUnicode_KIND(str_.get()));
        copy_widened(PyUnicode_DATA(narrow.get()),
                     static_cast<std::size_t>(PyUnicode_KIND(narrow.get())), written,
                     PyUnicode_DATA(str_.get()), unit_size);
        room = {PyUnicode_DATA(str_.get()), unit_size};
        return true;
    }
    bool shrink(std::size_t length, std::uint32_t, Room& room) override {
        // In place: the str is new and only this sink holds it.
        PyObject* str = str_.release();
        if (PyUnicode_Resize(&str, static_cast<Py_ssize_t>(length)) < 0) {
            refused_ = true;
            return false;  // the resize dropped the str
        }
        str_ = PyRef(str);
        room = {PyUnicode_DATA(str), static_cast<std::size_t>(PyUnicode_KIND(str))};
        return true;
    }
    // The decoder stopped because the str could not be made (MemoryError is raised).
    bool refused() const noexcept { return refused_; }
    PyObject* release() noexcept { return str_.release(); }

  private:
    PyRef str_;
    bool refused_ = false;
};

Status decode_text(TextCodec codec, std::span<const std::uint8_t> bytes, TextSink& sink) {
    switch (codec) {
        case TextCodec::utf8: return decode_utf8(bytes, sink);
        case TextCodec::utf16: return decode_utf16(bytes, sink);
        case TextCodec::utf16le: return decode_utf16_with_endianness(bytes, true, sink);
        case TextCodec::utf16be: return decode_utf16_with_endianness(bytes, false, sink);
        case TextCodec::utf32: return decode_utf32(bytes, sink);
        case TextCodec::utf32le: return decode_utf32_with_endianness(bytes, true, sink);
        case TextCodec::utf32be: return decode_utf32_with_endianness(bytes, false, sink);
        case TextCodec::us_ascii: return decode_us_ascii(bytes, sink);
        case TextCodec::iso_8859_1: return decode_iso_8859_1(bytes, sink);
        case TextCodec::windows_1252: return decode_windows_1252(bytes, sink);
    }
    BITLOOM_UNREACHABLE();  // the switch names every codec
}

// ---- encoding ------------------------------------------------------------

// Where encoded bytes go: a new bytes object, or a caller's vector.  allocate
// returns false with MemoryError raised.
class BytesOutput {
  public:
    bool allocate(std::size_t size, std::uint8_t*& data) {
        if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
            PyErr_NoMemory();
            return false;
        }
        bytes_ = PyRef(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!bytes_) return false;
        data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes_.get()));
        return true;
    }
    PyObject* release() noexcept { return bytes_.release(); }

  private:
    PyRef bytes_;
};

class VectorOutput {
  public:
    explicit VectorOutput(std::vector<std::uint8_t>& bytes) noexcept : bytes_(bytes) {}
    bool allocate(std::size_t size, std::uint8_t*& data) {
        try {
            bytes_.resize(size);
        } catch (const std::bad_alloc&) {
            return raise_field_memory_error(size);
        } catch (const std::length_error&) {
            return raise_field_memory_error(size);
        }
        data = bytes_.data();
        return true;
    }

  private:
    std::vector<std::uint8_t>& bytes_;
};

// The str's code points hold a surrogate: raise what the interpreter's UTF-8
// conversion raises for it.
[[gnu::cold]] bool raise_no_utf8_form(PyObject* text) {
    Py_ssize_t size = 0;
    if (PyUnicode_AsUTF8AndSize(text, &size)) {
        raise_internal_error("a str holding a surrogate was converted to UTF-8");
    }
    return false;
}

template <class Unit>
std::span<const Unit> code_points_of(PyObject* text) noexcept {
    return {static_cast<const Unit*>(PyUnicode_DATA(text)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))};
}

// Allocates the mark and `size` bytes and runs `write` on the bytes after the
// mark; `write` returns false when the text holds a surrogate.
template <class Output, class Writer>
bool write_measured(PyObject* text, EncodedSize size, std::span<const std::uint8_t> mark,
                    Output& output, Writer write) {
    if (size.has_surrogate) return raise_no_utf8_form(text);
    std::uint8_t* data = nullptr;
    if (!output.allocate(mark.size() + size.bytes, data)) return false;
    data = std::copy(mark.begin(), mark.end(), data);
    if (!write(data)) return raise_no_utf8_form(text);
    return true;
}

template <class Output, class Unit>
bool encode_code_points(TextCodec codec, PyObject* text, std::span<const Unit> code_points,
                        Output& output) {
    const bool little_endian = codec == TextCodec::utf16le || codec == TextCodec::utf32le;
    // Four bytes per code point and a mark must not wrap around.
    if (code_points.size() > (static_cast<std::size_t>(PY_SSIZE_T_MAX) - 4) / 4) {
        PyErr_NoMemory();
        return false;
    }
    switch (codec) {
        case TextCodec::utf8:
            return write_measured(text, measure_utf8(code_points), {}, output,
                                  [&](std::uint8_t* out) {
                                      write_utf8(code_points, out);
                                      return true;
                                  });
        case TextCodec::utf16:
        case TextCodec::utf16le:
        case TextCodec::utf16be: {
            // Text stored one or two bytes wide takes two bytes a code point;
            // the writer finds its surrogates.  Wider text is measured.
            const EncodedSize size = sizeof(Unit) < 4
                                         ? EncodedSize{2 * code_points.size(), false}
                                         : measure_utf16(code_points);
            return write_measured(
                text, size,
                codec == TextCodec::utf16 ? std::span<const std::uint8_t>(kUtf16Mark)
                                          : std::span<const std::uint8_t>(),
                output, [&](std::uint8_t* out) { return write_utf16(code_points, little_endian, out); });
        }
        case TextCodec::utf32:
        case TextCodec::utf32le:
        case TextCodec::utf32be:
            return write_measured(
                text, EncodedSize{4 * code_points.size(), false},
                codec == TextCodec::utf32 ? std::span<const std::uint8_t>(kUtf32Mark)
                                          : std::span<const std::uint8_t>(),
                output, [&](std::uint8_t* out) { return write_utf32(code_points, little_endian, out); });
        case TextCodec::us_ascii:
        case TextCodec::iso_8859_1:
        case TextCodec::windows_1252:
            break;
    }
    std::uint8_t* data = nullptr;
    if (!output.allocate(code_points.size(), data)) return false;
    const Status status = codec == TextCodec::us_ascii     ? encode_us_ascii(code_points, data)
                          : codec == TextCodec::iso_8859_1 ? encode_iso_8859_1(code_points, data)
                                                           : encode_windows_1252(code_points, data);
    if (status) return true;
    // A surrogate anywhere fails the UTF-8 conversion, which comes before the
    // character set is looked at.
    if (contains_surrogate(code_points)) return raise_no_utf8_form(text);
    raise_codec_error(status.error());
    return false;
}

template <class Output>
bool encode_text(TextCodec codec, PyObject* text, Output& output) {
    const bool byte_copy = codec == TextCodec::utf8 || codec == TextCodec::us_ascii ||
                           codec == TextCodec::iso_8859_1 || codec == TextCodec::windows_1252;
    if (byte_copy && PyUnicode_IS_ASCII(text)) {
        // ASCII text is its own UTF-8 and its own bytes in every character set.
        const auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
        std::uint8_t* data = nullptr;
        if (!output.allocate(size, data)) return false;
        if (size != 0) std::memcpy(data, PyUnicode_DATA(text), size);
        return true;
    }
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return encode_code_points(codec, text, code_points_of<Py_UCS1>(text), output);
        case PyUnicode_2BYTE_KIND:
            return encode_code_points(codec, text, code_points_of<Py_UCS2>(text), output);
        case PyUnicode_4BYTE_KIND:
            return encode_code_points(codec, text, code_points_of<Py_UCS4>(text), output);
    }
    raise_internal_error("a str of unknown storage width");
    return false;
}

}  // namespace

PyObject* decode_text_to_str(TextCodec codec, std::span<const std::uint8_t> bytes) {
    StrSink sink;
    const Status status = decode_text(codec, bytes, sink);
    if (!status) return sink.refused() ? nullptr : raise_codec_error(status.error());
    return sink.release();
}

PyObject* encode_text_to_bytes(TextCodec codec, PyObject* text) {
    BytesOutput output;
    if (!encode_text(codec, text, output)) return nullptr;
    return output.release();
}

bool encode_text_field(TextCodec codec, PyObject* text, std::vector<std::uint8_t>& out) {
    VectorOutput output(out);
    return encode_text(codec, text, output);
}

}  // namespace bitloom
