// The interpreter's side of the packet scan (frames/packet_scan.hpp): the
// header codec's compiled fields become the scan's rules, the caller's bytes
// are read once (copied first unless they are a bytes object), the scan and
// the grouping (frames/packet_groups.hpp) run without the interpreter lock
// in one pass, and the packets of each key come back as their offsets and
// sizes, and as one bytes object where they are copied.
#include "frames_module/packet_streams.hpp"

#include <algorithm>
#include <vector>

#include "frames/packet_groups.hpp"
#include "frames/packet_scan.hpp"
#include "frames_module/dump_decoding.hpp"
#include "frames_module/frame_codec.hpp"
#include "python/conversions.hpp"
#include "python/errors.hpp"
#include "python/python_ref.hpp"

namespace bitloom::frames {

namespace {

const char* problem_name(PacketProblem problem) noexcept {
    switch (problem) {
        case PacketProblem::partial_header: return "partial_header";
        case PacketProblem::past_end: return "past_end";
        case PacketProblem::impossible_length: return "impossible_length";
        case PacketProblem::unexpected_value: return "unexpected_value";
        default: return "none";
    }
}

bool field_at(std::span<const FrameField> layouts, Py_ssize_t index, const char* role, FrameField& out) {
    if (index < 0 || static_cast<std::size_t>(index) >= layouts.size()) {
        PyErr_Format(PyExc_IndexError, "the %s field is not a field of the header", role);
        return false;
    }
    out = layouts[static_cast<std::size_t>(index)];
    if (out.kind != ColumnKind::uint64 || out.bits > 64 || out.count != 0) {  // one value, not an array
        PyErr_Format(PyExc_ValueError, "the %s field must be an unsigned field", role);
        return false;
    }
    return true;
}

bool read_rules(PyObject* header, Py_ssize_t length_index, long long length_add, Py_ssize_t key_index,
                Py_ssize_t header_bytes, PyObject* expected, PyObject* known, PacketRules& rules) {
    std::span<const FrameField> layouts;
    if (!frame_codec_layouts(header, layouts) || !field_at(layouts, length_index, "length", rules.length) ||
        !field_at(layouts, key_index, "key", rules.key)) {
        return false;
    }
    rules.length_add = length_add;
    rules.header_bytes = static_cast<std::size_t>(std::max<Py_ssize_t>(header_bytes, 0));
    PyRef pairs(PySequence_Tuple(expected));
    if (!pairs) return false;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(pairs.get()); ++k) {
        Py_ssize_t index = 0;
        unsigned long long value = 0;
        if (!PyArg_ParseTuple(PyTuple_GET_ITEM(pairs.get(), k), "nK", &index, &value)) return false;
        ExpectedValue entry;
        if (!field_at(layouts, index, "expected", entry.field)) return false;
        entry.value = value;
        rules.expected.push_back(entry);
    }
    if (known != Py_None) {
        PyRef keys(PySequence_Tuple(known));
        if (!keys) return false;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(keys.get()); ++k) {
            std::uint64_t key = 0;
            if (!convert_uint64(PyTuple_GET_ITEM(keys.get(), k), key)) return false;
            rules.known_keys.push_back(key);
        }
        std::sort(rules.known_keys.begin(), rules.known_keys.end());
        // No codec at all still means "no key is known", not "any key".
        if (rules.known_keys.empty()) rules.known_keys.push_back(UINT64_MAX);
    }
    prepare_rules(rules);
    return true;
}

PyObject* new_bytes(std::uint64_t size) {
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    return PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
}

std::uint8_t* bytes_of(PyObject* object) noexcept {
    return object ? reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(object)) : nullptr;
}

bool is_known(const PacketRules& rules, std::uint64_t key) noexcept {
    return rules.known_keys.empty() || std::binary_search(rules.known_keys.begin(), rules.known_keys.end(), key);
}

// A bytes object of native uint64 values, made by new_bytes: its storage
// is aligned for them.
std::uint64_t* words_of(PyObject* object) noexcept {
    return object ? reinterpret_cast<std::uint64_t*>(PyBytes_AS_STRING(object)) : nullptr;
}

// A group's result objects: the packets one after the other (where they
// are copied), their offsets and their sizes, each null where not needed.
struct GroupObjects {
    PyObject* data = nullptr;
    PyObject* offsets = nullptr;
    PyObject* sizes = nullptr;
};

PyObject* scan_packets_body(PyObject* args) {
    PyObject* header = nullptr;
    PyObject* buffer = nullptr;
    Py_ssize_t length_index = 0;
    long long length_add = 0;
    Py_ssize_t key_index = 0;
    Py_ssize_t header_bytes = 0;
    PyObject* expected = nullptr;
    PyObject* known = nullptr;
    int skip_problems = 0;
    int at_end = 1;
    int keep_unknown = 0;
    int gather = 1;
    if (!PyArg_ParseTuple(args, "OOnLnnOOppp|p:_scan_packets", &header, &buffer, &length_index, &length_add,
                          &key_index, &header_bytes, &expected, &known, &skip_problems, &at_end,
                          &keep_unknown, &gather)) {
        return nullptr;
    }
    PacketRules rules;
    if (!read_rules(header, length_index, length_add, key_index, header_bytes, expected, known, rules)) {
        return nullptr;
    }
    Py_buffer view{};
    const bool immutable = PyBytes_CheckExact(buffer);
    std::span<const std::uint8_t> data;
    std::vector<std::uint8_t> copy;
    if (immutable) {
        data = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(buffer)),
                static_cast<std::size_t>(PyBytes_GET_SIZE(buffer))};
    } else {
        if (PyObject_GetBuffer(buffer, &view, PyBUF_SIMPLE) < 0) return nullptr;
        // Read once: another thread may change a bytearray or an mmap, and
        // the headers are read by the scan and again by the gathering.
        try {
            copy.assign(static_cast<const std::uint8_t*>(view.buf),
                        static_cast<const std::uint8_t*>(view.buf) + view.len);
        } catch (const std::bad_alloc&) {
            PyBuffer_Release(&view);
            return PyErr_NoMemory();
        }
        PyBuffer_Release(&view);
        data = copy;
    }

    // Packets of keys without a codec are counted only, unless kept.
    const std::span<const std::uint64_t> kept =
        keep_unknown ? std::span<const std::uint64_t>{} : std::span<const std::uint64_t>{rules.known_keys};
    // Copying every group's packets (a split) takes a second pass in stream
    // order; otherwise the groups keep lists, in one pass.
    PacketGroups groups(kept, rules.key.bits, data, /*lists=*/!gather);
    ScanRequest request;
    request.data = data;
    request.skip_problems = skip_problems != 0;
    request.at_end = at_end != 0;
    request.sink = &groups;
    Released released;
    request.poll = poll_signals;
    request.poll_context = &released;
    ScanOutcome outcome;
    released.state = PyEval_SaveThread();
    const bool scanned = scan_packets(request, rules, outcome);
    PyEval_RestoreThread(released.state);
    if (PyErr_Occurred()) return nullptr;
    if (!scanned) {
        if (outcome.out_of_memory) return PyErr_NoMemory();
        PyErr_SetString(PyExc_RuntimeError, "the packet scan stopped");
        return nullptr;
    }
    // The objects first, exactly as large as they need to be; then they are
    // filled without the lock.
    std::vector<PyRef> objects;
    std::vector<GroupObjects> made(groups.groups.size());
    bool any = false;
    for (std::size_t g = 0; g < groups.groups.size(); ++g) {
        const PacketGroup& group = groups.groups[g];
        const bool copied = gather || !is_known(rules, group.key);
        const bool by_offset = !group.contiguous || (group.uniform_size == 0 && !copied);
        PyRef packed(copied ? new_bytes(group.bytes) : Py_NewRef(Py_None));
        PyRef offsets(by_offset ? new_bytes(group.count * 8) : Py_NewRef(Py_None));
        PyRef sizes(group.uniform_size == 0 || copied ? new_bytes(group.count * 8) : Py_NewRef(Py_None));
        if (!packed || !offsets || !sizes) return nullptr;
        made[g] = {packed.get() == Py_None ? nullptr : packed.get(),
                   offsets.get() == Py_None ? nullptr : offsets.get(),
                   sizes.get() == Py_None ? nullptr : sizes.get()};
        any |= made[g].data || made[g].offsets || made[g].sizes;
        objects.push_back(std::move(packed));
        objects.push_back(std::move(offsets));
        objects.push_back(std::move(sizes));
    }
    if (any && gather) {
        std::vector<GroupCopy> copies(made.size());
        for (std::size_t g = 0; g < made.size(); ++g) {
            copies[g] = {bytes_of(made[g].data), words_of(made[g].offsets), words_of(made[g].sizes)};
        }
        groups.start_copying(copies);
        ScanOutcome again;  // the same scan: the same packets, copied
        released.state = PyEval_SaveThread();
        const bool copied = scan_packets(request, rules, again);
        PyEval_RestoreThread(released.state);
        if (PyErr_Occurred()) return nullptr;
        if (!copied) {
            PyErr_SetString(PyExc_RuntimeError, "the packet scan stopped");
            return nullptr;
        }
    } else if (any) {
        released.state = PyEval_SaveThread();
        for (std::size_t g = 0; g < groups.groups.size(); ++g) {
            const PacketGroup& group = groups.groups[g];
            if (made[g].data) group.gather(data, bytes_of(made[g].data));
            if (made[g].offsets) group.write_offsets(words_of(made[g].offsets));
            if (made[g].sizes) group.write_sizes(words_of(made[g].sizes));
        }
        PyEval_RestoreThread(released.state);
    }
    const std::uint64_t unknown = groups.unknown;
    PyRef result_groups(PyDict_New());
    if (!result_groups) return nullptr;
    for (std::size_t g = 0; g < groups.groups.size(); ++g) {
        const PacketGroup& group = groups.groups[g];
        PyRef key(PyLong_FromUnsignedLongLong(group.key));
        if (!key) return nullptr;
        PyRef entry(Py_BuildValue("(OOOKKn)", made[g].data ? made[g].data : Py_None,
                                  made[g].offsets ? made[g].offsets : Py_None,
                                  made[g].sizes ? made[g].sizes : Py_None,
                                  static_cast<unsigned long long>(group.uniform_size),
                                  static_cast<unsigned long long>(group.first_offset),
                                  static_cast<Py_ssize_t>(group.count)));
        if (!entry || PyDict_SetItem(result_groups.get(), key.get(), entry.get()) < 0) return nullptr;
    }
    PyRef problems(PyList_New(0));
    if (!problems) return nullptr;
    for (const ScanProblem& problem : outcome.problems) {
        PyRef record(Py_BuildValue("(KsKnKK)", static_cast<unsigned long long>(problem.offset),
                                   problem_name(problem.problem), static_cast<unsigned long long>(problem.size),
                                   static_cast<Py_ssize_t>(problem.expected_index),
                                   static_cast<unsigned long long>(problem.found),
                                   static_cast<unsigned long long>(problem.resumed_at)));
        if (!record || PyList_Append(problems.get(), record.get()) < 0) return nullptr;
    }
    return Py_BuildValue("(OOKn)", result_groups.get(), problems.get(),
                         static_cast<unsigned long long>(outcome.consumed), static_cast<Py_ssize_t>(unknown));
}

}  // namespace

// _scan_packets(header, buffer, length_index, length_add, key_index,
//               header_bytes, expected, known_keys, skip_problems, at_end,
//               keep_unknown, gather=True)
//   -> ({key: (data, offsets, sizes, uniform_size, first_offset, count)},
//       [(offset, problem, size,
//       expected_index, found, resumed_at)], consumed, unknown_count)
// offsets and sizes are native uint64 arrays, one entry per packet;
// uniform_size is the packets' size where all of a key's are alike, else 0.
// data (the packets one after the other) is None for the keys with a codec
// (unless `gather`): their codecs read them where they lie in the stream.
// sizes is None where uniform_size says it all and data is None; offsets
// is None where the key's packets lie one after the other from
// first_offset, and also all alike where data is None.
//
// Lists that cannot grow (out of memory) raise MemoryError, not a C++
// exception; the scan and the filling, without the lock, throw nothing.
PyObject* scan_packets_function(PyObject*, PyObject* args) {
    return guard([&] { return scan_packets_body(args); });
}

}  // namespace bitloom::frames
