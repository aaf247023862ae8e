#include "frames_module/dump_decoding.hpp"

#include <algorithm>
#include <memory>
#include <vector>

#include "frames/bulk_decode.hpp"
#include "frames_module/columns.hpp"
#include "python/errors.hpp"
#include "python/python_ref.hpp"

namespace bitloom::frames {

bool poll_signals(void* context) {
    auto* released = static_cast<Released*>(context);
    PyEval_RestoreThread(released->state);
    const bool running = PyErr_CheckSignals() == 0;
    released->state = PyEval_SaveThread();
    return running;
}

namespace {

constexpr unsigned kMostThreads = 64;

bool is_array(const DumpRequest& request, const FieldFailure& failure) noexcept {
    return request.fields[failure.field_index].count != 0;
}

[[gnu::cold]] PyObject* failure_label(const DumpRequest& request, const FieldFailure& failure) {
    PyObject* name = PyTuple_GET_ITEM(request.names, static_cast<Py_ssize_t>(failure.field_index));
    PyRef quoted(PyUnicode_Type.tp_repr(name));
    if (!quoted) return nullptr;
    if (is_array(request, failure)) {
        return PyUnicode_FromFormat("frame %zu (byte %llu), field %U, element %llu", failure.frame,
                                    static_cast<unsigned long long>(failure.frame) * request.frame_bytes,
                                    quoted.get(), static_cast<unsigned long long>(failure.element));
    }
    return PyUnicode_FromFormat("frame %zu (byte %llu), field %U", failure.frame,
                                static_cast<unsigned long long>(failure.frame) * request.frame_bytes,
                                quoted.get());
}

[[gnu::cold]] PyObject* raise_failure(const DumpRequest& request, const FieldFailure& failure) {
    PyRef label(failure_label(request, failure));
    if (!label) return nullptr;
    raise_codec_error(failure.error);
    PyRef raised(PyErr_GetRaisedException());
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(raised.get()));
    PyRef args(PyException_GetArgs(raised.get()));
    if (args && PyTuple_GET_SIZE(args.get()) == 1 && PyUnicode_Check(PyTuple_GET_ITEM(args.get(), 0))) {
        PyRef message(PyUnicode_FromFormat("%U: %U", label.get(), PyTuple_GET_ITEM(args.get(), 0)));
        if (message) PyErr_SetObject(type, message.get());
        return nullptr;
    }
    PyErr_SetRaisedException(raised.release());
    return nullptr;
}

PyObject* failure_records(const DumpRequest& request, const std::vector<FieldFailure>& failures) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(failures.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < failures.size(); ++k) {
        const FieldFailure& failure = failures[k];
        PyObject* name = PyTuple_GET_ITEM(request.names, static_cast<Py_ssize_t>(failure.field_index));
        // An array's record names the array, and its message the element.
        PyRef message(PyUnicode_FromStringAndSize(failure.error.message.data(),
                                                  static_cast<Py_ssize_t>(failure.error.message.size())));
        if (message && is_array(request, failure)) {
            message = PyRef(PyUnicode_FromFormat("element %llu: %U", static_cast<unsigned long long>(failure.element),
                                                 message.get()));
        }
        if (!message) return nullptr;
        PyObject* record = Py_BuildValue(
            "(nKOO)", static_cast<Py_ssize_t>(failure.frame),
            static_cast<unsigned long long>(failure.frame) * request.frame_bytes, name, message.get());
        if (!record) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), record);
    }
    return list.release();
}

}  // namespace

bool parse_errors_option(PyObject* object, bool& null_on_error) {
    null_on_error = false;
    if (!object) return true;
    if (PyUnicode_Check(object)) {
        if (PyUnicode_CompareWithASCIIString(object, "raise") == 0) return true;
        if (PyUnicode_CompareWithASCIIString(object, "null") == 0) {
            null_on_error = true;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "errors must be 'raise' or 'null', not %R", object);
    return false;
}

bool parse_threads_option(PyObject* object, unsigned& threads) {
    if (!object || object == Py_None) {
        // The calling thread alone: measured on an idle two-core machine, a
        // second thread made a dump slower (the kernel zeroing the fresh
        // column memory for both threads costs more than the split saves).
        threads = 1;
        return true;
    }
    const long long requested = PyLong_Check(object) ? PyLong_AsLongLong(object) : -2;
    if (requested == -1 && PyErr_Occurred()) PyErr_Clear();
    if (!PyLong_Check(object) || PyBool_Check(object) || requested < 1 || requested > kMostThreads) {
        PyErr_Format(PyExc_ValueError, "threads must be None or an int from 1 to %u, not %R", kMostThreads,
                     object);
        return false;
    }
    threads = static_cast<unsigned>(requested);
    return true;
}

bool decode_to_columns(const DumpRequest& request, DecodedColumns& out) {
    const std::size_t field_count = request.fields.size();
    std::vector<ColumnPlan> plans;
    std::vector<ColumnType> types;
    std::vector<std::uint32_t> list_sizes;
    std::unique_ptr<bool[]> large(new bool[field_count + 1]);
    plans.reserve(field_count);
    types.reserve(field_count);
    list_sizes.reserve(field_count);
    out.memories.assign(field_count, nullptr);
    for (std::size_t j = 0; j < field_count; ++j) {
        plans.push_back(plan_column(request.fields[j], j, request.offset_bits));
        const ColumnPlan& plan = plans.back();
        types.push_back(plan.type);
        list_sizes.push_back(plan.field.count);
        large[j] = has_offsets(plan.type) && needs_large_offsets(plan, request.frames);
    }
    if (!ColumnMemory::create_many(types, {large.get(), field_count}, request.frames, out.memories, list_sizes)) {
        PyErr_NoMemory();
        return false;
    }
    DecodeRequest decode;
    decode.data = request.data;
    decode.immutable = request.immutable;
    decode.frame_bytes = request.frame_bytes;
    decode.count = request.frames;
    decode.frame_offsets = request.frame_offsets;
    decode.null_on_error = request.null_on_error;
    decode.strip_text = request.strip_text;
    decode.threads = request.threads;
    Released released;
    decode.poll = poll_signals;
    decode.poll_context = &released;
    DecodeOutcome outcome;
    released.state = PyEval_SaveThread();
    const bool decoded = decode_columns(decode, plans, out.memories, outcome);
    PyEval_RestoreThread(released.state);
    if (PyErr_Occurred()) return false;  // a signal handler raised
    if (outcome.out_of_memory) {
        PyErr_NoMemory();
        return false;
    }
    if (!decoded) {
        if (!outcome.failures.empty()) {
            raise_failure(request, outcome.failures.front());
            return false;
        }
        PyErr_SetString(PyExc_RuntimeError, "decoding stopped");
        return false;
    }
    out.failures = std::move(outcome.failures);
    return true;
}

PyObject* decode_dump(const DumpRequest& request) {
    DecodedColumns decoded;
    if (!decode_to_columns(request, decoded)) return nullptr;
    PyRef columns(PyDict_New());
    if (!columns) return nullptr;
    for (std::size_t j = 0; j < request.fields.size(); ++j) {
        PyRef column(wrap_column(std::exchange(decoded.memories[j], nullptr)));
        if (!column ||
            PyDict_SetItem(columns.get(), PyTuple_GET_ITEM(request.names, static_cast<Py_ssize_t>(j)),
                           column.get()) < 0) {
            return nullptr;
        }
    }
    PyRef failures(failure_records(request, decoded.failures));
    if (!failures) return nullptr;
    return PyTuple_Pack(2, columns.get(), failures.get());
}

}  // namespace bitloom::frames
