// FrameCodec._unpack_packets: packets whose array varies in length, read
// into columns (frames/variable_arrays.hpp).  The codec is that of the
// fields around the array (those after it placed as if it were empty); the
// element is a codec of one field.  The count of every packet is found
// first, then the fields before the array are decoded by the bulk decoder
// at each packet's start, the fields after it at each packet's array end
// (one pass per bit phase that end has, joined in packet order), and the
// elements into one list column with int32 offsets.
#include "frames_module/frame_codec.hpp"
#include "frames_module/codec_state.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "frames/bulk_decode.hpp"
#include "frames/variable_arrays.hpp"
#include "frames_module/columns.hpp"
#include "frames_module/dump_decoding.hpp"
#include "python/errors.hpp"
#include "python/python_ref.hpp"
#include "python/stack_room.hpp"

namespace bitloom::frames {

namespace {

[[gnu::cold]] PyObject* raise_fault(const CountOutcome& outcome, std::uint64_t offset, std::uint64_t size,
                                    PyObject* array_name, const VariableArray& array) {
    PyRef name = quoted(array_name);
    if (!name) return nullptr;
    const auto at = static_cast<unsigned long long>(offset);
    const auto bytes = static_cast<unsigned long long>(size);
    switch (outcome.fault) {
        case PacketFault::shorter_than_fields:
            PyErr_Format(PyExc_ValueError, "the packet at byte offset %llu: a packet of %llu bytes is shorter than "
                         "the fields around array %U", at, bytes, name.get());
            break;
        case PacketFault::partial_element:
            PyErr_Format(PyExc_ValueError, "the packet at byte offset %llu: a packet of %llu bytes leaves %llu bits "
                         "for array %U, not a whole number of %u-bit elements", at, bytes,
                         static_cast<unsigned long long>(outcome.value), name.get(), array.element_bits);
            break;
        case PacketFault::count_past_end:
            PyErr_Format(PyExc_ValueError, "the packet at byte offset %llu: array %U has %llu elements by its "
                         "count field, which pass the end of the %llu-byte packet", at, name.get(),
                         static_cast<unsigned long long>(outcome.value), bytes);
            break;
        default:
            PyErr_Format(PyExc_ValueError, "the packet at byte offset %llu: the count of array %U does not decode",
                         at, name.get());
            break;
    }
    return nullptr;
}

// Fields of no bits take no bytes of a packet, which may then end where
// the data does: such frames are read from one zero byte of their own.
constexpr std::uint8_t kZeroByte[1] = {0};

void read_nothing(DumpRequest& request, std::vector<std::uint64_t>& zeros) {
    zeros.assign(request.frames, 0);
    request.data = kZeroByte;
    request.frame_bytes = 1;
    request.frame_offsets = zeros.data();
}

std::span<const std::uint64_t> uint64s(PyObject* bytes) noexcept {
    // A bytes object cannot change, and its 8-byte items are aligned.
    return {reinterpret_cast<const std::uint64_t*>(PyBytes_AS_STRING(bytes)),
            static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)) / 8};
}

// The fields after the array: one decode per bit phase of the array's end,
// each pass reading its packets from the byte where their array ends.
bool decode_after(const Compiled& compiled, std::size_t position, std::span<const std::uint8_t> data,
                  std::span<const std::uint64_t> offsets, std::span<const std::uint64_t> counts,
                  const VariableArray& array, DecodedColumns& out) {
    const std::span<const FrameField> after = std::span<const FrameField>(compiled.layouts).subspan(position);
    PyRef names(PyTuple_GetSlice(compiled.names, static_cast<Py_ssize_t>(position), PY_SSIZE_T_MAX));
    if (!names) return false;
    std::vector<std::uint64_t> phase_offsets[8];
    std::vector<ColumnMemory::RowSource> rows(offsets.size());
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        const std::uint64_t end = array.before_bits + counts[i] * array.element_bits;
        const auto phase = static_cast<std::uint32_t>(end % 8);
        rows[i] = {phase, phase_offsets[phase].size()};
        phase_offsets[phase].push_back(offsets[i] + end / 8);
    }
    std::vector<DecodedColumns> parts(8);
    std::vector<std::uint32_t> used;
    for (std::uint32_t phase = 0; phase < 8; ++phase) {
        if (phase_offsets[phase].empty() && !(offsets.empty() && phase == 0)) continue;
        // Each field where it lies after an array that ends `phase` bits
        // into a byte: its position after an empty array, moved.
        std::vector<FrameField> fields;
        fields.reserve(after.size());
        for (const FrameField& field : after) fields.push_back(field.at(field.start - array.before_bits + phase));
        DumpRequest request;
        request.fields = fields;
        request.names = names.get();
        request.data = data;
        request.frame_bytes = static_cast<std::size_t>((phase + array.after_bits + 7) / 8);
        request.frames = phase_offsets[phase].size();
        request.frame_offsets = phase_offsets[phase].data();
        request.strip_text = compiled.strip_text;
        std::vector<std::uint64_t> zeros;
        if (request.frame_bytes == 0) read_nothing(request, zeros);
        if (!decode_to_columns(request, parts[phase])) return false;
        used.push_back(phase);
    }
    if (used.size() == 1) {
        out = std::move(parts[used[0]]);
        return true;
    }
    // Packets whose arrays end at different phases: their rows joined in
    // packet order.
    out.memories.assign(after.size(), nullptr);
    std::vector<ColumnMemory*> sources(8, nullptr);
    for (std::size_t j = 0; j < after.size(); ++j) {
        for (std::uint32_t phase : used) sources[phase] = parts[phase].memories[j];
        for (std::uint32_t phase = 0; phase < 8; ++phase) {
            if (!sources[phase]) sources[phase] = sources[used[0]];  // never read: no row names it
        }
        out.memories[j] = ColumnMemory::gather_rows(sources, rows);
        if (!out.memories[j]) {
            PyErr_NoMemory();
            return false;
        }
        std::fill(sources.begin(), sources.end(), nullptr);
    }
    return true;
}

PyObject* unpack_packets(PyObject* self, PyObject* args) {
    if (!usable(self)) return nullptr;
    const Compiled& compiled = compiled_of(self);
    PyObject* buffer = nullptr;
    PyObject* offsets_object = nullptr;
    PyObject* sizes_object = nullptr;
    PyObject* element = nullptr;
    PyObject* array_name = nullptr;
    Py_ssize_t position = 0;
    Py_ssize_t count_index = 0;
    unsigned long long before_bits = 0;
    unsigned long long after_bits = 0;
    if (!PyArg_ParseTuple(args, "OO!O!OnnKKU:_unpack_packets", &buffer, &PyBytes_Type, &offsets_object,
                          &PyBytes_Type, &sizes_object, &element, &position, &count_index, &before_bits,
                          &after_bits, &array_name)) {
        return nullptr;
    }
    std::span<const FrameField> element_layouts;
    if (!frame_codec_layouts(element, element_layouts)) return nullptr;
    const std::span<const std::uint64_t> offsets = uint64s(offsets_object);
    const std::span<const std::uint64_t> sizes = uint64s(sizes_object);
    const bool valid = element_layouts.size() == 1 && is_numeric(element_layouts[0].kind) &&
                       element_layouts[0].bits != 0 && element_layouts[0].count == 0 && position >= 0 &&
                       static_cast<std::size_t>(position) <= compiled.layouts.size() && count_index < position &&
                       PyBytes_GET_SIZE(offsets_object) % 8 == 0 && offsets.size() == sizes.size() &&
                       PyBytes_GET_SIZE(sizes_object) % 8 == 0 && before_bits <= UINT32_MAX * 64ull &&
                       after_bits <= UINT32_MAX * 64ull;
    if (!valid) {
        PyErr_SetString(PyExc_ValueError, "not the parts of an array of variable length");
        return nullptr;
    }
    BufferView view;
    if (!view.acquire(buffer)) return nullptr;
    const std::span<const std::uint8_t> data = view.data();
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        if (offsets[i] > data.size() || sizes[i] > data.size() - offsets[i]) {
            PyErr_Format(PyExc_ValueError, "packet %zu at byte offset %llu passes the end of the buffer", i,
                         static_cast<unsigned long long>(offsets[i]));
            return nullptr;
        }
    }
    VariableArray array;
    array.before_bits = before_bits;
    array.after_bits = after_bits;
    array.element_bits = element_layouts[0].bits;
    array.count_field = count_index >= 0 ? &compiled.layouts[static_cast<std::size_t>(count_index)] : nullptr;
    const std::size_t packets = offsets.size();
    std::vector<std::uint64_t> counts(packets);
    CountOutcome fault;
    if (!count_elements(data, offsets, sizes, array, counts, fault)) {
        return raise_fault(fault, offsets[fault.packet], sizes[fault.packet], array_name, array);
    }
    // The list column's offsets: every element of the batch in one buffer.
    std::uint64_t total = 0;
    for (std::uint64_t count : counts) total += count;
    if (total > static_cast<std::uint64_t>(INT32_MAX)) {
        PyErr_Format(PyExc_ValueError, "array %R has %llu elements in these packets, more than a list column "
                     "holds (2147483647): decode fewer packets at a time", array_name,
                     static_cast<unsigned long long>(total));
        return nullptr;
    }
    FrameField first = element_layouts[0].at(before_bits);
    first.count = 1;  // the loops of arrays; each packet's count replaces it
    const ColumnPlan plan = plan_column(first, static_cast<std::size_t>(position), 0);
    ColumnMemory* list = ColumnMemory::create_list(plan.type, packets, static_cast<std::size_t>(total));
    if (!list) return PyErr_NoMemory();
    PyRef list_column(wrap_column(list));
    if (!list_column) return nullptr;
    list->list_offsets[0] = 0;
    for (std::size_t i = 0; i < packets; ++i) {
        list->list_offsets[i + 1] = list->list_offsets[i] + static_cast<std::int32_t>(counts[i]);
    }

    DecodedColumns before;
    if (position > 0) {
        PyRef names(PyTuple_GetSlice(compiled.names, 0, position));
        if (!names) return nullptr;
        DumpRequest request;
        request.fields = std::span<const FrameField>(compiled.layouts).first(static_cast<std::size_t>(position));
        request.names = names.get();
        request.data = data;
        request.frame_bytes = static_cast<std::size_t>((before_bits + 7) / 8);
        request.frames = packets;
        request.frame_offsets = offsets.data();
        request.strip_text = compiled.strip_text;
        std::vector<std::uint64_t> zeros;
        if (request.frame_bytes == 0) read_nothing(request, zeros);
        if (!decode_to_columns(request, before)) return nullptr;
    }
    DecodedColumns after;
    if (static_cast<std::size_t>(position) < compiled.layouts.size() &&
        !decode_after(compiled, static_cast<std::size_t>(position), data, offsets, counts, array, after)) {
        return nullptr;
    }
    ListRequest request;
    request.data = data;
    request.offsets = offsets;
    request.sizes = sizes;
    Released released;
    request.poll = poll_signals;
    request.poll_context = &released;
    DecodeOutcome outcome;
    released.state = PyEval_SaveThread();
    const bool decoded = decode_list_rows(request, plan, *list, outcome);
    PyEval_RestoreThread(released.state);
    if (PyErr_Occurred()) return nullptr;
    if (outcome.out_of_memory) return PyErr_NoMemory();
    if (!decoded) {
        if (!outcome.failures.empty()) {
            const FieldFailure& failure = outcome.failures.front();
            raise_codec_error(failure.error);
            PyRef where(PyUnicode_FromFormat("the packet at byte offset %llu, array %R, element %llu",
                                             static_cast<unsigned long long>(offsets[failure.frame]), array_name,
                                             static_cast<unsigned long long>(failure.element)));
            locate_pending_error(where.get());
            return nullptr;
        }
        PyErr_SetString(PyExc_RuntimeError, "decoding stopped");
        return nullptr;
    }

    PyRef columns(PyDict_New());
    if (!columns) return nullptr;
    const std::size_t field_count = compiled.layouts.size();
    for (std::size_t j = 0; j <= field_count; ++j) {
        if (j == static_cast<std::size_t>(position)) {
            if (PyDict_SetItem(columns.get(), array_name, list_column.get()) < 0) return nullptr;
        }
        if (j == field_count) break;
        DecodedColumns& part = j < static_cast<std::size_t>(position) ? before : after;
        const std::size_t index = j < static_cast<std::size_t>(position) ? j : j - static_cast<std::size_t>(position);
        PyRef column(wrap_column(std::exchange(part.memories[index], nullptr)));
        if (!column || PyDict_SetItem(columns.get(), PyTuple_GET_ITEM(compiled.names, static_cast<Py_ssize_t>(j)),
                                      column.get()) < 0) {
            return nullptr;
        }
    }
    return columns.release();
}

}  // namespace

// _unpack_packets(buffer, offsets, sizes, element, position, count_index,
//                 before_bits, after_bits, array_name) -> {name: column}
// offsets and sizes: bytes of native uint64, one per packet; count_index:
// the field before the array that holds its count, or -1 for "rest".
PyObject* codec_unpack_packets(PyObject* self, PyObject* args) {
    return guarded_entry("FrameCodec._unpack_packets", [&] { return unpack_packets(self, args); });
}

}  // namespace bitloom::frames
