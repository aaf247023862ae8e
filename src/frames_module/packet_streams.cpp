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
#include "frames_module/frame_codec.hpp"
#include "python/conversions.hpp"
#include "python/python_ref.hpp"

namespace bitloom::frames {

namespace {

struct Released {
    PyThreadState* state = nullptr;
};

bool poll_signals(void* context) {
    auto* released = static_cast<Released*>(context);
    PyEval_RestoreThread(released->state);
    const bool running = PyErr_CheckSignals() == 0;
    released->state = PyEval_SaveThread();
    return running;
}

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
    if (out.kind != ColumnKind::uint64 || out.bits > 64) {
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

// One key's packets: their offsets, their sizes where they differ, and
// their bytes where they are gathered.
struct Group {
    std::uint64_t key = 0;
    bool copied = false;              // the bytes are gathered (raw packets, or scattered ones)
    std::uint64_t uniform_size = 0;   // every packet's size, or 0 where they differ
    // While the packets lie one after the other, only the first offset and
    // the count are kept; the offsets are written out once one does not.
    bool contiguous = true;
    std::uint64_t first_offset = 0;
    std::uint64_t next_offset = 0;
    std::size_t count = 0;
    std::vector<std::uint64_t> offsets;
    std::vector<std::uint64_t> sizes; // empty while the sizes are uniform
    std::vector<std::uint8_t> data;
};

// The packets of the scan, by key, in the order keys first appear.
class GroupSink final : public PacketSink {
  public:
    GroupSink(const PacketRules& rules, bool keep_unknown, bool gather, std::span<const std::uint8_t> data)
        : rules_(rules), keep_unknown_(keep_unknown), gather_(gather), data_(data) {}

    std::vector<Group> groups;
    std::size_t unknown = 0;

    // May throw std::bad_alloc, which the scan turns into out_of_memory.
    void packets(std::span<const PacketSpan> packets) override {
        for (const PacketSpan& packet : packets) take(packet);
    }

  private:
    static constexpr std::uint32_t kNotKept = UINT32_MAX;

    void take(const PacketSpan& packet) {
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
        if (packet.size != group.uniform_size && group.sizes.empty()) {
            // The first size that differs: the earlier ones were all alike.
            group.sizes.assign(group.count, group.uniform_size);
            group.uniform_size = 0;
        }
        if (!group.sizes.empty()) group.sizes.push_back(packet.size);
        if (group.contiguous && packet.offset != group.next_offset) {
            // Written out: each earlier packet follows the one before.  The
            // packets of a key that are scattered over the stream are
            // gathered as they are met (one pass over the stream), so that
            // its codec reads them as one dump instead of one more pass.
            group.contiguous = false;
            if (!group.copied) {
                group.copied = true;
                group.data.assign(data_.data() + group.first_offset, data_.data() + group.next_offset);
            }
            group.offsets.reserve(group.count + 1);
            std::uint64_t offset = group.first_offset;
            for (std::size_t k = 0; k < group.count; ++k) {
                group.offsets.push_back(offset);
                offset += group.sizes.empty() ? group.uniform_size : group.sizes[k];
            }
        }
        if (!group.contiguous) group.offsets.push_back(packet.offset);
        group.next_offset = packet.offset + packet.size;
        ++group.count;
        if (group.copied) {
            group.data.insert(group.data.end(), data_.data() + packet.offset,
                              data_.data() + packet.offset + packet.size);
        }
    }

    bool is_known(std::uint64_t key) const noexcept {
        return rules_.known_keys.empty() ||
               std::binary_search(rules_.known_keys.begin(), rules_.known_keys.end(), key);
    }

    // Streams have few keys, often in runs: the last key's group first.
    std::uint32_t group_of(std::uint64_t key) {
        if (has_last_ && key == last_key_) return last_group_;
        std::uint32_t at = kNotKept;
        const bool known = is_known(key);
        if (keep_unknown_ || known) {
            auto [where, added] = index_.try_emplace(key, static_cast<std::uint32_t>(groups.size()));
            if (added) {
                groups.emplace_back();
                groups.back().key = key;
                // The packets themselves for keys without a codec (or all,
                // to split a stream); codecs read theirs where they lie.
                groups.back().copied = gather_ || !known;
            }
            at = where->second;
        }
        has_last_ = true;
        last_key_ = key;
        last_group_ = at;
        return at;
    }

    const PacketRules& rules_;
    bool keep_unknown_;
    bool gather_;
    std::span<const std::uint8_t> data_;
    std::unordered_map<std::uint64_t, std::uint32_t> index_;
    bool has_last_ = false;
    std::uint64_t last_key_ = 0;
    std::uint32_t last_group_ = kNotKept;
};

PyObject* bytes_from(const void* data, std::size_t size) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    return PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size));
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
    const std::size_t unknown = sink.unknown;

    PyRef result_groups(PyDict_New());
    if (!result_groups) return nullptr;
    for (const Group& group : sink.groups) {
        PyRef key(PyLong_FromUnsignedLongLong(group.key));
        PyRef packed(group.copied ? bytes_from(group.data.data(), group.data.size()) : Py_NewRef(Py_None));
        PyRef offsets(group.contiguous ? Py_NewRef(Py_None) : bytes_from(group.offsets.data(), group.offsets.size() * 8));
        PyRef sizes;
        if (group.sizes.empty() && group.copied) {
            // Raw packets are cut by their sizes: write the uniform one out.
            std::vector<std::uint64_t> same(group.count, group.uniform_size);
            sizes = PyRef(bytes_from(same.data(), same.size() * 8));
        } else {
            sizes = group.sizes.empty() ? PyRef(Py_NewRef(Py_None))
                                        : PyRef(bytes_from(group.sizes.data(), group.sizes.size() * 8));
        }
        if (!key || !packed || !offsets || !sizes) return nullptr;
        PyRef entry(Py_BuildValue("(OOOKKn)", packed.get(), offsets.get(), sizes.get(),
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
