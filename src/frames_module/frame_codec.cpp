// FrameCodec: construction checks a recipe once and compiles every item
// into a FrameField plus what Python needs beside it (the interned name, the
// default value); pack, unpack and unpack_many then run on those structs.
//
// Errors name where they happened: construction errors start with "recipe
// item {index} ('{name}'): ", packing and parsing errors with "field
// '{name}': " (and the frame, for many frames).  The exception keeps its
// natural type; an exception that is not one of the interpreter's plain
// ones (raised by a value's own conversion hook, say) passes through
// unchanged with a note naming the place instead.
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

// ---- errors ------------------------------------------------------------------

bool is_plain_error(PyObject* type) noexcept {
    return type == PyExc_ValueError || type == PyExc_TypeError || type == PyExc_OverflowError ||
           type == PyExc_KeyError || type == PyExc_NotImplementedError ||
           type == PyExc_IndexError;
}

// Puts `label` in front of the pending exception's message, or adds it as
// a note when the exception is not a plain one-message error.
[[gnu::cold]] void locate_pending_error(PyObject* label) {
    PyRef raised(PyErr_GetRaisedException());
    if (!raised || !label) {
        if (raised) PyErr_SetRaisedException(raised.release());
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(raised.get()));
    PyRef args(PyException_GetArgs(raised.get()));
    if (is_plain_error(type) && args && PyTuple_GET_SIZE(args.get()) == 1 &&
        PyUnicode_Check(PyTuple_GET_ITEM(args.get(), 0))) {
        PyRef message(PyUnicode_FromFormat("%U: %U", label, PyTuple_GET_ITEM(args.get(), 0)));
        if (message) PyErr_SetObject(type, message.get());
        return;
    }
    PyRef note(PyUnicode_FromFormat("in %U", label));
    if (note) {
        PyRef added(PyObject_CallMethod(raised.get(), "add_note", "O", note.get()));
        if (!added) PyErr_Clear();  // the note is a courtesy
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(raised.release());
}

// str's own repr of a name, never a subclass override.
PyRef quoted(PyObject* name) { return PyRef(PyUnicode_Type.tp_repr(name)); }

[[gnu::cold]] PyRef item_label(Py_ssize_t index, PyObject* name) {
    if (name && PyUnicode_Check(name)) {
        PyRef text = quoted(name);
        if (!text) return PyRef();
        return PyRef(PyUnicode_FromFormat("recipe item %zd (%U)", index, text.get()));
    }
    return PyRef(PyUnicode_FromFormat("recipe item %zd", index));
}

[[gnu::cold]] PyRef field_label(PyObject* name) {
    PyRef text = quoted(name);
    if (!text) return PyRef();
    return PyRef(PyUnicode_FromFormat("field %U", text.get()));
}

[[gnu::cold]] PyRef element_label(PyObject* name, std::uint64_t element) {
    PyRef text = quoted(name);
    if (!text) return PyRef();
    return PyRef(PyUnicode_FromFormat("field %U, element %llu", text.get(),
                                      static_cast<unsigned long long>(element)));
}

// ---- arguments ---------------------------------------------------------------

// Binds fast-call arguments to `names`: the first `positional` may come by
// position, the rest only by keyword; the first `required` must be given.
bool bind_arguments(const char* function, PyObject* const* args, Py_ssize_t count,
                    PyObject* keyword_names, std::initializer_list<const char*> names,
                    Py_ssize_t positional, Py_ssize_t required, PyObject** bound) {
    const Py_ssize_t total = static_cast<Py_ssize_t>(names.size());
    for (Py_ssize_t i = 0; i < total; ++i) bound[i] = nullptr;
    if (count > positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional argument%s (%zd given)",
                     function, positional, positional == 1 ? "" : "s", count);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) bound[i] = args[i];
    const Py_ssize_t keywords = keyword_names ? PyTuple_GET_SIZE(keyword_names) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(keyword_names, k);
        Py_ssize_t slot = -1;
        Py_ssize_t i = 0;
        for (const char* name : names) {
            if (PyUnicode_CompareWithASCIIString(keyword, name) == 0) slot = i;
            ++i;
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                         keyword);
            return false;
        }
        if (bound[slot]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", function,
                         keyword);
            return false;
        }
        bound[slot] = args[count + k];
    }
    Py_ssize_t i = 0;
    for (const char* name : names) {
        if (i < required && !bound[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", function, name);
            return false;
        }
        ++i;
    }
    return true;
}

bool convert_offset(PyObject* object, std::uint64_t& out) {
    out = 0;
    if (!object) return true;
    if (convert_uint64(object, out)) return true;
    wrap_argument_error("offset_bits");
    return false;
}


// Every method of a codec whose construction failed (or that was cleared
// by the cycle collector) refuses to run.
[[gnu::cold]] bool raise_unusable() {
    PyErr_SetString(PyExc_ValueError, "the FrameCodec was not constructed");
    return false;
}

bool usable(PyObject* self) {
    return reinterpret_cast<FrameCodecObject*>(self)->compiled != nullptr || raise_unusable();
}

// ---- the object --------------------------------------------------------------

PyObject* deep_copy(PyObject* object) {
    PyRef copy_module(PyImport_ImportModule("copy"));
    if (!copy_module) return nullptr;
    return PyObject_CallMethod(copy_module.get(), "deepcopy", "O", object);
}

PyObject* codec_recipe(PyObject* self, void*) {
    if (!usable(self)) return nullptr;
    return deep_copy(compiled_of(self).recipe);
}

PyObject* codec_names(PyObject* self, void*) {
    if (!usable(self)) return nullptr;
    return Py_NewRef(compiled_of(self).names);
}

// _fields() -> ((name, encoding, bits, offset_bits, byte_order, reverse_bits, count), ...):
// the compiled fields in recipe order, each where it lies in the frame
// (an array: bits of one element, offset_bits of the first, and its count;
// count is None for a field of one value).
PyObject* codec_fields(PyObject* self, PyObject*) {
    if (!usable(self)) return nullptr;
    const Compiled& compiled = compiled_of(self);
    PyRef result(PyTuple_New(static_cast<Py_ssize_t>(compiled.fields.size())));
    if (!result) return nullptr;
    for (std::size_t j = 0; j < compiled.fields.size(); ++j) {
        const CompiledField& field = compiled.fields[j];
        const FrameField& layout = field.codec.layout;
        char order[16] = "big";  // "lsb_first", "little_lsb0", or up to eight digits
        if (layout.arrangement == Arrangement::lsb_first) {
            std::strcpy(order, "lsb_first");
        } else if (layout.arrangement == Arrangement::little_lsb0) {
            std::strcpy(order, "little_lsb0");
        } else if (layout.arrangement == Arrangement::permuted) {
            const std::uint32_t count = layout.bits / 8;
            for (std::uint32_t k = 0; k < count; ++k) {
                order[count - 1 - k] = static_cast<char>('0' + count - layout.permutation[k]);
            }
            order[count] = '\0';
        } else if (layout.order == ByteOrder::little) {
            std::strcpy(order, "little");
        }
        PyRef count = layout.count == 0 ? PyRef::borrow(Py_None) : PyRef(PyLong_FromUnsignedLong(layout.count));
        if (!count) return nullptr;
        PyObject* record = Py_BuildValue(
            "(OOIKsOO)", field.name, field.encoding, static_cast<unsigned int>(layout.bits),
            static_cast<unsigned long long>(layout.start), order, layout.reverse ? Py_True : Py_False,
            count.get());
        if (!record) return nullptr;
        PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(j), record);
    }
    return result.release();
}

PyObject* codec_size(PyObject* self, void*) {
    if (!usable(self)) return nullptr;
    return PyLong_FromUnsignedLongLong(compiled_of(self).size);
}

PyObject* codec_read_only(PyObject* self, void*) {
    if (!usable(self)) return nullptr;
    return PyBool_FromLong(compiled_of(self).read_only);
}

PyObject* codec_text_padding(PyObject* self, void*) {
    if (!usable(self)) return nullptr;
    return PyUnicode_FromString(compiled_of(self).strip_text ? "strip" : "keep");
}

PyObject* codec_reduce(PyObject* self, PyObject*) {
    if (!usable(self)) return nullptr;
    PyRef recipe(deep_copy(compiled_of(self).recipe));
    if (!recipe) return nullptr;
    const Compiled& compiled = compiled_of(self);
    if (!compiled.strip_text && !compiled.read_only) {
        return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), recipe.get());
    }
    PyRef copyreg(PyImport_ImportModule("copyreg"));
    if (!copyreg) return nullptr;
    PyRef make(PyObject_GetAttrString(copyreg.get(), "__newobj_ex__"));
    if (!make) return nullptr;
    return Py_BuildValue("(O(O(O){s:s,s:O}))", make.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)),
                         recipe.get(), "text_padding", compiled.strip_text ? "strip" : "keep",
                         "read_only", compiled.read_only ? Py_True : Py_False);
}

// A codec never changes, so a copy can be the codec itself.
PyObject* codec_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* codec_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, &FrameCodecType)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    if (!usable(self) || !usable(other)) return nullptr;
    if (compiled_of(self).strip_text != compiled_of(other).strip_text ||
        compiled_of(self).read_only != compiled_of(other).read_only) {
        return PyBool_FromLong(op == Py_NE);
    }
    return PyObject_RichCompare(compiled_of(self).recipe, compiled_of(other).recipe, op);
}

PyObject* codec_repr(PyObject* self) {
    if (!usable(self)) return nullptr;
    const Compiled& compiled = compiled_of(self);
    PyRef names(PyUnicode_FromString(", "));
    if (!names) return nullptr;
    PyRef quoted_names(PyList_New(0));
    if (!quoted_names) return nullptr;
    for (const CompiledField& field : compiled.fields) {
        PyRef text = quoted(field.name);
        if (!text || PyList_Append(quoted_names.get(), text.get()) < 0) return nullptr;
    }
    PyRef joined(PyUnicode_Join(names.get(), quoted_names.get()));
    if (!joined) return nullptr;
    PyRef type_name(PyType_GetFullyQualifiedName(Py_TYPE(self)));
    if (!type_name) return nullptr;
    return PyUnicode_FromFormat("<%U of %zu fields in %llu bytes: %U>", type_name.get(),
                                compiled.fields.size(),
                                static_cast<unsigned long long>(compiled.size), joined.get());
}

PyMethodDef kCodecMethods[] = {
    {"pack", codec_pack, METH_O,
     "pack($self, values, /)\n--\n\n"
     "One frame as bytes.  `values` maps field names to values, or lists them in field order; "
     "a field without a value takes its recipe item's \"value\"."},
    {"unpack", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(codec_unpack)),
     METH_FASTCALL | METH_KEYWORDS,
     "unpack($self, /, buffer, offset_bits=0)\n--\n\n"
     "The fields of the frame that starts `offset_bits` into `buffer`, as a dict in recipe "
     "order."},
    {"unpack_tuple", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(codec_unpack_tuple)),
     METH_FASTCALL | METH_KEYWORDS,
     "unpack_tuple($self, /, buffer, offset_bits=0)\n--\n\n"
     "The fields of the frame that starts `offset_bits` into `buffer`, as a tuple in recipe "
     "order (the values of unpack(), without their names; the faster form)."},
    {"_unpack_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(codec_unpack_many)),
     METH_FASTCALL | METH_KEYWORDS,
     "_unpack_many($self, /, buffer, *, frame_bytes=None, offset_bits=0, ignore_partial=False, "
     "errors='raise', threads=None, frame_offsets=None)\n--\n\n"
     "unpack_many's columns and failure records; frame_offsets (bytes of native uint64) places each frame."},
    {"_frame_count", codec_frame_count, METH_VARARGS, nullptr},
    {"_unpack_packets", codec_unpack_packets, METH_VARARGS, nullptr},
    {"_fields", codec_fields, METH_NOARGS, nullptr},
    {"__reduce__", codec_reduce, METH_NOARGS, nullptr},
    {"__copy__", codec_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", codec_copy, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kCodecGetSet[] = {
    {"size", codec_size, nullptr, "Bytes of a packed frame.", nullptr},
    {"names", codec_names, nullptr, "The field names, in recipe order.", nullptr},
    {"recipe", codec_recipe, nullptr, "A copy of the recipe the codec was made from.", nullptr},
    {"read_only", codec_read_only, nullptr,
     "True for a codec that only reads: its fields may overlap, and pack refuses.", nullptr},
    {"text_padding", codec_text_padding, nullptr,
     "'keep' or 'strip': whether text values keep the NUL bytes that pad them to their field.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};


PyTypeObject FrameCodecType = [] {
    // Every member zero, then the header, so that no member is left out of
    // an initialiser (-Wmissing-field-initializers).
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = "bitloom._frames.FrameCodec";
    type.tp_basicsize = sizeof(FrameCodecObject);
    type.tp_dealloc = codec_dealloc;
    type.tp_repr = codec_repr;
    type.tp_hash = PyObject_HashNotImplemented;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type.tp_doc = "FrameCodec(recipe, *, text_padding='keep', read_only=False)\n--\n\nA recipe compiled once, for packing and parsing "
                  "frames.";
    type.tp_traverse = codec_traverse;
    type.tp_clear = codec_clear;
    type.tp_richcompare = codec_richcompare;
    type.tp_methods = kCodecMethods;
    type.tp_getset = kCodecGetSet;
    type.tp_new = codec_new;
    return type;
}();

bool frame_codec_layouts(PyObject* codec, std::span<const FrameField>& out) {
    if (!PyObject_TypeCheck(codec, &FrameCodecType)) {
        PyErr_Format(PyExc_TypeError, "expected a FrameCodec, not '%s'", Py_TYPE(codec)->tp_name);
        return false;
    }
    if (!usable(codec)) return false;
    out = compiled_of(codec).layouts;
    return true;
}

}  // namespace bitloom::frames
