// The interpreter's side of the packet scan (frames/packet_scan.hpp): the
// header codec's compiled fields become the scan's rules, the caller's bytes
// are read once (copied first unless they are a bytes object), the scan and
// the gathering run without the interpreter lock, and the packets of each
// key come back as one bytes object with their offsets and sizes.
#include "frames_module/packet_streams.hpp"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "frames/packet_scan.hpp"
#include "frames_module/dump_decoding.hpp"
#include "frames_module/frame_codec.hpp"
#include "python/conversions.hpp"
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

// One key's packets, as the first scan counts them and the second writes
// them into the result's objects.
struct Group {
    std::uint64_t key = 0;
    bool copied = false;             // the bytes are gathered: raw packets
    bool contiguous = true;          // each packet follows the one before
    std::uint64_t uniform_size = 0;  // every packet's size, or 0 where they differ
    std::uint64_t first_offset = 0;
    std::uint64_t next_offset = 0;
    std::uint64_t bytes = 0;
    std::size_t count = 0;
    PyObject* data = nullptr;     // the result's objects (owned by the caller), or null
    PyObject* offsets = nullptr;
    PyObject* sizes = nullptr;
    std::uint64_t filled_bytes = 0;
    std::size_t filled = 0;
};

// The packets of the scans, by key, in the order keys first appear.  The
// first scan counts; make_results makes the objects, exactly as large as
// they need to be; the second scan (only where some key needs one) writes
// the offsets of scattered packets, sizes that differ, and the packets of
// keys without a codec.  A codec reads scattered packets by offset: copying
// them together first costs more here (fresh pages for the copy) than its
// pass over the stream.
class GroupSink final : public PacketSink {
  public:
    GroupSink(const PacketRules& rules, bool keep_unknown, bool gather, std::span<const std::uint8_t> data)
        : rules_(rules), keep_unknown_(keep_unknown), gather_(gather), data_(data) {}

    std::vector<Group> groups;
    std::size_t unknown = 0;

    void packets(std::span<const PacketSpan> packets) override {
        if (filling_) {
            for (const PacketSpan& packet : packets) fill(packet);
        } else {
            for (const PacketSpan& packet : packets) count(packet);
        }
    }

    // The objects of every group, kept in `objects`; whether a second scan
    // is needed to fill them.  False with an exception set.
    bool make_results(std::vector<PyRef>& objects, bool& second_scan) {
        second_scan = false;
        for (Group& group : groups) {
            group.copied = gather_ || !is_known(group.key);
            PyRef data(group.copied ? new_bytes(group.bytes) : Py_NewRef(Py_None));
            PyRef offsets(group.contiguous ? Py_NewRef(Py_None) : new_bytes(std::uint64_t{group.count} * 8));
            PyRef sizes(group.uniform_size == 0 || group.copied ? new_bytes(std::uint64_t{group.count} * 8)
                                                                : Py_NewRef(Py_None));
            if (!data || !offsets || !sizes) return false;
            group.data = data.get() == Py_None ? nullptr : data.get();
            group.offsets = offsets.get() == Py_None ? nullptr : offsets.get();
            group.sizes = sizes.get() == Py_None ? nullptr : sizes.get();
            second_scan |= group.data || group.offsets || group.sizes;
            objects.push_back(std::move(data));
            objects.push_back(std::move(offsets));
            objects.push_back(std::move(sizes));
        }
        filling_ = true;
        has_last_ = false;
        return true;
    }

  private:
    static constexpr std::uint32_t kNotKept = UINT32_MAX;

    void count(const PacketSpan& packet) {
        const std::uint32_t at = group_of(packet.key);
        if (at == kNotKept) {
            ++unknown;
            return;
        }
        Group& group = groups[at];
        if (group.count == 0) {
            group.uniform_size = packet.size;
            group.first_offset = packet.offset;
            group.next_offset = packet.offset;
        }
        if (packet.size != group.uniform_size) group.uniform_size = 0;
        if (packet.offset != group.next_offset) group.contiguous = false;
        group.next_offset = packet.offset + packet.size;
        group.bytes += packet.size;
        ++group.count;
    }

    // The same packets again, in the same order.
    void fill(const PacketSpan& packet) noexcept {
        const std::uint32_t at = group_of_seen(packet.key);
        if (at == kNotKept) return;
        Group& group = groups[at];
        if (group.data) {
            std::memcpy(bytes_of(group.data) + group.filled_bytes, data_.data() + packet.offset, packet.size);
        }
        if (group.offsets) std::memcpy(bytes_of(group.offsets) + group.filled * 8, &packet.offset, 8);
        if (group.sizes) std::memcpy(bytes_of(group.sizes) + group.filled * 8, &packet.size, 8);
        group.filled_bytes += packet.size;
        ++group.filled;
    }

    bool is_known(std::uint64_t key) const noexcept {
        return rules_.known_keys.empty() ||
               std::binary_search(rules_.known_keys.begin(), rules_.known_keys.end(), key);
    }

    // Streams have few keys, often in runs: the last key's group first.
    std::uint32_t group_of(std::uint64_t key) {
        if (has_last_ && key == last_key_) return last_group_;
        std::uint32_t at = kNotKept;
        if (keep_unknown_ || is_known(key)) {
            auto [where, added] = index_.try_emplace(key, static_cast<std::uint32_t>(groups.size()));
            if (added) {
                groups.emplace_back();
                groups.back().key = key;
            }
            at = where->second;
        }
        has_last_ = true;
        last_key_ = key;
        last_group_ = at;
        return at;
    }

    // Every key was met by the first scan: a lookup that adds nothing.
    std::uint32_t group_of_seen(std::uint64_t key) noexcept {
        if (has_last_ && key == last_key_) return last_group_;
        const auto where = index_.find(key);
        has_last_ = true;
        last_key_ = key;
        last_group_ = where == index_.end() ? kNotKept : where->second;
        return last_group_;
    }

    const PacketRules& rules_;
    bool keep_unknown_;
    bool gather_;
    std::span<const std::uint8_t> data_;
    bool filling_ = false;
    std::unordered_map<std::uint64_t, std::uint32_t> index_;
    bool has_last_ = false;
    std::uint64_t last_key_ = 0;
    std::uint32_t last_group_ = kNotKept;
};

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
// whose packets lie one after the other in the stream (unless `gather`):
// their codecs read them where they lie;
// sizes is None where uniform_size says it all and data is None; offsets
// is None where the key's packets lie one after the other from
// first_offset.
PyObject* scan_packets_function(PyObject*, PyObject* args) {
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

    GroupSink sink(rules, keep_unknown != 0, gather != 0, data);
    ScanRequest request;
    request.data = data;
    request.skip_problems = skip_problems != 0;
    request.at_end = at_end != 0;
    request.sink = &sink;
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
    std::vector<PyRef> objects;
    bool second_scan = false;
    if (!sink.make_results(objects, second_scan)) return nullptr;
    if (second_scan) {
        ScanOutcome again;  // the same scan: the same packets, written out
        released.state = PyEval_SaveThread();
        const bool filled = scan_packets(request, rules, again);
        PyEval_RestoreThread(released.state);
        if (PyErr_Occurred()) return nullptr;
        if (!filled) {
            PyErr_SetString(PyExc_RuntimeError, "the packet scan stopped");
            return nullptr;
        }
    }
    const std::size_t unknown = sink.unknown;
    PyRef result_groups(PyDict_New());
    if (!result_groups) return nullptr;
    for (const Group& group : sink.groups) {
        PyRef key(PyLong_FromUnsignedLongLong(group.key));
        if (!key) return nullptr;
        PyRef entry(Py_BuildValue("(OOOKKn)", group.data ? group.data : Py_None,
                                  group.offsets ? group.offsets : Py_None, group.sizes ? group.sizes : Py_None,
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

}  // namespace bitloom::frames
