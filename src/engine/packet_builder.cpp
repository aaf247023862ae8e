// The packet builder.  A first pass sizes the packet from every item's
// "bits" and "offset_bits"; the second encodes each item's value and writes
// its bits.  The packet is written directly into the result bytes object,
// by a PacketWriter (recipe/placement.hpp), which holds numeric fields in a
// native word while fields follow one another.  Exact ints and floats that
// their codec takes are encoded through the codec's lane (field_codecs.hpp).
//
// The first pass places an item without "offset_bits" at the furthest end
// seen so far, while the second places it after the item before it, so a
// packet can be longer than its last field; the extra bytes stay zero.
//
// Each item's dict is read once by the first pass.  The second pass reuses
// those entries for as long as no Python code can have run since (see
// ReadState); from the first conversion that may call back into Python on,
// every item is read again when its turn comes, in the documented order, so
// a hook that changes a later item is seen exactly as if every item had
// been read afresh.
#include "engine/packet_builder.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "core/message.hpp"
#include "engine/field_codecs.hpp"
#include "recipe/encoding_names.hpp"
#include "recipe/placement.hpp"

namespace bitloom {

namespace {

using K = RecipeKey;

// The entries of every item as the length pass found them (borrowed).  The
// buffer is kept by the thread between calls, so that the usual call
// allocates nothing for it; a call made from a hook during another finds no
// spare buffer and takes its own.  Large buffers are not kept.
class ItemRecords {
  public:
    explicit ItemRecords(std::size_t count) : records_(std::move(spare())) {
        if (records_.size() < count) records_.resize(count);
    }
    ItemRecords(const ItemRecords&) = delete;
    ItemRecords& operator=(const ItemRecords&) = delete;
    ~ItemRecords() {
        if (records_.size() <= kKept && records_.size() > spare().size()) {
            spare() = std::move(records_);
        }
    }
    ScannedKeys& operator[](std::size_t index) noexcept { return records_[index]; }

  private:
    static constexpr std::size_t kKept = 1024;
    static std::vector<ScannedKeys>& spare() noexcept {
        thread_local std::vector<ScannedKeys> buffer;
        return buffer;
    }
    std::vector<ScannedKeys> records_;
};

[[gnu::cold]] bool raise_packet_too_large(std::uint64_t total_bits) {
    raise_codec_error(make_error(ErrorKind::value_error,
                                 "A packet of {} bits is too large to build", {total_bits}));
    return false;
}

[[gnu::cold]] bool raise_field_end(std::uint64_t start, std::uint32_t bits) {
    std::uint64_t end = 0;
    return take(field_end(start, bits), end);
}

[[gnu::cold]] void raise_packet_memory_error(std::uint64_t length) {
    PyErr_Clear();
    PyErr_Format(PyExc_MemoryError, "cannot allocate a packet of %llu bytes",
                 static_cast<unsigned long long>(length));
}

// Encodes one item's value into its field and places it.  `entries` holds
// the item's keys; its "name" .. "offset_bits" are read (and checked) here.
// `fields` is the caller's, reused from item to item (every member that is
// read is written first).
bool place_item(PyObject* item, ItemSlots& entries, ReadState& state, NameCache& names,
                RecipeItem& fields, std::vector<std::uint8_t>& scratch, PacketWriter& writer,
                std::uint64_t& cursor) {
    if (!read_recipe_item(item, entries, state, fields)) return false;
    PyObject* value = entries[K::value];
    if (!get_value(value, fields.name.text)) return false;
    const std::uint64_t start = fields.has_offset ? fields.offset_bits : cursor;

    FieldParameters field;
    if (!names.encoding(fields.encoding, fields.bits, field.encoding)) return false;
    field.bits = fields.bits;
    field.reverse_bits = fields.reverse_bits;

    FieldBytes bytes;
    std::uint64_t pattern = 0;
    if (pattern_in_lane(field_lane(field.encoding.codec, field.bits), value, pattern)) {
        // An exact int or float the codec takes: what the row's convert and
        // encode give, without their calls (nothing here can fail or run
        // Python code).
        if (field.reverse_bits) pattern = reverse_low_bits(pattern, field.bits);
        bytes.word = pattern;
        bytes.word_bytes = (field.bits + 7) / 8;
        bytes.is_integer = true;
    } else {
        const FieldCodecRow& codec = field_codec_row(field.encoding.codec);
        if (!codec.converts_in_place(value)) {
            // The conversion may run Python code, which may change this item
            // (its byte order is read after it) and every later one.
            entries.hold();
            state.python_may_have_run = true;
        }
        FieldValue converted;
        if (!codec.convert(value, field, converted) ||
            !codec.encode(converted, field, scratch, bytes)) {
            return false;
        }
    }
    // The byte order is resolved only now: a bad value and a bad byte order
    // in one item report the value.
    if (!names.byte_order(fields.byte_order, field.byte_order)) return false;
    if (!field_fits(start, fields.bits)) return raise_field_end(start, fields.bits);
    if (bytes.is_integer) {
        writer.place_number(word_in_order(bytes, field.byte_order), start, fields.bits);
    } else {
        writer.place_bytes(apply_byte_order(bytes.view, field.byte_order, scratch), start,
                           fields.bits);
    }
    cursor = start + fields.bits;
    return true;
}

}  // namespace

PyObject* build_packet(std::span<PyObject* const> items, ItemContext& context) {
    // The placement pass reuses the length pass's scans: borrowed under the
    // interpreter lock, held (strong references, each item's scan one
    // snapshot taken inside its dict's lock) where there is none, so that
    // another thread changing an item between the passes frees nothing the
    // call still reads.
    ReadState state;
    ItemRecords records(kScansMayBeBorrowed ? items.size() : 0);
    std::unique_ptr<ItemSlots[]> held(kScansMayBeBorrowed ? nullptr : new ItemSlots[items.size()]);

    // Length pass: every item's dict check, "bits" and "offset_bits".
    std::uint64_t total_bits = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        context = {static_cast<Py_ssize_t>(i), items[i]};
        std::uint32_t bits = 0;
        bool has_offset = false;
        std::uint64_t offset = 0;
        if constexpr (kScansMayBeBorrowed) {
            if (!scan_item(items[i], records[i])) return nullptr;
            if (!read_extent_in_place(records[i], bits, has_offset, offset)) {
                ItemSlots entries(records[i]);
                if (!read_extent(items[i], entries, state, bits, has_offset, offset)) return nullptr;
            }
        } else {
            if (!scan_item(items[i], held[i]) ||
                !read_extent(items[i], held[i], state, bits, has_offset, offset)) {
                return nullptr;
            }
        }
        const std::uint64_t start = has_offset ? offset : total_bits;
        if (!field_fits(start, bits)) {
            raise_field_end(start, bits);
            return nullptr;
        }
        total_bits = std::max(total_bits, start + bits);
    }
    context = {};

    const std::uint64_t length = total_bits / 8 + (total_bits % 8 != 0);
    if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        raise_packet_too_large(total_bits);
        return nullptr;
    }
    PyRef packet(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
    if (!packet) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError) || PyErr_ExceptionMatches(PyExc_OverflowError)) {
            raise_packet_memory_error(length);
        }
        return nullptr;
    }
    std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(packet.get())),
                                  static_cast<std::size_t>(length));
    std::memset(bytes.data(), 0, bytes.size());

    // Placement pass.
    std::vector<std::uint8_t> scratch;
    NameCache names(NameDirection::packing);
    PacketWriter writer(bytes);
    RecipeItem fields;
    std::uint64_t cursor = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        context = {static_cast<Py_ssize_t>(i), items[i]};
        bool placed = false;
        if (!state.python_may_have_run && !kScansMayBeBorrowed) {
            placed = place_item(items[i], held[i], state, names, fields, scratch, writer, cursor);
        } else if (!state.python_may_have_run) {
            ItemSlots entries(records[i]);
            placed = place_item(items[i], entries, state, names, fields, scratch, writer, cursor);
        } else {
            // Read afresh: Python code may have changed this item since.
            ItemSlots entries;
            placed = scan_item(items[i], entries) &&
                     place_item(items[i], entries, state, names, fields, scratch, writer, cursor);
        }
        if (!placed) return nullptr;
    }
    writer.finish();
    return packet.release();
}

}  // namespace bitloom
