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
//
// The usual recipe is packed by build_usual_packet instead, in one pass
// that does both passes' work item by item into a buffer on the stack; it
// gives up, with nothing raised, at the first item it does not take, and
// the caller then runs build_packet from the start.
#include "engine/packet_builder.hpp"

#include <algorithm>
#include <array>
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

// Encoding names met by the usual-recipe pass, by str object identity (a
// recipe repeats the same few strings): each distinct object is looked up
// once per call.  Borrowed under the GIL: the pass runs no Python code, so
// the items keep every object alive until it ends.  Without the GIL another
// thread may change an item between its critical sections and free a name,
// and a str made later at the same address must not find the old name's
// row: each object is held until the pass ends.
class UsualEncodings {
  public:
    UsualEncodings() noexcept = default;
    UsualEncodings(const UsualEncodings&) = delete;
    UsualEncodings& operator=(const UsualEncodings&) = delete;
#ifdef Py_GIL_DISABLED
    ~UsualEncodings() {
        // Exact str objects: releasing one runs no Python code.
        for (std::size_t i = 0; i < count_; ++i) Py_DECREF(known_[i].object);
    }
#endif
    // What the name selects for a field of `bits` bits, or false for a name
    // that selects nothing there (the general path then raises its error).
    bool find(const TextField& name, std::uint32_t bits, FieldEncoding& out) noexcept {
        const EncodingNameRow* row = nullptr;
        std::size_t i = 0;
        while (i < count_ && known_[i].object != name.object) ++i;
        if (i < count_) {
            row = known_[i].row;
        } else {
            row = look_up(name);
            if (!row) return false;
            if (count_ < known_.size()) {
#ifdef Py_GIL_DISABLED
                Py_INCREF(name.object);
#endif
                known_[count_++] = {name.object, row};
            }
        }
        return encoding_for_width(row, bits, out);
    }

  private:
    // As NameCache: the interned str of a row's name, else the text as it
    // stands, else its lowercase form (the text is ASCII here).
    static const EncodingNameRow* look_up(const TextField& name) noexcept {
        const EncodingNameRow* row = interned_encoding_names(NameDirection::packing).find(name.object);
        if (row) return row;
        row = find_encoding_name(NameDirection::packing, name.text);
        if (row) return row;
        std::array<char, 32> lowered;
        if (name.text.size() > lowered.size()) return nullptr;
        bool changed = false;
        for (std::size_t i = 0; i < name.text.size(); ++i) {
            const char c = name.text[i];
            changed |= c >= 'A' && c <= 'Z';
            lowered[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        }
        if (!changed) return nullptr;
        return find_encoding_name(NameDirection::packing, {lowered.data(), name.text.size()});
    }

    struct Known {
        PyObject* object;
        const EncodingNameRow* row;
    };
    std::array<Known, 8> known_;  // the first count_ are set
    std::size_t count_ = 0;
};

// The packet of the usual recipe, whose packet fits a buffer on the stack,
// held until the bytes object is made.  Zeroed in steps of eight words just
// before the furthest field end so far reaches them; the writer ORs whole
// words into the buffer, so a word that holds any bit before that end lies
// wholly in the zeroed part.  The first step is zeroed at once: the writer
// writes its word out at the end even when the recipe is empty.
class UsualPacket {
  public:
    static constexpr std::uint64_t kBits = 4096;

    UsualPacket() noexcept { zero_step(); }
    // Whether bits [0, end) fit; zeroes the words up to them.
    bool reach(std::uint64_t end) noexcept {
        if (end > kBits) return false;
        while (zeroed_ * 64 < end) zero_step();
        return true;
    }
    std::span<std::uint8_t> bytes() noexcept {
        return {reinterpret_cast<std::uint8_t*>(words_.data()), kBits / 8};
    }

  private:
    static constexpr std::size_t kStep = 8;
    // Eight stores, which the compiler keeps as wide stores in line (a
    // memset of 64 bytes became a "rep stos", slow to start).
    void zero_step() noexcept {
        std::uint64_t* step = words_.data() + zeroed_;
        for (std::size_t i = 0; i < kStep; ++i) step[i] = 0;
        zeroed_ += kStep;
    }
    std::array<std::uint64_t, kBits / 64> words_;
    std::size_t zeroed_ = 0;  // words
};

// Whether `text` is `expected`, compared character by character: the
// lengths are known, so this stays in line where memcmp was a call.
template <std::size_t N>
[[gnu::always_inline]] inline bool is_text(std::string_view text, const char (&expected)[N]) noexcept {
    if (text.size() != N - 1) return false;
    bool same = true;
    for (std::size_t i = 0; i + 1 < N; ++i) same &= text[i] == expected[i];
    return same;
}

// "big" or "little" exactly as written; any other text is left to the
// general path, which lowercases it.
[[gnu::always_inline]] inline bool usual_byte_order(std::string_view text, ByteOrder& out) noexcept {
    if (is_text(text, "big")) {
        out = ByteOrder::big;
        return true;
    }
    if (is_text(text, "little")) {
        out = ByteOrder::little;
        return true;
    }
    return false;
}

// What the usual-recipe pass places for an item: numbers only, which stay
// valid when the item's critical section ends.
struct UsualField {
    FieldParameters field;
    bool has_offset = false;
    std::uint64_t offset_bits = 0;
    std::uint64_t pattern = 0;
};

// Reads a usual item's field and the pattern of its value: false, with
// nothing raised, for an item the pass does not take.  The caller holds the
// item's critical section on interpreters without the GIL, since the entries
// are borrowed from the dict.
[[gnu::always_inline]] inline bool read_usual_item(PyObject* item, const InternedKeyTable::Lookup& table,
                                                   UsualEncodings& encodings, UsualField& out) noexcept {
    ScannedKeys keys;
    scan_exact_dict(item, table, keys);
    RecipeItem fields;
    PyObject* value = keys[K::value];
    if (!read_item_in_place(keys, fields) || !value) return false;
    out.field.bits = fields.bits;
    out.field.reverse_bits = fields.reverse_bits;
    out.has_offset = fields.has_offset;
    out.offset_bits = fields.offset_bits;
    return usual_byte_order(fields.byte_order.text, out.field.byte_order) &&
           encodings.find(fields.encoding, fields.bits, out.field.encoding) &&
           pattern_in_lane(field_lane(out.field), value, out.pattern);
}

}  // namespace

PyObject* build_usual_packet(std::span<PyObject* const> items) noexcept {
    UsualPacket packet;
    PacketWriter writer(packet.bytes());
    UsualEncodings encodings;
    const InternedKeyTable::Lookup table = interned_key_table().lookup();
    // Both passes of build_packet at once: the length pass places an item
    // without "offset_bits" at the furthest end so far, the placement pass
    // after the item before it.
    std::uint64_t total_bits = 0;
    std::uint64_t cursor = 0;
    for (PyObject* item : items) {
        if (!PyDict_CheckExact(item)) return nullptr;
        UsualField usual;
        bool taken = false;
        Py_BEGIN_CRITICAL_SECTION(item);
        taken = read_usual_item(item, table, encodings, usual);
        Py_END_CRITICAL_SECTION();
        if (!taken) return nullptr;
        const FieldParameters& field = usual.field;
        std::uint64_t pattern = usual.pattern;
        // Lanes hold fields of 1 to 64 bits, so no sum below overflows
        // (a compact offset is below 2**62).
        const std::uint64_t sized_start = usual.has_offset ? usual.offset_bits : total_bits;
        total_bits = std::max(total_bits, sized_start + field.bits);
        // Every field ends within the length pass's total (an item placed
        // after the one before it starts no later than the furthest end).
        if (!packet.reach(total_bits)) return nullptr;
        const std::uint64_t start = usual.has_offset ? usual.offset_bits : cursor;
        if (field.reverse_bits) pattern = reverse_low_bits(pattern, field.bits);
        FieldBytes bytes;
        bytes.word = pattern;
        bytes.word_bytes = (field.bits + 7) / 8;
        writer.place_number(word_in_order(bytes, field.byte_order), start, field.bits);
        cursor = start + field.bits;
    }
    writer.finish();
    const std::uint64_t length = total_bits / 8 + (total_bits % 8 != 0);
    PyObject* result = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(packet.bytes().data()),
                                                 static_cast<Py_ssize_t>(length));
    // Out of memory: the general path tries again and reports it as it does.
    if (!result) PyErr_Clear();
    return result;
}

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
