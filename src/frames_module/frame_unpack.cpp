// FrameCodec.unpack, unpack_tuple and unpack_many: the checks of a buffer
// and its frames, one frame through the fields' rows, a dump through the
// bulk decoder.
#include "frames_module/frame_codec.hpp"
#include "frames_module/codec_state.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/bits.hpp"
#include "core/message.hpp"
#include "recipe/placement.hpp"
#include "engine/recipe_items.hpp"
#include "frames/frame_layout.hpp"
#include "frames_module/columns.hpp"
#include "frames_module/dump_decoding.hpp"
#include "frames_module/field_values.hpp"
#include "python/conversions.hpp"
#include "python/dict_entries.hpp"
#include "python/errors.hpp"
#include "python/python_ref.hpp"
#include "python/results.hpp"
#include "python/stack_room.hpp"

namespace bitloom::frames {

// ---- parsing -----------------------------------------------------------------

// Refuses a buffer that does not hold every field: names the first one, in
// recipe order, that lies past its end.
bool check_fits(const Compiled& compiled, std::size_t length, std::uint64_t offset_bits) {
    const std::uint64_t available = length >= (std::size_t{1} << 60) ? UINT64_MAX : std::uint64_t{length} * 8;
    if (offset_bits <= available && compiled.extent_bits <= available - offset_bits) return true;
    for (const CompiledField& field : compiled.fields) {
        if (offset_bits <= available && field.codec.layout.end() <= available - offset_bits) continue;
        PyRef label = field_label(field.name);
        if (!label) return false;
        const bool representable = offset_bits <= UINT64_MAX - 7 &&
                                   field.codec.layout.end() <= UINT64_MAX - 7 - offset_bits;
        if (!representable) {
            PyErr_Format(PyExc_ValueError, "%U: lies beyond the largest bit position at offset_bits %llu",
                         label.get(), static_cast<unsigned long long>(offset_bits));
            return false;
        }
        const std::uint64_t needed = (offset_bits + field.codec.layout.end() + 7) / 8;
        PyErr_Format(PyExc_ValueError,
                     "%U: needs %llu bytes (bits %llu to %llu after offset_bits %llu), but the "
                     "buffer has %zu",
                     label.get(), static_cast<unsigned long long>(needed),
                     static_cast<unsigned long long>(field.codec.layout.start),
                     static_cast<unsigned long long>(field.codec.layout.start + field.codec.layout.total_bits() - 1),
                     static_cast<unsigned long long>(offset_bits), length);
        return false;
    }
    return true;
}

// The values of one frame, as a dict of the names or as a tuple in field
// order (the form with least work for the interpreter).
enum class ResultShape { dict, tuple };

PyObject* unpack_frame(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* keywords,
                       ResultShape shape) {
    if (!usable(self)) return nullptr;
    const Compiled& compiled = compiled_of(self);
    PyObject* bound[2] = {count == 1 ? args[0] : nullptr, nullptr};
    if ((count != 1 || keywords) &&
        !bind_arguments(shape == ResultShape::dict ? "unpack" : "unpack_tuple", args, count,
                        keywords, {"buffer", "offset_bits"}, 2, 1, bound)) {
        return nullptr;
    }
    BufferView view;
    std::uint64_t offset_bits = 0;
    if (!view.acquire(bound[0]) || !convert_offset(bound[1], offset_bits) ||
        !check_fits(compiled, view.data().size(), offset_bits)) {
        return nullptr;
    }
    // The frame is copied first, with eight zero bytes after it: the bytes
    // decoded are private (another thread may write the caller's buffer,
    // and a text decoder reads its bytes twice), and every field up to 64
    // bits is read with one word load, also at the end.
    std::uint8_t small[kSmallFrame + 8];
    std::vector<std::uint8_t> large;
    const std::uint64_t first_byte = offset_bits / 8;
    const std::size_t length =
        static_cast<std::size_t>((offset_bits + compiled.extent_bits + 7) / 8 - first_byte);
    std::uint8_t* padded = small;
    if (length > kSmallFrame) {
        large.resize(length + 8);
        padded = large.data();
    }
    if (length != 0) std::memcpy(padded, view.data().data() + first_byte, length);
    std::memset(padded + length, 0, 8);
    const std::span<const std::uint8_t> data(padded, length + 8);
    offset_bits %= 8;
    auto decode = [&](std::size_t j) {
        const CompiledField& field = compiled.fields[j];
        if (field.codec.plain_number) [[likely]] {
            PyObject* value = plain_number_to_python(field.codec, data, offset_bits);
            if (!value) locate_pending_error(field_label(field.name).get());
            return value;
        }
        if (field.codec.layout.count != 0) {
            std::uint64_t failed = 0;
            PyObject* value = array_to_python(field.codec, data, offset_bits, failed);
            if (!value) locate_pending_error(element_label(field.name, failed).get());
            return value;
        }
        PyObject* value = field_to_python(field.codec, data, offset_bits);
        if (!value) locate_pending_error(field_label(field.name).get());
        return value;
    };
    if (shape == ResultShape::tuple) {
        PyRef result(PyTuple_New(static_cast<Py_ssize_t>(compiled.fields.size())));
        if (!result) return nullptr;
        for (std::size_t j = 0; j < compiled.fields.size(); ++j) {
            PyObject* value = decode(j);
            if (!value) return nullptr;
            PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(j), value);
        }
        return result.release();
    }
    DictFill result(compiled.result_shape);
    if (!result.dict()) return nullptr;
    for (std::size_t j = 0; j < compiled.fields.size(); ++j) {
        if (!result.set(j, decode(j))) return nullptr;
    }
    return result.release();
}

PyObject* codec_unpack(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* keywords) {
    return guarded_entry("FrameCodec.unpack", [&] {
        return unpack_frame(self, args, count, keywords, ResultShape::dict);
    });
}

PyObject* codec_unpack_tuple(PyObject* self, PyObject* const* args, Py_ssize_t count,
                             PyObject* keywords) {
    return guarded_entry("FrameCodec.unpack_tuple", [&] {
        return unpack_frame(self, args, count, keywords, ResultShape::tuple);
    });
}

// How a buffer of `length` bytes splits into frames: checks the frame size
// against the fields and the trailing bytes.
bool frame_count(const Compiled& compiled, std::size_t length, PyObject* frame_bytes_object,
                 std::uint64_t offset_bits, bool ignore_partial, std::size_t& frame_bytes,
                 std::size_t& frames) {
    if (!frame_bytes_object || frame_bytes_object == Py_None) {
        frame_bytes = static_cast<std::size_t>(compiled.size);
    } else {
        std::uint64_t requested = 0;
        if (!convert_uint64(frame_bytes_object, requested)) {
            wrap_argument_error("frame_bytes");
            return false;
        }
        if (requested == 0 || requested > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
            PyErr_Format(PyExc_ValueError, "frame_bytes must be between 1 and %zd, not %llu",
                         PY_SSIZE_T_MAX, static_cast<unsigned long long>(requested));
            return false;
        }
        frame_bytes = static_cast<std::size_t>(requested);
    }
    if (frame_bytes == 0) {
        PyErr_SetString(PyExc_ValueError, "frames of a codec of 0 bytes need frame_bytes");
        return false;
    }
    const std::uint64_t frame_bits = frame_bytes >= (std::size_t{1} << 60) ? UINT64_MAX
                                                                         : std::uint64_t{frame_bytes} * 8;
    if (offset_bits > frame_bits || compiled.extent_bits > frame_bits - offset_bits) {
        PyErr_Format(PyExc_ValueError,
                     "frames of %zu bytes cannot hold the fields: they end at bit %llu of the "
                     "codec, after offset_bits %llu",
                     frame_bytes, static_cast<unsigned long long>(compiled.extent_bits),
                     static_cast<unsigned long long>(offset_bits));
        return false;
    }
    frames = length / frame_bytes;
    const std::size_t rest = length % frame_bytes;
    if (rest != 0 && !ignore_partial) {
        PyErr_Format(PyExc_ValueError,
                     "a partial frame of %zu bytes at byte offset %zu (frames are %zu bytes; "
                     "pass ignore_partial=True to leave it out)",
                     rest, frames * frame_bytes, frame_bytes);
        return false;
    }
    return true;
}

bool convert_flag(PyObject* object, const char* name, bool& out) {
    out = false;
    if (!object) return true;
    if (convert_bool(object, out)) return true;
    wrap_argument_error(name);
    return false;
}

PyObject* unpack_frames(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* keywords) {
    if (!usable(self)) return nullptr;
    const Compiled& compiled = compiled_of(self);
    PyObject* bound[7];
    if (!bind_arguments("unpack_many", args, count, keywords,
                        {"buffer", "frame_bytes", "offset_bits", "ignore_partial", "errors", "threads",
                         "frame_offsets"},
                        1, 1, bound)) {
        return nullptr;
    }
    BufferView view;
    DumpRequest request;
    bool ignore_partial = false;
    if (!view.acquire(bound[0]) || !convert_offset(bound[2], request.offset_bits) ||
        !convert_flag(bound[3], "ignore_partial", ignore_partial) ||
        !parse_errors_option(bound[4], request.null_on_error) ||
        !parse_threads_option(bound[5], request.threads)) {
        return nullptr;
    }
    // frame_offsets (private: the packets of one key of a stream): a bytes
    // object of native uint64 offsets, one per frame, each frame wholly in
    // the buffer.
    if (bound[6] && bound[6] != Py_None) {
        if (!PyBytes_Check(bound[6]) || PyBytes_GET_SIZE(bound[6]) % 8 != 0) {
            PyErr_SetString(PyExc_TypeError, "frame_offsets must be bytes of native uint64 offsets");
            return nullptr;
        }
        if (!frame_count(compiled, 0, bound[1], request.offset_bits, true, request.frame_bytes, request.frames)) {
            return nullptr;
        }
        // A bytes object cannot change; its 8-byte items are aligned.
        const std::span<const std::uint64_t> offsets{reinterpret_cast<const std::uint64_t*>(PyBytes_AS_STRING(bound[6])),
                                                     static_cast<std::size_t>(PyBytes_GET_SIZE(bound[6])) / 8};
        const std::size_t length = view.data().size();
        for (std::size_t i = 0; i < offsets.size(); ++i) {
            if (length < request.frame_bytes || offsets[i] > length - request.frame_bytes) {
                PyErr_Format(PyExc_ValueError, "frame %zu at byte offset %llu passes the end of the buffer", i,
                             static_cast<unsigned long long>(offsets[i]));
                return nullptr;
            }
        }
        request.frames = offsets.size();
        request.frame_offsets = offsets.data();
        request.fields = compiled.layouts;
        request.names = compiled.names;
        request.data = view.data();
        request.strip_text = compiled.strip_text;
        return decode_dump(request);
    }
    if (!frame_count(compiled, view.data().size(), bound[1], request.offset_bits, ignore_partial,
                     request.frame_bytes, request.frames)) {
        return nullptr;
    }
    // The buffer stays exported (a bytearray cannot be resized, an mmap not
    // closed) while other threads run; its bytes are read once, a block at
    // a time, into private memory.
    request.fields = compiled.layouts;
    request.names = compiled.names;
    request.data = view.data().first(request.frames * request.frame_bytes);
    request.immutable = PyBytes_CheckExact(bound[0]);
    request.strip_text = compiled.strip_text;
    return decode_dump(request);
}

PyObject* codec_unpack_many(PyObject* self, PyObject* const* args, Py_ssize_t count,
                            PyObject* keywords) {
    return guarded_entry("FrameCodec.unpack_many",
                         [&] { return unpack_frames(self, args, count, keywords); });
}

// _frame_count(length, frame_bytes, offset_bits, ignore_partial) -> (frames, frame_bytes):
// the checks of unpack_many, for the frame iterator written in Python.
PyObject* codec_frame_count(PyObject* self, PyObject* args) {
    if (!usable(self) || !stack_has_room("FrameCodec._frame_count")) return nullptr;
    Py_ssize_t length = 0;
    PyObject* frame_bytes_object = nullptr;
    PyObject* offset_object = nullptr;
    PyObject* ignore_object = nullptr;
    if (!PyArg_ParseTuple(args, "nOOO:_frame_count", &length, &frame_bytes_object, &offset_object,
                          &ignore_object)) {
        return nullptr;
    }
    std::uint64_t offset_bits = 0;
    bool ignore_partial = false;
    std::size_t frame_bytes = 0;
    std::size_t frames = 0;
    if (length < 0 || !convert_offset(offset_object, offset_bits) ||
        !convert_flag(ignore_object, "ignore_partial", ignore_partial) ||
        !frame_count(compiled_of(self), static_cast<std::size_t>(length), frame_bytes_object,
                     offset_bits, ignore_partial, frame_bytes, frames)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "negative length");
        return nullptr;
    }
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(frames), static_cast<Py_ssize_t>(frame_bytes));
}

}  // namespace bitloom::frames
