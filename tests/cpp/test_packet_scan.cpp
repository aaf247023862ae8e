// The packet scan: framing by a length field through both header readers
// (one word, field by field), every problem at its offset, resuming after
// garbage, pieces of a longer stream, random bytes that must never read past
// the data, and runs of packets alike found by words against the field by
// field reader; and the bulk decoder reading frames by offset.
#include <cstdint>
#include <cstring>
#include <vector>

#include "check.hpp"
#include "frames/bulk_decode.hpp"
#include "frames/packet_scan.hpp"
#include "recipe/field_slots.hpp"

using namespace bitloom;
using namespace bitloom::frames;

namespace {

FrameField unsigned_field(std::uint64_t start, std::uint32_t bits, ByteOrder order = ByteOrder::big) {
    FrameField field;
    field.start = start;
    field.bits = bits;
    field.codec = FieldCodec::unsigned_integer;
    field.kind = column_kind(field.codec);
    field.slot = field_slot(field.codec);
    field.order = order;
    return field;
}

// CCSDS-like: version 3 bits (expected 0), key 11 bits at bit 5, length 16
// bits at bit 32, total = length + 7; header 6 bytes.
PacketRules ccsds_rules(bool little_length = false) {
    PacketRules rules;
    rules.key = unsigned_field(5, 11);
    rules.length = unsigned_field(32, 16, little_length ? ByteOrder::little : ByteOrder::big);
    rules.length_add = 7;
    rules.header_bytes = 6;
    rules.expected.push_back({unsigned_field(0, 3), 0});
    rules.known_keys = {0x10, 0x20};
    prepare_rules(rules);
    return rules;
}

void append_packet(std::vector<std::uint8_t>& out, std::uint16_t key, std::size_t size, bool little_length = false) {
    const std::size_t length = size - 7;
    out.push_back(static_cast<std::uint8_t>(key >> 8));
    out.push_back(static_cast<std::uint8_t>(key));
    out.push_back(0xC0);
    out.push_back(0x00);
    if (little_length) {
        out.push_back(static_cast<std::uint8_t>(length));
        out.push_back(static_cast<std::uint8_t>(length >> 8));
    } else {
        out.push_back(static_cast<std::uint8_t>(length >> 8));
        out.push_back(static_cast<std::uint8_t>(length));
    }
    for (std::size_t k = 6; k < size; ++k) out.push_back(static_cast<std::uint8_t>(k * 7));
}

ScanOutcome scan(const std::vector<std::uint8_t>& data, const PacketRules& rules, bool skip, bool at_end = true) {
    ScanRequest request;
    request.data = data;
    request.skip_problems = skip;
    request.at_end = at_end;
    ScanOutcome outcome;
    CHECK(scan_packets(request, rules, outcome));
    return outcome;
}

void check_framing_both_readers() {
    for (bool little : {false, true}) {
        const PacketRules rules = ccsds_rules(little);
        CHECK(rules.fast_fields == !little);
        std::vector<std::uint8_t> data;
        append_packet(data, 0x10, 12, little);
        append_packet(data, 0x20, 7, little);
        append_packet(data, 0x30, 300, little);
        const ScanOutcome outcome = scan(data, rules, false);
        CHECK(outcome.problems.empty());
        CHECK(outcome.packets.size() == 3);
        CHECK(outcome.packets[1].offset == 12 && outcome.packets[1].size == 7 && outcome.packets[1].key == 0x20);
        CHECK(outcome.packets[2].key == 0x30 && outcome.consumed == data.size());
    }
}

void check_problems_and_resuming() {
    const PacketRules rules = ccsds_rules();
    std::vector<std::uint8_t> data;
    append_packet(data, 0x10, 12);
    const std::size_t garbage = data.size();
    for (int k = 0; k < 5; ++k) data.push_back(0xE7);  // version 7
    const std::size_t resumed = data.size();
    append_packet(data, 0x20, 9);
    append_packet(data, 0x10, 12);
    const std::size_t cut = data.size();
    append_packet(data, 0x10, 12);
    data.resize(data.size() - 4);

    ScanOutcome stopped = scan(data, rules, false);
    CHECK(stopped.packets.size() == 1);
    CHECK(stopped.problems.size() == 1 && stopped.problems[0].offset == garbage &&
          stopped.problems[0].problem == PacketProblem::unexpected_value && stopped.problems[0].found == 7);

    ScanOutcome skipped = scan(data, rules, true);
    CHECK(skipped.packets.size() == 3);
    CHECK(skipped.problems.size() == 2);
    CHECK(skipped.problems[0].resumed_at == resumed);
    CHECK(skipped.problems[1].offset == cut && skipped.problems[1].problem == PacketProblem::past_end &&
          skipped.problems[1].size == 12);

    // A piece of a longer stream: the cut packet is left for the next one.
    ScanOutcome piece = scan(data, rules, true, false);
    CHECK(piece.problems.size() == 1 && piece.consumed == cut);
}

void check_impossible_lengths() {
    PacketRules rules;
    rules.key = unsigned_field(0, 8);
    rules.length = unsigned_field(8, 8);
    rules.length_add = -3;  // a length below 3 + 2 cannot hold the header
    rules.header_bytes = 2;
    prepare_rules(rules);
    const std::vector<std::uint8_t> data = {1, 4, 2, 2, 9, 9};
    ScanOutcome outcome = scan(data, rules, false);
    CHECK(outcome.packets.empty() && outcome.problems.size() == 1 &&
          outcome.problems[0].problem == PacketProblem::impossible_length);
    const std::vector<std::uint8_t> partial = {1, 8, 0, 0, 0, 7};
    outcome = scan(partial, rules, false);
    CHECK(outcome.packets.size() == 1 && outcome.problems.size() == 1 &&
          outcome.problems[0].problem == PacketProblem::partial_header && outcome.problems[0].offset == 5);
}

// Random bytes: whatever the scan makes of them lies inside the data.
void check_random_bytes() {
    const PacketRules rules = ccsds_rules();
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (int round = 0; round < 200; ++round) {
        std::vector<std::uint8_t> data(static_cast<std::size_t>(round * 3));
        for (std::uint8_t& byte : data) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            byte = static_cast<std::uint8_t>(state & 0x1F);  // version 0 more often than not
        }
        for (bool skip : {false, true}) {
            const ScanOutcome outcome = scan(data, rules, skip);
            std::uint64_t end = 0;
            for (const PacketSpan& packet : outcome.packets) {
                CHECK(packet.offset >= end && packet.size >= 6 && packet.offset + packet.size <= data.size());
                end = packet.offset + packet.size;
            }
            CHECK(outcome.consumed <= data.size());
        }
    }
}

bool same_packets(const ScanOutcome& left, const ScanOutcome& right) {
    if (left.packets.size() != right.packets.size() || left.problems.size() != right.problems.size() ||
        left.consumed != right.consumed) {
        return false;
    }
    for (std::size_t k = 0; k < left.packets.size(); ++k) {
        const PacketSpan& a = left.packets[k];
        const PacketSpan& b = right.packets[k];
        if (a.offset != b.offset || a.size != b.size || a.key != b.key || a.count != 1 || b.count != 1) return false;
    }
    for (std::size_t k = 0; k < left.problems.size(); ++k) {
        const ScanProblem& a = left.problems[k];
        const ScanProblem& b = right.problems[k];
        if (a.offset != b.offset || a.problem != b.problem || a.resumed_at != b.resumed_at) return false;
    }
    return true;
}

// Runs of packets alike (found by comparing header words) against the field
// by field reader: streams of runs of every length, broken by another key,
// another size, a bad version or a cut, with packets shorter than a word.
void check_runs_against_field_reads() {
    const PacketRules by_word = ccsds_rules();
    PacketRules by_field = by_word;
    by_field.fast_fields = false;
    CHECK(by_word.fast_fields && by_word.run_mask == 0xE7FF'0000'FFFF'0000ull);
    std::uint64_t state = 0x2545F4914F6CDD1Dull;
    const auto next = [&state](std::uint64_t below) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state % below;
    };
    for (int round = 0; round < 300; ++round) {
        std::vector<std::uint8_t> data;
        const std::size_t runs = 1 + next(6);
        for (std::size_t r = 0; r < runs; ++r) {
            const std::uint16_t key = next(4) == 0 ? 0x20 : 0x10;
            const std::size_t size = 7 + next(3) * (next(2) == 0 ? 1 : 9);  // 7 to 25 bytes
            const std::size_t count = next(3) == 0 ? 1 + next(3) : 1 + next(40);
            for (std::size_t k = 0; k < count; ++k) append_packet(data, key, size);
        }
        switch (next(4)) {
            case 0: data.resize(data.size() - 1 - next(std::min<std::size_t>(data.size(), 9) - 1)); break;
            case 1: data[next(data.size())] |= 0x20; break;  // a version that is not 0, or a changed length
            default: break;
        }
        for (bool skip : {false, true}) {
            for (bool at_end : {true, false}) {
                const ScanOutcome words = scan(data, by_word, skip, at_end);
                const ScanOutcome fields = scan(data, by_field, skip, at_end);
                CHECK(same_packets(words, fields));
            }
        }
    }
}

// The sink's spans: a long run of one key comes as few spans, each inside the data.
class CountingSink final : public PacketSink {
  public:
    std::uint64_t packet_count = 0;
    std::size_t spans = 0;
    std::uint64_t end = 0;
    bool inside = true;
    std::uint64_t data_size = 0;

    void packets(std::span<const PacketSpan> packets) override {
        for (const PacketSpan& packet : packets) {
            inside &= packet.offset >= end && packet.offset + packet.count * packet.size <= data_size;
            end = packet.offset + packet.count * packet.size;
            packet_count += packet.count;
            ++spans;
        }
    }
};

void check_runs_reach_the_sink() {
    const PacketRules rules = ccsds_rules();
    std::vector<std::uint8_t> data;
    for (int k = 0; k < 100000; ++k) append_packet(data, 0x10, 9);
    append_packet(data, 0x20, 30);
    for (int k = 0; k < 10; ++k) append_packet(data, 0x10, 9);
    CountingSink sink;
    sink.data_size = data.size();
    ScanRequest request;
    request.data = data;
    request.sink = &sink;
    ScanOutcome outcome;
    CHECK(scan_packets(request, rules, outcome));
    CHECK(sink.packet_count == 100011 && sink.inside && sink.end == data.size());
    CHECK(sink.spans < 10);
    CHECK(outcome.consumed == data.size() && outcome.problems.empty());
}

void check_frames_by_offset() {
    // Frames of 3 bytes scattered over the data: the decoder gathers them.
    std::vector<std::uint8_t> data(3000);
    std::vector<std::uint64_t> offsets;
    for (std::size_t k = 0; k < 500; ++k) {
        const std::size_t at = (k * 997) % 2990;
        offsets.push_back(at);
    }
    for (std::size_t k = 0; k < data.size(); ++k) data[k] = static_cast<std::uint8_t>(k * 31 + 7);
    const FrameField field = unsigned_field(4, 16);
    const ColumnPlan plan = plan_column(field, 0, 0);
    ColumnMemory* column = ColumnMemory::create(plan.type, offsets.size());
    CHECK(column != nullptr);
    if (!column) return;
    DecodeRequest request;
    request.data = data;
    request.frame_bytes = 3;
    request.count = offsets.size();
    request.frame_offsets = offsets.data();
    DecodeOutcome outcome;
    ColumnMemory* columns[] = {column};
    CHECK(decode_columns(request, {&plan, 1}, columns, outcome));
    const auto* values = static_cast<const std::uint16_t*>(column->values);
    for (std::size_t k = 0; k < offsets.size(); ++k) {
        const std::size_t at = offsets[k];
        const std::uint32_t word = (std::uint32_t{data[at]} << 16) | (std::uint32_t{data[at + 1]} << 8) | data[at + 2];
        CHECK(values[k] == ((word >> 4) & 0xFFFF));
    }
    column->release();
}

}  // namespace

int main() {
    check_framing_both_readers();
    check_problems_and_resuming();
    check_impossible_lengths();
    check_random_bytes();
    check_runs_against_field_reads();
    check_runs_reach_the_sink();
    check_frames_by_offset();
    return failures == 0 ? 0 : 1;
}
