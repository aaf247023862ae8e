// What the parts of the FrameCodec type share: the compiled recipe a codec
// holds (one CompiledField per recipe item), the object, and the helpers
// for arguments and for errors that name where they happened.  The type is
// split by what it does: frame_compile.cpp builds a codec from a recipe,
// frame_pack.cpp packs frames, frame_unpack.cpp reads them (one at a time,
// or a dump through dump_decoding), and frame_codec.cpp is the type itself:
// its slots, its attributes and the shared helpers.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "frames_module/field_values.hpp"
#include "python/dict_entries.hpp"
#include "python/python_ref.hpp"

namespace bitloom::frames {

struct CompiledField {
    BoundField codec;                   // the layout and its row
    PyObject* name = nullptr;           // an interned exact str, owned
    PyObject* encoding = nullptr;       // the encoding name as the item gave it, an exact str, owned
    PyObject* default_value = nullptr;  // the item's "value", owned; null when absent
    bool default_encoded = false;       // false: encode default_value on use
    std::uint64_t default_bits = 0;
    std::vector<std::uint8_t> default_bytes;
    std::vector<std::uint64_t> default_elements;  // an array's default: each element's bits
};

struct Compiled {
    std::vector<CompiledField> fields;
    std::vector<FrameField> layouts;  // the same fields, for the pure routines
    std::uint64_t size = 0;           // bytes of a packed frame
    std::uint64_t extent_bits = 0;    // the furthest end of a field
    PyObject* recipe = nullptr;       // the item dicts as compiled, owned
    PyObject* names = nullptr;        // tuple, owned
    DictTemplate result_shape;        // the names, for the result of unpack
    PyObject* name_index = nullptr;     // {name: position}, owned
    bool strip_text = false;          // text values lose their trailing NUL padding
    bool read_only = false;           // fields may overlap; packing is refused

    ~Compiled() {
        for (CompiledField& field : fields) {
            Py_XDECREF(field.name);
            Py_XDECREF(field.encoding);
            Py_XDECREF(field.default_value);
        }
        Py_XDECREF(recipe);
        Py_XDECREF(names);
        Py_XDECREF(name_index);
    }
};

struct FrameCodecObject {
    PyObject_HEAD
    Compiled* compiled;
};

inline Compiled& compiled_of(PyObject* self) noexcept {
    return *reinterpret_cast<FrameCodecObject*>(self)->compiled;
}

// A codec that was not constructed (or was cleared by the cycle collector)
// raises ValueError from every method.
bool usable(PyObject* self);

// Frames up to this many bytes are copied for unpack and built on the stack
// for pack.
constexpr std::size_t kSmallFrame = 512;

// The bytes of any contiguous buffer, held for the life of the view.
class BufferView {
  public:
    bool acquire(PyObject* object) {
        if (PyBytes_CheckExact(object)) {
            data_ = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
            return true;
        }
        if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) return false;
        held_ = true;
        data_ = {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
        return true;
    }
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    std::span<const std::uint8_t> data() const noexcept { return data_; }

  private:
    Py_buffer view_{};
    bool held_ = false;
    std::span<const std::uint8_t> data_;
};

// ---- errors and arguments (frame_codec.cpp) --------------------------------

bool is_plain_error(PyObject* type) noexcept;
void locate_pending_error(PyObject* label);
PyRef quoted(PyObject* name);
PyRef item_label(Py_ssize_t index, PyObject* name);
PyRef field_label(PyObject* name);
// "field 'ch', element 3": an element of an array field.
PyRef element_label(PyObject* name, std::uint64_t element);
bool bind_arguments(const char* function, PyObject* const* args, Py_ssize_t count,
                    PyObject* keyword_names, std::initializer_list<const char*> names,
                    Py_ssize_t positional, Py_ssize_t required, PyObject** bound);
bool convert_offset(PyObject* object, std::uint64_t& out);

// ---- construction (frame_compile.cpp) --------------------------------------

PyRef recipe_item_at(PyObject* items, Py_ssize_t index);
PyObject* codec_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
int codec_traverse(PyObject* self, visitproc visit, void* arg);
int codec_clear(PyObject* self);
void codec_dealloc(PyObject* self);

// ---- packing (frame_pack.cpp) ----------------------------------------------

PyObject* codec_pack(PyObject* self, PyObject* values);

// ---- parsing (frame_unpack.cpp) --------------------------------------------

PyObject* codec_unpack(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* keywords);
PyObject* codec_unpack_tuple(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* keywords);
PyObject* codec_unpack_many(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* keywords);
PyObject* codec_frame_count(PyObject* self, PyObject* args);

// ---- packets whose array varies in length (packet_unpack.cpp) --------------

PyObject* codec_unpack_packets(PyObject* self, PyObject* args);

}  // namespace bitloom::frames
